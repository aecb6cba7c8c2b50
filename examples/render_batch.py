"""
A batch of variations in parallel
=================================

Renders a batch of variations of one patch in parallel, each file bit for bit
what a serial render in one process writes.

The patch is a small string band: five plucked strings tuned to an A minor
chord (each a DelayL loop with a Biquad low-pass inside it, as in
plucked_string.py), a LeakDc, and pan2 placing the band. It is built and
compiled once, here; every variation starts from that state, with its own seed
(the noise bursts and the humanised timing of a strummed phrase), decay time and
pan position. The patch reaches the workers by pickle: a local process pool by
default, or a Dask cluster (`--scheduler ADDRESS` for a running one,
`--local-cluster N` to start one of N worker processes on this machine).

    python examples/render_batch.py [--variations K] [--seconds S]
        [--workers N | --serial | --scheduler ADDRESS | --local-cluster N] [--quick] [--out DIR]

writes DIR/batch/variation_NNN.wav (each worker writes its own files: with a
remote cluster, DIR must be storage the workers share) and prints how long
the batch took, files written included.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import copy
import itertools
import os
import random
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

import vorda
import vorda_blocks as vb
from _util import Signal, example_args, midi_hz, normalize, write_wav
from filter_sweep import lowpass_coefs
from plucked_string import phase_delay

SAMPLE_RATE = 48000
CHORD = [45, 52, 57, 60, 64]  # A2 E3 A3 C4 E4
STRUM_EVERY = 0.5  # seconds
DECAYS, PANS = (0.8, 2.0, 5.0), (-0.5, 0.5)


@dataclass(frozen=True)
class Variation:
    index: int
    seed: int
    decay: float  # seconds for a string's fundamental to fall by 60 dB
    pan: float


def band(sample_rate: int) -> vb.Patch:
    """The string band. Inputs: `burst{k}` excites string k, `gain{k}` is its
    loop gain, `pan` places the band; outputs `left` and `right`."""
    p = vb.Patch()
    strings: vb.Value | float = 0.0
    for k, note in enumerate(CHORD):
        frequency = midi_hz(note)
        coefs = lowpass_coefs(min(12.0 * frequency, 0.45 * sample_rate), 0.7071, sample_rate)
        # The loop: the delay line, the one sample of the feedback and the
        # filter's phase delay at the fundamental make one period.
        delay = sample_rate / frequency - 1.0 - phase_delay(coefs, frequency, sample_rate)
        line = vorda.DelayL(sample_rate, (delay + 2.0) / sample_rate)
        v = p.feedback(name=f"string {k}")
        damped = p.process(vorda.Biquad(*coefs), p.process(line, v, delay / sample_rate))
        v.set(p.input(f"burst{k}") + p.input(f"gain{k}") * damped)
        strings = strings + damped
    left, right = p.pan2(p.process(vorda.LeakDc(), 0.3 * strings), p.input("pan"))
    p.output("left", left)
    p.output("right", right)
    return p


def excitations(variation: Variation, n: int, sample_rate: int) -> dict[str, Any]:
    """A strummed phrase: every STRUM_EVERY seconds the strings are plucked low
    to high (high to low on the off-beats), a few milliseconds apart, each by
    a burst of noise one period long."""
    rng = random.Random(variation.seed)
    noise = vorda.WhiteNoise(variation.seed)
    bursts = [np.zeros(n, np.float32) for _ in CHORD]
    for strum, start in enumerate(np.arange(0.0, n / sample_rate, STRUM_EVERY)):
        order = range(len(CHORD)) if strum % 2 == 0 else reversed(range(len(CHORD)))
        velocity = 0.6 + 0.4 * rng.random() if strum % 2 else 0.9 + 0.1 * rng.random()
        for step, k in enumerate(order):
            at = round((start + 0.012 * step + 0.004 * rng.random()) * sample_rate)
            length = min(round(sample_rate / midi_hz(CHORD[k])), n - at)
            if length > 0:
                bursts[k][at : at + length] += velocity * vb.process(noise, n=length)
    given: dict[str, Any] = {f"burst{k}": b for k, b in enumerate(bursts)}
    for k, note in enumerate(CHORD):
        given[f"gain{k}"] = 0.001 ** (1.0 / (midi_hz(note) * variation.decay))
    given["pan"] = variation.pan
    return given


def render(patch: vb.Patch, variation: Variation, seconds: float, sample_rate: int) -> tuple[Signal, Signal]:
    """One variation, from the state `patch` is in. The patch is copied first:
    a worker may hand one unpickled patch to several variations."""
    voice = copy.copy(patch)
    n = round(seconds * sample_rate)
    out = voice.run(**excitations(variation, n, sample_rate))
    assert isinstance(out, tuple)
    out_l, out_r = normalize(*out)
    return out_l, out_r


def render_file(patch: vb.Patch, variation: Variation, seconds: float, sample_rate: int, out: Path) -> Path:
    """One variation rendered and written where the work is done: only the
    file's name travels back (the samples would cost more to send than to
    render)."""
    left, right = render(patch, variation, seconds, sample_rate)
    return write_wav(out / f"variation_{variation.index:03d}.wav", sample_rate, left, right)


def variations(count: int) -> list[Variation]:
    """`count` variations: every decay and pan under seed 1, then under seed 2, and so on."""
    per_seed = list(itertools.product(DECAYS, PANS))
    return [Variation(i, 1 + i // len(per_seed), *per_seed[i % len(per_seed)]) for i in range(count)]


def render_all(
    patch: vb.Patch,
    batch: Sequence[Variation],
    seconds: float,
    sample_rate: int,
    out: Path,
    workers: int | None = None,
    client: Any = None,
) -> list[Path]:
    """Renders the batch into `out`: in this process (workers=0), on a
    process pool of `workers`, or on a Dask cluster through `client` (whose
    workers must be able to write to `out`). The same files whichever."""
    out.mkdir(parents=True, exist_ok=True)
    count = len(batch)
    args = ([patch] * count, list(batch), [seconds] * count, [sample_rate] * count, [out] * count)
    if client is not None:
        # Dask pickles the patch once per worker; each task copies it.
        remote = client.scatter(patch, broadcast=True)
        futures = client.map(render_file, [remote] * count, *args[1:], pure=False)
        paths: list[Path] = client.gather(futures)
        return paths
    if workers == 0:
        return [render_file(*a) for a in zip(*args)]
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(render_file, *args))


@contextlib.contextmanager
def dask_client(scheduler: str | None, local_cluster: int | None) -> Iterator[Any]:
    """A client of the running scheduler, or of a cluster of `local_cluster`
    worker processes started here (on loopback) and stopped afterwards."""
    from dask.distributed import Client, LocalCluster

    if local_cluster is None:
        with Client(scheduler) as client:
            yield client
        return
    with LocalCluster(
        n_workers=local_cluster, threads_per_worker=1, processes=True,
        host="127.0.0.1", dashboard_address=None,
    ) as cluster, Client(cluster) as client:  # fmt: skip
        yield client


def main() -> None:
    parser = example_args(__doc__)
    parser.add_argument("--variations", type=int, default=24, help="how many (default: 24)")
    parser.add_argument("--seconds", type=float, default=4.0, help="length of each (default: 4)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--workers", type=int, default=os.cpu_count(), help="pool size (default: all cores)")
    mode.add_argument("--serial", action="store_true", help="render in this process, one by one")
    mode.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786")
    mode.add_argument("--local-cluster", type=int, metavar="N", help="start a Dask cluster of N worker processes")
    args = parser.parse_args()
    count, seconds = (4, 0.5) if args.quick else (args.variations, args.seconds)
    if count < 1 or seconds <= 0:
        parser.error("--variations must be at least 1 and --seconds positive")

    patch = band(SAMPLE_RATE)
    patch.compile()
    batch = variations(count)
    with contextlib.ExitStack() as stack:
        client = None
        if args.scheduler or args.local_cluster:
            client = stack.enter_context(dask_client(args.scheduler, args.local_cluster))
            where = f"the Dask cluster at {client.scheduler.address}"
        else:
            where = "this process" if args.serial else f"a pool of {args.workers} processes"
        started = time.perf_counter()
        paths = render_all(patch, batch, seconds, SAMPLE_RATE, args.out / "batch",
                           workers=0 if args.serial else args.workers, client=client)
        elapsed = time.perf_counter() - started
    audio = count * seconds
    print(f"wrote {len(paths)} files to {args.out / 'batch'}")
    print(f"rendered {count} variations ({audio:g} s of audio) on {where} in {elapsed:.2f} s: "
          f"{audio / elapsed:.1f}x real time")


if __name__ == "__main__":
    main()
