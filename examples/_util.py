"""Command line and file output shared by the examples, and the demo's Engine.

The examples do their per-sample work in plain Python loops over vorda
processors (the demo, in vorda_blocks calls over whole arrays, or per sample
through the same Engine); numpy only turns the finished sample lists into
arrays here.
"""

from __future__ import annotations

import argparse
import itertools
import math
import re
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
from scipy.io import wavfile

import vorda
import vorda_blocks as vb

Signal = npt.NDArray[np.float32]

# Finished files peak at -1 dBFS, leaving a little headroom for players
# that resample or add dither.
PEAK = 10.0 ** (-1.0 / 20.0)


def summary(doc: str | None) -> str:
    """The first paragraph of an example's docstring past its title, on one line."""
    paragraphs = [p.strip() for p in str(doc).split("\n\n") if p.strip()]
    # A reStructuredText title: a line over a line of '=' (the gallery's page heading).
    body = [p for p in paragraphs if not re.fullmatch(r"[^\n]+\n=+", p)]
    return " ".join((body or paragraphs or [""])[0].split())


def example_args(doc: str | None) -> argparse.ArgumentParser:
    """A parser with the options every example takes (--quick and --out),
    described by the first paragraph of the example's docstring."""
    parser = argparse.ArgumentParser(description=summary(doc))
    parser.add_argument(
        "--quick", action="store_true", help="render only a fraction of a second"
    )
    parser.add_argument(
        "--out", type=Path, default=Path("out"), help="output folder (default: out)"
    )
    return parser


def normalize(*channels: Sequence[float] | npt.NDArray[Any]) -> list[Signal]:
    """Scales all channels by one factor so that the loudest sample is at PEAK.
    Lists are scaled in double precision; float32 arrays stay float32."""
    arrays = [
        c if isinstance(c, np.ndarray) and c.dtype == np.float32 else np.asarray(c, dtype=np.float64)
        for c in channels
    ]
    peak = max((float(np.max(np.abs(a))) for a in arrays if a.size), default=0.0)
    gain = PEAK / peak if peak > 0.0 else 1.0
    return [(a * gain).astype(np.float32, copy=False) for a in arrays]


def write_wav(path: Path, sample_rate: int, left: Signal, right: Signal | None = None) -> Path:
    """Writes a 32-bit float WAV file (stereo when `right` is given)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    data = left if right is None else np.column_stack([left, right])
    wavfile.write(path, sample_rate, data)
    return path


def render_example(
    doc: str | None,
    filename: str,
    render: Callable[[float, int], Sequence[Sequence[float]]],
    seconds: float,
    sample_rate: int,
) -> None:
    """The command line of the examples that render sound: parses --quick and
    --out, renders `seconds` (a tenth of a second with --quick) and writes
    the normalised channels to out/filename."""
    args = example_args(doc).parse_args()
    channels = normalize(*render(0.1 if args.quick else seconds, sample_rate))
    path = write_wav(args.out / filename, sample_rate, *channels)
    print(f"wrote {path}")


def midi_hz(note: float) -> float:
    """Equal-tempered frequency of a MIDI note number (69 is A4, 440 Hz)."""
    return 440.0 * math.pow(2.0, (note - 69.0) / 12.0)


# A processor argument: one number for the whole run, or one value per sample.
Values: TypeAlias = float | int | npt.NDArray[Any]
Processor: TypeAlias = (
    vorda.SinOsc | vorda.WhiteNoise | vorda.Biquad | vorda.LeakDc
    | vorda.DelayS | vorda.DelayN | vorda.DelayL | vorda.CombS | vorda.CombN | vorda.CombL
    | vorda.AllpassS | vorda.AllpassN | vorda.AllpassL
)  # fmt: skip
Ring: TypeAlias = vorda.RingBufferS | vorda.RingBufferN | vorda.RingBufferL


class Engine:
    """Runs vorda's processors over arrays, either as one vorda_blocks call
    or as one call of the processor per sample. The two give the same bits,
    so all the numpy code around them is the same in both modes and so is
    the piece."""

    def __init__(self, per_sample: bool = False) -> None:
        self.per_sample = per_sample

    def process(self, obj: Processor, *args: Values, n: int | None = None) -> Signal:
        if not self.per_sample:
            y: Signal = vb.process(obj, *args, n=n)
            return y
        n, rows = _rows(args, n)
        return np.fromiter(itertools.starmap(obj.process, rows), np.float32, n)

    def lfo(self, obj: vorda.Lfo, frequency: Values, n: int | None = None) -> tuple[Signal, Signal]:
        if not self.per_sample:
            return vb.process(obj, frequency, n=n)
        n, rows = _rows((frequency,), n)
        return _pair(itertools.starmap(obj.process, rows), n)

    def pan2(self, x: Values, pos: Values = 0.0, n: int | None = None) -> tuple[Signal, Signal]:
        if not self.per_sample:
            return vb.pan2(x, pos, n=n)
        n, rows = _rows((x, pos), n)
        return _pair(itertools.starmap(vorda.pan2, rows), n)

    def read(self, ring: Ring, delays: Values, n: int | None = None) -> Signal:
        if not self.per_sample:
            y: Signal = vb.read(ring, delays, n=n)
            return y
        n, rows = _rows((delays,), n)
        return np.fromiter(itertools.starmap(ring.read, rows), np.float32, n)

    def write(self, ring: Ring, xs: npt.NDArray[Any]) -> None:
        if not self.per_sample:
            vb.write(ring, xs)
            return
        for x in xs.tolist():
            ring.write(x)

    def run(self, patch: vb.Patch, n: int | None = None, **inputs: Values) -> tuple[Signal, ...]:
        """The patch's outputs over the inputs, in the order it declared them,
        continuing where its last run stopped. Per sample, the loop calls the
        patch's own instances and hands its feedback values back to the
        patch, so that the next run, in either mode, goes on from there."""
        if self.per_sample:
            # Imported here: patch_loop takes its own helpers from this module.
            from patch_loop import PatchLoop

            got = PatchLoop(patch, update_patch=True).run(n, **inputs)
        else:
            got = patch.run(n, **inputs)
        return tuple(got) if isinstance(got, tuple) else (got,) if got is not None else ()


def _rows(args: Sequence[Values], n: int | None) -> tuple[int, Iterable[tuple[Any, ...]]]:
    """The block length and the arguments of each per-sample call, as the
    Python numbers a caller of vorda would pass."""
    if n is None:
        n = next(len(a) for a in args if isinstance(a, np.ndarray))
    columns = [a.tolist() if isinstance(a, np.ndarray) else itertools.repeat(a, n) for a in args]
    return n, (zip(*columns) if columns else itertools.repeat((), n))


def _pair(pairs: Iterable[tuple[float, float]], n: int) -> tuple[Signal, Signal]:
    both = np.array(list(pairs), dtype=np.float32).reshape(n, 2)
    return np.ascontiguousarray(both[:, 0]), np.ascontiguousarray(both[:, 1])
