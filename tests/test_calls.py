"""Every callable, swept from its signature: argument forms, refused calls, failed
conversions and borrows. Then random call shapes and argument objects, checked
against invariants only: documented exception types, real parameter names in
messages, and a failed call leaves the instance equal to a twin."""
import math
import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorda
from helpers import (CALLABLES, CLASSES, Num, kind, make, methods, observe, operations,
                     panic_type, properties, same, settable, standard, target, twin_call)

PANIC = panic_type()
METHODS = [(o, c) for o, c in CALLABLES if c != "__new__" and o != "pan2"]


def outcome(owner, callee, args, kwargs):
    """The result and the state it leaves, on a fresh instance."""
    fn, inst, *_ = target(owner, callee)
    out = fn(*args, **kwargs)
    return observe(out) if callee == "__new__" else [out] + observe(inst)


@pytest.mark.parametrize("owner, callee", CALLABLES)
def test_argument_forms_agree(owner, callee):
    _, _, _, ps, _ = target(owner, callee)
    values, names = standard(ps), [p.name for p in ps]
    expected = outcome(owner, callee, values, {})
    for split in range(len(ps)):  # the rest by keyword, in reverse order
        kwargs = dict(reversed(list(zip(names[split:], values[split:]))))
        assert same(outcome(owner, callee, values[:split], kwargs), expected), split
    # Subclasses, bools and objects with __float__ or __index__ stand for their values,
    # and are converted one by one in declaration order.
    log = []
    logged = [Num(v, before=lambda n=n: log.append(n)) for n, v in zip(names, values)]
    assert same(outcome(owner, callee, logged, {}), expected) and log == names
    subclassed = [type("F", (float,), {})(v) if isinstance(v, float) else
                  type("I", (int,), {})(v) for v in values]
    assert same(outcome(owner, callee, subclassed, {}), expected)
    # Leaving an optional parameter out is passing its documented default.
    required = sum(p.default is p.empty for p in ps)
    if required < len(ps) and ps[-1].default is not None:  # no seed: fresh entropy
        defaults = values[:required] + [p.default for p in ps[required:]]
        assert same(outcome(owner, callee, values[:required], {}),
                    outcome(owner, callee, defaults, {}))


@pytest.mark.parametrize("owner, callee", CALLABLES)
def test_missing_extra_and_unknown_arguments_are_refused(owner, callee):
    fn, inst, twin, ps, full = target(owner, callee)
    values, names = standard(ps), [p.name for p in ps]

    def refused(args, kwargs):
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value).startswith(full + " ")
        return str(info.value)

    assert refused(values + [1], {}).endswith(f"but {len(ps) + 1} were given")
    assert refused(values, {"bogus": 1}).endswith("got an unexpected keyword argument 'bogus'")
    for i, p in enumerate(ps):
        assert refused(values[:i + 1], {p.name: values[i]}).endswith(
            f"got multiple values for argument '{p.name}'")
        if p.default is p.empty:
            others = {n: v for n, v in zip(names, values) if n != p.name}
            assert refused([], others).endswith(f"required positional argument: '{p.name}'")
    assert same(observe(inst), observe(twin))


@pytest.mark.parametrize("owner, callee", CALLABLES)
def test_failed_conversions_name_the_parameter(owner, callee):
    fn, inst, twin, ps, full = target(owner, callee)
    values = standard(ps)
    for i, p in enumerate(ps):
        def fails(bad):
            with pytest.raises(BaseException) as info:
                fn(*values[:i], bad, *values[i + 1:])
            return info.value

        sample = kind(p.name) == "sample"
        e = fails("x")
        assert type(e) is TypeError and str(e) == f"argument '{p.name}': " + (
            "must be real number, not str" if sample
            else "'str' object cannot be interpreted as an integer")
        # A plain TypeError gains the name and keeps its cause; other errors pass as they are.
        cause, plain = ValueError("root"), TypeError("no good")
        plain.__cause__ = cause
        e = fails(Num(0, plain))
        assert type(e) is TypeError and str(e) == f"argument '{p.name}': no good"
        assert e.__cause__ is cause
        for own in (ValueError("own"), type("MyTypeError", (TypeError,), {})("own")):
            assert fails(Num(0, own)) is own
        e = fails(Num(0, raised := PANIC("from python")))  # resumed as a panic
        assert type(e) is PANIC and e is not raised and e.args == ("from python",)
        e = fails(10**400 if sample else -1)
        assert type(e) is OverflowError and not str(e).startswith("argument")
        assert same(observe(inst), observe(twin))


@pytest.mark.parametrize("owner, callee", METHODS)
def test_reentry_meets_the_borrow_of_the_call(owner, callee):
    """read shares the instance with reads and property reads; all else holds it alone."""
    fn, inst, twin, ps, _ = target(owner, callee)
    ops, seen = operations(type(inst)), []

    def reenter():
        for label, op, _ in ops:
            try:
                op(inst)
                seen.append((label, "ok"))
            except RuntimeError as e:
                seen.append((label, str(e)))

    values = standard(ps)
    outer_shared = callee == "read"
    assert same(fn(*values[:-1], Num(values[-1], before=reenter)),
                twin_call(owner, callee, twin)(*values))
    assert seen == [(label, "ok" if shared and outer_shared else "Already mutably borrowed"
                     if shared else "Already borrowed") for label, _, shared in ops]
    assert same(observe(inst), observe(twin))  # what was refused changed nothing


