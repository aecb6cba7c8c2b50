"""Renders a short stereo piece in A minor, whole arrays at a time.

Every processor of vorda has a part to play: sine bass and kick (SinOsc),
plucked strings (WhiteNoise, DelayS, CombL, LeakDc, Biquad), an FM pad
through a chorus (SinOsc, Lfo, DelayL), hi-hats (WhiteNoise, Biquad), a
ping-pong tempo echo (RingBufferN taps), an octave-up shimmer (RingBufferL
taps, Lfo) and a Schroeder reverb (Biquad, DelayN, RingBufferS taps, Lfo,
CombN, CombL, CombS, AllpassN, AllpassS, AllpassL), each source placed in
the stereo field with pan2.

The piece is built in stages on arrays: each note and each effect runs
through its processors in one vorda_blocks call per processor, and numpy
does the envelopes and the mixing. Every feedback loop lives inside one
processor (a string is a noise burst ringing in a CombL), so no stage waits
on another sample by sample. With --per-sample the same stages call the
processors once per sample instead, and write the same file, bit for bit.

    python examples/demo.py [--seconds S] [--seed N] [--sample-rate HZ] [--out DIR] [--per-sample]

writes DIR/demo.wav (32-bit float) and DIR/demo.png (waveform and
spectrogram of both channels) and prints the real-time factor.
"""

from __future__ import annotations

import itertools
import math
import random
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeAlias

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt
from matplotlib import mlab
import numpy as np
import numpy.typing as npt
from tqdm import tqdm

import vorda
import vorda_blocks as vb
from _util import Signal, example_args, midi_hz, normalize, write_wav
from chorus import Chorus, FmNote
from filter_sweep import highpass_coefs, lowpass_coefs
from reverb import ALLPASSES_LEFT, ALLPASSES_RIGHT, COMBS_LEFT, COMBS_RIGHT, REFLECTIONS, Side

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

# The ring buffers are written and read in chunks of this many samples.
CHUNK = 4096

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


def read_taps(
    engine: Engine, ring: Ring, x: npt.NDArray[Any], delays: Sequence[Values]
) -> list[Signal]:
    """Writes `x` into `ring` and reads it at each of `delays` (in the ring's
    units, numbers or per-sample arrays), each read as if made just before
    its sample is written: a delay of one sample gives the sample before.

    A chunk is written first and then read, all its taps in one call: sample
    i of a chunk of L lies L - i writes further back than it would have. The
    ring must hold the longest delay plus CHUNK samples."""
    n = len(x)
    behind: npt.NDArray[Any] = np.arange(CHUNK, 0, -1, dtype=np.uint64)
    if not isinstance(ring, vorda.RingBufferS):
        # Seconds in float32, as the ring takes them.
        behind = (behind / ring.sample_rate).astype(np.float32)
    taps = np.empty((len(delays), n), np.float32)
    for start in range(0, n, CHUNK):
        stop = min(start + CHUNK, n)
        engine.write(ring, x[start:stop])
        chunk = [d[start:stop] if isinstance(d, np.ndarray) else d for d in delays]
        at = np.stack([d + behind[CHUNK - (stop - start) :] for d in chunk])
        taps[:, start:stop] = engine.read(ring, at.ravel()).reshape(len(delays), -1)
    return list(taps)


def placed(
    engine: Engine, signals: Sequence[Signal], gains: Sequence[float], pans: Sequence[float]
) -> tuple[Signal, Signal]:
    """The sum of `signals`, each at its gain and its place in the stereo
    field: one pan2 over the gains gives each signal its left and right gain."""
    gains_l, gains_r = engine.pan2(np.array(gains), np.array(pans))
    left = np.zeros(len(signals[0]), np.float32)
    right = np.zeros(len(signals[0]), np.float32)
    for signal, gain_l, gain_r in zip(signals, gains_l.tolist(), gains_r.tolist()):
        left += gain_l * signal
        right += gain_r * signal
    return left, right


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


