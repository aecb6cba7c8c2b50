"""What the documentation promises a user beyond the processors' own
behaviour: panics caught by name, where Ctrl-C leaves a long patch run,
examples that explain themselves, modules that load on older systems."""

import copy
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import vorda
import vorda_blocks as vb

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = sorted(p for p in (ROOT / "examples").glob("*.py") if not p.name.startswith("_"))


def test_panics_are_caught_by_name_from_vorda_blocks(capfd):
    assert issubclass(vb.PanicException, BaseException)
    assert not issubclass(vb.PanicException, Exception)
    with pytest.raises(vb.PanicException, match=r"^assertion failed: sample_rate > 0\.0$") as caught:
        vorda.SinOsc(0.0)
    assert caught.type is vb.PanicException  # the very class, not a look-alike
    assert "panicked at" in capfd.readouterr().err
    assert "PanicException" not in dir(vorda)


def test_an_interrupted_run_leaves_the_patch_where_it_stopped():
    """Ctrl-C stops a long run between two chunks: the patch and its
    instances are where those chunks left them, and a twin run over as many
    samples shows the same state. The run has no output to allocate, and
    seconds of work however fast the chunks go: far longer than the 50 ms
    between two looks at the signals, short enough to end if Ctrl-C is
    never noticed."""
    sr = 48000
    p = vb.Patch()
    x, loop, count = p.input("x"), p.feedback(), p.feedback()
    fed = p.process(vorda.DelayL(sr, 0.02), loop, 0.00454)
    damped = 0.9 * p.process(vorda.Biquad(0.0675, 0.135, 0.0675, -1.143, 0.413), fed)
    loop.set(x + damped)
    count.set(count + 1.0)
    p.compile()
    twin = copy.deepcopy(p)
    forever = 2**28
    previous = signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        with pytest.raises(KeyboardInterrupt):
            p.run(x=0.5, n=forever)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)
    done = int(count.value)
    assert 0 < done < forever and done % p.chunk == 0
    twin.run(x=0.5, n=done)
    assert vb.snapshot(p) == vb.snapshot(twin)


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_each_example_explains_itself(example):
    run = subprocess.run([sys.executable, str(example), "--help"], capture_output=True, text=True,
                         cwd=example.parent, timeout=120)
    assert run.returncode == 0, run.stderr
    usage, description = run.stdout.split("\n\n")[:2]
    assert usage.startswith("usage: ")
    # A whole sentence, not the docstring's first line cut at its wrap.
    assert re.fullmatch(r"[A-Z][^\n]*(\n[^\n]+)*[.:]", description.strip()), description


def test_modules_need_no_cpp_runtime_and_no_newer_c_library():
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump not found: apt-get install binutils")
    for module in (vorda, vb):
        headers = subprocess.run([objdump, "-p", "-T", module.__file__], capture_output=True,
                                 text=True, check=True).stdout
        needed = re.findall(r"NEEDED\s+(\S+)", headers)
        if any("asan" in lib for lib in needed):
            pytest.skip("the sanitizer build keeps the shared C++ runtime")
        assert not any(lib.startswith("libstdc++") for lib in needed), needed
        versions = {tuple(map(int, v.split("."))) for v in re.findall(r"\(GLIBC_([\d.]+)\)", headers)}
        assert max(versions) <= (2, 28), sorted(versions)


@pytest.mark.parametrize("make, samples", [
    (lambda: vorda.DelayS(2**45), 2**45),
    (lambda: vorda.CombL(48000, 1e10), 2**49),
    (lambda: vorda.RingBufferN(48000, 1e9), 2**46),
])
def test_a_buffer_too_large_to_allocate_says_how_large(make, samples):
    with pytest.raises(MemoryError, match=rf"^could not allocate the delay memory: {samples} "
                                          r"samples of 4 bytes \(\d+\.\d [KMGTPE]iB\)$"):
        make()


@pytest.mark.parametrize("record", [
    lambda p: p.input("a\x00b"),
    lambda p: p.feedback(name="loop\x00"),
    lambda p: p.output("\x00y", 1.0),
])
def test_a_name_with_a_nul_is_refused_not_cut_short(record):
    p = vb.Patch()
    with pytest.raises(ValueError, match="cannot contain a NUL character"):
        record(p)
    assert p.inputs == {} and p.outputs == {} and p.feedbacks == ()
