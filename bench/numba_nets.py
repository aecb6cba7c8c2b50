"""The networks of patches.py compiled by Numba, the way a user who knows it
would write them.

Numba cannot call vorda, so the few processors these networks use are
written again here, in float32 arithmetic rounded operation by operation as
vorda's headers have it (a float32 value times a float32 value stays float32
in Numba; a Python float or a float64 anywhere in an expression would widen
it). Between the processors the values are float64, as Python floats are.
patches.py holds every network here to the patch's bits before timing it.

Each network keeps its state in arrays that the compiled loop loads into
locals and stores back at the end of a run, so a run continues where the
last one stopped, as the patch and the C++ loop do.
"""
import numpy as np
import vorda
from numba import njit

F32 = np.float32
ONE = np.float32(1.0)


def ring_slots(samples):
    """The ring vorda allocates for `samples`: the next power of two."""
    return 1 << max(0, int(samples) - 1).bit_length()


def timed_ring_slots(rate, seconds):
    """The ring of a delay given in seconds: the float32 product, rounded up."""
    return ring_slots(np.ceil(F32(rate) * F32(seconds)))


def allpass_gain(delay, decay):
    """AllpassS's coefficient for a whole-sample delay and decay, from vorda:
    a fresh allpass answers an impulse with minus its gain. The coefficient
    is a powf, which Numba would call from a different library (and the patch
    and the C++ loop compute it once for a constant delay and decay too)."""
    return F32(-vorda.AllpassS(delay).process(1.0, delay, decay))


# ---------------------------------------------------------------- processors
# A ring is an array whose length is a power of two and a sample counter `t`
# shared by the rings of a network, all written once a sample: the write
# position of a ring is t & mask, as vorda's wraps there.


@njit(inline="always")
def read_linear(ring, mask, t, delay):
    """SampleRing::read_interpolated. A delay at or below 0 reads whole = 0
    (vorda saturates the count); these networks' delays are far inside the
    range where truncation is the floor."""
    whole = np.int64(delay) if delay > 0 else np.int64(0)
    index0 = (t - whole) & mask
    index1 = (index0 - 1) & mask
    frac = delay - F32(whole)
    return (ONE - frac) * ring[index0] + frac * ring[index1]


@njit(inline="always")
def biquad(b0, b1, b2, a1, a2, z1, z2, x):
    """Biquad.process: the output and the next (z1, z2)."""
    y = (x * b0) + z1
    return y, z2 + ((x * b1) - (y * a1)), (x * b2) - (y * a2)


@njit(inline="always")
def leak_dc(coef, x1, y1, x):
    """LeakDc.process: the output, which is also the next y1."""
    return (x - x1) + (coef * y1)


# ---------------------------------------------------------------- networks


@njit(cache=True)
def karplus_run(x, ring, counter, feedback, z, params, damping):
    rate, delay_sec = params[0], params[1]
    b0, b1, b2, a1, a2, coef = params[2], params[3], params[4], params[5], params[6], params[7]
    mask = len(ring) - 1
    t, v = counter[0], feedback[0]
    z1, z2, x1, y1 = z[0], z[1], z[2], z[3]
    y = np.empty(len(x), np.float32)
    for i in range(len(x)):
        fed = read_linear(ring, mask, t, delay_sec * rate)  # DelayL: the read,
        ring[t & mask] = F32(v)  # then the write
        t += 1
        low, z1, z2 = biquad(b0, b1, b2, a1, a2, z1, z2, fed)
        damped = damping * np.float64(low)
        v = np.float64(x[i]) + damped
        into = F32(damped)
        y1 = leak_dc(coef, x1, y1, into)
        x1 = into
        y[i] = y1
    counter[0], feedback[0] = t, v
    z[0], z[1], z[2], z[3] = z1, z2, x1, y1
    return y