def exponential(step: float, n: int) -> Signal:
    """1, step, step ** 2, ... (n values): an envelope, computed once for the
    longest note of a part and sliced for each."""
    return np.exp(math.log(step) * np.arange(n, dtype=np.float64)).astype(np.float32)


def segments(onsets: list[int], total: int) -> list[tuple[int, int]]:
    """(start, stop) of notes that each last until the next one begins."""
    return list(zip(onsets, onsets[1:] + [total]))


def bass_line(engine: Engine, notes: list[tuple[int, Event]], total: int, sr: int) -> Signal:
    """A sine with a little second harmonic, mildly saturated, on a fast
    attack and an exponential decay. The oscillators run through the whole
    piece, so a new note does not click."""
    frequency = np.zeros(total, np.float32)
    level = np.zeros(total, np.float32)
    spans = segments([n for n, _ in notes], total)
    if not spans:
        return level
    attack = round(0.006 * sr)
    # How much of the way to the peak is left after each attack step, and
    # the fall from the peak after it.
    left = exponential(0.01 ** (1.0 / attack), attack + 1)[1:]
    fall = exponential(0.001 ** (1.0 / (1.6 * sr)), max(b - a for a, b in spans) + 1)[1:]
    last = 0.0
    for (start, stop), (_, note) in zip(spans, notes):
        frequency[start:stop] = note.frequency
        rise = note.velocity + (last - note.velocity) * left[: stop - start]
        peak = start + len(rise)
        level[start:peak] = rise
        level[peak:stop] = rise[-1] * fall[: stop - peak]
        last = float(level[stop - 1])
    root = engine.process(vorda.SinOsc(sr), frequency)
    octave = engine.process(vorda.SinOsc(sr), 2.0 * frequency)
    return np.asarray(level * np.tanh(1.5 * (root + 0.3 * octave)), np.float32)


def kick_drum(engine: Engine, hits: list[int], total: int, sr: int) -> Signal:
    """A sine whose pitch falls from 165 Hz to 45 Hz within a few tens of
    milliseconds. Every hit is the same thump, rendered once, as long as the
    longest gap between hits."""
    kick = np.zeros(total, np.float32)
    spans = segments(hits, total)
    if not spans:
        return kick
    longest = max(b - a for a, b in spans)
    level = exponential(0.001 ** (1.0 / (0.35 * sr)), longest)
    sweep = exponential(0.001 ** (1.0 / (0.08 * sr)), longest)
    thump = level * engine.process(vorda.SinOsc(sr), 45.0 + 120.0 * sweep)
    for start, stop in spans:
        kick[start:stop] = thump[: stop - start]
    return kick


def hi_hats(
    engine: Engine, hits: list[tuple[int, float]], total: int, sr: int, seed: int
) -> Signal:
    """White noise through a high-pass, under a short decay from each hit.
    The noise runs through the whole piece, so the filter never starts cold."""
    noise = engine.process(vorda.WhiteNoise(seed), n=total)
    hiss = engine.process(vorda.Biquad(*highpass_coefs(7000.0, 0.9, sr)), noise)
    level = np.zeros(total, np.float32)
    spans = segments([n for n, _ in hits], total)
    if spans:
        fade = exponential(0.001 ** (1.0 / (0.05 * sr)), max(b - a for a, b in spans))
        for (start, stop), (_, velocity) in zip(spans, hits):
            level[start:stop] = velocity * fade[: stop - start]
    return level * hiss


