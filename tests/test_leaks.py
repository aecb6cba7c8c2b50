"""Reference counts and memory over many calls, on every success and failure path of
every callable. A leak of one object, reference or string per call is multiplied
into thousands of references or kilobytes, far beyond the noise."""
import contextlib
import ctypes
import gc
import sys
import tracemalloc
import weakref

import pytest

import vorda
from helpers import CALLABLES, CLASSES, Num, kind, make, operations, panic_type, properties, \
    settable, standard, target

PANIC = panic_type()
CALLS, WARMUP = 400, 200
# A PanicException from Python prints its traceback on every call, and the
# interpreter's printing fills caches of its own for the first hundreds.
RESUMED, RESUMED_WARMUP = 600, 300
LIMIT = 4096  # bytes; a float leaked by each call of the second half leaves 4800


class Flt(float):
    """Of our own, so that its reference count is ours alone."""


class Int(int):
    pass


class Discard:
    """A stderr that keeps nothing: a buffered file would hold text between calls."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def fail(error, cause=None):
    raise error from cause  # new on each call and held by nothing after it


def variants(owner, callee):
    """(label, expected exception, function, positional, keyword)."""
    prop = callee[1:] if callee.startswith(".") else None
    fn, inst, _, ps, _ = target(owner, "__new__" if prop else callee)
    if prop:  # counts past the interpreter's cached small ints, so each read makes one
        inst = fn(*[1000 if kind(p.name) == "count" else v for p, v in zip(ps, standard(ps))])
    ops = [] if inst is vorda else operations(type(inst))

    def reenter():
        for _, op, _ in ops:
            with contextlib.suppress(RuntimeError):  # most are refused: the call holds it
                op(inst)

    def num(act):  # returns an int that is not cached, so its reference count is ours
        return Num(int("300"), before=act)

    bad = [("TypeError with a cause", TypeError,
            num(lambda: fail(TypeError("no good"), ValueError("root")))),
           ("PanicException", PANIC, num(lambda: fail(PANIC("no good")))),
           ("ValueError", ValueError, num(lambda: fail(ValueError()))),
           ("re-entry", None, num(reenter)), ("wrong type", TypeError, object())]
    if prop:
        out = [("get", None, getattr, [inst, prop], {}),
               ("delete", AttributeError, delattr, [inst, prop], {})]
        if not settable(type(inst), prop):
            return out + [("set", AttributeError, setattr, [inst, prop, Flt(0.5)], {})]
        return out + [(label, error, setattr, [inst, prop, value], {})
                      for label, error, value in [("set", None, Flt(0.5))] + bad]
    good = [Flt(v) if kind(p.name) == "sample" else Int(v) for p, v in zip(ps, standard(ps))]
    cases = [("call", None, good, {}), ("too many", TypeError, good + [object()], {}),
             ("unexpected keyword", TypeError, good, {"bogus": object()}),
             ("duplicate keyword", TypeError, good, {ps[0].name: object()}),
             ("overflow", OverflowError,
              good[:-1] + [Int(10**400 if kind(ps[-1].name) == "sample" else -1)], {})]
    cases += [(label, error, good[:-1] + [value], {}) for label, error, value in bad]
    if ps[0].default is ps[0].empty:
        cases.append(("missing", TypeError, [], {}))
    if callee == "__new__" and ps[0].name in ("sample_rate", "max_delay_samp"):
        first = Flt(0.0) if kind(ps[0].name) == "sample" else Int(2**61)
        cases.append(("panic", PANIC, [first] + good[1:], {}))
    return [(label, error, fn, args, kwargs) for label, error, args, kwargs in cases]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = type("Mallinfo2", (ctypes.Structure,), {"_fields_": [
    (name, ctypes.c_size_t) for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks "
                                        "uordblks fordblks keepcost".split()]})


def c_heap():
    """Bytes the C allocator has handed out, where the module's own allocations live."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.fixture(autouse=True)
