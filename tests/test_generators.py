"""SinOsc, Lfo and WhiteNoise against independent float32 models."""
import errno
import json
import os
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vorda
from helpers import F32, assert_same, f32, f32_bits, libm_f32, replay, run_python, same

sinf = libm_f32("sinf")
TAU = f32_bits(0x40C90FDB)
NAN, INF, M64 = float("nan"), float("inf"), 2**64 - 1


def wrap(p):
    return p - np.floor(p)


class SinModel:
    def __init__(self, sample_rate, phase):
        self.sample_rate, self.phase = F32(sample_rate), F32(phase)

    def process(self, frequency):
        y, self.phase = sinf(self.phase * TAU), wrap(self.phase + F32(frequency) / self.sample_rate)
        return y

    def reset(self):
        self.phase = F32(0.0)


NEG_PI, FOUR_OVER_PI, NEG_FOUR_OVER_PI_SQ, K = (
    f32_bits(b) for b in (0xC0490FDB, 0x3FA2F983, 0xBECF817A, 0x3E666666))


def lfo_shape(waveform, p):
    t = (p + p) + F32(-1.0)
    if waveform == 0:
        x = t * NEG_PI
        y0 = x * FOUR_OVER_PI + (x * NEG_FOUR_OVER_PI_SQ) * abs(x)
        return y0 + ((y0 * abs(y0)) - y0) * K
    return (abs(t) + abs(t)) + F32(-1.0) if waveform == 1 else t


class LfoModel:
    """The quarter phase runs on an accumulator of its own."""

    def __init__(self, sample_rate, waveform):
        self.sample_rate, self.waveform = F32(sample_rate), waveform
        self.reset()

    def reset(self):
        self.phase, self.phase_qp = F32(0.0), F32(0.25)

    def process(self, frequency):
        out = lfo_shape(self.waveform, self.phase), lfo_shape(self.waveform, self.phase_qp)
        inc = F32(frequency) / self.sample_rate
        self.phase, self.phase_qp = wrap(self.phase + inc), wrap(self.phase_qp + inc)
        return out


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


class NoiseModel:
    def __init__(self, seed):
        self.s = []
        for i in range(1, 5):  # SplitMix64
            z = (seed + i * 0x9E3779B97F4A7C15) & M64
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
            self.s.append(z ^ (z >> 31))

    def process(self):  # xoshiro256++
        s0, s1, s2, s3 = self.s
        r, t = (rotl((s0 + s3) & M64, 23) + s0) & M64, (s1 << 17) & M64
        s2, s3 = s2 ^ s0, s3 ^ s1
        s1, s0 = s1 ^ s2, s0 ^ s3
        self.s = [s0, s1, s2 ^ t, rotl(s3, 45)]
        u = f32_bits(0x3F800000 | (r >> 41)) + F32(-1.0)
        return (u + u) + F32(-1.0)


# Quotients by 3e8 fill the whole mantissa, which short binary fractions do not.
dense = st.integers(-10**9, 10**9).map(lambda k: k / 3e8)
rates = (st.floats(1.0, 2e5) | dense.map(lambda r: abs(r) * 1e5 + 1.0)
         | st.sampled_from([1e-30, 44100.0, 48000.0, 1e9, INF]))
frequencies = (dense.map(lambda f: f * 1e4) | st.floats(-30000, 30000) | st.floats(-1e12, 1e12)
               | st.floats(width=32) | st.sampled_from([0.0, -0.0, -1e-9, 1e-30, NAN, INF, -INF]))
steps = st.lists(frequencies | st.none(), max_size=60)  # None: reset


@settings(max_examples=300, deadline=None)
@given(sample_rate=rates, phase=st.floats(-2, 2) | st.floats(width=32), ops=steps)
def test_sin_osc_matches_model(sample_rate, phase, ops):
    osc, model = vorda.SinOsc(sample_rate, phase), SinModel(sample_rate, phase)
    replay(osc, model, ops)
    assert same([osc.phase, osc.sample_rate], [model.phase, model.sample_rate])


@settings(max_examples=300, deadline=None)
@given(sample_rate=rates, waveform=st.integers(0, 3) | st.integers(0, M64), ops=steps)
def test_lfo_matches_model(sample_rate, waveform, ops):
    lfo = vorda.Lfo(sample_rate, waveform)
    replay(lfo, LfoModel(sample_rate, waveform), ops)
    assert_same(lfo.sample_rate, F32(sample_rate))


