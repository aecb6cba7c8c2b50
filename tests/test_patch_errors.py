"""What a patch refuses, when, and what it leaves behind: every error names what
is wrong, comes before the first sample, and changes nothing (the recording, the
processors, the feedback values). Block calls are held to the same for bad
elements anywhere in a long array and lengths that disagree either way."""
import threading

import numpy as np
import pytest

import vorda
import vorda_blocks as vb
from helpers import probe, refusals

SR = 48000.0


def network():
    """A small loop with every kind of value: returns (patch, instances, values)."""
    line, comb, bq = vorda.DelayS(64), vorda.CombL(SR, 0.01), vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1)
    p = vb.Patch()
    x, c, f = p.input("x"), p.input("c", count=True), p.feedback(0.5, name="loop")
    y = p.process(bq, p.process(line, f, c))
    f.set(x + 0.5 * y)
    p.output("y", p.process(comb, y, 0.001, 0.5))
    return p, (line, comb, bq), {"x": x, "c": c, "f": f, "y": y}


def other_value():
    return vb.Patch().input("x")


BUILD = [  # (what, exception, message)
    (lambda p, o, v: p.process(vorda.RingBufferS(4), v["x"]), TypeError,
     "Patch.process() takes a SinOsc, WhiteNoise, Lfo, Biquad, LeakDc, DelayS, DelayN, DelayL, "
     "CombS, CombN, CombL, AllpassS, AllpassN or AllpassL, not RingBufferS"),
    (lambda p, o, v: p.read(o[0], 3), TypeError, "Patch.read() takes a RingBufferS, RingBufferN"),
    (lambda p, o, v: p.process(o[1], v["x"], 0.1), TypeError,
     "CombL.process() missing 1 required positional argument: 'decay_sec'"),
    (lambda p, o, v: p.process(o[0], v["x"], v["y"]), TypeError,
     "argument 'delay_samp': a computed value cannot be a count"),
    (lambda p, o, v: p.process(o[0], v["x"], 1.5), TypeError,
     "argument 'delay_samp': 'float' object cannot be interpreted as an integer"),
    (lambda p, o, v: p.process(o[0], v["x"], -1), OverflowError, "negative"),
    (lambda p, o, v: p.process(o[1], v["c"], 0.1, 1.0), TypeError,
     "argument 'xn': a count input takes part only as a count"),
    (lambda p, o, v: v["c"] * 2.0, TypeError, "argument 'a': a count input takes part only"),
    (lambda p, o, v: p.process(o[1], other_value(), 0.1, 1.0), ValueError,
     "argument 'xn': the value belongs to another patch"),
    (lambda p, o, v: v["x"] - other_value(), ValueError, "the value belongs to another patch"),
    (lambda p, o, v: p.process(o[2], v["x"], b0=1.0, a2=v["y"]), TypeError,
     "Biquad.process() patch modulates 'b0', 'b1', 'b2', 'a1' and 'a2' together"),
    (lambda p, o, v: p.process(o[1], v["x"], "a", 1.0), TypeError,
     "argument 'delay_sec': must be real number, not str"),
    (lambda p, o, v: p.input("x"), ValueError, "the patch has an input 'x'"),
    (lambda p, o, v: p.input("n"), ValueError, "an input cannot be named 'n'"),
    (lambda p, o, v: p.output("y", v["x"]), ValueError, "the patch has an output 'y'"),
    (lambda p, o, v: p.output("z", v["x"], dtype=np.int16), TypeError,
     "output 'z': dtype must be float32 or float64, not int16"),
    (lambda p, o, v: p.output("z", "loud"), TypeError, "argument 'value': must be a patch value"),
    (lambda p, o, v: p.output("z", v["c"]), TypeError, "a count input takes part only"),
    (lambda p, o, v: v["f"].set(v["x"]), RuntimeError, "the feedback is set already"),
    (lambda p, o, v: v["x"] + "1", TypeError, "unsupported operand"),
    (lambda p, o, v: np.ones(3) * v["x"], TypeError, ""),
    (lambda p, o, v: float(v["y"]), TypeError, "a patch value has no number until the patch runs"),
    (lambda p, o, v: v["y"] < 1.0, TypeError, "a patch value has no number until the patch runs"),
    (lambda p, o, v: bool(v["y"]), TypeError, "a patch value has no number until the patch runs"),
    (lambda p, o, v: {v["y"]}, TypeError, "unhashable"),
    (lambda p, o, v: p.tanh(v["x"], v["x"]), TypeError, "Patch.tanh() takes 1 positional"),
]


