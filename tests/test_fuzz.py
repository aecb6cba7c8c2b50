"""Random call shapes and argument objects against a small oracle of the call rules.

Each callable gets random positional counts, keyword names and argument objects. A
second instance (the twin) sees only what succeeded, the calls made by re-entrant
arguments included, so anything a failed call left behind shows when both are probed.
"""
import math
from dataclasses import dataclass
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorda
from conftest import F32, panic_type, same_sample
from test_delay_effects import LoopModel
from test_filters import BiquadModel, LeakModel, pan_model
from test_generators import LfoModel, NoiseModel, SinModel
from test_ring_buffer import RingModel, TimeRingModel, pow2_size

PANIC = panic_type()
RATE_FAILS = "assertion failed: sample_rate > 0.0"


# --- The classes as the oracle sees them --------------------------------------

class RingS(RingModel):
    def __init__(self, n):
        super().__init__(pow2_size(n))
        self.max_delay_samp = n


class RingT:
    def __init__(self, sample_rate, max_delay_sec, interpolate):
        ring = TimeRingModel(sample_rate, max_delay_sec)
        self.write, self.read = ring.write, ring.read_l if interpolate else ring.read_n
        self.sample_rate, self.max_delay_sec = F32(sample_rate), F32(max_delay_sec)


class Loop(LoopModel):
    def process(self, xn, delay, decay=None):
        return super().process(xn, delay, decay)


def rate_check(sample_rate, *_):
    return None if sample_rate > 0 else RATE_FAILS


def timed_check(sample_rate, max_delay_sec):
    if not sample_rate > 0:
        return RATE_FAILS
    if not max_delay_sec > 0:
        return "assertion failed: max_delay_sec > 0.0"
    return "capacity overflow" if math.isinf(sample_rate * max_delay_sec) else None


def size_check(n):
    return "capacity overflow" if n > 2**60 else None


@dataclass
class Kit:
    """Parameter kinds: S sample, C count, O optional seed; T and N are a sample and a
    count that size a buffer, drawn from small pools so that nothing huge is allocated."""
    ctor: str             # "name:kind[=default] ..."
    args: tuple           # a valid construction; None for the module function
    model: object         # converted constructor arguments -> model
    methods: dict         # method -> parameter list, "" when it takes none
    probe: list           # (name, args) calls that expose the state; args None reads a property
    mut: tuple            # a call that needs the exclusive borrow
    shr: tuple = None     # one that needs a shared borrow, if the class has any
    check: object = lambda *a: None  # converted constructor arguments -> panic message
    props: tuple = ()
    setters: tuple = ()


def delay_kit(name):
    timed, feedback = name[-1] != "S", not name.startswith("Delay")
    d, unit = ((0.125, 0.375, 0.5), "sec:S") if timed else ((1, 3, 2), "samp:C")
    decay = (d[2],) if feedback else ()
    return Kit("sample_rate:T max_delay_sec:T" if timed else "max_delay_samp:N",
               (8.0, 1.0) if timed else (4,), lambda *a: Loop(name, *a),
               {"process": f"xn:S delay_{unit}" + (f" decay_{unit}" if feedback else "")},
               [("process", (1.0, d[0]) + decay), ("process", (0.0, d[1]) + decay)],
               ("process", (0.25, d[0]) + decay), check=timed_check if timed else size_check)


def ring_kit(kind):
    timed, d = kind != "S", (0.0, 0.3, 0.9) if kind != "S" else (1, 2, 3, 0)
    props = ("sample_rate", "max_delay_sec") if timed else ("max_delay_samp",)
    return Kit("sample_rate:T max_delay_sec:T" if timed else "max_delay_samp:N",
               (8.0, 1.0) if timed else (4,),
               (lambda r, m: RingT(r, m, kind == "L")) if timed else RingS,
               {"read": "delay_sec:S" if timed else "delay_samp:C", "write": "xn:S"},
               [("write", (0.5,))] + [("read", (x,)) for x in d] + [(p, None) for p in props],
               ("write", (0.25,)), ("read", d[1:2]), timed_check if timed else size_check, props)