@pytest.mark.parametrize("cls", CLASSES)
def test_properties_and_methods_without_arguments(cls):
    inst, twin = make(cls), make(cls)
    for name, ps in methods(cls).items():
        if not ps:
            with pytest.raises(TypeError, match=rf"^{cls.__name__}\.{name}\(\) takes no "):
                getattr(inst, name)(1)
    for prop in properties(cls):
        with pytest.raises(AttributeError) as info:
            delattr(inst, prop)
        if not settable(cls, prop):
            with pytest.raises(AttributeError):
                setattr(inst, prop, 1.5)
            continue
        assert str(info.value) == "can't delete attribute"
        with pytest.raises(TypeError) as info:
            setattr(inst, prop, "x")
        assert str(info.value) == f"argument '{prop}': must be real number, not str"
        # The value is converted before the instance is borrowed: re-entry is let in.
        ops = operations(cls)
        setattr(inst, prop, Num(0.25, before=lambda: [op(inst) for _, op, _ in ops]))
        for _, op, _ in ops:
            op(twin)
        setattr(twin, prop, 0.25)
    assert same(observe(inst), observe(twin))


# --- Random calls, invariants only ---------------------------------------------

INNER = {}  # the instance, its twin and their operations, for re-entering arguments


def reentering(pick):
    def before():
        inst, twin, ops = INNER["now"]
        _, op, _ = ops[pick % len(ops)]
        try:
            op(inst)
        except RuntimeError:
            return
        op(twin)  # the twin sees what succeeded, in the same order
    return Num(2, before=before)


FLOATS = st.floats(-4, 64) | st.floats(width=32) | st.sampled_from(
    [0.0, -0.0, math.nan, math.inf, -math.inf, 1e39, 1e-50, 1e300])
INTS = st.integers(-3, 64) | st.sampled_from([2**60, 2**63, 2**64 - 1, 2**64, -2**63, 10**400])
ERRORS = st.sampled_from([TypeError, ValueError, PANIC, type("MyTypeError", (TypeError,), {})])
PLAIN_ARGS = st.one_of(
    FLOATS, INTS, st.booleans(), st.none(), st.text(max_size=3),
    FLOATS.map(type("F", (float,), {})), INTS.map(type("I", (int,), {})), FLOATS.map(Num),
    INTS.map(Num), st.builds(lambda e, t: Num(1, e(t)), ERRORS, st.text(max_size=3)))
ARGS = PLAIN_ARGS | st.integers(0, 99).map(reentering)


def plain(value, p):
    """What a twin is given for an accepted argument: a float, an int or None."""
    value = value.value if isinstance(value, Num) else value
    return value if value is None else float(value) if kind(p.name) == "sample" else int(value)


@pytest.mark.parametrize("owner, callee", CALLABLES)
@settings(max_examples=50, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_random_calls_keep_the_invariants(owner, callee, data):
    fn, inst, twin, ps, full = target(owner, callee)
    names = [p.name for p in ps]
    INNER["now"] = (inst, twin, operations(type(inst))) if inst is not vorda else None
    args = ARGS if INNER["now"] else PLAIN_ARGS
    for _ in range(data.draw(st.integers(1, 3))):
        pos = data.draw(st.lists(args, max_size=len(ps) + 1))
        keys = data.draw(st.lists(st.sampled_from(names + ["bogus"]) | st.text(max_size=3),
                                  unique=True, max_size=len(ps)))
        kwargs = {k: data.draw(args) for k in keys}
        own = [a.error for a in [*pos, *kwargs.values()] if isinstance(a, Num) and a.error]
        try:
            result = fn(*pos, **kwargs)
        except BaseException as e:  # noqa: BLE001 - PanicException is one of the outcomes
            assert type(e) in (TypeError, OverflowError, PANIC, MemoryError) or any(
                e is o for o in own), repr(e)
            text = str(e)
            if "unexpected keyword argument" in text:
                assert any(text == f"{full} got an unexpected keyword argument '{k}'"
                           for k in kwargs if k not in names)
            for named in re.findall(r"^argument '(\w+)': |multiple values for argument '(\w+)'$",
                                    text):
                assert set(named) - {""} <= set(names)
            listed = re.search(r" missing \d+ required positional arguments?: (.*)$", text)
            if listed:
                assert set(re.findall(r"'(\w+)'", listed.group(1))) <= set(names)
        else:
            bound = dict(zip(names, pos)) | kwargs
            given_ = [plain(bound[p.name], p) for p in ps if p.name in bound]
            expected = twin_call(owner, callee, twin)(*given_)
            if callee != "__new__":
                assert same(result, expected)
            elif owner != "WhiteNoise" or given_ and given_[0] is not None:
                assert same(observe(result), observe(expected))
        assert same(observe(inst), observe(twin))


@pytest.mark.parametrize("text", ["a\0b", "\udc80"])
def test_text_passes_into_messages_whole(text):
    with pytest.raises(TypeError) as keyword:
        vorda.pan2(1.0, **{text: 1.0})
    with pytest.raises(TypeError) as converted:
        vorda.pan2(Num(0, TypeError(text)))
    assert str(keyword.value) == f"pan2() got an unexpected keyword argument '{text}'"
    assert str(converted.value) == f"argument 'x': {text}"
