"""The processors as a user would write them without the extension.

Plain classes, a list as the delay memory, the math module, Python floats
(double precision) throughout. They follow the same conventions as vorda
(power-of-two rings that wrap, read before write, decay times in place of
feedback gains, the two-accumulator LFO, xoshiro256++ noise) so that the
benchmark compares the same work, and tests/test_bench.py checks that they
agree with the module to single-precision accuracy. They are not tuned (no
attributes cached in locals, no precomputed gains): each method does its job
the obvious way, as code written for a patch would.
"""
import math

_MASK64 = (1 << 64) - 1


def _next_pow2(n):
    size = 1
    while size < n:
        size *= 2
    return size


class RingBufferS:
    def __init__(self, max_delay_samp):
        size = _next_pow2(max_delay_samp)
        self.buffer = [0.0] * size
        self.mask = size - 1
        self.write_pos = 0
        self.max_delay_samp = max_delay_samp

    def read(self, delay_samp):
        return self.buffer[(self.write_pos - delay_samp) & self.mask]

    def write(self, xn):
        self.buffer[self.write_pos] = xn
        self.write_pos = (self.write_pos + 1) & self.mask


class RingBufferN(RingBufferS):
    def __init__(self, sample_rate, max_delay_sec):
        super().__init__(math.ceil(sample_rate * max_delay_sec))
        self.sample_rate = sample_rate
        self.max_delay_sec = max_delay_sec

    def read(self, delay_sec):
        i = int(delay_sec * self.sample_rate)
        return self.buffer[(self.write_pos - i) & self.mask]


class RingBufferL(RingBufferN):
    def read(self, delay_sec):
        d = delay_sec * self.sample_rate
        i = int(d)
        frac = d - i
        index = (self.write_pos - i) & self.mask
        return (1.0 - frac) * self.buffer[index] + frac * self.buffer[(index - 1) & self.mask]


class DelayS(RingBufferS):
    def process(self, xn, delay_samp):
        y = self.buffer[(self.write_pos - delay_samp) & self.mask]
        self.buffer[self.write_pos] = xn
        self.write_pos = (self.write_pos + 1) & self.mask
        return y


class DelayN(RingBufferN):
    def process(self, xn, delay_sec):
        i = int(delay_sec * self.sample_rate)
        y = self.buffer[(self.write_pos - i) & self.mask]
        self.buffer[self.write_pos] = xn
        self.write_pos = (self.write_pos + 1) & self.mask
        return y


class DelayL(RingBufferN):
    def process(self, xn, delay_sec):
        d = delay_sec * self.sample_rate
        i = int(d)
        frac = d - i
        index = (self.write_pos - i) & self.mask
        y = (1.0 - frac) * self.buffer[index] + frac * self.buffer[(index - 1) & self.mask]
        self.buffer[self.write_pos] = xn
        self.write_pos = (self.write_pos + 1) & self.mask
        return y


def feedback_gain(delay, decay):
    """The gain that makes a loop of `delay` fall 60 dB over `decay`.

    A negative decay gives the negative gain: echoes alternate in sign.
    """
    return math.copysign(0.001 ** (delay / abs(decay)), decay)


class CombS(RingBufferS):
    def process(self, xn, delay_samp, decay_samp):
        y = self.buffer[(self.write_pos - delay_samp) & self.mask]
        g = 0.001 ** (delay_samp / decay_samp)
        self.buffer[self.write_pos] = xn + g * y
        self.write_pos = (self.write_pos + 1) & self.mask
        return y


class CombN(RingBufferN):
    def process(self, xn, delay_sec, decay_sec):
        i = int(delay_sec * self.sample_rate)
        y = self.buffer[(self.write_pos - i) & self.mask]
        g = feedback_gain(delay_sec, decay_sec)
        self.buffer[self.write_pos] = xn + g * y
        self.write_pos = (self.write_pos + 1) & self.mask
        return y


class CombL(RingBufferN):
    def process(self, xn, delay_sec, decay_sec):
        d = delay_sec * self.sample_rate
        i = int(d)
        frac = d - i
        index = (self.write_pos - i) & self.mask
        y = (1.0 - frac) * self.buffer[index] + frac * self.buffer[(index - 1) & self.mask]
        g = feedback_gain(delay_sec, decay_sec)
        self.buffer[self.write_pos] = xn + g * y
        self.write_pos = (self.write_pos + 1) & self.mask
        return y