KITS = {
    "SinOsc": Kit("sample_rate:S phase:S=0.0", (48000.0, 0.25), SinModel,
                  {"process": "frequency:S", "reset": ""},
                  [("process", (1000.0,)), ("process", (-250.0,)), ("phase", None),
                   ("sample_rate", None)],
                  ("process", (100.0,)), ("phase", None), rate_check, ("sample_rate", "phase")),
    "WhiteNoise": Kit("seed:O=", (7,), lambda seed: None if seed is None else NoiseModel(seed),
                      {"process": ""}, [("process", ()), ("process", ())], ("process", ())),
    "Lfo": Kit("sample_rate:S waveform:C=0", (48000.0, 1), LfoModel,
               {"process": "frequency:S", "reset": ""},
               [("process", (3.0,)), ("process", (1000.0,)), ("sample_rate", None)],
               ("process", (100.0,)), ("sample_rate", None), rate_check, ("sample_rate",)),
    "Biquad": Kit("b0:S b1:S b2:S a1:S a2:S", (0.5, 0.25, 0.125, -0.5, 0.25), BiquadModel,
                  {"process": "x:S", "reset": "", "set_coefs": "b0:S b1:S b2:S a1:S a2:S"},
                  [("process", (1.0,)), ("process", (0.0,)), ("process", (-0.5,))],
                  ("process", (0.25,))),
    "LeakDc": Kit("coef:S=0.995", (0.5,), LeakModel, {"process": "xn:S", "reset": ""},
                  [("process", (1.0,)), ("process", (0.0,)), ("coef", None)],
                  ("process", (0.25,)), ("coef", None), props=("coef",), setters=("coef",)),
    **{name: delay_kit(name) for name in ("DelayS", "DelayN", "DelayL", "CombS", "CombN",
                                          "CombL", "AllpassS", "AllpassN", "AllpassL")},
    "pan2": Kit("", None, None, {"pan2": "x:S pos:S=0.0"}, [], ("pan2", (0.25, 0.5))),
    **{f"RingBuffer{k}": ring_kit(k) for k in "SNL"},
}


def signature(kit_name, callee):
    """[(name, kind, required, default)] of a constructor ("__new__") or method."""
    kit, out = KITS[kit_name], []
    for item in (kit.ctor if callee == "__new__" else kit.methods[callee]).split():
        name, _, rest = item.partition(":")
        kind, eq, default = rest.partition("=")
        value = None if not default else F32(default) if kind in "ST" else int(default)
        out.append(SimpleNamespace(name=name, kind=kind, required=not eq, default=value))
    return out


def make(kit_name):
    """The instance, its twin and its model."""
    kit = KITS[kit_name]
    if kit.args is None:  # the module stands in for the instance of the module function
        return vorda, vorda, SimpleNamespace(pan2=pan_model)
    cls = getattr(vorda, kit_name)
    return cls(*kit.args), cls(*kit.args), kit.model(*kit.args)


def run(obj, op):
    name, args = op
    return getattr(obj, name) if args is None else getattr(obj, name)(*args)


def same(a, b):
    if isinstance(a, tuple) or isinstance(b, tuple):
        return len(a) == len(b) and all(map(same, a, b))
    return a is b is None or (a is not None and b is not None and same_sample(a, b))


def probe_all(kit, *objs):
    results = [tuple(run(obj, op) for op in kit.probe) for obj in objs]
    assert all(same(results[0], other) for other in results[1:]), results


def plain(v):
    return float(v) if isinstance(v, F32) else v


# --- Argument objects ---------------------------------------------------------

# What the conversions of the current call did: the dunders run, and the outcomes
# of the calls that re-entrant arguments made.
CALL = SimpleNamespace(kit=None, target=None, log=[], inner=[])


class MyFloat(float):
    pass


class MyInt(int):
    pass


class MyTypeError(TypeError):
    pass


class Logged:
    """Returns `value` from its dunder, after re-entering the instance (`which`: "mut"
    or "shr") or raising `error`, as asked."""

    def __init__(self, value=None, error=None, which=None):
        self.value, self.error, self.which = value, error, which

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r}, {self.error!r}, {self.which!r})"

    def returns(self, dunder):
        return self.value

    def _convert(self, dunder):
        CALL.log.append((id(self), dunder))
        if self.which:
            try:
                CALL.inner.append(("ok", run(CALL.target, inner_op(self.which))))
            except RuntimeError as e:
                CALL.inner.append(("err", str(e)))
        if self.error is not None:
            raise self.error
        return self.returns(dunder)


class FloatOnly(Logged):
    def __float__(self):
        return self._convert("__float__")


class IndexOnly(Logged):
    def __index__(self):
        return self._convert("__index__")


class Both(FloatOnly, IndexOnly):
    def returns(self, dunder):
        return float(self.value) if dunder == "__float__" else self.value


