"""Whole numpy arrays through vorda's processors, bit for bit as the per-sample calls."""

from typing import SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
import numpy.typing as npt
import vorda

# A parameter is one value for the whole block or a 1-D array of per-sample
# values; Sample arrays of any real dtype are narrowed to float32, count
# arrays take integers and booleans.
_Samples: TypeAlias = SupportsFloat | SupportsIndex | npt.ArrayLike
_Counts: TypeAlias = SupportsIndex | npt.ArrayLike
_Block: TypeAlias = npt.NDArray[np.float32]
_Pair: TypeAlias = tuple[_Block, _Block]

@overload
def process(
    obj: vorda.SinOsc, /, frequency: _Samples, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.WhiteNoise, /, *, n: SupportsIndex | None = None, out: _Block | None = None
) -> _Block: ...
@overload
def process(
    obj: vorda.Lfo, /, frequency: _Samples, *, n: SupportsIndex | None = None,
    out: _Pair | list[_Block] | None = None,
) -> _Pair: ...
@overload
def process(
    obj: vorda.Biquad, /, x: _Samples, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.Biquad, /, x: _Samples, *, b0: _Samples, b1: _Samples, b2: _Samples,
    a1: _Samples, a2: _Samples, n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.LeakDc, /, xn: _Samples, *, coef: _Samples = ...,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.DelayS, /, xn: _Samples, delay_samp: _Counts, *,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.DelayN | vorda.DelayL, /, xn: _Samples, delay_sec: _Samples, *,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.CombS | vorda.AllpassS, /, xn: _Samples, delay_samp: _Counts,
    decay_samp: _Counts, *, n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.CombN | vorda.CombL | vorda.AllpassN | vorda.AllpassL, /, xn: _Samples,
    delay_sec: _Samples, decay_sec: _Samples, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def read(
    obj: vorda.RingBufferS, /, delay_samp: _Counts, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def read(
    obj: vorda.RingBufferN | vorda.RingBufferL, /, delay_sec: _Samples, *,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
def write(
    obj: vorda.RingBufferS | vorda.RingBufferN | vorda.RingBufferL, /, xn: _Samples, *,
    n: SupportsIndex | None = None,
) -> None:
    """Write a block of samples into a ring buffer: that many `obj.write` calls."""

def pan2(
    x: _Samples, pos: _Samples = 0.0, *, n: SupportsIndex | None = None,
    out: _Pair | list[_Block] | None = None,
) -> _Pair:
    """`vorda.pan2` over a block: returns the float32 arrays (left, right)."""
