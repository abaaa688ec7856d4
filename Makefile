# The two commands the README promises: `make demo` and `make test`.
PYTHON ?= python3.11
VENV ?= .venv
BUILD_DIR ?= build/{wheel_tag}
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

# Benchmark-only environment, apart from the product's runtime dependencies:
# nbdime (the peer merge driver) and matplotlib (the scaling plot) live here.
BENCH_VENV ?= .venv-bench
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PIP := $(BENCH_PY) -m pip

.PHONY: all venv install demo test bench bench-venv clean

all: install

$(VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.10" "GitPython>=3.1" "jsondiff>=2,<3" \
		"pytest>=7" "hypothesis>=6" "nbformat>=5" "mypy>=1.8"
	touch $@

venv: $(VENV)/.deps

install: venv
	$(PIP) install --quiet --no-build-isolation --no-deps -C build-dir='$(BUILD_DIR)' .

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -P -m pytest -q tests

$(BENCH_VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PIP) install --quiet --upgrade pip
	$(BENCH_PIP) install --quiet "scikit-build-core>=0.10" "GitPython>=3.1" "jsondiff>=2,<3" \
		"nbformat>=5" nbdime matplotlib
	touch $@

bench-venv: $(BENCH_VENV)/.deps

bench: bench-venv
	$(BENCH_PIP) install --quiet --no-build-isolation --no-deps -C build-dir=build/bench .
	$(BENCH_PY) bench/run.py

clean:
	rm -rf build $(VENV) $(BENCH_VENV) .pytest_cache .hypothesis
