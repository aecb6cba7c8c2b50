#!/usr/bin/env python3
"""What moving state costs: a snapshot and its restore against numpy copying
the same number of bytes, and a batch of renders on a process pool of two
against the same batch rendered serially (bench/README.md, "State").

    python bench/state.py [--quick] [--rounds N] [--json PATH]
"""
import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import vorda
import vorda_blocks as vb

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
import render_batch  # noqa: E402
from common import environment, print_environment, quartiles, write_json  # noqa: E402

SNAPSHOT_TARGET = 3.0  # snapshot + restore within this many times numpy.copy
POOL_TARGET = 1.7  # a pool of two against one process


def spread(ratios):
    q1, _, q3 = quartiles(ratios)
    return q3 - q1


def fastest(call, repeat):
    """The fastest of `repeat` timings of `call`, in seconds: an interruption
    only ever adds time."""
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - started)
    return best


def snapshot_rows(rounds, repeat):
    line = vorda.DelayL(48000.0, 1.0)  # a one-second buffer: 65536 slots
    vb.process(line, np.random.default_rng(1).standard_normal(48000).astype(np.float32), 0.5)
    twin = vb.restore(vb.snapshot(line))
    assert vb.snapshot(twin) == vb.snapshot(line)
    same = np.random.default_rng(2).standard_normal(65536).astype(np.float32)  # the buffer's bytes
    ratios, times = [], {"snapshot + restore": [], "numpy.copy": []}
    for r in range(rounds):
        sides = [("snapshot + restore", lambda: vb.restore(vb.snapshot(line))),
                 ("numpy.copy", lambda: np.copy(same))]
        for name, call in sides if r % 2 == 0 else sides[::-1]:
            times[name].append(fastest(call, repeat))
        ratios.append(times["snapshot + restore"][-1] / times["numpy.copy"][-1])
    return ratios, {k: statistics.median(v) for k, v in times.items()}


def pool_rows(rounds, count, seconds, out):
    patch = render_batch.band(render_batch.SAMPLE_RATE)
    patch.compile()
    batch = render_batch.variations(count)
    ratios, times = [], {"serial": [], "pool of 2": []}
    reference = [p.read_bytes() for p in render_batch.render_all(
        patch, batch, seconds, render_batch.SAMPLE_RATE, out / "reference", workers=0)]
    for r in range(rounds):
        sides = [("serial", 0), ("pool of 2", 2)]
        for name, workers in sides if r % 2 == 0 else sides[::-1]:
            started = time.perf_counter()
            paths = render_batch.render_all(patch, batch, seconds, render_batch.SAMPLE_RATE,
                                            out / name, workers=workers)
            times[name].append(time.perf_counter() - started)
            assert [p.read_bytes() for p in paths] == reference, "the pool rendered other files"
        ratios.append(times["serial"][-1] / times["pool of 2"][-1])
    return ratios, {k: statistics.median(v) for k, v in times.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="timing rounds (default 9, 2 with --quick)")
    parser.add_argument("--quick", action="store_true", help="a smoke run, not a measurement")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    args = parser.parse_args(argv)
    rounds = args.rounds or (2 if args.quick else 9)
    env = environment()
    print_environment(env)
    result = {"environment": env, "rounds": rounds}

    ratios, times = snapshot_rows(rounds, 5 if args.quick else 50)
    median, iqr = statistics.median(ratios), spread(ratios)
    ok = "ok" if median <= SNAPSHOT_TARGET else "MISS"
    print("\nsnapshot + restore of a DelayL with a one-second buffer (65536 slots, 256 KiB)")
    print(f"  {times['snapshot + restore'] * 1e6:8.1f} us, numpy.copy of the same bytes "
          f"{times['numpy.copy'] * 1e6:8.1f} us: {median:.2f}x  iqr {iqr:.2f}  "
          f"<={SNAPSHOT_TARGET:g}  {ok}")
    result["snapshot"] = {"ratios": ratios, "median": median, "seconds": times, "target": SNAPSHOT_TARGET}

    count, seconds = (4, 0.5) if args.quick else (48, 6.0)
    with tempfile.TemporaryDirectory(prefix="vorda-batch-") as tmp:
        ratios, times = pool_rows(rounds, count, seconds, Path(tmp))
    median, iqr = statistics.median(ratios), spread(ratios)
    ok = "ok" if median >= POOL_TARGET else "MISS"
    audio = count * seconds
    print(f"\nrender_batch.py, {count} variations of {seconds:g} s, files written: "
          "serial time over a pool of two's")
    print(f"  serial {times['serial']:.2f} s ({audio / times['serial']:.0f}x real time), pool of 2 "
          f"{times['pool of 2']:.2f} s ({audio / times['pool of 2']:.0f}x): {median:.2f}x  "
          f"iqr {iqr:.2f}  >={POOL_TARGET:g}  {ok}")
    result["pool"] = {"ratios": ratios, "median": median, "seconds": times, "target": POOL_TARGET,
                      "variations": count, "length": seconds}
    if args.json:
        write_json(args.json, result)


if __name__ == "__main__":
    main()
