"""Many threads on shared and private instances: no crash, no deadlock, only
the documented borrow errors, and private instances unaffected."""
import sys
import threading
import time

import pytest

import vorda

THREADS = 6
CALLS = 3000


class YieldingFloat:
    """Releases the interpreter lock in the middle of an argument conversion,
    so another thread can reach the same instance while its borrow is held."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class YieldingIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class ParkedArgument:
    """Keeps its caller inside the conversion, with the instance borrowed,
    until the test lets it go; whether the threads collide is then no longer
    up to the scheduler."""

    def __init__(self):
        self.inside = threading.Event()
        self.release = threading.Event()

    def _park(self):
        self.inside.set()
        assert self.release.wait(60)

    def __float__(self):
        self._park()
        return 7.0

    def __index__(self):
        self._park()
        return 1


@pytest.mark.parametrize("held, other, message, newest", [
    (lambda r, a: r.write(a), lambda r: r.write(1.0), "Already borrowed", 7.0),
    (lambda r, a: r.write(a), lambda r: r.read(1), "Already mutably borrowed", 7.0),
    (lambda r, a: r.write(a), lambda r: r.max_delay_samp, "Already mutably borrowed", 7.0),
    (lambda r, a: r.read(a), lambda r: r.write(1.0), "Already borrowed", 6.0),
    (lambda r, a: r.read(a), lambda r: r.read(2), None, 6.0),
])
def test_collision_with_a_call_in_another_thread(held, other, message, newest):
    ring = vorda.RingBufferS(8)
    ring.write(5.0)
    ring.write(6.0)
    parked = ParkedArgument()
    results = []
    holder = threading.Thread(target=lambda: results.append(held(ring, parked)))
    holder.start()
    try:
        assert parked.inside.wait(60)
        if message is None:
            assert other(ring) == 5.0  # shared borrows coexist
        else:
            with pytest.raises(RuntimeError) as info:
                other(ring)
            assert str(info.value) == message
    finally:
        parked.release.set()
        holder.join(60)
    assert not holder.is_alive()
    assert len(results) == 1
    assert ring.read(1) == newest  # the refused call stored nothing
    other(ring)  # the borrow was given back


def run_threads(target):
    errors, failures = [], []

    def guarded(i):
        try:
            target(i, errors)
        except BaseException as e:  # noqa: BLE001 - anything else is a failure
            failures.append(repr(e))

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(THREADS)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch as often as possible
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert failures == []
    return errors


def test_shared_delay_and_private_twins():
    shared = vorda.DelayL(48000.0, 0.01)
    privates = [vorda.CombN(48000.0, 0.01) for _ in range(THREADS)]
    outputs = [[] for _ in range(THREADS)]

    def work(i, errors):
        mine = privates[i]
        for n in range(CALLS):
            x = n * 0.001 + i
            try:
                arg = YieldingFloat(x) if n % 3 == 0 else x
                shared.process(arg, 0.0005)
            except RuntimeError as e:
                errors.append(str(e))
            outputs[i].append(mine.process(x, 0.0002 * (i + 1), 0.05))

    errors = run_threads(work)
    assert set(errors) <= {"Already borrowed"}
    for i in range(THREADS):
        twin = vorda.CombN(48000.0, 0.01)
        expected = [twin.process(n * 0.001 + i, 0.0002 * (i + 1), 0.05) for n in range(CALLS)]
        assert outputs[i] == expected


def test_shared_ring_buffer_readers_and_writers():
    ring = vorda.RingBufferS(64)
    written = set()

    def work(i, errors):
        if i % 2 == 0:
            # A reader parked in a conversion holds its shared borrow and
            # keeps every writer out until it returns.
            for n in range(CALLS // 10):
                try:
                    ring.read(YieldingIndex(n % 64) if n % 8 == 0 else n % 64)
                    _ = ring.max_delay_samp
                except RuntimeError as e:
                    errors.append(str(e))
            return
        # Writers go on (bounded in time) until they have stored enough.
        deadline = time.monotonic() + 20
        n = 0
        while len(written) < 3 * 64 and time.monotonic() < deadline:
            n += 1
            value = float(i * 10**6 + n)
            try:
                ring.write(YieldingFloat(value) if n % 2 else value)
                written.add(value)
            except RuntimeError as e:
                errors.append(str(e))

    errors = run_threads(work)
    assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}
    # The ring holds only values that some successful write stored, each once.
    recent = [ring.read(d) for d in range(1, 65)]
    assert set(recent) <= written
    assert len(set(recent)) == 64


@pytest.mark.parametrize("make, call", [
    (lambda: vorda.SinOsc(48000.0), lambda o, x: o.process(x)),
    (lambda: vorda.Lfo(48000.0, 1), lambda o, x: o.process(x)),
    (lambda: vorda.Biquad(0.2, 0.3, 0.2, -0.4, 0.1), lambda o, x: o.process(x)),
    (lambda: vorda.AllpassS(32), lambda o, x: o.process(x, 3, 9)),
])
def test_reentry_from_other_threads_never_corrupts(make, call):
    shared = make()

    def work(i, errors):
        for n in range(CALLS // 3):
            try:
                call(shared, YieldingFloat(n * 0.5) if n % 2 else n * 0.5)
            except RuntimeError as e:
                errors.append(str(e))

    errors = run_threads(work)
    assert set(errors) <= {"Already borrowed"}
    call(shared, 1.0)  # still usable: no borrow left behind
