"""Installs one wheel into a fresh virtual environment of the interpreter it
was built for, from the wheel alone, and tries it there from an empty
directory outside the checkout.

    python scripts/try_wheel.py --python python3.12 [--with REQ ...] WHEEL

numpy and mypy (or the --with requirements, to pin them) come from the
package index first; the wheel is then installed with the index off, sdists
refused and no compiler to be found, so nothing can be built on the way. The
tries run in that environment in isolated mode (-I), so neither the current
directory nor this script's folder is on the path. Prints one line saying
what passed, or what failed, and exits non-zero on a failure.

Runs under any CPython from 3.10 up: the same file is the program that runs
inside the fresh environment (--inside).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

QUIET = ["--quiet", "--disable-pip-version-check"]


class Failed(Exception):
    pass


def check(ok: object, message: str) -> None:
    if not ok:
        raise Failed(message)


def wheel_fields(wheel: Path) -> tuple[str, str, str, str, str]:
    # name-version-python-abi-platform; this project's wheels carry no build tag.
    fields = wheel.name.removesuffix(".whl").split("-")
    check(len(fields) == 5, f"{wheel.name} is not a wheel file name")
    return tuple(fields)  # type: ignore[return-value]


def run(args: list[str], cwd: Path, env: dict[str, str] | None = None) -> str:
    proc = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)
    output = (proc.stdout + proc.stderr).strip()
    check(proc.returncode == 0,
          f"{' '.join(args)} exited {proc.returncode}\n{output[-3000:]}")
    return output


# --- outside: the fresh environment -----------------------------------------

def install_and_try(python: str, wheel: Path, requirements: list[str]) -> str:
    with tempfile.TemporaryDirectory(prefix="vorda-try-") as tmp:
        tmp_path = Path(tmp)
        work = tmp_path / "work"
        work.mkdir()
        # Nothing from the calling environment may lead the fresh interpreter
        # to other packages.
        env = {k: v for k, v in os.environ.items()
               if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONUSERBASE", "VIRTUAL_ENV")}
        run([python, "-m", "venv", str(tmp_path / "venv")], work, env)
        venv_python = str(tmp_path / "venv" / "bin" / "python")
        run([venv_python, "-m", "pip", "install", *QUIET, "--only-binary=:all:",
             *requirements], work, env)
        # A compiler that always fails: if pip found anything to build, the
        # install would fail here rather than pass with a build of its own.
        no_build = dict(env, CC="false", CXX="false")
        run([venv_python, "-m", "pip", "install", *QUIET, "--no-deps", "--no-index",
             "--only-binary=:all:", str(wheel)], work, no_build)
        version = run([venv_python, "-c", "import platform; print(platform.python_version())"],
                      work, env)
        tries = run([venv_python, "-I", str(Path(__file__).resolve()), "--inside", str(wheel)],
                    work, env)
    return (f"installed from the wheel alone into a fresh Python {version} environment; "
            f"passed: {tries.splitlines()[-1]}")


# --- inside: the tries --------------------------------------------------------

def try_import(wheel: Path) -> str:
    import importlib.metadata as md
    import sysconfig

    import vorda
    import vorda_blocks

    check(sys.prefix != sys.base_prefix, "not running in a virtual environment")
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for module in (vorda, vorda_blocks):
        where = Path(module.__file__ or "").resolve()
        check(where == site / (module.__name__ + suffix),
              f"{module.__name__} was imported from {where}, not from {site}")

    # What pip installed is what the wheel holds: the two extension modules,
    # their stubs, the metadata and any library auditwheel grafted in; a file
    # from the source tree would show up here as another top-level name.
    name, version, python_tag, abi_tag, _ = wheel_fields(wheel)
    expected_tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    check(python_tag == abi_tag == expected_tag,
          f"{wheel.name} is not tagged for this interpreter ({expected_tag})")
    dist = md.distribution("vorda")
    allowed = {"vorda" + suffix, "vorda_blocks" + suffix, "vorda-stubs", "vorda_blocks-stubs",
               f"{name}-{version}.dist-info", "vorda.libs"}
    tops = {f.parts[0] for f in dist.files or []}
    check(tops and tops <= allowed, f"unexpected installed files: {sorted(tops - allowed)}")
    return "import"


def try_per_sample() -> str:
    import vorda

    # Every step reads before it writes: a delay of 2 gives the input two
    # samples late, with zeros before it.
    d = vorda.DelayS(4)
    x = [float(n) for n in range(8)]
    y = [d.process(v, 2) for v in x]
    check(y == [0.0, 0.0] + x[:-2], f"DelayS(4) by 2 samples gave {y}")
    return "per-sample"


def try_blocks() -> str:
    import numpy as np
    import vorda
    import vorda_blocks as vb

    x = np.arange(8, dtype=np.float32)
    d, twin = vorda.DelayS(4), vorda.DelayS(4)
    y = vb.process(d, x, 2)
    loop = [twin.process(float(v), 2) for v in x]
    check(y.dtype == np.float32 and y.tolist() == loop,
          f"block DelayS gave {y!r}, the per-sample loop {loop}")
    # Rounding as well as copying: a filter's float32 arithmetic must give the
    # same bits in the block loop as in the per-sample calls.
    noise = vb.process(vorda.WhiteNoise(seed=3), n=64)
    coefs = (0.2, 0.4, 0.2, -0.5, 0.25)
    bq, twin_bq = vorda.Biquad(*coefs), vorda.Biquad(*coefs)
    y = vb.process(bq, noise)
    loop = np.array([twin_bq.process(float(v)) for v in noise], dtype=np.float32)
    check(np.array_equal(y, loop), "block Biquad differs from the per-sample loop")
    return "block"


def try_patch() -> str:
    import numpy as np
    import vorda
    import vorda_blocks as vb

    # A loop through a delay line and a filter, against the same calls in Python.
    line, lowpass = vorda.DelayS(64), vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1)
    p = vb.Patch()
    x, v = p.input("x"), p.feedback()
    y = p.process(lowpass, p.process(line, v, 40))
    v.set(x + 0.5 * y)
    p.output("y", y)
    burst = np.arange(200, dtype=np.float32) % 7
    got = p.run(x=burst)
    line, lowpass, fed, loop = vorda.DelayS(64), vorda.Biquad(0.2, 0.4, 0.2, -0.3, 0.1), 0.0, []
    for xi in burst.tolist():
        out = lowpass.process(line.process(fed, 40))
        fed = xi + 0.5 * out
        loop.append(out)
    check(got.tolist() == np.array(loop, np.float32).tolist(), "the patch differs from its loop")
    return "patch"


def try_stubs() -> str:
    run([sys.executable, "-I", "-m", "mypy.stubtest", "vorda", "vorda_blocks"], Path.cwd())
    return "stubtest"


def try_metadata(wheel: Path) -> str:
    import importlib.metadata as md
    import json

    dist = md.distribution("vorda")
    _, version, _, _, _ = wheel_fields(wheel)
    check(md.version("vorda") == version,
          f"installed version {md.version('vorda')}, wheel {wheel.name}")
    check(dist.metadata["License-Expression"] == "MIT",
          f"License-Expression is {dist.metadata['License-Expression']!r}")
    licenses = [f for f in dist.files or [] if f.name == "LICENSE"]
    check(len(licenses) == 1 and licenses[0].read_text().startswith("MIT License"),
          f"LICENSE files installed: {licenses}")
    # pip records where it installed from: the wheel file, not a directory.
    origin = json.loads(dist.read_text("direct_url.json") or "{}")
    check(origin.get("url") == wheel.resolve().as_uri() and "archive_info" in origin,
          f"installed from {origin}, not from {wheel}")
    return f"metadata {version} MIT"


def inside(wheel: Path) -> None:
    passed = [try_import(wheel), try_per_sample(), try_blocks(), try_patch(), try_stubs(),
              try_metadata(wheel)]
    print(", ".join(passed))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--python", default=sys.executable,
                        help="the interpreter whose fresh environment gets the wheel")
    parser.add_argument("--with", dest="requirements", action="append",
                        help="installed from the index first (default: numpy and mypy)")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    wheel = args.wheel.resolve()
    try:
        if args.inside:
            inside(wheel)
        else:
            python = shutil.which(args.python) or args.python
            line = install_and_try(python, wheel, args.requirements or ["numpy", "mypy"])
            print(f"try-wheel: {wheel.name}: {line}")
    except Failed as failure:
        if args.inside:
            print(failure, file=sys.stderr)
        else:
            print(f"try-wheel: {wheel.name}: FAILED: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
