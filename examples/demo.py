"""Renders a short stereo piece in A minor, one sample at a time.

Every processor of vorda has a part to play: sine bass and kick (SinOsc),
plucked strings (WhiteNoise, DelayS, DelayL, Biquad, LeakDc), an FM pad
through a chorus (SinOsc, Lfo, DelayL), hi-hats (WhiteNoise, Biquad), a
tempo echo (RingBufferN taps), an octave-up shimmer (RingBufferL taps, Lfo)
and a Schroeder reverb (DelayN, RingBufferS taps, CombN, CombL, CombS,
AllpassN, AllpassS, AllpassL), each source placed in the stereo field with
pan2.

    python examples/demo.py [--seconds S] [--seed N] [--sample-rate HZ] [--out DIR]

writes DIR/demo.wav (32-bit float) and DIR/demo.png (waveform and
spectrogram of both channels) and prints the real-time factor.
"""

from __future__ import annotations

import math
import random
import time
from dataclasses import dataclass
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt
from matplotlib import mlab
import numpy as np
from tqdm import tqdm

import vorda
from _util import Signal, example_args, midi_hz, normalize, write_wav
from chorus import Chorus, FmNote
from filter_sweep import highpass_coefs
from plucked_string import PluckedString
from reverb import SchroederReverb

BEATS_PER_SECOND = 2.0  # 120 bpm
LOOP_BEATS = 16  # the progression lasts 8 seconds and then starts over

# (first beat, bass note, pad notes, arpeggio notes), MIDI numbers.
PROGRESSION = [
    (0, 45, [57, 60, 64], [57, 60, 64, 69]),  # A minor
    (4, 41, [57, 60, 65], [53, 57, 60, 65]),  # F major
    (8, 48, [55, 60, 64], [55, 60, 64, 67]),  # C major
    (12, 43, [55, 59, 62], [55, 59, 62, 67]),  # G major
    (14, 45, [57, 60, 64], [57, 60, 64, 69]),  # A minor, left to ring
]
ARPEGGIOS = [[0, 1, 2, 3, 2, 1, 2, 3], [0, 2, 1, 3, 1, 2, 0, 3], [3, 2, 1, 0, 1, 2, 3, 2]]


@dataclass
class Event:
    kind: str  # "pluck", "bass", "kick", "hat", "pad" or "pad_off"
    frequency: float = 0.0
    velocity: float = 1.0
    pan: float = 0.0


def score(seconds: float, sample_rate: int, seed: int) -> dict[int, list[Event]]:
    """Every note of the piece, keyed by the sample it starts on. The seed
    picks the arpeggio figures and humanises timing and loudness."""
    rng = random.Random(seed)
    events: dict[int, list[Event]] = {}

    def at(beat: float, event: Event, jitter: float = 0.0) -> None:
        when = beat / BEATS_PER_SECOND + jitter * (rng.random() - 0.5)
        n = max(0, round(when * sample_rate))
        if n < seconds * sample_rate:
            events.setdefault(n, []).append(event)

    for loop in range(math.ceil(seconds * BEATS_PER_SECOND / LOOP_BEATS)):
        first = loop * LOOP_BEATS
        for i, (beat, bass, pad, arp) in enumerate(PROGRESSION):
            start = first + beat
            final = i == len(PROGRESSION) - 1
            at(start, Event("pad_off"))
            for note in pad:
                at(start, Event("pad", midi_hz(note)))
            at(start, Event("bass", midi_hz(bass), 1.0))
            if final:
                # Strum the last chord, low string first, and let it ring.
                for k, note in enumerate(arp):
                    at(start + 0.04 * k, Event("pluck", midi_hz(note), 0.9, -0.45 + 0.3 * k))
                at(start, Event("kick"))
                continue
            at(start + 2.5, Event("bass", midi_hz(bass), 0.7))
            figure = ARPEGGIOS[int(rng.random() * len(ARPEGGIOS))]
            length = PROGRESSION[i + 1][0] - beat
            for step in range(2 * length):
                k = figure[step % len(figure)]
                velocity = 0.65 + 0.35 * rng.random() if step % 2 else 0.9 + 0.1 * rng.random()
                pan = -0.6 + 0.4 * k
                at(start + 0.5 * step, Event("pluck", midi_hz(arp[k]), velocity, pan), jitter=0.006)
                if step % 2:
                    at(start + 0.5 * step, Event("hat", velocity=velocity), jitter=0.004)
            for beat_in_bar in range(0, length, 2):
                at(start + beat_in_bar, Event("kick"))
    return events


