#!/usr/bin/env bash
# Runs `make test` under every CPython from 3.10 up that is installed here,
# looking on PATH and among pyenv's versions. Absent versions are skipped
# with a line saying so; any failure makes the whole run fail.
set -u
cd "$(dirname "$0")/.."

find_python() {  # prints a working interpreter for version $1, if any
  local version=$1 candidate
  local -a candidates=("python$version")
  if command -v pyenv >/dev/null 2>&1; then
    local root
    root=$(pyenv root)
    # Newest patch release first.
    while IFS= read -r candidate; do candidates+=("$candidate"); done < <(
      ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r)
  fi
  for candidate in "${candidates[@]}"; do
    # pyenv shims exist for versions that are not selected; they fail to run.
    if "$candidate" -c 'import sys, venv' >/dev/null 2>&1; then
      command -v "$candidate" 2>/dev/null || echo "$candidate"
      return 0
    fi
  done
  return 1
}

found=()
failed=()
for version in 3.10 3.11 3.12 3.13 3.14; do
  if ! python=$(find_python "$version"); then
    echo "test-all: Python $version not found, skipped"
    continue
  fi
  echo "test-all: Python $version found at $python"
  found+=("$version")
  if ! make --no-print-directory test PYTHON="$python" VENV=".venv-$version"; then
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