class Strings:
    """Plucked strings: a burst of noise one period long, softened by a
    Biquad low-pass and shaped by where the string is plucked, rings in a
    CombL whose loop is the period, and a LeakDc takes away the offset the
    burst leaves in the loop. The comb keeps every partial alike, so the tone
    is darkened from outside: a second low-pass takes over from the ring
    within the first tenths of a second, as the upper partials of a string
    die first."""

    def __init__(self, engine: Engine, sample_rate: int, seed: int) -> None:
        self.engine = engine
        self.sample_rate = sample_rate
        self.noise = vorda.WhiteNoise(seed)
        self.life = round(1.6 * sample_rate)
        self.decay = 1.5  # seconds to -60 dB
        self.bright = exponential(math.exp(-1.0 / (0.12 * sample_rate)), self.life)

    def pluck(self, frequency: float, velocity: float, length: int) -> Signal:
        """One note, cut off after `length` samples."""
        engine, sr = self.engine, self.sample_rate
        length = min(length, self.life)
        period = sr / frequency
        burst = max(1, round(period))
        # A pluck at 0.15 of the length cancels the harmonics near multiples
        # of 1 / 0.15: the burst minus itself 0.15 of a period later.
        pick = max(1, round(0.15 * period))
        excitation = np.zeros(length, np.float32)
        # The softening below dies away well within a period of the burst.
        shaping = excitation[: 2 * burst + pick]
        shaping[:burst] = velocity * engine.process(self.noise, n=min(burst, len(shaping)))
        shaping -= engine.process(vorda.DelayS(pick), shaping, pick)
        softness = lowpass_coefs(frequency * (15.0 + 16.0 * velocity), 0.7071, sr)
        shaping[:] = engine.process(vorda.Biquad(*softness), shaping)
        loop = vorda.CombL(sr, 1.0 / frequency + 2.0 / sr)
        ring = engine.process(loop, excitation, 1.0 / frequency, self.decay)
        ring = engine.process(vorda.LeakDc(), ring)
        darkness = lowpass_coefs(frequency * (2.0 + 5.0 * velocity), 0.7071, sr)
        dark = engine.process(vorda.Biquad(*darkness), ring)
        return dark + self.bright[:length] * (ring - dark)


def pad(
    engine: Engine, notes: list[tuple[int, Event]], releases: list[int], total: int, sr: int
) -> Signal:
    """FmNotes of chorus.py, each held until the next chord comes in and then
    let go at -60 dB. Their attack and release are FmNote's one-pole steps,
    in closed form."""
    out = np.zeros(total, np.float32)
    if not notes:
        return out
    voices = [FmNote(sr, event.frequency, attack=0.25, release=0.6) for _, event in notes]
    attack, release_step = voices[0].attack, voices[0].release_step
    tail = math.ceil(math.log(0.001) / math.log(1.0 - release_step))
    ends = [next((n for n in releases if n > start), total) for start, _ in notes]
    longest = max(end - start for (start, _), end in zip(notes, ends))
    rise = 1.0 - exponential(1.0 - attack, longest + 1)[1:]
    fall = exponential(1.0 - release_step, tail + 1)[1:]
    for (start, _), note, release in zip(notes, voices, ends):
        stop = min(release + tail, total)
        held = rise[: release - start]
        level = np.concatenate((held, held[-1] * fall[: stop - release]))
        swing = note.swing * engine.process(note.modulator, note.mod_frequency, n=stop - start)
        out[start:stop] += level * engine.process(note.carrier, note.frequency + swing)
    return out


def chorused(engine: Engine, chorus: Chorus, x: Signal) -> tuple[Signal, Signal]:
    """The Chorus of chorus.py over a whole signal."""
    sweep, sweep_ahead = engine.lfo(chorus.lfo, chorus.rate, n=len(x))
    left = engine.process(chorus.left, x, chorus.delay + chorus.depth * sweep)
    right = engine.process(chorus.right, x, chorus.delay + chorus.depth * sweep_ahead)
    dry = chorus.dry * x
    return dry + chorus.wet * left, dry + chorus.wet * right


