"""Patches are the per-sample Python loop they record: random networks of every
class and pan2, with arithmetic, feedback, shared instances and count inputs,
run in random pieces, give the loop's bits, feedback values and final states.

The loop is examples/patch_loop.py, driving twins of the patch's instances
through vorda's per-sample calls; the demo's --per-sample mode uses it too.
"""
import inspect
import math
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorda
import vorda_blocks as vb
from test_blocks import exact, probe

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from patch_loop import PatchLoop  # noqa: E402

SR = 64.0
NAN, INF = float("nan"), float("inf")
# Rings of 64 and 128 slots: delays around these sizes wrap, and a chunk may
# run its reads ahead only when the slot actually read is a chunk back.
SIZES = (40, 64, 100)

MAKERS = {
    "SinOsc": lambda: vorda.SinOsc(SR, 0.3),
    "WhiteNoise": lambda: vorda.WhiteNoise(11),
    "Lfo": lambda: vorda.Lfo(SR, 1),
    "Biquad": lambda: vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1),
    "LeakDc": lambda: vorda.LeakDc(0.9),
    **{f"{k}S": (lambda k=k: getattr(vorda, f"{k}S")(100)) for k in ("Delay", "Comb", "Allpass")},
    **{f"{k}{m}": (lambda k=k, m=m: getattr(vorda, f"{k}{m}")(SR, 1.5))
       for k in ("Delay", "Comb", "Allpass") for m in "NL"},
    "RingBufferS": lambda: vorda.RingBufferS(100),
    "RingBufferN": lambda: vorda.RingBufferN(SR, 1.5),
    "RingBufferL": lambda: vorda.RingBufferL(SR, 1.5),
}
RINGS = ("RingBufferS", "RingBufferN", "RingBufferL")

SAMPLES = st.one_of(
    st.floats(-2, 2), st.floats(-1e3, 1e3),
    st.sampled_from([NAN, INF, -INF, -0.0, 0.0, 1e-40, 3.5e38, 9.3e18, 1.9e19, 2.0**63, 2.0**64,
                     1e30, -5.0]))
# Delays in samples: short ones, ones around the ring sizes (128 slots here),
# and ones far beyond, which wrap.
DELAY_SAMPLES = st.one_of(st.integers(0, 8), st.integers(28, 140), st.integers(250, 270),
                          st.sampled_from([2**63 - 1, 2**63, 2**64 - 1]))
COUNTS = st.one_of(DELAY_SAMPLES, st.integers(1, 3000))
# Delays in seconds whose sample counts, as float32, fall on either side of
# 2^63 and of 2^64: the conversion to a count must saturate above 2^64 - 1.
SATURATING = st.sampled_from([2.0**63 - 2**39, 2.0**63, 2.0**64 - 2**40, 2.0**64, 2.0**65]).map(
    lambda k: k / SR)


@st.composite
def sample_argument(draw, values, name=""):
    """A patch value most of the time, else a number (delays in seconds lean
    towards whole-sample times that a chunk can run ahead of)."""
    if values and draw(st.integers(0, 3)) > 0:
        return draw(st.sampled_from(values))
    if name.startswith("delay"):
        return draw(DELAY_SAMPLES.map(lambda k: k / SR) | SAMPLES | SATURATING)
    return draw(SAMPLES | st.integers(-2**62, 2**62) | SAMPLES.map(np.float32))


