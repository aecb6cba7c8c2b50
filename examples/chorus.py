"""
Stereo chorus
=============

A stereo chorus on a soft FM pad.

Two DelayL lines read the same input at delays swept by one Lfo: the left
one follows the Lfo's main output, the right one its quarter-phase output,
so the two sides never move together and the pad spreads across the field.

    python examples/chorus.py [--quick] [--out DIR]
"""

from __future__ import annotations

import vorda
from _util import midi_hz, render_example

SAMPLE_RATE = 48000


class Chorus:
    """`rate` in Hz; `delay` is the centre delay and `depth` the sweep either
    side of it, in seconds; `mix` is the share of the delayed signal."""

    def __init__(
        self,
        sample_rate: float,
        *,
        rate: float = 0.3,
        delay: float = 0.012,
        depth: float = 0.004,
        mix: float = 0.5,
    ) -> None:
        self.lfo = vorda.Lfo(sample_rate)
        # The Lfo's sine may overshoot 1.0 by an ulp; one spare millisecond.
        longest = delay + depth + 0.001
        self.left = vorda.DelayL(sample_rate, longest)
        self.right = vorda.DelayL(sample_rate, longest)
        self.rate, self.delay, self.depth = rate, delay, depth
        self.dry, self.wet = 1.0 - mix, mix

    def process(self, x: float) -> tuple[float, float]:
        sweep, sweep_ahead = self.lfo.process(self.rate)
        left = self.left.process(x, self.delay + self.depth * sweep)
        right = self.right.process(x, self.delay + self.depth * sweep_ahead)
        dry = self.dry * x
        return dry + self.wet * left, dry + self.wet * right


class FmNote:
    """A sine carrier whose frequency a second sine swings by `index` times
    the note's frequency (frequency modulation, with the per-call frequency
    of SinOsc), under an attack/release envelope."""

    def __init__(
        self,
        sample_rate: float,
        frequency: float,
        *,
        ratio: float = 2.0,
        index: float = 1.2,
        attack: float = 0.08,
        release: float = 0.4,
    ) -> None:
        self.carrier = vorda.SinOsc(sample_rate)
        self.modulator = vorda.SinOsc(sample_rate)
        self.frequency = frequency
        self.mod_frequency = ratio * frequency
        self.swing = index * frequency
        # One-pole envelope steps: about 99% of the way in the given time.
        self.attack = 1.0 - 0.01 ** (1.0 / (attack * sample_rate))
        self.release_step = 1.0 - 0.01 ** (1.0 / (release * sample_rate))
        self.level = 0.0
        self.target = 1.0
        self.step = self.attack

    def release(self) -> None:
        self.target, self.step = 0.0, self.release_step

    def finished(self) -> bool:
        return self.target == 0.0 and self.level < 1e-4

    def process(self) -> float:
        self.level += (self.target - self.level) * self.step
        swing = self.swing * self.modulator.process(self.mod_frequency)
        return self.level * self.carrier.process(self.frequency + swing)


CHORDS = [[57, 60, 64], [53, 57, 60], [55, 60, 64], [55, 59, 62]]  # Am F C G


def play_chords(seconds: float, sample_rate: int) -> tuple[list[float], list[float]]:
    chorus = Chorus(sample_rate)
    chord_length = sample_rate  # one second each
    notes: list[FmNote] = []
    left: list[float] = []
    right: list[float] = []
    for n in range(int(seconds * sample_rate)):
        if n % chord_length == 0:
            for note in notes:
                note.release()
            chord = CHORDS[n // chord_length % len(CHORDS)]
            notes += [FmNote(sample_rate, midi_hz(m)) for m in chord]
        x = 0.0
        for note in notes:
            x += note.process()
        if n % 1024 == 0:
            notes = [note for note in notes if not note.finished()]
        l, r = chorus.process(0.3 * x)
        left.append(l)
        right.append(r)
    return left, right


def main() -> None:
    render_example(__doc__, "chorus.wav", play_chords, 4.0, SAMPLE_RATE)


if __name__ == "__main__":
    main()
