"""State that travels: a snapshot, a pickle at any protocol, copy.copy and
copy.deepcopy each give a twin that continues bit for bit where the original
stands, for every class and for patches; bad bytes only ever give ValueError."""
import copy
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import vorda
import vorda_blocks as vb
from helpers import exact, piece, probe, recorded, same, same_outputs

NAN = float("nan")
RATES = st.sampled_from([64.0, 1000.0, 48000.0]) | st.floats(1.0, 96000.0)


CLASSES = [n for n in vorda.__all__ if n != "pan2"]


@st.composite
def constructed(draw, name):
    """A random instance of the class, as a user would construct it."""
    cls = getattr(vorda, name)
    if name == "WhiteNoise":
        return cls(draw(st.none() | st.integers(0, 2**64 - 1)))  # None: seeded by the OS
    if name == "SinOsc":
        return cls(draw(RATES), draw(st.floats(-2, 2) | st.just(NAN)))
    if name == "Lfo":
        return cls(draw(RATES), draw(st.integers(0, 5)))
    if name == "Biquad":
        return cls(*draw(st.lists(st.floats(-2, 2), min_size=5, max_size=5)))
    if name == "LeakDc":
        return cls(draw(st.floats(-1.5, 1.5)))
    if name.endswith("S"):
        return cls(draw(st.integers(0, 300)))
    return cls(draw(RATES.filter(lambda r: r < 5000)), draw(st.floats(1e-3, 0.2)))


def numbers(name):
    if name.endswith("_samp"):
        return st.integers(0, 400)
    return st.floats(-3, 3) | st.sampled_from([NAN, float("inf"), 0.0, -0.0, 0.004, 0.1])


@st.composite
def action(draw, obj):
    """One thing done to an instance: (kind, method, arguments). The same action
    is then done to the original and to each twin."""
    methods = [m for m in ("process", "read", "write", "set_coefs", "reset")
               if hasattr(type(obj), m)]
    method = draw(st.sampled_from(methods + ["coef"] * isinstance(obj, vorda.LeakDc)))
    if method == "coef":
        return ("set", "coef", draw(numbers("coef")))
    if method in ("reset", "set_coefs"):
        names = [] if method == "reset" else ["b0", "b1", "b2", "a1", "a2"]
        return ("call", method, [draw(numbers(n)) for n in names])
    import inspect

    names = list(inspect.signature(getattr(obj, method)).parameters)
    kind = draw(st.sampled_from(["call", "block", "patch"]))
    if kind == "call":
        return ("call", method, [draw(numbers(n)) for n in names])
    n = draw(st.integers(0, 300))
    arrays = []
    for name in names:
        if draw(st.booleans()):
            arrays.append(draw(numbers(name)))
        elif name.endswith("_samp"):
            arrays.append(np.array(draw(st.lists(st.integers(0, 400), min_size=n, max_size=n)),
                                   dtype=np.uint64))
        else:
            arrays.append(np.array(draw(st.lists(numbers(name), min_size=n, max_size=n)),
                                   dtype=np.float32))
    return (kind, method, arrays, n)


def perform(obj, act):
    """Does `act` to `obj`; returns the bits of what it gave."""
    kind, method, args = act[0], act[1], act[2]
    if kind == "set":
        setattr(obj, method, args)
        return None
    if kind == "call":
        got = getattr(obj, method)(*args)
        return np.array(got if isinstance(got, tuple) else [got] if got is not None else [],
                        dtype=np.float32)
    n = act[3]
    if kind == "block":
        got = getattr(vb, method)(obj, *args, n=n)
        return None if got is None else np.concatenate(got if isinstance(got, tuple) else [got])
    # The same through a patch of its own, each argument an input.
    p = vb.Patch()
    inputs = {f"a{i}": p.input(f"a{i}", count=isinstance(a, int) or
                               (isinstance(a, np.ndarray) and a.dtype == np.uint64))
              for i, a in enumerate(args)}
    recorder = p.process if method == "process" else getattr(p, method)
    got = recorder(obj, *inputs.values())
    for k, value in enumerate(got if isinstance(got, tuple) else [got] if got is not None else []):
        p.output(f"y{k}", value)
    given = {name: a for name, a in zip(inputs, args)}
    if not any(isinstance(a, np.ndarray) for a in args):
        given["n"] = n
    out = p.run(**given)
    return None if out is None else np.concatenate(out if isinstance(out, tuple) else [out])


def twins_of(obj):
    """Every way a twin can be had, by name. copyreg's reducer is given no
    protocol, so pickles differ only in how pickle writes its bytes: as text
    below protocol 3, as bytes from there on."""
    made = {"restore": vb.restore(vb.snapshot(obj)), "copy": copy.copy(obj),
            "deepcopy": copy.deepcopy(obj)}
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        made[f"pickle {protocol}"] = pickle.loads(pickle.dumps(obj, protocol=protocol))
    return made


