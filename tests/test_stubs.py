"""The type stubs: they agree with the compiled module, type-check the
examples, and carry the module's own docstrings."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import vorda

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "vorda-stubs" / "__init__.pyi"


def run_module(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600
    )


def test_stubtest_finds_no_difference_from_the_runtime(tmp_path):
    # stubtest checks the installed stubs against the installed module; it
    # keeps a cache in the working directory, so give it a scratch one.
    run = run_module("mypy.stubtest", "vorda", "vorda_blocks", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_examples_pass_strict_type_checking():
    # From the root, so that the project's mypy settings apply.
    run = run_module("mypy", "--strict", "--cache-dir", "/dev/null", "examples", cwd=ROOT)
    assert run.returncode == 0, run.stdout + run.stderr


def stub_docstrings():
    """(qualified name, docstring) for every documented definition."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            yield node.name, ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and member.name != "__new__":
                    yield f"{node.name}.{member.name}", ast.get_docstring(member)


def test_stub_docstrings_are_the_runtime_docstrings():
    documented = {}
    for qualified, doc in stub_docstrings():
        documented.setdefault(qualified, doc)  # a property's getter comes first
    for name in vorda.__all__:
        obj = getattr(vorda, name)
        members = [k for k in vars(obj) if not k.startswith("__")] if isinstance(obj, type) else []
        for qualified, runtime in [(name, obj)] + [(f"{name}.{k}", vars(obj)[k]) for k in members]:
            assert qualified in documented, f"{qualified} missing from the stub"
            # Properties without a docstring are stubbed with a bare "...".
            assert documented[qualified] == (runtime.__doc__ or None), qualified
