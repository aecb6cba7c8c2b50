"""Every code block of the site and the README runs, and passes mypy
--strict: the docs cannot rot. The blocks of one page run as one program,
in order, as a reader would paste them."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from live_server import server  # noqa: F401 - a fixture, for the pages with a live stream

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
GENERATED = {"_build", "gallery", "_generated", "_gallery_static"}
PAGES = sorted(
    p for p in [*DOCS.rglob("*.rst"), *DOCS.rglob("*.md")]
    if not GENERATED & set(p.relative_to(DOCS).parts)
)  # fmt: skip
DIRECTIVE = re.compile(r"^(\s*)\.\. code-block:: python\s*$")
FENCE = re.compile(r"^```python\n(.*?)^```", re.M | re.S)


def rst_blocks(text):
    """The content of each `.. code-block:: python`, dedented: the lines
    after it that are blank or indented deeper, less its options."""
    lines = text.splitlines()
    for i, line in enumerate(lines):
        found = DIRECTIVE.match(line)
        if not found:
            continue
        body = []
        for following in lines[i + 1 :]:
            if following.strip() and len(following) - len(following.lstrip()) <= len(found.group(1)):
                break
            body.append(following)
        code = textwrap.dedent("\n".join(body)).strip("\n")
        yield "\n".join(l for l in code.splitlines() if not re.match(r":\w[\w-]*:", l)) + "\n"


def blocks(path):
    text = path.read_text(encoding="utf-8")
    return list(rst_blocks(text)) if path.suffix == ".rst" else FENCE.findall(text)


PROGRAMS = {str(p.relative_to(DOCS)): "\n".join(blocks(p)) for p in PAGES if blocks(p)}
README_BLOCKS = FENCE.findall((ROOT / "README.md").read_text(encoding="utf-8"))


def test_every_python_block_is_extracted():
    # Each directive gives a block with code in it, so no page can slip out
    # of the checks below by a layout the extractor does not read.
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        expected = len(re.findall(r"^\s*\.\. code-block:: python", text, re.M)) + text.count("```python")
        got = blocks(page)
        assert len(got) == expected and all(b.strip() for b in got), page
    assert len(PROGRAMS) >= 15 and len(README_BLOCKS) >= 4


@pytest.mark.parametrize("page", sorted(PROGRAMS))
def test_page_code_runs(page, tmp_path, request):
    script = tmp_path / "page.py"
    script.write_text(PROGRAMS[page], encoding="utf-8")
    env = None
    if "vb.Stream(" in PROGRAMS[page]:  # through a JACK server's dummy backend
        env = dict(os.environ, JACK_DEFAULT_SERVER=request.getfixturevalue("server").name)
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip(), "a page's code shows the reader a result"


def test_every_block_passes_strict_type_checking(tmp_path):
    names = []
    for k, code in enumerate([*PROGRAMS.values(), *README_BLOCKS]):
        names.append(tmp_path / f"block_{k:02d}.py")
        names[-1].write_text(code, encoding="utf-8")
    # From the root, so that the project's mypy settings apply.
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", "/dev/null", *map(str, names)],
        cwd=ROOT, capture_output=True, text=True, timeout=600,
    )  # fmt: skip
    listing = "\n".join(f"{n.name}: {page}" for n, page in zip(names, [*PROGRAMS, *["README"] * 99]))
    assert run.returncode == 0, run.stdout + run.stderr + "\n" + listing
