"""Block calls are the per-sample loop: the same bits, the same final state, errors
that leave nothing behind.

Each class is driven in random segments, each per-sample or as one block with
every parameter a constant or an array of some dtype, against a twin that is
only ever driven per-sample.
"""
import gc
import inspect
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorda
import vorda_blocks as vb
from helpers import INF, NAN, RINGS, SR, bits, exact, makers, panic_type, probe, refusals

# Rings of 8 slots: delays in seconds reach well past them.
MAKERS = makers(5)
# An int whose nearest double is a float32 tie: rounding it straight to float32
# gives another value than the interpreter's route through the double.
DOUBLE_TIE = 2**60 + 2**36 + 1
MODULATION = {"Biquad": ("b0", "b1", "b2", "a1", "a2"), "LeakDc": ("coef",)}


def operations(obj):
    """(block function, per-sample method, parameter names) for each operation of obj."""
    pairs = [(vb.write, obj.write), (vb.read, obj.read)] if isinstance(obj, RINGS) else \
        [(vb.process, obj.process)]
    return [(block, method, list(inspect.signature(method).parameters)) for block, method in pairs]


def values(name):
    if name.endswith("_samp"):
        return st.one_of(st.integers(0, 20), st.sampled_from([2**63, 2**64 - 1]))
    if name.endswith("_sec"):
        return st.one_of(st.floats(-0.05, 0.4), st.sampled_from([NAN, INF, -INF, 1e30, -0.0]))
    if name == "frequency":
        return st.one_of(st.floats(-80, 80), st.sampled_from([NAN, 1e-9, -1e-9, INF]))
    return st.one_of(st.floats(-2, 2), st.sampled_from([NAN, INF, -0.0, 3.5e38, 1e-40]),
                     st.integers(-2**62, 2**62), st.just(DOUBLE_TIE))


@st.composite
def argument(draw, name, n):
    """One value for the whole block, or an array of n per-sample values."""
    if draw(st.booleans()):
        value = draw(values(name))
        return draw(st.sampled_from([value, np.array(value), np.array([value])[0]]))
    drawn = draw(st.lists(values(name), min_size=n, max_size=n))
    if name.endswith("_samp"):
        dtypes = [np.uint64] if any(v >= 2**63 for v in drawn) else \
            [np.int64, np.uint64, np.int16] + [bool] * all(v < 2 for v in drawn)
    elif all(isinstance(v, int) for v in drawn):
        dtypes = [np.int64]
    else:
        drawn, dtypes = [float(v) for v in drawn], [np.float32, np.float64]
    return np.array(drawn, dtype=draw(st.sampled_from(dtypes)))


def element(arg, i):
    """What the per-sample call is given for sample i: the interpreter's own number."""
    return arg[i].item() if isinstance(arg, np.ndarray) and arg.ndim == 1 else arg


def per_sample(method, args, n, setter=None, extras=()):
    results = []
    for i in range(n):
        if setter is not None:
            setter(*(element(a, i) for a in extras))
        results.append(method(*(element(a, i) for a in args)))
    return results


def block_bits(got):
    arrays = got if isinstance(got, tuple) else (got,)
    assert all(a.dtype == np.float32 and a.ndim == 1 for a in arrays)
    return exact(np.stack(arrays))


def setter_for(obj):
    if isinstance(obj, vorda.Biquad):
        return obj.set_coefs
    return lambda coef: setattr(obj, "coef", coef)