class Bass:
    """A sine with a little second harmonic, mildly saturated, on a fast
    attack and an exponential decay; new notes keep the oscillators running
    so a retrigger does not click."""

    def __init__(self, sample_rate: float) -> None:
        self.root = vorda.SinOsc(sample_rate)
        self.octave = vorda.SinOsc(sample_rate)
        self.frequency = 0.0
        self.level = 0.0
        self.peak = 0.0
        self.attack_left = 0
        self.attack_samples = round(0.006 * sample_rate)
        self.attack_step = 1.0 - 0.01 ** (1.0 / self.attack_samples)
        self.decay_step = 0.001 ** (1.0 / (1.6 * sample_rate))

    def note_on(self, frequency: float, velocity: float) -> None:
        self.frequency, self.peak = frequency, velocity
        self.attack_left = self.attack_samples

    def process(self) -> float:
        if self.attack_left:
            self.level += (self.peak - self.level) * self.attack_step
            self.attack_left -= 1
        else:
            self.level *= self.decay_step
        x = self.root.process(self.frequency) + 0.3 * self.octave.process(2.0 * self.frequency)
        return self.level * math.tanh(1.5 * x)


class Kick:
    """A sine whose pitch falls from 165 Hz to 45 Hz within a few tens of
    milliseconds: the frequency argument is simply given anew each call."""

    def __init__(self, sample_rate: float) -> None:
        self.osc = vorda.SinOsc(sample_rate)
        self.level = 0.0
        self.sweep = 0.0
        self.level_step = 0.001 ** (1.0 / (0.35 * sample_rate))
        self.sweep_step = 0.001 ** (1.0 / (0.08 * sample_rate))

    def hit(self) -> None:
        self.osc.reset()  # every hit starts at phase 0: the same thump each time
        self.level, self.sweep = 1.0, 1.0

    def process(self) -> float:
        y = self.level * self.osc.process(45.0 + 120.0 * self.sweep)
        self.level *= self.level_step
        self.sweep *= self.sweep_step
        return y


class HiHat:
    """White noise through a high-pass, with a short decay."""

    def __init__(self, sample_rate: float, seed: int) -> None:
        self.noise = vorda.WhiteNoise(seed)
        self.filter = vorda.Biquad(*highpass_coefs(7000.0, 0.9, sample_rate))
        self.level = 0.0
        self.step = 0.001 ** (1.0 / (0.05 * sample_rate))

    def hit(self, velocity: float) -> None:
        self.level = velocity

    def process(self) -> float:
        # The noise runs even between hits so the filter never starts cold.
        y = self.level * self.filter.process(self.noise.process())
        self.level *= self.step
        return y


class TempoEcho:
    """Dotted-eighth and dotted-quarter echoes read as two taps of one
    RingBufferN; the first tap is fed back, so the echoes repeat and fade."""

    def __init__(self, sample_rate: float, feedback: float = 0.35) -> None:
        self.first = 0.75 / BEATS_PER_SECOND
        self.second = 1.5 / BEATS_PER_SECOND
        self.ring = vorda.RingBufferN(sample_rate, self.second + 0.01)
        self.feedback = feedback

    def process(self, x: float) -> tuple[float, float, float, float]:
        near = self.ring.read(self.first)
        far = self.ring.read(self.second)
        self.ring.write(x + self.feedback * near)
        left, right = vorda.pan2(near, -0.8)
        far_l, far_r = vorda.pan2(far, 0.8)
        return left, right, far_l, far_r


class OctaveUp:
    """A delay-line pitch shifter: two taps of one RingBufferL slide towards
    the present at one second per second, which doubles the pitch. When a tap
    reaches the front it jumps back by `window`; the taps are half a window
    apart and each fades out (sine and cosine windows) before it jumps."""

    def __init__(self, sample_rate: float, window: float = 0.08) -> None:
        self.window = window
        # Stay a couple of samples behind the write position: a read below
        # one sample would wrap round to the oldest slot.
        self.front = 2.0 / sample_rate
        self.ring = vorda.RingBufferL(sample_rate, window + 4.0 / sample_rate)
        self.saw = vorda.Lfo(sample_rate, waveform=2)

    def process(self, x: float) -> float:
        ramp, _ = self.saw.process(1.0 / self.window)  # rises from -1 to 1
        p = 0.5 * (ramp + 1.0)
        q = p + 0.5 if p < 0.5 else p - 0.5
        y = math.sin(math.pi * p) * self.ring.read(self.front + self.window * (1.0 - p))
        y += abs(math.cos(math.pi * p)) * self.ring.read(self.front + self.window * (1.0 - q))
        self.ring.write(x)
        return y


