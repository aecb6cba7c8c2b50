"""The gallery's link between examples/ and the pages: what each example is
asked to render when the site is built, and a scraper that shows what it
wrote, its figures as images and its sound as an audio player.

The examples write files (they are command-line programs, and close their
figures), so the scraper looks at their output folder rather than at
matplotlib's open figures. A WAV becomes Ogg Vorbis, through libsndfile
(the soundfile package): 8 to 16 kB a second for these examples, where
a stereo float WAV takes 384 kB, and every current browser plays it.
"""

from __future__ import annotations

import html
import shutil
from pathlib import Path
from typing import Any

import soundfile
from sphinx_gallery.scrapers import figure_rst

DOCS = Path(__file__).resolve().parents[1]
# Where the examples write, and where the sound for the pages goes (a static
# folder of the site: Sphinx copies it to _static/ in the built site).
OUTPUT = DOCS / "_build" / "gallery-output"
AUDIO_STATIC = DOCS / "_gallery_static"
AUDIO = AUDIO_STATIC / "audio"

# Each example's options for the site: a few seconds of sound, rendered as
# the example renders it for its users (not --quick, which is a fraction
# of a second for the tests).
ARGUMENTS = {
    "demo": ["--seconds", "4", "--tail", "2"],
    "render_batch": ["--variations", "2", "--seconds", "3", "--serial"],
    "patch_loop": ["--seconds", "0.25"],
}
# Vorbis at libsndfile's compression level 0.6: variable bit rate, 60 to
# 130 kbit/s for these examples.
COMPRESSION = 0.6


def example_name(src_file: str) -> str:
    return Path(src_file).stem


def reset_argv(gallery_conf: dict[str, Any], script_vars: dict[str, Any]) -> list[str]:
    name = example_name(script_vars["src_file"])
    out = OUTPUT / name
    shutil.rmtree(out, ignore_errors=True)
    return [*ARGUMENTS.get(name, []), "--out", str(out)] if name != "patch_loop" else ARGUMENTS[name]


def audio_html(wav: Path, name: str) -> str:
    """Encodes `wav` to Ogg Vorbis beside the site's static files and returns
    the player. data-rendered-seconds is the length of what the example
    rendered, for the browser test to hold the player's duration to."""
    data, rate = soundfile.read(wav, dtype="float32")
    AUDIO.mkdir(parents=True, exist_ok=True)
    stem = f"{name}-{wav.stem}" if wav.stem != name else name
    ogg = AUDIO / f"{stem}.ogg"
    soundfile.write(ogg, data, rate, format="OGG", subtype="VORBIS", compression_level=COMPRESSION)
    seconds = len(data) / rate
    channels = "stereo" if data.ndim == 2 and data.shape[1] == 2 else "mono"
    size = ogg.stat().st_size
    label = html.escape(f"{wav.name}: {seconds:g} s, {rate} Hz, {channels}")
    return (
        "\n.. raw:: html\n\n"
        f'    <figure class="gallery-audio">\n'
        f'      <audio controls preload="metadata" src="../_static/audio/{ogg.name}" '
        f'data-rendered-seconds="{seconds:.6f}" aria-label="{label}"></audio>\n'
        f"      <figcaption>{label} (Ogg Vorbis, {size / 1000:.0f} kB)</figcaption>\n"
        "    </figure>\n\n"
    )


def files_scraper(block: Any, block_vars: dict[str, Any], gallery_conf: dict[str, Any], **_: Any) -> str:
    """The figures and the sound the example wrote into its output folder."""
    name = example_name(block_vars["src_file"])
    out = OUTPUT / name
    if not out.is_dir():
        return ""
    # The players first: a reader can listen while looking at the figure.
    text = "".join(audio_html(wav, name) for wav in sorted(out.rglob("*.wav")))
    images = []
    for png, target in zip(sorted(out.rglob("*.png")), block_vars["image_path_iterator"]):
        shutil.copyfile(png, target)
        images.append(target)
    return text + (figure_rst(images, gallery_conf["src_dir"]) if images else "")
