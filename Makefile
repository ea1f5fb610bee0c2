# make run   - set up .venv, build and install the package, run the module's report
# make test  - the same, plus the test dependencies, then the whole test suite

# The machine's Python 3.13: python3.13 on PATH, else pyenv's versions/3.13*.
PYTHON313 ?= $(shell for p in python3.13 $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV); do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/varnok/*.py src/varnok/*.pyi src/varnok/py.typed csrc/*.cpp csrc/*.hpp csrc/*.c)
BUILD_DEPS := scikit-build-core>=0.11 cmake>=3.19 ninja
# The Makefile's own builds keep CMake's folder here, so that rebuilds are
# incremental; a plain `pip install .` builds in a temporary folder instead.
BUILD_DIR := build/{wheel_tag}

.PHONY: run test test-versions install bench sanitize wheel lint mutants clean

run: $(VENV)/.installed
	$(VENV)/bin/ostrel

test: $(VENV)/.installed $(VENV)/.test-deps
	$(PY) -m pytest
	cd tests && ../$(PY) -m mypy.stubtest varnok.ostrel

install: $(VENV)/.installed

# The suite on Debian sid's python3.13 and python3.14 too, in a debootstrap
# chroot (as root; see .ci/versions).
test-versions:
	.ci/versions

# Native module against the same logic in plain Python; see CONTRIBUTING.md.
bench: $(VENV)/.installed
	$(PY) bench/run.py

# The whole suite against a build with AddressSanitizer and UBSan; any report fails it.
SAN_VENV := .venv-sanitize
SAN_FLAGS := -fsanitize=address,undefined;-fno-omit-frame-pointer;-fno-sanitize-recover=all
sanitize: $(PY)
	test -x $(SAN_VENV)/bin/python || $(PYTHON313) -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install -q --upgrade pip $(foreach d,$(BUILD_DEPS),'$(d)')
	$(SAN_VENV)/bin/python -m pip install -q --group test
	$(SAN_VENV)/bin/python -m pip install -q --no-build-isolation -C build-dir=build/sanitize \
		-C cmake.build-type=RelWithDebInfo -C 'cmake.define.OSTREL_EXTRA_FLAGS=$(SAN_FLAGS)' .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so)" PYTHONMALLOC=malloc OSTREL_SANITIZED=1 \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(SAN_VENV)/bin/python -m pytest -p no:cacheprovider

# A random sample of machine-made faults of csrc/, each run against the suite, and
# how many it catches (MUTANTS=n, SEED=n; not part of test or CI; see CONTRIBUTING.md).
mutants: $(PY)
	$(PY) .ci/mutants.py

# A manylinux wheel in dist/, checked for its contents.
wheel: $(PY)
	$(PY) -m pip install -q --group wheel
	rm -rf build/wheelhouse dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) -w build/wheelhouse .
	$(PY) -m auditwheel show build/wheelhouse/*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair -w dist build/wheelhouse/*.whl
	$(PY) .ci/check_wheel.py dist/*.whl

lint: $(PY)
	$(PY) -m pip install -q --group lint
	$(VENV)/bin/cmake -S . -B build/lint -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DOSTREL_HAS_CLEAR_STRATEGY=OFF -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null  # a GCC flag clang cannot read
	$(VENV)/bin/clang-format --dry-run -Werror csrc/*.cpp csrc/*.hpp
	$(VENV)/bin/clang-tidy -p build/lint --quiet --warnings-as-errors='*' csrc/*.cpp
	$(VENV)/bin/ruff check src tests bench .ci
	$(VENV)/bin/ruff format --check src tests bench .ci

$(PY):
	@test -n "$(PYTHON313)" || { echo "No Python 3.13 found: install python3.13 (with its venv and dev packages) or a pyenv 3.13" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip $(foreach d,$(BUILD_DEPS),'$(d)')

$(VENV)/.installed: $(PY) pyproject.toml CMakeLists.txt $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -C build-dir=$(BUILD_DIR) .
	@touch $@

$(VENV)/.test-deps: $(PY) pyproject.toml
	$(PY) -m pip install -q --group test
	@touch $@

# --one-file-system: never into what a killed .ci/versions left mounted.
clean:
	rm -rf --one-file-system $(VENV) $(SAN_VENV) build dist
