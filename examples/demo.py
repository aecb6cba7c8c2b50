"""
The demo piece
==============

Renders a short stereo piece in A minor, whole arrays at a time.

Every processor of vorda has a part to play: sine bass and kick (SinOsc),
plucked strings (WhiteNoise, DelayS and a Biquad for the pluck, a DelayL
loop through a Biquad low-pass, LeakDc) with sympathetic strings that
nobody plucks (CombL, CombN, CombS), an FM pad through a chorus (SinOsc,
a Biquad resonator, Lfo, DelayL), hi-hats (WhiteNoise, Biquad), a
ping-pong tempo echo (RingBufferN taps), an octave-up shimmer (RingBufferL
taps, Lfo) and a reverb (a Biquad, a DelayN, RingBufferS taps, AllpassN,
AllpassS and AllpassL, then a feedback delay network of DelayS, DelayN and
DelayL lines, each through a Biquad low-pass), each source placed in the
stereo field with pan2.

The piece is built in stages on arrays: each note and each effect runs
through its processors in one vorda_blocks call per processor, and numpy
does the envelopes and the mixing. A feedback loop that passes through
more than one processor (a string, the reverb's network) is a patch,
recorded once and run by vorda_blocks over a whole span at a time, and so
are the taps of a ring buffer. With --per-sample the same stages call the
processors once per sample instead, and perform the patches' recorded
steps through examples/patch_loop.py, and write the same file, bit for bit.

    python examples/demo.py [--seconds S] [--tail S] [--seed N] [--sample-rate HZ] [--out DIR] [--per-sample]

The piece lasts S seconds, then rings out for the tail (3 s by default) and
fades to silence.

writes DIR/demo.wav (32-bit float) and DIR/demo.png (waveform and
spectrogram of both channels) and prints the real-time factor.
"""

from __future__ import annotations

import math
import os
import random
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

# The piece's numpy work is element by element; numpy's BLAS would only keep
# threads spinning on the other cores for a while after each call.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import matplotlib  # noqa: E402

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt
from matplotlib import mlab
import numpy as np
from tqdm import tqdm

import vorda
import vorda_blocks as vb
from _util import Engine, Signal, example_args, midi_hz, normalize, write_wav
from chorus import Chorus, FmNote
from filter_sweep import below_nyquist, highpass_coefs, lowpass_coefs
from plucked_string import phase_delay
from reverb import ALLPASSES_LEFT, REFLECTIONS, decay_for_gain

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
# The strings' range, for their places in the stereo field.
LOWEST_STRING, HIGHEST_STRING = 53, 69
# The cutoff of the low-pass in a string's loop, in multiples of its pitch.
DAMPING = 10.0
ARPEGGIOS = [[0, 1, 2, 3, 2, 1, 2, 3], [0, 2, 1, 3, 1, 2, 0, 3], [3, 2, 1, 0, 1, 2, 3, 2]]

# Slow modulation is stepped every this many samples, and drawn straight
# between the steps.
CONTROL = 32
# The shimmer's ring buffer is written and read in chunks of this many samples.
CHUNK = 16384
# After the last note the reverb rings on for the tail, whose last FADE
# seconds fade out to silence (the last sample is 0: no click).
TAIL, FADE = 3.0, 1.0
# The low bus's DC blocker sits an octave below the kick's lowest note.
LOW_CUT = 20.0
# The Hall's delay lines, in seconds: prime sample counts at 44.1 kHz, so
# that their echo patterns do not line up.
HALL_LINES = [1361 / 44100, 1511 / 44100, 1657 / 44100, 1811 / 44100]

