"""The vector paths give the per-sample calls' bits: delay lines, combs and
allpasses a span at a time (constant delays, reads ahead of writes, spans
that wrap around the ring), filters side by side in vector lanes, on every
instruction set the kernels are built for (this file runs itself again with
VORDA_ISA=baseline); long calls stop on Ctrl-C between pieces; float64
arrays at any alignment."""
import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vorda
import vorda_blocks as vb

SR = 48000.0
SPECIAL = [math.nan, math.inf, -math.inf, 1e-40, -1e-42, 3e38, -0.0]


def signal_of(rng, n, special):
    """Noise with NaN, infinities, subnormals and huge values sprinkled in."""
    x = rng.standard_normal(n).astype(np.float32)
    if special:
        at = rng.choice(n, size=min(n, 6), replace=False)
        x[at] = rng.choice(SPECIAL, size=at.size)
    return x


def bits(a):
    """Bit patterns, every NaN counting as one: where two NaNs meet the hardware
    keeps one operand's sign and payload, and which depends on how the compiler
    ordered a commutative operation."""
    a = np.asarray(a, np.float32)
    return np.where(np.isnan(a), np.float32(math.nan), a).view(np.uint32)


# Every class whose steps can run a span at a time, with a maximum delay of
# `size` samples and a constant delay (and decay) for it.
def make_delay(name, size):
    cls = getattr(vorda, name)
    if name.endswith("S"):
        return cls(size)
    return cls(SR, size / SR)


def delay_args(name, delay, decay):
    """The delay (and decay) as the class takes them: whole samples for S,
    seconds for N and L (with a fraction for L's interpolation)."""
    if name.endswith("S"):
        args = [int(delay)]
        decay_arg = int(abs(decay))  # a count: CombS and AllpassS take no negative decay
    else:
        args = [delay / SR]
        decay_arg = decay / SR
    return args + ([decay_arg] if not name.startswith("Delay") else [])


SPAN_CLASSES = ["DelayS", "DelayN", "DelayL", "CombS", "CombN", "CombL",
                "AllpassS", "AllpassN", "AllpassL"]


@settings(max_examples=60, deadline=None)
@given(name=st.sampled_from(SPAN_CLASSES),
       log_size=st.integers(4, 10),
       delay=st.one_of(st.integers(1, 40), st.integers(200, 300), st.integers(0, 1100)),
       fraction=st.sampled_from([0.0, 0.25, 0.999]),
       decay=st.sampled_from([-3000.0, -7.0, 0.0, 5.0, 9000.0]),
       lead=st.integers(0, 2100), n=st.integers(0, 4500), special=st.booleans(),
       seed=st.integers(0, 2**32 - 1))
def test_constant_delays_give_the_per_sample_bits_in_blocks_and_patches(
        name, log_size, delay, fraction, decay, lead, n, special, seed):
    """A block call and a one-operation patch with a constant delay (run a
    span at a time where the delay reaches back far enough) against the
    per-sample calls: delays around a vector and a span long, past the ring
    (they wrap), rings written any number of times before (so a span wraps
    where the ring does), and inputs with NaN, infinities and subnormals."""
    rng = np.random.default_rng(seed)
    size = 2**log_size
    args = delay_args(name, delay + fraction, decay)
    block, patched, loop = (make_delay(name, size) for _ in range(3))
    warm = signal_of(rng, lead, special)
    for obj in (block, patched, loop):
        vb.process(obj, warm, *args)
    x = signal_of(rng, n, special)
    want = np.array([loop.process(float(v), *args) for v in x], np.float32)
    got = vb.process(block, x, *args)
    p = vb.Patch()
    p.output("y", p.process(patched, p.input("x"), *args))
    from_patch = p.run(x=x.astype(np.float64) if seed % 2 else x)
    assert np.array_equal(bits(got), bits(want)), (name, size, args, lead)
    assert np.array_equal(bits(from_patch), bits(want)), (name, size, args, lead)
    # The state goes on where the per-sample calls left theirs.
    tail = signal_of(rng, 70, special)
    follow = np.array([loop.process(float(v), *args) for v in tail], np.float32)
    for obj in (block, patched):
        assert np.array_equal(bits(vb.process(obj, tail, *args)), bits(follow))


@pytest.mark.parametrize("name", ["CombN", "DelayL", "CombS"])
def test_a_loop_through_a_long_delay_reads_ahead_in_the_per_sample_bits(name):
    """A loop through a delay line whose delay is longer than a chunk is split
    into its reads ahead of the chunk and its writes; both halves are spans."""
    rng = np.random.default_rng(3)
    size = 1024
    args = delay_args(name, 301.5, 4000.0)
    line, twin = make_delay(name, size), make_delay(name, size)
    p = vb.Patch()
    x = p.input("x")
    fb = p.feedback(0.0)
    y = p.process(line, x + 0.5 * fb, *args)
    fb.set(y)
    p.output("y", y)
    xs = signal_of(rng, 5000, True)
    got = p.run(x=xs)
    assert any(kind == "block" and "(read ahead)" in ops for kind, ops in p.schedule)
    state, want = 0.0, []
    for v in xs:
        out = twin.process(float(v) + 0.5 * state, *args)
        state = out
        want.append(out)
    assert np.array_equal(bits(got), bits(want))


LANE_CLASSES = {
    "Biquad": lambda rng: vorda.Biquad(*rng.uniform(-0.9, 0.9, 5)),
    "LeakDc": lambda rng: vorda.LeakDc(float(rng.uniform(0.9, 1.0))),
}


