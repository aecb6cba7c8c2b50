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
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest
import vorda_blocks

from helpers import run_clean

ROOT = Path(__file__).resolve().parents[1]
TAG = f"cp{sys.version_info[0]}{sys.version_info[1]}"

pytestmark = [
    pytest.mark.slow,
    # The sanitized build is what that run is about; this one would only run
    # pip and the compiler under the preloaded runtime, at several times the cost.
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="checked by the plain run"),
]


def test_the_wheel_is_built_tagged_installed_alone_and_tried(dist):
    proc, out = dist
    assert proc.returncode == 0, f"{proc.stdout[-6000:]}\n{proc.stderr[-6000:]}"
    version = importlib.metadata.version("vorda")
    names = sorted(p.name for p in out.iterdir())
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


def test_a_wheel_that_ships_sources_fails_its_tries(dist, tmp_path):
    (wheel,) = dist[1].glob("*.whl")
    source = (ROOT / "src" / "module.cpp").read_bytes()
    doctored = with_extra_file(wheel, tmp_path, "src/module.cpp", source)
    # The installed files are checked first, on import: that needs numpy, and
    # mypy (the stubs' try) would never be reached.
    proc = run_clean([sys.executable, ROOT / "scripts" / "try_wheel.py", "--python", sys.executable,
                      "--with", f"numpy=={np.__version__}", doctored], cwd=tmp_path, timeout=1200)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert f"try-wheel: {wheel.name}: FAILED" in proc.stdout
    assert "unexpected installed files: ['src']" in proc.stdout, proc.stdout
