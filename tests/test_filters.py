"""Biquad, LeakDc and pan2 against independent float32 models."""
import types

import pytest
from hypothesis import given, settings, strategies as st

import vorda
from helpers import F32, assert_same, f32_bits, libm_f32, replay

sinf, cosf = libm_f32("sinf"), libm_f32("cosf")
QUARTER_PI = f32_bits(0x3F490FDB)
NAN, INF = float("nan"), float("inf")


class BiquadModel:
    def __init__(self, *coefs):
        self.set_coefs(*coefs)
        self.reset()

    def set_coefs(self, *coefs):
        self.b0, self.b1, self.b2, self.a1, self.a2 = map(F32, coefs)

    def reset(self):
        self.z1 = self.z2 = F32(0.0)

    def process(self, x):
        x = F32(x)
        y = x * self.b0 + self.z1
        self.z1 = self.z2 + (x * self.b1 - y * self.a1)
        self.z2 = x * self.b2 - y * self.a2
        return y


class LeakModel:
    def __init__(self, coef):
        self.coef = F32(coef)
        self.reset()

    def reset(self):
        self.x1 = self.y1 = F32(0.0)

    def process(self, xn):
        xn = F32(xn)
        self.x1, self.y1 = xn, (xn - self.x1) + self.coef * self.y1
        return self.y1


def pan_model(x, pos):
    x, pos = F32(x), F32(pos)
    pos = F32(-1.0) if pos < -1.0 else F32(1.0) if pos > 1.0 else pos
    theta = (pos + F32(1.0)) * QUARTER_PI
    return x * cosf(theta), x * sinf(theta)


# Hypothesis favours short binary fractions, on which another rounding order often
# gives the same result; quotients by 3e8 fill the whole mantissa.
dense = st.integers(-10**9, 10**9).map(lambda k: k / 3e8)
samples = dense | st.floats(-4, 4) | st.floats(width=32) | st.floats()
coefs = dense | st.floats(-2, 2) | st.floats(width=32)


@settings(max_examples=300, deadline=None)
@given(initial=st.tuples(*[coefs] * 5),
       ops=st.lists(samples | st.none() | st.tuples(*[coefs] * 5), max_size=60))
def test_biquad_matches_model(initial, ops):
    """A number is processed, None resets, a tuple sets the coefficients (the memory
    carries over)."""
    f, model = vorda.Biquad(*initial), BiquadModel(*initial)
    replay(f, model, ops, lambda c: (f.set_coefs(**dict(zip(("b0", "b1", "b2", "a1", "a2"), c))),
                                     model.set_coefs(*c)))


@settings(max_examples=300, deadline=None)
@given(coef=coefs, ops=st.lists(samples | st.none() | st.tuples(coefs), max_size=60))
def test_leak_dc_matches_model(coef, ops):
    f, model = vorda.LeakDc(coef), LeakModel(coef)
    replay(f, model, ops, lambda c: (setattr(f, "coef", c[0]), setattr(model, "coef", F32(c[0]))))
    assert_same(f.coef, model.coef)


def test_leak_dc_default_and_reset():
    f = vorda.LeakDc()
    assert f.coef == 0.9950000047683716
    assert [f.process(1.0) for _ in range(3)] == [1.0, 0.9950000047683716, 0.990024983882904]
    f.reset()  # x1 and y1 both cleared
    assert f.process(0.5) == 0.5


@settings(max_examples=500, deadline=None)
@given(x=samples, pos=st.floats(-1.5, 1.5) | st.floats(width=32) | st.floats())
def test_pan2_matches_model(x, pos):
    left, right = vorda.pan2(x, pos)
    want = pan_model(x, pos)
    assert_same(left, want[0])
    assert_same(right, want[1])


@pytest.mark.parametrize("x, pos, expected", [
    (1.0, 0.0, (0.7071067690849304, 0.7071067690849304)),
    (1.0, -5.0, (1.0, 0.0)),
    (1.0, INF, (-4.371138828673793e-08, 1.0)),  # the float32 pi/2 lies just above pi/2
    (1.0, NAN, (NAN, NAN)),  # the clamp compares, so NaN passes through
    (1e300, -1.0, (INF, NAN)),  # x is not clamped: inf * 0.0
])
def test_pan2_boundaries(x, pos, expected):
    left, right = vorda.pan2(x, pos)
    assert_same(left, expected[0])
    assert_same(right, expected[1])


def test_pan2_is_a_module_function():
    assert type(vorda.pan2) is types.BuiltinFunctionType
    assert vorda.pan2.__self__ is vorda and vorda.pan2.__module__ == "vorda"
    assert vorda.pan2.__text_signature__ == "(x, pos=0.0)"
