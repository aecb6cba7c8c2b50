"""The examples and the demo: each runs on its own and writes sane files, the
demo is reproducible from its seed, and the signal-processing recipes in
them do what they claim."""

import math
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
from filter_sweep import highpass_coefs, lowpass_coefs  # noqa: E402
from plucked_string import PluckedString  # noqa: E402
from reverb import SchroederReverb  # noqa: E402

import vorda  # noqa: E402

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


def fundamental(x, sample_rate, near):
    """Frequency of the strongest spectral peak within a fifth of `near`,
    refined by parabolic interpolation over the log magnitudes."""
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x)), 8 * len(x)))
    freqs = np.fft.rfftfreq(8 * len(x), 1.0 / sample_rate)
    band = np.flatnonzero((freqs > near / 1.5) & (freqs < near * 1.5))
    k = band[np.argmax(spectrum[band])]
    a, b, c = np.log(spectrum[k - 1 : k + 2])
    return freqs[k] + 0.5 * (a - c) / (a - 2 * b + c) * (freqs[1] - freqs[0])


@pytest.mark.parametrize("frequency", [82.41, 220.0, 659.26, 1760.0])
@pytest.mark.parametrize("brightness", [0.0, 1.0])
def test_plucked_string_is_in_tune(frequency, brightness):
    # The loop length has to make up for the damping filter's phase delay,
    # which changes with the brightness: both ends must stay in tune.
    string = PluckedString(SR, frequency, vorda.WhiteNoise(5), brightness=brightness)
    x = np.array([string.process() for _ in range(SR)])
    cents = 1200 * math.log2(fundamental(x[SR // 5 :], SR, frequency) / frequency)
    assert abs(cents) < 3


def test_octave_up_doubles_the_pitch():
    shifter, osc = demo.OctaveUp(SR), vorda.SinOsc(SR)
    y = np.array([shifter.process(osc.process(300.0)) for _ in range(SR)])
    # The grains repeat 12.5 times a second, so lines lie 12.5 Hz apart.
    assert fundamental(y[SR // 4 :], SR, 600.0) == pytest.approx(600.0, abs=12.5)


@pytest.mark.parametrize("design", [lowpass_coefs, highpass_coefs])
@pytest.mark.parametrize("cutoff, q", [(200.0, 0.7071), (1000.0, 4.0), (15000.0, 1.5)])
def test_cookbook_coefficients(design, cutoff, q):
    b0, b1, b2, a1, a2 = design(cutoff, q, SR)

    def gain(f):
        z = np.exp(-2j * np.pi * f / SR)
        return abs((b0 + b1 * z + b2 * z * z) / (1 + a1 * z + a2 * z * z))

    passband, stopband = (0.0, SR / 2) if design is lowpass_coefs else (SR / 2, 0.0)
    assert gain(passband) == pytest.approx(1.0, abs=1e-9)
    assert gain(stopband) == pytest.approx(0.0, abs=1e-9)
    # A second-order section peaks, or dips, to Q at its cutoff.
    assert gain(cutoff) == pytest.approx(q, rel=1e-9)


def test_measured_responses_match_their_difference_equations():
    for r in plot_responses.measure(SR, 16384):
        # Judge only where there is signal to measure: float32 noise
        # dominates deep in a stop band.
        audible = r.predicted_db > -60.0
        error = np.abs(r.measured_db - r.predicted_db)[audible]
        assert np.max(error) < 0.05, r.title


def test_reverb_decays_in_the_time_asked_for():
    reverb = SchroederReverb(SR, decay=1.0, early=0.0)
    out = np.array([reverb.process(1.0 if n == 0 else 0.0) for n in range(int(1.2 * SR))])
    # Schroeder's backward integration, fitted from -5 to -25 dB and
    # extrapolated to 60 dB.
    energy = np.cumsum((out**2).sum(axis=1)[::-1])[::-1]
    db = 10 * np.log10(energy / energy[0])
    fit = (db < -5) & (db > -25)
    slope = np.polyfit(np.flatnonzero(fit) / SR, db[fit], 1)[0]
    assert -60 / slope == pytest.approx(1.0, rel=0.15)
    # The two sides use different loops: a wide, not a mono, tail.
    assert abs(np.corrcoef(out[SR // 10 :].T)[0, 1]) < 0.3


def test_tempo_echo_repeats_on_the_beat_grid():
    echo = demo.TempoEcho(SR, feedback=0.5)
    out = np.array([echo.process(1.0 if n == 0 else 0.0) for n in range(int(1.6 * SR))])
    near = out[:, 0] + out[:, 1]
    far = out[:, 2] + out[:, 3]
    # A dotted eighth is 0.375 s at 120 bpm; the fed-back copies follow.
    assert list(np.flatnonzero(np.abs(near) > 1e-6)) == [int(0.375 * SR * k) for k in (1, 2, 3, 4)]
    assert near[int(0.75 * SR)] == pytest.approx(0.5 * near[int(0.375 * SR)])
    assert np.flatnonzero(np.abs(far) > 1e-6)[0] == int(0.75 * SR)
    # Placed apart: the near taps lean left, the far ones right.
    assert abs(out[:, 0]).sum() > 5 * abs(out[:, 1]).sum()
    assert abs(out[:, 3]).sum() > 5 * abs(out[:, 2]).sum()
