"""Biquad, LeakDc and pan2 against independent float32 models."""
import types

import pytest
from hypothesis import given, settings, strategies as st

import vorda
from conftest import F32, assert_same, f32_bits, libm_f32

sinf, cosf = libm_f32("sinf"), libm_f32("cosf")
QUARTER_PI = f32_bits(0x3F490FDB)
NAN, INF = float("nan"), float("inf")
COEF_NAMES = ("b0", "b1", "b2", "a1", "a2")


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
    def __init__(self, coef=0.995):
        self.coef = F32(coef)
        self.reset()

    def reset(self):
        self.x1 = self.y1 = F32(0.0)

    def process(self, xn):
        xn = F32(xn)
        self.x1, self.y1 = xn, (xn - self.x1) + self.coef * self.y1
        return self.y1


def pan_model(x, pos=0.0):
    x, pos = F32(x), F32(pos)
    if pos < -1.0:
        pos = F32(-1.0)
    if pos > 1.0:
        pos = F32(1.0)
    theta = (pos + F32(1.0)) * QUARTER_PI
    return x * cosf(theta), x * sinf(theta)


# --- Driving implementation and model with the same calls --------------------

# Hypothesis favours short binary fractions, on which a different rounding order
# often gives the same result; quotients by 3e8 fill the whole mantissa.
dense = st.integers(-10**9, 10**9).map(lambda k: k / 3e8)
samples = dense | st.floats(-4, 4) | st.floats(width=32) | st.floats()
coefs = dense | st.floats(-2, 2) | st.floats(width=32)


def replay(real, model, ops, configure):
    """None resets, a tuple goes to configure, a number is processed by both."""
    for op in ops:
        if op is None:
            assert real.reset() is None
            model.reset()
        elif isinstance(op, tuple):
            configure(op)
        else:
            assert_same(real.process(op), model.process(op))


@settings(max_examples=300, deadline=None)
@given(initial=st.tuples(*[coefs] * 5),
       ops=st.lists(samples | st.none() | st.tuples(*[coefs] * 5), max_size=60))
def test_biquad_matches_model(initial, ops):
    f, model = vorda.Biquad(*initial), BiquadModel(*initial)

    def configure(new):
        assert f.set_coefs(**dict(zip(COEF_NAMES, new))) is None
        model.set_coefs(*new)
    replay(f, model, ops, configure)


@settings(max_examples=300, deadline=None)
@given(coef=st.none() | coefs, ops=st.lists(samples | st.none() | st.tuples(coefs), max_size=60))
def test_leak_dc_matches_model(coef, ops):
    f = vorda.LeakDc() if coef is None else vorda.LeakDc(coef)
    model = LeakModel() if coef is None else LeakModel(coef)

    def configure(new):
        f.coef, model.coef = new[0], F32(new[0])
        assert_same(f.coef, model.coef)
    replay(f, model, ops, configure)
    assert_same(f.coef, model.coef)


@settings(max_examples=500, deadline=None)
@given(x=samples, pos=st.none() | st.floats(-1.5, 1.5) | st.floats(width=32) | st.floats())
def test_pan2_matches_model(x, pos):
    got = vorda.pan2(x) if pos is None else vorda.pan2(x, pos)
    expected = pan_model(x) if pos is None else pan_model(x, pos)
    assert type(got) is tuple and len(got) == 2
    assert_same(got[0], expected[0])
    assert_same(got[1], expected[1])


# --- Biquad ------------------------------------------------------------------

@pytest.mark.parametrize("coefs, response", [
    ((1, 0, 0, 0, 0), [1.0, 0.0, 0.0]),
    ((1, 2, 1, 0, 0), [1.0, 2.0, 1.0, 0.0]),
    ((1, 0, 0, -0.5, 0), [1.0, 0.5, 0.25, 0.125]),  # a1 enters with a minus sign
    ((0.1, 0.2, 0.1, -0.5, 0.25),
     [0.10000000149011612, 0.25, 0.20000000298023224, 0.03750000149011612, -0.03125]),
])
def test_biquad_impulse_response_and_reset(coefs, response):
    f = vorda.Biquad(*coefs)
    for _ in range(2):  # reset clears the memory completely
        assert [f.process(x) for x in [1.0] + [0.0] * (len(response) - 1)] == response
        f.reset()


