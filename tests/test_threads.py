"""Threads on shared and private instances: a call that meets another thread's
borrow is refused and stores nothing; many threads at once do not crash,
deadlock or disturb private instances."""
import sys
import threading
import time

import pytest

import vorda
from helpers import Num

THREADS, CALLS = 6, 2000


def pause():
    time.sleep(0)  # lets another thread in while a conversion holds the instance


class Parked:
    """Keeps its caller inside the conversion, with the instance borrowed, until
    released: whether the threads collide is not up to the scheduler."""

    def __init__(self):
        self.inside, self.release = threading.Event(), threading.Event()

    def _park(self, value):
        self.inside.set()
        assert self.release.wait(60)
        return value

    def __float__(self):
        return self._park(7.0)

    def __index__(self):
        return self._park(1)


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
    parked, results = Parked(), []
    holder = threading.Thread(target=lambda: results.append(held(ring, parked)))
    holder.start()
    try:
        assert parked.inside.wait(60)
        if message is None:
            assert other(ring) == 5.0  # shared borrows coexist
        else:
            with pytest.raises(RuntimeError, match=f"^{message}$"):
                other(ring)
    finally:
        parked.release.set()
        holder.join(60)
    assert len(results) == 1 and ring.read(1) == newest  # the refused call stored nothing
    other(ring)  # the borrow was given back


def test_many_threads_on_shared_and_private_instances():
    ring = vorda.RingBufferS(64)
    privates = [vorda.CombN(48000.0, 0.01) for _ in range(THREADS)]
    outputs, errors, failures, written = [[] for _ in range(THREADS)], [], [], set()

    def work(i):
        try:
            for n in range(CALLS):
                value = float(i * 10**6 + n)
                try:
                    if n % 3:
                        ring.write(Num(value, before=pause) if n % 2 else value)
                        written.add(value)
                    else:
                        ring.read(Num(n % 64, before=pause) if n % 2 else n % 64)
                        _ = ring.max_delay_samp
                except RuntimeError as e:
                    errors.append(str(e))
                outputs[i].append(privates[i].process(n * 0.001 + i, 0.0002 * (i + 1), 0.05))
        except BaseException as e:  # noqa: BLE001 - anything else is a failure
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
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
    assert failures == [] and set(errors) <= {"Already borrowed", "Already mutably borrowed"}
    # The newest slots hold values of successful writes, each once (zeros where fewer
    # than 64 writes got through).
    stored = [v for v in (ring.read(d) for d in range(1, 65)) if v != 0.0]
    assert set(stored) <= written and len(set(stored)) == len(stored) == min(64, len(written))
    for i in range(THREADS):
        twin = vorda.CombN(48000.0, 0.01)
        assert outputs[i] == [twin.process(n * 0.001 + i, 0.0002 * (i + 1), 0.05)
                              for n in range(CALLS)]
