"""vorda's own docstrings are written in Markdown (headings, lists, fenced
blocks) and stay as they are; this turns them into reStructuredText for
autodoc, and gives every documented callable the units of its parameters,
from one table keyed by parameter name (the names carry their units)."""

from __future__ import annotations

import inspect
import re
from typing import Any

from sphinx.application import Sphinx

UNITS = {
    "sample_rate": "sample rate in Hz; must be greater than 0 (else `PanicException`)",
    "max_delay_sec": "longest delay wanted, in seconds; must be greater than 0 (else `PanicException`)",
    "max_delay_samp": "longest delay wanted, in samples (a count); the buffer holds the next power of two",
    "delay_sec": "delay in seconds (any float: see the domains at the top of this page)",
    "delay_samp": "delay in whole samples (a count: a non-negative int)",
    "decay_sec": "time for the circulating signal to fall by 60 dB, in seconds; negative alternates the sign of the echoes",
    "decay_samp": "time for the circulating signal to fall by 60 dB, in samples (a count)",
    "xn": "input sample (a float, narrowed to float32)",
    "x": "input sample (a float, narrowed to float32)",
    "frequency": "frequency in Hz (negative runs the phase backwards)",
    "phase": "starting phase in cycles, 0 to 1 (the fractional part is kept)",
    "waveform": "0 sine, 1 triangle, any other count a saw",
    "seed": "a count, or None to draw the seed from the operating system",
    "coef": "feedback coefficient, unitless (0.995 cuts below about 38 Hz at 48 kHz)",
    "b0": "feed-forward coefficient of x[n]",
    "b1": "feed-forward coefficient of x[n-1]",
    "b2": "feed-forward coefficient of x[n-2]",
    "a1": "feedback coefficient of y[n-1] (a0 is 1)",
    "a2": "feedback coefficient of y[n-2]",
    "pos": "position from -1 (left) through 0 (centre) to 1 (right); clamped to that range",
}

_LIST_ITEM = re.compile(r"^(\s*)- ")


def markdown_to_rst(lines: list[str]) -> list[str]:
    """Headings become rubrics, fenced blocks literal blocks, and lists get
    the blank lines (and the nesting) reStructuredText wants."""
    out: list[str] = []
    fenced = False
    for line in lines:
        if line.startswith("```"):
            fenced = not fenced
            out += ["::", ""] if fenced else [""]
            continue
        if fenced:
            out.append("    " + line)
            continue
        if line.startswith("# "):
            out += ["", f".. rubric:: {line[2:].strip()}", ""]
            continue
        item = _LIST_ITEM.match(line)
        if item:
            depth = len(item.group(1))
            before = out[-1] if out else ""
            starts_list = not _LIST_ITEM.match(before) or len(_LIST_ITEM.match(before).group(1)) != depth
            if starts_list and before.strip():
                out.append("")
            out.append(("  " if depth else "") + line.strip())
            continue
        if out and _LIST_ITEM.match(out[-1]) and line.strip():
            out.append("")
        out.append(line)
    return out


def parameters(obj: Any) -> list[str]:
    try:
        signature = inspect.signature(obj)
    except (TypeError, ValueError):
        return []
    return [name for name in signature.parameters if name in UNITS]


def process_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    if not name.startswith("vorda."):
        return
    lines[:] = markdown_to_rst(lines)
    names = parameters(obj)
    if names:
        # A rubric of its own: some docstrings have a "Parameters" heading already.
        lines += ["", ".. rubric:: Units", ""] + [f"- `{p}`: {UNITS[p]}" for p in names]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("autodoc-process-docstring", process_docstring)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
