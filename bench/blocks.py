#!/usr/bin/env python3
"""What a vorda_blocks call costs, next to what it is compared with.

Every block call is timed side by side with the same processor driven by a
plain C++ loop (bench/floor.cpp, compiled here) and with the per-sample
Python loop users write today; then constant against per-sample parameters,
the Biquad and LeakDc blocks against scipy's filters, two threads against
one, and the demo with and without blocks. Ratios are what count; see
bench/README.md ("Blocks") for how to read the tables.

    python bench/blocks.py [--quick] [--rounds N] [--only PATTERNS] [--json PATH]
"""
import argparse
import fnmatch
import inspect
import statistics
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import vorda
import vorda_blocks as vb
from scipy import signal

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import (Floor, best_ns, environment, interleaved, load_demo, mark,  # noqa: E402
                    once_ns, print_environment, print_threads, progress, ratio_stats, same_bits,
                    thread_row, write_json)

SR = 48000.0
N = 48000  # samples per block in the floor table
FLOOR_LIMIT = 1.15  # a block at most this many times the plain C++ loop
CONST_TARGET = 3.0  # constant delay and decay at least this much faster than arrays
# As CMakeLists.txt compiles the modules: the loops must be the same code.


def inputs(n):
    """The per-sample values, named as floor.cpp names them: noise for the
    signal, slow sweeps around the constants of the `const` cases for the
    parameters (so every processor stays in its ordinary regime)."""
    rng = np.random.default_rng(1)
    sweep = np.sin(2 * np.pi * 0.5 * np.arange(n) / SR)

    def f32(values):
        return np.asarray(values, dtype=np.float32)

    return {
        "x": f32(rng.uniform(-0.5, 0.5, n)),
        "f": f32(440.0 + 6.0 * sweep),
        "ds": f32(0.01 + 0.002 * sweep), "ts": f32(1.0 + 0.2 * sweep),
        # Counts as floor.cpp takes them, uint64; and int64, as numpy makes
        # integers, which the block checks for negative values first.
        "dn": np.rint(480 + 96 * sweep).astype(np.uint64),
        "tn": np.rint(48000 + 9600 * sweep).astype(np.uint64),
        "dn64": np.rint(480 + 96 * sweep).astype(np.int64),
        "tn64": np.rint(48000 + 9600 * sweep).astype(np.int64),
        "pos": f32(sweep), "coef": f32(0.995 + 0.004 * sweep),
        "b0": f32(0.2 + 0.05 * sweep), "b1": f32(0.4 + 0.1 * sweep), "b2": f32(0.2 + 0.05 * sweep),
        "a1": f32(-0.3 + 0.1 * sweep), "a2": f32(np.full(n, 0.1)),
    }


COEFS = ("b0", "b1", "b2", "a1", "a2")
# The constant parameters and the constructors' arguments; floor.cpp reads
# them at run time (constants.txt), so neither side knows them at compile time.
K = {
    "rate": SR, "seconds": 1.0, "samples": 48000, "seed": 1,
    "f": 440.0, "lfo_f": 5.0, "ds": 0.01, "ts": 1.0, "dn": 480, "tn": 48000, "pos": 0.3,
    "coef": 0.995, "b0": 0.2, "b1": 0.4, "b2": 0.2, "a1": -0.3, "a2": 0.1,
}


@dataclass
class Case:
    label: str
    make: object  # a fresh processor; None for pan2
    entry: str  # the vorda_blocks function
    args: tuple  # positional: an input's name, or a constant
    mod: tuple = ()  # per-sample keywords (Biquad's coefficients, LeakDc's coef)
    outputs: int = 1
    floor: str = None  # floor.cpp's name for the same loop, if not `label`
    samples: dict = field(default_factory=lambda: {"block": [], "floor": [], "python": []})

    def __post_init__(self):
        self.floor = self.floor or self.label

    def fresh(self):
        return self.make() if self.make else None