@pytest.mark.parametrize("name", MAKERS)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_blocks_equal_the_per_sample_loop(name, data):
    obj, twin = MAKERS[name](), MAKERS[name]()
    for _ in range(data.draw(st.integers(1, 4))):
        block_fn, method, params = data.draw(st.sampled_from(operations(obj)))
        n = data.draw(st.integers(0, 24))
        args = [data.draw(argument(p, n)) for p in params]
        extras = ()
        if name in MODULATION and data.draw(st.booleans()):
            extras = tuple(data.draw(argument("coef", n)) for _ in MODULATION[name])
        expected = per_sample(getattr(twin, method.__name__), args, n,
                              setter_for(twin) if extras else None, extras)
        if data.draw(st.integers(0, 3)) == 0:  # now and then a per-sample segment in between
            per_sample(method, args, n, setter_for(obj) if extras else None, extras)
            continue
        kwargs = dict(zip(MODULATION.get(name, ()), extras))
        if not any(isinstance(a, np.ndarray) and a.ndim == 1 for a in [*args, *extras]):
            kwargs["n"] = n
        if params[:1] in (["x"], ["xn"]) and getattr(args[0], "dtype", None) == np.float32 \
                and args[0].ndim == 1 and block_fn is not vb.write and data.draw(st.booleans()):
            kwargs["out"] = args[0]  # in place
        got = block_fn(obj, *args, **kwargs)
        if block_fn is vb.write:
            assert got is None
        else:
            assert np.array_equal(block_bits(got), bits(expected, 2 if name.startswith("Lfo") else 1))
            if "out" in kwargs:
                assert got is kwargs["out"]
    assert probe(obj) == probe(twin)


@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_pan2_blocks(data):
    n = data.draw(st.integers(0, 24))
    x, pos = data.draw(argument("x", n)), data.draw(argument("pos", n))
    expected = bits(per_sample(vorda.pan2, (x, pos), n), 2)
    explicit = {} if any(np.ndim(a) == 1 for a in (x, pos)) else {"n": n}
    assert np.array_equal(block_bits(vb.pan2(x, pos, **explicit)), expected)
    out = (np.empty(n, np.float32), np.empty(n, np.float32))
    assert all(a is b for a, b in zip(vb.pan2(x=x, pos=pos, n=n, out=list(out)), out))
    assert np.array_equal(block_bits(out), expected)


@pytest.mark.parametrize("shift", [1, -1])
def test_an_out_overlapping_an_input_sees_the_input_as_it_was(shift):
    x = np.arange(1.0, 17.0, dtype=np.float32)
    data, out = (x[:-1], x[1:]) if shift > 0 else (x[1:], x[:-1])
    expected = np.float32(per_sample(vorda.DelayS(4).process, (data.copy(), 2), 15))
    assert np.array_equal(vb.process(vorda.DelayS(4), data, 2, out=out), expected)


CTOR = {"DelayL": (SR, 0.1), "DelayS": (3,), "CombS": (3,), "Lfo": (SR,), "LeakDc": (0.9,),
        "Biquad": (1, 0, 0, 0, 0), "RingBufferS": (3,)}
