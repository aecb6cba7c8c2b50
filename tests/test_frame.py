"""The call frame: argument matching, conversion, borrows and panics."""
import re

import pytest

import vorda
from conftest import run_python

R = vorda.RingBufferS


# --- Argument matching -------------------------------------------------------

MATCHING = [
    (lambda: R(1, 2), "RingBufferS.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: R(), "RingBufferS.__new__() missing 1 required positional argument: 'max_delay_samp'"),
    (lambda: R(5, max_delay_samp=5),
     "RingBufferS.__new__() got multiple values for argument 'max_delay_samp'"),
    (lambda: R(max_delay_samp=5, size=3),
     "RingBufferS.__new__() got an unexpected keyword argument 'size'"),
    (lambda: R(4).read(), "RingBufferS.read() missing 1 required positional argument: 'delay_samp'"),
    (lambda: R(4).write(1.0, xn=2.0), "RingBufferS.write() got multiple values for argument 'xn'"),
    # An unknown keyword is reported before anything is found missing.
    (lambda: R(4).read(foo=2), "RingBufferS.read() got an unexpected keyword argument 'foo'"),
    # Too many positional arguments is reported before keywords are looked at.
    (lambda: R(4).read(1, 2, foo=3), "RingBufferS.read() takes 1 positional arguments but 2 were given"),
    # Callables with optional parameters and with long missing lists.
    (lambda: vorda.LeakDc(0.99, 0.5),
     "LeakDc.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: vorda.Biquad(1.0, 0.0),
     "Biquad.__new__() missing 3 required positional arguments: 'b2', 'a1', and 'a2'"),
    (lambda: vorda.Biquad(b1=0.0, b2=0.0, a1=0.0),
     "Biquad.__new__() missing 2 required positional arguments: 'b0' and 'a2'"),
    (lambda: vorda.Biquad(), "Biquad.__new__() missing 5 required positional arguments: "
                             "'b0', 'b1', 'b2', 'a1', and 'a2'"),
    (lambda: vorda.Biquad(1, 0, 0, 0, 0).set_coefs(1.0, a2=0.0),
     "Biquad.set_coefs() missing 3 required positional arguments: 'b1', 'b2', and 'a1'"),
    (lambda: vorda.pan2(), "pan2() missing 1 required positional argument: 'x'"),
    (lambda: vorda.pan2(1.0, 0.0, pos=0.5), "pan2() got multiple values for argument 'pos'"),
]


@pytest.mark.parametrize("call, message", MATCHING)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keywords_are_accepted_everywhere():
    buf = R(max_delay_samp=4)
    buf.write(xn=2.5)
    assert buf.read(delay_samp=1) == 2.5
    assert R.read(buf, delay_samp=1) == 2.5


# --- Conversion --------------------------------------------------------------

class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("call, kind, message", [
    (lambda: R(4).write("x"), TypeError, "argument 'xn': must be real number, not str"),
    (lambda: R(4).read(1.5), TypeError,
     "argument 'delay_samp': 'float' object cannot be interpreted as an integer"),
    (lambda: R("4"), TypeError,
     "argument 'max_delay_samp': 'str' object cannot be interpreted as an integer"),
    (lambda: R(4).read(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: R(4).read(2**64), OverflowError, "int too big to convert"),
    (lambda: R(4).write(10**400), OverflowError, "int too large to convert to float"),
    (lambda: R(4).read(IndexLike(-2)), OverflowError, "can't convert negative int to unsigned"),
    # An explicit None is not the default of an optional parameter.
    (lambda: vorda.SinOsc(48000.0, None), TypeError,
     "argument 'phase': must be real number, not NoneType"),
    (lambda: vorda.Lfo(48000.0, waveform=None), TypeError,
     "argument 'waveform': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: vorda.pan2("1", "x"), TypeError, "argument 'x': must be real number, not str"),
    # Both arguments are converted before the sample rate is checked.
    (lambda: vorda.SinOsc(0.0, "x"), TypeError, "argument 'phase': must be real number, not str"),
    (lambda: vorda.Lfo(-1.0, 1.0), TypeError,
     "argument 'waveform': 'float' object cannot be interpreted as an integer"),
])
def test_conversion_errors(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    assert str(info.value) == message


# The cases above pin the message texts; test_fuzz.py checks the same rules over
# every callable, with re-wrapping, pass-through errors and untouched state.


# --- Instances and borrows ---------------------------------------------------

def test_unbound_method_on_a_foreign_instance_is_refused():
    with pytest.raises(TypeError):
        R.read(object(), 1)


def test_reentrant_reads_share_and_exclude_writes():
    buf = R(4)
    buf.write(1.0)
    buf.write(2.0)
    seen = []

    class Reenter:
        def __index__(self):
            seen.append(buf.read(1))
            seen.append(buf.max_delay_samp)
            try:
                buf.write(3.0)
            except RuntimeError as e:
                seen.append(str(e))
            return 2

    assert buf.read(Reenter()) == 1.0
    assert seen == [2.0, 4, "Already borrowed"]
    buf.write(3.0)  # the borrow was released
    assert buf.read(1) == 3.0


# --- Panics ------------------------------------------------------------------

def test_panic_exception_type(PanicException):
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__doc__.startswith("\n") and PanicException.__doc__.endswith("\n")
    assert not hasattr(vorda, "PanicException")


@pytest.mark.parametrize("size", [2**61, 2**62, 2**63, 2**63 + 1, 2**64 - 1])
def test_capacity_overflow(size, PanicException):
    with pytest.raises(BaseException) as info:
        R(size)
    assert type(info.value) is PanicException
    assert info.value.args == ("capacity overflow",)


def test_largest_admissible_request_is_memory_not_a_panic():
    # 2^60 slots pass the size check but cannot be allocated anywhere.
    with pytest.raises(MemoryError):
        R(2**60)


def test_panic_report_on_stderr(capfd, PanicException):
    with pytest.raises(PanicException):
        R(2**61)
    err = capfd.readouterr().err
    assert re.search(
        r"^\nthread '[^']+' panicked at src/ring_buffer\.hpp:\d+:\d+:\ncapacity overflow\n", err)


def test_panic_report_note_once_and_backtrace_on_request():
    code = """
        import vorda
        for _ in range(3):
            try:
                vorda.RingBufferS(2**62)
            except BaseException as e:
                assert type(e).__name__ == "PanicException"
        """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.count("panicked at src/ring_buffer.hpp:") == 3
    assert proc.stderr.count("thread 'main' panicked") == 3
    assert proc.stderr.count("VORDA_BACKTRACE=1") == 1

    import os
    proc = run_python(code, env={**os.environ, "VORDA_BACKTRACE": "1"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.count("stack backtrace:") == 3
    assert "VORDA_BACKTRACE=1" not in proc.stderr


def test_panic_exception_from_python_code_resumes_as_a_panic(capfd, PanicException):
    raised = PanicException("from python")

    class Panicky:
        def __float__(self):
            raise raised

    buf = R(4)
    with pytest.raises(PanicException) as info:
        buf.write(Panicky())
    assert info.value is not raised
    assert info.value.args == ("from python",)
    err = capfd.readouterr().err
    assert "resuming a panic" in err and "Python stack trace below:" in err
    assert "panicked at" not in err  # no second report
    buf.write(1.0)  # the borrow was released
    assert buf.read(1) == 1.0
