#!/usr/bin/env bash
# Runs `make test` under every CPython from 3.10 up that is installed here,
# looking on PATH and among pyenv's versions. Absent versions are skipped
# with a line saying so; any failure makes the whole run fail.
set -u
cd "$(dirname "$0")/.."

source scripts/pythons.sh

# `make test` leaves the slow tests out (building and trying the sdist and
# the wheel, the benchmarks' C++ loops): they check what does not change from
# one interpreter to the next, and CI runs them once. `make wheels` builds
# and tries a wheel for each interpreter.

found=()
failed=()
for version in "${PYTHON_VERSIONS[@]}"; do
  if ! python=$(find_python "$version"); then
    echo "test-all: Python $version not found, skipped"
    continue
  fi
  echo "test-all: Python $version found at $python"
  found+=("$version")
  if ! make --no-print-directory test PYTHON="$python" TEST_VENV=".venv-test-$version" \
      TEST_BUILD="build/test-$version"; then
    failed+=("$version")
  fi
done

echo "test-all: tested ${found[*]:-nothing}"
if [ ${#found[@]} -eq 0 ]; then
  echo "test-all: no CPython 3.10 or newer found" >&2
  exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-all: FAILED on ${failed[*]}" >&2
  exit 1
fi
echo "test-all: passed on ${found[*]}"
