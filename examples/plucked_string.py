"""
Plucked strings
===============

Plucked strings by the Karplus-Strong method.

A burst of white noise, one period long, is shaped by where the string is
plucked (a feed-forward comb on a DelayS), then circulates in a DelayL loop
whose length is the period; a gentle Biquad low-pass in the loop makes the
upper partials die first, and a LeakDc takes away the offset that the noise
burst leaves in the loop.

    python examples/plucked_string.py [--quick] [--out DIR]
"""

from __future__ import annotations

import cmath
import math

import vorda
from _util import midi_hz, render_example
from filter_sweep import Coefs, lowpass_coefs

SAMPLE_RATE = 48000


def phase_delay(coefs: Coefs, frequency: float, sample_rate: float) -> float:
    """Delay, in samples, that a biquad imposes on a sine of this frequency."""
    b0, b1, b2, a1, a2 = coefs
    w = 2.0 * math.pi * frequency / sample_rate
    z1 = cmath.exp(-1j * w)
    response = (b0 + b1 * z1 + b2 * z1 * z1) / (1.0 + a1 * z1 + a2 * z1 * z1)
    return -cmath.phase(response) / w


class PluckedString:
    """One note. `decay` is the 60 dB decay time of the fundamental before
    the damping filter's own loss; `brightness` in [0, 1] opens that filter."""

    def __init__(
        self,
        sample_rate: float,
        frequency: float,
        noise: vorda.WhiteNoise,
        *,
        velocity: float = 1.0,
        decay: float = 2.0,
        brightness: float = 0.5,
        pluck_position: float = 0.15,
    ) -> None:
        period = sample_rate / frequency
        cutoff = min(frequency * (3.0 + 40.0 * brightness), 0.45 * sample_rate)
        coefs = lowpass_coefs(cutoff, 1.0 / math.sqrt(2.0), sample_rate)
        # The loop is the delay line, one sample of feedback latency (process
        # stores the value computed in the previous call) and the filter's
        # phase delay at the fundamental; the delay line makes up the rest.
        loop_delay = period - 1.0 - phase_delay(coefs, frequency, sample_rate)
        self.delay_sec = loop_delay / sample_rate
        self.loop = vorda.DelayL(sample_rate, self.delay_sec + 2.0 / sample_rate)
        self.damping = vorda.Biquad(*coefs)
        self.feedback = 0.001 ** (1.0 / (frequency * decay))
        self.dc = vorda.LeakDc()
        self.noise = noise
        self.velocity = velocity
        # Plucking at a fraction p of the length cancels every (1/p)-th
        # harmonic: subtract the burst from itself p periods later.
        self.pick_delay = max(1, round(pluck_position * period))
        self.pick = vorda.DelayS(self.pick_delay)
        self.burst_left = max(1, round(period))
        self.shaping_left = self.burst_left + self.pick_delay
        self.v = 0.0

    def process(self) -> float:
        if self.shaping_left:
            if self.burst_left:
                x = self.velocity * self.noise.process()
                self.burst_left -= 1
            else:
                x = 0.0
            x -= self.pick.process(x, self.pick_delay)
            self.shaping_left -= 1
        else:
            x = 0.0
        fed_back = self.loop.process(self.v, self.delay_sec)
        damped = self.feedback * self.damping.process(fed_back)
        self.v = x + damped
        # Listen after the filter: the raw burst would click at every pluck.
        return self.dc.process(damped)


# A minor pentatonic phrase: (start in beats, MIDI note, pan position).
PHRASE = [
    (0.0, 57, -0.6), (0.5, 60, -0.3), (1.0, 64, 0.0), (1.5, 67, 0.3),
    (2.0, 69, 0.6), (3.0, 64, 0.2), (3.5, 67, -0.2), (4.0, 57, 0.0),
]  # fmt: skip


def play_phrase(seconds: float, sample_rate: int, seed: int = 1) -> tuple[list[float], list[float]]:
    noise = vorda.WhiteNoise(seed)
    beat = int(0.3 * sample_rate)
    starts = {int(b * beat): (note, pan) for b, note, pan in PHRASE}
    voices: list[tuple[PluckedString, float]] = []
    left: list[float] = []
    right: list[float] = []
    for n in range(int(seconds * sample_rate)):
        if n in starts:
            note, pan = starts[n]
            voices.append((PluckedString(sample_rate, midi_hz(note), noise), pan))
        sum_l = sum_r = 0.0
        for voice, pan in voices:
            l, r = vorda.pan2(voice.process(), pan)
            sum_l += l
            sum_r += r
        left.append(sum_l)
        right.append(sum_r)
    return left, right


def main() -> None:
    render_example(__doc__, "plucked_string.wav", play_phrase, 3.5, SAMPLE_RATE)


if __name__ == "__main__":
    main()
