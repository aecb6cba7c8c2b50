"""The source distribution: it holds the source tree and nothing else, and
what pip builds from it, away from the checkout, computes what the tested
build computes and carries the project's metadata. The sdist and the wheel
built from it are scripts/wheels.sh's (the `dist` fixture, shared with
test_wheel.py, whose tries cover the block calls, a patch and the stubs in
the wheel's own environment)."""

import os
import shutil
import sys
import tarfile
import textwrap
from pathlib import Path

import pytest

from helpers import run_clean

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


def check(proc):
    assert proc.returncode == 0, f"{proc.args}\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    return proc.stdout


@pytest.fixture(scope="module")
def sdist(dist):
    (archive,) = dist[1].glob("*.tar.gz")
    return archive


@pytest.fixture(scope="module")
def installed(dist, tmp_path_factory):
    """The interpreter of a fresh environment holding vorda as pip built it
    from the sdist, and nothing else: the per-sample module needs only the
    standard library."""
    (wheel,) = dist[1].glob("*.whl")
    work = tmp_path_factory.mktemp("install")
    check(run_clean([sys.executable, "-m", "venv", work / "venv"], cwd=work))
    python = work / "venv" / "bin" / "python"
    check(run_clean([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                     "--no-deps", "--no-index", wheel], cwd=work))
    return python


def test_sdist_holds_the_source_tree_and_nothing_else(sdist):
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")
    listed = check(run_clean(["git", "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], cwd=ROOT))
    expected = {p for p in listed.split("\0") if p and (ROOT / p).is_file()}
    with tarfile.open(sdist) as tar:
        top = sdist.name.removesuffix(".tar.gz")
        shipped = {m.name.removeprefix(top + "/") for m in tar.getmembers() if m.isfile()}
    assert "LICENSE" in shipped
    assert shipped - {"PKG-INFO"} == expected, {
        "missing": sorted(expected - shipped), "extra": sorted(shipped - expected - {"PKG-INFO"})}


def test_per_sample_calls_give_what_the_tested_build_gives(installed, tmp_path):
    here = check(run_clean([sys.executable, "-c", PER_SAMPLE], cwd=tmp_path))
    assert check(run_clean([installed, "-c", PER_SAMPLE], cwd=tmp_path)) == here


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
    assert check(run_clean([installed, "-c", code], cwd=tmp_path)).splitlines() == [
        f"{version} MIT False", "Copyright (c) 2026 The vorda developers"]
