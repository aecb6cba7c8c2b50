#!/usr/bin/env python3
"""What one call of each vorda callable costs, next to what it is compared with.

Every callable is timed side by side with the interpreter's cheapest built-in
call of the same shape (one float, two floats, a pair returned, no argument)
and, for the per-sample calls, with the same processor written in plain
Python (bench/pure.py). Ratios are what count: the machine is shared, so an
absolute time means little, but two calls timed in the same round see the
same machine. See bench/README.md for how to read the table.

    python bench/bench.py [--quick] [--rounds N] [--only PATTERNS] [--json PATH]
    python bench/bench.py --instr [--quick] [--only PATTERNS] [--json PATH]
"""
import argparse
import fnmatch
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pure  # noqa: E402
import vorda  # noqa: E402
from common import (environment, load_demo, print_environment, progress,  # noqa: E402
                    quartiles, write_json)

SR = 48000.0

# The yardsticks. Each is written like the calls it is compared with, a name
# bound in the timed function followed by an attribute, so that the lookup
# costs the same on both sides and only the call itself differs.
BASELINES = {
    "fabs": ("math.fabs(x)", "import math"),
    "copysign": ("math.copysign(x, d)", "import math"),
    "divmod": ("builtins.divmod(x, d)", "import builtins"),
    "random": ("random.random()", "import random"),
}
BASELINE_LABELS = {
    "fabs": "fabs(x)",
    "copysign": "copysign(x, d)",
    "divmod": "divmod(x, d)",
    "random": "random()",
}
# One set of argument values for every timed statement, baselines included.
# They keep every processor in its ordinary regime: finite, no denormals,
# delays well inside the buffers, decays that make the loops converge. The
# constructors get 50 ms buffers, small enough that the allocator serves
# them from its heap instead of mapping fresh pages on every call.
ARGS = (
    "x = 0.25; d = 0.5; f = 440.0; p = 0.3; c = 0.995; n = 480; k = 48000;"
    " ds = 0.01; ts = 1.0; sr = 48000.0; m = 2400; ms = 0.05; b0 = 0.2; b1 = 0.4;"
    " b2 = 0.2; a1 = -0.3; a2 = 0.1"
)
EMPTY = "pass"

PROCESS_SPEEDUP = 8.0  # at least this much faster than plain Python


@dataclass
class Case:
    name: str  # how the row is labelled and selected (--only)
    stmt: str  # the timed call, written as a user writes it
    baseline: str  # key of BASELINES
    obj: object = None  # bound to `obj` in the timed function
    # The plain-Python counterpart, bound to `obj` in its own timer: an
    # instance, or for a module-level function the module pure.py.
    ref: object = None
    limit: float = None  # at most this many times the baseline
    note: str = ""

    @property
    def is_process(self):
        return self.name.endswith(".process")