F32 = np.zeros(4, np.float32)
ERRORS = [  # (class, arguments, keywords, exception, what the message says)
    ("DelayL", (np.zeros(4, complex), 0.1), {}, TypeError,
     "argument 'xn': an array of dtype complex128 cannot be read as samples"),
    ("DelayL", (np.array(["a"] * 4), 0.1), {}, TypeError, "argument 'xn': an array of dtype <U1"),
    ("DelayL", (np.array([None] * 4), 0.1), {}, TypeError, "argument 'xn': an array of dtype object"),
    ("DelayL", (np.zeros((2, 2)), 0.1), {}, ValueError,
     "argument 'xn': a block takes a number or a 1-D array, not a 2-D array"),
    ("DelayL", ([[0.0], [0.0, 1.0]], 0.1), {}, ValueError, "argument 'xn': "),
    ("DelayL", (F32, np.zeros(3)), {}, ValueError,
     "arguments 'xn' and 'delay_sec' have different lengths: 4 and 3"),
    ("DelayL", (0.0, 0.1), {}, TypeError, "n is required"),
    ("DelayL", (F32, 0.1), {"n": 5}, ValueError, "n is 5 but argument 'xn' has 4 samples"),
    ("DelayL", (0.0, 0.1), {"n": -1}, ValueError, "n is -1"),
    ("DelayL", (0.0, 0.1), {"n": 2.0}, TypeError, "n must be an integer, not float"),
    ("DelayL", ("x", 0.1), {"n": 2}, TypeError, "argument 'xn': must be real number, not str"),
    ("DelayL", (F32, 0.1), {"out": np.zeros(4)}, TypeError, "out: expected a float32 array"),
    ("DelayL", (F32, 0.1), {"out": [0.0] * 4}, TypeError, "out: expected a float32 array, not list"),
    ("DelayL", (F32, 0.1), {"out": np.zeros(5, np.float32)}, ValueError,
     "out: has 5 samples but the block has 4"),
    ("DelayL", (F32, 0.1), {"out": np.zeros(8, np.float32)[::2]}, ValueError, "C-contiguous"),
    ("DelayL", (F32, 0.1), {"out": np.zeros((4, 1), np.float32)}, ValueError, "out: expected a 1-D"),
    ("DelayL", (F32, 0.1), {"out": np.frombuffer(bytes(16), np.float32)}, ValueError, "read-only"),
    ("DelayL", (F32, 0.1), {"delay": 1}, TypeError,
     "DelayL.process() got an unexpected keyword argument 'delay'"),
    ("DelayL", (F32, 0.1), {"xn": F32}, TypeError,
     "DelayL.process() got multiple values for argument 'xn'"),
    ("DelayL", (F32, 0.1, 0.2), {}, TypeError,
     "DelayL.process() takes 2 positional arguments but 3 were given"),
    ("DelayL", (F32,), {}, TypeError,
     "DelayL.process() missing 1 required positional argument: 'delay_sec'"),
    ("DelayS", (F32, np.array([1, 2, -1, 4])), {}, OverflowError,
     "argument 'delay_samp': a count cannot be negative, but element 2 is -1"),
    ("DelayS", (F32, np.ones(4)), {}, TypeError,
     "argument 'delay_samp': an array of dtype float64 cannot be interpreted as an integer"),
    ("DelayS", (F32, -1), {}, OverflowError, "negative"),
    ("CombS", (F32, 2, 1.5), {}, TypeError,
     "argument 'decay_samp': 'float' object cannot be interpreted as an integer"),
    ("Lfo", (1.0,), {"n": 4, "out": F32}, TypeError, "out: expected a pair of float32 arrays"),
    ("Lfo", (1.0,), {"n": 4, "out": (F32, F32)}, ValueError, "out: the two arrays overlap"),
    ("Biquad", (F32,), {"b0": 1.0, "a2": 0.0}, TypeError, "(missing 'b1', 'b2', 'a1')"),
    ("LeakDc", (F32,), {"coef": np.zeros(3)}, ValueError,
     "arguments 'xn' and 'coef' have different lengths: 4 and 3"),
    ("RingBufferS", (F32,), {}, TypeError,
     "vorda_blocks.process() takes a SinOsc, WhiteNoise, Lfo, Biquad, LeakDc, DelayS, DelayN, "
     "DelayL, CombS, CombN, CombL, AllpassS, AllpassN or AllpassL, not RingBufferS"),
]


@pytest.mark.parametrize("name, args, kwargs, error, message", ERRORS)
def test_errors_say_what_is_wrong_and_change_nothing(name, args, kwargs, error, message):
    obj, twin = (getattr(vorda, name)(*CTOR[name]) for _ in "ab")
    outs = [a for a in kwargs.values() if isinstance(a, np.ndarray)]
    with pytest.raises(error) as caught:
        vb.process(obj, *args, **kwargs)
    assert message in str(caught.value)
    assert probe(obj) == probe(twin)
    assert not any(a.any() for a in outs)  # no sample was written either


@pytest.mark.parametrize("kind", ["process", "read"])
def test_a_block_holds_its_borrow_for_its_whole_length(kind):
    """While a long block runs without the lock, other threads meet its borrow:
    an exclusive one for process, a shared one (reads pass, writes not) for read."""
    obj = vorda.SinOsc(48000.0) if kind == "process" else vorda.RingBufferS(8)
    if kind == "process":
        long_call, calls = lambda: vb.process(obj, 440.0, n=2_000_000), \
            {"process": lambda: obj.process(1.0), "phase": lambda: obj.phase}
    else:
        long_call, calls = lambda: vb.read(obj, 3, n=2_000_000), \
            {"read": lambda: obj.read(3), "write": lambda: obj.write(1.0)}
    expected = ({"process": {"Already borrowed"}, "phase": {"Already mutably borrowed"}}
                if kind == "process" else {"read": set(), "write": {"Already borrowed"}})
    assert refusals(long_call, calls, expected) == expected


