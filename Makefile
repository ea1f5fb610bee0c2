# make run   - set up .venv, build and install the package, run the module's report
# make test  - the same, plus the test dependencies, then the whole test suite

# The machine's Python 3.13: python3.13 on PATH, else pyenv's versions/3.13*.
PYTHON313 ?= $(shell for p in python3.13 $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV); do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/varnok/*.py src/varnok/*.pyi src/varnok/py.typed src/varnok/ostrel/*.cpp src/varnok/ostrel/*.hpp)
BUILD_DEPS := scikit-build-core>=0.10

.PHONY: run test install clean

run: $(VENV)/.installed
	$(VENV)/bin/ostrel

test: $(VENV)/.installed $(VENV)/.test-deps
	$(PY) -m pytest
	cd tests && ../$(PY) -m mypy.stubtest varnok.ostrel

install: $(VENV)/.installed

$(PY):
	@test -n "$(PYTHON313)" || { echo "No Python 3.13 found: install python3.13 (with its venv and dev packages) or a pyenv 3.13" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip '$(BUILD_DEPS)'

$(VENV)/.installed: $(PY) pyproject.toml CMakeLists.txt $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation .
	@touch $@

$(VENV)/.test-deps: $(PY) pyproject.toml
	$(PY) -m pip install -q --group test
	@touch $@

clean:
	rm -rf $(VENV) build dist
