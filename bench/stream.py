#!/usr/bin/env python3
"""Live streams, on a JACK server with its dummy backend (bench/README.md,
"Streams"): the callback's time per 64-sample block for the demo's strings
and reverb, against the block's period and against the bare runs of the same
blocks; the most string voices that play ten seconds with no late block;
and the load of a reverb left to die away into subnormal numbers.

    python bench/stream.py [--quick] [--rounds N] [--json PATH]

Starts its own server (jackd, Debian's jackd2); without one it says so and
measures nothing.
"""
import argparse
import copy
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
import uuid
from pathlib import Path

import numpy as np

import vorda_blocks as vb

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
import live  # noqa: E402
from _util import midi_hz  # noqa: E402
from common import environment, print_environment  # noqa: E402
from demo import hall_network  # noqa: E402

RATE, BLOCK = 48000, 64
PERIOD = BLOCK / RATE
OVERHEAD_TARGET = 1.1  # callback time over the bare runs of the same blocks
FLT_MIN = float(np.finfo(np.float32).tiny)  # below it, float32 is subnormal


class DummyServer:
    """jackd with its dummy backend, under a name of its own, for the bench's
    streams (JACK_DEFAULT_SERVER names it meanwhile)."""

    def __enter__(self):
        self.name = f"vorda-bench-{os.getpid()}-{uuid.uuid4().hex[:6]}"
        # Told to go should this script die first (setpriv, from util-linux).
        orphaned = ["setpriv", "--pdeathsig", "TERM"] if shutil.which("setpriv") else []
        self.process = subprocess.Popen(
            [*orphaned, "jackd", "--no-realtime", "-n", self.name, "-S", "-d", "dummy", "-r",
             str(RATE), "-p", str(BLOCK)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
        self.before = os.environ.get("JACK_DEFAULT_SERVER")
        os.environ["JACK_DEFAULT_SERVER"] = self.name
        deadline = time.monotonic() + 30
        while not any(d["backend"] == "jack" for d in vb.devices()):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("jackd did not start")
            time.sleep(0.1)
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(10)
        if self.before is None:
            os.environ.pop("JACK_DEFAULT_SERVER")
        else:
            os.environ["JACK_DEFAULT_SERVER"] = self.before


def play(patch, events, seconds, record=False):
    """The patch played for `seconds`, its controls starting at 0 and then
    following `events` (sample, control, value); the stream, closed."""
    stream = vb.Stream(patch, sample_rate=RATE, blocksize=BLOCK, record=record)
    for name in patch.inputs:
        stream.set(name, 0.0)
    with stream:
        live.perform(stream, events, round(seconds * RATE), show=False)
    return stream


def demo_rounds(rounds, seconds):
    """The demo's strings and hall (examples/live.py) played `rounds` times:
    the callback against its period, against the patch's own runs inside it,
    and against one offline run of the same inputs."""
    frequencies, notes = live.melody(seconds, RATE, 1)
    events = live.pluck_events(notes, frequencies, RATE)
    rows = []
    for _ in range(rounds):
        patch = live.live_patch(frequencies, RATE)
        twin = copy.deepcopy(patch)
        stream = play(patch, events, seconds, record=True)
        s = stream.stats()
        inputs = stream.played_inputs()
        began = time.perf_counter()
        offline = twin.run(**inputs)
        offline_seconds = time.perf_counter() - began
        assert all(np.array_equal(a, b) for a, b in zip(offline, stream.recording()))
        rows.append({"blocks": s["blocks"], "late": s["late"], "xruns": s["xruns"],
                     "callback_us": 1e6 * s["callback_seconds"] / s["blocks"],
                     "load_mean": s["load_mean"], "load_peak": s["load_peak"],
                     "overhead": s["callback_seconds"] / s["run_seconds"],
                     "over_offline": s["callback_seconds"] / offline_seconds})
    return len(frequencies), rows


def voices_patch(count):
    """`count` strings over three octaves from E2 (detuned by a few cents
    beyond), each plucked once a second, staggered, into the hall."""
    frequencies = [midi_hz(40 + k % 36) * (1.0 + 0.002 * (k // 36)) for k in range(count)]
    events = []
    for k, frequency in enumerate(frequencies):
        period = max(1, round(RATE / frequency))
        for second in range(12):
            at = round((second + k / count) * RATE)
            events += [(at, live.pluck_name(k), 0.8), (at + period, live.pluck_name(k), 0.0)]
    events.sort(key=lambda e: e[0])
    return live.live_patch(frequencies, RATE), events


def most_voices(seconds, start, limit, tries):
    """Doubles the voices until a count has a late block in each of `tries`
    runs, then halves the gap: the most that played `seconds` with none (a
    thread that is not real-time, on a shared machine, is now and then put
    aside for longer than a block, at any load), and every run."""
    trials = {}

    def clean(count):
        if count not in trials:
            patch, events = voices_patch(count)
            runs = []
            for _ in range(tries):
                s = play(copy.deepcopy(patch), events, seconds).stats()
                runs.append({"late": s["late"], "load_mean": s["load_mean"],
                             "load_peak": s["load_peak"]})
                print(f"    {count:4d} voices: late {s['late']:4d}  load "
                      f"{100 * s['load_mean']:5.1f}%  peak {100 * s['load_peak']:6.1f}%", flush=True)
                if s["late"] == 0:
                    break
            trials[count] = runs
        return trials[count][-1]["late"] == 0

    good, count = 0, start
    while count <= limit and clean(count):
        good, count = count, 2 * count
    bad = count if count <= limit else None
    while bad is not None and bad - good > max(1, good // 16):
        middle = (good + bad) // 2
        if clean(middle):
            good = middle
        else:
            bad = middle
    return good, bad, trials


def subnormal_run(seconds, decay):
    """The hall, given one block of 1.0 and then silence: its load per
    quarter second while it dies away, when its output becomes subnormal (in
    float32, where its state lives) and when it becomes 0; then the same
    samples offline, a quarter second at a time (the fastest of three runs
    of each), which no scheduling can disturb."""
    patch = vb.Patch()
    left, right = hall_network(patch, patch.input("x"), RATE, decay)
    patch.output("left", left, dtype=np.float64)
    patch.output("right", right, dtype=np.float64)
    untouched = copy.deepcopy(patch)
    stream = vb.Stream(patch, sample_rate=RATE, blocksize=BLOCK, record=True)
    stream.set("x", 1.0)
    stream.set("x", 0.0, at=BLOCK)
    windows = []
    with stream:
        last = (0, 0.0)
        while stream.time < seconds * RATE:
            time.sleep(0.25)
            now, spent = stream.time, stream.stats()["callback_seconds"]
            if now > last[0]:
                windows.append((now / RATE, (spent - last[1]) / ((now - last[0]) / RATE)))
            last = (now, spent)
    recorded = stream.recording()
    x = stream.played_inputs()["x"]
    quarter = RATE // 4
    offline = [float("inf")] * (len(x) // quarter)
    for _ in range(3):
        twin = copy.deepcopy(untouched)
        for k in range(len(offline)):
            began = time.perf_counter()
            twin.run(x=x[k * quarter:(k + 1) * quarter])
            offline[k] = min(offline[k], time.perf_counter() - began)
    twin = copy.deepcopy(untouched)
    assert all(np.array_equal(a, b) for a, b in zip(twin.run(x=x), recorded))
    loudest = np.maximum(np.abs(recorded[0]), np.abs(recorded[1]))
    normal_until = (np.flatnonzero(loudest >= FLT_MIN)[-1] + 1) / RATE
    nonzero = np.flatnonzero(loudest > 0.0)
    zero_from = (nonzero[-1] + 1) / RATE if len(nonzero) < len(loudest) else None
    offline_windows = [((k + 1) / 4, t * 4) for k, t in enumerate(offline)]  # load: s per s
    return windows, offline_windows, float(normal_until), None if zero_from is None else float(zero_from)


def report_demo(strings, rows):
    print(f"\nthe demo's {strings} strings and hall (examples/live.py), 64-sample blocks "
          f"({1e6 * PERIOD:.0f} us each), {len(rows)} runs")
    for key, label in [("callback_us", "callback, mean"), ("load_mean", "load, mean"),
                       ("load_peak", "load, peak"), ("overhead", "callback / bare runs"),
                       ("over_offline", "callback / one offline run")]:
        values = [row[key] for row in rows]
        median = statistics.median(values)
        shown = f"{median:8.2f} us" if key == "callback_us" else (
            f"{100 * median:7.1f} %" if key.startswith("load") else f"{median:8.2f} x")
        extra = ""
        if key == "overhead":
            extra = f"  <={OVERHEAD_TARGET:g}  {'ok' if median <= OVERHEAD_TARGET else 'MISS'}"
        print(f"  {label:28s}{shown}   (runs: {', '.join(f'{v:.3g}' for v in values)}){extra}")
    print(f"  late blocks {[row['late'] for row in rows]}, xruns {[row['xruns'] for row in rows]}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="runs of the demo's patch (default 3, 1 with --quick)")
    parser.add_argument("--quick", action="store_true", help="a smoke run, not a measurement")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    args = parser.parse_args(argv)
    if shutil.which("jackd") is None:
        print("bench/stream.py: no jackd here (Debian: apt install jackd2); nothing measured")
        return
    rounds = args.rounds or (1 if args.quick else 3)
    seconds = 1.0 if args.quick else 10.0
    env = environment()
    print_environment(env)
    result = {"environment": env, "rounds": rounds, "seconds": seconds}
    with DummyServer():
        strings, rows = demo_rounds(rounds, seconds)
        report_demo(strings, rows)
        result["demo"] = {"strings": strings, "runs": rows, "target": OVERHEAD_TARGET,
                          "overhead": statistics.median(r["overhead"] for r in rows)}

        print(f"\nstring voices and the hall, {seconds:g} s each, until a block is late")
        good, bad, trials = most_voices(seconds, 16, 32 if args.quick else 2048,
                                        1 if args.quick else 3)
        print(f"  the most with no late block: {good}" +
              (f" ({bad} had late blocks in every run)" if bad else " (the most tried)"))
        counts, loads = zip(*[(count, run["load_mean"]) for count, runs in trials.items()
                              for run in runs])
        per_voice = float(np.polyfit(counts, loads, 1)[0]) if len(set(counts)) > 1 else float("nan")
        print(f"  a voice adds {100 * per_voice:.3f} % of a core to the mean load (a line through "
              f"the runs): a core would hold some {1 / per_voice:.0f}")
        result["voices"] = {"most": good, "first_late": bad, "trials": trials,
                            "load_per_voice": per_voice}

        decay = 0.1 if args.quick else 0.5
        length = 2.0 if args.quick else 14.0
        windows, offline, normal_until, zero_from = subnormal_run(length, decay)
        print(f"\nthe hall alone (decay {decay:g} s) after one block of 1.0: load per quarter "
              "second, live and offline")
        for (at, load), (_, alone) in zip(windows, offline):
            tag = ("silent" if zero_from is not None and at > zero_from
                   else "subnormal" if at > normal_until else "")
            print(f"  {at:6.2f} s  live {100 * load:6.2f} %   offline {100 * alone:6.3f} %  {tag}")
        print(f"  subnormal from {normal_until:.2f} s; "
              + (f"silent (0.0) from {zero_from:.2f} s" if zero_from else "never silent"))
        for name, series in (("live", windows), ("offline", offline)):
            before = [load for at, load in series if 0.5 <= at <= normal_until - 0.25]
            after = [load for at, load in series
                     if normal_until + 0.25 <= at <= (zero_from or length) + 0.01]
            if before and after:
                ratio = statistics.median(after) / statistics.median(before)
                print(f"  {name}: normal {100 * statistics.median(before):.3f} %, subnormal "
                      f"{100 * statistics.median(after):.3f} % (median): {ratio:.2f}x")
        result["subnormal"] = {"decay": decay, "windows": windows, "offline": offline,
                               "normal_until": normal_until, "zero_from": zero_from}
    if args.json:
        Path(args.json).parent.mkdir(parents=True, exist_ok=True)
        Path(args.json).write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
