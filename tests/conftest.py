import ctypes
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
    """The float32 with the given IEEE-754 bit pattern."""
    return F32(struct.unpack("<f", struct.pack("<I", bits))[0])


_libm = ctypes.CDLL("libm.so.6")


def libm_f32(name, arity=1):
    """The platform's own single-precision routine, e.g. sinf: numpy's float32 sin
    is a different implementation and may differ from it in the last bit."""
    fn = getattr(_libm, name)
    fn.restype = ctypes.c_float
    fn.argtypes = [ctypes.c_float] * arity
    return lambda *args: F32(fn(*(float(a) for a in args)))


def same_sample(a, b):
    """Bitwise equality of two samples: NaN equals NaN, -0.0 differs from 0.0."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def assert_same(actual, expected):
    assert same_sample(actual, float(expected)), f"{actual!r} != {float(expected)!r}"


def panic_type():
    """PanicException is not a module attribute; catch one to get the class."""
    try:
        vorda.RingBufferS(2**61)
    except BaseException as e:  # noqa: BLE001 - that is the point
        return type(e)
    raise AssertionError("expected a panic")


def run_python(code, env=None):
    """Runs code in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()
