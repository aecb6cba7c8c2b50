"""What the test modules share: float32 arithmetic and bitwise comparison of
samples, fresh interpreters, a table of every public callable read from its
signature, an instance of every class, what an instance's state shows, and
random patches with the comparison of what runs return.

Plain functions live here and the test modules import them; conftest.py holds
only fixtures, since pytest loads it itself and it is not meant to be imported.
"""
import ctypes
import inspect
import math
import os
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
from hypothesis import strategies as st

import vorda
import vorda_blocks as vb

F32 = np.float32
NAN, INF = float("nan"), float("inf")

# The reference models overflow to infinity and make NaN on purpose.
np.seterr(all="ignore")


def f32(x):
    """The float32 value nearest to x, as the Python float a call returns."""
    return float(F32(x))


def f32_bits(bits):
    return F32(struct.unpack("<f", struct.pack("<I", bits))[0])


_libm = ctypes.CDLL("libm.so.6")


def libm_f32(name, arity=1):
    """The platform's own single-precision routine (sinf, powf, ...): numpy's
    float32 versions are other implementations and may differ in the last bit."""
    fn = getattr(_libm, name)
    fn.restype, fn.argtypes = ctypes.c_float, [ctypes.c_float] * arity
    return lambda *args: F32(fn(*(float(a) for a in args)))


