"""The benchmark script runs, and its plain-Python processors compute what vorda does."""
import importlib.util
import inspect
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vorda

BENCH = Path(__file__).resolve().parents[1] / "bench"
spec = importlib.util.spec_from_file_location("pure", BENCH / "pure.py")
pure = importlib.util.module_from_spec(spec)
spec.loader.exec_module(pure)


def run_bench(tmp_path, *args):
    out = tmp_path / "bench.json"
    done = subprocess.run([sys.executable, BENCH / "bench.py", "--quick", "--json", out, *args],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout, json.loads(out.read_text())


def test_timing_mode_reports_the_selected_rows(tmp_path):
    stdout, result = run_bench(tmp_path, "--rounds", "2", "--only", "Lfo.process,pan2")
    assert [row["callable"] for row in result["rows"]] == ["Lfo.process", "pan2"]
    for row in result["rows"]:
        assert row["callable"] in stdout and row["baseline"] == "divmod(x, d)"
        assert row["ratio"] > 0 and row["pure_ratio"] > 0 and min(row["ns"].values()) > 0
    assert result["environment"]["cpu"] and result["environment"]["python"]
    assert "demo" not in result  # not selected


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("valgrind") is None, reason="needs valgrind (Debian package valgrind)")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="valgrind cannot run a process with a sanitizer runtime")
def test_instruction_mode_counts_call_and_baseline(tmp_path):
    _, result = run_bench(tmp_path, "--instr", "--only", "LeakDc.process")
    (row,) = result["rows"]
    assert row["callable"] == "LeakDc.process" and row["baseline"] == "fabs(x)"
    # Both counts are net of the loop; a call into C is hundreds of instructions.
    assert 50 < row["baseline_instructions"] < row["pure_instructions"]
    assert 50 < row["instructions"] < row["pure_instructions"]


N, SR = 64, 1000.0
# Constructor values, then per-step cycles, by parameter name. Inputs are exact in
# single precision; delays are whole samples plus a clear fraction, so truncation
# cannot flip between double and single precision.
FIXED = {"sample_rate": SR, "max_delay_sec": 0.008, "max_delay_samp": 8, "phase": 0.1,
         "seed": 7, "coef": 0.9, "b0": 0.2, "b1": 0.4, "b2": 0.2, "a1": -0.3, "a2": 0.1}
CYCLES = {"xn": [((i * 37) % 23 - 11) / 16 for i in range(N)], "delay_samp": [3, 2, 5, 1, 7],
          "decay_samp": [20, 7, 11], "delay_sec": [d / SR for d in (2.5, 3.25, 4.75, 1.5, 6.5)],
          "decay_sec": [0.02, -0.03, 0.05], "frequency": [37.3, 113.7, -21.9],
          "pos": [-1.5, -0.25, 0.6, 2.0, 0.0]}
CYCLES["x"] = CYCLES["xn"]
CASES = [(n, w) for n in vorda.__all__ for w in ((0, 1, 2) if n == "Lfo" else (None,))]


def run(mod, name, waveform):
    """Every method on every step (set_coefs halfway, reset at three quarters)."""
    def args(fn, i):
        return [CYCLES[p][i % len(CYCLES[p])] for p in inspect.signature(fn).parameters
                if p != "self"]

    if name == "pan2":
        return [y for i in range(N) for y in mod.pan2(*args(vorda.pan2, i))]
    real = getattr(vorda, name)
    fixed = dict(FIXED, waveform=waveform)
    obj, out = getattr(mod, name)(*[fixed[p] for p in inspect.signature(real).parameters]), []
    for i in range(N):
        for m in (m for m in vars(real) if not m.startswith("__") and callable(vars(real)[m])):
            if m == "set_coefs" and i == N // 2:
                obj.set_coefs(0.5, -0.1, 0.3, 0.4, -0.2)
            elif m == "reset" and i == 3 * N // 4:
                obj.reset()
            elif m not in ("set_coefs", "reset"):
                y = getattr(obj, m)(*args(getattr(real, m), i))
                out.extend(y if isinstance(y, tuple) else [] if y is None else [y])
    return out


@pytest.mark.parametrize("name, waveform", CASES)
def test_pure_counterpart_agrees_with_vorda(name, waveform):
    ours, theirs = run(vorda, name, waveform), run(pure, name, waveform)
    # Double against single precision; phase errors grow over the 64 steps.
    assert theirs == pytest.approx(ours, rel=1e-4, abs=1e-5)
    # The signal must exercise the processor: neither silence nor the input.
    assert any(abs(v) > 1e-3 for v in ours) and ours != CYCLES["xn"]