def raising(kind, text):
    error = (MyTypeError if kind == "MyTypeError" else ValueError if kind == "ValueError"
             else PANIC if kind == "Panic" else TypeError)(text)
    if kind == "cause":
        error.__cause__ = ValueError("root")
    return Both(error=error)


ANY_FLOAT = st.floats() | st.floats(width=32) | st.sampled_from(
    [0.0, -0.0, math.nan, math.inf, -math.inf, 1e300])
ANY_INT = st.integers(-3, 40) | st.integers(0, 2**64 - 1) | st.sampled_from(
    [2**64, 2**70, -2**63, 10**400])
POOLS = {"S": (ANY_FLOAT, ANY_INT), "C": (ANY_FLOAT, ANY_INT), "O": (ANY_FLOAT, ANY_INT),
         "T": (st.floats(-2.0, 64.0) | st.sampled_from(
             [0.0, -0.0, math.nan, math.inf, -math.inf, 1e-50, 1e-40, 1e39]),
             st.integers(-3, 64) | st.just(10**400)),
         "N": (ANY_FLOAT, st.integers(-3, 64) | st.sampled_from(
             [2**60 + 1, 2**61, 2**63 + 1, 2**64 - 1, 2**64, 10**30]))}
# Any text, NUL and lone surrogates included: messages carry it whole.
TEXT = st.text(max_size=8)
JUNK = st.sampled_from(["1.0", None]) | st.builds(FloatOnly, st.just("s")) | st.builds(
    IndexOnly, st.just(1.5)) | st.builds(raising, st.sampled_from(
        ["TypeError", "cause", "MyTypeError", "ValueError", "Panic"]), TEXT)
REENTER = st.builds(Both, st.integers(0, 8), which=st.sampled_from(["mut", "shr"]))


def arg(kind, clean):
    floats, ints = POOLS[kind]
    good = [ints, ints.map(MyInt), ints.map(IndexOnly), st.booleans(), REENTER]
    if kind in "ST":
        good += [floats, floats.map(MyFloat), floats.map(FloatOnly)]
    good = st.one_of(good + [st.none()] * (kind == "O"))
    return good if clean else st.sampled_from([good, JUNK, floats]).flatmap(lambda s: s)


@st.composite
def call_shape(draw, sig):
    names = [p.name for p in sig]
    required = sum(p.required for p in sig)
    if draw(st.integers(0, 3)):  # mostly well-formed, keywords in any order
        given = draw(st.integers(required, len(sig)))
        n = draw(st.integers(0, given))
        keywords = [names[i] for i in draw(st.permutations(range(n, given)))]
    else:
        n = draw(st.integers(0, len(sig) + 1))
        keywords = draw(st.lists(st.sampled_from(names + ["self", names[0].upper()]) | TEXT,
                                 unique=True, max_size=len(sig) + 1))
    clean, kinds = not draw(st.integers(0, 2)), {p.name: p.kind for p in sig}
    pos = [draw(arg(sig[min(i, len(sig) - 1)].kind, clean)) for i in range(n)]
    return pos, {k: draw(arg(kinds.get(k, "S"), clean)) for k in keywords}


# --- The oracle ---------------------------------------------------------------

def inner_op(which):
    return CALL.kit.shr if which == "shr" and CALL.kit.shr else CALL.kit.mut


def error(kind, message=None, obj=None, mode="new", cause=None):
    return SimpleNamespace(kind=kind, message=message, obj=obj, mode=mode, cause=cause)


