"""Ring buffers against an independent float32 model."""
import math

import pytest
from hypothesis import given, settings, strategies as st

import vorda
from conftest import F32, assert_same


def pow2_size(n):
    size = 1
    while size < n:
        size *= 2
    return size


class RingModel:
    """A list-backed ring: slot k writes back is history[-k], 0.0 before the start."""

    def __init__(self, size):
        self.size = size
        self.history = []

    def write(self, x):
        self.history.append(F32(x))

    def read(self, delay):
        steps = delay % self.size or self.size  # 0 and multiples of size reach size back
        return self.history[-steps] if steps <= len(self.history) else F32(0.0)


def u64_to_f32(n):
    """Rounds an unsigned count straight to float32, as the hardware conversion does.

    Going through a double would round twice and can land one ulp off above 2**53.
    """
    shift = max(n.bit_length() - 24, 0)
    q, r = divmod(n, 1 << shift)
    half = (1 << shift) >> 1
    if r > half or (r == half and shift and q & 1):
        q += 1
    return F32(q << shift)


def whole_samples(d):
    """floor(d) as an unsigned 64-bit count: negative and NaN give 0, huge values saturate."""
    if not d >= 0:
        return 0
    return 2**64 - 1 if d >= 2**64 else math.floor(d)


class TimeRingModel(RingModel):
    """The ring sized and read in seconds; every step is a float32 operation."""

    def __init__(self, sample_rate, max_delay_sec):
        self.rate = F32(sample_rate)
        super().__init__(pow2_size(math.ceil(self.rate * F32(max_delay_sec))))

    def read_n(self, delay_sec):
        return self.read(whole_samples(F32(delay_sec) * self.rate))

    def read_l(self, delay_sec):
        d = F32(delay_sec) * self.rate
        i = whole_samples(d)
        frac = d - u64_to_f32(i)
        return (F32(1.0) - frac) * self.read(i) + frac * self.read(i + 1)


@pytest.mark.parametrize("requested, size", [
    (0, 1), (1, 1), (2, 2), (3, 4), (4, 4), (5, 8), (1000, 1024), (1024, 1024), (1025, 2048),
])
def test_size_rule(requested, size):
    buf = vorda.RingBufferS(requested)
    assert buf.max_delay_samp == requested
    for x in range(1, size + 1):
        buf.write(float(x))
    # The oldest slot is the first sample exactly when the ring has `size` slots.
    assert buf.read(size) == 1.0
    assert buf.read(0) == 1.0
    assert buf.read(1) == float(size)


def test_worked_example():
    buf = vorda.RingBufferS(4)
    for x in (1.0, 2.0, 3.0, 4.0, 5.0):
        buf.write(x)
    reads = {d: buf.read(d) for d in (1, 2, 3, 4, 0, 5, 2**64 - 1)}
    assert reads == {1: 5.0, 2: 4.0, 3: 3.0, 4: 2.0, 0: 2.0, 5: 5.0, 2**64 - 1: 3.0}


def test_fresh_buffer_reads_zero_everywhere():
    buf = vorda.RingBufferS(8)
    assert {buf.read(d) for d in (0, 1, 7, 8, 9, 2**64 - 1)} == {0.0}


samples = st.floats(width=32, allow_nan=True, allow_infinity=True) | st.floats()
delays = st.integers(0, 40) | st.integers(0, 2**64 - 1)


@settings(max_examples=300, deadline=None)
@given(requested=st.integers(0, 33),
       ops=st.lists(st.tuples(st.booleans(), samples, delays), max_size=80))
def test_ring_buffer_s_matches_model(requested, ops):
    buf = vorda.RingBufferS(requested)
    model = RingModel(pow2_size(requested))
    for is_write, x, delay in ops:
        if is_write:
            buf.write(x)
            model.write(x)
        else:
            assert_same(buf.read(delay), model.read(delay))


# --- Time-based buffers ------------------------------------------------------

TIMED = [vorda.RingBufferN, vorda.RingBufferL]


@pytest.mark.parametrize("delay_sec, truncated, interpolated", [
    (0.25, 4.0, 4.0), (0.375, 4.0, 3.5), (0.5, 3.0, 3.0), (0.875, 2.0, 1.5), (1.0, 1.0, 1.0),
    (1.125, 1.0, 2.5), (0.0, 1.0, 1.0), (0.1, 1.0, 2.200000047683716), (-0.125, 1.0, -0.5),
])
def test_timed_worked_example(delay_sec, truncated, interpolated):
    bufs = [cls(4.0, 1.0) for cls in TIMED]
    for buf in bufs:
        for x in (1.0, 2.0, 3.0, 4.0):
            buf.write(x)
    assert [buf.read(delay_sec) for buf in bufs] == [truncated, interpolated]


@pytest.mark.parametrize("cls", TIMED)
@pytest.mark.parametrize("sample_rate, max_delay_sec, size", [
    (40960.0, 0.1, 4096),  # the float32 product is exactly 4096; a double one is not
    (48000.0, 1.0, 65536), (44100.0, 0.5, 32768), (8.0, 1.0, 8), (2.5, 1.0, 4),
    (4097.0, 1.0, 8192), (1e-30, 1e-30, 1),
])
def test_timed_size_rule(cls, sample_rate, max_delay_sec, size):
    buf = cls(sample_rate, max_delay_sec)
    for x in range(1, size + 1):
        buf.write(float(x))
    # A delay of 0 reads the slot about to be overwritten: with fewer slots it has
    # been overwritten again, with more it was never written.
    assert buf.read(0.0) == 1.0


@pytest.mark.parametrize("cls", TIMED)
def test_timed_properties_read_back_narrowed(cls):
    buf = cls(44100.7, 0.1)
    assert (buf.sample_rate, buf.max_delay_sec) == (44100.69921875, 0.10000000149011612)


rates = st.floats(0.5, 16.0, width=32)
max_delays = st.floats(0.0625, 4.0, width=32)  # at most 64 slots, so delays wrap often


def delays_sec(rate, max_delay):
    return st.one_of(
        st.floats(-1.0, 10.0, width=32),
        st.integers(-2, 140).map(lambda k: k / rate),  # mostly whole samples, frac 0
        st.sampled_from([0.0, -0.0, max_delay, math.nan, math.inf, -math.inf, 1e30]),
        st.floats(width=32),
    )


@st.composite
def timed_setup(draw):
    rate, max_delay = draw(rates), draw(max_delays)
    ops = st.lists(st.tuples(st.booleans(), samples, delays_sec(rate, max_delay)), max_size=80)
    return rate, max_delay, draw(ops)


@pytest.mark.parametrize("cls", TIMED)
@settings(max_examples=300, deadline=None)
@given(setup=timed_setup())
def test_timed_buffers_match_model(cls, setup):
    rate, max_delay, ops = setup
    buf = cls(rate, max_delay)
    model = TimeRingModel(rate, max_delay)
    read = model.read_n if cls is vorda.RingBufferN else model.read_l
    for is_write, x, delay in ops:
        if is_write:
            buf.write(x)
            model.write(x)
        else:
            assert_same(buf.read(delay), read(delay))
