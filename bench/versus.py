#!/usr/bin/env python3
"""Patches against the loop a user who knows Numba would write instead.

Four networks over a minute of audio at 48 kHz: a reverb of eight CombN in
parallel and four AllpassN in series, twenty plucked strings in one patch,
and patches.py's delay network and single plucked string. Each runs as a
vorda_blocks patch and, side by side in the same rounds, as one Numba loop
(bench/numba_nets.py), as a plain C++ loop over the same processors
(bench/networks.cpp, compiled here) and, for the reverb, which has no
feedback between its stages, as one `vb.process` call a stage with numpy
between them. Every side must give the patch's bits before it is timed.
Ratios are what count; see bench/README.md ("Against Numba") for how to
read them.

    python bench/versus.py [--quick] [--rounds N] [--seconds S] [--json PATH]
"""
import argparse
import statistics
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import Callable

import numpy as np
import vorda
import vorda_blocks as vb

sys.path.insert(0, str(Path(__file__).resolve().parent))
import patches  # noqa: E402  (its networks, settings and input)
from common import (Floor, environment, fastest_interleaved, mark, once_ns,  # noqa: E402
                    print_environment, progress, ratio_stats, same_bits, timed_passes,
                    write_json)
from patches import NUMBA, NUMBA_SKIPPED, SR, numba_nets  # noqa: E402


def settings():
    """patches.py's settings, and the two networks of this script's own,
    by the names networks.cpp reads."""
    k = dict(patches.K)
    # The reverb: delays in samples as seconds (CombN truncates the float32
    # product back to whole samples), decay 2 s for the combs, 0.1 s for
    # the allpasses (gains from 0.71 for the longest to 0.99 for the
    # shortest).
    combs = (1215, 1287, 1355, 1422, 1493, 1566, 1633, 1760)
    allpasses = (240, 82, 29, 10)
    k.update({f"cr_comb{i}": d / SR for i, d in enumerate(combs)},
             cr_combs=len(combs), cr_max_sec=0.04, cr_decay=2.0)
    k.update({f"cr_ap{i}": d / SR for i, d in enumerate(allpasses)},
             cr_allpasses=len(allpasses), cr_ap_max_sec=0.01, cr_ap_decay=0.1)
    # The voices: patches.py's string (its low-pass, damping and DC blocker)
    # tuned a semitone apart from 110 Hz up.
    lowpass = [k[f"ks_{c}"] for c in ("b0", "b1", "b2", "a1", "a2")]
    k.update({f"pv_delay{v}": float(patches.string_delay_sec(lowpass, f))
              for v, f in enumerate(voice_frequencies())}, pv_voices=VOICES)
    return k


VOICES = 20


def voice_frequencies():
    return [110.0 * 2.0 ** (v / 12.0) for v in range(VOICES)]


K = settings()


