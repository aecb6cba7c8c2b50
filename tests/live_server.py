"""A JACK server with its dummy backend for the live tests, started under a name of
its own (so that runs cannot collide) and stopped after; and JACK clients of the
tests' own, from the JACK-Client package."""

import os
import shutil
import subprocess
import tempfile
import time
import uuid
from pathlib import Path

import pytest

RATE, PERIOD = 48000, 64
JACKD = shutil.which("jackd")
MISSING = ("needs a JACK server and its client library: apt install jackd2, and the "
           "JACK-Client package from PyPI (in the test extra)")


def jack_module():
    if JACKD is None:
        pytest.skip(MISSING)
    try:
        import jack
    except (ImportError, OSError):  # OSError: the package found no libjack
        pytest.skip(MISSING)
    return jack


class Server:
    def __init__(self, name, process, log):
        self.name, self.process, self.log = name, process, log
        self.killed = False

    def client(self, name):
        """A client of the test's own on this server (activate it to process)."""
        return jack_module().Client(name, no_start_server=True, servername=self.name)

    def kill(self):
        """As a crash would end it: no goodbye to its clients."""
        self.process.kill()
        self.process.wait()
        self.killed = True

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
        self.log.close()
        if self.killed:
            # JACK keeps eight servers in a registry per user, and frees a dead
            # one's entry only when a server of the same name starts: this one
            # does, and leaves as servers should.
            start_server(self.name).stop()
        # A killed server leaves its shared memory behind; only ours, by name.
        for leftover in Path("/dev/shm").glob(f"*{self.name}*"):
            leftover.unlink(missing_ok=True)


def start_server(name=None):
    jack = jack_module()
    name = name or f"vorda-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    # jackd is not instrumented: it runs without a sanitizer runtime preloaded.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    log = tempfile.TemporaryFile()
    # A server outlives nothing it was started for: if the tests die before
    # they stop it, it is told to go (and frees its place in JACK's registry).
    orphaned = ["setpriv", "--pdeathsig", "TERM"] if shutil.which("setpriv") else []
    process = subprocess.Popen(
        [*orphaned, JACKD, "--no-realtime", "-n", name, "-S", "-d", "dummy", "-r", str(RATE),
         "-p", str(PERIOD)], env=env, stdout=log, stderr=subprocess.STDOUT)  # fmt: skip
    server = Server(name, process, log)
    deadline = time.monotonic() + 30
    while True:  # until it answers
        try:
            jack.Client("vorda-test-probe", no_start_server=True, servername=name).close()
            return server
        except jack.JackOpenError:
            if process.poll() is not None or time.monotonic() > deadline:
                log.seek(0)
                said = log.read().decode(errors="replace")
                server.stop()
                raise RuntimeError(f"jackd did not start: {said}")
            time.sleep(0.05)


@pytest.fixture(scope="module")
def server():
    """One server for a module's tests; JACK_DEFAULT_SERVER names it meanwhile."""
    started = start_server()
    before = os.environ.get("JACK_DEFAULT_SERVER")
    os.environ["JACK_DEFAULT_SERVER"] = started.name
    yield started
    if before is None:
        os.environ.pop("JACK_DEFAULT_SERVER", None)
    else:
        os.environ["JACK_DEFAULT_SERVER"] = before
    started.stop()


@pytest.fixture
def own_server(monkeypatch):
    """A server for one test alone (one it may kill)."""
    started = start_server()
    monkeypatch.setenv("JACK_DEFAULT_SERVER", started.name)
    yield started
    started.stop()
