"""Sphinx configuration: the site is built from the installed vorda and
vorda_blocks (autodoc imports them), never from mock modules."""

from __future__ import annotations

import sys
from importlib.metadata import version as installed_version
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

import gallery_files  # noqa: E402

project = "vorda"
author = "the vorda developers"
copyright = "the vorda developers, MIT licence"
release = installed_version("vorda")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx_gallery.gen_gallery",
    "myst_parser",
    "vorda_docstrings",
    "bench_plots",
]
# The performance page includes bench/README.md, which links to its own headings.
myst_heading_anchors = 3

exclude_patterns = ["_build", "_gallery_static", "_generated", "Thumbs.db", ".DS_Store"]
# Quotes become typographic, but "--seconds" stays two hyphens.
smartquotes_action = "qe"
# `name` in prose and in the modules' docstrings is code.
default_role = "code"
nitpicky = False

autodoc_member_order = "bysource"
autodoc_typehints = "none"

html_theme = "furo"
html_title = f"vorda {release}"
html_favicon = "_static/favicon.svg"
html_static_path = ["_static", "_gallery_static"]
html_css_files = ["vorda.css"]
html_theme_options = {
    "source_repository": "",
    "navigation_with_keys": True,
}
html_show_sourcelink = False

# Examples run when the site is built; each page shows the code, the figure
# and a player with the sound it rendered.
gallery_files.AUDIO.mkdir(parents=True, exist_ok=True)
sphinx_gallery_conf = {
    "examples_dirs": [str(DOCS.parent / "examples")],
    "gallery_dirs": ["gallery"],
    "filename_pattern": r".*\.py$",
    # live.py plays through an audio device rather than rendering a file.
    "ignore_pattern": r"(^|[/\\])(_util|live)\.py$",
    "write_computation_times": False,
    "reset_argv": "gallery_files.reset_argv",
    "image_scrapers": ("gallery_files.files_scraper",),
    "reset_modules": (),
    "download_all_examples": False,
    "remove_config_comments": True,
    "min_reported_time": 1e9,
    "show_signature": False,
    "plot_gallery": "True",
    "abort_on_example_error": True,
    "capture_repr": (),
    "matplotlib_animations": False,
}
