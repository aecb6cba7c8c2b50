"""What can go wrong with a live stream, and what the user then learns: errors
before anything plays, a server that dies mid-stream, Ctrl-C, the interpreter's
exit with a stream still playing, a machine with no audio library; and that the
audio thread allocates nothing while it plays."""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import vorda
import vorda_blocks as vb
from helpers import run_python
from live_server import own_server, server  # noqa: F401 - fixtures

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"

# A stream in a script of its own: a failure there is a failed test, not a
# crashed or hung suite.
PATCH = """
import time
import numpy as np
import vorda, vorda_blocks as vb
p = vb.Patch()
x, gain = p.input("x"), p.input("gain")
p.output("y", gain * p.process(vorda.Biquad(0.2, 0.3, 0.2, -0.4, 0.1), x + p.process(vorda.SinOsc(48000), 440.0)))
"""


def patch_with(outputs=("y",), count_input=False):
    p = vb.Patch()
    x, gain = p.input("x"), p.input("gain")
    if count_input:
        p.process(vorda.DelayS(8), x, p.input("taps", count=True))
    for name in outputs:
        p.output(name, gain * x)
    return p


@pytest.mark.parametrize("arguments, error, message", [
    ({"backend": "nope"}, ValueError, "no backend 'nope' here"),
    ({"device": "nope"}, ValueError, "no device named 'nope'"),
    ({"device": 7}, ValueError, "no device 7"),
    ({"device": []}, TypeError, "expected an index or a name"),
    ({"sample_rate": 44100}, ValueError, "runs at 48000 Hz"),
    ({"sample_rate": "fast"}, TypeError, "sample_rate: expected a number"),
    ({"sample_rate": -1.0}, ValueError, "positive"),
    ({"blocksize": 128}, ValueError, "64-sample periods"),
    ({"blocksize": 0}, ValueError, "from 1 to 16384"),
    ({"outputs": ["y", "y", "y"]}, ValueError, "has 2 playback channels; the stream needs 3"),
    ({"outputs": ["nope"]}, ValueError, "no output 'nope' \\(its outputs: 'y'\\)"),
    ({"outputs": []}, ValueError, "at least one output"),
    ({"inputs": {"x": 2}}, ValueError, "has 2 capture channels; the stream needs 3"),
    ({"inputs": {"nope": 0}}, ValueError, "no input 'nope'"),
    ({"inputs": {"x": -1}}, ValueError, "out of range"),
    ({"inputs": {"x": 0.0}}, TypeError, "must be an int"),
    ({"inputs": {"taps": 0}}, TypeError, "'taps' is a count input"),
], ids=lambda v: str(v)[:24] if isinstance(v, dict) else None)
def test_a_stream_that_cannot_play_says_why_before_anything_plays(server, arguments, error, message):
    p = patch_with(count_input=True)
    with pytest.raises(error, match=message):
        vb.Stream(p, **arguments)
    look = server.client("look")
    assert not look.get_ports("vorda")  # nothing was left open
    look.close()
    assert p.run(x=np.ones(3), gain=0.5, taps=1)[0] == 0.5  # nor borrowed


def test_what_set_and_start_refuse(server):
    with pytest.raises(ValueError, match="no outputs"):
        vb.Stream(vb.Patch())
    with pytest.raises(TypeError, match="expected a vorda_blocks.Patch"):
        vb.Stream(object())
    s = vb.Stream(patch_with(count_input=True), inputs={"x": 0})
    for args, error, message in [
        (("nope", 1.0), ValueError, "no control 'nope' \\(its controls: 'gain', 'taps'\\)"),
        (("x", 1.0), ValueError, "'x' takes captured audio \\(channel 0\\)"),
        (("taps", 1.5), TypeError, "'taps' is a count input: its value is an int"),
        (("taps", -1), OverflowError, "negative"),
        (("gain", "loud"), TypeError, "takes a number"),
        (("gain", np.ones(2)), TypeError, "takes a number .* not ndarray"),
        (("gain", 1.0, -1), ValueError, "from 0 on"),
        (("gain", 1.0, 1.5), TypeError, "an int"),
    ]:
        with pytest.raises(error, match=message):
            s.set(*args)
    s.set("gain", 1.0)
    with pytest.raises(RuntimeError, match="control 'taps' has no value"):
        s.start()
    assert not s.running
    with pytest.raises(RuntimeError, match="record=True"):
        s.recording()
    s.close()
    with pytest.raises(ValueError, match="closed"):
        s.set("gain", 1.0)