def same_bits(a, b):
    if a is None or b is None:
        return a is None and b is None
    return a.shape == b.shape and np.array_equal(exact(a), exact(b))


@pytest.mark.parametrize("name", CLASSES)
@settings(max_examples=25, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_a_twin_continues_bit_for_bit_where_the_original_stands(name, data):
    obj = data.draw(constructed(name))
    for _ in range(data.draw(st.integers(0, 3))):
        perform(obj, data.draw(action(obj)))
    before = vb.snapshot(obj)
    twins = twins_of(obj)
    assert vb.snapshot(obj) == before  # taking snapshots changed nothing
    assert all(type(t) is type(obj) and t is not obj for t in twins.values())
    for _ in range(data.draw(st.integers(1, 4))):
        act = data.draw(action(obj))
        want = perform(obj, act)
        for name, twin in twins.items():
            assert same_bits(perform(twin, act), want), (name, act)
    for name, twin in twins.items():
        assert vb.snapshot(twin) == vb.snapshot(obj), name
    reference = probe(obj)
    for name, twin in twins.items():
        assert probe(twin) == reference, name


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_a_patch_twin_continues_bit_for_bit_with_its_feedback_and_instances(data):
    recorder = recorded(data)
    p = recorder.p
    if data.draw(st.booleans()):
        p.run(**data.draw(piece(recorder)))
    twins = {"restore": vb.restore(vb.snapshot(p)), "copy": copy.copy(p),
             "deepcopy": copy.deepcopy(p), "pickle": pickle.loads(pickle.dumps(p, protocol=5)),
             "pickle 0": pickle.loads(pickle.dumps(p, protocol=0))}
    for name, twin in twins.items():
        assert [s[0] for s in twin.steps] == [s[0] for s in p.steps], name
        assert twin.schedule == p.schedule and twin.chunk == p.chunk, name
        assert not set(map(id, twin.instances)) & set(map(id, p.instances)), name
    for _ in range(data.draw(st.integers(1, 3))):
        given = data.draw(piece(recorder))
        want = p.run(**given)
        for name, twin in twins.items():
            assert same_outputs(twin.run(**given), want), name
            assert all(same(f.value, g.value) for f, g in zip(p.feedbacks, twin.feedbacks)), name
    reference = [probe(a) for a in p.instances]
    for name, twin in twins.items():
        assert [probe(b) for b in twin.instances] == reference, name


def test_shared_instances_stay_shared_within_one_pickle_and_copies_share_nothing():
    ring = vorda.RingBufferS(64)
    writer, reader = vb.Patch(), vb.Patch()
    x = writer.input("x")
    writer.write(ring, x)
    reader.output("tap", reader.read(ring, 40))
    a, b, c = pickle.loads(pickle.dumps((writer, reader, ring)))
    assert a.instances[0] is b.instances[0] is c
    a.run(x=np.arange(100.0))
    assert np.array_equal(b.run(n=3), [60.0, 60.0, 60.0])
    d, e = copy.deepcopy((writer, reader))
    assert d.instances[0] is e.instances[0] is not ring
    f = copy.copy(writer)
    assert f.instances[0] is not ring


def test_snapshots_of_an_os_seeded_noise_are_twins_and_need_vorda_blocks_to_pickle():
    noise = vorda.WhiteNoise()
    twin = vb.restore(vb.snapshot(noise))
    assert np.array_equal(vb.process(noise, n=1000), vb.process(twin, n=1000))
    # Without vorda_blocks imported, instances do not pickle (and their classes
    # gained nothing from it); unpickling imports it by itself.
    code = ("import pickle, vorda\n"
            "try:\n    pickle.dumps(vorda.DelayS(4))\nexcept TypeError as e:\n    print(e)\n"
            "dir_before = dir(vorda.DelayS)\nimport vorda_blocks\n"
            "print(dir(vorda.DelayS) == dir_before)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["cannot pickle 'builtins.DelayS' object", "True"]
    data = pickle.dumps(vorda.DelayN(1000.0, 0.1))
    code = f"import pickle, sys; print(type(pickle.loads({data!r})).__name__, 'vorda_blocks' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["DelayN", "True"]


# --- Bad bytes ---------------------------------------------------------------------

def ring_snapshot():
    line = vorda.DelayS(5)  # 8 slots
    for v in range(11):
        line.process(float(v), 1)
    return bytearray(vb.snapshot(line))


def edited(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def patch_snapshot():
    line = vorda.DelayS(64)
    p = vb.Patch()
    x, f = p.input("x"), p.feedback()
    y = p.process(line, f, 40)
    f.set(x + 0.5 * y)
    p.output("y", y)
    return vb.snapshot(p)


# The header is 7 bytes; a DelayS then has its tag (7), max_delay_samp (8),
# ring slots (16), write position (24) and slots (32 on).
CORRUPT = [
    (b"", "not a vorda snapshot: too short"),
    (b"VRDA\x01\x00\x00\x05", "does not begin with 'vrda'"),
    (edited(ring_snapshot(), 4, "<H", 2), "format version 2, newer than this vorda_blocks reads (1)"),
    (edited(ring_snapshot(), 4, "<H", 0), "format version 0"),
    (edited(ring_snapshot(), 6, "<B", 9), "unknown kind 9"),
    (edited(ring_snapshot(), 7, "<B", 17), "unknown class tag 17"),
    (edited(ring_snapshot(), 16, "<Q", 6), "has 6 slots: not a power of two"),
    (edited(ring_snapshot(), 16, "<Q", 0), "has 0 slots: not a power of two"),
    (edited(ring_snapshot(), 16, "<Q", 2**40), "has 1099511627776 slots, but the snapshot holds only"),
    (edited(ring_snapshot(), 24, "<Q", 8), "write position of a DelayS is 8, beyond its 8 slots"),
    (edited(ring_snapshot(), 8, "<Q", 2**40), "not one vorda can make"),
    (edited(ring_snapshot(), 16, "<Q", 4)[:-16], "not one vorda can make"),
    (bytes(ring_snapshot()[:-1]), "has 8 slots, but the snapshot holds only 31 more bytes"),
    (vb.snapshot(vorda.Biquad(1, 2, 3, 4, 5))[:-1], "the snapshot ends early, in a field of a Biquad"),
    (bytes(ring_snapshot()) + b"\x00", "1 bytes follow the end of the snapshot"),
    (vb.snapshot(vorda.SinOsc(48000.0))[:8] + struct.pack("<f", 0.0) +
     vb.snapshot(vorda.SinOsc(48000.0))[12:], "not one vorda can make"),
    (vb.snapshot(vorda.Lfo(48000.0))[:-1] + b"\x07", "not one vorda can make"),
    (edited(vb.snapshot(vorda.RingBufferN(1000.0, 0.1)), 8, "<f", -1000.0), "not one vorda can make"),
    (edited(vb.snapshot(vorda.CombL(1000.0, 0.1)), 12, "<f", 0.2), "not one vorda can make"),
    (vb.snapshot(vorda.WhiteNoise(1))[:8] + bytes(32), "not one vorda can make"),
    (edited(patch_snapshot(), 9, "<I", 2**31), "the patch claims 2147483648 instances"),
    (patch_snapshot()[:-3], "the snapshot ends early"),
]


@pytest.mark.parametrize("data, message", CORRUPT, ids=[m for _, m in CORRUPT])
def test_bad_bytes_are_refused_with_a_reason(data, message):
    with pytest.raises(ValueError) as caught:
        vb.restore(data)
    assert message in str(caught.value)


class PatchBytes:
    """A patch snapshot taken without its instances, read into its fields as the
    snapshot format (version 1) lays them out, so that one field can be changed
    and the rest written back as they were."""

    OPERAND = {0: "<I", 1: "<I", 2: "<Q", 3: "<d"}

    def __init__(self, data):
        self.data, self.at, self.fields = data, 0, []
        # Where each operation's value operands are: (operation, field index).
        self.operands = []
        # For each value: (count?, the operation that computes it, or -1).
        self.values = []
        assert self.take("4s") == b"vrda" and self.take("<H") == 1 and self.take("<B") == 1
        self.take("<B")  # compiled
        assert self.take("<B") == 0  # instances left out: a tag each
        for _ in range(self.take("<I")):
            self.take("<B")
        for _ in range(self.take("<I")):
            count, origin, index = self.take("<B"), self.take("<B"), self.take("<I")
            self.values.append((count == 1, index if origin == 2 else -1))
        for node in range(self.take("<I")):
            kind = self.take("<B")
            if kind == 0:
                self.take("<H"), self.take("<I"), self.take("<B")
            else:
                self.take("<B" if kind == 1 else "<I")
            for _ in range(self.take("<I")):
                self.operand(node)
            for _ in range(self.take("<I")):
                self.take("<I")
        for _ in range(self.take("<I")):
            self.name(), self.take("<B"), self.take("<I")
        for _ in range(self.take("<I")):
            if self.take("<B"):
                self.name()
            self.take("<d"), self.take("<d"), self.take("<I"), self.take("<I")
        for _ in range(self.take("<I")):
            self.name(), self.operand(None), self.take("<B")
        assert self.at == len(data) and self.write() == data

    def take(self, fmt):
        (value,) = struct.unpack_from(fmt, self.data, self.at)
        self.fields.append([fmt, value])
        self.at += struct.calcsize(fmt)
        return value

    def name(self):
        self.take(f"{self.take('<I')}s")

    def operand(self, node):
        tag = self.take("<B")
        self.take(self.OPERAND[tag])
        if tag == 0 and node is not None:
            self.operands.append((node, len(self.fields) - 1))

    def write(self, changed=None):
        fields = [list(f) for f in self.fields]
        for index, value in (changed or {}).items():
            fields[index][1] = value
        return b"".join(struct.pack(fmt, value) for fmt, value in fields)


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_a_patch_whose_operation_takes_a_value_not_yet_computed_is_refused(data):
    """No recording can make an operation take its own result or a later one:
    every such snapshot is refused, while the same place taking an earlier
    value or an input restores."""
    recorder = recorded(data)
    p = recorder.p
    if data.draw(st.booleans()):
        p.compile()
    crafted = PatchBytes(vb.snapshot(p, instances=False))
    refused = restored = 0
    for node, field in crafted.operands:
        if crafted.values[crafted.fields[field][1]][0]:
            continue  # a count's place takes only a count input
        for value, (count, made_by) in enumerate(crafted.values):
            if count:
                continue
            edited = crafted.write({field: value})
            if made_by >= node:
                with pytest.raises(ValueError, match="the patch's recording is inconsistent"):
                    vb.restore(edited, instances=p.instances)
                refused += 1
            elif restored < 3:
                vb.restore(edited, instances=p.instances).run(n=2, **{
                    name: 1 if v.count else 0.5 for name, v in p.inputs.items()})
                restored += 1
    event("some refused" if refused else "none to refuse")
    event("some restored" if restored else "none to restore")


def valid_snapshots():
    objects = [vorda.SinOsc(64.0), vorda.WhiteNoise(3), vorda.Lfo(64.0, 2), vorda.LeakDc(),
               vorda.Biquad(0.1, 0.2, 0.3, 0.4, 0.5), vorda.CombL(64.0, 0.1), vorda.RingBufferN(64.0, 0.1),
               vorda.AllpassS(3)]
    return [vb.snapshot(o) for o in objects] + [patch_snapshot()]


SNAPSHOTS = valid_snapshots()


@settings(max_examples=600, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_mutated_snapshots_restore_or_raise_value_error_and_nothing_else(data):
    blob = bytearray(data.draw(st.sampled_from(SNAPSHOTS)))
    for _ in range(data.draw(st.integers(1, 4))):
        how = data.draw(st.sampled_from(["flip", "byte", "cut", "extend", "splice"]))
        at = data.draw(st.integers(0, max(0, len(blob) - 1)))
        if how == "flip" and blob:
            blob[at] ^= 1 << data.draw(st.integers(0, 7))
        elif how == "byte" and blob:
            blob[at] = data.draw(st.sampled_from([0, 1, 0x7f, 0x80, 0xff]))
        elif how == "cut":
            del blob[at:]
        elif how == "extend":
            blob += data.draw(st.binary(min_size=1, max_size=16))
        elif how == "splice":
            blob[at:at] = data.draw(st.binary(min_size=1, max_size=8))
    try:
        restored = vb.restore(bytes(blob))
    except ValueError:
        return
    # What restores is a working object whose snapshot restores again.
    again = vb.restore(vb.snapshot(restored))
    if not isinstance(restored, vb.Patch):
        assert probe(restored) == probe(again)
        return
    given = {name: 1 if value.count else 0.5 for name, value in restored.inputs.items()}
    try:
        first = restored.run(n=50, **given)
    except RuntimeError as e:  # a patch may be restored before its recording was complete
        assert "never set" in str(e)
        return
    second = again.run(n=50, **given)
    assert str(first) == str(second)


def test_a_patch_snapshot_without_its_instances_takes_them_back_and_checks_them():
    line = vorda.DelayS(8)
    p = vb.Patch()
    p.output("y", p.process(line, p.input("x"), 3))
    apart = vb.snapshot(p, instances=False)
    assert len(apart) < len(vb.snapshot(p))
    q = vb.restore(apart, instances=[line])
    assert q.instances == (line,)
    for instances, message in [(None, "leaves its patch's instances out"),
                               ([], "uses 1 instances, but 0 were given"),
                               ([vorda.DelayN(8.0, 1.0)], "instance 0 given is a DelayN, but the "
                                                          "snapshot's patch used a DelayS")]:
        with pytest.raises(ValueError, match=message):
            vb.restore(apart, instances=instances)
    with pytest.raises(ValueError, match="holds its patch's instances"):
        vb.restore(vb.snapshot(p), instances=[line])
    with pytest.raises(TypeError, match="snapshot\\(\\) takes an instance of a vorda class or a Patch"):
        vb.snapshot([line])
