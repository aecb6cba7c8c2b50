"""The examples and the demo: each runs on its own and writes sane files, the
demo is reproducible from its seed, and the measured responses of the
filters match their difference equations."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")
wavfile = pytest.importorskip("scipy.io.wavfile")

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import demo  # noqa: E402
import plot_responses  # noqa: E402
from _util import PEAK  # noqa: E402

SR = 48000


@pytest.mark.parametrize(
    "script, outputs",
    [
        ("chorus.py", ["chorus.wav"]),
        ("reverb.py", ["reverb.wav"]),
        ("plucked_string.py", ["plucked_string.wav"]),
        ("filter_sweep.py", ["filter_sweep.wav"]),
        ("plot_responses.py", ["responses.png"]),
        ("demo.py", ["demo.wav", "demo.png"]),
    ],
)
def test_example_runs_and_writes_sane_files(tmp_path, script, outputs):
    env = dict(os.environ, MPLBACKEND="Agg")
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / script), "--quick", "--out", str(tmp_path / "o")],
        capture_output=True, text=True, env=env, timeout=300,
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    for name in outputs:
        path = tmp_path / "o" / name
        assert str(path) in run.stdout
        if name.endswith(".wav"):
            rate, data = wavfile.read(path)
            assert rate == SR and data.dtype == np.float32
            assert len(data) >= SR // 20
            assert np.all(np.isfinite(data))
            # Normalised: the loudest sample sits at -1 dBFS, so not silent.
            assert np.max(np.abs(data)) == pytest.approx(PEAK, rel=1e-6)
        else:
            image = pytest.importorskip("matplotlib.image").imread(path)
            assert image.shape[0] > 300 and image.shape[1] > 300
            assert np.std(image[..., :3]) > 0.05  # more than a blank canvas
    if script == "demo.py":
        assert "real time" in run.stdout


@pytest.mark.parametrize("sample_rate", [8000, 44100])
def test_demo_is_reproducible_from_its_seed(sample_rate):
    first = demo.render(0.3, sample_rate, seed=7, progress=False)
    again = demo.render(0.3, sample_rate, seed=7, progress=False)
    other = demo.render(0.3, sample_rate, seed=8, progress=False)
    for channel, same, different in zip(first, again, other):
        assert channel.dtype == np.float32 and len(channel) == round(0.3 * sample_rate)
        # Filters designed for 48 kHz must not blow up at lower rates.
        assert np.all(np.isfinite(channel))
        assert channel.tobytes() == same.tobytes()
        assert channel.tobytes() != different.tobytes()
    assert first[0].tobytes() != first[1].tobytes()  # really stereo


def test_demo_writes_the_same_file_per_sample_as_in_blocks(tmp_path):
    # Past the first echo, and three chunks of the ring buffers' writes.
    wavs = []
    for mode in ([], ["--per-sample"]):
        out = tmp_path / ("per-sample" if mode else "blocks")
        subprocess.run(
            [sys.executable, str(EXAMPLES / "demo.py"), "--seconds", "0.6", "--sample-rate", "16000",
             "--seed", "5", "--out", str(out), *mode],
            check=True, capture_output=True, env=dict(os.environ, MPLBACKEND="Agg"), timeout=300,
        )  # fmt: skip
        wavs.append(out / "demo.wav")
    assert wavs[0].read_bytes() == wavs[1].read_bytes()
    assert np.max(np.abs(wavfile.read(wavs[0])[1])) == pytest.approx(PEAK, rel=1e-6)


def test_measured_responses_match_their_difference_equations():
    for r in plot_responses.measure(SR, 16384):
        # Judge only where there is signal to measure: float32 noise
        # dominates deep in a stop band.
        audible = r.predicted_db > -60.0
        error = np.abs(r.measured_db - r.predicted_db)[audible]
        assert np.max(error) < 0.05, r.title
