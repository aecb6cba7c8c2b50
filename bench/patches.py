#!/usr/bin/env python3
"""What a patch costs, next to the same network written by hand.

Three networks with one-sample feedback (a plucked string, a stereo reverb
of combs and allpasses, a four-line feedback delay network), each run as a
vorda_blocks patch and, side by side, as a plain C++ loop over the same
processors (bench/networks.cpp, compiled here), as the per-sample Python
loop users write today and, when Numba is installed, as a Numba loop
(bench/numba_nets.py). Then a patch without feedback against the same
stages called block by block, and two patches in two threads against one.
Every side must give the patch's bits before anything is timed. Ratios are
what count; see bench/README.md ("Patches") for how to read them.

    python bench/patches.py [--quick] [--rounds N] [--json PATH]
"""
import argparse
import math
import os
import statistics
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import Callable

# numpy's BLAS keeps threads of its own, which spin on the second core for a
# while after numpy is used; the thread rows need that core.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402
import vorda
import vorda_blocks as vb
from scipy import signal

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import (Floor, environment, fastest_interleaved, once_ns,  # noqa: E402
                    print_environment, print_threads, progress, ratio_stats, same_bits,
                    thread_row, timed_passes, write_json)

try:
    import numba
    import numba_nets
    NUMBA, NUMBA_SKIPPED = numba.__version__, None
except ImportError as e:  # the bench runs without it, one side short
    numba_nets = None
    NUMBA, NUMBA_SKIPPED = None, f"Numba is not importable here ({e})"

SR = 48000.0
N = 48000  # samples per run
THREADS_N = 192000  # long runs: the patch releases the interpreter lock
PYTHON_TARGET = 30.0  # a feedback network's patch at least this much faster than its Python loop
STAGES_TARGET = 1.0  # a patch without feedback no slower than its stages as blocks


def butterworth(cutoff):
    """A second-order low-pass as a Biquad's b0, b1, b2, a1, a2."""
    b, a = signal.butter(2, cutoff, fs=SR)
    return [*b, *a[1:]]


def string_delay_sec(lowpass, frequency):
    """The line's delay for a string loop of 1/frequency: the period less the
    low-pass's phase delay at that frequency and the feedback's one sample."""
    _, (response,) = signal.freqz(lowpass[:3], [1.0, *lowpass[3:]], worN=[frequency], fs=SR)
    delay = -np.angle(response) / (2.0 * np.pi * frequency / SR)
    return (SR / frequency - 1.0 - delay) / SR


