"""The source distribution on its own: it holds the source tree and nothing
else, and it builds and installs into a fresh environment away from the
checkout, where both modules, their stubs and the metadata work."""

import importlib.metadata
import os
import shutil
import subprocess
import sys
import tarfile
import textwrap
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]

pytestmark = [
    pytest.mark.slow,
    # The sanitized build is what that run is about; this one would only run
    # pip and the compiler under the preloaded runtime, at several times the cost.
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="checked by the plain run"),
]

# Calls whose results must not depend on whether the module was built from the
# checkout or from the unpacked sdist.
PER_SAMPLE = textwrap.dedent("""
    import vorda
    noise, osc = vorda.WhiteNoise(seed=7), vorda.SinOsc(48000.0)
    comb, bq = vorda.CombL(48000.0, 0.01), vorda.Biquad(0.2, 0.4, 0.2, -0.5, 0.25)
    out = []
    for n in range(64):
        x = noise.process() + osc.process(440.0 + n)
        out.append((comb.process(x, 0.001, -0.05), bq.process(x), vorda.pan2(x, n / 32 - 1)))
    print(repr(out))
""")

BLOCK = textwrap.dedent("""
    import numpy as np, vorda, vorda_blocks as vb
    d, twin = vorda.DelayS(4), vorda.DelayS(4)
    x = np.arange(8, dtype=np.float32)
    y = vb.process(d, x, 2)
    expected = [twin.process(float(v), 2) for v in x]
    assert [float(v) for v in y] == expected, (y, expected)
    # The block call leaves the instance where the per-sample calls leave it.
    after = [(d.process(-1.0, k), twin.process(-1.0, k)) for k in range(4)]
    assert all(a == b for a, b in after), after
    print("ok")
""")


def run(args, cwd, timeout=600):
    # Nothing of the checkout or of the test environment may reach the fresh
    # interpreter through the environment.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)


def check(proc):
    assert proc.returncode == 0, f"{proc.args}\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    return proc.stdout


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    check(run([sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT], cwd=out))
    (archive,) = out.glob("*.tar.gz")
    return archive


@pytest.fixture(scope="module")
def installed(sdist, tmp_path_factory):
    """The interpreter of a fresh environment holding vorda built from the sdist."""
    work = tmp_path_factory.mktemp("install")
    with tarfile.open(sdist) as tar:
        if hasattr(tarfile, "data_filter"):
            tar.extractall(work, filter="data")
        else:
            tar.extractall(work)
    (source,) = [p for p in work.iterdir() if p.is_dir()]
    check(run([sys.executable, "-m", "venv", work / "venv"], cwd=work))
    python = work / "venv" / "bin" / "python"
    # The same numpy and mypy as here: what differs is only how vorda was built.
    check(run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
               source, f"numpy=={np.__version__}",
               f"mypy=={importlib.metadata.version('mypy')}"], cwd=work))
    # The sources go away, so nothing can be found there by accident.
    shutil.rmtree(source)
    return python


def test_sdist_holds_the_source_tree_and_nothing_else(sdist):
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")
    listed = check(run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                       cwd=ROOT))
    expected = {p for p in listed.split("\0") if p and (ROOT / p).is_file()}
    with tarfile.open(sdist) as tar:
        top = sdist.name.removesuffix(".tar.gz")
        shipped = {m.name.removeprefix(top + "/") for m in tar.getmembers() if m.isfile()}
    assert "LICENSE" in shipped
    assert shipped - {"PKG-INFO"} == expected, {
        "missing": sorted(expected - shipped), "extra": sorted(shipped - expected - {"PKG-INFO"})}


def test_per_sample_calls_give_what_the_tested_build_gives(installed, tmp_path):
    here = check(run([sys.executable, "-c", PER_SAMPLE], cwd=tmp_path))
    assert check(run([installed, "-c", PER_SAMPLE], cwd=tmp_path)) == here


def test_block_call_gives_what_the_per_sample_loop_gives(installed, tmp_path):
    assert check(run([installed, "-c", BLOCK], cwd=tmp_path)).strip() == "ok"


def test_installed_stubs_agree_with_the_installed_modules(installed, tmp_path):
    check(run([installed, "-m", "mypy.stubtest", "vorda", "vorda_blocks"], cwd=tmp_path))


def test_version_and_license_come_from_the_metadata(installed, sdist, tmp_path):
    code = textwrap.dedent("""
        import importlib.metadata as md, vorda
        dist = md.distribution("vorda")
        (license_file,) = [f for f in dist.files if f.name == "LICENSE"]
        print(md.version("vorda"), dist.metadata["License-Expression"],
              hasattr(vorda, "__version__"))
        print(license_file.read_text().splitlines()[2])
    """)
    version = sdist.name.removeprefix("vorda-").removesuffix(".tar.gz")
    assert check(run([installed, "-c", code], cwd=tmp_path)).splitlines() == [
        f"{version} MIT False", "Copyright (c) 2026 The vorda developers"]
