PYTHON ?= python3
VENV   ?= .venv
VPY    := $(VENV)/bin/python
PIP    := $(VPY) -m pip

.PHONY: venv install test clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" cmake ninja

venv: $(VPY)

# No build isolation: the persistent build tree under build/ then rebuilds incrementally.
install: $(VPY)
	$(PIP) install -q --no-build-isolation ".[test]"

test: install
	$(VPY) -m pytest -q

clean:
	rm -rf build $(VENV)

.PHONY: demo typecheck

# Simulator on a free loopback port, then the examples against it.
demo: install
	PY=$(VPY) bash scripts/demo.sh

# The stubs are installed with the module (a stub-only package), so stubtest
# compares them with the built module and mypy checks the examples against them.
typecheck: install
	$(VPY) -m mypy.stubtest cnc_api_client_core
	$(VPY) -m mypy --strict examples
	$(VPY) -m mypy --strict python/cnc_api_simulator

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
		$(ASAN_PY) -m pytest -q -p no:cacheprovider; status=$$?; \
	if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then cat $(ASAN_LOGS)/*; echo "sanitizer reports in $(ASAN_LOGS)"; exit 1; fi; \
	exit $$status

# Leak soak: 200,000 calls against the replay server; fails when memory grows
# or reference counts drift.
soak: install
	$(VPY) bench/soak.py

.PHONY: bench
# Module against the per-byte baseline and the raw floor, side by side.
bench: install
	$(VPY) bench/run.py

.PHONY: bench-sim
# The simulator under a 1,000,000-line program: reply times of a scripting client and
# a poller, analysis time, peak memory, and the interpreter's parse rate.
bench-sim: install
	$(VPY) bench/sim_bench.py