def render(
    seconds: float = 8.0, sample_rate: int = 48000, seed: int = 1, progress: bool = True
) -> tuple[Signal, Signal]:
    """The piece as (left, right) float32 arrays peaking at -1 dBFS."""
    events = score(seconds, sample_rate, seed)
    bass, kick = Bass(sample_rate), Kick(sample_rate)
    hat = HiHat(sample_rate, (seed + 1) % 2**64)
    pluck_noise = vorda.WhiteNoise(seed % 2**64)
    plucks: list[tuple[PluckedString, float, int]] = []  # voice, pan, samples left
    pad: list[FmNote] = []
    chorus = Chorus(sample_rate, rate=0.4, mix=0.45)
    echo = TempoEcho(sample_rate)
    shimmer = OctaveUp(sample_rate)
    reverb = SchroederReverb(sample_rate, decay=2.8)
    pluck_life = round(1.8 * sample_rate)

    total = round(seconds * sample_rate)
    block = max(1, sample_rate // 10)
    left: list[float] = []
    right: list[float] = []
    with tqdm(total=total, unit="sample", unit_scale=True, disable=not progress) as bar:
        for block_start in range(0, total, block):
            for n in range(block_start, min(block_start + block, total)):
                for event in events.get(n, ()):
                    if event.kind == "pluck":
                        voice = PluckedString(
                            sample_rate, event.frequency, pluck_noise,
                            velocity=event.velocity, decay=1.5, brightness=0.3 + 0.4 * event.velocity,
                        )  # fmt: skip
                        plucks.append((voice, event.pan, pluck_life))
                    elif event.kind == "bass":
                        bass.note_on(event.frequency, event.velocity)
                    elif event.kind == "kick":
                        kick.hit()
                    elif event.kind == "hat":
                        hat.hit(event.velocity)
                    elif event.kind == "pad":
                        pad.append(FmNote(sample_rate, event.frequency, attack=0.25, release=0.6))
                    elif event.kind == "pad_off":
                        for note in pad:
                            note.release()

                # Sources, each placed with pan2.
                low_l, low_r = vorda.pan2(0.4 * bass.process() + 0.8 * kick.process())
                hat_l, hat_r = vorda.pan2(0.45 * hat.process(), 0.35)
                pluck_l = pluck_r = pluck_mono = 0.0
                for voice, pan, _ in plucks:
                    y = 0.35 * voice.process()
                    pluck_mono += y
                    l, r = vorda.pan2(y, pan)
                    pluck_l += l
                    pluck_r += r
                pad_sum = 0.0
                for note in pad:
                    pad_sum += note.process()
                pad_l, pad_r = chorus.process(0.05 * pad_sum)

                # Effects.
                echo_l, echo_r, far_l, far_r = echo.process(pluck_mono)
                send = 0.5 * pluck_mono + 0.6 * (pad_l + pad_r) + 0.3 * (echo_l + echo_r)
                rev_l, rev_r = reverb.process(send + 0.5 * shimmer.process(send))

                left.append(low_l + hat_l + pluck_l + pad_l + 0.4 * (echo_l + far_l) + 0.35 * rev_l)
                right.append(low_r + hat_r + pluck_r + pad_r + 0.4 * (echo_r + far_r) + 0.35 * rev_r)

            # Drop the voices that have died away, once per block.
            plucks = [(v, p, life - block) for v, p, life in plucks if life > block]
            pad = [note for note in pad if not note.finished()]
            bar.update(min(block, total - block_start))
    out_l, out_r = normalize(left, right)
    return out_l, out_r


def plot(left: Signal, right: Signal, sample_rate: int, title: str, path: Path) -> None:
    fig, axes = plt.subplots(2, 2, figsize=(13, 7.5), sharex=True)
    t = np.arange(len(left)) / sample_rate
    for col, (name, x) in enumerate((("left", left), ("right", right))):
        wave_ax, spec_ax = axes[0, col], axes[1, col]
        wave_ax.plot(t, x, lw=0.3, color="tab:blue")
        wave_ax.set(title=f"{name} channel", ylabel="amplitude", ylim=(-1.0, 1.0))
        wave_ax.grid(alpha=0.3)
        power, freqs, times = mlab.specgram(x, NFFT=4096, Fs=sample_rate, noverlap=3584)
        db = 10.0 * np.log10(np.maximum(power, 1e-20))
        top = float(np.max(db))
        # A log frequency axis, so that octaves (and the chords) read evenly.
        spec_ax.pcolormesh(times, freqs, db, shading="auto", cmap="magma", vmin=top - 90.0, vmax=top)
        spec_ax.set_yscale("log")
        spec_ax.set(xlabel="time (s)", ylabel="frequency (Hz)", ylim=(30.0, sample_rate / 2))
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main() -> None:
    parser = example_args(str(__doc__).splitlines()[0])
    parser.add_argument("--seconds", type=float, default=8.0, help="length (default: 8)")
    parser.add_argument("--seed", type=int, default=1, help="humanisation and noise seed (default: 1)")
    parser.add_argument("--sample-rate", type=int, default=48000, help="in Hz (default: 48000)")
    args = parser.parse_args()
    seconds = 0.5 if args.quick else args.seconds
    if seconds <= 0 or args.sample_rate < 8000 or args.seed < 0:
        parser.error("--seconds must be positive, --sample-rate at least 8000, --seed not negative")

    started = time.perf_counter()
    left, right = render(seconds, args.sample_rate, args.seed)
    elapsed = time.perf_counter() - started

    args.out.mkdir(parents=True, exist_ok=True)
    wav = write_wav(args.out / "demo.wav", args.sample_rate, left, right)
    png = args.out / "demo.png"
    plot(left, right, args.sample_rate, f"vorda demo: seed {args.seed}, {args.sample_rate} Hz", png)
    print(f"wrote {wav} ({seconds:g} s, {args.sample_rate} Hz, stereo, 32-bit float)")
    print(f"wrote {png}")
    print(f"rendered in {elapsed:.2f} s: {seconds / elapsed:.2f}x real time")


if __name__ == "__main__":
    main()
