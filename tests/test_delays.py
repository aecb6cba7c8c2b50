"""The ring buffers, delay lines, combs and allpasses against one float32 model of
the ring and its three readers, plus the boundary cases and the constructor panics."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vorda
import vorda_blocks as vb
from helpers import F32, assert_same, exact, libm_f32

# numpy's float32 power is not the C library's; the model calls the powf the module links.
powf = libm_f32("powf", 2)
BASE = F32(0.001)
NAN, INF = math.nan, math.inf
NAMES = [f"{family}{kind}" for family in ("RingBuffer", "Delay", "Comb", "Allpass")
         for kind in "SNL"]
TIMED = [name for name in NAMES if name[-1] != "S"]


def pow2_size(n):
    return 1 if n <= 1 else 1 << (n - 1).bit_length()


def u64_to_f32(n):
    """An unsigned count rounded straight to float32 (by way of a double it could
    round twice, one ulp off above 2**53)."""
    shift = max(n.bit_length() - 24, 0)
    q, r = divmod(n, 1 << shift)
    half = (1 << shift) >> 1
    if r > half or (r == half and shift and q & 1):
        q += 1
    return F32(q << shift)


def whole_samples(d):
    """floor(d) as an unsigned 64-bit count: negative and NaN give 0, huge values saturate."""
    return 0 if not d >= 0 else 2**64 - 1 if d >= 2**64 else math.floor(d)


class Model:
    """A list-backed ring (slot k writes back is history[-k], zeros before the start)
    read by whole samples, truncated or interpolated seconds; every step is float32."""

    def __init__(self, name, *args):
        self.family, self.kind = name[:-1], name[-1]
        if self.kind == "S":
            self.size = pow2_size(args[0])
        else:
            self.rate = F32(args[0])
            self.size = pow2_size(math.ceil(self.rate * F32(args[1])))
        self.history = []

    def slot(self, delay):
        steps = delay % self.size or self.size  # 0 and multiples of size reach size back
        return self.history[-steps] if steps <= len(self.history) else F32(0.0)

    def read(self, delay):
        if self.kind == "S":
            return self.slot(delay)
        d = F32(delay) * self.rate
        i = whole_samples(d)
        if self.kind == "N":
            return self.slot(i)
        frac = d - u64_to_f32(i)
        return (F32(1.0) - frac) * self.slot(i) + frac * self.slot(i + 1)

    def write(self, x):
        self.history.append(F32(x))

    def gain(self, delay, decay):
        if self.kind == "S":
            return powf(BASE, u64_to_f32(delay) / u64_to_f32(decay))
        delay, decay = F32(delay), F32(decay)
        sign = decay if math.isnan(decay) else F32(math.copysign(1.0, decay))
        return sign * powf(BASE, delay / abs(decay))

    def process(self, xn, delay, decay=None):
        y = self.read(delay)
        if self.family == "Delay":
            self.write(xn)
            return y
        g = self.gain(delay, decay)
        v = F32(xn) + g * y
        self.write(v)
        return y if self.family == "Comb" else y - g * v


def step(obj, model, x, delay, decay):
    """A read or a write of a ring buffer (by the sign of x), or one process call."""
    if model.family == "RingBuffer":
        if math.copysign(1.0, x) < 0:
            return assert_same(obj.read(delay), model.read(delay))
        return obj.write(x), model.write(x)
    args = (x, delay) if model.family == "Delay" else (x, delay, decay)
    assert_same(obj.process(*args), model.process(*args))


signal = st.floats(-4.0, 4.0, width=32) | st.floats(width=32) | st.floats()
counts = st.integers(0, 40) | st.integers(0, 2**64 - 1)


@st.composite
def setups(draw, name):
    if name[-1] == "S":
        return (draw(st.integers(0, 33)),), counts, counts
    rate, max_delay = draw(st.floats(0.5, 16.0, width=32)), draw(st.floats(0.0625, 4.0, width=32))
    delays = st.one_of(  # at most 64 slots, so delays wrap often
        st.floats(-1.0, 10.0, width=32), st.floats(width=32),
        st.integers(-2, 140).map(lambda k: k / rate),  # whole samples: a fraction of 0
        st.sampled_from([0.0, -0.0, max_delay, NAN, INF, -INF, 1e30]))
    decays = st.floats(-4.0, 4.0, width=32) | st.sampled_from([0.0, -0.0, NAN, INF, -INF, 1e-30])
    return (rate, max_delay), delays, decays


@pytest.mark.parametrize("name", NAMES)
@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_matches_the_model(name, data):
    args, delays, decays = data.draw(setups(name))
    obj, model = getattr(vorda, name)(*args), Model(name, *args)
    for x, delay, decay in data.draw(st.lists(st.tuples(signal, delays, decays), max_size=60)):
        step(obj, model, x, delay, decay)
    if name.startswith("RingBuffer"):
        props = ("max_delay_samp",) if name[-1] == "S" else ("sample_rate", "max_delay_sec")
        assert [getattr(obj, p) for p in props] == [
            args[0] if name[-1] == "S" else float(F32(a)) for a in args]


# Counts at the top of an unsigned 64-bit word, as delays in samples; and
# delays whose sample counts, as float32, lie below 2^63, in [2^63, 2^64), and
# at 2^64 and beyond, where the conversion to a count saturates to 2^64 - 1.
TOP_COUNTS = [2**63 - 1, 2**63, 2**63 + 1, 2**64 - 2**40, 2**64 - 1]
TOP_SAMPLES = [2.0**63 - 2**39, 2.0**63, 2.0**63 + 2**40, 2.0**64 - 2**40, 2.0**64, 2.0**65,
               1e30, INF]
RATE = 4.0  # a power of two: a delay in seconds times the rate is exactly the count meant
PATHS = ["call", "block", "block of constants", "patch", "patch loop of constants"]


def top_steps(name):
    """(xs, delays, decay): eight steps that fill the ring (8 slots) with distinct
    values, then three at each delay near the top. A ring is written the xs,
    then read at each delay."""
    timed = name[-1] != "S"
    top = [k / RATE for k in TOP_SAMPLES] if timed else TOP_COUNTS
    delays = top if name.startswith("Ring") else [1 / RATE if timed else 1] * 8 + [
        d for d in top for _ in range(3)]
    xs = [0.25 * (k + 1) for k in range(11 if name.startswith("Ring") else len(delays))]
    return xs, delays, 0.5 if timed else 2**63 + 2**41


def segments(xs, delays):
    """The steps in runs of one delay."""
    start = 0
    for end in range(1, len(delays) + 1):
        if end == len(delays) or delays[end] != delays[start]:
            yield xs[start:end], delays[start]
            start = end


def through_ring(path, obj, xs, delays):
    """What a ring written the xs reads at the delays through one path."""
    counts = isinstance(delays[0], int)
    if path == "call":
        for x in xs:
            obj.write(x)
        return [obj.read(d) for d in delays]
    if path.startswith("block"):
        vb.write(obj, np.array(xs))
        if path == "block":
            return vb.read(obj, np.array(delays, np.uint64 if counts else np.float64))
        return np.concatenate([vb.read(obj, d, n=1) for d in delays])
    writer = vb.Patch()
    writer.write(obj, writer.input("x"))
    writer.run(x=np.array(xs))
    if path == "patch":
        reader = vb.Patch()
        reader.output("y", reader.read(obj, reader.input("d", count=counts)))
        return reader.run(d=np.array(delays, np.uint64 if counts else np.float64))
    got = []
    for d in delays:
        reader = vb.Patch()
        reader.output("y", reader.read(obj, d))
        got.append(reader.run(n=1))
    return np.concatenate(got)


def through_process(path, obj, xs, delays, extra):
    """What a process step for each x and delay gives through one path."""
    counts = isinstance(delays[0], int)
    if path == "call":
        return [obj.process(x, d, *extra) for x, d in zip(xs, delays)]
    if path == "block":
        return vb.process(obj, np.array(xs), np.array(delays, np.uint64 if counts else np.float64),
                          *extra)
    if path == "block of constants":
        return np.concatenate([vb.process(obj, np.array(x), d, *extra) for x, d in segments(xs, delays)])
    if path == "patch":
        p = vb.Patch()
        p.output("y", p.process(obj, p.input("x"), p.input("d", count=counts), *extra))
        return p.run(x=np.array(xs), d=np.array(delays, np.uint64 if counts else np.float64))
    # A loop adds the last output to the input; its delay is a constant, so the
    # patch decides from the slots read whether a chunk may read ahead.
    got, last = [], 0.0
    for x, d in segments(xs, delays):
        p = vb.Patch()
        f = p.feedback(last)
        y = p.process(obj, p.input("x") + f, d, *extra)
        f.set(y)
        p.output("y", y)
        got.append(p.run(x=np.array(x)))
        last = f.value
    return np.concatenate(got)


def modelled(path, model, xs, delays, extra):
    if model.family == "RingBuffer":
        for x in xs:
            model.write(x)
        return [model.read(d) for d in delays]
    got, last = [], 0.0
    for x, d in zip(xs, delays):
        # The loop's sum is a Python float's, rounded to a sample by the call.
        xn = x + float(last) if path == "patch loop of constants" else x
        last = model.process(xn, d, *extra)
        got.append(last)
    return got


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("name", NAMES)
def test_delays_at_the_top_of_the_count_range_read_as_the_model_reads(name, path):
    """Each path reaches the ring its own way (a constant prepared once, an
    array sample by sample, a patch loop reading ahead of its writes), and
    all share one conversion of a delay to a count: so each is held to the
    model, not to another path, which would share a fault in it."""
    xs, delays, decay = top_steps(name)
    extra = () if name.startswith(("Delay", "Ring")) else (decay,)
    args = (8,) if name[-1] == "S" else (RATE, 2.0)
    obj = getattr(vorda, name)(*args)
    got = through_ring(path, obj, xs, delays) if name.startswith("Ring") else \
        through_process(path, obj, xs, delays, extra)
    got = np.array(got, np.float32)
    want = np.array(modelled(path, Model(name, *args), xs, delays, extra), np.float32)
    assert np.array_equal(exact(got), exact(want)), list(zip(delays, got, want))


def filled(name, args, count):
    obj = getattr(vorda, name)(*args)
    for x in range(1, count + 1):
        obj.write(float(x))
    return obj


@pytest.mark.parametrize("name, args, size", [
    ("RingBufferS", (0,), 1), ("RingBufferS", (4,), 4), ("RingBufferS", (5,), 8),
    ("RingBufferN", (40960.0, 0.1), 4096),  # the float32 product is exactly 4096, a double's not
    ("RingBufferL", (4097.0, 1.0), 8192), ("RingBufferN", (1e-30, 1e-30), 1),
])
def test_sizes_at_powers_of_two(name, args, size):
    # A delay of 0 reads the slot about to be overwritten: with fewer slots it has
    # been overwritten again, with more it was never written.
    assert filled(name, args, size).read(0) == 1.0


@pytest.mark.parametrize("name, delay, want", [  # 1, 2, 3, 4 (and 5) written into 4 slots
    ("RingBufferS", 4, 2.0), ("RingBufferS", 5, 5.0), ("RingBufferS", 2**64 - 1, 3.0),
    ("RingBufferN", 0.375, 4.0), ("RingBufferL", 0.375, 3.5), ("RingBufferL", 1.125, 2.5),
    ("RingBufferN", 0.0, 1.0), ("RingBufferL", 0.1, 2.200000047683716),
    ("RingBufferN", -0.125, 1.0), ("RingBufferL", -0.125, -0.5),  # extrapolated
    ("RingBufferN", NAN, 1.0), ("RingBufferL", NAN, NAN),
])
def test_reads_wrap(name, delay, want):
    timed = name[-1] != "S"
    assert_same(filled(name, (4.0, 1.0) if timed else (4,), 4 if timed else 5).read(delay), want)


P = powf(BASE, F32(0.5))  # the gain of a 0.5 s delay under a 1 s decay


@pytest.mark.parametrize("name, args, delay, decay, expected", [
    ("DelayS", (4,), 0, None, [0, 0, 0, 0, 1, 0]),  # the oldest slot, never the input
    ("DelayN", (4.0, 1.0), 1.0, None, [0, 0, 0, 0, 1, 0]),
    ("DelayL", (4.0, 1.0), 0.1, None, [0, 0.4000000059604645, 0, 0, 0.6000000238418579, 0]),
    # The count rounds straight to float32, up to 2**63 + 2**40 (by way of a double it
    # would tie down to 2**63); the read wraps to one sample.
    ("CombS", (4,), 2**63 + 2**39 + 1, 2**62, [0, 1, powf(BASE, 2.0 + 2.0**-22)]),
    ("CombS", (4,), 0, 1, [0, 0, 0, 0, 1, 0, 0, 0, 1]),  # g = 1 on the oldest slot
    ("CombS", (4,), 0, 0, [0, 0, 0, 0, NAN]),
    ("CombL", (4.0, 1.0), 0.5, -1.0, [0, 0, 1, 0, -P, 0, P * P, 0, -(P * P) * P]),
    ("AllpassS", (4,), 0, 0, [NAN] * 5),  # -g*v reaches the output at once
    ("AllpassL", (4.0, 1.0), 0.5, -1.0, [P, 0, 1 - P * P, 0, -(P - P * (P * P))]),
])
def test_impulse_responses(name, args, delay, decay, expected):
    obj = getattr(vorda, name)(*args)
    for n, want in enumerate(expected):
        x = 1.0 if n == 0 else 0.0
        assert_same(obj.process(x, delay) if decay is None else obj.process(x, delay, decay), want)


RATE_FAILS = "assertion failed: sample_rate > 0.0"
MAX_FAILS = "assertion failed: max_delay_sec > 0.0"


@pytest.mark.parametrize("name", TIMED)
@pytest.mark.parametrize("sample_rate, max_delay_sec, message", [
    (0.0, 1.0, RATE_FAILS), (NAN, 1.0, RATE_FAILS), (0.0, -1.0, RATE_FAILS),
    (1e-50, 1.0, RATE_FAILS),  # positive as a double, zero as a Sample
    (100.0, 0.0, MAX_FAILS), (100.0, NAN, MAX_FAILS), (100.0, 1e-50, MAX_FAILS),
    (1e39, 1.0, "capacity overflow"),  # an infinite rate passes its check, the size cannot
    (1.0, INF, "capacity overflow"), (2.0**40, 2.0**21, "capacity overflow"),
])
def test_timed_constructor_panics(PanicException, name, sample_rate, max_delay_sec, message):
    with pytest.raises(PanicException) as info:
        getattr(vorda, name)(sample_rate, max_delay_sec)
    assert info.value.args == (message,)


@pytest.mark.parametrize("name", NAMES)
def test_capacity_overflow_and_memory_error(PanicException, name):
    """2^61 slots and more are refused; 2^60 pass the check but cannot be allocated."""
    for size, outcome in ((2**60, MemoryError), (2**61, PanicException),
                          (2**64 - 1, PanicException)):
        with pytest.raises(outcome) as info:
            getattr(vorda, name)(*((size,) if name[-1] == "S" else (2.0**40, size / 2.0**40)))
        assert outcome is MemoryError or info.value.args == ("capacity overflow",)