def tempo_echo(engine: Engine, x: Signal, sr: int) -> tuple[Signal, Signal]:
    """Ping-pong echoes every dotted eighth, alternating sides and fading:
    four taps of one RingBufferN."""
    times = [0.75 * k / BEATS_PER_SECOND for k in range(1, 5)]
    ring = vorda.RingBufferN(sr, times[-1] + (CHUNK + 2) / sr)
    # Half a sample past each whole count, so the truncation to samples
    # cannot land one short through the rounding of the seconds.
    echoes = read_taps(engine, ring, x, [(round(t * sr) + 0.5) / sr for t in times])
    return placed(engine, echoes, [0.55**k for k in range(4)], [-0.8, 0.8] * 2)


def octave_up(engine: Engine, x: Signal, sr: int, window: float = 0.08) -> Signal:
    """A delay-line pitch shifter: two taps of one RingBufferL slide towards
    the present at one second per second, which doubles the pitch. When a tap
    reaches the front it jumps back by `window`; the taps are half a window
    apart and each fades out (sine and cosine windows) before it jumps."""
    front = 2.0 / sr  # clear of the newest sample, which the interpolation must not pass
    ring = vorda.RingBufferL(sr, window + (CHUNK + 4) / sr)
    ramp, _ = engine.lfo(vorda.Lfo(sr, waveform=2), 1.0 / window, n=len(x))  # -1 to 1
    p = 0.5 * (ramp + 1.0)
    q = np.where(p < 0.5, p + 0.5, p - 0.5)
    near, far = read_taps(engine, ring, x, [front + window * (1.0 - p), front + window * (1.0 - q)])
    return np.asarray(np.sin(np.pi * p) * near + np.abs(np.cos(np.pi * p)) * far, np.float32)


def reverb(engine: Engine, x: Signal, sr: int, decay: float) -> tuple[Signal, Signal]:
    """The Schroeder reverb of reverb.py, a stage at a time: a tone low-pass
    and a pre-delay, early reflections as taps of a RingBufferS, then per
    side reverb.py's Side, four combs in parallel and three allpasses in
    series, with the modulated loops swung in quadrature by one Lfo."""
    x = engine.process(vorda.Biquad(*lowpass_coefs(6000.0, 0.7071, sr)), x)
    x = engine.process(vorda.DelayN(sr, 0.02), x, 0.02)
    delays = [round(t * sr) for t, _, _ in REFLECTIONS]
    ring = vorda.RingBufferS(max(delays) + CHUNK)
    gains = [0.5 * g for _, g, _ in REFLECTIONS]
    pans = [p for _, _, p in REFLECTIONS]
    early = placed(engine, read_taps(engine, ring, x, delays), gains, pans)
    swings = engine.lfo(vorda.Lfo(sr), 0.17, n=len(x))
    sides = (
        Side(sr, COMBS_LEFT, ALLPASSES_LEFT, decay),
        Side(sr, COMBS_RIGHT, ALLPASSES_RIGHT, decay),
    )
    out = []
    for side, swing, reflected in zip(sides, swings, early):
        c0, c1, c2, c3 = side.comb_delays
        y = 0.25 * (
            engine.process(side.comb_n, x, c0, side.decay)
            + engine.process(side.comb_l, x, c1 + 0.0005 * swing, side.decay)
            + engine.process(side.comb_s, x, c2, side.decay_samp)
            + engine.process(side.comb_n2, x, c3, side.decay)
        )
        a0, a1, a2 = side.allpass_delays
        d0, d1, d2 = side.allpass_decays
        y = engine.process(side.allpass_n, y, a0, d0)
        y = engine.process(side.allpass_s, y, a1, d1)
        out.append(reflected + engine.process(side.allpass_l, y, a2 + 0.0005 * swing, d2))
    return out[0], out[1]


