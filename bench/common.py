"""What the benchmark scripts share: the machine they ran on, the C++ floor
they are held to, timing side by side, and the pieces of their reports.

bench.py times calls of vorda alone and loads no numpy, so what here needs
numpy imports it where it is used.
"""
import functools
import importlib.util
import inspect
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import vorda

try:
    from tqdm import tqdm
except ImportError:  # progress is a nicety; the benches run without it
    tqdm = None

ROOT = Path(__file__).resolve().parents[1]
THREADS_TARGET = 1.7  # two threads on two cores against one
CXXFLAGS = ["-std=c++20", "-O2", "-ffp-contract=off", "-fno-fast-math", "-fno-finite-math-only"]


# ---------------------------------------------------------------- environment


def git_commit():
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    return head + ("+dirty" if dirty else "")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def environment():
    return {
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "executable": sys.executable,
        "platform": platform.platform(),
        "cpu": f"{cpu_model()} ({os.cpu_count()} logical CPUs)",
        "commit": git_commit(),
        "vorda": getattr(vorda, "__file__", "?"),
        # Others' work on a shared machine shows here before it shows as spread.
        "load_average": os.getloadavg()[0] if hasattr(os, "getloadavg") else None,
    }


def print_environment(env):
    print(f"Python   {env['python']} ({env['executable']})")
    load = env["load_average"]
    print(f"machine  {env['platform']}, {env['cpu']}"
          + (f", load average {load:.2f}" if load is not None else ""))
    print(f"vorda    {env['vorda']}, commit {env['commit'] or 'unknown'}")
    print()


