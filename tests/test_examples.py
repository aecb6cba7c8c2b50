"""The examples and the demo: each runs on its own and writes sane files, the
demo is reproducible from its seed, and the measured responses of the
filters match their difference equations."""

import os
import subprocess
import sys
from pathlib import Path

import math

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
        assert channel.dtype == np.float32 and len(channel) == round((0.3 + demo.TAIL) * sample_rate)
        # Filters designed for 48 kHz must not blow up at lower rates.
        assert np.all(np.isfinite(channel))
        assert channel.tobytes() == same.tobytes()
        assert channel.tobytes() != different.tobytes()
    assert first[0].tobytes() != first[1].tobytes()  # really stereo


def test_demo_writes_the_same_file_per_sample_as_in_blocks(tmp_path):
    # Past the first echo, and round the strings' loops and the reverb's
    # network many times.
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


def test_demo_rings_out_fades_to_zero_and_carries_no_offset():
    sr = 16000
    music = 8 * sr
    for x in demo.render(8.0, sr, seed=1, progress=False):
        x = x.astype(np.float64)
        assert len(x) == round((8.0 + demo.TAIL) * sr)
        # The offset the saturated bass and the kicks left was 5e-3.
        assert abs(np.mean(x)) < 2e-4
        # The reverb still sounds after the music, and is faded out by the end.
        level = [np.sqrt(np.mean(x[a : a + sr // 4] ** 2)) for a in range(music, len(x), sr // 4)]
        assert level[0] > 1e-2 and level[-1] < 1e-4
        assert x[-1] == 0.0 and not np.signbit(x[-1])  # no click, no negative zero


@pytest.mark.parametrize("points", [200, 4000])  # as --quick draws them, and as a full run
def test_measured_responses_match_their_difference_equations(points):
    for r in plot_responses.measure(SR, points):
        assert r.freqs[0] == r.band[0] and r.freqs[-1] == pytest.approx(r.band[1])
        # Judge only where there is signal to measure: float32 noise
        # dominates deep in a stop band.
        audible = r.predicted_db > -60.0
        error = np.abs(r.measured_db - r.predicted_db)[audible]
        assert np.max(error) < 0.05, r.title


@pytest.mark.parametrize("sample_rate", [16000, 48000])
@pytest.mark.parametrize("note", [45, 60, 81])
def test_a_string_rings_at_its_pitch(sample_rate, note):
    # The delay line makes up what the feedback sample and the damping
    # filter's phase delay leave of the period: missing either puts the
    # higher notes many cents out.
    frequency = demo.midi_hz(note)
    string = demo.String(frequency, sample_rate, decay=1.5)
    x = np.zeros(sample_rate, np.float32)
    x[:200] = np.random.default_rng(note).uniform(-1.0, 1.0, 200)
    y = string.patch.run(x=x)[sample_rate // 4 :].astype(np.float64)
    spectrum = np.abs(np.fft.rfft(y * np.hanning(len(y)), 16 * len(y)))
    bins = np.fft.rfftfreq(16 * len(y), 1.0 / sample_rate)
    near = (bins > 0.9 * frequency) & (bins < 1.1 * frequency)
    found = bins[near][np.argmax(spectrum[near])]
    assert abs(1200.0 * math.log2(found / frequency)) < 2.0


@pytest.mark.parametrize("rate, decay", [(24000.0, 2.8), (32000.0, 1.0), (22050.0, 4.0)])
def test_the_hall_decays_in_its_decay_time_and_darkens_as_it_dies(rate, decay):
    signal = pytest.importorskip("scipy.signal")
    n = round(1.5 * decay * rate)
    impulse = np.zeros(n)
    impulse[0] = 1.0
    t = np.arange(n) / rate

    def rt60(y, band):
        """The 60 dB decay time of `y` in `band`, from the slope of its
        backward-integrated energy between -5 and -35 dB."""
        z = signal.sosfilt(signal.butter(4, band, "bandpass", fs=rate, output="sos"), y)
        energy = np.cumsum(z[::-1] ** 2)[::-1]
        level = 10.0 * np.log10(energy / energy[0])
        fit = (level < -5.0) & (level > -35.0)
        return -60.0 / np.polyfit(t[fit], level[fit], 1)[0]

    for side in demo.Hall(rate, decay).patch.run(x=impulse):
        side = side.astype(np.float64)
        assert rt60(side, (40.0, 300.0)) == pytest.approx(decay, rel=0.1)
        assert rt60(side, (rate / 8, rate / 4)) < 0.8 * decay


@pytest.mark.parametrize("sample_rate", [8000, 16000])
def test_strings_carry_their_loops_from_run_to_run_alike_in_both_modes(sample_rate):
    """A string's patch runs once per span in which it rings: a pluck while
    it rings joins the span, a later one starts another, and that run must
    go on from the loop as the last one left it, per sample as in blocks."""
    sr, a, c = sample_rate, demo.midi_hz(57), demo.midi_hz(60)
    plucks = [(0, a, 0.9), (round(0.1 * sr), a, 0.7), (round(0.05 * sr), c, 0.8), (round(0.9 * sr), a, 1.0)]
    plucks = [(start, demo.Event("pluck", f, v)) for start, f, v in sorted(plucks)]
    results = []
    for per_sample in (False, True):
        strings = demo.Strings(demo.Engine(per_sample), sr, seed=3)
        strings.life = round(0.3 * sr)
        assert demo.ringing([0, round(0.1 * sr), round(0.9 * sr)], strings.life, sr) == [
            (0, round(0.4 * sr)), (round(0.9 * sr), sr)]
        results.append(strings.play(plucks, sr))
    for blocks, per_sample in zip(*results):
        assert blocks.tobytes() == per_sample.tobytes()
    # The later run starts where the loop left off: the string still sounds
    # before its new burst has gone once round the loop.
    start = round(0.9 * sr)
    assert np.any(results[0][0][start : start + 5] != 0.0)