def render(
    seconds: float = 8.0,
    sample_rate: int = 48000,
    seed: int = 1,
    progress: bool = True,
    per_sample: bool = False,
) -> tuple[Signal, Signal]:
    """The piece as (left, right) float32 arrays peaking at -1 dBFS; the same
    bits with `per_sample` as without."""
    engine = Engine(per_sample)
    sr = sample_rate
    total = round(seconds * sr)
    events = score(seconds, sr, seed)
    by_kind: dict[str, list[tuple[int, Event]]] = {}
    for n in sorted(events):
        for event in events[n]:
            by_kind.setdefault(event.kind, []).append((n, event))
    plucks = by_kind.get("pluck", [])

    with tqdm(total=len(plucks) + 6, unit="part", disable=not progress) as bar:
        bass = bass_line(engine, by_kind.get("bass", []), total, sr)
        kick = kick_drum(engine, [n for n, _ in by_kind.get("kick", [])], total, sr)
        low_l, low_r = engine.pan2(0.4 * bass + 0.8 * kick)
        bar.update()
        hits = [(n, e.velocity) for n, e in by_kind.get("hat", [])]
        hats = hi_hats(engine, hits, total, sr, (seed + 1) % 2**64)
        hat_l, hat_r = engine.pan2(0.45 * hats, 0.35)
        bar.update()

        strings = Strings(engine, sr, seed % 2**64)
        pluck_l, pluck_r, pluck_mono = (np.zeros(total, np.float32) for _ in range(3))
        # Every pluck's left and right gain, from one pan2 over all of them.
        gains = engine.pan2(np.full(len(plucks), 0.35), np.array([e.pan for _, e in plucks]))
        for (start, event), gain_l, gain_r in zip(plucks, *(g.tolist() for g in gains)):
            y = strings.pluck(event.frequency, event.velocity, total - start)
            stop = start + len(y)
            pluck_mono[start:stop] += 0.35 * y
            pluck_l[start:stop] += gain_l * y
            pluck_r[start:stop] += gain_r * y
            bar.update()

        changes = [n for n, _ in by_kind.get("pad_off", [])]
        chords = pad(engine, by_kind.get("pad", []), changes, total, sr)
        pad_l, pad_r = chorused(engine, Chorus(sr, rate=0.4, mix=0.45), 0.05 * chords)
        bar.update()
        echo_l, echo_r = tempo_echo(engine, pluck_mono, sr)
        bar.update()
        send = 0.5 * pluck_mono + 0.6 * (pad_l + pad_r) + 0.3 * (echo_l + echo_r)
        send += 0.5 * octave_up(engine, send, sr)
        bar.update()
        rev_l, rev_r = reverb(engine, send, sr, decay=2.8)
        bar.update()

    left = low_l + hat_l + pluck_l + pad_l + 0.4 * echo_l + 0.35 * rev_l
    right = low_r + hat_r + pluck_r + pad_r + 0.4 * echo_r + 0.35 * rev_r
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
    parser.add_argument(
        "--per-sample", action="store_true",
        help="one vorda call per sample instead of one per block: slower, the same file",
    )  # fmt: skip
    args = parser.parse_args()
    seconds = 0.5 if args.quick else args.seconds
    if seconds <= 0 or args.sample_rate < 8000 or args.seed < 0:
        parser.error("--seconds must be positive, --sample-rate at least 8000, --seed not negative")

    per_sample = args.per_sample
    started = time.perf_counter()
    # A progress bar only for the slow way.
    left, right = render(seconds, args.sample_rate, args.seed, progress=per_sample, per_sample=per_sample)
    elapsed = time.perf_counter() - started

    args.out.mkdir(parents=True, exist_ok=True)
    wav = write_wav(args.out / "demo.wav", args.sample_rate, left, right)
    png = args.out / "demo.png"
    plot(left, right, args.sample_rate, f"vorda demo: seed {args.seed}, {args.sample_rate} Hz", png)
    print(f"wrote {wav} ({seconds:g} s, {args.sample_rate} Hz, stereo, 32-bit float)")
    print(f"wrote {png}")
    mode = "per sample" if per_sample else "blocks"
    print(f"rendered in {elapsed:.2f} s: {seconds / elapsed:.1f}x real time ({mode})")


if __name__ == "__main__":
    main()