class AllpassS(RingBufferS):
    def process(self, xn, delay_samp, decay_samp):
        y = self.buffer[(self.write_pos - delay_samp) & self.mask]
        g = 0.001 ** (delay_samp / decay_samp)
        v = xn + g * y
        self.buffer[self.write_pos] = v
        self.write_pos = (self.write_pos + 1) & self.mask
        return y - g * v


class AllpassN(RingBufferN):
    def process(self, xn, delay_sec, decay_sec):
        i = int(delay_sec * self.sample_rate)
        y = self.buffer[(self.write_pos - i) & self.mask]
        g = feedback_gain(delay_sec, decay_sec)
        v = xn + g * y
        self.buffer[self.write_pos] = v
        self.write_pos = (self.write_pos + 1) & self.mask
        return y - g * v


class AllpassL(RingBufferN):
    def process(self, xn, delay_sec, decay_sec):
        d = delay_sec * self.sample_rate
        i = int(d)
        frac = d - i
        index = (self.write_pos - i) & self.mask
        y = (1.0 - frac) * self.buffer[index] + frac * self.buffer[(index - 1) & self.mask]
        g = feedback_gain(delay_sec, decay_sec)
        v = xn + g * y
        self.buffer[self.write_pos] = v
        self.write_pos = (self.write_pos + 1) & self.mask
        return y - g * v


class SinOsc:
    def __init__(self, sample_rate, phase=0.0):
        self.sample_rate = sample_rate
        self.phase = phase

    def process(self, frequency):
        y = math.sin(self.phase * math.tau)
        p = self.phase + frequency / self.sample_rate
        self.phase = p - math.floor(p)
        return y

    def reset(self):
        self.phase = 0.0


class Lfo:
    def __init__(self, sample_rate, waveform=0):
        self.sample_rate = sample_rate
        self.waveform = waveform
        self.reset()

    def reset(self):
        self.phase = 0.0
        self.phase_qp = 0.25

    def shape(self, p):
        t = 2.0 * p - 1.0
        if self.waveform == 0:
            # Parabolic sine with one refinement step.
            x = -math.pi * t
            y = 4.0 / math.pi * x - 4.0 / (math.pi * math.pi) * x * abs(x)
            return y + (y * abs(y) - y) * 0.225
        if self.waveform == 1:
            return 2.0 * abs(t) - 1.0
        return t

    def process(self, frequency):
        y = self.shape(self.phase)
        y_qp = self.shape(self.phase_qp)
        inc = frequency / self.sample_rate
        p = self.phase + inc
        self.phase = p - math.floor(p)
        q = self.phase_qp + inc
        self.phase_qp = q - math.floor(q)
        return y, y_qp


class WhiteNoise:
    """xoshiro256++ seeded through SplitMix64, on Python integers."""

    def __init__(self, seed):
        state = []
        for _ in range(4):
            seed = (seed + 0x9E3779B97F4A7C15) & _MASK64
            z = ((seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
            state.append(z ^ (z >> 31))
        self.s = state

    def process(self):
        s0, s1, s2, s3 = self.s
        t = (s0 + s3) & _MASK64
        result = ((((t << 23) | (t >> 41)) & _MASK64) + s0) & _MASK64
        shifted = (s1 << 17) & _MASK64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= shifted
        s3 = ((s3 << 45) | (s3 >> 19)) & _MASK64
        self.s = [s0, s1, s2, s3]
        return (result >> 41) / 4194304.0 - 1.0


class Biquad:
    def __init__(self, b0, b1, b2, a1, a2):
        self.set_coefs(b0, b1, b2, a1, a2)
        self.reset()

    def set_coefs(self, b0, b1, b2, a1, a2):
        self.b0, self.b1, self.b2, self.a1, self.a2 = b0, b1, b2, a1, a2

    def reset(self):
        self.z1 = self.z2 = 0.0

    def process(self, x):
        y = x * self.b0 + self.z1
        self.z1 = self.z2 + (x * self.b1 - y * self.a1)
        self.z2 = x * self.b2 - y * self.a2
        return y


class LeakDc:
    def __init__(self, coef=0.995):
        self.coef = coef
        self.reset()

    def reset(self):
        self.x1 = self.y1 = 0.0

    def process(self, xn):
        y = xn - self.x1 + self.coef * self.y1
        self.x1 = xn
        self.y1 = y
        return y


def pan2(x, pos=0.0):
    pos = min(max(pos, -1.0), 1.0)
    theta = (pos + 1.0) * (math.pi / 4.0)
    return x * math.cos(theta), x * math.sin(theta)
