# Commands for users and CI. Every target that runs Python code builds and
# installs the project into a virtual environment first.
PYTHON ?= python3
VENV ?= .venv
PIP_FLAGS ?= --quiet --disable-pip-version-check

# The environments of make test, make demo and make docs are kept between
# runs, each its own. vorda is rebuilt in one only when its sources have
# changed since the last install, and then incrementally, in a build folder
# of its own: the build tools live in the environment, so the build needs no
# isolation. (make bench and make sanitize start from fresh ones.)
BUILD_INPUTS := pyproject.toml CMakeLists.txt $(shell find src vorda-stubs vorda_blocks-stubs -type f 2>/dev/null)

# $(call install_into,ENV,BUILD,EXTRA,WHAT): vorda with EXTRA into ENV.
define install_into
	@test -x $(1)/bin/python || { \
	  echo "$(4): creating $(1) with the build tools (once; under a minute)"; \
	  $(PYTHON) -m venv $(1) && \
	  $(1)/bin/python -m pip install $(PIP_FLAGS) scikit-build-core cmake ninja; }
	@if test -d $(2); then \
	  echo "$(4): sources changed: recompiling what they touch in $(2) and reinstalling vorda (seconds to a minute)"; \
	else \
	  echo "$(4): compiling vorda's C++ modules into $(2) and installing them with the $(3) extra (1 to 3 minutes, once)"; \
	fi
	$(1)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation \
	  --config-settings=build-dir=$(2) ".[$(3)]"
	@touch $(1)/.installed
endef

.PHONY: test test-slow test-all sanitize demo live bench dist wheels clean

# The suite without its slow tests (pytest's `slow` marker).
TEST_VENV ?= .venv-test
TEST_BUILD ?= build/test

test: $(TEST_VENV)/.installed
	$(TEST_VENV)/bin/python -m pytest

# The slow tests `make test` leaves out (pytest's `slow` marker): the sdist
# and the wheel built and tried in fresh environments, the benchmarks' C++
# loops, the instruction counts under valgrind, a local Dask cluster.
test-slow: $(TEST_VENV)/.installed
	$(TEST_VENV)/bin/python -m pytest -m slow

$(TEST_VENV)/.installed: $(BUILD_INPUTS)
	$(call install_into,$(TEST_VENV),$(TEST_BUILD),test,test)

# `make test` once for every CPython from 3.10 up found on this machine.
test-all:
	bash scripts/test-all.sh

# The suite against a build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the run. The interpreter is not
# instrumented, so the sanitizer runtime is preloaded into it, together with
# the C++ runtime (the runtime must find it at start-up to intercept throws,
# and a C interpreter would load it only with the module). Leak detection
# is off: CPython deliberately leaves objects alive at exit, and a leak
# report cannot tell those from ours (every stack passes through libpython).
# Leaks of our own are caught by the reference and memory checks in the suite.
# Oversized requests must fail the way the plain allocator fails (NULL, hence
# MemoryError), not abort the run.
SANITIZE_VENV ?= .venv-sanitize
sanitize:
	rm -rf $(SANITIZE_VENV)
	$(PYTHON) -m venv $(SANITIZE_VENV)
	VORDA_SANITIZE=ON $(SANITIZE_VENV)/bin/python -m pip install $(PIP_FLAGS) --no-cache-dir ".[test]"
	LD_PRELOAD="$$($${CXX:-g++} -print-file-name=libasan.so):$$($${CXX:-g++} -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(SANITIZE_VENV)/bin/python -m pytest -p no:cacheprovider

# Renders the demo piece into out/demo.wav and out/demo.png. DEMO_ARGS passes
# options on, e.g. DEMO_ARGS="--seconds 16 --seed 3".
DEMO_VENV ?= .venv-demo
DEMO_BUILD ?= build/demo

demo: $(DEMO_VENV)/.installed
	$(DEMO_VENV)/bin/python examples/demo.py $(DEMO_ARGS)

$(DEMO_VENV)/.installed: $(BUILD_INPUTS)
	$(call install_into,$(DEMO_VENV),$(DEMO_BUILD),demo,demo)

# The site, from the installed modules, into docs/_build/html, warnings as
# errors; the gallery runs every example anew. docs-test then loads every
# page in headless Chromium (Debian's chromium and chromium-driver) and
# saves screenshots in docs/_build/screenshots.
DOCS_VENV ?= .venv-docs
DOCS_BUILD ?= build/docs
.PHONY: docs docs-test

docs: $(DOCS_VENV)/.installed
	rm -rf docs/_build/html docs/gallery docs/_generated docs/_gallery_static
	$(DOCS_VENV)/bin/python -m sphinx -W --keep-going -q -b html docs docs/_build/html
	@echo "docs: the site is in docs/_build/html (open index.html)"

