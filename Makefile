# Every target builds into a virtual environment and a build tree of its own.
# The build tree belongs to make: a plain `pip install .` builds in a temporary
# tree and leaves this one alone, so the next `make install` stays incremental.
SHELL       := /bin/bash
.SHELLFLAGS := -o pipefail -c

# The interpreters come from pyenv where it is there; PY311..PY313 may point elsewhere.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PY311 ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.11.*/bin/python)))
PY312 ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python)))
PY313 ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.13.*/bin/python)))

PYTHON    ?= $(or $(PY311),python3)
PYVER     := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV      ?= .venv
BUILD_DIR ?= build/py$(PYVER)
VPY       := $(VENV)/bin/python
PIP       := $(VPY) -m pip
# Extras installed with the module: the main venv carries the docs, lint and
# distribution tools too; the venvs of the other interpreters only the test ones.
EXTRAS    ?= dev

# Most tests wait on real time-outs rather than on the CPU, so the suite runs on
# more workers than the machine has cores; idle workers take over the queues of
# busy ones (worksteal), as test durations range from milliseconds to seconds.
TEST_WORKERS ?= 8
PYTEST_ARGS  ?=
# Pytest keeps its rewritten test modules when bytecode may be written; without
# that every worker rewrites them all again.
PYTEST := env -u PYTHONDONTWRITEBYTECODE $(VPY) -m pytest -q -p no:cacheprovider

.PHONY: venv install test clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" cmake ninja

venv: $(VPY)

# No build isolation: the persistent build tree then rebuilds incrementally.
# -v and build.verbose show CMake's and ninja's progress instead of a silent wait.
# The packages are installed, not linked, so any change under src or python
# (a file added, changed or removed) installs again; with none, the stamp spares
# every target the seconds pip takes.
INSTALLED := $(VENV)/.installed-$(EXTRAS)
SOURCES   := $(shell find src python ! -path '*/__pycache__*') CMakeLists.txt pyproject.toml README.md

install: $(INSTALLED)

$(INSTALLED): $(VPY) $(SOURCES)
	$(PIP) install -v --no-build-isolation -C build-dir=$(BUILD_DIR) -C build.verbose=true ".[$(EXTRAS)]" \
		| grep -v -e '^Requirement already satisfied' -e '^  Link requires a different Python'
	touch $@

test: install
	$(PYTEST) -n $(TEST_WORKERS) --dist worksteal $(PYTEST_ARGS)

# The property tests alone, at the depth CI digs to (tests/conftest.py: the "ci"
# profile); `make test` runs a quicker share of their examples.
.PHONY: test-deep
test-deep: install
	HYPOTHESIS_PROFILE=ci $(PYTEST) -n 2 -m hypothesis $(PYTEST_ARGS)

clean:
	rm -rf build dist $(VENV) .venv-3.* .venv-asan

# ---------------------------------------------------------------- interpreters
# The suite on each supported CPython, each in a venv and build tree of its own.

.PHONY: test-3.11 test-3.12 test-3.13 test-all

test-3.11 test-3.12 test-3.13: test-%:
	@py="$(PY$(subst .,,$*))"; test -n "$$py" || { echo "no CPython $* under $(PYENV_ROOT)/versions"; exit 1; }; \
	$(MAKE) --no-print-directory test PYTHON="$$py" VENV=.venv-$* EXTRAS=test

test-all: test test-3.12 test-3.13

.PHONY: demo typecheck

# Simulator on a free loopback port, then the examples against it.
demo: install
	PY=$(VPY) bash scripts/demo.sh

# The stubs are installed with the module (a stub-only package), so stubtest
# compares them with the built module and mypy checks the examples against them.
typecheck: install
	$(VPY) -m mypy.stubtest cnc_api_client_core
	$(VPY) -m mypy --strict examples
	$(VPY) -m mypy --strict -p cnc_api_tools
	$(VPY) -m mypy --strict python/cnc_api_simulator

# ---------------------------------------------------------------- lint
# ruff on all Python; the C++ checks join in wherever a lint-cpp target exists.
.PHONY: lint lint-py

lint: lint-py
	@if $(MAKE) -n lint-cpp >/dev/null 2>&1; then $(MAKE) --no-print-directory lint-cpp; fi

lint-py: install
	$(VPY) -m ruff check .
	$(VPY) -m ruff format --check .

# ---------------------------------------------------------------- docs
# The site is built from docs/ and the type stubs (the API reference); warnings
# fail the build. The code examples of the docs and the README run against the
# simulator as part of the suite, and here once more on their own.
SITE_DIR ?= build/site

.PHONY: docs docs-serve

docs: install
	NO_MKDOCS_2_WARNING=1 $(VPY) -m mkdocs build --strict --site-dir $(SITE_DIR)
	$(VPY) scripts/check_site.py $(SITE_DIR)
	$(PYTEST) tests/test_docs_examples.py tests/test_stubs_docs.py