def test_coefficient_change_keeps_the_state():
    f = vorda.Biquad(1.0, 0.0, 0.0, -0.5, 0.0)
    assert f.process(1.0) == 1.0
    f.set_coefs(0.0, 0.0, 0.0, 0.0, 0.0)
    assert [f.process(0.0), f.process(0.0)] == [0.5, 0.0]


# --- LeakDc ------------------------------------------------------------------

@pytest.mark.parametrize("coef, inputs, outputs", [  # None in the inputs: reset
    ((), [1.0, 1.0, 1.0, None, 0.5], [1.0, 0.9950000047683716, 0.990024983882904, 0.5]),
    ((0.5,), [1.0, 1.0, 1.0, 0.0, None, -2.0], [1.0, 0.5, 0.25, -0.875, -2.0]),
    ((0.0,), [1.0, 3.0, 2.0, 2.0], [1.0, 2.0, -1.0, 0.0]),
    ((INF,), [1.0, None, 0.0], [NAN, NAN]),  # inf * 0.0, also on a cleared memory
    ((0.5,), [NAN, 1.0, None, 1.0], [NAN, NAN, 1.0]),
])
def test_leak_dc_sequences(coef, inputs, outputs):
    f = vorda.LeakDc(*coef)
    got = [f.process(x) if x is not None else f.reset() for x in inputs]
    for a, b in zip([y for y in got if y is not None], outputs, strict=True):
        assert_same(a, b)


def test_leak_dc_coef_property():
    assert vorda.LeakDc().coef == 0.9950000047683716
    assert vorda.LeakDc(0.999).coef == vorda.LeakDc(coef=0.999).coef == 0.9990000128746033
    f = vorda.LeakDc(0.5)
    assert f.process(1.0) == 1.0
    f.coef = 0.25  # only the coefficient changes: x1 = y1 = 1.0 carry over
    assert f.coef == 0.25 and f.process(1.0) == 0.25
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del f.coef
    with pytest.raises(TypeError) as info:
        f.coef = "x"
    assert str(info.value) == "argument 'coef': must be real number, not str"
    assert f.coef == 0.25


# --- pan2 --------------------------------------------------------------------

LEFT = (1.0, 0.0)
RIGHT = (-4.371138828673793e-08, 1.0)  # the float32 pi/2 lies just above pi/2


@pytest.mark.parametrize("x, pos, expected", [
    (1.0, 0.0, (0.7071067690849304, 0.7071067690849304)),
    (1.0, 0.5, (0.3826834261417389, 0.9238795042037964)),
    *[(1.0, pos, LEFT) for pos in (-1.0, -5.0, -INF)],
    *[(1.0, pos, RIGHT) for pos in (1.0, 5.0, INF)],
    (1.0, NAN, (NAN, NAN)),  # the clamp compares, so NaN passes through
    (-1.0, -1.0, (-1.0, -0.0)),
    (1e300, -1.0, (INF, NAN)),  # x is not clamped: inf * 0.0
])
def test_pan2_examples(x, pos, expected):
    left, right = vorda.pan2(x, pos)
    assert_same(left, expected[0])
    assert_same(right, expected[1])


def test_pan2_is_a_module_function():
    assert type(vorda.pan2) is types.BuiltinFunctionType
    assert vorda.pan2.__self__ is vorda
    assert vorda.pan2.__module__ == "vorda"
    assert vorda.pan2.__text_signature__ == "(x, pos=0.0)"
    assert vorda.pan2.__doc__.startswith("Equal-power mono-to-stereo panner.\n")
    assert vorda.pan2(x=2.0, pos=0) == vorda.pan2(2.0, -0.0) == vorda.pan2(2.0) == (
        1.4142135381698608, 1.4142135381698608)
