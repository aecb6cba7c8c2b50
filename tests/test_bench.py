"""The benchmark script runs, and its plain-Python processors compute what vorda does."""
import importlib.util
import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vorda

BENCH = Path(__file__).resolve().parents[1] / "bench"


def load_pure():
    spec = importlib.util.spec_from_file_location("pure", BENCH / "pure.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


pure = load_pure()


def run_bench(tmp_path, *args):
    out = tmp_path / "bench.json"
    done = subprocess.run(
        [sys.executable, str(BENCH / "bench.py"), "--quick", "--json", str(out), *args],
        capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout, json.loads(out.read_text())


def test_timing_mode_reports_the_selected_rows(tmp_path):
    stdout, result = run_bench(tmp_path, "--rounds", "2", "--only", "Lfo.process,pan2")
    assert [row["callable"] for row in result["rows"]] == ["Lfo.process", "pan2"]
    for row in result["rows"]:
        assert row["callable"] in stdout
        assert row["baseline"] == "divmod(x, d)"
        assert row["ratio"] > 0 and row["pure_ratio"] > 0
        assert all(ns > 0 for ns in row["ns"].values())
    assert result["environment"]["cpu"] and result["environment"]["python"]
    assert "demo" not in result  # not selected


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind not installed")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="valgrind cannot run a process with a sanitizer runtime")
def test_instruction_mode_counts_call_and_baseline(tmp_path):
    _, result = run_bench(tmp_path, "--instr", "--only", "LeakDc.process")
    (row,) = result["rows"]
    assert row["callable"] == "LeakDc.process" and row["baseline"] == "fabs(x)"
    # Both counts are net of the loop; a call into C is hundreds of instructions.
    assert 50 < row["baseline_instructions"] < row["pure_instructions"]
    assert 50 < row["instructions"] < row["pure_instructions"]


SR = 1000.0
N = 64
# Inputs exact in single precision, so both sides start from the same values.
XS = [((i * 37) % 23 - 11) / 16 for i in range(N)]
# Delays of whole samples plus a clear fraction: truncation cannot flip
# between double and single precision.
DELAYS_SEC = [d / SR for d in (2.5, 3.25, 4.75, 1.5, 6.5)]
DECAYS_SEC = [0.02, -0.03, 0.05]
DELAYS, DECAYS = [3, 2, 5, 1, 7], [20, 7, 11]
FREQS = [37.3, 113.7, -21.9]


def cycle(values, i):
    return values[i % len(values)]


def delay_args(name, i):
    """The arguments after xn of step i, for the delay family `name`."""
    if name.endswith("S"):
        delay, decay = cycle(DELAYS, i), cycle(DECAYS, i)
    else:
        delay, decay = cycle(DELAYS_SEC, i), cycle(DECAYS_SEC, i)
    return (delay,) if name.startswith("Delay") else (delay, decay)


def ring_args(name):
    return (8,) if name.endswith("S") else (SR, 0.008)


def ring_step(name):
    def step(ring, i, x):
        ring.write(x)
        return ring.read(delay_args(name, i)[0])
    return step


def biquad_step(bq, i, x):
    if i == N // 2:
        bq.set_coefs(0.5, -0.1, 0.3, 0.4, -0.2)
    if i == 3 * N // 4:
        bq.reset()
    return bq.process(x)


def delay_case(name):
    step = ring_step(name) if name.startswith("Ring") else (
        lambda proc, i, x: proc.process(x, *delay_args(name, i)))
    return lambda mod: getattr(mod, name)(*ring_args(name)), step


# name: (make(module) -> processor, step(processor, i, x) -> sample or pair)
PROCESSORS = {
    **{name: delay_case(name) for name in (
        "DelayS", "DelayN", "DelayL", "CombS", "CombN", "CombL",
        "AllpassS", "AllpassN", "AllpassL", "RingBufferS", "RingBufferN", "RingBufferL")},
    "SinOsc": (lambda mod: mod.SinOsc(SR, 0.1), lambda o, i, x: o.process(cycle(FREQS, i))),
    **{f"Lfo-{w}": (lambda mod, w=w: mod.Lfo(SR, w),
                    lambda o, i, x: o.process(cycle(FREQS, i))) for w in (0, 1, 2)},
    "WhiteNoise": (lambda mod: mod.WhiteNoise(7), lambda o, i, x: o.process()),
    "Biquad": (lambda mod: mod.Biquad(0.2, 0.4, 0.2, -0.3, 0.1), biquad_step),
    "LeakDc": (lambda mod: mod.LeakDc(0.9), lambda o, i, x: o.process(x)),
    "pan2": (lambda mod: mod.pan2,
             lambda pan, i, x: pan(x, cycle([-1.5, -0.25, 0.6, 2.0, 0.0], i))),
}


def run(mod, name):
    make, step = PROCESSORS[name]
    proc, out = make(mod), []
    for i, x in enumerate(XS):
        y = step(proc, i, x)
        out.extend(y if isinstance(y, tuple) else [y])
    return out


@pytest.mark.parametrize("name", PROCESSORS)
def test_pure_counterpart_agrees_with_vorda(name):
    ours, theirs = run(vorda, name), run(pure, name)
    # Double against single precision; phase errors grow over the 64 steps.
    assert theirs == pytest.approx(ours, rel=1e-4, abs=1e-5)
    # The signal must exercise the processor: neither silence nor the input.
    assert any(abs(v) > 1e-3 for v in ours) and ours != XS
    assert not any(math.isnan(v) for v in ours)
