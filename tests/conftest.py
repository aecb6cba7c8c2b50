"""Fixtures of the suite. What test modules import lives in helpers.py."""
import importlib.metadata
import sys
from pathlib import Path

import numpy as np
import pytest

from helpers import panic_type, run_clean

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


@pytest.fixture(scope="session")
def dist(tmp_path_factory):
    """scripts/wheels.sh, run once for this interpreter as `make dist` runs it:
    the sdist, a wheel built from it, repaired, checked, installed alone into
    a fresh environment and tried there. Its process and output folder."""
    tmp = tmp_path_factory.mktemp("wheels")
    # The try environment gets the same numpy and mypy as here: what differs
    # is only how vorda was built.
    pins = ["--with", f"numpy=={np.__version__}",
            "--with", f"mypy=={importlib.metadata.version('mypy')}"]
    proc = run_clean(["bash", ROOT / "scripts" / "wheels.sh", "--outdir", tmp / "dist",
                      "--tools-venv", tmp / "tools", "--tools-python", sys.executable, *pins,
                      sys.executable], cwd=tmp, timeout=1200)
    return proc, tmp / "dist"
