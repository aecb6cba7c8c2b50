"""Delay lines, comb and allpass filters against one float32 model of the loop."""
import math

import pytest
from hypothesis import given, settings, strategies as st

import vorda
from conftest import F32, assert_same, libm_f32
from test_ring_buffer import (
    RingModel, TimeRingModel, delays_sec, max_delays, pow2_size, rates, samples, u64_to_f32)

# numpy's float32 power is not the C library's: they disagree in the last bit for
# about one exponent in thirty, so the model calls the very powf the module links.
powf = libm_f32("powf", 2)
BASE = F32(0.001)


def sign(x):
    return x if math.isnan(x) else F32(math.copysign(1.0, x))


class LoopModel:
    """v = x + g*y is what the loop stores; a delay line stores x and has no g."""

    def __init__(self, name, *args):
        self.family, self.kind = name[:-1], name[-1]
        self.ring = RingModel(pow2_size(args[0])) if self.kind == "S" else TimeRingModel(*args)

    def gain(self, delay, decay):
        if self.kind == "S":
            return powf(BASE, u64_to_f32(delay) / u64_to_f32(decay))
        delay, decay = F32(delay), F32(decay)
        return sign(decay) * powf(BASE, delay / abs(decay))

    def process(self, xn, delay, decay):
        ring = self.ring
        y = getattr(ring, {"S": "read", "N": "read_n", "L": "read_l"}[self.kind])(delay)
        if self.family == "Delay":
            ring.write(xn)
            return y
        g = self.gain(delay, decay)
        v = F32(xn) + g * y
        ring.write(v)
        return y if self.family == "Comb" else y - g * v


def call(obj, xn, delay, decay):
    if type(obj).__name__.startswith("Delay"):
        return obj.process(xn, delay)
    return obj.process(xn, delay, decay)


signal = st.floats(-4.0, 4.0, width=32) | samples
counts = st.integers(0, 12) | st.integers(0, 2**64 - 1)


@pytest.mark.parametrize("name", ["DelayS", "CombS", "AllpassS"])
@settings(max_examples=200, deadline=None)
@given(max_delay=st.integers(0, 9), ops=st.lists(st.tuples(signal, counts, counts), max_size=60))
def test_integer_delay_matches_model(name, max_delay, ops):
    obj, model = getattr(vorda, name)(max_delay), LoopModel(name, max_delay)
    for xn, delay, decay in ops:
        assert_same(call(obj, xn, delay, decay), model.process(xn, delay, decay))


@st.composite
def timed_calls(draw):
    rate, max_delay = draw(rates), draw(max_delays)
    decays = st.floats(-4.0, 4.0, width=32) | st.sampled_from(
        [0.0, -0.0, math.nan, math.inf, -math.inf, 1e-30])
    ops = st.lists(st.tuples(signal, delays_sec(rate, max_delay), decays), max_size=60)
    return rate, max_delay, draw(ops)


@pytest.mark.parametrize("name", ["DelayN", "DelayL", "CombN", "CombL", "AllpassN", "AllpassL"])
@settings(max_examples=200, deadline=None)
@given(setup=timed_calls())
def test_timed_delay_matches_model(name, setup):
    rate, max_delay, ops = setup
    obj, model = getattr(vorda, name)(rate, max_delay), LoopModel(name, rate, max_delay)
    for xn, delay, decay in ops:
        assert_same(call(obj, xn, delay, decay), model.process(xn, delay, decay))


# --- Worked examples ---------------------------------------------------------

@pytest.mark.parametrize("name, args, delay, expected", [
    ("DelayS", (4,), 1, [0, 1, 2, 3, 4, 5]),
    ("DelayS", (4,), 2, [0, 0, 1, 2, 3, 4]),
    ("DelayS", (4,), 4, [0, 0, 0, 0, 1, 2]),
    ("DelayS", (4,), 0, [0, 0, 0, 0, 1, 2]),  # the oldest slot, never the input itself
    ("DelayS", (4,), 5, [0, 1, 2, 3, 4, 5]),
    ("DelayS", (3,), 4, [0, 0, 0, 0, 1, 2]),
    ("DelayS", (0,), 7, [0, 1, 2, 3, 4, 5]),
    ("DelayN", (4.0, 1.0), 0.375, [0, 1, 2, 3, 4, 5]),
    ("DelayL", (4.0, 1.0), 0.375, [0, 0.5, 1.5, 2.5, 3.5, 4.5]),
    ("DelayN", (4.0, 1.0), 0.1, [0, 0, 0, 0, 1, 2]),
    ("DelayL", (4.0, 1.0), 0.1, [0, 0.4000000059604645, 0.800000011920929, 1.2000000476837158,
                                 2.200000047683716, 3.200000047683716]),
    ("DelayN", (4.0, 1.0), 1.0, [0, 0, 0, 0, 1, 2]),
    ("DelayL", (4.0, 1.0), 1.0, [0, 0, 0, 0, 1, 2]),
])
def test_delay_outputs(name, args, delay, expected):
    line = getattr(vorda, name)(*args)
    assert [line.process(float(x), delay) for x in range(1, 7)] == expected