def build_cases():
    """Every callable of the module, in registration order."""
    cases = []

    def ctor(cls, args, baseline, note=""):
        cases.append(Case(f"{cls}()", f"vorda.{cls}({args})", baseline, note=note))

    def call(name, stmt, baseline, obj, ref=None, limit=None, note=""):
        cases.append(Case(name, stmt, baseline, obj, ref, limit, note))

    def props(cls, obj, *names):
        for prop in names:
            call(f"{cls}.{prop}", f"obj.{prop}", "random", obj)

    osc = vorda.SinOsc(SR)
    ctor("SinOsc", "sr", "fabs")
    call("SinOsc.process", "obj.process(f)", "fabs", osc, pure.SinOsc(SR), 1.4)
    call("SinOsc.reset", "obj.reset()", "random", osc)
    props("SinOsc", osc, "sample_rate", "phase")

    ctor("WhiteNoise", "k", "fabs", "an int seed")
    call("WhiteNoise.process", "obj.process()", "random",
         vorda.WhiteNoise(1), pure.WhiteNoise(1), 1.3)

    lfo = vorda.Lfo(SR)
    ctor("Lfo", "sr", "fabs")
    call("Lfo.process", "obj.process(f)", "divmod", lfo, pure.Lfo(SR), 1.4)
    call("Lfo.reset", "obj.reset()", "random", lfo)
    props("Lfo", lfo, "sample_rate")

    coefs = (0.2, 0.4, 0.2, -0.3, 0.1)
    biquad = vorda.Biquad(*coefs)
    ctor("Biquad", "b0, b1, b2, a1, a2", "copysign", "five floats")
    call("Biquad.process", "obj.process(x)", "fabs", biquad, pure.Biquad(*coefs), 1.4)
    call("Biquad.reset", "obj.reset()", "random", biquad)
    call("Biquad.set_coefs", "obj.set_coefs(b0, b1, b2, a1, a2)", "copysign", biquad,
         note="five floats")

    leak = vorda.LeakDc()
    ctor("LeakDc", "c", "fabs")
    call("LeakDc.process", "obj.process(x)", "fabs", leak, pure.LeakDc(), 1.4)
    call("LeakDc.reset", "obj.reset()", "random", leak)
    props("LeakDc", leak, "coef")
    call("LeakDc.coef (set)", "obj.coef = c", "fabs", leak, note="an assignment")

    # The delay effects: one-second buffers, read 10 ms (480 samples) back,
    # 60 dB decay in one second.
    for family, limit in (("Delay", 1.3), ("Comb", 1.75), ("Allpass", 1.75)):
        decay = "" if family == "Delay" else "decay"
        note = "three arguments" if decay else ""
        for kind in "SNL":
            cls = family + kind
            if kind == "S":
                ctor(cls, "m", "fabs", "an int")
                obj, ref = getattr(vorda, cls)(48000), getattr(pure, cls)(48000)
                args = "x, n, k" if decay else "x, n"
            else:
                ctor(cls, "sr, ms", "copysign")
                obj, ref = getattr(vorda, cls)(SR, 1.0), getattr(pure, cls)(SR, 1.0)
                args = "x, ds, ts" if decay else "x, ds"
            call(f"{cls}.process", f"obj.process({args})", "copysign", obj, ref, limit, note)

    call("pan2", "vorda.pan2(x, p)", "divmod", None, pure, 1.4)

    for kind in "SNL":
        cls = "RingBufferS" if kind == "S" else f"RingBuffer{kind}"
        if kind == "S":
            ctor(cls, "m", "fabs", "an int")
            obj, ref, delay = vorda.RingBufferS(48000), pure.RingBufferS(48000), "n"
        else:
            ctor(cls, "sr, ms", "copysign")
            obj, ref = getattr(vorda, cls)(SR, 1.0), getattr(pure, cls)(SR, 1.0)
            delay = "ds"
        call(f"{cls}.read", f"obj.read({delay})", "fabs", obj, ref, 1.3)
        call(f"{cls}.write", "obj.write(x)", "fabs", obj, ref, 1.3)
        if kind == "S":
            props(cls, obj, "max_delay_samp")
        else:
            props(cls, obj, "sample_rate", "max_delay_sec")
    return cases


def patterns(only):
    return [p.strip() for p in (only or "").split(",") if p.strip()]


def wants_demo(only):
    return not only or any(fnmatch.fnmatchcase("demo", p) for p in patterns(only))


def select(cases, only):
    if not only:
        return cases
    chosen = [c for c in cases if any(fnmatch.fnmatchcase(c.name, p) for p in patterns(only))]
    if not chosen and not wants_demo(only):
        sys.exit(f"bench: nothing matches {only!r}")
    return chosen


def make_timer(stmt, setup, obj):
    # Everything the statement names is assigned in the setup, so it is a
    # local of the timed function on both sides of a comparison.
    return timeit.Timer(stmt, f"{setup}; {ARGS}; obj = _obj",
                        globals={"_obj": obj})


def timers_for(case):
    """The timers of one row: the call, its baseline, the bare loop, plain Python."""
    base_stmt, base_setup = BASELINES[case.baseline]
    timers = {
        "call": make_timer(case.stmt, "import vorda", case.obj),
        "baseline": make_timer(base_stmt, base_setup, None),
        "loop": make_timer(EMPTY, "pass", None),
    }
    if case.ref is not None:
        # A module-level function is compared with the function of the same
        # name in pure.py, looked up the same way.
        stmt = case.stmt.replace("vorda.", "obj.") if case.obj is None else case.stmt
        timers["pure"] = make_timer(stmt, "pass", case.ref)
    return timers


# ---------------------------------------------------------------- timing