def test_killing_the_server_stops_the_stream_and_the_next_call_raises_why(own_server):
    script = PATCH + textwrap.dedent("""
        s = vb.Stream(p, record=True)
        s.set("x", 0.0); s.set("gain", 0.5)
        s.start()
        while s.time < 4800:
            time.sleep(0.01)
        print("playing", flush=True)
        input()  # meanwhile, the server is killed
        deadline = time.monotonic() + 20
        while s.error is None:
            assert time.monotonic() < deadline, "the failure went unnoticed"
            time.sleep(0.01)
        error = s.error
        assert isinstance(error, RuntimeError) and not s.running
        for call in (lambda: s.set("gain", 1.0), s.start, s.stop):
            try:
                call()
            except RuntimeError as e:
                assert e is error
            else:
                raise AssertionError("a call after the failure did not raise")
        assert len(p.run(x=np.zeros(8), gain=1.0)) == 8  # the patch is free again
        assert len(s.recording()) >= 4800 and s.stats()["blocks"] > 0
        s.close()
        print("raised:", error)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "playing\n", child.stderr.read()
        own_server.kill()
        out, err = child.communicate("go\n", timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert "raised: the JACK server stopped the stream" in out


def test_the_interpreters_exit_stops_a_stream_left_playing(server):
    run = run_python(PATCH + textwrap.dedent("""
        s = vb.Stream(p)
        s.set("x", 0.0); s.set("gain", 0.5)
        s.start()
        loop = [s]
        loop.append(loop)  # kept alive until the very end
        while s.time < 4800:
            time.sleep(0.01)
        print("leaving")
    """))
    assert run.returncode == 0 and run.stdout == "leaving\n", run.stderr


# Ctrl-C as a terminal gives it: a shell that started the suite in the background
# may have left SIGINT ignored, and Python then leaves it so.
AS_FROM_A_TERMINAL = ("import os, runpy, signal, sys;"
                      " signal.signal(signal.SIGINT, signal.default_int_handler);"
                      " sys.argv = sys.argv[1:]; sys.path.insert(0, os.path.dirname(sys.argv[0]));"
                      " runpy.run_path(sys.argv[0], run_name='__main__')")


def live(*args, env=None):
    return subprocess.Popen([sys.executable, "-c", AS_FROM_A_TERMINAL, EXAMPLES / "live.py",
                             *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def test_live_example_bounces_what_it_played_and_stops_on_ctrl_c(server, tmp_path):
    wavfile = pytest.importorskip("scipy.io.wavfile")
    child = live("--seconds", 2, "--bounce", tmp_path / "live.wav")
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert "through 'system' (jack)" in out and "identical to what was played" in out
    rate, data = wavfile.read(tmp_path / "live.wav")
    assert rate == 48000 and data.dtype == np.float32 and data.shape[1] == 2
    assert len(data) >= 2 * 48000 and 0.05 < np.abs(data).max() < 1.0

    child = live("--seconds", 60, "--bounce", tmp_path / "stopped.wav")
    try:
        line = child.stdout.readline()
        while "load" not in line:  # it plays
            assert line, child.stderr.read()
            line = child.stdout.readline()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 130, err
    assert "stopped" in out and "identical to what was played" in out and "Traceback" not in err


def test_with_no_device_the_live_example_says_what_is_missing():
    env = dict(os.environ, JACK_DEFAULT_SERVER="vorda-no-such-server",
               VORDA_PORTAUDIO_LIBRARY="/nonexistent/libportaudio.so.2")
    out, err = live("--seconds", 1, env=env).communicate(timeout=120)
    assert "cannot play: no audio device" in err and "libportaudio2" in err and not out


def test_through_portaudio_a_stream_that_outruns_its_storage_says_its_recording_is_incomplete(
        tmp_path):
    """ALSA through PortAudio, to ALSA's null device (declared in the test's own
    ~/.asoundrc): a device that takes blocks as fast as they come, faster than
    the thread that stores the recording can keep them. The audio thread never
    waits for it: the blocks it had no room for are counted, and the recording
    refuses to pass for complete."""
    (tmp_path / ".asoundrc").write_text('pcm.vordanull { type null }\n')
    run = run_python(PATCH + textwrap.dedent("""
        devices = [d for d in vb.devices() if d["backend"] == "alsa"]
        if not devices:
            print("no alsa")
            raise SystemExit
        s = vb.Stream(p, backend="alsa", device="vordanull", record=True)
        assert (s.backend, s.device) == ("alsa", "vordanull")
        s.set("x", 0.0)
        s.set("gain", 0.5)
        for k in range(20):
            s.set("gain", k / 20, at=1000 + 777 * k)
        with s:
            while s.time < 5_000_000:
                time.sleep(0.01)
            try:
                p.run(x=np.zeros(1), gain=1.0)
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
            else:
                raise AssertionError("the patch was not held")
        assert [t for t, _, _ in s.events()] == [1000 + 777 * k for k in range(20)]
        assert s.stats()["dropped"] > 0
        for call in (s.recording, s.played_inputs):
            try:
                call()
            except RuntimeError as e:
                assert "incomplete" in str(e)
            else:
                raise AssertionError("an incomplete recording passed")
        assert len(p.run(x=np.zeros(4), gain=1.0)) == 4
        print("ok")
    """), env=dict(os.environ, HOME=str(tmp_path)))
    assert run.returncode == 0, run.stderr
    if run.stdout == "no alsa\n":
        pytest.skip("PortAudio sees no ALSA device: apt install libportaudio2")
    assert run.stdout == "ok\n"


def test_with_no_audio_library_only_streams_and_devices_refuse():
    env = dict(os.environ, VORDA_PORTAUDIO_LIBRARY="/nonexistent/libportaudio.so.2",
               VORDA_JACK_LIBRARY="/nonexistent/libjack.so.0")
    run = run_python(PATCH + textwrap.dedent("""
        assert len(p.run(x=np.zeros(4), gain=1.0)) == 4
        for call in (vb.devices, lambda: vb.Stream(p)):
            try:
                call()
            except RuntimeError as e:
                print(e)
            else:
                raise AssertionError("no error")
    """), env=env)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 2 and all("no audio library" in line for line in lines)
    assert all("apt install libportaudio2" in line and "libjack-jackd2-0" in line for line in lines)


SHIM = r"""
// Counts allocations and frees made inside JACK process callbacks: every
// jack_set_process_callback is wrapped on its way to libjack.
#include <dlfcn.h>
#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