@pytest.mark.slow
@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")
def test_block_bench_compares_blocks_loops_and_plain_cxx(tmp_path):
    # The script refuses to time anything unless the block, the per-sample
    # loop and the C++ loop over the same processor give the same bits.
    out = tmp_path / "blocks.json"
    done = subprocess.run([sys.executable, BENCH / "blocks.py", "--quick", "--rounds", "2",
                           "--only", "AllpassL*,Lfo*,RingBufferN.read*", "--json", out],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    rows = json.loads(out.read_text())["floor"]
    assert {row["call"].split()[0] for row in rows} == {"AllpassL.process", "Lfo.process",
                                                        "RingBufferN.read"}
    assert all(row["floor_ratio"] > 0 and row["python_speedup"] > 0 for row in rows)


@pytest.mark.slow
@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")
def test_patch_bench_holds_every_side_to_the_patch(tmp_path):
    # The script stops unless every side gives the patch's bits: the C++
    # loop, the Python loop and, where Numba imports, the Numba loop.
    out = tmp_path / "patches.json"
    done = subprocess.run([sys.executable, BENCH / "patches.py", "--quick", "--rounds", "2",
                           "--json", out], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    result = json.loads(out.read_text())
    numba = importlib.util.find_spec("numba") is not None
    sides = ["the Python loop", "networks.cpp"] + ["Numba"] * numba
    compared = result["same_bits_as_the_patch"]
    assert compared == {"karplus": sides, "reverb": sides, "fdn": sides,
                        "chorus": ["the stages", "the Python loop"]}
    assert ("numba    skipped" in done.stdout) != numba
    timed = {"patch", "floor", "python"} | ({"numba"} if numba else set())
    for row in result["networks"]:
        assert set(row["ns_per_sample"]) == timed
        assert row["floor_ratio"] > 0 and row["python_speedup"] > 0
        assert row["network"] in done.stdout
    assert result["feedforward"]["stages_ratio"] > 0
    assert [row["n"] for row in result["threads"]] == [192000] * 3


@pytest.mark.slow
@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")
def test_versus_bench_holds_numba_cxx_and_stages_to_the_patch(tmp_path):
    # The script stops unless every side gives the patch's bits: the C++
    # loop, the Numba loop where Numba imports, the reverb's block calls.
    out = tmp_path / "versus.json"
    done = subprocess.run([sys.executable, BENCH / "versus.py", "--quick", "--rounds", "2",
                           "--json", out], capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr
    result = json.loads(out.read_text())
    numba = importlib.util.find_spec("numba") is not None
    sides = ["networks.cpp"] + ["Numba"] * numba
    assert result["same_bits_as_the_patch"] == {
        "comb_reverb": sides + ["the stages"], "voices": sides, "fdn": sides, "karplus": sides}
    assert ("numba    skipped" in done.stdout) != numba
    for row in result["workloads"]:
        assert row["workload"] in done.stdout
        assert row["x_floor"] > 0 and ("x_numba" in row) == numba
        side = row["target"]["side"]
        assert row["met"] == (row[f"x_{side}"] <= row["target"]["limit"] if f"x_{side}" in row
                              else None)
    assert result["workloads"][0]["x_stages"] > 0
    assert result["instruction_set"] in done.stdout


def test_one_operation_bench_holds_each_patch_to_its_block_call(tmp_path):
    # Every row's patch must give its block call's samples and leave the
    # instance as the call leaves it before either is timed.
    out = tmp_path / "one_operation.json"
    only = "CombL*,AllpassS.process const,pan2*,RingBufferS.*,Lfo.process arrays,WhiteNoise*"
    done = subprocess.run([sys.executable, BENCH / "one_operation.py", "--quick", "--rounds", "2",
                           "--only", only, "--json", out],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(out.read_text())
    calls = [row["call"] for row in result["rows"]]
    assert result["same_bits_and_state"] == calls
    assert calls == ["WhiteNoise.process", "Lfo.process arrays", "CombL.process const",
                     "CombL.process arrays", "AllpassS.process const", "pan2 const", "pan2 arrays",
                     "RingBufferS.read const", "RingBufferS.read arrays",
                     "RingBufferS.read arrays int64", "RingBufferS.write"]
    for row in result["rows"]:
        assert row["call"] in done.stdout and row["met"] == (row["ratio"] <= 1.05)
    worst = max(result["rows"], key=lambda row: row["ratio"])
    assert f"worst: {worst['call']} {worst['ratio']:.2f}" in done.stdout


def test_bit_comparison_counts_every_nan_as_one():
    spec = importlib.util.spec_from_file_location("bench_common", BENCH / "common.py")
    common = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(common)
    import numpy as np

    quiet, payload = np.float32("nan"), np.uint32(0x7FC00123).view(np.float32)
    assert common.same_bits([1.0, quiet, -2.5], [1.0, -payload, -2.5])
    one_ulp = np.nextafter(np.float32(1.0), np.float32(2.0))
    for a, b in [([0.0], [-0.0]), ([1.0], [one_ulp]), ([quiet], [np.inf]), ([1.0], [1.0, 1.0])]:
        assert not common.same_bits(a, b)


def test_state_bench_times_snapshots_and_a_pool_on_the_same_bits(tmp_path):
    # The pool's batch must be the serial batch, file for file, before its
    # time counts.
    out = tmp_path / "state.json"
    done = subprocess.run([sys.executable, BENCH / "state.py", "--quick", "--json", out],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(out.read_text())
    assert result["snapshot"]["median"] > 0 and result["pool"]["median"] > 0
    assert "numpy.copy" in done.stdout and "pool of 2" in done.stdout


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("jackd") is None,
                    reason="needs a JACK server: apt install jackd2")
def test_stream_bench_plays_the_demo_and_bounces_what_it_played(tmp_path):
    # Each run's offline render of what it played must be its recording
    # before its times count.
    out = tmp_path / "stream.json"
    done = subprocess.run([sys.executable, BENCH / "stream.py", "--quick", "--json", out],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads(out.read_text())
    (run,) = result["demo"]["runs"]
    assert run["blocks"] > 0 and run["overhead"] >= 1.0 and 0 < run["load_mean"] <= run["load_peak"]
    assert set(result["voices"]["trials"]) >= {"16"}
    assert result["subnormal"]["windows"] and "callback / bare runs" in done.stdout