def frozen_heap():
    """Full collections, over what the calls made: everything alive before (the suite,
    hypothesis, numpy) is set aside, or every collection would walk all of it."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def growth(once, watched, calls, warmup, printing):
    """Reference-count changes, traced bytes and C heap bytes left by the calls. Traced
    growth is that of a second batch over the first: caches level off, leaks do not.
    Where each call prints a traceback, live blocks are counted instead (as 16 bytes
    each), since the interpreter's printing churns caches of its own."""
    for _ in range(warmup):
        once()
    gc.collect()  # a full one: on 3.10 exception chains reach the old generation
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
        traced = 16 * (sys.getallocatedblocks() - blocks)
    tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    return [a - b for a, b in zip(after, refs)], traced, c_heap() - heap


def shape(owner, callee):
    """What decides a call's path through the frame: the entry point, the
    kind of each parameter and whether it may be left out, the borrow it
    takes, the kind of its result. The classes' tables only declare; the
    frame's templates do every conversion and reference count for them."""
    if callee.startswith("."):
        cls = getattr(vorda, owner)
        return "property", settable(cls, callee[1:]), type(getattr(make(cls), callee[1:]))
    fn, _, _, ps, _ = target(owner, callee)
    entry = "function" if owner == "pan2" else "constructor" if callee == "__new__" else "method"
    result = None if entry == "constructor" else type(fn(*standard(ps)))
    return (entry, tuple((kind(p.name), p.default is p.empty) for p in ps), callee == "read",
            result)


# One callable of each shape: 21 of the 47 callables and properties. A leak in
# a path of the frame is a leak in every callable that takes it.
SHAPES = {}
for case in CALLABLES + [(c.__name__, "." + p) for c in CLASSES for p in properties(c)]:
    SHAPES.setdefault(shape(*case), case)


