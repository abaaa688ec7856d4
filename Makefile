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

.PHONY: all venv install demo test bench bench-venv clean fuzz leakcheck sanitize

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

install: venv
	$(PIP) install --quiet --no-build-isolation --no-deps -C build-dir='$(BUILD_DIR)' \
		$(WERROR_OPTIONS) $(BUILD_OPTIONS) .

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -P -m pytest -q tests

$(BENCH_VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PIP) install --quiet --upgrade pip
	$(BENCH_PY) $(REQUIREMENTS) bench | xargs -d '\n' $(BENCH_PIP) install --quiet
	touch $@

bench-venv: $(BENCH_VENV)/.deps

bench: bench-venv
	$(BENCH_PIP) install --quiet --no-build-isolation --no-deps -C build-dir=build/bench \
		$(WERROR_OPTIONS) .
	$(BENCH_PY) bench/run.py

# The long property-based run over hostile notebooks; prints how many
# examples each property ran.
fuzz: install
	HYPOTHESIS_PROFILE=fuzz $(PY) -P -m pytest -q tests/robustness -k fuzz \
		--hypothesis-show-statistics -p no:cacheprovider

# Every public function and record 100,000 times in a loop (calls that start
# git 2,000 times): resident memory and reference counts must stay put.
leakcheck: install
	ZUV_LEAK_N=100000 ZUV_LEAK_FILE_N=100000 ZUV_LEAK_GIT_N=2000 \
		$(PY) -P -m pytest -q -s tests/robustness/test_leaks.py -p no:cacheprovider

# The whole test suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and build directory of their own.
# Every allocation goes through malloc so the sanitizer sees Python objects
# too; leak detection is off because the interpreter keeps memory at exit.
ASAN_VENV ?= .venv-asan
ASAN_BUILD_DIR ?= build/asan
sanitize:
	$(MAKE) install VENV=$(ASAN_VENV) BUILD_DIR=$(ASAN_BUILD_DIR) \
		BUILD_OPTIONS="-C cmake.define.ZUV_SANITIZE=ON -C cmake.build-type=RelWithDebInfo"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
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
	rm -rf build $(VENV) $(BENCH_VENV) $(ASAN_VENV) .pytest_cache .hypothesis