def build_cases():
    """Every block call: each processor with constant parameters and, where it
    has any, with per-sample arrays."""
    cases = []

    def add(label, make, args, entry="process", mod=(), outputs=1, floor=None):
        cases.append(Case(label, make, entry, args, mod, outputs, floor))

    def both(cls, make, const, arrays, **kw):
        add(f"{cls} const", make, const, **kw)
        add(f"{cls} arrays", make, arrays, **kw)

    rate, seconds, samples = K["rate"], K["seconds"], K["samples"]
    coefs = [K[c] for c in COEFS]
    both("SinOsc.process", lambda: vorda.SinOsc(rate), (K["f"],), ("f",))
    add("WhiteNoise.process", lambda: vorda.WhiteNoise(K["seed"]), ())
    both("Lfo.process", lambda: vorda.Lfo(rate), (K["lfo_f"],), ("f",), outputs=2)
    add("Biquad.process const", lambda: vorda.Biquad(*coefs), ("x",))
    add("Biquad.process arrays", lambda: vorda.Biquad(*coefs), ("x",), mod=COEFS)
    add("LeakDc.process const", lambda: vorda.LeakDc(K["coef"]), ("x",))
    add("LeakDc.process arrays", lambda: vorda.LeakDc(K["coef"]), ("x",), mod=("coef",))
    for family in ("Delay", "Comb", "Allpass"):
        for kind in "SNL":
            cls = getattr(vorda, family + kind)
            if kind == "S":
                make, names = (lambda cls=cls: cls(samples)), ("dn", "tn")
            else:
                make, names = (lambda cls=cls: cls(rate, seconds)), ("ds", "ts")
            names = names[:1] if family == "Delay" else names
            both(f"{family}{kind}.process", make, ("x", *(K[a] for a in names)), ("x", *names))
            if kind == "S":
                add(f"{family}S.process arrays int64", make, ("x", *(a + "64" for a in names)),
                    floor=f"{family}S.process arrays")
    both("pan2", None, ("x", K["pos"]), ("x", "pos"), entry="pan2", outputs=2)
    for kind in "SNL":
        cls = getattr(vorda, f"RingBuffer{kind}")
        make = (lambda cls=cls: cls(samples)) if kind == "S" else (lambda cls=cls: cls(rate, seconds))
        delay = "dn" if kind == "S" else "ds"
        both(f"RingBuffer{kind}.read", make, (K[delay],), (delay,), entry="read")
        if kind == "S":
            add("RingBufferS.read arrays int64", make, ("dn64",), entry="read",
                floor="RingBufferS.read arrays")
        add(f"RingBuffer{kind}.write", make, ("x",), entry="write", outputs=0)
    return cases


def block_call(case, obj, data):
    """The block call as users write it: arrays in, a new array out."""
    entry = getattr(vb, case.entry)
    args = [data[a] if isinstance(a, str) else a for a in case.args]
    kwargs = {name: data[name] for name in case.mod}
    if not any(isinstance(a, str) for a in case.args):
        kwargs["n"] = len(data["x"])
    head = () if obj is None else (obj,)
    return lambda: entry(*head, *args, **kwargs)


def per_sample_loop(case, obj, lists):
    """The loop users write today: one call per sample, over lists of floats
    (`[p.process(x, d) for x, d in zip(xs, ds)]`), constants as locals."""
    params = [f"v{i}" for i in range(len(case.args))]
    streams = [v for v, a in zip(params, case.args) if isinstance(a, str)] + list(case.mod)
    values = {v: (lists[a] if isinstance(a, str) else a) for v, a in zip(params, case.args)}
    values.update({name: lists[name] for name in case.mod})
    method = "pan2" if obj is None else case.entry
    call = f"p.{method}({', '.join(params)})"
    if len(streams) > 1:
        head = f"for {', '.join(streams)} in zip({', '.join('_' + s for s in streams)})"
    elif streams:
        head = f"for {streams[0]} in _{streams[0]}"
    else:
        head = "for _ in range(n)"
    setter = {COEFS: "p.set_coefs(b0, b1, b2, a1, a2)", ("coef",): "p.coef = coef"}.get(case.mod)
    consts = [v for v in params if v not in streams]
    signature = ", ".join(["p", "n"] + [f"_{s}" for s in streams] + consts)
    if case.outputs == 0:
        body = f"    {head}:\n        {call}\n"
    elif setter:
        body = f"    out = []\n    {head}:\n        {setter}\n        out.append({call})\n    return out\n"
    else:
        body = f"    return [{call} {head}]\n"
    namespace = {}
    exec(f"def loop({signature}):\n{body}", namespace)
    loop = namespace["loop"]
    args = [obj if obj is not None else vorda, len(lists["x"])]
    args += [values[s] for s in streams] + [values[v] for v in consts]
    return lambda: loop(*args)


