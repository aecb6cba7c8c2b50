# Sourced by the scripts that run something under every CPython installed
# here; not run on its own.

# The CPython versions those scripts look for. 3.14 is looked for so that it
# is picked up the day it is installed.
PYTHON_VERSIONS=(3.10 3.11 3.12 3.13 3.14)

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
