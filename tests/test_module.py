"""The module object and the shape of its type objects."""
import gc
import importlib
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import vorda
from conftest import run_python

CLASSES = [name for name in vorda.__all__ if isinstance(getattr(vorda, name), type)]


REGISTRATION_ORDER = [
    "SinOsc", "WhiteNoise", "Lfo", "Biquad", "LeakDc", "DelayS", "DelayN", "DelayL",
    "CombS", "CombN", "CombL", "AllpassS", "AllpassN", "AllpassL", "pan2",
    "RingBufferS", "RingBufferN", "RingBufferL",
]


def test_module_basics():
    assert vorda.__doc__ == ""
    assert vorda.__all__ == REGISTRATION_ORDER
    others = [name for name in dir(vorda) if not (name.startswith("__") and name.endswith("__"))]
    assert sorted(others) == sorted(REGISTRATION_ORDER)


def test_reimport_returns_the_same_objects():
    classes = {name: getattr(vorda, name) for name in vorda.__all__}
    del sys.modules["vorda"]
    again = importlib.import_module("vorda")
    assert again is vorda
    assert {name: getattr(again, name) for name in again.__all__} == classes
    assert importlib.reload(vorda) is vorda
    assert vorda.__all__ == list(classes)


@pytest.mark.parametrize("name", CLASSES)
def test_type_shape(name):
    cls = getattr(vorda, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert not cls.__doc__.startswith(name + "(")
    assert cls.__text_signature__.startswith("(")
    inspect.signature(cls)  # parses the text signature
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for attr, member in vars(cls).items():
        if callable(member) and not attr.startswith("__"):
            assert member.__text_signature__.startswith("($self")
            assert next(iter(inspect.signature(member).parameters)) == "self"


def test_instances_have_no_dict_weakref_or_gc():
    buf = vorda.RingBufferS(4)
    with pytest.raises(AttributeError):
        buf.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(buf)
    assert not gc.is_tracked(buf)
    vorda.RingBufferS.extra = 1  # the type itself is not immutable
    del vorda.RingBufferS.extra


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) not installed")
    out = subprocess.run([nm, "-D", "--defined-only", vorda.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_vorda"]


def test_import_in_a_subinterpreter_fails():
    proc = run_python(
        """
        import os, sys, tempfile
        import vorda
        try:
            import _testcapi
        except ImportError:
            sys.exit(77)
        out = tempfile.mktemp()
        code = f'''
        import sys
        sys.path[:] = {sys.path!r}
        try:
            import vorda
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        open({out!r}, "w").write(result)
        '''
        _testcapi.run_in_subinterp(code.replace("\\n        ", "\\n"))
        print(open(out).read())
        os.unlink(out)
        import vorda as again
        assert again is vorda
        """
    )
    if proc.returncode == 77:
        pytest.skip("this interpreter has no _testcapi.run_in_subinterp")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ImportError: "), proc.stdout
    assert "subinterpreter" in proc.stdout


def test_concurrent_first_imports_yield_one_module():
    proc = run_python(
        """
        import sys, threading
        barrier = threading.Barrier(8)
        seen = []
        def load():
            barrier.wait()
            import vorda
            seen.append((vorda, vorda.RingBufferS))
        threads = [threading.Thread(target=load) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(seen) == 8
        assert len({id(m) for m, _ in seen}) == 1
        assert len({id(c) for _, c in seen}) == 1
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