def check_agreement(cases, floor, data, lists, tmp):
    """The three sides compute the same samples, from fresh processors: a
    ratio between loops that did different work would mean nothing."""
    for case in cases:
        if case.outputs == 0:
            continue
        block = block_call(case, case.fresh(), data)()
        block = list(block) if case.outputs == 2 else [block]
        python = per_sample_loop(case, case.fresh(), lists)()
        python = [list(column) for column in zip(*python)] if case.outputs == 2 else [python]
        ours = floor.first_pass(case.floor, tmp / "check.bin", len(data["x"]), case.outputs)
        for k in range(case.outputs):
            if not (same_bits(block[k], ours[k]) and same_bits(python[k], ours[k])):
                sys.exit(f"bench: {case.label}: block, Python loop and floor.cpp disagree")


def measure_table(cases, floor, data, lists, rounds, budget):
    """Rounds are the outer loop; in each, every case's block call, its floor
    and its Python loop run back to back, in alternating order."""
    n = len(data["x"])
    timers = []
    for case in cases:
        block = block_call(case, case.fresh(), data)
        python = per_sample_loop(case, case.fresh(), lists)
        passes = max(2, min(50, round(budget / (best_ns(block, 2, n) * n * 1e-9))))
        timers.append((case, [
            ("block", lambda block=block, p=passes: best_ns(block, p, n)),
            ("floor", lambda label=case.floor, p=passes: floor.time(label, p)),
            ("python", lambda python=python: once_ns(python, n)),
        ]))
    for r in progress(range(rounds), "block rounds"):
        for case, steps in timers if r % 2 == 0 else timers[::-1]:
            for kind, timer in steps if r % 2 == 0 else steps[::-1]:
                case.samples[kind].append(timer())
    return [table_row(case) for case in cases]


def table_row(case):
    s = case.samples
    ratio, iqr = ratio_stats(s["block"], s["floor"])
    speedup, _ = ratio_stats(s["python"], s["block"])
    return {
        "call": case.label,
        "ns_per_sample": {kind: statistics.median(v) for kind, v in s.items()},
        "floor_ratio": ratio, "floor_iqr": iqr, "floor_limit": FLOOR_LIMIT,
        "python_speedup": speedup, "met": ratio <= FLOOR_LIMIT,
    }


def constant_rows(cases):
    """Constant delay and decay against per-sample arrays of them, from the
    block timings of the same rounds."""
    by_label = {c.label: c for c in cases}
    rows = []
    for family in ("Comb", "Allpass"):
        for kind in "SNL":
            const = by_label.get(f"{family}{kind}.process const")
            arrays = by_label.get(f"{family}{kind}.process arrays")
            if const and arrays:
                ratio, iqr = ratio_stats(arrays.samples["block"], const.samples["block"])
                target = CONST_TARGET if kind == "L" else None
                rows.append({"call": f"{family}{kind}.process", "ratio": ratio, "iqr": iqr,
                             "target": target, "met": None if target is None else ratio >= target})
    return rows