@pytest.mark.parametrize("owner, callee", SHAPES.values())
def test_no_leaks(owner, callee):
    failures = []
    with contextlib.redirect_stderr(Discard()):
        for label, error, fn, args, kwargs in variants(owner, callee):
            def once():
                try:
                    fn(*args, **kwargs)
                except error or ():
                    pass
                else:
                    assert error is None, label

            watched = [*args, *kwargs.values(), getattr(fn, "__self__", fn), PANIC,
                       getattr(vorda, owner)] + [a.value for a in args if isinstance(a, Num)]
            resumed = label == "PanicException"
            calls = RESUMED if resumed else CALLS
            refs, traced, heap = growth(once, watched, calls,
                                        RESUMED_WARMUP if resumed else WARMUP, resumed)
            # A reference lost or kept by the call repeats with every call. A step of
            # one is the interpreter's: its attribute cache holds names such as
            # "phase" strongly and lets go when another lookup takes the slot.
            if any(abs(r) >= calls // 2 for r in refs) or traced > LIMIT or heap > LIMIT:
                failures.append(f"{label}: references {refs}, {traced} B traced, {heap} B heap")
    assert not failures, failures


def test_large_buffers_are_freed():
    def vm(field):
        with open("/proc/self/status") as status:
            return int(next(ln for ln in status if ln.startswith(field + ":")).split()[1]) << 10

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
    assert vm("VmRSS") - rss < 1 << 20 and vm("VmSize") - size < 64 << 20


def steady_growth(once, watched, batches=8):
    """Reference-count changes and the smallest traced and C heap growth of a
    batch of calls over several batches, after a warm-up: a leak grows with
    every batch, while the caches of numpy and of the interpreter (free lists
    of small tuples, buffers of small arrays) now and then take a step. The
    C heap is measured while nothing is traced: tracing keeps tables of its
    own there."""
    def batch():  # a byte leaked by each call is a step no cache takes
        for _ in range(CALLS):
            once()
        gc.collect()

    for _ in range(WARMUP):
        once()
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    heap = []
    for _ in range(batches):
        before = c_heap()
        batch()
        heap.append(c_heap() - before)
    tracemalloc.start()
    traced = []
    for _ in range(batches):
        before = tracemalloc.get_traced_memory()[0]
        batch()
        traced.append(tracemalloc.get_traced_memory()[0] - before)
    tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    return [a - b for a, b in zip(after, refs)], min(traced), min(heap)

def test_patches_leak_nothing_built_run_refused_or_collected():
    """Recording, compiling, running, refusing and collecting patches, a thousand
    times each: the instances a patch held come back to their counts, and memory
    stays level. A patch in a reference cycle (a subclass keeping its values) is
    collected with its instances."""
    import numpy as np

    import vorda_blocks as vb

    line, lowpass = vorda.DelayL(48000.0, 0.01), vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1)
    x_in = np.linspace(-1, 1, 64)

    class Voice(vb.Patch):
        pass

    def build(cls=vb.Patch, outputs=2):
        p = cls()
        x, f = p.input("x"), p.feedback()
        y = p.process(lowpass, p.process(line, f, 0.002))
        f.set(x + 0.5 * y)
        p.output("y", y)
        if outputs > 1:
            p.output("z", p.min(y, 0.5), dtype=np.float64)
        return p, x, f

    ready = build()[0]
    ready.run(x=x_in)

    collected = []

    def cyclic():
        p, x, f = build(Voice, outputs=1)
        p.me, p.x, p.f = p, x, f  # a cycle through the patch
        p.run(x=x_in)
        collected[:] = [weakref.ref(p)]  # the latest only: a list of them would grow

    calls = {
        "build": lambda: build(),
        "run": lambda: ready.run(x=x_in),
        "steps": lambda: (ready.steps, ready.inputs, ready.outputs, ready.schedule),
        "refused run": lambda: ready.run(x=x_in[:3], n=4),
        "refused record": lambda: build()[0].process(line, Flt(1.0), 1.5),
        "cycle": cyclic,
    }
    failures = []
    for label, call in calls.items():
        def once():
            try:
                call()
            except (TypeError, ValueError):
                pass

        refs, traced, heap = steady_growth(once, [line, lowpass, x_in])
        if any(abs(r) >= CALLS // 2 for r in refs) or traced > LIMIT or heap > LIMIT:
            failures.append(f"{label}: references {refs}, {traced} B traced, {heap} B heap")
    assert not failures, failures
    gc.collect()
    assert collected and not any(ref() for ref in collected)


def test_snapshots_leak_nothing_taken_restored_refused_or_pickled():
    import copy
    import pickle

    import vorda_blocks as vb

    ring = vorda.RingBufferL(48000.0, 0.01)
    p = vb.Patch()
    x = p.input("a signal")  # not a one-letter name: the interpreter keeps those for good
    p.write(ring, x)
    p.output("y", p.read(ring, 0.005))
    data, whole = vb.snapshot(ring), vb.snapshot(p)
    bad = data[:-5]
    calls = {
        "snapshot": lambda: vb.snapshot(ring),
        "restore": lambda: vb.restore(data),
        "patch": lambda: vb.restore(vb.snapshot(p)),
        "patch apart": lambda: vb.restore(vb.snapshot(p, instances=False), instances=(ring,)),
        "refused": lambda: vb.restore(bad),
        "refused patch": lambda: vb.restore(whole + b"\0"),
        "pickle": lambda: pickle.loads(pickle.dumps(p)),
        "copy": lambda: copy.copy(ring),
    }
    failures = []
    for label, call in calls.items():
        def once():
            try:
                call()
            except ValueError:
                pass

        refs, traced, heap = steady_growth(once, [ring, p, data])
        if any(abs(r) >= CALLS // 2 for r in refs) or traced > LIMIT or heap > LIMIT:
            failures.append(f"{label}: references {refs}, {traced} B traced, {heap} B heap")
    assert not failures, failures
