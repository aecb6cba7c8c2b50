# Commands for users and CI. Every target that runs Python code builds and
# installs the project into a fresh virtual environment first.
PYTHON ?= python3
VENV ?= .venv
PIP_FLAGS ?= --quiet --disable-pip-version-check

.PHONY: test test-all demo bench clean

# A new environment each time: what is tested is what `pip install .` gives.
test:
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) ".[test]"
	$(VENV)/bin/python -m pytest

# `make test` once for every CPython from 3.10 up found on this machine.
test-all:
	bash scripts/test-all.sh

clean:
	rm -rf build .venv* out .pytest_cache .hypothesis
