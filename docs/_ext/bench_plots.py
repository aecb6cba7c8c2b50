"""The performance page's figures, drawn when the site is built from the
recorded tables in bench/README.md, so that each figure lives there once."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from sphinx.application import Sphinx  # noqa: E402

DOCS = Path(__file__).resolve().parents[1]
BENCH = DOCS.parent / "bench" / "README.md"
GENERATED = DOCS / "_generated"


def section(text: str, heading: str) -> str:
    start = text.index(heading)
    following = re.search(r"^#+ ", text[start + len(heading) :], re.M)
    return text[start : start + len(heading) + (following.start() if following else len(text))]


def instruction_rows(text: str) -> list[tuple[str, float, float]]:
    """(callable, vorda ÷ baseline, plain Python ÷ baseline) for the calls
    that have a plain Python twin."""
    rows = []
    for line in section(text, "## Recorded instruction counts").splitlines():
        cells = [c.strip().strip("`") for c in line.strip().strip("|").split("|")]
        if len(cells) == 8 and cells[6].isdigit():
            baseline = float(cells[3])
            rows.append((cells[0], float(cells[1]) / baseline, float(cells[6]) / baseline))
    return rows


def block_rows(text: str) -> list[tuple[str, float]]:
    """(block call, speed-up over the per-sample loop)."""
    rows = []
    table = section(text, "### Recorded block run").split("within ")[0]
    for line in table.splitlines():
        tokens = line.split()
        if len(tokens) >= 9 and tokens[-1] in ("ok", "MISS"):
            rows.append((" ".join(tokens[:-8]), float(tokens[-2])))
    return rows


def draw(app: Sphinx) -> None:
    GENERATED.mkdir(exist_ok=True)
    text = BENCH.read_text(encoding="utf-8")

    calls = instruction_rows(text)
    fig, ax = plt.subplots(figsize=(8, 0.26 * len(calls) + 1.2), layout="constrained")
    y = range(len(calls))
    ax.barh([i + 0.2 for i in y], [c[2] for c in calls], 0.4, label="plain Python", color="tab:gray")
    ax.barh([i - 0.2 for i in y], [c[1] for c in calls], 0.4, label="vorda", color="tab:blue")
    ax.set_yticks(list(y), [c[0] for c in calls], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", lw=0.8)
    ax.set_xlabel("instructions per call, as a multiple of the cheapest built-in call of its shape")
    ax.legend(loc="lower right")
    ax.grid(axis="x", alpha=0.3)
    fig.savefig(GENERATED / "bench-calls.png", dpi=100)
    plt.close(fig)

    blocks = block_rows(text)
    fig, ax = plt.subplots(figsize=(8, 0.22 * len(blocks) + 1.2), layout="constrained")
    ax.barh(range(len(blocks)), [b[1] for b in blocks], color="tab:green")
    ax.set_yticks(range(len(blocks)), [b[0] for b in blocks], fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("block call's speed-up over the per-sample Python loop (times)")
    ax.grid(axis="x", alpha=0.3)
    fig.savefig(GENERATED / "bench-blocks.png", dpi=100)
    plt.close(fig)


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", draw)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