@pytest.mark.parametrize("act, error, message", BUILD)
def test_recording_refuses_with_a_message_and_records_nothing(act, error, message):
    p, objects, values = network()
    steps = len(p.steps)
    with pytest.raises(error) as caught:
        act(p, objects, values)
    assert message in str(caught.value)
    assert len(p.steps) == steps
    # Still whole: it runs, and as its twin runs.
    twin_patch, twin_objects, _ = network()
    given = {"x": np.linspace(-1, 1, 300), "c": 40}
    assert np.array_equal(p.run(**given), twin_patch.run(**given))
    assert [probe(o) for o in objects] == [probe(o) for o in twin_objects]


def bad_counts(position, n=37):
    counts = np.full(n, 40, np.int64)
    counts[position] = -1
    return counts


RUN = [  # (inputs, exception, message)
    ({"x": np.zeros(4)}, TypeError, "Patch.run() missing input 'c'"),
    ({"x": np.zeros(4), "c": 3, "z": 1.0}, TypeError,
     "Patch.run() got an unexpected input 'z' (the patch's inputs: 'x', 'c')"),
    ({"x": np.zeros(4), "c": np.zeros(3, int)}, ValueError,
     "arguments 'x' and 'c' have different lengths: 4 and 3"),
    ({"x": np.zeros(4), "c": np.zeros(5, int)}, ValueError,
     "arguments 'x' and 'c' have different lengths: 4 and 5"),
    ({"x": np.zeros(4), "c": 3, "n": 5}, ValueError, "n is 5 but argument 'x' has 4 samples"),
    ({"x": np.zeros(4), "c": 3, "n": 3}, ValueError, "n is 3 but argument 'x' has 4 samples"),
    ({"x": 0.0, "c": 3}, TypeError, "n is required when no argument is an array"),
    ({"x": 0.0, "c": 3, "n": -2}, ValueError, "n is -2"),
    ({"x": np.zeros(4), "c": np.ones(4)}, TypeError,
     "argument 'c': an array of dtype float64 cannot be interpreted as an integer"),
    ({"x": np.zeros(4), "c": -3}, OverflowError, ""),
    ({"x": np.zeros(4), "c": 2.0}, TypeError, "argument 'c': 'float' object cannot be interpreted"),
    ({"x": np.zeros(4, complex), "c": 3}, TypeError,
     "argument 'x': an array of dtype complex128 cannot be read as samples"),
    ({"x": np.zeros((2, 2)), "c": 3}, ValueError, "argument 'x': a block takes a number or a 1-D"),
    ({"x": "loud", "c": 3, "n": 4}, TypeError, "argument 'x': must be real number, not str"),
    ({"x": np.zeros(4), "c": 3, "n": 4.0}, TypeError, "n must be an integer, not float"),
] + [({"x": np.zeros(37), "c": bad_counts(k)}, OverflowError,
      f"argument 'c': a count cannot be negative, but element {k} is -1")
     for k in [0, 1, 2, 3, 4, 5, 6, 7, 8, 35, 36]]


@pytest.mark.parametrize("given, error, message", RUN)
def test_a_run_refuses_before_the_first_sample_and_changes_nothing(given, error, message):
    p, objects, values = network()
    p.run(x=np.linspace(0, 1, 100), c=40)  # some state to keep
    twin_patch, twin_objects, twin_values = network()
    twin_patch.run(x=np.linspace(0, 1, 100), c=40)
    with pytest.raises(error) as caught:
        p.run(**given)
    assert message in str(caught.value)
    assert values["f"].value == twin_values["f"].value
    after = {"x": np.linspace(-1, 1, 300), "c": 40}
    assert np.array_equal(p.run(**after), twin_patch.run(**after))
    assert [probe(o) for o in objects] == [probe(o) for o in twin_objects]


