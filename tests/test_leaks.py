"""Reference counts and memory across thousands of calls, on each success and failure path.

A call that leaks one object, one reference or one heap string per call is multiplied
here into tens of kilobytes or thousands of references, far beyond the noise.
"""
import contextlib
import ctypes
import gc
import sys
import tracemalloc

import pytest

import vorda
from test_fuzz import KITS, PANIC, make, run, signature

CALLS, WARMUP = 1000, 200
# A PanicException from Python prints its traceback on every call, and the
# interpreter's printing fills caches of its own for the first hundreds.
RESUMED, RESUMED_WARMUP = 600, 300
LIMIT = 4096  # bytes; one leaked float per call would leave 12000


class Flt(float):
    """A float of our own, so that its reference count is ours alone."""


class Int(int):
    pass


class Opaque:
    pass


class Discard:
    """A stderr that keeps nothing: a buffered file would hold text between calls."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Dunder:
    """Runs `act` inside both conversions, then returns a number that is not cached."""

    def __init__(self, act):
        self.act, self.value = act, int("300")

    def __float__(self):
        self.act()
        return float(self.value)

    def __index__(self):
        self.act()
        return self.value


def fail(error, cause=None):
    # Created anew on each call and held by nothing else, so that no reference cycle
    # keeps an exception (and the frames of its traceback) alive after the call.
    raise error from cause


def quietly(target, op):
    def act():
        with contextlib.suppress(RuntimeError):  # the held borrow refuses most re-entry
            run(target, op)
    return act


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = Mallinfo2


def c_heap():
    """Bytes the C allocator has handed out, where the module's own allocations live."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def variants(kit_name, callee):
    """(label, expected exception, function, positional, keyword) for one callable."""
    kit = KITS[kit_name]
    inst = make(kit_name)[0]
    conversions = [("TypeError with a cause", TypeError,
                    Dunder(lambda: fail(TypeError("no good"), ValueError("root")))),
                   ("PanicException", PANIC, Dunder(lambda: fail(PANIC("no good")))),
                   ("re-entry", None, Dunder(quietly(inst, kit.mut))),
                   ("wrong type", TypeError, Opaque())]
    if callee.startswith("."):  # a property
        prop = callee[1:]
        out = [("get", None, getattr, [inst, prop], {}),
               ("delete", AttributeError, delattr, [inst, prop], {})]
        if prop not in kit.setters:
            return out + [("set", AttributeError, setattr, [inst, prop, Flt(0.5)], {})]
        return out + [(label, error, setattr, [inst, prop, value], {}) for label, error, value
                      in [("set", None, Flt(0.5))] + conversions]
    fn = getattr(vorda, kit_name) if callee == "__new__" else getattr(inst, callee)
    sig = signature(kit_name, callee)
    if not sig:
        return [("call", None, fn, [], {}), ("too many", TypeError, fn, [Opaque()], {})]
    values = kit.args if callee in ("__new__", "set_coefs") else next(
        args for name, args in kit.probe + [kit.mut] if name == callee)
    good = [Flt(v) if p.kind in "ST" else Int(v) for p, v in zip(sig, values)]
    cases = [("call", None, good, {}), ("too many", TypeError, good + [Opaque()], {}),
             ("unexpected keyword", TypeError, good, {"bogus": Opaque()}),
             ("duplicate keyword", TypeError, good, {sig[0].name: Opaque()}),
             ("ValueError", ValueError, good[:-1] + [Dunder(lambda: fail(ValueError()))], {}),
             ("overflow", OverflowError,
              good[:-1] + [Int(10**400 if sig[-1].kind in "ST" else -1)], {})]
    cases += [(label, error, good[:-1] + [value], {}) for label, error, value in conversions]
    if sig[0].required:
        cases.append(("missing", TypeError, [], {}))
    if callee == "__new__" and sig[0].name in ("sample_rate", "max_delay_samp"):
        first = Flt(0.0) if sig[0].kind in "ST" else Int(2**61)
        cases.append(("panic", PANIC, [first] + good[1:], {}))
    return [(label, error, fn, args, kwargs) for label, error, args, kwargs in cases]


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001
        return type(e)
    return None


def growth(fn, args, kwargs, error, watched, calls, warmup, printing=False):
    """Reference-count changes, traced Python bytes and C heap bytes left by the calls.

    The traced growth is that of a second batch of calls over the first: a
    leak grows with every batch, while caches that the calls fill level off.
    Where the calls print a traceback, the interpreter's printing churns its
    own caches and traced bytes say more about that than about the calls;
    there, live memory blocks are counted instead (a leak adds one a call).
    """
    def once():
        try:
            fn(*args, **kwargs)
        except error or ():
            pass

    for _ in range(warmup):
        once()
    gc.collect()
    refs, heap = [sys.getrefcount(obj) for obj in watched], c_heap()
    tracemalloc.start()
    for _ in range(calls // 2):
        once()
    gc.collect()
    first, blocks = tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()
    for _ in range(calls // 2):
        once()
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - first
    if printing:
        # Scaled to bytes as if each block were the smallest object (16 bytes).
        traced = 16 * (sys.getallocatedblocks() - blocks)
    tracemalloc.stop()
    heap = c_heap() - heap
    after = [sys.getrefcount(obj) for obj in watched]
    return [a - b for a, b in zip(after, refs)], traced, heap


CALLABLES = [(k, c) for k, kit in KITS.items() for c in
             ([] if kit.args is None else ["__new__"]) + list(kit.methods)
             + ["." + p for p in kit.props]]


@pytest.mark.parametrize("kit_name, callee", CALLABLES)
def test_no_leaks(kit_name, callee):
    failures = []
    with contextlib.redirect_stderr(Discard()):
        for label, error, fn, args, kwargs in variants(kit_name, callee):
            assert outcome(fn, args, kwargs) is error, label
            watched = [*args, *kwargs.values(), getattr(fn, "__self__", fn), PANIC,
                       getattr(vorda, kit_name)]
            watched += [a.value for a in args if isinstance(a, Dunder)]
            resumed = label == "PanicException"
            refs, traced, heap = growth(fn, args, kwargs, error, watched,
                                        RESUMED if resumed else CALLS,
                                        RESUMED_WARMUP if resumed else WARMUP, resumed)
            if any(refs) or traced > LIMIT or heap > LIMIT:
                failures.append(f"{label}: references {refs}, {traced} B traced, {heap} B heap")
    assert not failures, failures


def vm(field):
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) * 1024


def test_large_buffers_are_freed():
    def churn():
        for _ in range(200):
            ring, line = vorda.RingBufferL(48000.0, 10.0), vorda.DelayS(2**24)
            for x in (1.0, 2.0, 3.0):
                ring.write(x)
                line.process(x, 2**23)

    churn()  # the allocator settles into its steady state first
    rss, size = vm("VmRSS"), vm("VmSize")
    churn()
    # 200 leaked buffers would add 13 GiB of address space and at least 2 MiB resident.
    assert vm("VmRSS") - rss < 1 << 20
    assert vm("VmSize") - size < 64 << 20
