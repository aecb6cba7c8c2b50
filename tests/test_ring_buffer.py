"""Ring buffers against an independent float32 model."""
import numpy as np
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
