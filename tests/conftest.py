"""Helpers shared by the suite: float32 arithmetic, bitwise comparison of samples,
fresh interpreters, and a table of every public callable read from its signature."""
import ctypes
import inspect
import threading
import math
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorda

F32 = np.float32

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


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


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


def probe(obj):
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
