"""Instances and patches travel to other processes by pickle and continue there
bit for bit: fork and spawn workers, a process pool, and a Dask cluster started
here on loopback all render what one process renders."""
import multiprocessing
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vorda
import vorda_blocks as vb

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import render_batch  # noqa: E402

SR = 8000


def carry_on(obj, x):
    """In a worker: what the instance (or patch) it was sent gives next."""
    if isinstance(obj, vb.Patch):
        return obj.run(x=x)
    if isinstance(obj, vorda.WhiteNoise):
        return vb.process(obj, n=len(x))
    return vb.process(obj, x, 0.01)


def warmed():
    rng = np.random.default_rng(4)
    line, noise, lowpass = vorda.DelayL(SR, 0.05), vorda.WhiteNoise(), vorda.Biquad(0.3, 0.3, 0.3, -0.2, 0.1)
    vb.process(line, rng.standard_normal(500), 0.01)
    vb.process(noise, n=100)
    p = vb.Patch()
    x, f = p.input("x"), p.feedback(0.25)
    y = p.process(lowpass, p.process(vorda.DelayL(SR, 0.02), f, 0.005))
    f.set(x + 0.7 * y)
    p.output("y", y)
    p.run(x=rng.standard_normal(700))
    return [line, noise, p]


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_workers_continue_where_the_parent_stands(method):
    objects = warmed()
    x = np.random.default_rng(5).standard_normal(1000).astype(np.float32)
    with multiprocessing.get_context(method).Pool(2) as pool:
        remote = pool.starmap(carry_on, [(obj, x) for obj in objects])
    here = [carry_on(obj, x) for obj in objects]  # the parent's objects, after the workers'
    for a, b in zip(remote, here, strict=True):
        assert a.tobytes() == b.tobytes()


def contents(paths):
    return [path.read_bytes() for path in paths]


def test_a_pool_renders_every_variation_as_one_process_does(tmp_path):
    patch = render_batch.band(SR)
    patch.compile()
    batch = render_batch.variations(6)
    serial = render_batch.render_all(patch, batch, 0.4, SR, tmp_path / "serial", workers=0)
    pooled = render_batch.render_all(patch, batch, 0.4, SR, tmp_path / "pool", workers=2)
    assert contents(serial) == contents(pooled)
    # The variations differ, and the patch itself was not run.
    assert len(set(contents(serial))) == len(batch)
    assert all(f.value == 0.0 for f in patch.feedbacks)
    out = subprocess.run([sys.executable, str(EXAMPLES / "render_batch.py"), "--quick", "--serial",
                          "--out", str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert "x real time" in out.stdout and len(list((tmp_path / "batch").glob("*.wav"))) == 4


def test_a_batch_has_as_many_variations_as_asked_all_different():
    for count in (1, 6, 7, 48, 100):
        batch = render_batch.variations(count)
        assert [v.index for v in batch] == list(range(count))
        assert len({(v.seed, v.decay, v.pan) for v in batch}) == count


@pytest.mark.slow
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="checked by the plain run")
def test_a_local_dask_cluster_renders_what_one_process_renders(tmp_path):
    pytest.importorskip("dask.distributed")
    patch = render_batch.band(SR)
    patch.compile()
    batch = render_batch.variations(4)
    serial = render_batch.render_all(patch, batch, 0.3, SR, tmp_path / "serial", workers=0)
    with render_batch.dask_client(None, 2) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        assert client.scheduler.address.startswith("tcp://127.0.0.1:")
        clustered = render_batch.render_all(patch, batch, 0.3, SR, tmp_path / "dask", client=client)
    assert contents(serial) == contents(clustered)