class Recorder:
    """Draws a random patch: instances (each with a twin), inputs, feedbacks,
    operations on them, and outputs."""

    def __init__(self, data):
        self.data, self.p = data, vb.Patch()
        self.values, self.counts, self.twins, self.objects = [], [], {}, []
        self.sample_inputs, self.count_inputs = [], []

    def draw(self, strategy):
        return self.data.draw(strategy)

    def instance(self, names):
        reuse = [o for o in self.objects if type(o).__name__ in names]
        if reuse and self.draw(st.booleans()):
            return self.draw(st.sampled_from(reuse))
        name = self.draw(st.sampled_from(names))
        obj, twin = MAKERS[name](), MAKERS[name]()
        self.twins[id(obj)] = twin
        self.objects.append(obj)
        return obj

    def args(self, method):
        args = {}
        for name in inspect.signature(method).parameters:
            if name.endswith("_samp"):
                use_input = self.counts and self.draw(st.booleans())
                args[name] = self.counts[0] if use_input else self.draw(COUNTS)
            else:
                args[name] = self.draw(sample_argument(self.values, name))
        return args

    def delay(self, obj, name):
        """A constant delay most of the time: a loop through it may then run
        a chunk at a time."""
        if self.draw(st.integers(0, 3)) > 0:
            k = self.draw(DELAY_SAMPLES)
            return k if name.endswith("_samp") else self.draw(st.sampled_from([k / SR, (k + 0.5) / SR]))
        if name.endswith("_samp"):
            return self.counts[0] if self.counts and self.draw(st.booleans()) else self.draw(COUNTS)
        return self.draw(sample_argument(self.values, name))

    def loop(self):
        """A feedback loop through a delay line or a ring, and maybe a filter."""
        f = self.p.feedback(self.draw(SAMPLES))
        self.values.append(f)
        obj = self.instance([n for n in MAKERS if n[:-1] in ("Delay", "Comb", "RingBuffer")])
        into = f if self.draw(st.booleans()) else f + self.draw(sample_argument(self.values))
        if isinstance(obj, (vorda.RingBufferS, vorda.RingBufferN, vorda.RingBufferL)):
            name = "delay_samp" if isinstance(obj, vorda.RingBufferS) else "delay_sec"
            write_first = self.draw(st.booleans())
            if write_first:
                self.p.write(obj, into)
            y = self.p.read(obj, self.delay(obj, name))
            if not write_first:
                self.p.write(obj, into)
        else:
            names = list(inspect.signature(obj.process).parameters)[1:]
            y = self.p.process(obj, into, *(self.delay(obj, n) for n in names))
        self.values.append(y)
        if self.draw(st.booleans()):
            filt = self.instance(["Biquad", "LeakDc"])
            y = self.p.process(filt, y)
            self.values.append(y)
        f.set(self.draw(sample_argument(self.values)) * 0.5 + y)

    def operation(self):
        kind = self.draw(st.sampled_from(
            ["process"] * 4 + ["ring"] * 2 + ["arith"] * 3 + ["pan2"] + ["loop"] * 2))
        if kind == "loop":
            self.loop()
            return
        if kind == "process":
            obj = self.instance([n for n in MAKERS if n not in RINGS])
            kwargs = self.args(obj.process)
            if isinstance(obj, vorda.Biquad) and self.draw(st.booleans()):
                kwargs.update(self.args(obj.set_coefs))
            if isinstance(obj, vorda.LeakDc) and self.draw(st.booleans()):
                kwargs["coef"] = self.draw(sample_argument(self.values))
            by_position = self.draw(st.integers(0, len(kwargs)))
            names = list(kwargs)[:by_position] if not isinstance(obj, (vorda.Biquad, vorda.LeakDc)) \
                else list(kwargs)[:min(by_position, 1)]
            result = self.p.process(obj, *(kwargs.pop(k) for k in names), **kwargs)
        elif kind == "ring":
            ring = self.instance(list(RINGS))
            if self.draw(st.booleans()):
                self.p.write(ring, self.draw(sample_argument(self.values)))
                return
            result = self.p.read(ring, **self.args(ring.read))
        elif kind == "pan2":
            result = self.p.pan2(self.draw(sample_argument(self.values)),
                                 **({"pos": self.draw(sample_argument(self.values))}
                                    if self.draw(st.booleans()) else {}))
        else:
            a = self.draw(sample_argument(self.values))
            b = self.draw(sample_argument(self.values))
            if not any(isinstance(v, vb.Value) for v in (a, b)):
                a = self.draw(st.sampled_from(self.values))
            op = self.draw(st.sampled_from(["+", "-", "*", "/", "neg", "abs", "min", "max", "tanh"]))
            result = {"+": lambda: a + b, "-": lambda: a - b, "*": lambda: a * b,
                      "/": lambda: a / b, "min": lambda: self.p.min(a, b),
                      "max": lambda: self.p.max(a, b), "tanh": lambda: self.p.tanh(a),
                      "neg": lambda: -a if isinstance(a, vb.Value) else -b,
                      "abs": lambda: abs(a) if isinstance(a, vb.Value) else abs(b)}[op]()
        self.values += list(result) if isinstance(result, tuple) else [result]

    def record(self):
        for k in range(self.draw(st.integers(1, 2))):
            self.values.append(self.p.input(f"x{k}"))
            self.sample_inputs.append(f"x{k}")
        if self.draw(st.booleans()):
            self.counts.append(self.p.input("c", count=True))
            self.count_inputs.append("c")
        feedbacks = [self.p.feedback(self.draw(SAMPLES), name=f"f{k}")
                     for k in range(self.draw(st.integers(0, 3)))]
        self.values += feedbacks
        for _ in range(self.draw(st.integers(1, 10))):
            self.operation()
            if feedbacks and self.draw(st.integers(0, 3)) == 0:
                feedbacks.pop().set(self.draw(sample_argument(self.values)))
        for f in feedbacks:
            f.set(self.draw(sample_argument(self.values)))
        for k in range(self.draw(st.integers(1, 3))):
            self.p.output(f"y{k}", self.draw(sample_argument(self.values)),
                          dtype=self.draw(st.sampled_from([np.float32, np.float64, "float64"])))


