"""Plays the demo's plucked strings and its reverb live, through an audio device.

The strings (demo.py's `string_loop`, one per pitch of the melody), their
two buses and the demo's hall reverb (`hall_network`) are one patch, which
the audio backend's thread runs in C++ once per block, without Python. A
melody over the demo's chord progression (its `score`) is sequenced with
Stream.set(..., at=...): a pluck is a control that holds the note's
velocity for one period of the string, while the string's loop takes in
white noise, and 0 after. The events are set half a second ahead of the
stream's clock, so that nothing Python does can make a note late.

    python examples/live.py [--seconds S] [--device D] [--backend B] [--bounce FILE.wav]

prints a load meter while it plays. --bounce writes the offline render of
what was played: a twin of the patch, taken before the stream started, run
over the inputs the stream played, which is bit for bit what the device
was given (the file says so, or the run fails). Ctrl-C stops it cleanly.
"""

from __future__ import annotations

import argparse
import copy
import math
import sys
import time
from pathlib import Path

import numpy as np

import vorda
import vorda_blocks as vb
from _util import midi_hz, write_wav
from demo import HIGHEST_STRING, LOWEST_STRING, hall_network, score, string_loop

# How far ahead of the stream's clock the melody is sequenced, in seconds.
LEAD = 0.5
# Seconds to -60 dB: the strings' fundamentals and the hall.
STRING_DECAY, HALL_DECAY = 1.5, 2.8


def pluck_name(k: int) -> str:
    return f"pluck{k}"


def live_patch(frequencies: list[float], sample_rate: int, seed: int = 1) -> vb.Patch:
    """A string for each frequency, excited by its own noise while its pluck
    control is not 0, placed across the stereo field by pitch (low strings
    to the left, as in the demo), into a hall. Outputs `left` and `right`,
    kept inside (-1, 1) by a tanh."""
    p = vb.Patch()
    low, high = midi_hz(LOWEST_STRING), midi_hz(HIGHEST_STRING)
    bus_l: vb.Value | float = 0.0
    bus_r: vb.Value | float = 0.0
    for k, frequency in enumerate(frequencies):
        noise = vorda.WhiteNoise(seed + k)
        x = p.input(pluck_name(k)) * p.process(noise)
        y = string_loop(p, x, frequency, sample_rate, STRING_DECAY)
        place = min(0.6, max(-0.6, -0.6 + 1.2 * math.log(frequency / low) / math.log(high / low)))
        gain_l, gain_r = vorda.pan2(0.5, place)
        bus_l = gain_l * y + bus_l
        bus_r = gain_r * y + bus_r
    # The offset the bursts leave in the loops goes, as in the demo.
    dry_l = p.process(vorda.LeakDc(), bus_l)
    dry_r = p.process(vorda.LeakDc(), bus_r)
    wet_l, wet_r = hall_network(p, 0.2 * (dry_l + dry_r), sample_rate, HALL_DECAY)
    p.output("left", p.tanh(2.0 * (dry_l + 0.35 * wet_l)))
    p.output("right", p.tanh(2.0 * (dry_r + 0.35 * wet_r)))
    return p


def melody(seconds: float, sample_rate: int, seed: int) -> tuple[list[float], list[tuple[int, int, float]]]:
    """The demo's plucks: the strings' frequencies, and (sample, string, velocity)
    for every pluck, in time order."""
    plucks = [(n, event) for n, events in sorted(score(seconds, sample_rate, seed).items())
              for event in events if event.kind == "pluck"]  # fmt: skip
    frequencies = sorted({event.frequency for _, event in plucks})
    string = {f: k for k, f in enumerate(frequencies)}
    return frequencies, [(n, string[e.frequency], e.velocity) for n, e in plucks]


def pluck_events(
    notes: list[tuple[int, int, float]], frequencies: list[float], sample_rate: int
) -> list[tuple[int, str, float]]:
    """(sample, control, value): each pluck holds its velocity for one period
    of its string, then 0."""
    events: list[tuple[int, str, float]] = []
    for n, k, velocity in notes:
        period = max(1, round(sample_rate / frequencies[k]))
        events += [(n, pluck_name(k), velocity), (n + period, pluck_name(k), 0.0)]
    events.sort(key=lambda e: e[0])  # stable: an onset keeps its place after a release
    return events