def convert(obj, p, borrow, log, inner):
    """The converted value of one argument, or the error it raises."""
    if p.kind == "O" and obj is None:
        return None
    sample, name = p.kind in "ST", type(obj).__name__
    dunder = "__float__" if sample and isinstance(obj, FloatOnly) else (
        "__index__" if isinstance(obj, IndexOnly) else None)
    if dunder:
        log.append((id(obj), dunder))
        if obj.which:  # the frame holds the borrow while it converts
            op = inner_op(obj.which)
            ok = borrow is None or (borrow == "shared" and op == CALL.kit.shr)
            inner.append((op, "ok" if ok else "Already borrowed" if op == CALL.kit.mut
                          else "Already mutably borrowed"))
        if obj.error is not None:
            e = obj.error
            if type(e) is TypeError:
                return error(TypeError, f"argument '{p.name}': {e}", mode="wrap",
                             cause=e.__cause__)
            return error(PANIC, str(e), e, "panic") if type(e) is PANIC else error(
                type(e), obj=e, mode="same")
        obj, name = obj.returns(dunder), f"{name}.{dunder}" if dunder == "__float__" else dunder
        if not isinstance(obj, float if dunder == "__float__" else int):
            non = "non-float" if dunder == "__float__" else "non-int"
            return error(TypeError, f"argument '{p.name}': {name} returned {non} (type "
                                    f"{type(obj).__name__})", mode="wrap")
    if isinstance(obj, float) or not isinstance(obj, int):
        if not sample:
            return error(TypeError, f"argument '{p.name}': '{name}' object cannot be "
                                    "interpreted as an integer", mode="wrap")
        if not isinstance(obj, float):
            return error(TypeError, f"argument '{p.name}': must be real number, not {name}",
                         mode="wrap")
        return F32(obj)
    if sample:
        return F32(float(obj)) if abs(obj) < 2**1024 else error(
            OverflowError, "int too large to convert to float")
    if obj < 0:
        return error(OverflowError, "can't convert negative int to unsigned")
    return int(obj) if obj < 2**64 else error(OverflowError, "int too big to convert")


def expect(full, sig, pos, kws, borrow):
    """(error or None, converted values, dunders run, re-entrant calls and outcomes)."""
    names = [p.name for p in sig]
    n, count, required = len(pos), len(sig), sum(p.required for p in sig)
    log, inner, values = [], [], []
    if n > count:
        takes = count if required == count else f"from {required} to {count}"
        was = "was" if n == 1 else "were"
        return error(TypeError, f"{full} takes {takes} positional arguments but {n} {was} "
                                "given"), values, log, inner
    slots = list(pos) + [KeyError] * (count - n)  # KeyError: nothing given
    for name, obj in kws.items():
        if name not in names:
            message = f"{full} got an unexpected keyword argument '{name}'"
            return error(TypeError, message), values, log, inner
        if slots[names.index(name)] is not KeyError:
            message = f"{full} got multiple values for argument '{name}'"
            return error(TypeError, message), values, log, inner
        slots[names.index(name)] = obj
    missing = [f"'{names[i]}'" for i in range(required) if slots[i] is KeyError]
    if n < required and missing:
        listed = " and ".join(missing) if len(missing) <= 2 else (
            ", ".join(missing[:-1]) + ", and " + missing[-1])
        plural = "argument" if len(missing) == 1 else "arguments"
        return error(TypeError, f"{full} missing {len(missing)} required positional "
                                f"{plural}: {listed}"), values, log, inner
    for p, obj in zip(sig, slots):
        value = p.default if obj is KeyError else convert(obj, p, borrow, log, inner)
        if isinstance(value, SimpleNamespace):
            return value, values, log, inner
        values.append(value)
    return None, values, log, inner


def check_error(raised, want):
    assert type(raised) is want.kind, (raised, want)
    if want.mode == "same":
        assert raised is want.obj
    else:
        assert str(raised) == want.message
    if want.mode == "wrap":
        assert raised.__cause__ is want.cause
    if want.mode == "panic":  # a new exception that resumes the panic, not the one raised
        assert raised is not want.obj and raised.args == (want.message,)


def settle(log, inner, twin, model):
    """Checks the conversions; the re-entrant calls that ran are replayed on twin and model."""
    assert CALL.log == log
    assert [o[1] if o[0] == "err" else "ok" for o in CALL.inner] == [e for _, e in inner]
    for (_, got), (op, outcome) in zip(CALL.inner, inner):
        if outcome == "ok":
            assert same(got, run(model, op))
            run(twin, op)
    CALL.log, CALL.inner = [], []


# --- Tests --------------------------------------------------------------------

ARG_CALLABLES = [(k, "__new__") for k, kit in KITS.items() if kit.args is not None] + [
    (k, m) for k, kit in KITS.items() for m, text in kit.methods.items() if text]
FUZZ = settings(deadline=None, suppress_health_check=list(HealthCheck))


