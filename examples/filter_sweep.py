"""
Resonant filter sweep
=====================

A resonant low-pass sweep over white noise.

The Biquad knows nothing about cutoff or Q: its five coefficients are worked
out here with the audio-EQ cookbook formulas and handed over with set_coefs
every BLOCK samples, which is cheap because the filter keeps its state.

    python examples/filter_sweep.py [--quick] [--out DIR]
"""

from __future__ import annotations

import math

import vorda
from _util import render_example

SAMPLE_RATE = 48000
# Coefficients change every 32 samples (0.7 ms at 48 kHz): smooth to the ear,
# and the trigonometry stays out of the per-sample path.
BLOCK = 32

Coefs = tuple[float, float, float, float, float]


def below_nyquist(cutoff: float, sample_rate: float) -> float:
    """The formulas hold only below half the sample rate; past it they give
    an unstable filter, so a cutoff meant for a higher rate is held there."""
    return min(cutoff, 0.49 * sample_rate)


def lowpass_coefs(cutoff: float, q: float, sample_rate: float) -> Coefs:
    """Cookbook low-pass (b0, b1, b2, a1, a2), divided by a0."""
    w0 = 2.0 * math.pi * below_nyquist(cutoff, sample_rate) / sample_rate
    cos_w0 = math.cos(w0)
    alpha = math.sin(w0) / (2.0 * q)
    a0 = 1.0 + alpha
    b1 = (1.0 - cos_w0) / a0
    return (b1 / 2.0, b1, b1 / 2.0, -2.0 * cos_w0 / a0, (1.0 - alpha) / a0)


def highpass_coefs(cutoff: float, q: float, sample_rate: float) -> Coefs:
    """Cookbook high-pass (b0, b1, b2, a1, a2), divided by a0."""
    w0 = 2.0 * math.pi * below_nyquist(cutoff, sample_rate) / sample_rate
    cos_w0 = math.cos(w0)
    alpha = math.sin(w0) / (2.0 * q)
    a0 = 1.0 + alpha
    b1 = -(1.0 + cos_w0) / a0
    return (-b1 / 2.0, b1, -b1 / 2.0, -2.0 * cos_w0 / a0, (1.0 - alpha) / a0)


def sweep(seconds: float, sample_rate: int, seed: int = 1) -> list[float]:
    """Noise through a low-pass whose cutoff rises from 100 Hz to 9.6 kHz and
    falls back, on an exponential (equal steps per octave) path."""
    noise = vorda.WhiteNoise(seed)
    lp = vorda.Biquad(*lowpass_coefs(100.0, 8.0, sample_rate))
    n_total = int(seconds * sample_rate)
    out: list[float] = []
    for start in range(0, n_total, BLOCK):
        position = start / max(n_total - 1, 1)
        up_down = 1.0 - abs(2.0 * position - 1.0)
        lp.set_coefs(*lowpass_coefs(100.0 * 2.0 ** (6.6 * up_down), 8.0, sample_rate))
        for _ in range(min(BLOCK, n_total - start)):
            # Resonance at Q 8 lifts the cutoff by ~18 dB: keep the input low.
            out.append(lp.process(0.2 * noise.process()))
    return out


def main() -> None:
    render_example(__doc__, "filter_sweep.wav", lambda s, sr: [sweep(s, sr)], 6.0, SAMPLE_RATE)


if __name__ == "__main__":
    main()