def test_an_unset_feedback_and_recording_after_a_run_are_refused():
    line = vorda.DelayS(8)
    p = vb.Patch()
    x, f = p.input("x"), p.feedback(name="echo")
    p.output("y", p.process(line, x + f, 3))
    with pytest.raises(RuntimeError, match="feedback 'echo' is never set"):
        p.run(x=np.ones(4))
    assert p.schedule is None and probe(line) == probe(vorda.DelayS(8))
    f.set(0.5 * x)
    p.run(x=np.ones(4))
    for record in (lambda: p.input("z"), lambda: x + 1.0, lambda: p.output("z", x),
                   lambda: p.feedback(), lambda: p.process(line, x, 1)):
        with pytest.raises(RuntimeError, match="it records nothing more"):
            record()


@pytest.mark.parametrize("position", [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 35, 36])
def test_a_negative_count_anywhere_in_a_block_is_refused_before_the_first_sample(position):
    line, twin = vorda.DelayS(8), vorda.DelayS(8)
    with pytest.raises(OverflowError, match=f"element {position} is -1"):
        vb.process(line, np.ones(37, np.float32), bad_counts(position))
    assert probe(line) == probe(twin)


@pytest.mark.parametrize("length", [36, 38])
def test_block_lengths_that_disagree_either_way_are_refused(length):
    line, twin = vorda.CombN(SR, 0.01), vorda.CombN(SR, 0.01)
    with pytest.raises(ValueError, match=f"have different lengths: 37 and {length}"):
        vb.process(line, np.ones(37), 0.001, np.ones(length))
    with pytest.raises(ValueError, match=f"n is {length} but argument 'xn' has 37"):
        vb.process(line, np.ones(37), 0.001, 0.5, n=length)
    assert probe(line) == probe(twin)


def test_a_run_holds_its_patch_and_every_instance_it_uses():
    """While a long run goes on without the lock, the instances and the patch are
    refused to other threads; between runs they are ordinary."""
    shared = vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1)
    p = vb.Patch()
    x = p.input("x")
    p.output("y", p.process(shared, p.process(vorda.DelayL(SR, 0.1), x, 0.05)))
    fb = p.feedback()
    fb.set(x)
    calls = {"per-sample": lambda: shared.process(1.0),
             "block": lambda: vb.process(shared, np.ones(8)),
             "patch": lambda: p.run(x=np.ones(8)),
             "feedback": lambda: fb.value}
    expected = {"per-sample": {"Already borrowed"}, "block": {"Already borrowed"},
                "patch": {"Already borrowed"}, "feedback": {"Already mutably borrowed"}}
    assert refusals(lambda: p.run(x=np.ones(3_000_000, np.float32)), calls, expected) == expected
    shared.process(1.0)  # ordinary again


def test_patches_on_disjoint_instances_run_in_parallel_threads_as_they_run_alone():
    """Four threads, each running a patch of its own. This thread meets every
    patch's borrow while they run, so they ran without the lock, beside
    Python here; each gives the bits it gives alone."""
    def make(k):
        line, lowpass = vorda.DelayL(SR, 0.05), vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1)
        p = vb.Patch()
        x, f = p.input("x"), p.feedback()
        y = p.process(lowpass, p.process(line, f, 0.01 + k * 1e-3))
        f.set(x + 0.9 * y)
        p.output("y", y)
        return p

    x = np.random.default_rng(3).standard_normal(200_000)
    alone = [make(k).run(x=x) for k in range(4)]
    patches, results = [make(k) for k in range(4)], [None] * 4

    def four_threads():
        patches[:] = [make(k) for k in range(4)]
        threads = [threading.Thread(target=lambda k=k: results.__setitem__(k, patches[k].run(x=x)))
                   for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    calls = {k: lambda k=k: patches[k].feedbacks[0].value for k in range(4)}
    expected = {k: {"Already mutably borrowed"} for k in range(4)}
    assert refusals(four_threads, calls, expected) == expected
    assert all(np.array_equal(a, b) for a, b in zip(results, alone))
