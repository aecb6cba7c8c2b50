"""The wheel users install: built from the sdist for this interpreter by
scripts/wheels.sh, repaired to its manylinux tag, checked by twine, then
installed from the wheel alone into a fresh environment and tried there by
scripts/try_wheel.py, the path `make wheels` takes for every interpreter."""

import base64
import hashlib
import importlib.metadata
import os
import platform
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest
import vorda_blocks

ROOT = Path(__file__).resolve().parents[1]
TAG = f"cp{sys.version_info[0]}{sys.version_info[1]}"
# The same numpy and mypy as here: what the tries see differs only in vorda.
PINS = [f"numpy=={np.__version__}", f"mypy=={importlib.metadata.version('mypy')}"]

pytestmark = [
    pytest.mark.slow,
    # The sanitized build is what that run is about; this one would only run
    # pip and the compiler under the preloaded runtime, at several times the cost.
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="checked by the plain run"),
]


def run(args, cwd, timeout=1200):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """wheels.sh's output and the dist directory it filled, for this interpreter."""
    tmp = tmp_path_factory.mktemp("wheels")
    pins = [arg for pin in PINS for arg in ("--with", pin)]
    proc = run(["bash", ROOT / "scripts" / "wheels.sh", "--outdir", tmp / "dist",
                "--tools-venv", tmp / "tools", "--tools-python", sys.executable, *pins,
                sys.executable], cwd=tmp)
    return proc, tmp / "dist"


def test_the_wheel_is_built_tagged_installed_alone_and_tried(built):
    proc, dist = built
    assert proc.returncode == 0, f"{proc.stdout[-6000:]}\n{proc.stderr[-6000:]}"
    version = importlib.metadata.version("vorda")
    names = sorted(p.name for p in dist.iterdir())
    assert len(names) == 2 and names[1] == f"vorda-{version}.tar.gz", names
    wheel = names[0]
    assert re.fullmatch(rf"vorda-{re.escape(version)}-{TAG}-{TAG}-manylinux_\d+_\d+_"
                        rf"{platform.machine()}\.whl", wheel), wheel

    (line,) = [x for x in proc.stdout.splitlines() if x.startswith(f"try-wheel: {wheel}: ")]
    assert "installed from the wheel alone" in line and "FAILED" not in line, line
    passed = line.partition("passed: ")[2]
    for name in ("import", "per-sample", "block", "stubtest", f"metadata {version} MIT"):
        assert name in passed.split(", "), line
    # The patch try runs whenever the module has patches to run.
    assert ("patch" in passed.split(", ")) == hasattr(vorda_blocks, "Patch"), line


def with_extra_file(wheel: Path, out: Path, name: str, data: bytes) -> Path:
    """A copy of the wheel holding one more file, listed in its RECORD as a
    build that picked it up would list it."""
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    copy = out / wheel.name
    with zipfile.ZipFile(wheel) as src, zipfile.ZipFile(copy, "w", zipfile.ZIP_DEFLATED) as dst:
        dst.writestr(name, data)
        for item in src.infolist():
            content = src.read(item)
            if item.filename.endswith(".dist-info/RECORD"):
                content += f"{name},sha256={digest},{len(data)}\n".encode()
            dst.writestr(item, content)
    return copy


def test_a_wheel_that_ships_sources_fails_its_tries(built, tmp_path):
    _, dist = built
    (wheel,) = dist.glob("*.whl")
    source = (ROOT / "src" / "module.cpp").read_bytes()
    doctored = with_extra_file(wheel, tmp_path, "src/module.cpp", source)
    pins = [arg for pin in PINS for arg in ("--with", pin)]
    proc = run([sys.executable, ROOT / "scripts" / "try_wheel.py", "--python", sys.executable,
                *pins, doctored], cwd=tmp_path)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert f"try-wheel: {wheel.name}: FAILED" in proc.stdout
    assert "unexpected installed files: ['src']" in proc.stdout, proc.stdout
