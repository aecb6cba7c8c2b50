"""The operation table and the block kernel built as plain C++, with no Python.h
on the include path: they must stand on their own, and the kernel must give the
bits of the per-sample calls there too."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CXX = os.environ.get("CXX", "g++")


@pytest.mark.skipif(shutil.which(CXX) is None, reason=f"needs a C++ compiler ({CXX})")
def test_kernel_and_parameter_lists_without_python(tmp_path):
    binary = tmp_path / "kernel_check"
    subprocess.run([CXX, "-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
                    "-I", str(ROOT / "src"), str(ROOT / "tests/native/kernel_check.cpp"),
                    str(ROOT / "src/panic.cpp"), "-o", str(binary)], check=True)
    result = subprocess.run([binary], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout.strip() == "0 failures", result.stdout