docs-test: docs
	$(DOCS_VENV)/bin/python -m pytest -p no:cacheprovider -m slow tests/test_site.py

$(DOCS_VENV)/.installed: $(BUILD_INPUTS)
	$(call install_into,$(DOCS_VENV),$(DOCS_BUILD),docs,docs)

# Plays the demo's strings and reverb live (examples/live.py) through the
# default device: a JACK server if one answers, else PortAudio's (ALSA, and
# PulseAudio or PipeWire through it). LIVE_ARGS passes options, e.g.
# LIVE_ARGS="--seconds 30 --bounce out/live.wav" or LIVE_ARGS="--backend alsa".
# It shares make demo's environment.
live: $(DEMO_VENV)/.installed
	$(DEMO_VENV)/bin/python examples/live.py $(LIVE_ARGS)

# Per-call cost of every callable against the interpreter's own cheapest
# calls and against plain Python, then the block calls against a plain C++
# loop, the per-sample loop and scipy, then patches against the same
# networks in plain C++, Numba and Python, then larger networks against
# Numba and plain C++ and every block call as a one-operation patch, timed
# side by side (bench/README.md), then what moving state costs (snapshots, a
# process pool), and last live streams on a JACK server's dummy backend (the
# callback's time, the most string voices, a reverb dying into subnormals).
# The demo extra brings what the demo patch needs, scipy and tqdm for the
# progress bar; Numba is installed where it installs (the patch benches
# leave its side out otherwise); blocks.py, patches.py and versus.py compile
# their C++ loops with $(CXX). BENCH_ARGS passes options to bench.py, e.g.
# BENCH_ARGS="--quick --json out/bench.json", BLOCKS_ARGS to blocks.py,
# PATCHES_ARGS to patches.py, VERSUS_ARGS to versus.py, ONE_OP_ARGS to
# one_operation.py, STATE_ARGS to state.py, STREAM_ARGS to stream.py;
# --quick reaches all seven. VORDA_ISA=baseline in the environment runs them
# all on the baseline kernels.
BLOCKS_ARGS ?= $(filter --quick,$(BENCH_ARGS))
PATCHES_ARGS ?= $(filter --quick,$(BENCH_ARGS))
VERSUS_ARGS ?= $(filter --quick,$(BENCH_ARGS))
ONE_OP_ARGS ?= $(filter --quick,$(BENCH_ARGS))
STATE_ARGS ?= $(filter --quick,$(BENCH_ARGS))
STREAM_ARGS ?= $(filter --quick,$(BENCH_ARGS))
bench:
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) ".[demo]"
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) numba || echo "bench: numba did not install here; patches.py and versus.py run without it"
	$(VENV)/bin/python bench/bench.py $(BENCH_ARGS)
	CXX="$(CXX)" $(VENV)/bin/python bench/blocks.py $(BLOCKS_ARGS)
	CXX="$(CXX)" $(VENV)/bin/python bench/patches.py $(PATCHES_ARGS)
	CXX="$(CXX)" $(VENV)/bin/python bench/versus.py $(VERSUS_ARGS)
	$(VENV)/bin/python bench/one_operation.py $(ONE_OP_ARGS)
	$(VENV)/bin/python bench/state.py $(STATE_ARGS)
	$(VENV)/bin/python bench/stream.py $(STREAM_ARGS)

# The same calls counted in instructions under callgrind: slower, but the
# counts do not depend on what else the machine is doing.
.PHONY: bench-instr
bench-instr:
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) ".[demo]"
	$(VENV)/bin/python bench/bench.py --instr $(BENCH_ARGS)

# The sdist, and from it a wheel for $(PYTHON) (dist) or for every CPython
# from 3.10 up found here (wheels), as test-all finds them: each wheel is
# repaired to its manylinux tag by auditwheel, checked by twine, installed
# from the wheel alone into a fresh environment of its interpreter and tried
# there (scripts/wheels.sh, scripts/try_wheel.py). The tools get an
# environment of their own.
DIST_VENV ?= .venv-dist
DIST_ARGS = --outdir dist --tools-venv $(DIST_VENV) --tools-python "$(PYTHON)"
dist:
	rm -rf dist $(DIST_VENV)
	bash scripts/wheels.sh $(DIST_ARGS) "$(PYTHON)"

wheels:
	rm -rf dist $(DIST_VENV)
	bash scripts/wheels.sh $(DIST_ARGS)

clean:
	rm -rf build dist .venv* out .pytest_cache .hypothesis
