"""The type stubs: they agree with the compiled module, type-check the
examples, and carry the module's own docstrings."""

import ast
import re
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


# What a patch takes where, as the runtime decides it: the stubs must accept
# exactly these statements and refuse the others.
PATCH_CASES = [
    "p.process(vorda.DelayS(64), x, k)",
    "p.process(vorda.DelayS(64), x, 3)",
    "p.process(vorda.CombS(64), x, k, k)",
    "p.read(vorda.RingBufferS(64), k)",
    "p.process(vorda.DelayS(64), x, k + 1)",
    "p.process(vorda.DelayS(64), x, x)",
    "p.process(vorda.DelayS(64), x, p.feedback())",
    "p.process(vorda.DelayS(64), k, 3)",
    "p.process(vorda.DelayL(48000, 0.1), x, k)",
    "p.process(vorda.DelayL(48000, 0.1), x, x * 0.5)",
    "p.output('y', k)",
]


def runtime_accepts(statement):
    import vorda_blocks as vb

    p = vb.Patch()
    env = {"vorda": vorda, "p": p, "x": p.input("x"), "k": p.input("k", count=True)}
    try:
        exec(statement, env)
    except (TypeError, ValueError):
        return False
    return True


def test_the_stubs_accept_in_a_patch_what_the_runtime_accepts(tmp_path):
    lines = ["import vorda", "import vorda_blocks as vb", ""]
    where = {}
    for i, statement in enumerate(PATCH_CASES):
        lines += [f"def case_{i}(p: vb.Patch) -> None:",
                  "    x = p.input('x')", "    k = p.input('k', count=True)"]
        where[len(lines) + 1] = statement
        lines += [f"    {statement}", ""]
    (tmp_path / "cases.py").write_text("\n".join(lines), encoding="utf-8")
    run = run_module("mypy", "--strict", "--cache-dir", "/dev/null", "cases.py", cwd=tmp_path)
    refused = {where[int(m)] for m in re.findall(r"^cases\.py:(\d+): error", run.stdout, re.M)}
    assert refused <= set(PATCH_CASES), run.stdout
    for statement in PATCH_CASES:
        assert (statement not in refused) == runtime_accepts(statement), statement