def calibrate(timer, budget):
    """Loop count for which `timer` runs about `budget` seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= budget / 10 or number >= 10**7:
            return max(1, int(number * budget / max(elapsed, 1e-9)))
        number *= 10


def measure(cases, rounds, budget):
    """Per-row samples of per-call time, for each timer, one sample a round.

    Rounds are the outer loop and every row is visited once per round, its
    timers back to back (in alternating order from one round to the next), so
    a call and its yardsticks always share the machine's momentary state.
    """
    rows = []
    for case in cases:
        timers = timers_for(case)
        number = calibrate(timers["call"], budget)
        rows.append((case, timers, number, {kind: [] for kind in timers}))
    for r in progress(range(rounds), "rounds"):
        order = rows if r % 2 == 0 else rows[::-1]
        for case, timers, number, samples in order:
            kinds = list(timers) if r % 2 == 0 else list(timers)[::-1]
            for kind in kinds:
                samples[kind].append(timers[kind].timeit(number) / number)
    return [(case, samples) for case, _, _, samples in rows]


def summarise(case, samples):
    """Medians over the rounds of the per-round ratios of per-call times.

    The ratio that counts is the one timeit shows: the time per call of the
    statement as users write it, loop included, on both sides. The net ratio
    (the bare loop subtracted from both) is shown beside it; it magnifies the
    difference between two calls, and with it any noise. The bare loop is the
    shortest and so the jumpiest of the timings, so its median over all
    rounds is subtracted rather than each round's own value.
    """
    loop = statistics.median(samples["loop"])
    q1, ratio, q3 = quartiles([a / b for a, b in zip(samples["call"], samples["baseline"])])
    row = {
        "callable": case.name,
        "stmt": case.stmt,
        "baseline": BASELINE_LABELS[case.baseline],
        "ratio": ratio,
        "ratio_iqr": q3 - q1,
        "ratio_net": statistics.median(
            (a - loop) / (b - loop) for a, b in zip(samples["call"], samples["baseline"])),
        "limit": case.limit,
        "note": case.note,
        "ns": {kind: statistics.median(values) * 1e9 for kind, values in samples.items()},
        "pure_ratio": None,
        "pure_limit": PROCESS_SPEEDUP if case.is_process else None,
    }
    if "pure" in samples:
        row["pure_ratio"] = statistics.median(
            s / c for s, c in zip(samples["pure"], samples["call"]))
    misses = []
    if case.limit is not None and ratio > case.limit:
        misses.append("baseline")
    if row["pure_limit"] is not None and row["pure_ratio"] < row["pure_limit"]:
        misses.append("pure")
    row["met"] = None if case.limit is None and row["pure_limit"] is None else not misses
    row["missed"] = misses
    return row


# ---------------------------------------------------------------- demo


def measure_demo(seconds, repeats):
    """Seconds of audio per second of rendering, the median of `repeats` runs."""
    render, why = load_demo()
    if render is None:
        return {"skipped": why}
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        render(seconds)
        times.append(time.perf_counter() - start)
    elapsed = statistics.median(times)
    return {"seconds": seconds, "elapsed": elapsed, "realtime_factor": seconds / elapsed}


# ---------------------------------------------------------------- report


def status(row):
    if row["met"] is None:
        return ""
    if row["met"]:
        return "ok"
    return "MISS " + "+".join(row["missed"])


def print_table(rows):
    header = (f"{'callable':<26} {'baseline':<14} {'x base':>6} {'iqr':>5} {'net':>5} "
              f"{'limit':>6} {'pure/v':>6} {'limit':>5}  target")
    print(header)
    print("-" * len(header))
    for row in rows:
        limit = f"<={row['limit']:.2f}" if row["limit"] else ""
        pure_ratio = f"{row['pure_ratio']:.1f}" if row["pure_ratio"] is not None else ""
        pure_limit = f">={row['pure_limit']:.0f}" if row["pure_limit"] else ""
        note = f"  ({row['note']})" if row["note"] else ""
        print(f"{row['callable']:<26} {row['baseline']:<14} {row['ratio']:>6.2f} "
              f"{row['ratio_iqr']:>5.2f} {row['ratio_net']:>5.2f} {limit:>6} "
              f"{pure_ratio:>6} {pure_limit:>5}  {status(row)}{note}")
    checked = [r for r in rows if r["met"] is not None]
    missed = [r["callable"] for r in checked if not r["met"]]
    print()
    print(f"targets met: {len(checked) - len(missed)} of {len(checked)}"
          + (f"; missed: {', '.join(missed)}" if missed else ""))


def print_demo(demo):
    if "skipped" in demo:
        print(f"demo     skipped: {demo['skipped']}")
    else:
        print(f"demo     {demo['realtime_factor']:.2f}x real time "
              f"({demo['seconds']:g} s of audio rendered in {demo['elapsed']:.2f} s)")


# ---------------------------------------------------------------- instructions


def instr_driver(args):
    """Runs under callgrind: each timer N1 times, then N2 times, between markers.

    The marker is a C function nothing else here calls; callgrind dumps its
    counters each time the marker is entered, so every loop gets a dump of its
    own. Each timer first runs a short warm-up so that the interpreter has
    specialised its bytecode before anything is counted.
    """
    marker = os.getppid
    segments = []
    for case in select(build_cases(), args.only):
        for kind, timer in timers_for(case).items():
            timer.timeit(200)
            marker()
            timer.timeit(args.n1)
            marker()
            timer.timeit(args.n2)
            marker()
            segments.append([case.name, kind])
    Path(args.segments).write_text(json.dumps(segments))


def read_dumps(prefix):
    """Instruction totals of callgrind's numbered dumps, in dump order."""
    totals = {}
    for path in Path(prefix).parent.glob(Path(prefix).name + ".*"):
        number = int(path.suffix[1:])
        for line in path.read_text().splitlines():
            if line.startswith("summary:"):
                totals[number] = int(line.split()[1])
                break
    return [totals[k] for k in sorted(totals)]