docs-serve: install
	NO_MKDOCS_2_WARNING=1 $(VPY) -m mkdocs serve --dev-addr 127.0.0.1:8008

# ---------------------------------------------------------------- distribution
# An sdist, and from it one wheel per supported interpreter. The wheels are built
# with zig's C++ compiler (the ziglang package of the dist extra) against the
# symbol versions of glibc $(WHEEL_GLIBC) with libc++ linked in, so they install
# on the older Linux still in service in factories; auditwheel then tags them for
# that glibc and fails if the extension needs anything newer. twine checks all.
# test-wheel runs the suite against each wheel in a fresh venv of its interpreter
# with no compiler on PATH; test-sdist builds and imports from the unpacked sdist
# alone (with the system's compiler, as a user building from source does).
DIST_DIR      ?= dist
WHEEL_GLIBC   ?= 2.28
WHEEL_PLAT    := manylinux_$(subst .,_,$(WHEEL_GLIBC))_$(shell uname -m)
WHEEL_PYTHONS ?= $(strip $(PY311) $(PY312) $(PY313))
WHEEL_VENVS   ?= build/wheel-venv
SDIST_CHECK   ?= build/sdist-check

.PHONY: dist test-wheel test-sdist

dist: install
	rm -rf $(DIST_DIR) && mkdir -p $(DIST_DIR)/raw
	$(VPY) -m build --sdist --outdir $(DIST_DIR) .
	@test -n "$(WHEEL_PYTHONS)" || { echo "no CPython 3.11 to 3.13 under $(PYENV_ROOT)/versions"; exit 1; }
	for py in $(WHEEL_PYTHONS); do \
		ZIG_PYTHON=$(CURDIR)/$(VPY) ZIG_GLIBC=$(WHEEL_GLIBC) $$py -m pip wheel --no-deps -q -w $(DIST_DIR)/raw \
			-C cmake.define.CMAKE_CXX_COMPILER=$(CURDIR)/scripts/zig-c++ $(DIST_DIR)/*.tar.gz || exit 1; \
	done
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VPY) -m auditwheel repair --plat $(WHEEL_PLAT) \
		--wheel-dir $(DIST_DIR) $(DIST_DIR)/raw/*.whl
	rm -rf $(DIST_DIR)/raw
	for whl in $(DIST_DIR)/*.whl; do $(VPY) -m auditwheel show $$whl | tr '\n' ' ' | grep -q '$(WHEEL_PLAT)\|consistent' \
		|| { echo "$$whl: not $(WHEEL_PLAT)"; exit 1; }; done
	$(VPY) -m twine check --strict $(DIST_DIR)/*
	ls -l $(DIST_DIR)

# The wheel of each interpreter in a fresh venv of that interpreter.
test-wheel:
	@test -n "$(WHEEL_PYTHONS)" || { echo "no CPython 3.11 to 3.13 under $(PYENV_ROOT)/versions"; exit 1; }
	@for py in $(WHEEL_PYTHONS); do \
		tag=$$($$py -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
		whl=$$(ls $(DIST_DIR)/*-$$tag-$$tag-*$(WHEEL_PLAT)*.whl 2>/dev/null); \
		test -n "$$whl" || { echo "no $$tag wheel for $(WHEEL_PLAT) in $(DIST_DIR): run make dist"; exit 1; }; \
		echo "== $$whl"; \
		$(MAKE) --no-print-directory test-one-wheel PY="$$py" WHEEL="$$whl" WHEEL_VENV=$(WHEEL_VENVS)-$$tag || exit 1; \
	done

.PHONY: test-one-wheel
test-one-wheel:
	rm -rf $(WHEEL_VENV)
	$(PY) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -q "$(WHEEL)[test]"
	env -u CC -u CXX PATH=$(CURDIR)/$(WHEEL_VENV)/bin $(WHEEL_VENV)/bin/python -c 'import shutil, sys; \
		found = [c for c in ("cc", "c++", "gcc", "g++", "clang", "clang++", "cmake") if shutil.which(c)]; \
		sys.exit(f"build tools on PATH: {found}" if found else 0)'
	env -u CC -u CXX -u PYTHONDONTWRITEBYTECODE PATH=$(CURDIR)/$(WHEEL_VENV)/bin \
		$(WHEEL_VENV)/bin/python -m pytest -q -p no:cacheprovider -n $(TEST_WORKERS) --dist worksteal $(PYTEST_ARGS)

test-sdist:
	@ls $(DIST_DIR)/*.tar.gz >/dev/null 2>&1 || { echo "no sdist in $(DIST_DIR): run make dist"; exit 1; }
	rm -rf $(SDIST_CHECK) && mkdir -p $(SDIST_CHECK)
	tar -xzf $(DIST_DIR)/*.tar.gz -C $(SDIST_CHECK)
	$(PYTHON) -m venv $(SDIST_CHECK)/venv
	$(SDIST_CHECK)/venv/bin/python -m pip install -v -C build.verbose=true $(SDIST_CHECK)/cnc_api_client_core-*/
	cd $(SDIST_CHECK) && venv/bin/python $(CURDIR)/scripts/smoke.py

