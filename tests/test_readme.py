"""The README's code works as written (a live stream's, through a JACK server's
dummy backend)."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from live_server import server  # noqa: F401 - a fixture, for the live stream's block

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"```(\w+)\n(.*?)```", README, flags=re.S)
PYTHON = [code for lang, code in BLOCKS if lang == "python"]
SHELL = [code for lang, code in BLOCKS if lang == "sh"]


@pytest.mark.parametrize("code", PYTHON)
def test_python_blocks_run(code, request):
    env = None
    if "vb.Stream(" in code:
        env = dict(os.environ, JACK_DEFAULT_SERVER=request.getfixturevalue("server").name)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip()


def test_make_targets_exist():
    targets = {m for code in SHELL for m in re.findall(r"^make ([\w-]+)", code, flags=re.M)}
    targets |= set(re.findall(r"`make ([\w-]+)", README))
    assert {"demo", "test", "test-all", "sanitize", "bench"} <= targets
    for target in sorted(targets):
        dry = subprocess.run(["make", "-n", target], cwd=ROOT, capture_output=True, text=True)
        assert dry.returncode == 0, f"make {target}: {dry.stderr}"