def count_instructions(args):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("bench: valgrind not found (apt-get install valgrind)")
    if not select(build_cases(), args.only):
        sys.exit("bench: no callable selected to count")
    n1, n2 = (200, 1200) if args.quick else (1000, 6000)
    with tempfile.TemporaryDirectory(prefix="vorda-instr-") as tmp:
        prefix = Path(tmp) / "cg.out"
        segments = Path(tmp) / "segments.json"
        cmd = [valgrind, "--tool=callgrind", "--dump-before=getppid",
               f"--callgrind-out-file={prefix}", sys.executable, __file__,
               "--instr-driver", "--n1", str(n1), "--n2", str(n2),
               "--segments", str(segments)]
        if args.only:
            cmd += ["--only", args.only]
        # A fixed hash seed keeps the interpreter's work the same run to run.
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stderr[-4000:])
            sys.exit(f"bench: valgrind exited with {done.returncode}")
        labels = json.loads(segments.read_text())
        dumps = read_dumps(prefix)
    if len(dumps) != 3 * len(labels):
        sys.exit(f"bench: expected {3 * len(labels)} callgrind dumps, got {len(dumps)}")
    per_call = {}
    for i, (name, kind) in enumerate(labels):
        # dumps[3i] holds the warm-up; [3i+1] the N1 loop, [3i+2] the N2 loop.
        per_call.setdefault(name, {})[kind] = (dumps[3 * i + 2] - dumps[3 * i + 1]) / (n2 - n1)
    rows = []
    for name, counts in per_call.items():
        loop = counts["loop"]
        call, base = counts["call"] - loop, counts["baseline"] - loop
        case = next(c for c in build_cases() if c.name == name)
        rows.append({
            "callable": name,
            "baseline": BASELINE_LABELS[case.baseline],
            "instructions": call,
            "baseline_instructions": base,
            "ratio": call / base,
            "pure_instructions": counts["pure"] - loop if "pure" in counts else None,
            "loop_instructions": loop,
        })
    return rows, (n1, n2)


def print_instr_table(rows, counts):
    n1, n2 = counts
    loop = statistics.median(r["loop_instructions"] for r in rows)
    print(f"instructions per call (callgrind, {n2} minus {n1} iterations, "
          f"less the bare loop's {loop:.1f} per iteration)")
    print()
    header = (f"{'callable':<26} {'vorda':>8} {'baseline':<14} {'instr':>6} "
              f"{'ratio':>6} {'pure':>8} {'pure/v':>6}")
    print(header)
    print("-" * len(header))
    for row in rows:
        pure_n = row["pure_instructions"]
        pure_cols = f"{pure_n:>8.0f} {pure_n / row['instructions']:>6.1f}" if pure_n else ""
        print(f"{row['callable']:<26} {row['instructions']:>8.1f} {row['baseline']:<14} "
              f"{row['baseline_instructions']:>6.1f} {row['ratio']:>6.2f} {pure_cols}")


# ---------------------------------------------------------------- main


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="timing rounds (default 60, 5 with --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="short rounds and few of them: a smoke run, not a measurement")
    parser.add_argument("--only", help="comma-separated callable names or patterns, "
                        "e.g. 'SinOsc.*,pan2'; the demo runs only when 'demo' matches")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    parser.add_argument("--instr", action="store_true",
                        help="count instructions with callgrind instead of timing")
    parser.add_argument("--instr-driver", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--n1", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--n2", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--segments", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.rounds is not None and args.rounds < 2:
        parser.error("--rounds needs at least 2 for a median and a spread")

    if args.instr_driver:
        instr_driver(args)
        return

    env = environment()
    print_environment(env)
    result = {"environment": env}
    if args.instr:
        rows, counts = count_instructions(args)
        print_instr_table(rows, counts)
        result.update(mode="instructions", iterations=list(counts), rows=rows)
    else:
        rounds = args.rounds or (5 if args.quick else 60)
        # Short timings, many rounds: the two sides of a ratio are timed
        # within a few milliseconds of each other, and a burst of load from
        # elsewhere spoils few rounds, which the median then ignores.
        budget = 0.0003 if args.quick else 0.001
        cases = select(build_cases(), args.only)
        rows = [summarise(case, samples) for case, samples in measure(cases, rounds, budget)]
        result.update(mode="time", rounds=rounds, rows=rows)
        if rows:
            print(f"median of {rounds} rounds; ratios of per-call times "
                  "(net: the bare loop's cost taken off both sides)")
            print()
            print_table(rows)
            print()
        if wants_demo(args.only):
            demo = measure_demo(0.25 if args.quick else 4.0, 1 if args.quick else 3)
            print_demo(demo)
            result["demo"] = demo
    if args.json:
        write_json(args.json, result)


if __name__ == "__main__":
    main()