# ---------------------------------------------------------------- sanitizers
# Sanitizer build: AddressSanitizer, UndefinedBehaviorSanitizer and libstdc++
# assertions, in a venv and build tree of its own (the normal build is left
# alone). The interpreter is not instrumented, so the sanitizer runtimes are
# preloaded into it. PYTHONMALLOC=malloc routes every Python object through
# malloc, where ASan sees use after free and overflows and LeakSanitizer can
# scan it. Reports go to files, so one from any child process fails the run too.
ASAN_VENV  ?= .venv-asan
ASAN_PY    := $(ASAN_VENV)/bin/python
ASAN_BUILD ?= build/asan
ASAN_LOGS  := $(ASAN_BUILD)/reports
ASAN_LIBS   = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
# Serial: instrumented code runs a few times slower, and on two cores parallel
# workers push the tests that time a server's bytes past their margins.
ASAN_WORKERS ?= 0

.PHONY: test-asan soak

$(ASAN_PY):
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja

test-asan: $(ASAN_PY)
	$(ASAN_PY) -m pip install -q --no-build-isolation -C cmake.define.CNC_SANITIZE=ON \
		-C build-dir=$(ASAN_BUILD) -C cmake.build-type=RelWithDebInfo -C install.strip=false ".[test]"
	@for lib in $(ASAN_LIBS); do test -f "$$lib" || { echo "sanitizer runtime $$lib not found"; exit 1; }; done
	rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	LD_PRELOAD="$(ASAN_LIBS)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:log_path=$(CURDIR)/$(ASAN_LOGS)/asan \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_LOGS)/ubsan \
		$(ASAN_PY) -m pytest -q -p no:cacheprovider -n $(ASAN_WORKERS); status=$$?; \
	if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then cat $(ASAN_LOGS)/*; echo "sanitizer reports in $(ASAN_LOGS)"; exit 1; fi; \
	exit $$status

# Leak soak: 200,000 calls against the replay server; fails when memory grows
# or reference counts drift.
soak: install
	$(VPY) bench/soak.py

.PHONY: browser dashboard-screenshots
# Headless Chromium and chromedriver (Debian packages) for the dashboard's browser tests.
browser:
	bash scripts/install-browser.sh

# The README's dashboard pictures, taken by the browser test of a running program.
dashboard-screenshots: install
	CNC_DASHBOARD_SCREENSHOTS=docs/images $(VPY) -m pytest -q -p no:cacheprovider \
		tests/test_dashboard_browser.py -k follow_a_running_program

.PHONY: bench bench-exporter
# Module against the per-byte baseline and the raw floor, side by side; then the exporter.
bench: install
	$(VPY) bench/run.py
	$(MAKE) bench-exporter

# 256 machines (native replay servers, 64 per process) polled at 10 Hz by one exporter process.
bench-exporter: install
	$(VPY) bench/exporter.py

.PHONY: bench-bridges
# 1,000 machines at 1 Hz through the MQTT bridge into a Mosquitto broker: one process, then two shards;
# then 256 machines at 1 Hz through the OPC UA server to one subscribing client.
bench-bridges: install
	$(VPY) bench/bridges.py
	$(VPY) bench/opcua_bench.py

.PHONY: lint-cpp cpp-lint-tools
CPP_SOURCES = $(shell find src bench/replay_server -name '*.cpp' -o -name '*.hpp' | sort)
TIDY_SOURCES = $(filter src/%.cpp,$(CPP_SOURCES))

# Debian's clang-format and clang-tidy, installed when missing (CI runs as root).
cpp-lint-tools:
	@command -v clang-format >/dev/null && command -v clang-tidy >/dev/null || \
		{ apt-get update -qq && apt-get install -y -qq clang-format clang-tidy >/dev/null; }

# C++ style and checks: clang-format (.clang-format) on every C++ source,
# clang-tidy (.clang-tidy) on src/ with the compile commands that CMake
# exports into the build tree of `make install`.
lint-cpp: install cpp-lint-tools
	clang-format --dry-run -Werror $(CPP_SOURCES)
	clang-tidy --quiet -p $(BUILD_DIR) $(TIDY_SOURCES)

.PHONY: bench-sim
# The simulator under a 1,000,000-line program: reply times of a scripting client and
# a poller, analysis time, peak memory, and the interpreter's parse rate.
bench-sim: install
	$(VPY) bench/sim_bench.py

.PHONY: bench-sim-fleet
# 256 simulated machines in one process, 8 of them running programs, each polled at 10 Hz.
bench-sim-fleet: install
	$(VPY) bench/sim_fleet.py
