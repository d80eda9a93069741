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
