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


def truncated_delay(rate, delay_sec):
    """The whole samples an N class reads at `delay_sec`: the float32 product,
    rounded down."""
    return int(np.floor(F32(delay_sec) * F32(rate)))


def feedback_gain(rate, delay_sec, decay_sec):
    """The coefficient of CombN and AllpassN (one formula) at a delay and a
    decay in seconds, from vorda, as allpass_gain."""
    return F32(-vorda.AllpassN(rate, 1.0).process(1.0, delay_sec, decay_sec))


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


@njit(inline="always")
def string_step(ring, mask, t, v, delay, params, z1, z2, x1, y1, damping, x):
    """One sample of a plucked string (patches.py's record_string) whose
    line, written at `t`, last took `v`: the next v and the state after it
    (z1, z2, x1, y1; y1 is the output)."""
    b0, b1, b2, a1, a2, coef = params[2], params[3], params[4], params[5], params[6], params[7]
    fed = read_linear(ring, mask, t, delay)  # DelayL: the read,
    ring[t & mask] = F32(v)  # then the write
    low, z1, z2 = biquad(b0, b1, b2, a1, a2, z1, z2, fed)
    damped = damping * np.float64(low)
    into = F32(damped)
    return np.float64(x) + damped, z1, z2, into, leak_dc(coef, x1, y1, into)


@njit(cache=True)
def karplus_run(x, ring, counter, feedback, z, params, damping):
    delay = params[1] * params[0]  # delay_sec * rate
    mask = len(ring) - 1
    t, v = counter[0], feedback[0]
    z1, z2, x1, y1 = z[0], z[1], z[2], z[3]
    y = np.empty(len(x), np.float32)
    for i in range(len(x)):
        v, z1, z2, x1, y1 = string_step(ring, mask, t, v, delay, params, z1, z2, x1, y1,
                                        damping, x[i])
        t += 1
        y[i] = y1
    counter[0], feedback[0] = t, v
    z[0], z[1], z[2], z[3] = z1, z2, x1, y1
    return y


@njit(cache=True)
def voices_run(xs, rings, counters, feedbacks, z, params, damping):
    """Strings one after another, each over the whole of its row of `xs`,
    their outputs summed from 0.0 in the order of the voices (as the patch
    adds them up, sample by sample). `params` holds one string's parameters
    a row, as karplus_run takes them."""
    total = np.zeros(xs.shape[1])
    for k in range(xs.shape[0]):
        ring, p = rings[k], params[k]
        delay, mask = p[1] * p[0], len(ring) - 1
        t, v = counters[k], feedbacks[k]
        z1, z2, x1, y1 = z[k, 0], z[k, 1], z[k, 2], z[k, 3]
        for i in range(xs.shape[1]):
            v, z1, z2, x1, y1 = string_step(ring, mask, t, v, delay, p, z1, z2, x1, y1,
                                            damping, xs[k, i])
            t += 1
            total[i] += np.float64(y1)
        counters[k], feedbacks[k] = t, v
        z[k, 0], z[k, 1], z[k, 2], z[k, 3] = z1, z2, x1, y1
    return total.astype(np.float32)


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


@njit(cache=True)
def comb_reverb_run(x, combs, comb_delays, comb_gains, allpasses, ap_delays, ap_gains, counter):
    comb_mask, ap_mask = combs.shape[1] - 1, allpasses.shape[1] - 1
    t = counter[0]
    y = np.empty(len(x), np.float32)
    for i in range(len(x)):
        xi = x[i]
        total = 0.0
        for c in range(len(comb_delays)):  # CombN.process: the read, then the write
            delayed = combs[c, (t - comb_delays[c]) & comb_mask]
            combs[c, t & comb_mask] = xi + comb_gains[c] * delayed
            total += np.float64(delayed)
        through = F32(total)
        for a in range(len(ap_delays)):  # AllpassN.process
            gain = ap_gains[a]
            delayed = allpasses[a, (t - ap_delays[a]) & ap_mask]
            stored = through + gain * delayed
            allpasses[a, t & ap_mask] = stored
            through = delayed - gain * stored
        y[i] = through
        t += 1
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


class Voices:
    """Strings as Karplus, each with its delay (pv_delay0, pv_delay1, ...),
    each plucked by its row of the input."""

    def __init__(self, k):
        strings = [Karplus(dict(k, ks_delay_sec=k[f"pv_delay{v}"])) for v in range(k["pv_voices"])]
        self.rings = ring_rows(len(strings), len(strings[0].ring))
        self.counters, self.feedbacks = np.zeros(len(strings), np.int64), np.zeros(len(strings))
        self.z = np.zeros((len(strings), 4), np.float32)
        self.params = np.array([s.params for s in strings])
        self.damping = strings[0].damping

    def run(self, xs):
        return voices_run(xs, self.rings, self.counters, self.feedbacks, self.z, self.params,
                          self.damping)


# Rings of a power of two of slots, as rows of one array, would start a
# multiple of 4 KiB apart, where the processor can take a load from one ring
# for dependent on a store to the same offset of another: Numba's comb
# reverb took 24 ns a sample so laid out and 14 with its rows 256 bytes
# further apart; with its combs and allpasses in two arrays, wherever numpy
# put them, 14.5 to 31 over twelve allocations. Rows are kept apart by this
# many floats, so that Numba is timed at its faster layout.
ROW_PADDING = 64


def ring_rows(count, slots):
    """`count` rings of `slots` slots, zeros, as the rows of one array."""
    return np.zeros((count, slots + ROW_PADDING), np.float32)[:, :slots]


def rings(delays):
    """One row per ring, each as long as the longest, with its own mask."""
    slots = [ring_slots(d) for d in delays]
    return (ring_rows(len(delays), max(slots)), np.array([s - 1 for s in slots], np.int64),
            np.array(delays, np.int64))


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


class CombReverb:
    def __init__(self, k):
        rate = k["rate"]
        combs = [k[f"cr_comb{c}"] for c in range(k["cr_combs"])]
        aps = [k[f"cr_ap{a}"] for a in range(k["cr_allpasses"])]
        slots = timed_ring_slots(rate, k["cr_max_sec"]), timed_ring_slots(rate, k["cr_ap_max_sec"])
        rows = ring_rows(len(combs) + len(aps), max(slots))
        self.combs, self.allpasses = rows[:len(combs), :slots[0]], rows[len(combs):, :slots[1]]
        self.comb_delays = np.array([truncated_delay(rate, d) for d in combs], np.int64)
        self.ap_delays = np.array([truncated_delay(rate, d) for d in aps], np.int64)
        self.comb_gains = np.array([feedback_gain(rate, d, k["cr_decay"]) for d in combs],
                                   np.float32)
        self.ap_gains = np.array([feedback_gain(rate, d, k["cr_ap_decay"]) for d in aps],
                                 np.float32)
        self.counter = np.zeros(1, np.int64)

    def run(self, x):
        return comb_reverb_run(x, self.combs, self.comb_delays, self.comb_gains, self.allpasses,
                               self.ap_delays, self.ap_gains, self.counter)


NETWORKS = {"karplus": Karplus, "reverb": Reverb, "fdn": Fdn, "comb_reverb": CombReverb,
            "voices": Voices}