def test_blocks_on_separate_instances_run_in_parallel_threads_and_equal_serial_results():
    """Four threads, each a long block on an instance of its own. This thread
    meets every instance's borrow while the blocks run, so they ran without
    the lock, beside Python here; each gives the bits it gives alone."""
    x = np.random.default_rng(5).standard_normal(200_000).astype(np.float32)
    delays = [0.01 + k * 1e-3 for k in range(4)]
    serial = [vb.process(vorda.AllpassL(48000.0, 0.05), x, d, -0.5) for d in delays]
    filters, results = [vorda.AllpassL(48000.0, 0.05) for _ in delays], [None] * 4

    def four_threads():
        filters[:] = [vorda.AllpassL(48000.0, 0.05) for _ in delays]
        threads = [threading.Thread(target=lambda k=k: results.__setitem__(
            k, vb.process(filters[k], x, delays[k], -0.5))) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    calls = {k: lambda k=k: vb.snapshot(filters[k]) for k in range(4)}
    expected = {k: {"Already mutably borrowed"} for k in range(4)}
    assert refusals(four_threads, calls, expected) == expected
    assert all(np.array_equal(a, b) for a, b in zip(results, serial))


def test_block_calls_leak_nothing():
    obj, x, out = vorda.CombN(SR, 0.1), np.ones(64, np.float32), np.zeros(64, np.float32)
    calls = {"constants": lambda: vb.process(obj, x, 0.05, 1.0),
             "list into out": lambda: vb.process(obj, x, [0.05] * 64, 1.0, out=out),
             "converted": lambda: vb.process(obj, x.astype(np.int16), np.ones(64), 1.0),
             "bad out": lambda: vb.process(obj, x, 0.05, 1.0, out=np.zeros(3, np.float32)),
             "pan2": lambda: vb.pan2(x, np.zeros(64)),
             "bad n": lambda: vb.process(obj, x, 0.05, 1.0, n=3)}

    def batch(call):
        for _ in range(1000):
            try:
                call()
            except (TypeError, ValueError):
                pass
        gc.collect()

    for name, call in calls.items():
        batch(call)  # caches of the interpreter and numpy fill here
        refs = [sys.getrefcount(o) for o in (obj, x, out)]
        tracemalloc.start()
        batch(call)  # tracing itself settles in over this one
        sizes = []
        for _ in range(4):
            sizes.append(tracemalloc.get_traced_memory()[0])
            batch(call)
        sizes.append(tracemalloc.get_traced_memory()[0])
        tracemalloc.stop()
        # A leak grows every batch; a cache of numpy's or the interpreter's now
        # and then takes a step.
        grown = min(np.diff(sizes))
        # One object left behind per call would be 24 bytes a call at the least.
        left = np.subtract([sys.getrefcount(o) for o in (obj, x, out)], refs).tolist()
        assert grown < 8000 and left == [0, 0, 0], (name, grown, left)


def test_both_modules_raise_one_panic_class_and_import_keeps_vorda_lean():
    panic = panic_type()

    class Panicking:
        def __float__(self):
            raise panic("from Python")

    with pytest.raises(panic, match="from Python"):
        vb.process(vorda.LeakDc(), Panicking(), n=1)
    lean = "import sys, vorda; print(sorted(m for m in sys.modules if m.split('.')[0] == 'numpy'))"
    assert subprocess.run([sys.executable, "-c", lean], capture_output=True, text=True,
                          check=True).stdout.strip() == "[]"
    # Beside a vorda whose instances it does not know, the module refuses to load.
    impostor = ("import sys, types, vorda; fake = types.ModuleType('vorda');"
                "fake.__dict__.update(vars(vorda), SinOsc=int); sys.modules['vorda'] = fake;"
                "import vorda_blocks")
    refused = subprocess.run([sys.executable, "-c", impostor], capture_output=True, text=True)
    assert "ImportError: vorda_blocks does not match this vorda: the instances of SinOsc" \
        in refused.stderr
    exported = subprocess.run(["nm", "-D", "--defined-only", vb.__file__], capture_output=True,
                              text=True, check=True).stdout.splitlines()
    assert [line.split()[-1] for line in exported] == ["PyInit_vorda_blocks"]