@st.composite
def piece(draw, recorder):
    """The inputs of one run: for each input an array of some dtype or a number."""
    n = draw(st.integers(0, 140))
    given = {}
    for name in recorder.sample_inputs:
        if draw(st.integers(0, 3)) == 0:
            given[name] = draw(SAMPLES | st.integers(-1000, 1000))
        else:
            dtype = draw(st.sampled_from([np.float32, np.float64, np.int64, np.int16, bool]))
            if dtype in (np.float32, np.float64):
                drawn = draw(st.lists(SAMPLES, min_size=n, max_size=n))
            else:
                drawn = draw(st.lists(st.integers(0, 1) if dtype is bool else st.integers(-300, 300),
                                      min_size=n, max_size=n))
            with np.errstate(all="ignore"):
                given[name] = np.array(drawn).astype(dtype)
    for name in recorder.count_inputs:
        if draw(st.integers(0, 3)) == 0:
            given[name] = draw(COUNTS)
        else:
            drawn = draw(st.lists(COUNTS, min_size=n, max_size=n))
            big = any(v >= 2**63 for v in drawn)
            dtype = np.uint64 if big else draw(st.sampled_from([np.int64, np.uint64, np.int32]))
            if dtype is np.int32:
                drawn = [v % 2**31 for v in drawn]
            given[name] = np.array(drawn, dtype=dtype)
    if not any(isinstance(v, np.ndarray) for v in given.values()):
        given["n"] = n
    return given


def exact64(a):
    return np.where(np.isnan(a), NAN, a).view(np.uint64)


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


def same_outputs(got, want):
    """What two runs returned is the same: dtypes, shapes and bits (NaN as NaN)."""
    got = got if isinstance(got, tuple) else (got,)
    want = want if isinstance(want, tuple) else (want,)
    return len(got) == len(want) and all(
        g.dtype == w.dtype and g.shape == w.shape and
        np.array_equal(*((exact64 if g.dtype == np.float64 else exact)(a) for a in (g, w)))
        for g, w in zip(got, want))


