"""
Schroeder reverb
================

A stereo Schroeder reverb: pre-delay, early reflections, a bank of
parallel comb filters and a chain of allpass filters per side.

    python examples/reverb.py [--quick] [--out DIR]
"""

from __future__ import annotations

import math

import vorda
from _util import midi_hz, render_example
from filter_sweep import lowpass_coefs

SAMPLE_RATE = 48000

# Loop lengths from a classic hall design, in seconds (its sample counts at
# 44.1 kHz). They share no common factor, so the echo patterns of the combs
# do not line up; the right side's set is offset against the left's.
COMBS_LEFT = [1116 / 44100, 1277 / 44100, 1422 / 44100, 1557 / 44100]
COMBS_RIGHT = [1188 / 44100, 1356 / 44100, 1491 / 44100, 1617 / 44100]
ALLPASSES_LEFT = [556 / 44100, 441 / 44100, 341 / 44100]
ALLPASSES_RIGHT = [579 / 44100, 464 / 44100, 364 / 44100]
# Early reflections: (delay in seconds, gain, pan position).
REFLECTIONS = [
    (0.0071, 0.80, -0.7), (0.0113, 0.72, 0.6), (0.0179, 0.61, -0.3),
    (0.0233, 0.52, 0.9), (0.0317, 0.44, -0.9), (0.0412, 0.37, 0.4),
    (0.0539, 0.30, -0.5), (0.0611, 0.25, 0.8),
]  # fmt: skip


def decay_for_gain(delay: float, gain: float) -> float:
    """The decay time that makes a comb or allpass use this feedback gain
    (the processors derive the gain as 0.001 ** (delay / decay))."""
    return delay * math.log(0.001) / math.log(gain)


class Side:
    """The late reverb of one channel: four combs in parallel, whose sum
    runs through three allpasses in series.

    Each delay model appears where it fits: CombS and AllpassS take whole
    sample counts, as the original design did; CombN and AllpassN take the
    same kind of delay in seconds; CombL and AllpassL have their delays
    swung slowly by an Lfo, which breaks up the metallic ringing that fixed
    loops build up (the interpolation keeps the swing smooth)."""

    def __init__(self, sample_rate: float, combs: list[float], allpasses: list[float], decay: float) -> None:
        self.decay = decay
        self.decay_samp = round(decay * sample_rate)
        c0, c1, c2, c3 = combs
        self.comb_n = vorda.CombN(sample_rate, c0)
        self.comb_l = vorda.CombL(sample_rate, c1 + 0.001)
        self.comb_s = vorda.CombS(round(c2 * sample_rate))
        self.comb_n2 = vorda.CombN(sample_rate, c3)
        self.comb_delays = (c0, c1, round(c2 * sample_rate), c3)
        a0, a1, a2 = allpasses
        self.allpass_n = vorda.AllpassN(sample_rate, a0)
        self.allpass_s = vorda.AllpassS(round(a1 * sample_rate))
        self.allpass_l = vorda.AllpassL(sample_rate, a2 + 0.001)
        self.allpass_delays = (a0, round(a1 * sample_rate), a2)
        self.allpass_decays = (
            decay_for_gain(a0, 0.5),
            round(decay_for_gain(a1, 0.5) * sample_rate),
            decay_for_gain(a2, 0.5),
        )

    def process(self, x: float, swing: float) -> float:
        """`swing` in [-1, 1] moves the modulated loops by up to 0.5 ms."""
        c0, c1, c2, c3 = self.comb_delays
        y = (
            self.comb_n.process(x, c0, self.decay)
            + self.comb_l.process(x, c1 + 0.0005 * swing, self.decay)
            + self.comb_s.process(x, c2, self.decay_samp)
            + self.comb_n2.process(x, c3, self.decay)
        ) * 0.25
        a0, a1, a2 = self.allpass_delays
        d0, d1, d2 = self.allpass_decays
        y = self.allpass_n.process(y, a0, d0)
        y = self.allpass_s.process(y, a1, d1)
        return self.allpass_l.process(y, a2 + 0.0005 * swing, d2)


class SchroederReverb:
    """Mono in, stereo out (wet signal only). `decay` is the 60 dB decay
    time in seconds; `tone` the cutoff of a low-pass on the input."""

    def __init__(
        self,
        sample_rate: float,
        *,
        decay: float = 2.4,
        predelay: float = 0.02,
        tone: float = 6000.0,
        early: float = 0.5,
    ) -> None:
        self.tone = vorda.Biquad(*lowpass_coefs(tone, 0.7071, sample_rate))
        self.predelay = vorda.DelayN(sample_rate, max(predelay, 1.0 / sample_rate))
        self.predelay_sec = predelay
        longest = max(t for t, _, _ in REFLECTIONS)
        self.reflections = vorda.RingBufferS(round(longest * sample_rate) + 1)
        self.taps = [(round(t * sample_rate), early * g, p) for t, g, p in REFLECTIONS]
        self.lfo = vorda.Lfo(sample_rate)
        self.left = Side(sample_rate, COMBS_LEFT, ALLPASSES_LEFT, decay)
        self.right = Side(sample_rate, COMBS_RIGHT, ALLPASSES_RIGHT, decay)

    def process(self, x: float) -> tuple[float, float]:
        x = self.predelay.process(self.tone.process(x), self.predelay_sec)
        early_l = early_r = 0.0
        for tap, gain, pan in self.taps:
            l, r = vorda.pan2(gain * self.reflections.read(tap), pan)
            early_l += l
            early_r += r
        self.reflections.write(x)
        # The two sides swing in quadrature, so they never move together.
        swing, swing_ahead = self.lfo.process(0.17)
        return (
            early_l + self.left.process(x, swing),
            early_r + self.right.process(x, swing_ahead),
        )


def play_hits(seconds: float, sample_rate: int) -> tuple[list[float], list[float]]:
    """Short sine blips (a marimba-like figure), dry then left to ring out."""
    reverb = SchroederReverb(sample_rate)
    osc = vorda.SinOsc(sample_rate)
    notes = [69, 72, 76, 81, 76, 72]
    spacing = int(0.25 * sample_rate)
    fade = 0.001 ** (1.0 / (0.15 * sample_rate))
    left: list[float] = []
    right: list[float] = []
    frequency, level = 0.0, 0.0
    for n in range(int(seconds * sample_rate)):
        if n % spacing == 0 and n // spacing < len(notes):
            frequency, level = midi_hz(notes[n // spacing]), 0.5
            osc.reset()
        dry = level * osc.process(frequency)
        level *= fade
        wet_l, wet_r = reverb.process(dry)
        left.append(dry + 0.6 * wet_l)
        right.append(dry + 0.6 * wet_r)
    return left, right


def main() -> None:
    render_example(__doc__, "reverb.wav", play_hits, 4.0, SAMPLE_RATE)


if __name__ == "__main__":
    main()