def placed(
    engine: Engine, signals: Sequence[Signal], gains: Sequence[float], pans: Sequence[float]
) -> tuple[Signal, Signal]:
    """The sum of `signals`, each at its gain and its place in the stereo
    field: one pan2 over the gains gives each signal its left and right gain."""
    gains_l, gains_r = engine.pan2(np.array(gains), np.array(pans))
    left, right = signals[0] * gains_l[0], signals[0] * gains_r[0]
    scratch = np.empty_like(left)
    for signal, gain_l, gain_r in zip(signals[1:], gains_l[1:], gains_r[1:]):
        left += np.multiply(signal, gain_l, out=scratch)
        right += np.multiply(signal, gain_r, out=scratch)
    return left, right


@dataclass
class Event:
    kind: str  # "pluck", "bass", "kick", "hat", "pad" or "pad_off"
    frequency: float = 0.0
    velocity: float = 1.0


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
                    at(start + 0.04 * k, Event("pluck", midi_hz(note), 0.9))
                at(start, Event("kick"))
                continue
            at(start + 2.5, Event("bass", midi_hz(bass), 0.7))
            figure = ARPEGGIOS[int(rng.random() * len(ARPEGGIOS))]
            length = PROGRESSION[i + 1][0] - beat
            for step in range(2 * length):
                k = figure[step % len(figure)]
                velocity = 0.65 + 0.35 * rng.random() if step % 2 else 0.9 + 0.1 * rng.random()
                at(start + 0.5 * step, Event("pluck", midi_hz(arp[k]), velocity), jitter=0.006)
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
    attack and an exponential decay. The oscillator runs through the whole
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
    # The octave from the root itself, cos 2x = 1 - 2 sin^2 x: a second
    # oscillator would cost more than the whole of the rest of the line.
    octave = 1.0 - 2.0 * root * root
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
    A hit is over 0.1 s later (at -120 dB), so the noise runs only then; the
    filter carries its state from one hit to the next."""
    out = np.zeros(total, np.float32)
    noise = vorda.WhiteNoise(seed)
    hiss = vorda.Biquad(*highpass_coefs(7000.0, 0.9, sr))
    spans = segments([n for n, _ in hits], total)
    fade = exponential(0.001 ** (1.0 / (0.05 * sr)), round(0.1 * sr))
    for (start, stop), (_, velocity) in zip(spans, hits):
        n = min(stop - start, len(fade))
        out[start : start + n] = velocity * fade[:n] * engine.process(hiss, engine.process(noise, n=n))
    return out


def string_loop(p: vb.Patch, x: vb.Value, frequency: float, sample_rate: int, decay: float) -> vb.Value:
    """Records one string into `p`, excited by `x`: the Karplus-Strong loop
    of plucked_string.py, a DelayL, one sample of feedback and a Biquad
    low-pass inside the loop, so that the upper partials die first. The
    delay line makes up what the feedback sample and the filter's phase
    delay at the fundamental leave of the period. Returns what the string
    plays, after the filter (the raw excitation would click)."""
    coefs = lowpass_coefs(DAMPING * frequency, 0.7071, sample_rate)
    period = sample_rate / frequency
    delay = (period - 1.0 - phase_delay(coefs, frequency, sample_rate)) / sample_rate
    # The loop's gain, which sets the fundamental's decay, is folded into
    # the filter: one operation less per sample.
    gain = 0.001 ** (1.0 / (frequency * decay))
    b0, b1, b2, a1, a2 = coefs
    v = p.feedback()
    fed = p.process(vorda.DelayL(sample_rate, delay + 2.0 / sample_rate), v, delay)
    damped = p.process(vorda.Biquad(gain * b0, gain * b1, gain * b2, a1, a2), fed)
    v.set(x + damped)
    return damped


class String:
    """One string, tuned to `frequency` and recorded once as a patch
    (`string_loop`) whose input `x` is the excitation.

    A pluck is an excitation added to the loop: plucking a string that still
    rings adds to what it plays, as the sum of two separate notes would."""

    def __init__(self, frequency: float, sample_rate: int, decay: float) -> None:
        self.patch = p = vb.Patch()
        p.output("y", string_loop(p, p.input("x"), frequency, sample_rate, decay))


class Strings:
    """A string for every pitch the piece plucks, placed across the stereo
    field by pitch, low strings to the left. A pluck is a burst of noise one
    period long, shaped by where the string is plucked (a DelayS) and
    softened by a Biquad low-pass that opens with the velocity. A string runs
    only while one of its plucks rings (`life` after it); the LeakDc of each
    bus takes away the offset the bursts leave in the loops."""

    def __init__(self, engine: Engine, sample_rate: int, seed: int) -> None:
        self.engine = engine
        self.sample_rate = sample_rate
        self.noise = vorda.WhiteNoise(seed)
        self.life = round(1.6 * sample_rate)
        self.decay = 1.5  # seconds to -60 dB, for the fundamental

    def excitation(self, frequency: float, velocity: float) -> Signal:
        engine, sr = self.engine, self.sample_rate
        period = sr / frequency
        burst = max(1, round(period))
        # A pluck at 0.15 of the length cancels the harmonics near multiples
        # of 1 / 0.15: the burst minus itself 0.15 of a period later.
        pick = max(1, round(0.15 * period))
        # The softening dies away well within a period of the burst.
        shaping = np.zeros(2 * burst + pick, np.float32)
        shaping[:burst] = velocity * engine.process(self.noise, n=burst)
        shaping -= engine.process(vorda.DelayS(pick), shaping, pick)
        softness = lowpass_coefs(frequency * (15.0 + 16.0 * velocity), 0.7071, sr)
        return engine.process(vorda.Biquad(*softness), shaping)

    def play(self, plucks: list[tuple[int, Event]], total: int) -> tuple[Signal, Signal]:
        """The plucks as (left, right)."""
        engine = self.engine
        left, right = np.zeros(total, np.float32), np.zeros(total, np.float32)
        notes: dict[float, list[tuple[int, Signal]]] = {}
        for start, event in plucks:  # in time order, as the noise is drawn
            burst = self.excitation(event.frequency, event.velocity)
            notes.setdefault(event.frequency, []).append((start, burst))
        pitches = sorted(notes)
        if not pitches:
            return left, right
        low, high = midi_hz(LOWEST_STRING), midi_hz(HIGHEST_STRING)
        places = [-0.6 + 1.2 * math.log(f / low) / math.log(high / low) for f in pitches]
        gains = engine.pan2(np.full(len(pitches), 0.5), np.clip(places, -0.6, 0.6))
        for frequency, gain_l, gain_r in zip(pitches, *(g.tolist() for g in gains)):
            string = String(frequency, self.sample_rate, self.decay)
            onsets = [start for start, _ in notes[frequency]]
            for start, stop in ringing(onsets, self.life, total):
                x = np.zeros(stop - start, np.float32)
                for onset, burst in notes[frequency]:
                    if start <= onset < stop:
                        x[onset - start : onset - start + len(burst)] += burst[: stop - onset]
                (y,) = engine.run(string.patch, x=x)
                left[start:stop] += gain_l * y
                right[start:stop] += gain_r * y
        return engine.process(vorda.LeakDc(), left), engine.process(vorda.LeakDc(), right)


def ringing(onsets: list[int], life: int, total: int) -> list[tuple[int, int]]:
    """The spans in which something started at `onsets` (sorted) lasts `life`
    samples, overlapping ones joined."""
    spans: list[tuple[int, int]] = []
    for start in onsets:
        stop = min(start + life, total)
        if spans and start <= spans[-1][1]:
            spans[-1] = (spans[-1][0], max(spans[-1][1], stop))
        else:
            spans.append((start, stop))
    return spans


def pad(
    engine: Engine, notes: list[tuple[int, Event]], releases: list[int], total: int, sr: int
) -> Signal:
    """FmNotes of chorus.py, each chord held until the next one comes in and
    then let go at -60 dB. Their attack and release are FmNote's one-pole
    steps, in closed form, one envelope for all the notes of a chord.

    A modulator's frequency never changes, so a Biquad whose poles lie on the
    unit circle plays it instead of a SinOsc: struck once, it rings on as a
    sine at a third of the cost. The carrier, swung by it, stays a SinOsc.
    The notes' sidebands fade out within a few kilohertz, so the pad plays at
    half the sample rate, and so does its chorus: drawn straight back up,
    what they leave above a quarter of the rate (images of the notes near
    half the rate) lies some 50 dB below the pad. The result is at half the
    rate: (total + 1) // 2 samples."""
    rate = sr / 2
    out = np.zeros((total + 1) // 2, np.float32)
    if not notes:
        return out
    chords: dict[int, list[FmNote]] = {}
    for start, event in notes:
        note = FmNote(rate, event.frequency, attack=0.25, release=0.6)
        chords.setdefault(start, []).append(note)
    some = next(iter(chords.values()))[0]
    tail = math.ceil(math.log(0.001) / math.log(1.0 - some.release_step))
    # Where each chord starts and is let go at half the rate: the release
    # rounds up, so that a chord holds for a sample at least.
    spans = {
        start: (start // 2, (next((n for n in releases if n > start), total) + 1) // 2)
        for start in chords
    }
    longest = max(release - begin for begin, release in spans.values())
    rise = 1.0 - exponential(1.0 - some.attack, longest + 1)[1:]
    fall = exponential(1.0 - some.release_step, tail + 1)[1:]
    strike = np.zeros(longest + tail, np.float32)
    strike[0] = 1.0
    for start, chord in chords.items():
        begin, release = spans[start]
        stop = min(release + tail, len(out))
        held = rise[: release - begin]
        level = np.concatenate((held, held[-1] * fall[: stop - release]))
        tone = np.zeros(stop - begin, np.float32)
        for note in chord:
            w = 2.0 * math.pi * note.mod_frequency / rate
            modulator = vorda.Biquad(note.swing * math.sin(w), 0.0, 0.0, -2.0 * math.cos(w), 1.0)
            swing = engine.process(modulator, strike[: stop - begin])
            tone += engine.process(note.carrier, note.frequency + swing)
        tone *= level
        out[begin:stop] += tone
    return out


def chorused(engine: Engine, chorus: Chorus, x: Signal) -> tuple[Signal, Signal]:
    """The Chorus of chorus.py over a whole signal. Its sweep is slow, so an
    Lfo of its own steps it at a control rate (every CONTROL samples) and the
    delays are drawn straight between its steps."""
    lfo = vorda.Lfo(chorus.lfo.sample_rate / CONTROL)
    steps = len(x) // CONTROL + 2
    sweep, sweep_ahead = engine.lfo(lfo, chorus.rate, n=steps)
    left = engine.process(chorus.left, x, between(chorus.delay + chorus.depth * sweep, len(x)))
    right = engine.process(chorus.right, x, between(chorus.delay + chorus.depth * sweep_ahead, len(x)))
    dry = chorus.dry * x
    left *= chorus.wet
    left += dry
    right *= chorus.wet
    right += dry
    return left, right


def between(steps: Signal, n: int) -> Signal:
    """`n` samples drawn straight between control steps CONTROL samples apart."""
    ramp = np.arange(CONTROL, dtype=np.float32) / np.float32(CONTROL)
    fine = np.outer(np.diff(steps), ramp)
    fine += steps[:-1, np.newaxis]
    return fine.reshape(-1)[:n]


def tempo_echo(engine: Engine, x: Signal, sr: int) -> tuple[Signal, Signal]:
    """Ping-pong echoes every dotted eighth, alternating sides and fading:
    four taps of one RingBufferN."""
    times = [0.75 * k / BEATS_PER_SECOND for k in range(1, 5)]
    ring = vorda.RingBufferN(sr, times[-1] + 2.0 / sr)
    p = vb.Patch()
    # Half a sample past each whole count, so the truncation to samples
    # cannot land one short through the rounding of the seconds.
    for k, t in enumerate(times):
        p.output(f"echo {k}", p.read(ring, (round(t * sr) + 0.5) / sr))
    p.write(ring, p.input("x"))
    echoes = engine.run(p, x=x)
    return placed(engine, echoes, [0.55**k for k in range(4)], [-0.8, 0.8] * 2)


def octave_up(engine: Engine, x: Signal, sr: float, window: float = 0.08) -> Signal:
    """A delay-line pitch shifter: two taps of one RingBufferL slide towards
    the present at one second per second, which doubles the pitch. When a tap
    reaches the front it jumps back by `window`; the taps are half a window
    apart and each fades out (sine and cosine windows) before it jumps.

    The taps come within two samples of the newest, so a patch would read
    and write the ring in turns, sample by sample. Instead a chunk is written
    first and then read, both taps in one call: sample i of a chunk of L lies
    L - i writes further back than it would have, which the delays make up."""
    front = 2.0 / sr  # clear of the newest sample, which the interpolation must not pass
    ring = vorda.RingBufferL(sr, window + (CHUNK + 4) / sr)
    ramp, _ = engine.lfo(vorda.Lfo(sr, waveform=2), 1.0 / window, n=len(x))  # -1 to 1
    p = 0.5 * ramp + 0.5
    q = np.where(p < 0.5, p + 0.5, p - 0.5)
    delays = (front + window) - window * np.stack((p, q))
    # Seconds in float32, as the ring takes them.
    behind = (np.arange(CHUNK, 0, -1) / sr).astype(np.float32)
    taps = np.empty(delays.shape, np.float32)
    for start in range(0, len(x), CHUNK):
        stop = min(start + CHUNK, len(x))
        engine.write(ring, x[start:stop])
        at = delays[:, start:stop] + behind[CHUNK - (stop - start) :]
        taps[:, start:stop] = engine.read(ring, at.ravel()).reshape(2, -1)
    near: Signal = taps[0]
    far: Signal = taps[1]
    # Half a window apart, the far tap's window is the near one's cosine.
    near *= np.sin(np.pi * p)
    far *= np.sin(np.pi * q)
    near += far
    return near


def hall_network(
    p: vb.Patch, x: vb.Value, sample_rate: float, decay: float, brightness: float = 8000.0
) -> tuple[vb.Value, vb.Value]:
    """Records the late reverb into `p`, fed by `x`: a feedback delay
    network of four delay lines (a DelayS, a DelayN, a DelayL and a DelayN),
    each feeding back through a one-pole low-pass (a Biquad with one pole)
    whose gain sets the line's decay, less at high frequencies, so the tail
    darkens as it dies. A Householder matrix mixes the lines: each takes
    back its own output less half the sum of all four, a reflection that
    loses no energy and gives every line a share of every other; the input
    joins every line. Returns (left, right): each side hears two of the
    lines."""
    sr = sample_rate
    pole = math.exp(-2.0 * math.pi * below_nyquist(brightness, sr) / sr)
    # A line's loop is its delay and the one sample of its feedback.
    loops = [t + 1.0 / sr for t in HALL_LINES]
    dampers = [vorda.Biquad((1.0 - pole) * 0.001 ** (t / decay), 0.0, 0.0, -pole, 0.0) for t in loops]
    t_s, t_n, t_l, t_n2 = HALL_LINES
    samples = round(t_s * sr)
    feedbacks = [p.feedback() for _ in HALL_LINES]
    lines = [
        p.process(vorda.DelayS(samples), feedbacks[0], samples),
        p.process(vorda.DelayN(sr, t_n + 1.0 / sr), feedbacks[1], t_n),
        p.process(vorda.DelayL(sr, t_l + 2.0 / sr), feedbacks[2], t_l),
        p.process(vorda.DelayN(sr, t_n2 + 1.0 / sr), feedbacks[3], t_n2),
    ]
    damped = [p.process(damper, line) for damper, line in zip(dampers, lines)]
    # The mix less the input, once for all four lines.
    shared = 0.5 * ((damped[0] + damped[1]) + (damped[2] + damped[3])) - x
    for feedback, y in zip(feedbacks, damped):
        feedback.set(y - shared)
    # Every line carries the shared part: the difference of two lines
    # cancels it, and leaves the two sides all but uncorrelated.
    return damped[0] - damped[1], damped[2] - damped[3]


class Hall:
    """The late reverb (`hall_network`) recorded as a patch of its own, with
    the input `x` and the outputs `left` and `right`."""

    def __init__(self, sample_rate: float, decay: float, brightness: float = 8000.0) -> None:
        self.patch = p = vb.Patch()
        left, right = hall_network(p, p.input("x"), sample_rate, decay, brightness)
        p.output("left", left)
        p.output("right", right)


def reverb(engine: Engine, send: Signal, sr: int, decay: float) -> tuple[Signal, Signal]:
    """The reverb of the send, with an octave-up shimmer in it: a tone
    low-pass, the shimmer, a pre-delay, early reflections as taps of a
    RingBufferS, then three allpasses in series (an AllpassN, an AllpassS
    and an AllpassL, the delays of reverb.py's left side) smear the input
    before the Hall takes it up.

    Past the tone low-pass it works at half the sample rate: the low-pass
    leaves little above a quarter of the rate to fold back, and the Hall
    darkens its tail further, so the full rate would cost twice as much for
    next to nothing up there. Its output is drawn straight between the
    samples it gives."""
    # At 6 kHz, or lower where a quarter of the rate comes close to it.
    tone = lowpass_coefs(min(6000.0, 0.2 * sr), 0.7071, sr)
    x = np.ascontiguousarray(engine.process(vorda.Biquad(*tone), send)[::2])
    rate = sr / 2
    x += 0.5 * octave_up(engine, x, rate)
    x = engine.process(vorda.DelayN(rate, 0.02), x, 0.02)
    delays = [round(t * rate) for t, _, _ in REFLECTIONS]
    ring = vorda.RingBufferS(max(delays) + 1)
    p = vb.Patch()
    for k, d in enumerate(delays):
        p.output(f"reflection {k}", p.read(ring, d))
    p.write(ring, p.input("x"))
    gains = [0.5 * g for _, g, _ in REFLECTIONS]
    pans = [pan for _, _, pan in REFLECTIONS]
    left, right = placed(engine, engine.run(p, x=x), gains, pans)
    a0, a1, a2 = ALLPASSES_LEFT
    s1 = round(a1 * rate)
    x = engine.process(vorda.AllpassN(rate, a0), x, a0, decay_for_gain(a0, 0.5))
    x = engine.process(vorda.AllpassS(s1), x, s1, round(decay_for_gain(a1, 0.5) * rate))
    x = engine.process(vorda.AllpassL(rate, a2 + 2.0 / rate), x, a2, decay_for_gain(a2, 0.5))
    # The network holds its low end for the whole decay: less than half the
    # input leaves it about as loud as a bank of combs would be.
    late_l, late_r = engine.run(Hall(rate, decay).patch, x=0.45 * x)
    left += late_l
    right += late_r
    return doubled(left, len(send)), doubled(right, len(send))


def doubled(y: Signal, n: int) -> Signal:
    """The first `n` samples of `y` at twice its rate: every other sample
    drawn straight between its neighbours."""
    out = np.empty(2 * len(y), np.float32)
    out[0::2] = y
    middle = y[:-1] + y[1:]
    middle *= 0.5
    out[1:-1:2] = middle
    out[-1] = y[-1]
    return out[:n]


def sympathetic(engine: Engine, x: Signal, sr: int, decay: float = 1.2) -> tuple[Signal, Signal]:
    """Strings that nobody plucks, tuned to the key (A2, E3 and A3), ringing
    along with the partials of those that are: combs fed by the strings'
    bus, whose loops are the periods. The CombL is tuned exactly; the whole
    samples of the CombS and the CombN leave theirs a few cents sharp."""
    a2, e3, a3 = (1.0 / midi_hz(m) for m in (45, 52, 57))
    s3 = round(a3 * sr)
    rings = [
        engine.process(vorda.CombL(sr, a2 + 2.0 / sr), x, a2, decay),
        engine.process(vorda.CombN(sr, e3 + 1.0 / sr), x, e3, decay),
        engine.process(vorda.CombS(s3), x, s3, round(decay * sr)),
    ]
    return placed(engine, rings, [0.012, 0.012, 0.012], [-0.3, 0.3, 0.0])


def render(
    seconds: float = 8.0,
    sample_rate: int = 48000,
    seed: int = 1,
    progress: bool = True,
    per_sample: bool = False,
    tail: float = TAIL,
) -> tuple[Signal, Signal]:
    """The piece as (left, right) float32 arrays peaking at -1 dBFS: `seconds`
    of music, then `tail` seconds in which it rings out and fades to 0. The
    same bits with `per_sample` as without."""
    engine = Engine(per_sample)
    sr = sample_rate
    total = round((seconds + tail) * sr)
    events = score(seconds, sr, seed)
    by_kind: dict[str, list[tuple[int, Event]]] = {}
    for n in sorted(events):
        for event in events[n]:
            by_kind.setdefault(event.kind, []).append((n, event))
    plucks = by_kind.get("pluck", [])

    with tqdm(total=7, unit="part", disable=not progress) as bar:
        bass = bass_line(engine, by_kind.get("bass", []), total, sr)
        kick = kick_drum(engine, [n for n, _ in by_kind.get("kick", [])], total, sr)
        # Both leave an offset: the bass's octave, saturated, is lopsided (its
        # negative peaks are the larger, and tanh flattens them more), and
        # every kick starts on a positive half cycle. A LeakDc takes it away.
        low_cut = vorda.LeakDc(1.0 - 2.0 * math.pi * LOW_CUT / sr)
        low_l, low_r = engine.pan2(engine.process(low_cut, 0.4 * bass + 0.8 * kick))
        bar.update()
        hits = [(n, e.velocity) for n, e in by_kind.get("hat", [])]
        hats = hi_hats(engine, hits, total, sr, (seed + 1) % 2**64)
        hat_l, hat_r = engine.pan2(0.45 * hats, 0.35)
        bar.update()

        strings = Strings(engine, sr, seed % 2**64)
        pluck_l, pluck_r = strings.play(plucks, total)
        pluck_mono = 0.7 * (pluck_l + pluck_r)
        bar.update()

        # The last chord is let go when the music ends.
        changes = [n for n, _ in by_kind.get("pad_off", [])] + [round(seconds * sr)]
        chords = pad(engine, by_kind.get("pad", []), changes, total, sr)
        pad_l, pad_r = chorused(engine, Chorus(sr / 2, rate=0.4, mix=0.45), 0.05 * chords)
        pad_l, pad_r = doubled(pad_l, total), doubled(pad_r, total)
        bar.update()
        echo_l, echo_r = tempo_echo(engine, pluck_mono, sr)
        bar.update()
        sym_l, sym_r = sympathetic(engine, pluck_mono, sr)
        send = 0.5 * pluck_mono + 0.6 * (pad_l + pad_r) + 0.3 * (echo_l + echo_r)
        bar.update()
        rev_l, rev_r = reverb(engine, send, sr, decay=2.8)
        bar.update()

    # Summed in place: each pass over the piece costs as much as a cheap
    # processor's.
    left, right = low_l, low_r
    for part_l, part_r, gain in (
        (hat_l, hat_r, 1.0), (pluck_l, pluck_r, 1.0), (sym_l, sym_r, 1.0), (pad_l, pad_r, 1.0),
        (echo_l, echo_r, 0.4), (rev_l, rev_r, 0.35),
    ):  # fmt: skip
        if gain != 1.0:
            part_l *= gain
            part_r *= gain
        left += part_l
        right += part_r
    faded(left, round(FADE * sr))
    faded(right, round(FADE * sr))
    out_l, out_r = normalize(left, right)
    return out_l, out_r


def faded(x: Signal, n: int) -> None:
    """Fades the last `n` samples of `x` out on a half cosine, in place: the
    last sample becomes 0 exactly."""
    n = min(n, len(x))
    if n > 1:
        x[-n:] *= (0.5 + 0.5 * np.cos(np.linspace(0.0, np.pi, n))).astype(np.float32)
    if n >= 1:
        x[-1] = 0.0  # not -0.0, which the fade leaves where the signal was negative


def plot(left: Signal, right: Signal, sample_rate: int, title: str, path: Path) -> None:
    fig, axes = plt.subplots(2, 2, figsize=(13, 7.5), sharex=True, layout="constrained")
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
        mesh = spec_ax.pcolormesh(times, freqs, db, shading="auto", cmap="magma", vmin=top - 90.0, vmax=top)
        # Beside the spectrogram, taking its width from both plots of the
        # column so that their time axes stay aligned.
        fig.colorbar(mesh, ax=axes[:, col], label="power (dB)", shrink=0.48, anchor=(0.0, 0.0))
        spec_ax.set_yscale("log")
        spec_ax.set(xlabel="time (s)", ylabel="frequency (Hz)", ylim=(30.0, sample_rate / 2),
                    xlim=(0.0, len(x) / sample_rate))
    fig.suptitle(title)
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main() -> None:
    parser = example_args(__doc__)
    parser.add_argument("--seconds", type=float, default=8.0, help="length of the music (default: 8)")
    parser.add_argument(
        "--tail", type=float, default=TAIL,
        help=f"seconds the piece rings out after the music, fading at the end (default: {TAIL:g})",
    )  # fmt: skip
    parser.add_argument("--seed", type=int, default=1, help="humanisation and noise seed (default: 1)")
    parser.add_argument("--sample-rate", type=int, default=48000, help="in Hz (default: 48000)")
    parser.add_argument(
        "--per-sample", action="store_true",
        help="one vorda call per sample instead of one per block: slower, the same file",
    )  # fmt: skip
    args = parser.parse_args()
    seconds = 0.5 if args.quick else args.seconds
    if round(seconds * args.sample_rate) < 1 or args.sample_rate < 8000 or args.seed < 0 or args.tail < 0:
        parser.error("--seconds must give at least one sample, --sample-rate at least 8000, "
                     "--seed and --tail not negative")

    per_sample = args.per_sample
    started = time.perf_counter()
    # A progress bar only for the slow way.
    left, right = render(
        seconds, args.sample_rate, args.seed, progress=per_sample, per_sample=per_sample, tail=args.tail
    )
    elapsed = time.perf_counter() - started

    args.out.mkdir(parents=True, exist_ok=True)
    wav = write_wav(args.out / "demo.wav", args.sample_rate, left, right)
    png = args.out / "demo.png"
    plot(left, right, args.sample_rate, f"vorda demo: seed {args.seed}, {args.sample_rate} Hz", png)
    length = len(left) / args.sample_rate
    print(f"wrote {wav} ({length:g} s, {args.sample_rate} Hz, stereo, 32-bit float)")
    print(f"wrote {png}")
    mode = "per sample" if per_sample else "blocks"
    print(f"rendered in {elapsed:.2f} s: {length / elapsed:.1f}x real time ({mode})")


if __name__ == "__main__":
    main()
