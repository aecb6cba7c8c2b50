"""The frame's fixed texts, one literal case per message template (test_calls.py sweeps
the rules behind them over every callable), and panics: the exception class, the
report on standard error, a panic resumed from Python code."""
import os
import re

import pytest

import vorda
from helpers import run_python

R = vorda.RingBufferS


@pytest.mark.parametrize("call, kind, message", [
    (lambda: vorda.DelayS(1, 2), TypeError,
     "DelayS.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: vorda.LeakDc(0.99, 0.5), TypeError,
     "LeakDc.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    # Too many positional arguments is reported before keywords are looked at, and
    # an unknown keyword before anything is found missing.
    (lambda: R(4).read(1, 2, foo=3), TypeError,
     "RingBufferS.read() takes 1 positional arguments but 2 were given"),
    (lambda: vorda.DelayS(4).process(1.0, foo=2), TypeError,
     "DelayS.process() got an unexpected keyword argument 'foo'"),
    (lambda: vorda.DelayS(5, max_delay_samp=5), TypeError,
     "DelayS.__new__() got multiple values for argument 'max_delay_samp'"),
    (lambda: vorda.pan2(), TypeError, "pan2() missing 1 required positional argument: 'x'"),
    (lambda: vorda.Biquad(b1=0.0, b2=0.0, a1=0.0), TypeError,
     "Biquad.__new__() missing 2 required positional arguments: 'b0' and 'a2'"),
    (lambda: vorda.Biquad(1.0, 0.0), TypeError,
     "Biquad.__new__() missing 3 required positional arguments: 'b2', 'a1', and 'a2'"),
    # An explicit None is not the default of an optional parameter.
    (lambda: vorda.SinOsc(48000.0, None), TypeError,
     "argument 'phase': must be real number, not NoneType"),
    # Both arguments are converted before the sample rate is checked.
    (lambda: vorda.SinOsc(0.0, "x"), TypeError, "argument 'phase': must be real number, not str"),
    (lambda: R(4).read(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: R(4).write(10**400), OverflowError, "int too large to convert to float"),
])
def test_messages(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind and str(info.value) == message


def test_panic_exception_type(PanicException):
    assert (PanicException.__name__, PanicException.__module__) == ("PanicException",
                                                                   "pyo3_runtime")
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__doc__.startswith("\n") and PanicException.__doc__.endswith("\n")
    assert not hasattr(vorda, "PanicException")


def test_panic_reports():
    """The note comes with the first report only; VORDA_BACKTRACE=1 asks for a
    backtrace at every panic, and 0 is the same as not setting it."""
    proc = run_python("""
        import os, vorda
        def panic(phase, value=None):
            if value is not None:
                os.environ["VORDA_BACKTRACE"] = value
            os.write(2, f"<{phase}>".encode())
            try:
                vorda.RingBufferS(2**62)
            except BaseException as e:
                assert type(e).__name__ == "PanicException" and str(e) == "capacity overflow"
        for phase in ("first", "second", "third"):
            panic(phase)
        panic("zero", "0")
        panic("one", "1")
        panic("again")
        """, env={k: v for k, v in os.environ.items() if k != "VORDA_BACKTRACE"})
    assert proc.returncode == 0, proc.stderr
    phases = dict(re.findall(r"<(\w+)>(.*?)(?=<|\Z)", proc.stderr, flags=re.S))
    report = (r"\nthread 'main' panicked at src/ring_buffer\.[ch]pp:\d+:\d+:\n"
              r"capacity overflow\n")
    note = "note: run with `VORDA_BACKTRACE=1` environment variable to display a backtrace\n"
    assert re.fullmatch(report + re.escape(note), phases["first"]), phases["first"]
    for phase in ("second", "third", "zero"):
        assert re.fullmatch(report, phases[phase]), phases[phase]
    for phase in ("one", "again"):
        assert re.match(report + "stack backtrace:\n.", phases[phase]), phases[phase]


def test_panic_raised_by_python_code_resumes_as_a_panic(capfd, PanicException):
    class Panicky:
        def __float__(self):
            raise PanicException("from python")

    with pytest.raises(PanicException, match="^from python$"):
        vorda.pan2(Panicky())
    err = capfd.readouterr().err
    assert "resuming a panic" in err and "Python stack trace below:" in err
    assert "panicked at" not in err  # no second report