def measure_peer(rounds, n):
    """The Biquad and LeakDc blocks against scipy's filters on the same float32
    signal; scipy computes in the dtype its inputs promote to, so both
    coefficient dtypes are shown."""
    x = inputs(n)["x"]
    b, a, coef = [K["b0"], K["b1"], K["b2"]], [1.0, K["a1"], K["a2"]], K["coef"]
    biquad, leak = vorda.Biquad(*b, *a[1:]), vorda.LeakDc(coef)
    timers = {"Biquad": lambda: vb.process(biquad, x), "LeakDc": lambda: vb.process(leak, x)}
    peers = {}
    for dtype in (np.float32, np.float64):
        sos = np.array([b + a], dtype=dtype)
        lb, la = np.array([1.0, -1.0], dtype=dtype), np.array([1.0, -coef], dtype=dtype)
        timers[f"sosfilt {dtype.__name__}"] = lambda sos=sos: signal.sosfilt(sos, x)
        timers[f"lfilter {dtype.__name__}"] = lambda lb=lb, la=la: signal.lfilter(lb, la, x)
        peers[f"sosfilt {dtype.__name__}"] = ("Biquad", signal.sosfilt(sos, x).dtype)
        peers[f"lfilter {dtype.__name__}"] = ("LeakDc", signal.lfilter(lb, la, x).dtype)
    samples = interleaved(timers, rounds, "scipy rounds")
    rows = []
    for peer, (ours, computes_in) in peers.items():
        ratio, iqr = ratio_stats(samples[peer], samples[ours])
        call = "sosfilt(sos" if peer.startswith("sos") else "lfilter(b, a"
        rows.append({"block": ours, "peer": f"{call}, x)", "coefficients": peer.split()[1],
                     "computes_in": str(computes_in), "ratio": ratio, "iqr": iqr,
                     "met": ratio >= 1.0})
    return rows


def measure_threads(rounds, budget):
    """Long blocks (n = 192000) on an instance per thread, two threads against one."""
    data = inputs(4 * N)
    work = {
        "CombL.process arrays": (lambda: vorda.CombL(K["rate"], K["seconds"]),
                                 lambda p: vb.process(p, data["x"], data["ds"], data["ts"])),
        "Biquad.process const": (lambda: vorda.Biquad(*(K[c] for c in COEFS)),
                                 lambda p: vb.process(p, data["x"])),
    }
    return [thread_row(label, 4 * N, make, run, rounds, budget)
            for label, (make, run) in work.items()]


def measure_demo(seconds, rounds):
    """Real-time factors of the demo patch, block and per-sample renders
    interleaved. A render without a per-sample option is the per-sample one."""
    render, why = load_demo()
    if render is None:
        return {"skipped": why}
    if "per_sample" in inspect.signature(render).parameters:
        timers = {"block": lambda: render(seconds, per_sample=False),
                  "per-sample": lambda: render(seconds, per_sample=True)}
    else:
        timers = {"per-sample": lambda: render(seconds)}
    samples = interleaved(timers, rounds, "demo rounds")
    result = {"seconds": seconds,
              "realtime_factor": {k: seconds / statistics.median(v) for k, v in samples.items()}}
    if "block" not in timers:
        result["note"] = "render() has no per_sample option yet: only its per-sample render"
    return result


# ---------------------------------------------------------------- report