@settings(max_examples=250, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_a_patch_gives_the_bits_of_its_per_sample_loop(data):
    recorder = Recorder(data)
    recorder.record()
    p = recorder.p
    loop = PatchLoop(p, recorder.twins)
    for _ in range(data.draw(st.integers(1, 4))):
        given = data.draw(piece(recorder))
        got, want = p.run(**given), loop.run(**given)
        assert same_outputs(got, want), (p.schedule, got, want)
        for f in p.feedbacks:
            assert same(f.value, loop.memory[f.index]), (f, f.value, loop.memory[f.index])
    for obj in recorder.objects:
        assert probe(obj) == probe(recorder.twins[id(obj)]), type(obj).__name__


# A step reads before it writes; a ring may be written before or after a read.
LOOPS = [(f"{k}{m}", False) for k in ("Delay", "Comb") for m in "SNL"] + \
    [(f"RingBuffer{m}", first) for m in "SNL" for first in (False, True)]


@pytest.mark.parametrize("name, write_first", LOOPS)
def test_a_loop_through_a_delay_runs_ahead_only_where_no_read_reaches_the_chunk(name, write_first):
    """A loop through a ring at every delay around its size and the chunk
    lengths: whether the reads of a chunk may come before its writes depends
    on the slots actually read, which wrap around the ring."""
    timed = not name.endswith("S")
    delays = [*range(0, 40), *range(120, 140), *range(250, 260)]
    split = 0
    for d in delays:
        for delay in ([d / SR, (d + 0.5) / SR] if timed else [d]):
            obj, twin = MAKERS[name](), MAKERS[name]()
            p = vb.Patch()
            x, f = p.input("x"), p.feedback(0.25)
            if name.startswith("Ring"):
                if write_first:
                    p.write(obj, f)
                y = p.read(obj, delay)
                if not write_first:
                    p.write(obj, f)
            else:
                y = p.process(obj, f, delay, *([48.0 if timed else 3000] if "Comb" in name else []))
            f.set(0.5 * x + 0.9 * y)
            p.output("y", y)
            xs = np.random.default_rng(d).standard_normal(400)
            loop = PatchLoop(p, {id(obj): twin})
            got, want = p.run(x=xs), loop.run(x=xs)
            assert np.array_equal(exact(got), exact(want)), (delay, p.chunk, p.schedule)
            assert probe(obj) == probe(twin)
            split += p.chunk < 256
    assert split > 0  # some of them did run ahead


SPECIAL = [NAN, -NAN, INF, -INF, 0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e308, -1e308, 5e-324, 0.1, 2.0**53 + 1]


def test_arithmetic_is_python_floats_where_python_has_an_answer_and_ieee_where_it_raises():
    """Every operation on every pair of special values, numbers on either side
    (an int, a numpy scalar), as float64 outputs: the loop's own arithmetic."""
    pairs = np.array([(a, b) for a in SPECIAL for b in SPECIAL]).T
    p = vb.Patch()
    a, b = p.input("a"), p.input("b")
    results = {"+": a + b, "-": a - b, "*": a * b, "/": a / b, "neg": -a, "abs": abs(a), "pos": +a,
               "min": p.min(a, b), "max": p.max(a, b), "tanh": p.tanh(a),
               "int-": 3 - a, "np*": np.float32(0.1) * a, "/np": a / np.int64(0),
               "min1": p.min(1.0, b), "max1": p.max(a, -0.0), "tanh5": p.tanh(5)}
    for name, value in results.items():
        assert isinstance(value, vb.Value), name
        p.output(name, value, dtype=np.float64)
    loop = PatchLoop(p)
    for got, want in zip(p.run(a=pairs[0], b=pairs[1]), loop.run(a=pairs[0], b=pairs[1]),
                         strict=True):
        assert np.array_equal(exact64(got), exact64(want))
    # The Python floats the loop computes with, which numpy's float64 agrees with.
    assert exact64(p.run(a=np.array([1.0]), b=np.array([0.0]))[3]).tolist() == \
        exact64(np.array([INF])).tolist()


def test_independent_operations_of_one_kind_run_side_by_side_in_the_same_bits():
    """A bank of filters and oscillators: independent operations of one class
    run side by side, each lane on its own processor: filters in the lanes of
    vector registers (eight on x86-64-v3, four on the baseline), oscillators
    interleaved up to four."""
    rng = np.random.default_rng(9)
    bank = [vorda.Biquad(*rng.uniform(-0.5, 0.5, 5)) for _ in range(7)]
    oscs = [vorda.SinOsc(SR, k / 7) for k in range(3)]
    twins = {id(o): vb.restore(vb.snapshot(o)) for o in bank + oscs}
    p = vb.Patch()
    x, f = p.input("x"), p.input("f")
    outs = [p.process(b, x * (k + 1)) for k, b in enumerate(bank)]
    outs += [p.process(o, f + k) for k, o in enumerate(oscs)]
    total = outs[0]
    for y in outs[1:]:
        total = total + y
    p.output("y", total, dtype=np.float64)
    loop = PatchLoop(p, twins)
    given = {"x": rng.standard_normal(700), "f": rng.uniform(1, 30, 700)}
    assert same_outputs(p.run(**given), loop.run(**given))
    lanes = 8 if vb.instruction_set == "x86-64-v3" else 4
    stages = [ops for kind, ops in p.schedule if kind == "side by side"]
    filters = sorted(len(ops) for ops in stages if ops[0].startswith("Biquad"))
    assert filters == sorted([lanes] * (7 // lanes) + [7 % lanes] * (7 % lanes > 0)), p.schedule
    assert [len(ops) for ops in stages if ops[0].startswith("SinOsc")] == [3], p.schedule
    assert all(probe(o) == probe(twins[id(o)]) for o in bank + oscs)