def same(a, b):
    """Bitwise equality of samples, or of tuples and lists of them: NaN equals NaN,
    -0.0 differs from 0.0."""
    if isinstance(a, (tuple, list)) or isinstance(b, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if a is None or b is None or isinstance(a, int) or isinstance(b, int):
        return a == b and type(a) is type(b)
    a, b = float(a), float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def assert_same(actual, expected):
    assert same(float(actual), float(expected)), f"{actual!r} != {float(expected)!r}"


def replay(real, model, ops, configure=None):
    """Drives a processor and its model alike: None resets both, a tuple goes to
    `configure`, anything else is processed by both and the results compared."""
    for op in ops:
        if op is None:
            assert real.reset() is None
            model.reset()
        elif isinstance(op, tuple):
            configure(op)
        else:
            got, want = real.process(op), model.process(op)
            assert same(got, want), (op, got, want)


def panic_type():
    """PanicException is not a module attribute; catch one to get the class."""
    try:
        vorda.RingBufferS(2**61)
    except BaseException as e:  # noqa: BLE001 - that is the point
        return type(e)
    raise AssertionError("expected a panic")


class Num:
    """A number behind __float__ and __index__ that first runs `before` (or raises)."""

    def __init__(self, value, error=None, before=None):
        self.value, self.error, self.before = value, error, before

    def _convert(self, cast):
        if self.before:
            self.before()
        if self.error is not None:
            raise self.error
        return cast(self.value)

    def __float__(self):
        return self._convert(float)

    def __index__(self):  # a float value is refused here, as the interpreter refuses it
        return self._convert(lambda value: value)


def run_python(code, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=120)


def run_clean(args, cwd, timeout=600):
    """Runs a command with nothing of the checkout or of the test environment
    reaching it through the environment (PYTHONPATH, PYTHONHOME)."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)


# --- Every public callable, from its text signature ----------------------------

def kind(name):
    """Counts are the `_samp` arguments, `waveform` and the seed (which may be None)."""
    return "seed" if name == "seed" else "count" if name.endswith("_samp") or name == "waveform" \
        else "sample"


def params(fn):
    return [p for p in inspect.signature(fn).parameters.values() if p.name != "self"]


def standard(ps):
    """Valid values, distinct per position, small enough to size a buffer."""
    return [(1.5, 0.75, 2.5, 0.25, 3.5)[i] if kind(p.name) == "sample" else (5, 3, 9, 2, 7)[i]
            for i, p in enumerate(ps)]


CLASSES = [getattr(vorda, n) for n in vorda.__all__ if isinstance(getattr(vorda, n), type)]


def methods(cls):
    return {k: params(v) for k, v in vars(cls).items() if callable(v) and not k.startswith("__")}


def properties(cls):
    return [k for k, v in vars(cls).items() if inspect.isgetsetdescriptor(v)]


def make(cls):
    return cls(*standard(params(cls)))


def settable(cls, prop):
    try:
        setattr(make(cls), prop, 1.5)
    except AttributeError:
        return False
    return True


def operations(cls):
    """(label, op, shared) for all one can do to an instance: property reads and
    `read` share it, everything else needs it alone."""
    ops = [(f".{p}", lambda o, p=p: getattr(o, p), True) for p in properties(cls)]
    ops += [(f".{p}=", lambda o, p=p: setattr(o, p, 1.5), False)
            for p in properties(cls) if settable(cls, p)]
    return ops + [(m, lambda o, m=m, a=standard(ps): getattr(o, m)(*a), m == "read")
                  for m, ps in methods(cls).items()]


def observe(obj):
    """What the state shows: every property, then every operation twice, reset last."""
    if obj is vorda:
        return []
    ops = sorted(operations(type(obj)), key=lambda op: op[0] == "reset")
    return [op(obj) for _ in range(2) for label, op, _ in ops if not label.endswith("=")]


# (owner, callee): constructors, methods that take arguments, and pan2.
CALLABLES = [(c.__name__, "__new__") for c in CLASSES] + [
    (c.__name__, m) for c in CLASSES for m, ps in methods(c).items() if ps] + [("pan2", "pan2")]


def target(owner, callee):
    """(function, instance, twin, parameters, full name used in messages)."""
    if owner == "pan2":
        return vorda.pan2, vorda, vorda, params(vorda.pan2), "pan2()"
    cls = getattr(vorda, owner)
    inst, twin = make(cls), make(cls)
    fn = cls if callee == "__new__" else getattr(inst, callee)
    return fn, inst, twin, params(fn), f"{owner}.{callee}()"


def twin_call(owner, callee, twin):
    return getattr(vorda, owner) if callee == "__new__" else getattr(twin, callee)


def refusals(long_call, calls, expected):
    """What `calls` (by name) raise while `long_call` runs in another thread:
    the set of RuntimeError messages of each. Runs `long_call` again until
    every call expected to be refused has been (a loaded machine may not run
    the thread while it holds its borrows), at most 50 times."""
    refused = {name: set() for name in calls}
    for _ in range(50):
        worker = threading.Thread(target=long_call)
        worker.start()
        while worker.is_alive():
            for name, call in calls.items():
                try:
                    call()
                except RuntimeError as e:
                    refused[name].add(str(e))
        worker.join()
        if all(refused[name] for name, messages in expected.items() if messages):
            break
    return refused


# --- An instance of every class, and what its state shows ---------------------

SR = 64.0  # a small rate: delays of a fraction of a second reach round small rings
RINGS = (vorda.RingBufferS, vorda.RingBufferN, vorda.RingBufferL)


def makers(samples):
    """A maker for every class (Lfo for two of its waveforms), by name; the
    delay-based ones hold `samples` samples (5 for rings of 8 slots, 100 for
    rings of 128)."""
    seconds = samples / SR
    return {
        "SinOsc": lambda: vorda.SinOsc(SR, 0.3),
        "WhiteNoise": lambda: vorda.WhiteNoise(7),
        "Lfo": lambda: vorda.Lfo(SR, 0),
        "Lfo1": lambda: vorda.Lfo(SR, 1),
        "Biquad": lambda: vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1),
        "LeakDc": lambda: vorda.LeakDc(0.9),
        **{f"{k}S": (lambda k=k: getattr(vorda, f"{k}S")(samples))
           for k in ("Delay", "Comb", "Allpass", "RingBuffer")},
        **{f"{k}{m}": (lambda k=k, m=m: getattr(vorda, f"{k}{m}")(SR, seconds))
           for k in ("Delay", "Comb", "Allpass", "RingBuffer") for m in "NL"},
    }


def exact(samples):
    """The bit patterns of float32 samples. Every NaN counts as one: when two NaNs
    meet, the hardware keeps the sign and payload of one operand, and which one
    depends on how the compiler ordered a commutative operation."""
    samples = np.where(np.isnan(samples), np.float32(NAN), samples)
    return samples.view(np.uint32)


def bits(results, outputs=1):
    """Per-sample results, one row per output."""
    return exact(np.array(results, dtype=np.float32).reshape(len(results), outputs).T)


def probe(obj):
    """A fixed per-sample call sequence whose results depend on all of obj's state."""
    if isinstance(obj, RINGS):
        delays = range(10) if isinstance(obj, vorda.RingBufferS) else np.arange(-2, 12) / 40.0
        return bits([obj.read(d) for d in delays]).tolist()
    params = list(inspect.signature(obj.process).parameters)
    fixed = [3 if p.endswith("_samp") else 0.07 if p.endswith("_sec") else 5.0 for p in params]
    results = [obj.process(*[x if p in ("x", "xn") else v for p, v in zip(params, fixed)])
               for x in (1.0, -0.5, 0.25, 0.0, 2.0)]
    extra = [getattr(obj, p) for p in ("phase", "coef") if hasattr(type(obj), p)]
    outputs = len(results[0]) if isinstance(results[0], tuple) else 1
    return bits(results, outputs).tolist() + bits(extra).tolist()


# --- Random patches -----------------------------------------------------------

# Rings of 128 slots: delays around that size wrap, and a chunk may run its
# reads ahead only when the slot actually read is a chunk back.
PATCH_MAKERS = makers(100)
RING_NAMES = ("RingBufferS", "RingBufferN", "RingBufferL")
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
        obj, twin = PATCH_MAKERS[name](), PATCH_MAKERS[name]()
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
        obj = self.instance([n for n in PATCH_MAKERS if n[:-1] in ("Delay", "Comb", "RingBuffer")])
        into = f if self.draw(st.booleans()) else f + self.draw(sample_argument(self.values))
        if isinstance(obj, RINGS):
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
            obj = self.instance([n for n in PATCH_MAKERS if n not in RING_NAMES])
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
            ring = self.instance(list(RING_NAMES))
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


def recorded(data):
    """A Recorder that has drawn its patch."""
    recorder = Recorder(data)
    recorder.record()
    return recorder


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


def same_outputs(got, want):
    """What two runs returned is the same: dtypes, shapes and bits (NaN as NaN)."""
    got = got if isinstance(got, tuple) else (got,)
    want = want if isinstance(want, tuple) else (want,)
    return len(got) == len(want) and all(
        g.dtype == w.dtype and g.shape == w.shape and
        np.array_equal(*((exact64 if g.dtype == np.float64 else exact)(a) for a in (g, w)))
        for g, w in zip(got, want))
