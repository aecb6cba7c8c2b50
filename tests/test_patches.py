"""Patches are the per-sample Python loop they record: random networks of every
class and pan2, with arithmetic, feedback, shared instances and count inputs,
run in random pieces, give the loop's bits, feedback values and final states.

The loop is examples/patch_loop.py, driving twins of the patch's instances
through vorda's per-sample calls; the demo's --per-sample mode uses it too.
"""
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorda
import vorda_blocks as vb
from helpers import (INF, NAN, PATCH_MAKERS, SR, exact, exact64, piece, probe, recorded, same,
                     same_outputs)

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from patch_loop import PatchLoop  # noqa: E402


@settings(max_examples=250, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_a_patch_gives_the_bits_of_its_per_sample_loop(data):
    recorder = recorded(data)
    p = recorder.p
    loop = PatchLoop(p, recorder.twins)
    for _ in range(data.draw(st.integers(1, 4))):
        given = data.draw(piece(recorder))
        got, want = p.run(**given), loop.run(**given)
        assert same_outputs(got, want), (p.schedule, got, want)
        for f in p.feedbacks:
            assert same(f.value, loop.memory[f.index]), (f, f.value, loop.memory[f.index])
    for obj in recorder.objects:
        assert probe(obj) == probe(recorder.twins[id(obj)]), type(obj).__name__


# A step reads before it writes; a ring may be written before or after a read.
LOOPS = [(f"{k}{m}", False) for k in ("Delay", "Comb") for m in "SNL"] + \
    [(f"RingBuffer{m}", first) for m in "SNL" for first in (False, True)]


@pytest.mark.parametrize("name, write_first", LOOPS)
def test_a_loop_through_a_delay_runs_ahead_only_where_no_read_reaches_the_chunk(name, write_first):
    """A loop through a ring at every delay around its size and the chunk
    lengths: whether the reads of a chunk may come before its writes depends
    on the slots actually read, which wrap around the ring."""
    timed = not name.endswith("S")
    delays = [*range(0, 40), *range(120, 140), *range(250, 260)]
    split = 0
    for d in delays:
        for delay in ([d / SR, (d + 0.5) / SR] if timed else [d]):
            obj, twin = PATCH_MAKERS[name](), PATCH_MAKERS[name]()
            p = vb.Patch()
            x, f = p.input("x"), p.feedback(0.25)
            if name.startswith("Ring"):
                if write_first:
                    p.write(obj, f)
                y = p.read(obj, delay)
                if not write_first:
                    p.write(obj, f)
            else:
                y = p.process(obj, f, delay, *([48.0 if timed else 3000] if "Comb" in name else []))
            f.set(0.5 * x + 0.9 * y)
            p.output("y", y)
            xs = np.random.default_rng(d).standard_normal(400)
            loop = PatchLoop(p, {id(obj): twin})
            got, want = p.run(x=xs), loop.run(x=xs)
            assert np.array_equal(exact(got), exact(want)), (delay, p.chunk, p.schedule)
            assert probe(obj) == probe(twin)
            split += p.chunk < 256
    assert split > 0  # some of them did run ahead


SPECIAL = [NAN, -NAN, INF, -INF, 0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e308, -1e308, 5e-324, 0.1, 2.0**53 + 1]


def test_arithmetic_is_python_floats_where_python_has_an_answer_and_ieee_where_it_raises():
    """Every operation on every pair of special values, numbers on either side
    (an int, a numpy scalar), as float64 outputs: the loop's own arithmetic."""
    pairs = np.array([(a, b) for a in SPECIAL for b in SPECIAL]).T
    p = vb.Patch()
    a, b = p.input("a"), p.input("b")
    results = {"+": a + b, "-": a - b, "*": a * b, "/": a / b, "neg": -a, "abs": abs(a), "pos": +a,
               "min": p.min(a, b), "max": p.max(a, b), "tanh": p.tanh(a),
               "int-": 3 - a, "np*": np.float32(0.1) * a, "/np": a / np.int64(0),
               "min1": p.min(1.0, b), "max1": p.max(a, -0.0), "tanh5": p.tanh(5)}
    for name, value in results.items():
        assert isinstance(value, vb.Value), name
        p.output(name, value, dtype=np.float64)
    loop = PatchLoop(p)
    for got, want in zip(p.run(a=pairs[0], b=pairs[1]), loop.run(a=pairs[0], b=pairs[1]),
                         strict=True):
        assert np.array_equal(exact64(got), exact64(want))
    # The Python floats the loop computes with, which numpy's float64 agrees with.
    assert exact64(p.run(a=np.array([1.0]), b=np.array([0.0]))[3]).tolist() == \
        exact64(np.array([INF])).tolist()


def test_independent_operations_of_one_kind_run_side_by_side_in_the_same_bits():
    """A bank of filters and oscillators: independent operations of one class
    run side by side, each lane on its own processor: filters in the lanes of
    vector registers (eight on x86-64-v3, four on the baseline), oscillators
    interleaved up to four."""
    rng = np.random.default_rng(9)
    bank = [vorda.Biquad(*rng.uniform(-0.5, 0.5, 5)) for _ in range(7)]
    oscs = [vorda.SinOsc(SR, k / 7) for k in range(3)]
    twins = {id(o): vb.restore(vb.snapshot(o)) for o in bank + oscs}
    p = vb.Patch()
    x, f = p.input("x"), p.input("f")
    outs = [p.process(b, x * (k + 1)) for k, b in enumerate(bank)]
    outs += [p.process(o, f + k) for k, o in enumerate(oscs)]
    total = outs[0]
    for y in outs[1:]:
        total = total + y
    p.output("y", total, dtype=np.float64)
    loop = PatchLoop(p, twins)
    given = {"x": rng.standard_normal(700), "f": rng.uniform(1, 30, 700)}
    assert same_outputs(p.run(**given), loop.run(**given))
    lanes = 8 if vb.instruction_set == "x86-64-v3" else 4
    stages = [ops for kind, ops in p.schedule if kind == "side by side"]
    filters = sorted(len(ops) for ops in stages if ops[0].startswith("Biquad"))
    assert filters == sorted([lanes] * (7 // lanes) + [7 % lanes] * (7 % lanes > 0)), p.schedule
    assert [len(ops) for ops in stages if ops[0].startswith("SinOsc")] == [3], p.schedule
    assert all(probe(o) == probe(twins[id(o)]) for o in bank + oscs)