@pytest.mark.parametrize("sample_rate, phase, frequency, first, phase_after", [
    # No wrap before the first output; the increment goes onto the unwrapped phase.
    (48000.0, 1.25, 1000.0, sinf(F32(1.25) * TAU), 0.2708333730697632),
    (48000.0, 0.0, 60000.0, 0.0, 0.25),
    (INF, 0.5, 1e30, sinf(F32(0.5) * TAU), 0.5),
    (48000.0, 0.0, NAN, 0.0, NAN),
    # 0.0 - 1e-9 lies so close to 0 that p - floor(p) rounds up to exactly 1.0.
    (1e9, 0.0, -1.0, 0.0, 1.0),
])
def test_sin_osc_first_step(sample_rate, phase, frequency, first, phase_after):
    osc = vorda.SinOsc(sample_rate, phase=phase)
    assert osc.phase == phase
    assert_same(osc.process(frequency), first)
    assert_same(osc.phase, phase_after)


def test_lfo_first_outputs():
    outputs = [vorda.Lfo(48000.0, waveform).process(440.0) for waveform in (0, 1, 2, M64)]
    assert outputs == [(0.0, 1.0), (1.0, 0.0), (-1.0, -0.5), (-1.0, -0.5)]


def on_grid(y):
    return -1.0 <= y < 1.0 and ((y + 1.0) * 4194304).is_integer()


@settings(max_examples=100, deadline=None)
@given(seed=st.sampled_from([0, 1, M64]) | st.integers(0, M64))
def test_white_noise_matches_model(seed):
    noise, model = vorda.WhiteNoise(seed), NoiseModel(seed)
    for _ in range(64):
        assert_same(y := noise.process(), model.process())
        assert on_grid(y)


def test_unseeded_instances_are_independent():
    runs = [[noise.process() for _ in range(8)]
            for noise in (vorda.WhiteNoise(), vorda.WhiteNoise(None), vorda.WhiteNoise(seed=None))]
    assert all(on_grid(y) for run in runs for y in run)
    assert runs[0] != runs[1] != runs[2] != runs[0]


SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
int getentropy(void *buf, size_t len) {
    const char *mode = getenv("ENTROPY_SHIM_MODE");
    if (!mode || !*mode)
        return ((int (*)(void *, size_t))dlsym(RTLD_NEXT, "getentropy"))(buf, len);
    if (!strcmp(mode, "zeros") && len == 32) { memset(buf, 0, len); return 0; }
    errno = strcmp(mode, "errno0") ? EIO : 0;
    return -1;
}
"""


def test_entropy_source(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the getentropy override")
    (tmp_path / "shim.c").write_text(SHIM)
    lib = tmp_path / "shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", lib, tmp_path / "shim.c", "-ldl"], check=True)
    # After anything already preloaded: a sanitizer runtime must stay first. The mode
    # is set only once the interpreter has started.
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)]))
    proc = run_python("""
        import json, os, vorda
        out = []
        for mode in ("fail", "errno0", "zeros", ""):
            os.environ["ENTROPY_SHIM_MODE"] = mode
            try:
                noise = vorda.WhiteNoise()
            except BaseException as e:
                out.append([type(e).__name__, str(e)])
            else:
                out.append(["ok", [noise.process() for _ in range(16)]])
        print(json.dumps(out))
        """, env={**os.environ, "LD_PRELOAD": preload})
    assert proc.returncode == 0, proc.stderr
    failed, errno0, zeros, real = json.loads(proc.stdout)
    assert failed == ["PanicException",
                      f"from_os_rng failed: {os.strerror(errno.EIO)} (os error {errno.EIO})"]
    assert errno0 == ["PanicException", "from_os_rng failed: errno: did not return a positive value"]
    # A 32-byte draw of zeros is not a usable state: it falls back to the seed-0 state.
    model = NoiseModel(0)
    assert zeros == ["ok", [f32(model.process()) for _ in range(16)]]
    assert real[0] == "ok" and all(map(on_grid, real[1])) and real[1] != zeros[1]