@njit(cache=True)
def reverb_run(x, combs, comb_masks, comb_delays, lowpass_z, lowpass, allpasses, ap_masks,
               ap_delays, ap_gains, counter, in_gain, feedback):
    b0, b1, b2, a1, a2 = lowpass[0], lowpass[1], lowpass[2], lowpass[3], lowpass[4]
    sides, per_side, aps_per_side = 2, len(comb_delays) // 2, len(ap_delays) // 2
    t = counter[0]
    out = np.empty((sides, len(x)), np.float32)
    for i in range(len(x)):
        inp = in_gain * np.float64(x[i])
        for s in range(sides):
            total = 0.0
            for c in range(s * per_side, (s + 1) * per_side):
                mask = comb_masks[c]
                d = combs[c, (t - comb_delays[c]) & mask]  # RingBufferS.read
                low, lowpass_z[c, 0], lowpass_z[c, 1] = biquad(
                    b0, b1, b2, a1, a2, lowpass_z[c, 0], lowpass_z[c, 1], d)
                combs[c, t & mask] = F32(inp + feedback * np.float64(low))  # .write
                total += np.float64(d)
            for a in range(s * aps_per_side, (s + 1) * aps_per_side):
                mask, gain = ap_masks[a], ap_gains[a]
                delayed = allpasses[a, (t - ap_delays[a]) & mask]  # AllpassS.process_at
                stored = F32(total) + gain * delayed
                allpasses[a, t & mask] = stored
                total = np.float64(delayed - gain * stored)
            out[s, i] = F32(total)
        t += 1
    counter[0] = t
    return out[0], out[1]


@njit(cache=True)
def fdn_run(x, lines, masks, lengths, counter, feedback, gain):
    count = len(lengths)
    t = counter[0]
    ys = np.empty(count)
    y = np.empty(len(x), np.float32)
    for i in range(len(x)):
        for k in range(count):  # DelayS.process: the read, then the write
            ys[k] = np.float64(lines[k, (t - lengths[k]) & masks[k]])
            lines[k, t & masks[k]] = F32(feedback[k])
        t += 1
        total = ys[0] + ys[1] + ys[2] + ys[3]
        half = 0.5 * total
        xi = np.float64(x[i])
        for k in range(count):
            feedback[k] = xi + gain * (ys[k] - half)
        y[i] = F32(total)
    counter[0] = t
    return y


class Karplus:
    def __init__(self, k):
        self.ring = np.zeros(timed_ring_slots(k["rate"], k["ks_max_sec"]), np.float32)
        self.counter, self.feedback = np.zeros(1, np.int64), np.zeros(1)
        self.z = np.zeros(4, np.float32)
        names = ("rate", "ks_delay_sec", "ks_b0", "ks_b1", "ks_b2", "ks_a1", "ks_a2", "ks_coef")
        self.params = np.array([k[name] for name in names], np.float32)
        self.damping = float(k["ks_damping"])

    def run(self, x):
        return karplus_run(x, self.ring, self.counter, self.feedback, self.z, self.params,
                           self.damping)


def rings(delays):
    """One row per ring, each as long as the longest, with its own mask."""
    slots = [ring_slots(d) for d in delays]
    return (np.zeros((len(delays), max(slots)), np.float32),
            np.array([s - 1 for s in slots], np.int64), np.array(delays, np.int64))


class Reverb:
    def __init__(self, k):
        combs = [k[f"fv_comb{c}"] for c in range(16)]
        aps = [k[f"fv_ap{a}"] for a in range(8)]
        self.combs, self.comb_masks, self.comb_delays = rings(combs)
        self.allpasses, self.ap_masks, self.ap_delays = rings(aps)
        self.ap_gains = np.array([allpass_gain(d, k[f"fv_decay{a}"]) for a, d in enumerate(aps)],
                                 np.float32)
        self.lowpass = np.array([k[f"fv_{c}"] for c in ("b0", "b1", "b2", "a1", "a2")], np.float32)
        self.lowpass_z = np.zeros((len(combs), 2), np.float32)
        self.counter = np.zeros(1, np.int64)
        self.in_gain, self.feedback = float(k["fv_in_gain"]), float(k["fv_feedback"])

    def run(self, x):
        return reverb_run(x, self.combs, self.comb_masks, self.comb_delays, self.lowpass_z,
                          self.lowpass, self.allpasses, self.ap_masks, self.ap_delays,
                          self.ap_gains, self.counter, self.in_gain, self.feedback)


class Fdn:
    def __init__(self, k):
        self.lines, self.masks, self.lengths = rings([k[f"fdn_len{i}"] for i in range(4)])
        self.counter, self.feedback = np.zeros(1, np.int64), np.zeros(4)
        self.gain = float(k["fdn_gain"])

    def run(self, x):
        return fdn_run(x, self.lines, self.masks, self.lengths, self.counter, self.feedback,
                       self.gain)


NETWORKS = {"karplus": Karplus, "reverb": Reverb, "fdn": Fdn}