def load_demo():
    """The demo patch's render function, if examples/demo.py has one."""
    path = ROOT / "examples" / "demo.py"
    if not path.exists():
        return None, f"{path.relative_to(ROOT)} not found"
    # The examples import their shared helpers from their own folder.
    sys.path.insert(0, str(path.parent))
    spec = importlib.util.spec_from_file_location("vorda_demo", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    try:
        spec.loader.exec_module(module)
    except ImportError as e:  # the demo's own dependencies are not installed
        return None, f"{path.relative_to(ROOT)} does not import: {e}"
    render = getattr(module, "render", None)
    if not callable(render):
        return None, f"{path.relative_to(ROOT)} has no render()"
    if "progress" in inspect.signature(render).parameters:
        render = functools.partial(render, progress=False)
    return render, ""


# ---------------------------------------------------------------- timing


class Floor:
    """A C++ floor (floor.cpp, or `source` in bench/), compiled into `tmp` and
    driven over a pipe (harness.hpp): it waits on its input while Python is
    timed, so the two never share the processor. `data` are its input arrays,
    `constants` what it reads as its settings."""

    def __init__(self, tmp, data, constants, source="floor.cpp"):
        for name, values in data.items():
            values.tofile(tmp / f"{name}.bin")
        (tmp / "constants.txt").write_text("".join(f"{k} {v!r}\n" for k, v in constants.items()))
        exe = tmp / Path(source).stem
        cxx = os.environ.get("CXX", "g++")
        src = ROOT / "src"
        compile_ = [cxx, *CXXFLAGS, f"-I{src}", str(ROOT / "bench" / source),
                    str(src / "panic.cpp"), "-pthread", "-o", str(exe)]
        try:
            subprocess.run(compile_, check=True)
        except (OSError, subprocess.CalledProcessError) as e:
            sys.exit(f"bench: cannot compile {source} ({e})")
        self.proc = subprocess.Popen([str(exe), str(tmp)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline()
        if not reply:
            sys.exit(f"bench: floor exited ({self.proc.wait()}) on {line!r}")
        answer = json.loads(reply)
        if isinstance(answer, dict) and "error" in answer:
            sys.exit(f"bench: floor: {answer['error']} ({line!r})")
        return answer

    def time(self, label, passes):
        return self.ask(f"time {passes} {label}")["ns"]

    def first_pass(self, label, path, n, outputs):
        self.ask(f"check {path} {label}")
        import numpy as np

        return list(np.fromfile(path, dtype=np.float32)[:n * outputs].reshape(outputs, n))

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def same_bits(a, b):
    """The same float32 samples, bit for bit, every NaN counting as one: where
    two NaNs meet, the hardware keeps the payload of one operand, and which
    one depends on how the compiler ordered a commutative operation."""
    import numpy as np

    def bits(values):
        values = np.asarray(values, dtype=np.float32)
        return np.where(np.isnan(values), np.float32("nan"), values).view(np.uint32)

    a, b = bits(a), bits(b)
    return a.shape == b.shape and np.array_equal(a, b)


def best_ns(call, passes, n):
    """The fastest of `passes` calls after an untimed one, in ns per sample,
    as floor.cpp times: on a shared machine an interruption only ever adds
    time, so the fastest pass is the one nearest the code's own cost."""
    call()
    best = math.inf
    for _ in range(passes):
        start = time.perf_counter_ns()
        call()
        best = min(best, time.perf_counter_ns() - start)
    return best / n


def once_ns(call, n):
    """One call, in ns per sample: for the Python loops, long enough alone."""
    start = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - start) / n


def timed_passes(call, budget, n):
    """As many passes as take about `budget` seconds, 3 to 50."""
    return max(3, min(50, round(budget / (best_ns(call, 2, n) * n * 1e-9))))


def fastest_interleaved(passes, sides):
    """The fastest pass of each side, the sides taking turns pass by pass:
    the load on a shared machine changes within a few milliseconds, and a
    side timed all in one go can land in a slow spell that the next side
    misses. Each side is a call that times one pass, in ns per sample."""
    best = {kind: math.inf for kind in sides}
    order = list(sides)
    for k in range(passes):
        for kind in order if k % 2 == 0 else order[::-1]:
            best[kind] = min(best[kind], sides[kind]())
    return best


def progress(steps, desc):
    if tqdm is None:
        return steps
    return tqdm(steps, desc=desc, unit="round", file=sys.stderr, leave=False, disable=None)


def interleaved(timers, rounds, desc):
    """Per-round times of each named timer, visited in alternating order. A
    timer that returns a number has timed itself (in seconds)."""
    samples = {name: [] for name in timers}
    names = list(timers)
    for r in progress(range(rounds), desc):
        for name in names if r % 2 == 0 else names[::-1]:
            start = time.perf_counter()
            own = timers[name]()
            elapsed = time.perf_counter() - start
            samples[name].append(own if isinstance(own, float) else elapsed)
    return samples


def thread_row(label, n, make, run, rounds, budget):
    """Two threads, each calling `run` on an instance of its own (from `make`)
    for about `budget` seconds, against one thread making the same calls on
    both instances in turn. The two threads are timed from the moment both
    are ready to start."""
    pair = (make(), make())
    start = time.perf_counter()
    run(pair[0])
    blocks = max(2, round(budget / (time.perf_counter() - start)))

    def one_thread():
        for _ in range(blocks):
            for p in pair:
                run(p)

    def two_threads():
        ready = threading.Barrier(3)

        def worker(p):
            ready.wait()
            for _ in range(blocks):
                run(p)
        threads = [threading.Thread(target=worker, args=(p,)) for p in pair]
        for t in threads:
            t.start()
        ready.wait()
        start = time.perf_counter()
        for t in threads:
            t.join()
        return time.perf_counter() - start

    samples = interleaved({"one": one_thread, "two": two_threads}, rounds, "thread rounds")
    ratio, iqr = ratio_stats(samples["one"], samples["two"])
    return {"call": label, "n": n, "blocks_per_thread": blocks, "ratio": ratio,
            "iqr": iqr, "target": THREADS_TARGET, "met": ratio >= THREADS_TARGET}


# ---------------------------------------------------------------- statistics and report


def quartiles(values):
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q2, q3


def ratio_stats(top, bottom):
    """Median and interquartile range of the per-round ratios."""
    q1, q2, q3 = quartiles([a / b for a, b in zip(top, bottom)])
    return q2, q3 - q1


def mark(met):
    return "" if met is None else "ok" if met else "MISS"


def print_threads(rows, unit, width=22):
    """The thread rows; `unit` names what each thread runs (blocks, runs)."""
    print("two threads on two instances: one thread's time for the same work over theirs")
    for row in rows:
        print(f"  {row['call']:<{width}} n = {row['n']}, {row['blocks_per_thread']} {unit} "
              f"each {row['ratio']:>6.2f}  iqr {row['iqr']:.2f}  >={row['target']}  "
              f"{mark(row['met'])}")
    print()


def write_json(path, result):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(json.dumps(result, indent=2) + "\n")