def meter(stream: vb.Stream, last: bool = False) -> None:
    s = stream.stats()
    line = (f"{stream.time / stream.sample_rate:6.2f} s  load {100 * s['load_mean']:5.1f}% "
            f"(peak {100 * s['load_peak']:5.1f}%)  late {s['late']}  xruns {s['xruns']}")  # fmt: skip
    if sys.stdout.isatty():
        print("\r" + line, end="\n" if last else "", flush=True)
    else:
        print(line, flush=True)


def perform(
    stream: vb.Stream, events: list[tuple[int, str, float]], total: int, show: bool = True
) -> None:
    """Sets the events half a second ahead of the clock until `total`
    samples have played, with a meter every quarter of a second (every
    second when not on a terminal), unless not `show`."""
    lead = round(LEAD * stream.sample_rate)
    every = (0.25 if sys.stdout.isatty() else 1.0) if show else math.inf
    queued, shown = 0, time.monotonic()
    while stream.time < total:
        if stream.error is not None:
            raise stream.error
        horizon = stream.time + lead
        while queued < len(events) and events[queued][0] < horizon:
            n, name, value = events[queued]
            stream.set(name, value, at=n)
            queued += 1
        if time.monotonic() - shown >= every:
            meter(stream)
            shown = time.monotonic()
        time.sleep(0.02)
    if show:
        meter(stream, last=True)


def bounce(stream: vb.Stream, twin: vb.Patch, path: Path) -> bool:
    """Writes what the twin renders from the inputs the stream played; says
    whether it is what the stream computed, bit for bit."""
    played = twin.run(**stream.played_inputs())
    heard = stream.recording()
    assert isinstance(played, tuple) and isinstance(heard, tuple)
    same = all(np.array_equal(a, b) for a, b in zip(played, heard))
    left, right = played
    write_wav(path, round(stream.sample_rate), left, right)
    seconds = len(left) / stream.sample_rate
    verdict = "identical to what was played" if same else "DIFFERENT from what was played"
    print(f"wrote {path}: the offline render of the {seconds:.2f} s played, {verdict}")
    return same


def main() -> int:
    parser = argparse.ArgumentParser(description=str(__doc__).splitlines()[0])
    parser.add_argument("--seconds", type=float, default=16.0, help="how long (default: 16)")
    parser.add_argument("--device", help="an index or a name from vorda_blocks.devices()")
    parser.add_argument("--backend", help="'jack', 'alsa', ... (default: JACK if a server runs)")
    parser.add_argument("--bounce", type=Path, metavar="FILE.wav", help="write what was played")
    parser.add_argument("--seed", type=int, default=1, help="the melody's (default: 1)")
    parser.add_argument("--sample-rate", type=int, default=48000, help="in Hz (default: 48000)")
    parser.add_argument("--blocksize", type=int, default=64, help="in samples (default: 64)")
    args = parser.parse_args()
    if args.seconds <= 0 or args.seed < 0:
        parser.error("--seconds must be positive and --seed not negative")
    device = int(args.device) if args.device is not None and args.device.isdigit() else args.device

    sr = args.sample_rate
    frequencies, notes = melody(args.seconds, sr, args.seed)
    patch = live_patch(frequencies, sr, args.seed)
    twin = copy.deepcopy(patch)  # before the stream changes anything
    try:
        stream = vb.Stream(patch, sample_rate=sr, blocksize=args.blocksize, device=device,
                           backend=args.backend, record=args.bounce is not None)  # fmt: skip
    except (RuntimeError, ValueError) as e:
        print(f"live.py: cannot play: {e}", file=sys.stderr)
        return 1
    print(f"playing {len(frequencies)} strings and a hall through {stream.device!r} "
          f"({stream.backend}), {args.seconds:g} s; Ctrl-C stops")  # fmt: skip
    for k in range(len(frequencies)):
        stream.set(pluck_name(k), 0.0)
    status = 0
    try:
        with stream:
            perform(stream, pluck_events(notes, frequencies, sr), round(args.seconds * sr))
    except KeyboardInterrupt:
        print("\nstopped", flush=True)
        status = 130
    except RuntimeError as e:
        print(f"live.py: the stream stopped: {e}", file=sys.stderr)
        return 1
    if stream.latency is not None:
        print(f"latency {1000 * stream.latency:.1f} ms, {stream.stats()['blocks']} blocks")
    if args.bounce is not None and not bounce(stream, twin, args.bounce):
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
