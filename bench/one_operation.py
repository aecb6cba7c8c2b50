#!/usr/bin/env python3
"""Every block call of the block table, run as a patch of that one operation.

A patch runs each operation through the same kernels as a block call, so a
patch of one operation should cost what the block call costs: each row of
blocks.py's table (every class's process, read or write, with constant and
with per-sample arguments) is recorded as a one-operation patch and timed
side by side with the block call, on the same input and parameters, after
both have given the same bits and left their instances in the same state.
See bench/README.md ("One operation as a patch").

    python bench/one_operation.py [--quick] [--rounds N] [--only PATTERNS] [--json PATH]
"""
import argparse
import fnmatch
import statistics
import sys
from pathlib import Path

import numpy as np
import vorda_blocks as vb

sys.path.insert(0, str(Path(__file__).resolve().parent))
from blocks import N, block_call, build_cases, inputs  # noqa: E402
from common import (best_ns, environment, mark, print_environment, progress,  # noqa: E402
                    ratio_stats, same_bits, write_json)

LIMIT = 1.05  # a one-operation patch at most this many times its block call


def one_operation(case, obj, data):
    """The case's call recorded as a patch: each array argument an input of
    the same name (a count input where the array holds counts), each
    constant a number, each result an output. Returns the run as users call
    it, with the same arrays the block call is given."""
    p = vb.Patch()
    given = {}

    def argument(a):
        if not isinstance(a, str):
            return a
        given[a] = data[a]
        return p.input(a, count=np.issubdtype(data[a].dtype, np.integer))

    args = [argument(a) for a in case.args]
    kwargs = {name: argument(name) for name in case.mod}
    if case.entry == "pan2":
        results = p.pan2(*args, **kwargs)
    else:
        results = getattr(p, case.entry)(obj, *args, **kwargs)
    results = () if results is None else results if isinstance(results, tuple) else (results,)
    for k, value in enumerate(results):
        p.output(f"y{k}", value)
    if not given:
        given["n"] = len(data["x"])
    return lambda: p.run(**given)


def outputs(result):
    return [] if result is None else list(result) if isinstance(result, tuple) else [result]


def check_agreement(cases, data):
    """From fresh instances, the patch gives the block call's bits and
    leaves its instance in the same state (its snapshot, byte for byte).
    Returns the rows checked."""
    for case in cases:
        block_obj, patch_obj = case.fresh(), case.fresh()
        ours = outputs(block_call(case, block_obj, data)())
        theirs = outputs(one_operation(case, patch_obj, data)())
        if len(ours) != len(theirs) or not all(map(same_bits, ours, theirs)):
            sys.exit(f"bench: {case.label}: the patch and the block call give different samples")
        if block_obj is not None and vb.snapshot(block_obj) != vb.snapshot(patch_obj):
            sys.exit(f"bench: {case.label}: the patch and the block call leave different states")
    return [case.label for case in cases]


def measure(cases, data, rounds, budget):
    """As blocks.py times its table: rounds are the outer loop; in each,
    every row's block call and patch run back to back, each its fastest of
    as many passes as take about `budget` seconds, in the reverse order
    every other round."""
    n = len(data["x"])
    timers = []
    for case in cases:
        block = block_call(case, case.fresh(), data)
        patch = one_operation(case, case.fresh(), data)
        passes = max(2, min(50, round(budget / (best_ns(block, 2, n) * n * 1e-9))))
        case.samples = {"block": [], "patch": []}
        timers.append((case, [("block", lambda block=block, p=passes: best_ns(block, p, n)),
                              ("patch", lambda patch=patch, p=passes: best_ns(patch, p, n))]))
    for r in progress(range(rounds), "one-operation rounds"):
        for case, steps in timers if r % 2 == 0 else timers[::-1]:
            for kind, timer in steps if r % 2 == 0 else steps[::-1]:
                case.samples[kind].append(timer())
    rows = []
    for case in cases:
        ratio, iqr = ratio_stats(case.samples["patch"], case.samples["block"])
        rows.append({"call": case.label,
                     "ns_per_sample": {k: statistics.median(v) for k, v in case.samples.items()},
                     "ratio": ratio, "iqr": iqr, "limit": LIMIT, "met": ratio <= LIMIT})
    return rows


def print_report(result):
    rows = result["rows"]
    print(f"n = {result['n']}, median of {result['rounds']} rounds of per-round ratios; "
          f"ns per sample for scale; instruction set {result['instruction_set']}")
    print()
    header = (f"{'one operation':<30} {'block':>6} {'patch':>6} {'x block':>7} {'iqr':>5} "
              f"{'limit':>6}  target")
    print(header)
    print("-" * len(header))
    for row in rows:
        ns = row["ns_per_sample"]
        print(f"{row['call']:<30} {ns['block']:>6.2f} {ns['patch']:>6.2f} {row['ratio']:>7.2f} "
              f"{row['iqr']:>5.2f} {'<=' + format(row['limit'], '.2f'):>6}  {mark(row['met'])}")
    print()
    worst = max(rows, key=lambda row: row["ratio"])
    missed = [row["call"] for row in rows if not row["met"]]
    print(f"within {LIMIT}x of the block call: {len(rows) - len(missed)} of {len(rows)}"
          + (f"; missed: {', '.join(missed)}" if missed else "")
          + f"; worst: {worst['call']} {worst['ratio']:.2f}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="timing rounds (default 15, 3 with --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="short rounds and few of them: a smoke run, not a measurement")
    parser.add_argument("--only", help="comma-separated block calls or patterns, e.g. 'Comb*'")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    args = parser.parse_args(argv)
    if args.rounds is not None and args.rounds < 2:
        parser.error("--rounds needs at least 2 for a median and a spread")
    rounds = args.rounds or (3 if args.quick else 15)
    patterns = [p.strip() for p in (args.only or "").split(",") if p.strip()]
    cases = [c for c in build_cases()
             if not patterns or any(fnmatch.fnmatchcase(c.label, p) for p in patterns)]
    if not cases:
        sys.exit(f"bench: nothing matches {args.only!r}")
    env = environment()
    print_environment(env)
    data = inputs(N)
    result = {"environment": env, "instruction_set": vb.instruction_set, "rounds": rounds, "n": N,
              "same_bits_and_state": check_agreement(cases, data),
              "rows": measure(cases, data, rounds, 0.001 if args.quick else 0.005)}
    print_report(result)
    if args.json:
        write_json(args.json, result)


if __name__ == "__main__":
    main()