@pytest.mark.parametrize("kit_name, callee", ARG_CALLABLES)
@settings(FUZZ, max_examples=100)
@given(data=st.data())
def test_calls_follow_the_frame_rules(kit_name, callee, data):
    kit, sig, new = KITS[kit_name], signature(kit_name, callee), callee == "__new__"
    inst, twin, model = make(kit_name)
    CALL.kit, CALL.target, CALL.log, CALL.inner = kit, inst, [], []
    borrow = None if new or kit.args is None else "shared" if callee == "read" else "exclusive"
    fn = getattr(vorda, kit_name) if new else getattr(inst, callee)
    full = f"{kit_name}.{callee}()" if kit.args is not None else f"{callee}()"
    for pos, kws in data.draw(st.lists(call_shape(sig), min_size=1, max_size=3)):
        want, values, log, inner = expect(full, sig, pos, kws, borrow)
        if want is None and new and kit.check(*values):
            want = error(PANIC, kit.check(*values))
        try:
            result, raised = fn(*pos, **kws), None
        except BaseException as e:  # noqa: BLE001 - PanicException is one of the outcomes
            raised = e
        settle(log, inner, twin, model)
        if want is not None:
            check_error(raised, want)
        elif new:  # a constructor's re-entrant arguments reach the live instance, unborrowed
            assert raised is None and type(result) is getattr(vorda, kit_name), raised
            if kit.model(*values) is not None:  # an unseeded WhiteNoise has no model
                probe_all(kit, result, kit.model(*values))
        else:
            assert raised is None, raised
            assert same(result, run(model, (callee, values)))
            run(twin, (callee, [plain(v) for v in values]))
        probe_all(kit, inst, twin, model)


PROPERTIES = [(k, p) for k, kit in KITS.items() for p in kit.props]
ACCESS = st.sampled_from(["get", "del", "mut"]) | st.tuples(st.just("set"),
                                                            arg("S", False) | REENTER)


@pytest.mark.parametrize("kit_name, prop", PROPERTIES)
@settings(FUZZ, max_examples=40)
@given(ops=st.lists(ACCESS, min_size=1, max_size=6))
def test_property_access(kit_name, prop, ops):
    kit = KITS[kit_name]
    inst, twin, model = make(kit_name)
    CALL.kit, CALL.target, CALL.log, CALL.inner = kit, inst, [], []
    for op in ops:
        if op == "mut":  # moves the state on, so that reads see more than initial values
            for obj in (inst, twin, model):
                run(obj, kit.mut)
        elif op == "get":
            assert same(getattr(inst, prop), getattr(model, prop))
        elif op == "del" or prop not in kit.setters:
            with pytest.raises(AttributeError) as info:
                delattr(inst, prop) if op == "del" else setattr(inst, prop, op[1])
            assert CALL.log == []
            if prop in kit.setters:
                assert str(info.value) == "can't delete attribute"
        else:  # the setter converts before it borrows: re-entry is let through
            sig = [SimpleNamespace(name=prop, kind="S", required=True)]
            want, values, log, inner = expect("", sig, [op[1]], {}, None)
            try:
                setattr(inst, prop, op[1])
            except BaseException as e:  # noqa: BLE001
                raised = e
            else:
                raised = None
            settle(log, inner, twin, model)  # re-entry came before the store
            if want is not None:
                check_error(raised, want)
            else:
                assert raised is None, raised
                setattr(model, prop, values[0])
                setattr(twin, prop, plain(values[0]))
        probe_all(kit, inst, twin, model)


@pytest.mark.parametrize("kit_name, method", [
    (k, m) for k, kit in KITS.items() for m, text in kit.methods.items() if not text])
@settings(FUZZ, max_examples=30)
@given(n=st.integers(0, 2), keywords=st.lists(st.sampled_from(["x", "seed", "self"]),
                                               unique=True, max_size=2))
def test_methods_without_arguments_refuse_any(kit_name, method, n, keywords):
    kit = KITS[kit_name]
    inst, twin, model = make(kit_name)
    CALL.kit, CALL.target, CALL.log, CALL.inner = kit, inst, [], []
    if n or keywords:
        with pytest.raises(TypeError, match=rf"^{kit_name}\.{method}\(\) takes no "):
            getattr(inst, method)(*[Both(1, which="mut")] * n, **{k: Both(1) for k in keywords})
        assert CALL.log == []
    else:
        assert same(getattr(inst, method)(), getattr(model, method)())
        getattr(twin, method)()
    probe_all(kit, inst, twin, model)


@pytest.mark.parametrize("text", ["a\0b", "\udc80"])
def test_text_passes_through_whole(text):
    with pytest.raises(TypeError) as keyword:
        vorda.pan2(1.0, **{text: 1.0})
    with pytest.raises(TypeError) as converted:
        vorda.pan2(Both(error=TypeError(text)))
    assert str(keyword.value) == f"pan2() got an unexpected keyword argument '{text}'"
    assert str(converted.value) == f"argument 'x': {text}"