static __thread int inside __attribute__((tls_model("initial-exec")));
static std::atomic<long> allocations{0}, callbacks{0};
static void count() { if (inside) allocations.fetch_add(1); }

extern "C" {
void* malloc(size_t n) { count(); return __libc_malloc(n); }
void free(void* p) { if (p) count(); __libc_free(p); }
void* calloc(size_t a, size_t b) { count(); return __libc_calloc(a, b); }
void* realloc(void* p, size_t n) { count(); return __libc_realloc(p, n); }
void* memalign(size_t a, size_t n) { count(); return __libc_memalign(a, n); }
void* aligned_alloc(size_t a, size_t n) { count(); return __libc_memalign(a, n); }
int posix_memalign(void** out, size_t a, size_t n) {
  count();
  *out = __libc_memalign(a, n);
  return *out ? 0 : 12;
}

typedef int (*Process)(unsigned, void*);
struct Wrapped { Process process; void* arg; };
static Wrapped wrapped[256];
static std::atomic<int> used{0};

static int counting(unsigned frames, void* arg) {
  Wrapped* w = static_cast<Wrapped*>(arg);
  callbacks.fetch_add(1);
  inside = 1;
  int result = w->process(frames, w->arg);
  inside = 0;
  return result;
}

int jack_set_process_callback(void* client, Process process, void* arg) {
  typedef int (*Real)(void*, Process, void*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "jack_set_process_callback"));
  Wrapped* w = &wrapped[used.fetch_add(1)];
  w->process = process;
  w->arg = arg;
  return real(client, counting, w);
}

long shim_allocations() { return allocations.load(); }
long shim_callbacks() { return callbacks.load(); }

// Under AddressSanitizer its malloc comes first: count through its hooks.
static void malloc_hook(const volatile void*, size_t) { count(); }
static void free_hook(const volatile void*) { count(); }
__attribute__((constructor)) static void install_hooks() {
  typedef int (*Install)(void (*)(const volatile void*, size_t), void (*)(const volatile void*));
  if (Install install = reinterpret_cast<Install>(
          dlsym(RTLD_DEFAULT, "__sanitizer_install_malloc_and_free_hooks")))
    install(malloc_hook, free_hook);
}
}
"""


def test_the_audio_thread_allocates_nothing_while_it_plays(server, tmp_path):
    """Counted by a library preloaded into a fresh interpreter, which wraps every
    JACK process callback: what it and the engine under it allocate or free."""
    source = tmp_path / "shim.cpp"
    source.write_text(SHIM)
    shim = tmp_path / "shim.so"
    compiler = os.environ.get("CXX") or "g++"
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-o", shim, source, "-ldl"], check=True)
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(shim)]))
    script = PATCH + textwrap.dedent(f"""
        import ctypes
        shim = ctypes.CDLL({str(shim)!r})
        s = vb.Stream(p, inputs={{"x": 0}}, record=True)
        s.set("gain", 0.5)
        with s:
            for k in range(200):  # events, splitting blocks
                s.set("gain", k / 200, at=s.time + 100 + 37 * k)
            while s.time < 48000:
                time.sleep(0.01)
            s.set("gain", float("nan"))  # protection has work too
            while s.time < 60000:
                time.sleep(0.01)
        assert len(s.events()) == 201 and s.stats()["protected"] > 0
        print(shim.shim_callbacks(), shim.shim_allocations())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, LD_PRELOAD=preload))
    assert run.returncode == 0, run.stderr
    callbacks, allocations = map(int, run.stdout.split())
    assert callbacks > 900 and allocations == 0