def settings():
    """Every constant of the networks, by the name networks.cpp reads it
    (constants.txt): the C++ side gets them at run time, as the patch gets
    them from Python, so neither can fold them into its code."""
    k = {"rate": SR}
    # The string: a loop of 1/220 s.
    lowpass = butterworth(3000.0)
    k.update(ks_max_sec=0.01, ks_delay_sec=string_delay_sec(lowpass, 220.0), ks_damping=0.996,
             ks_coef=0.995, **dict(zip(("ks_b0", "ks_b1", "ks_b2", "ks_a1", "ks_a2"), lowpass)))
    # The reverb: the comb and allpass delays, the right side's 23 samples
    # longer; a one-pole low-pass (damping 0.2) in every comb's feedback;
    # allpass decays for a gain of about 0.5.
    combs = (1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617)
    allpasses = (556, 441, 341, 225)
    spread, damp = 23, 0.2
    k.update({f"fv_comb{i}": d + (i // 8) * spread for i, d in enumerate(combs * 2)})
    for i, d in enumerate(allpasses * 2):
        d += (i // 4) * spread
        k[f"fv_ap{i}"], k[f"fv_decay{i}"] = d, round(d * math.log(0.001) / math.log(0.5))
    k.update(fv_b0=1.0 - damp, fv_b1=0.0, fv_b2=0.0, fv_a1=-damp, fv_a2=0.0, fv_in_gain=0.015,
             fv_feedback=0.84)
    # The delay network.
    k.update({f"fdn_len{i}": d for i, d in enumerate((1031, 1327, 1523, 1871))}, fdn_gain=0.97)
    # The chorus: two taps swept in quadrature by a sine Lfo.
    k.update(ch_max_sec=0.03, ch_rate=0.8, ch_base1=0.012, ch_base2=0.017, ch_depth=0.003,
             ch_dry=0.6, ch_wet=0.4)
    # Python numbers, as a user's constants are (and as repr writes them).
    return {name: v.item() if isinstance(v, np.generic) else v for name, v in k.items()}


K = settings()


def inputs(n):
    """`x`: bursts of noise, a string's period long, four a second (a pluck
    for the string, a hit for the reverbs); `noise`: steady noise for the
    chorus."""
    rng = np.random.default_rng(1)
    x = np.zeros(n, np.float32)
    burst = 218
    for start in range(0, n - burst, 12000):
        x[start:start + burst] = rng.uniform(-1.0, 1.0, burst)
    return {"x": x, "noise": rng.uniform(-0.5, 0.5, n).astype(np.float32)}


def coefs(prefix):
    return [K[prefix + c] for c in ("b0", "b1", "b2", "a1", "a2")]


# ---------------------------------------------------------------- networks
# Each network three ways: its instances, its patch over them, and the loop
# users write today over them. The patch and the loop make the same calls
# with the same arithmetic between them, in the same order.


def karplus_make():
    line, lowpass = vorda.DelayL(SR, K["ks_max_sec"]), vorda.Biquad(*coefs("ks_"))
    return SimpleNamespace(line=line, lowpass=lowpass, dc=vorda.LeakDc(K["ks_coef"]), v=0.0)


def karplus_patch(net):
    p = vb.Patch()
    p.output("y", record_string(p, net, p.input("x"), K["ks_delay_sec"]))
    return p


def record_string(p, net, x, delay_sec):
    """One plucked string recorded into `p`, plucked by `x`: its output."""
    v = p.feedback()
    fed = p.process(net.line, v, delay_sec)
    damped = K["ks_damping"] * p.process(net.lowpass, fed)
    v.set(x + damped)
    return p.process(net.dc, damped)


# The Python loops are the loop a patch stands for, as its contract writes
# it (README, "Networks with feedback"): sample i of the input array read as
# a Python float, the outputs stored into float32 arrays.


def karplus_loop(net, x):
    line, lowpass, dc = net.line, net.lowpass, net.dc
    delay, damping = K["ks_delay_sec"], K["ks_damping"]
    v, y = net.v, np.empty(len(x), np.float32)
    for i in range(len(x)):
        xi = float(x[i])
        fed = line.process(v, delay)
        damped = damping * lowpass.process(fed)
        v = xi + damped
        y[i] = dc.process(damped)
    net.v = v
    return y


def reverb_make():
    combs = [(vorda.RingBufferS(K[f"fv_comb{i}"]), vorda.Biquad(*coefs("fv_")), K[f"fv_comb{i}"])
             for i in range(16)]
    allpasses = [(vorda.AllpassS(K[f"fv_ap{i}"]), K[f"fv_ap{i}"], K[f"fv_decay{i}"])
                 for i in range(8)]
    return SimpleNamespace(sides=[(combs[:8], allpasses[:4]), (combs[8:], allpasses[4:])])


def reverb_patch(net):
    p = vb.Patch()
    x = p.input("x")
    inp = K["fv_in_gain"] * x
    for name, (combs, allpasses) in zip(("left", "right"), net.sides):
        total = 0.0
        for ring, lowpass, delay in combs:
            d = p.read(ring, delay)
            p.write(ring, inp + K["fv_feedback"] * p.process(lowpass, d))
            total = total + d
        for allpass, delay, decay in allpasses:
            total = p.process(allpass, total, delay, decay)
        p.output(name, total)
    return p


def reverb_loop(net, x):
    in_gain, feedback = K["fv_in_gain"], K["fv_feedback"]
    left, right = np.empty(len(x), np.float32), np.empty(len(x), np.float32)
    for i in range(len(x)):
        inp = in_gain * float(x[i])
        for (combs, allpasses), out in zip(net.sides, (left, right)):
            total = 0.0
            for ring, lowpass, delay in combs:
                d = ring.read(delay)
                ring.write(inp + feedback * lowpass.process(d))
                total += d
            for allpass, delay, decay in allpasses:
                total = allpass.process(total, delay, decay)
            out[i] = total
    return left, right


def fdn_make():
    lengths = [K[f"fdn_len{i}"] for i in range(4)]
    return SimpleNamespace(lines=[vorda.DelayS(d) for d in lengths], lengths=lengths, v=[0.0] * 4)


def fdn_patch(net):
    p = vb.Patch()
    x = p.input("x")
    feedbacks = [p.feedback() for _ in net.lines]
    ys = [p.process(line, f, d) for line, f, d in zip(net.lines, feedbacks, net.lengths)]
    total = ys[0] + ys[1] + ys[2] + ys[3]
    half = 0.5 * total
    for f, y in zip(feedbacks, ys):
        f.set(x + K["fdn_gain"] * (y - half))
    p.output("y", total)
    return p


def fdn_loop(net, x):
    lines, lengths, gain = net.lines, net.lengths, K["fdn_gain"]
    vs, out = net.v, np.empty(len(x), np.float32)
    for i in range(len(x)):
        xi = float(x[i])
        ys = [line.process(v, d) for line, v, d in zip(lines, vs, lengths)]
        total = ys[0] + ys[1] + ys[2] + ys[3]
        half = 0.5 * total
        vs = [xi + gain * (y - half) for y in ys]
        out[i] = total
    net.v = vs
    return out


def chorus_make():
    return SimpleNamespace(lfo=vorda.Lfo(SR, 0),
                           taps=[vorda.DelayL(SR, K["ch_max_sec"]) for _ in range(2)])


def chorus_patch(net):
    p = vb.Patch()
    x = p.input("x")
    sine, cosine = p.process(net.lfo, K["ch_rate"])
    near = p.process(net.taps[0], x, K["ch_base1"] + K["ch_depth"] * sine)
    far = p.process(net.taps[1], x, K["ch_base2"] + K["ch_depth"] * cosine)
    p.output("y", K["ch_dry"] * x + K["ch_wet"] * (near + far))
    return p


def chorus_stages(net, x):
    """The same chorus as block calls, with numpy arithmetic in float64
    between them (the patch's Python floats; numpy would keep a float32
    array float32)."""
    sine, cosine = vb.process(net.lfo, K["ch_rate"], n=len(x))
    near = vb.process(net.taps[0], x, K["ch_base1"] + K["ch_depth"] * sine.astype(np.float64))
    far = vb.process(net.taps[1], x, K["ch_base2"] + K["ch_depth"] * cosine.astype(np.float64))
    wet = near.astype(np.float64) + far
    return (K["ch_dry"] * x.astype(np.float64) + K["ch_wet"] * wet).astype(np.float32)


def chorus_loop(net, x):
    lfo, (tap1, tap2) = net.lfo, net.taps
    rate, base1, base2, depth = K["ch_rate"], K["ch_base1"], K["ch_base2"], K["ch_depth"]
    dry, wet, y = K["ch_dry"], K["ch_wet"], np.empty(len(x), np.float32)
    for i in range(len(x)):
        xi = float(x[i])
        sine, cosine = lfo.process(rate)
        near = tap1.process(xi, base1 + depth * sine)
        far = tap2.process(xi, base2 + depth * cosine)
        y[i] = dry * xi + wet * (near + far)
    return y


@dataclass
class Network:
    name: str  # networks.cpp's case, numba_nets' network
    title: str
    limit: float  # the patch at most this many times the C++ loop
    make: Callable
    patch: Callable
    loop: Callable
    samples: dict = field(
        default_factory=lambda: {k: [] for k in ("patch", "floor", "numba", "python")})


NETWORKS = [
    Network("karplus", "plucked string", 2.0, karplus_make, karplus_patch, karplus_loop),
    Network("reverb", "stereo reverb", 1.5, reverb_make, reverb_patch, reverb_loop),
    Network("fdn", "delay network", 1.5, fdn_make, fdn_patch, fdn_loop),
]


def outputs_of(result):
    """A run's outputs as a list of float32 arrays."""
    if isinstance(result, tuple):
        return [np.asarray(r, np.float32) for r in result]
    if isinstance(result, np.ndarray) and result.ndim == 1:
        return [result]
    if result and isinstance(result[0], list):
        return [np.array(r, np.float32) for r in result]
    return [np.array(result, np.float32)]


def check_agreement(floor, data, lists, tmp):
    """Every side, from fresh instances, gives the patch's bits; a ratio
    between loops that did different work would mean nothing. Returns the
    sides compared, by network."""
    x, n = data["x"], len(data["x"])
    compared = {}
    for net in NETWORKS:
        theirs = outputs_of(net.patch(net.make()).run(x=x))
        sides = {"the Python loop": outputs_of(net.loop(net.make(), x)),
                 "networks.cpp": floor.first_pass(net.name, tmp / "check.bin", n, len(theirs))}
        if numba_nets:
            sides["Numba"] = outputs_of(numba_nets.NETWORKS[net.name](K).run(x))
        for side, ours in sides.items():
            if len(ours) != len(theirs) or not all(map(same_bits, ours, theirs)):
                sys.exit(f"bench: {net.title}: the patch and {side} disagree")
        compared[net.name] = list(sides)
    chorus = chorus_patch(chorus_make()).run(x=data["noise"])
    if not (same_bits(chorus_stages(chorus_make(), data["noise"]), chorus)
            and same_bits(chorus_loop(chorus_make(), data["noise"]), chorus)):
        sys.exit("bench: chorus: the patch, its stages and its Python loop disagree")
    compared["chorus"] = ["the stages", "the Python loop"]
    return compared


def measure_networks(floor, data, lists, rounds, budget):
    """Rounds are the outer loop; in each, every network's patch, C++ loop
    and Numba loop take turns pass by pass, and its Python loop runs once;
    the networks, and the Python loop's place, alternate from round to
    round."""
    x, n = data["x"], len(data["x"])
    timers = []
    for net in NETWORKS:
        patch, ours = net.patch(net.make()), net.make()
        run = lambda patch=patch: patch.run(x=x)  # noqa: E731
        sides = {"patch": lambda run=run: once_ns(run, n),
                 # A fresh network and an untimed pass, then one timed pass.
                 "floor": lambda name=net.name: floor.time(name, 1)}
        if numba_nets:
            model = numba_nets.NETWORKS[net.name](K)
            model.run(x)  # compiled before it is timed
            sides["numba"] = lambda model=model: once_ns(lambda: model.run(x), n)
        loop = lambda net=net, ours=ours: net.loop(ours, x)  # noqa: E731
        python = lambda loop=loop: once_ns(loop, n)  # noqa: E731
        timers.append((net, timed_passes(run, budget, n), sides, python))
    for r in progress(range(rounds), "patch rounds"):
        for net, passes, sides, python in timers if r % 2 == 0 else timers[::-1]:
            if r % 2:
                net.samples["python"].append(python())
            for kind, ns in fastest_interleaved(passes, sides).items():
                net.samples[kind].append(ns)
            if r % 2 == 0:
                net.samples["python"].append(python())
    return [network_row(net) for net in NETWORKS]


def network_row(net):
    s = net.samples
    ratio, iqr = ratio_stats(s["patch"], s["floor"])
    speedup, _ = ratio_stats(s["python"], s["patch"])
    missed = [name for name, met in (("floor", ratio <= net.limit),
                                     ("python", speedup >= PYTHON_TARGET)) if not met]
    # The Python loop's time over the C++ loop's: the most a patch can gain
    # over the Python loop without being faster than plain C++.
    reach, _ = ratio_stats(s["python"], s["floor"])
    row = {"network": net.title, "case": net.name,
           "ns_per_sample": {k: statistics.median(v) for k, v in s.items() if v},
           "floor_ratio": ratio, "floor_iqr": iqr, "floor_limit": net.limit,
           "python_speedup": speedup, "python_limit": PYTHON_TARGET, "python_over_floor": reach,
           "met": not missed, "missed": missed}
    if s["numba"]:
        row["numba_ratio"] = ratio_stats(s["patch"], s["numba"])[0]
    return row


def measure_feedforward(data, lists, rounds, budget):
    """The chorus as one patch against its stages as block calls with numpy
    between them, taking turns pass by pass, and against its Python loop
    (shown, without a target)."""
    x, n = data["noise"], len(data["noise"])
    patch, staged, looped = chorus_patch(chorus_make()), chorus_make(), chorus_make()
    sides = {"patch": lambda: once_ns(lambda: patch.run(x=x), n),
             "stages": lambda: once_ns(lambda: chorus_stages(staged, x), n)}
    passes = timed_passes(lambda: chorus_stages(staged, x), budget, n)
    samples = {"patch": [], "stages": [], "python": []}
    for _ in progress(range(rounds), "chorus rounds"):
        for kind, ns in fastest_interleaved(passes, sides).items():
            samples[kind].append(ns)
        samples["python"].append(once_ns(lambda: chorus_loop(looped, x), n))
    ratio, iqr = ratio_stats(samples["stages"], samples["patch"])
    speedup, _ = ratio_stats(samples["python"], samples["patch"])
    # The Python loop's speed-up is shown, not held to a target: the chorus
    # is compared with its stages, the feedback networks with their loops.
    missed = [] if ratio >= STAGES_TARGET else ["stages"]
    return {"network": "chorus",
            "ns_per_sample": {k: statistics.median(v) for k, v in samples.items()},
            "stages_ratio": ratio, "stages_iqr": iqr, "stages_limit": STAGES_TARGET,
            "python_speedup": speedup, "met": not missed, "missed": missed}


def measure_threads(rounds, budget):
    """Each network's patch on instances of its own in each of two threads."""
    x = inputs(THREADS_N)["x"]
    return [thread_row(net.title, THREADS_N, lambda net=net: net.patch(net.make()),
                       lambda p: p.run(x=x), rounds, budget) for net in NETWORKS]


# ---------------------------------------------------------------- report


def verdict(row):
    return "ok" if row["met"] else "MISS " + ", ".join(row["missed"])


def print_report(result):
    print(f"n = {result['n']}, median of {result['rounds']} rounds of per-round ratios; "
          "ns per sample for scale")
    print()
    header = (f"{'network':<16} {'floor':>6} {'patch':>6} {'numba':>6} {'python':>7} "
              f"{'x floor':>7} {'iqr':>5} {'limit':>6} {'x numba':>7} {'speed-up':>8} "
              f"{'limit':>6} {'py/floor':>8}  target")
    print(header)
    print("-" * len(header))
    for row in result["networks"]:
        ns = row["ns_per_sample"]
        numba_ns = f"{ns['numba']:>6.2f}" if "numba" in ns else f"{'-':>6}"
        numba_ratio = f"{row['numba_ratio']:>7.2f}" if "numba_ratio" in row else f"{'-':>7}"
        print(f"{row['network']:<16} {ns['floor']:>6.2f} {ns['patch']:>6.2f} {numba_ns} "
              f"{ns['python']:>7.0f} {row['floor_ratio']:>7.2f} {row['floor_iqr']:>5.2f} "
              f"{'<=' + format(row['floor_limit'], '.1f'):>6} {numba_ratio} "
              f"{row['python_speedup']:>8.1f} {'>=' + format(row['python_limit'], '.0f'):>6} "
              f"{row['python_over_floor']:>8.1f}  {verdict(row)}")
    print()
    if result["numba"]["skipped"]:
        print(f"numba    skipped: {result['numba']['skipped']}")
        print()
    ff = result["feedforward"]
    ns = ff["ns_per_sample"]
    print("without feedback: the chorus's stages as block calls (numpy between them) "
          "over the patch")
    print(f"  stages {ns['stages']:.2f}, patch {ns['patch']:.2f}, python {ns['python']:.0f} ns "
          f"per sample   stages/patch {ff['stages_ratio']:.2f}  iqr {ff['stages_iqr']:.2f}  >=1   "
          f"speed-up {ff['python_speedup']:.1f}  {verdict(ff)}")
    print()
    threads = result.get("threads", [])
    if threads:
        print_threads(threads, "runs", width=16)
    missed = [f"{r['network']} ({', '.join(r['missed'])})" for r in result["networks"] + [ff]
              if r["missed"]]
    missed += [f"{r['call']} (threads)" for r in threads if not r["met"]]
    count = 2 * len(result["networks"]) + 1 + len(threads)
    misses = sum(len(r["missed"]) for r in result["networks"] + [ff])
    misses += sum(not r["met"] for r in threads)
    print(f"targets met: {count - misses} of {count}"
          + (f"; missed: {'; '.join(missed)}" if missed else ""))


# ---------------------------------------------------------------- main


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="timing rounds (default 15, 3 with --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="short rounds and few of them: a smoke run, not a measurement")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    args = parser.parse_args(argv)
    if args.rounds is not None and args.rounds < 2:
        parser.error("--rounds needs at least 2 for a median and a spread")
    rounds = args.rounds or (3 if args.quick else 15)
    budget = 0.002 if args.quick else 0.01  # seconds per timing
    env = environment()
    print_environment(env)
    result = {"environment": env, "rounds": rounds, "n": N,
              "numba": {"version": NUMBA, "skipped": NUMBA_SKIPPED}}
    data = inputs(N)
    lists = {name: values.tolist() for name, values in data.items()}
    with tempfile.TemporaryDirectory(prefix="vorda-networks-") as tmp:
        floor = Floor(Path(tmp), data, K, source="networks.cpp")
        try:
            missing = {net.name for net in NETWORKS} - set(floor.ask("list"))
            if missing:
                sys.exit(f"bench: networks.cpp has no {', '.join(sorted(missing))}")
            result["same_bits_as_the_patch"] = check_agreement(floor, data, lists, Path(tmp))
            result["networks"] = measure_networks(floor, data, lists, rounds, budget)
        finally:
            floor.close()
    result["feedforward"] = measure_feedforward(data, lists, rounds, budget)
    # A run of the reverb takes 15 ms: timings of a quarter second hold enough
    # of them that starting the threads is not what is measured.
    result["threads"] = measure_threads(rounds, 0.01 if args.quick else 0.25)
    print_report(result)
    if args.json:
        write_json(args.json, result)


if __name__ == "__main__":
    main()