def inputs(n):
    """`x`: patches.py's input, bursts of noise four a second. `voices`: a
    row a voice, each plucked every 2 s (or once in a shorter run) by a
    burst of noise as long as its period, the voices' plucks spread evenly
    over that interval."""
    rng = np.random.default_rng(2)
    voices = np.zeros((VOICES, n), np.float32)
    every = min(n, int(2 * SR))
    for v, f in enumerate(voice_frequencies()):
        burst = round(SR / f)
        for start in range(v * every // VOICES, n - burst, every):
            voices[v, start:start + burst] = rng.uniform(-1.0, 1.0, burst)
    return {"x": patches.inputs(n)["x"], "voices": voices}


# ---------------------------------------------------------------- networks


def comb_reverb_make():
    return SimpleNamespace(
        combs=[vorda.CombN(SR, K["cr_max_sec"]) for _ in range(K["cr_combs"])],
        allpasses=[vorda.AllpassN(SR, K["cr_ap_max_sec"]) for _ in range(K["cr_allpasses"])])


def comb_reverb_patch(net):
    p = vb.Patch()
    x = p.input("x")
    total = 0.0
    for c, comb in enumerate(net.combs):
        total = total + p.process(comb, x, K[f"cr_comb{c}"], K["cr_decay"])
    for a, allpass in enumerate(net.allpasses):
        total = p.process(allpass, total, K[f"cr_ap{a}"], K["cr_ap_decay"])
    p.output("y", total)
    return p


def comb_reverb_stages(net, x):
    """The reverb as block calls, summed in float64 as the patch's Python
    floats are."""
    total = np.zeros(len(x))
    for c, comb in enumerate(net.combs):
        total += vb.process(comb, x, K[f"cr_comb{c}"], K["cr_decay"])
    for a, allpass in enumerate(net.allpasses):
        total = vb.process(allpass, total, K[f"cr_ap{a}"], K["cr_ap_decay"])
    return total


def voices_make():
    return [patches.karplus_make() for _ in range(K["pv_voices"])]


def voices_patch(voices):
    """The strings in one patch, each plucked by an input of its own, their
    outputs summed from 0.0 into one output."""
    p = vb.Patch()
    total = 0.0
    for v, string in enumerate(voices):
        total = total + patches.record_string(p, string, p.input(f"x{v}"), K[f"pv_delay{v}"])
    p.output("y", total)
    return p


@dataclass
class Workload:
    name: str  # networks.cpp's case, numba_nets' network
    title: str
    source: str  # the input it runs on: "x", or "voices", a row an input
    make: Callable
    patch: Callable
    target: tuple  # (side, limit): the patch's time over that side's at most limit
    stages: Callable = None
    samples: dict = field(default_factory=lambda: {k: [] for k in SIDES})

    def given(self, data):
        """The patch's inputs by name."""
        if self.source == "voices":
            return {f"x{v}": row for v, row in enumerate(data["voices"])}
        return {"x": data["x"]}


SIDES = ("patch", "floor", "numba", "stages")

WORKLOADS = [
    Workload("comb_reverb", "comb reverb", "x", comb_reverb_make, comb_reverb_patch,
             ("numba", 0.5), stages=comb_reverb_stages),
    Workload("voices", f"{VOICES} plucked strings", "voices", voices_make, voices_patch,
             ("numba", 0.5)),
    Workload("fdn", "delay network", "x", patches.fdn_make, patches.fdn_patch, ("numba", 0.7)),
    Workload("karplus", "plucked string", "x", patches.karplus_make, patches.karplus_patch,
             ("floor", 2.0)),
]


def check_agreement(floor, data, tmp):
    """Every side, from fresh instances, gives the patch's bits. Returns the
    sides compared, by workload."""
    compared = {}
    for work in WORKLOADS:
        theirs = work.patch(work.make()).run(**work.given(data))
        source = data[work.source]
        sides = {"networks.cpp": floor.first_pass(work.name, tmp / "check.bin",
                                                  len(data["x"]), 1)[0]}
        if numba_nets:
            sides["Numba"] = numba_nets.NETWORKS[work.name](K).run(source)
        if work.stages:
            sides["the stages"] = work.stages(work.make(), source)
        for side, ours in sides.items():
            if not same_bits(ours, theirs):
                sys.exit(f"bench: {work.title}: the patch and {side} disagree")
        compared[work.name] = list(sides)
    return compared


def measure(floor, data, rounds, budget):
    """Rounds are the outer loop; in each, every workload's sides take turns
    pass by pass, the workloads in the reverse order every other round."""
    n = len(data["x"])
    timers = []
    for work in WORKLOADS:
        patch, given, source = work.patch(work.make()), work.given(data), data[work.source]
        run = lambda patch=patch, given=given: patch.run(**given)  # noqa: E731
        sides = {"patch": lambda run=run: once_ns(run, n),
                 # A fresh network and an untimed pass, then one timed pass.
                 "floor": lambda name=work.name: floor.time(name, 1)}
        if numba_nets:
            model = numba_nets.NETWORKS[work.name](K)
            model.run(source)  # compiled before it is timed
            sides["numba"] = lambda model=model, s=source: once_ns(lambda: model.run(s), n)
        if work.stages:
            net = work.make()
            sides["stages"] = lambda net=net, s=source, f=work.stages: once_ns(lambda: f(net, s), n)
        timers.append((work, timed_passes(run, budget, n), sides))
    for r in progress(range(rounds), "versus rounds"):
        for work, passes, sides in timers if r % 2 == 0 else timers[::-1]:
            for kind, ns in fastest_interleaved(passes, sides).items():
                work.samples[kind].append(ns)
    return [row(work) for work in WORKLOADS]


def row(work):
    s = work.samples
    result = {"workload": work.title, "case": work.name,
              "ns_per_sample": {k: statistics.median(v) for k, v in s.items() if v}}
    for side in SIDES[1:]:
        if s[side]:
            ratio, iqr = ratio_stats(s["patch"], s[side])
            result[f"x_{side}"], result[f"x_{side}_iqr"] = ratio, iqr
    side, limit = work.target
    result["target"] = {"side": side, "limit": limit}
    result["met"] = result[f"x_{side}"] <= limit if f"x_{side}" in result else None
    return result


# ---------------------------------------------------------------- report


def print_report(result):
    print(f"{result['seconds']:g} s at {SR / 1000:g} kHz (n = {result['n']}), median of "
          f"{result['rounds']} rounds of per-round ratios; ns per sample for scale")
    print()
    header = (f"{'workload':<20} {'floor':>6} {'patch':>6} {'numba':>6} {'stages':>6} "
              f"{'x numba':>7} {'iqr':>5} {'x floor':>7} {'iqr':>5} {'x stages':>8}  target")
    print(header)
    print("-" * len(header))

    def cell(value, width, digits=2):
        return f"{'-':>{width}}" if value is None else f"{value:>{width}.{digits}f}"

    for r in result["workloads"]:
        ns, target = r["ns_per_sample"], r["target"]
        print(f"{r['workload']:<20} {cell(ns.get('floor'), 6)} {cell(ns['patch'], 6)} "
              f"{cell(ns.get('numba'), 6)} {cell(ns.get('stages'), 6)} "
              f"{cell(r.get('x_numba'), 7)} {cell(r.get('x_numba_iqr'), 5)} "
              f"{cell(r.get('x_floor'), 7)} {cell(r.get('x_floor_iqr'), 5)} "
              f"{cell(r.get('x_stages'), 8)}  "
              f"x {target['side']} <={target['limit']:g} {mark(r['met']) or 'not measured'}")
    print()
    if result["numba"]["skipped"]:
        print(f"numba    skipped: {result['numba']['skipped']}")
        print()
    rows = result["workloads"]
    missed = [r["workload"] for r in rows if r["met"] is False]
    print(f"vorda_blocks.instruction_set {result['instruction_set']}; targets met: "
          f"{sum(r['met'] is True for r in rows)} of {len(rows)}"
          + (f"; missed: {', '.join(missed)}" if missed else ""))


# ---------------------------------------------------------------- main


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="timing rounds (default 15, 3 with --quick)")
    parser.add_argument("--seconds", type=float,
                        help="seconds of audio a run (default 60, 0.5 with --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="short runs and few rounds: a smoke run, not a measurement")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    args = parser.parse_args(argv)
    if args.rounds is not None and args.rounds < 2:
        parser.error("--rounds needs at least 2 for a median and a spread")
    rounds = args.rounds or (3 if args.quick else 15)
    seconds = args.seconds or (0.5 if args.quick else 60.0)
    n = round(seconds * SR)
    if n < 2 * round(SR / voice_frequencies()[0]):
        parser.error("--seconds too short for a pluck of every voice")
    env = environment()
    print_environment(env)
    result = {"environment": env, "instruction_set": vb.instruction_set, "rounds": rounds,
              "seconds": seconds, "n": n, "numba": {"version": NUMBA, "skipped": NUMBA_SKIPPED}}
    data = inputs(n)
    with tempfile.TemporaryDirectory(prefix="vorda-versus-") as tmp:
        floor = Floor(Path(tmp), data, K, source="networks.cpp")
        try:
            missing = {w.name for w in WORKLOADS} - set(floor.ask("list"))
            if missing:
                sys.exit(f"bench: networks.cpp has no {', '.join(sorted(missing))}")
            result["same_bits_as_the_patch"] = check_agreement(floor, data, Path(tmp))
            result["workloads"] = measure(floor, data, rounds, 0.002 if args.quick else 0.01)
        finally:
            floor.close()
    print_report(result)
    if args.json:
        write_json(args.json, result)


if __name__ == "__main__":
    main()