@pytest.mark.parametrize("count", [1, 2, 3, 4, 5, 7, 8, 9, 13])
@pytest.mark.parametrize("name", sorted(LANE_CLASSES))
def test_filters_side_by_side_give_each_filter_its_own_bits(name, count):
    """Independent filters of one class run in vector lanes, each lane its
    own filter's state: counts that fill the vector, fall short of it and
    spill over, each lane with an input of its own."""
    rng = np.random.default_rng(count)
    filters = [LANE_CLASSES[name](rng) for _ in range(count)]
    twins = [vb.restore(vb.snapshot(f)) for f in filters]
    warm = signal_of(rng, 9, False)
    for f, t in zip(filters, twins):  # states of their own before the patch runs
        for v in warm * rng.uniform(0.5, 2.0):
            f.process(float(v))
            t.process(float(v))
    p = vb.Patch()
    x = p.input("x")
    for k, f in enumerate(filters):
        p.output(f"y{k}", p.process(f, x * (k + 1) - k))
    xs = signal_of(rng, 700, special=count % 2 == 1)
    got = p.run(x=xs)
    got = got if isinstance(got, tuple) else (got,)
    if count > 1:
        assert any(kind == "side by side" for kind, _ in p.schedule), p.schedule
    for k, t in enumerate(twins):
        want = [t.process(float(v) * (k + 1) - k) for v in xs]
        assert np.array_equal(bits(got[k]), bits(want)), k
    if count % 2 == 0:  # without NaNs (whose sign may differ), the very same state
        assert [vb.snapshot(f) for f in filters] == [vb.snapshot(t) for t in twins]


@pytest.mark.skipif(os.environ.get("VORDA_ISA") == "baseline" or vb.instruction_set == "baseline",
                    reason="the baseline build is the one running")
def test_the_baseline_build_gives_the_same_bits():
    """This file again, with the kernels built for the baseline forced."""
    env = dict(os.environ, VORDA_ISA="baseline")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
                         capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    assert " passed" in run.stdout and "failed" not in run.stdout


def test_the_build_is_chosen_from_the_cpu_and_can_be_forced():
    code = "import vorda_blocks as vb; print(vb.instruction_set)"
    forced = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=dict(os.environ, VORDA_ISA="baseline"), check=True)
    assert forced.stdout.strip() == "baseline"
    assert vb.instruction_set in ("baseline", "x86-64-v3")


# --- Arrays at any alignment ----------------------------------------------------

def test_float64_arrays_at_any_alignment_read_as_their_aligned_copies():
    """numpy allows a float64 array at an odd address (a view into bytes);
    every path reads it as it reads an aligned copy."""
    for offset in range(1, 8):
        values = np.random.default_rng(offset).standard_normal(40)
        odd = np.frombuffer(bytearray(offset) + values.tobytes(), np.float64, offset=offset)
        aligned = values.copy()
        assert odd.ctypes.data % 8 != 0
        ring, ring2 = vorda.RingBufferS(64), vorda.RingBufferS(64)
        vb.write(ring, odd)
        vb.write(ring2, aligned)
        assert vb.snapshot(ring) == vb.snapshot(ring2)
        assert np.array_equal(vb.process(vorda.CombN(SR, 0.01), odd, 0.001, 1.0),
                              vb.process(vorda.CombN(SR, 0.01), aligned, 0.001, 1.0))
        assert np.array_equal(np.array(vb.pan2(odd, odd)), np.array(vb.pan2(aligned, aligned)))
        p = vb.Patch()
        p.output("y", p.process(vorda.DelayL(SR, 0.01), p.input("x"), p.input("d")))
        q = vb.Patch()
        q.output("y", q.process(vorda.DelayL(SR, 0.01), q.input("x"), q.input("d")))
        assert np.array_equal(p.run(x=odd, d=np.abs(odd) * 1e-3),
                              q.run(x=aligned, d=np.abs(aligned) * 1e-3))


# --- Ctrl-C -------------------------------------------------------------------------

INTERRUPTED = {
    "block": """
        ring = vorda.RingBufferS(4)
        print("started", flush=True)
        try:
            vb.write(ring, 0.5, n=2**62)
        except KeyboardInterrupt:
            print("interrupted", ring.read(1), ring.read(4), flush=True)
    """,
    "patch": """
        osc, twin = vorda.SinOsc(48000.0), vorda.SinOsc(48000.0)
        p = vb.Patch()
        count = p.feedback(0.0)
        count.set(count + 1.0)
        p.process(osc, p.input("f"))
        p.compile()
        print("started", flush=True)
        try:
            p.run(n=2**62, f=440.0)
        except KeyboardInterrupt:
            done = int(count.value)
            vb.process(twin, 440.0, n=done)
            print("interrupted", done % p.chunk == 0 and done > 0, osc.phase == twin.phase,
                  flush=True)
    """,
}


@pytest.mark.parametrize("kind", sorted(INTERRUPTED))
def test_ctrl_c_stops_a_long_call_between_two_pieces(kind):
    """A call with nothing to allocate can run for ever: Ctrl-C stops it
    within a moment, at a piece's end, the instances as the samples so far
    left them, and raises KeyboardInterrupt."""
    code = "import vorda, vorda_blocks as vb\n" + textwrap.dedent(INTERRUPTED[kind])
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().split()
        waited = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    expected = {"block": ["interrupted", "0.5", "0.5"], "patch": ["interrupted", "True", "True"]}
    assert line == expected[kind]
    assert waited < 5.0  # about 50 ms here; the bound leaves room for a loaded machine
