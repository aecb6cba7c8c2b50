"""Command line and file output shared by the examples.

The examples do their per-sample work in plain Python loops over vorda
processors (the demo, in vorda_blocks calls over whole arrays); numpy only
turns the finished sample lists into arrays here.
"""

from __future__ import annotations

import argparse
import math
import re
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.io import wavfile

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