def print_report(result):
    rows = result.get("floor", [])
    if rows:
        print(f"n = {result['n']}, median of {result['rounds']} rounds of per-round ratios; "
              "ns per sample for scale")
        print()
        header = (f"{'block call':<30} {'floor':>6} {'block':>6} {'x floor':>7} {'iqr':>5} "
                  f"{'limit':>6} {'python':>7} {'speed-up':>8}  target")
        print(header)
        print("-" * len(header))
        for row in rows:
            ns = row["ns_per_sample"]
            print(f"{row['call']:<30} {ns['floor']:>6.2f} {ns['block']:>6.2f} "
                  f"{row['floor_ratio']:>7.2f} {row['floor_iqr']:>5.2f} "
                  f"{'<=' + format(row['floor_limit'], '.2f'):>6} {ns['python']:>7.1f} "
                  f"{row['python_speedup']:>8.1f}  {mark(row['met'])}")
        missed = [r["call"] for r in rows if not r["met"]]
        print()
        print(f"within {FLOOR_LIMIT}x of the floor: {len(rows) - len(missed)} of {len(rows)}"
              + (f"; missed: {', '.join(missed)}" if missed else ""))
        print()
    if result.get("constant"):
        print("constant delay and decay: block time with arrays over block time with constants")
        for row in result["constant"]:
            target = f">={row['target']:.0f}" if row["target"] else ""
            print(f"  {row['call']:<18} {row['ratio']:>6.2f}  iqr {row['iqr']:.2f} "
                  f"{target:>4}  {mark(row['met'])}".rstrip())
        print()
    if result.get("peer"):
        print(f"against scipy, {result['peer_n']} float32 samples: scipy's time over the block's")
        for row in result["peer"]:
            print(f"  {row['block']:<7} vs {row['peer']:<19} {row['coefficients']} coefficients, "
                  f"computes in {row['computes_in']:<8} {row['ratio']:>6.2f}  "
                  f"iqr {row['iqr']:.2f}  >=1  {mark(row['met'])}")
        print()
    if result.get("threads"):
        print_threads(result["threads"], "blocks")
    if "demo" in result:
        demo = result["demo"]
        if "skipped" in demo:
            print(f"demo     skipped: {demo['skipped']}")
        else:
            factors = ", ".join(f"{k} {v:.2f}x" for k, v in demo["realtime_factor"].items())
            print(f"demo     real time ({demo['seconds']:g} s of audio): {factors}"
                  + (f"  ({demo['note']})" if "note" in demo else ""))


# ---------------------------------------------------------------- main

SECTIONS = ("peer", "threads", "demo")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="timing rounds (default 15, 3 with --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="short rounds and few of them: a smoke run, not a measurement")
    parser.add_argument("--only", help="comma-separated block calls or patterns, e.g. "
                        "'Comb*,pan2*'; the sections after the table run only when named: "
                        + ", ".join(SECTIONS))
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    args = parser.parse_args(argv)
    if args.rounds is not None and args.rounds < 2:
        parser.error("--rounds needs at least 2 for a median and a spread")
    rounds = args.rounds or (3 if args.quick else 15)
    patterns = [p.strip() for p in (args.only or "").split(",") if p.strip()]

    def wanted(name):
        return not patterns or any(fnmatch.fnmatchcase(name, p) for p in patterns)

    cases = [c for c in build_cases() if wanted(c.label)]
    if not cases and not any(wanted(name) for name in SECTIONS):
        sys.exit(f"bench: nothing matches {args.only!r}")
    env = environment()
    print_environment(env)
    result = {"environment": env, "rounds": rounds, "n": N}
    if cases:
        data = inputs(N)
        lists = {name: values.tolist() for name, values in data.items()}
        with tempfile.TemporaryDirectory(prefix="vorda-floor-") as tmp:
            floor = Floor(Path(tmp), data, K)
            try:
                listed = floor.ask("list")
                ours = {c.floor for c in build_cases()}
                if ours != set(listed):
                    sys.exit("bench: floor.cpp and blocks.py list different cases: "
                             f"{sorted(ours.symmetric_difference(listed))}")
                check_agreement(cases, floor, data, lists, Path(tmp))
                budget = 0.001 if args.quick else 0.005  # seconds per timing
                result["floor"] = measure_table(cases, floor, data, lists, rounds, budget)
            finally:
                floor.close()
        result["constant"] = constant_rows(cases)
    if wanted("peer"):
        result["peer_n"] = 10**5 if args.quick else 10**6
        result["peer"] = measure_peer(rounds, result["peer_n"])
    if wanted("threads"):
        result["threads"] = measure_threads(rounds, 0.01 if args.quick else 0.05)
    if wanted("demo"):
        result["demo"] = measure_demo(0.25 if args.quick else 4.0, 1 if args.quick else 3)
    print_report(result)
    if args.json:
        write_json(args.json, result)


if __name__ == "__main__":
    main()
