"""The module object and the shape of its type objects."""
import gc
import importlib
import inspect
import json
import shutil
import subprocess
import sys
import weakref
from pathlib import Path

import pytest

import vorda
from helpers import CLASSES, make, run_python

NAMES = ["SinOsc", "WhiteNoise", "Lfo", "Biquad", "LeakDc", "DelayS", "DelayN", "DelayL",
         "CombS", "CombN", "CombL", "AllpassS", "AllpassN", "AllpassL", "pan2",
         "RingBufferS", "RingBufferN", "RingBufferL"]


def test_module_and_reimport():
    assert vorda.__doc__ == "" and vorda.__all__ == NAMES
    assert sorted(n for n in dir(vorda) if not n.startswith("__")) == sorted(NAMES)
    objects = {name: getattr(vorda, name) for name in NAMES}
    del sys.modules["vorda"]
    assert importlib.import_module("vorda") is vorda and importlib.reload(vorda) is vorda
    assert {name: getattr(vorda, name) for name in vorda.__all__} == objects


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_type_shape(cls):
    name = cls.__name__
    assert (cls.__qualname__, cls.__module__, repr(cls)) == (name, "builtins",
                                                             f"<class 'builtins.{name}'>")
    assert cls.__bases__ == (object,) and not cls.__doc__.startswith(name + "(")
    inspect.signature(cls)  # parses the text signature
    for attr, member in vars(cls).items():
        if callable(member) and not attr.startswith("__"):
            assert next(iter(inspect.signature(member).parameters)) == "self"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    inst = make(cls)
    with pytest.raises(AttributeError):
        inst.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(inst)
    assert not gc.is_tracked(inst)


def test_only_the_entry_point_is_exported():
    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", vorda.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_vorda"]


def test_import_in_a_subinterpreter_fails():
    proc = run_python("""
        import os, sys, tempfile, vorda
        try:
            import _testcapi
        except ImportError:
            sys.exit(77)
        out = tempfile.mktemp()
        _testcapi.run_in_subinterp(
            f"import sys\\nsys.path[:] = {sys.path!r}\\n"
            "try:\\n    import vorda\\n    result = 'imported'\\n"
            "except ImportError as e:\\n    result = 'ImportError: ' + str(e)\\n"
            f"open({out!r}, 'w').write(result)\\n")
        print(open(out).read())
        os.unlink(out)
        import vorda as again
        assert again is vorda
        """)
    if proc.returncode == 77:
        pytest.skip("this interpreter has no _testcapi.run_in_subinterp")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ImportError: ") and "subinterpreter" in proc.stdout


def test_surface_is_frozen():
    """Every docstring, text signature and name of the per-sample module, as
    users have seen them (tests/data/vorda_surface.json): the signatures are
    generated from the parameter lists, so a change there shows up here."""
    frozen = json.loads((Path(__file__).parent / "data" / "vorda_surface.json").read_text())

    def entry(obj):
        return {"doc": getattr(obj, "__doc__", None),
                "text_signature": getattr(obj, "__text_signature__", None)}

    assert (vorda.__doc__, vorda.__all__, dir(vorda)) == (frozen["__doc__"], frozen["__all__"],
                                                          frozen["dir"])
    for name in vorda.__all__:
        obj, want = getattr(vorda, name), frozen["names"][name]
        assert entry(obj) == {"doc": want["doc"], "text_signature": want["text_signature"]}, name
        if isinstance(obj, type):
            assert sorted(set(dir(obj)) - set(dir(object))) == want["dir"], name
            members = {k: entry(v) for k, v in sorted(vars(obj).items()) if not k.startswith("__")}
            assert members == want["members"], name