G = F32(0.001)
P = powf(BASE, F32(0.5))  # coefficient of a 0.5 s delay under a 1 s decay


@pytest.mark.parametrize("name, args, delay, decay, expected", [
    ("CombS", (4,), 2, 2, [0, 0, 1, 0, 0.0010000000474974513, 0, G * G]),
    # Six wraps to two on four slots, but the coefficient is still 0.001**(6/3).
    ("CombS", (4,), 6, 3, [0, 0, 1, 0, powf(BASE, 2.0), 0]),
    ("CombS", (4,), 1, 0, [0, 1, 0, 0, 0]),  # no feedback: a plain delay
    # The count rounds straight to float32, up to 2**63 + 2**40; by way of a double
    # it would tie down to 2**63. It still wraps to a delay of one sample.
    ("CombS", (4,), 2**63 + 2**39 + 1, 2**62, [0, 1, powf(BASE, 2.0 + 2.0**-22)]),
    ("CombS", (4,), 0, 1, [0, 0, 0, 0, 1, 0, 0, 0, 1]),  # g = 1 on the oldest slot
    ("CombS", (4,), 0, 0, [0, 0, 0, 0, math.nan]),
    ("CombN", (4.0, 1.0), 0.5, 1.0, [0, 0, 1, 0, P, 0, P * P]),
    ("CombL", (4.0, 1.0), 0.5, -1.0, [0, 0, 1, 0, -P, 0, P * P, 0, -(P * P) * P]),
    ("CombN", (4.0, 1.0), 0.5, -1.0, [0, 0, 1, 0, -P, 0, P * P, 0, -(P * P) * P]),
    ("CombL", (4.0, 1.0), 0.5, -0.0, [0, 0, 1, 0, 0, 0]),
    ("AllpassS", (4,), 2, 2,
     [-0.0010000000474974513, 0, 0.9999989867210388, 0, G - G * (G * G), 0]),
    ("AllpassS", (4,), 1, 0, [0, 1, 0, 0]),
    ("AllpassS", (4,), 0, 0, [math.nan] * 5),  # -g*v reaches the output at once
    ("AllpassN", (4.0, 1.0), 0.5, 0.0, [0, 0, 1, 0, 0]),
    ("AllpassL", (4.0, 1.0), 0.5, -1.0, [P, 0, 1 - P * P, 0, -(P - P * (P * P))]),
])
def test_impulse_responses(name, args, delay, decay, expected):
    filt = getattr(vorda, name)(*args)
    for n, want in enumerate(expected):
        assert_same(filt.process(1.0 if n == 0 else 0.0, delay, decay), want)


# --- Construction ------------------------------------------------------------

SAMPLE_CLASSES = ["RingBufferS", "DelayS", "CombS", "AllpassS"]
TIMED_CLASSES = ["RingBufferN", "RingBufferL", "DelayN", "DelayL", "CombN", "CombL",
                 "AllpassN", "AllpassL"]
RATE_FAILS = "assertion failed: sample_rate > 0.0"
MAX_FAILS = "assertion failed: max_delay_sec > 0.0"


@pytest.mark.parametrize("name", TIMED_CLASSES)
@pytest.mark.parametrize("sample_rate, max_delay_sec, message", [
    (0.0, 1.0, RATE_FAILS), (-1.0, 1.0, RATE_FAILS), (math.nan, 1.0, RATE_FAILS),
    (0.0, -1.0, RATE_FAILS), (math.nan, math.nan, RATE_FAILS),
    (1e-50, 1.0, RATE_FAILS),  # positive as a double, zero as a Sample
    (100.0, 0.0, MAX_FAILS), (100.0, -1.0, MAX_FAILS), (100.0, math.nan, MAX_FAILS),
    (100.0, 1e-50, MAX_FAILS),
    (1e39, 1.0, "capacity overflow"),  # infinite rate passes its check, the size cannot
    (1.0, math.inf, "capacity overflow"),
    (2.0**40, 2.0**21, "capacity overflow"),
])
def test_timed_constructor_panics(PanicException, name, sample_rate, max_delay_sec, message):
    with pytest.raises(PanicException) as info:
        getattr(vorda, name)(sample_rate, max_delay_sec)
    assert str(info.value) == message


@pytest.mark.parametrize("name", SAMPLE_CLASSES)
@pytest.mark.parametrize("count", [2**60 + 1, 2**61, 2**63, 2**63 + 1, 2**64 - 1])
def test_sample_constructor_capacity_overflow(PanicException, name, count):
    with pytest.raises(PanicException, match="^capacity overflow$"):
        getattr(vorda, name)(count)


@pytest.mark.parametrize("name, args", [(n, (2**60,)) for n in SAMPLE_CLASSES]
                         + [(n, (2.0**40, 2.0**20)) for n in TIMED_CLASSES])
def test_largest_admissible_size_is_attempted(name, args):
    with pytest.raises(MemoryError):
        getattr(vorda, name)(*args)
