"""
Filter responses against their equations
========================================

Impulse and magnitude responses of the comb, allpass, biquad and DC
blocker, measured by feeding each an impulse sample by sample, and drawn
against the response their difference equations predict.

Each impulse response is measured until it has died away below float32's
resolution, whatever the run: a response cut short would ripple (the
spectrum of a truncated tail) and its lowest frequencies would go unseen.
A quick run draws the same curves at fewer frequencies.

    python examples/plot_responses.py [--quick] [--out DIR]
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
from scipy import signal

import vorda
from _util import example_args
from filter_sweep import lowpass_coefs

SAMPLE_RATE = 48000
DELAY = 0.005  # 5 ms: comb teeth every 200 Hz
DECAY = 0.1  # 60 dB in 100 ms
# Long enough for every response here to fall 150 dB, below float32's
# resolution: the comb's takes 250 ms, the DC blocker's 3460 samples.
LENGTH = 16384

Array = npt.NDArray[np.float64]


@dataclass
class Response:
    title: str
    impulse: Array
    freqs: Array  # where the two curves are drawn, in Hz
    measured_db: Array
    predicted_db: Array
    # What the plots show: (first samples of the impulse, frequency range,
    # logarithmic frequency axis).
    shown_samples: int
    band: tuple[float, float]
    log_axis: bool
    impulse_ylim: tuple[float, float] | None = None


def impulse_response(process: Callable[[float], float], length: int) -> Array:
    return np.array([process(1.0 if n == 0 else 0.0) for n in range(length)])


def response_db(b: Sequence[float] | Array, a: Sequence[float], freqs: Array, sample_rate: float) -> Array:
    """|B(z) / A(z)| in dB at `freqs`, from coefficients of z^-k: for a
    measured impulse response, b is the response and a is [1]."""
    _, h = signal.freqz(b, a, worN=freqs, fs=sample_rate)
    return np.asarray(20.0 * np.log10(np.maximum(np.abs(h), 1e-12)))


def drawn_at(band: tuple[float, float], log_axis: bool, points: int) -> Array:
    """`points` frequencies across `band`, evenly spaced on the axis drawn."""
    # The dtype said outright: numpy's own stubs give these a looser one on
    # some of the versions the examples run with.
    if log_axis:
        return np.geomspace(band[0], band[1], points, dtype=np.float64)
    return np.linspace(band[0], band[1], points, dtype=np.float64)


def measure(sample_rate: int, points: int, length: int = LENGTH) -> list[Response]:
    """The four responses, each drawn at `points` frequencies."""
    d = round(DELAY * sample_rate)
    g = 0.001 ** (DELAY / DECAY)
    lp = lowpass_coefs(1000.0, 4.0, sample_rate)
    leak = 0.995

    comb = vorda.CombN(sample_rate, DELAY)
    allpass = vorda.AllpassN(sample_rate, DELAY)
    biquad = vorda.Biquad(*lp)
    leak_dc = vorda.LeakDc(leak)
    cases: list[tuple[str, Callable[[float], float], list[float], list[float], int, tuple[float, float], bool]] = [
        (
            f"CombN, delay {DELAY * 1000:g} ms, decay {DECAY * 1000:g} ms",
            lambda x: comb.process(x, DELAY, DECAY),
            [0.0] * d + [1.0], [1.0] + [0.0] * (d - 1) + [-g],
            6 * d, (0.0, 2000.0), False,
        ),
        (
            f"AllpassN, delay {DELAY * 1000:g} ms, decay {DECAY * 1000:g} ms",
            lambda x: allpass.process(x, DELAY, DECAY),
            [-g] + [0.0] * (d - 1) + [1.0], [1.0] + [0.0] * (d - 1) + [-g],
            6 * d, (0.0, 2000.0), False,
        ),
        (
            "Biquad, cookbook low-pass at 1 kHz, Q 4",
            biquad.process,
            list(lp[:3]), [1.0, lp[3], lp[4]],
            sample_rate // 200, (10.0, sample_rate / 2), True,
        ),
        (
            f"LeakDc, coef {leak} (the 1.0 at t = 0 is off the scale)",
            leak_dc.process,
            [1.0, -1.0], [1.0, -leak],
            sample_rate // 25, (5.0, sample_rate / 2), True,
        ),
    ]  # fmt: skip
    responses = []
    for title, process, b, a, shown, band, log_axis in cases:
        h = impulse_response(process, length)
        freqs = drawn_at(band, log_axis, points)
        responses.append(Response(
            title, h, freqs, response_db(h, [1.0], freqs, sample_rate),
            response_db(b, a, freqs, sample_rate), shown, band, log_axis,
        ))  # fmt: skip
    # The DC blocker's tail is small against its first sample.
    responses[-1].impulse_ylim = (-1.2 * (1.0 - leak), 0.5 * (1.0 - leak))
    return responses


def plot(responses: list[Response], sample_rate: int, path: str) -> None:
    fig, axes = plt.subplots(len(responses), 2, figsize=(12, 3.2 * len(responses)))
    for (ax_t, ax_f), r in zip(axes, responses):
        shown = min(r.shown_samples, len(r.impulse))
        t_ms = np.arange(shown) * 1000.0 / sample_rate
        ax_t.plot(t_ms, r.impulse[:shown], lw=0.8)
        ax_t.set(title=r.title, xlabel="time (ms)", ylabel="amplitude")
        freqs = r.freqs
        ax_f.plot(freqs, r.measured_db, lw=1.2, label="measured")
        ax_f.plot(freqs, r.predicted_db, "--", lw=1.0, label="difference equation")
        ax_f.set(xlabel="frequency (Hz)", ylabel="magnitude (dB)", xlim=r.band)
        # Scale to the prediction within the band, but keep deep notches
        # from squashing the rest, and show a flat response as flat.
        in_band = (freqs >= r.band[0]) & (freqs <= r.band[1])
        lo = max(float(np.min(r.predicted_db[in_band])), -80.0)
        hi = float(np.max(r.predicted_db[in_band]))
        mid = (lo + hi) / 2
        ax_f.set_ylim(min(lo, mid - 6.0) - 3.0, max(hi, mid + 6.0) + 3.0)
        if r.impulse_ylim is not None:
            ax_t.set_ylim(*r.impulse_ylim)
        if r.log_axis:
            ax_f.set_xscale("log")
        ax_f.legend(loc="lower right", fontsize="small")
        for ax in (ax_t, ax_f):
            ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main() -> None:
    args = example_args(__doc__).parse_args()
    points = 200 if args.quick else 4000
    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / "responses.png"
    plot(measure(SAMPLE_RATE, points), SAMPLE_RATE, str(path))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
