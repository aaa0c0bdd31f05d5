# Front door for development. setup.py describes the two extension modules;
# this file finds the interpreter, puts the modules in build/ (Python 2.7) or
# build-3.X/ (Python 3.X) and runs things.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
export PYENV_ROOT
PYTHON ?= $(PYENV_ROOT)/versions/2.7.18/bin/python2.7
# X.Y of $(PYTHON); empty when it cannot be run (check-python says so).
PYTHON_VERSION := $(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
CXX ?= g++
# Where the modules and test binaries go; a separate BUILD lets several
# builds (e.g. a sanitizer build, one per interpreter) live side by side.
# Sub-makes for another interpreter must be given BUILD too: it is exported.
BUILD ?= $(if $(filter-out 2.7,$(PYTHON_VERSION)),build-$(PYTHON_VERSION),build)
export BUILD
# `make test` and `make tour` take the default 2.7 and this Python 3 too; an
# interpreter named with PYTHON=... is taken alone.
ifeq ($(origin PYTHON),file)
ALSO_PYTHON ?= 3.11
endif
# pyenv's newest X.Y.* interpreter for X.Y, or nothing.
pyenv_python = $(lastword $(shell ls -d $(PYENV_ROOT)/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V))

CODEC_SOURCES := $(wildcard ondrel/codecs/*.cpp ondrel/workers/*.cpp)
CODEC_HEADERS := $(wildcard ondrel/codecs/*.h ondrel/workers/*.h)
CPP_TEST_SOURCES := $(wildcard tests/cpp/*.cpp)
CODEC_LIBS := -lz -ldeflate -lbz2 -llzma -llzo2

.PHONY: all build deps tour test test-pythons cpptests clean check-python bench bench-deps fuzz-build fuzz-smoke \
	fuzz-long asan-build asan-test valgrind-test refleak-test thread-test bigfile-test coverage docs \
	stubs-check peer-posixpath

all: build

check-python:
	@command -v "$(PYTHON)" >/dev/null || { echo "error: no Python interpreter at $(PYTHON); install it \
	(pyenv install 2.7.18) or run make PYTHON=/path/to/python2.7 or PYTHON=/path/to/python3.X" >&2; exit 1; }
	@case "$(PYTHON_VERSION)" in 2.7|3.[89]|3.[1-9][0-9]) ;; *) echo "error: $(PYTHON) is Python \
	$(or $(PYTHON_VERSION),that does not run); dorvane builds for 2.7 and 3.8 or later" >&2; exit 1;; esac

# setup.py also copies the type stubs (stubs/) beside the modules. An
# interpreter without setuptools borrows Debian's (scripts/with-setuptools).
SETUP_PY = sh scripts/with-setuptools "$(PYTHON)" setup.py
build: check-python
	@$(SETUP_PY) -q build_ext --build-lib $(BUILD) --build-temp $(BUILD)/obj

deps:
	sh scripts/install-deps

# docs/reference.md from the function table, the body files and the
# modules' docstrings; `make test` fails while the committed file differs.
# The reference is 2.7's (3.x's docstrings name its own types), so write it
# with the default PYTHON; the stubs (stubs/) come out the same from any.
docs: build
	PYTHONPATH=$(BUILD) "$(PYTHON)" docs/generate.py

tour: build
	PYTHONPATH=$(BUILD) "$(PYTHON)" examples/tour.py
ifdef ALSO_PYTHON
	@test -n "$(call pyenv_python,$(ALSO_PYTHON))" || { echo "error: no Python $(ALSO_PYTHON) under \
	$(PYENV_ROOT)/versions (pyenv install $(ALSO_PYTHON)), so the tour ran on $(PYTHON_VERSION) only" >&2; exit 1; }
	@echo; echo "The same tour on Python $(ALSO_PYTHON):"
	@$(MAKE) --no-print-directory tour PYTHON=$(call pyenv_python,$(ALSO_PYTHON)) BUILD=build-$(ALSO_PYTHON)
endif

$(BUILD)/cpptests: $(CODEC_SOURCES) $(CPP_TEST_SOURCES) $(CODEC_HEADERS) $(wildcard tests/cpp/*.h)
	@mkdir -p $(BUILD)
	$(CXX) -std=c++17 -O2 -g -Wall -I. $(CPPTEST_FLAGS) -o $@ $(CPP_TEST_SOURCES) $(CODEC_SOURCES) \
		-lgtest -lgtest_main -pthread $(CODEC_LIBS)

cpptests: $(BUILD)/cpptests

# Everything in $(BUILD) with $(PYTHON), then the Python suites on
# $(ALSO_PYTHON) in its own build directory, the stub check and the
# posixpath peer check; closes with one line over all of them.
test: build cpptests
	"$(PYTHON)" scripts/pythons.py test "$(PYTHON)" $(ALSO_PYTHON)

# The Python suites on 2.7 and on every pyenv interpreter from 3.8 on, each
# built into its own directory; one closing line over all of them.
test-pythons:
	"$(PYTHON)" scripts/pythons.py all

# The checks that need one particular Python 3: pyenv's 3.11, built into its
# own directory (Debian's mypy runs on its python3, 3.11, which loads that build).
CHECK_VERSION ?= 3.11
CHECK_PYTHON = $(call pyenv_python,$(CHECK_VERSION))
CHECK_BUILD := build-$(CHECK_VERSION)
.PHONY: check-build
check-build:
	@test -n "$(CHECK_PYTHON)" || { echo "error: no Python $(CHECK_VERSION) under $(PYENV_ROOT)/versions \
	(pyenv install $(CHECK_VERSION)); it is needed for this check" >&2; exit 1; }
	@$(MAKE) --no-print-directory build PYTHON=$(CHECK_PYTHON) BUILD=$(CHECK_BUILD)

# The stubs must be what docs/generate.py makes from the function table now,
# must match the modules as built (mypy's stubtest) and must type the example,
# which then runs and checks that the values have the types the stubs claim.
# Debian's mypy and the python3 it runs on.
MYPY_PYTHON ?= /usr/bin/python3
stubs-check: check-build
	@$(MYPY_PYTHON) -c "import mypy" 2>/dev/null || { echo "error: mypy not found (apt-get install mypy, or make deps)" >&2; exit 1; }
	PYTHONPATH=$(CHECK_BUILD) "$(CHECK_PYTHON)" docs/generate.py --check-stubs
	MYPYPATH=stubs PYTHONPATH=$(CHECK_BUILD) $(MYPY_PYTHON) -m mypy.stubtest --concise dorvane ondrel
	MYPYPATH=stubs $(MYPY_PYTHON) -m mypy --strict --no-error-summary examples/typed_use.py
	PYTHONPATH=$(CHECK_BUILD) "$(CHECK_PYTHON)" examples/typed_use.py

# CPython's own test_posixpath with dorvane's functions in posixpath's place;
# fails when a test outside the documented expected failures fails.
peer-posixpath: check-build
	PYTHONPATH=$(CHECK_BUILD):tests "$(CHECK_PYTHON)" tests/peer_posixpath.py

# magic's Windows branch under Wine; installs Wine (minutes), so not in `test`.
.PHONY: wine-check
wine-check: build
	PYTHON="$(PYTHON)" sh payloads/wine-check

# Rebuilds the Windows tool files from source into a scratch directory,
# requires the committed ones to come out byte for byte (the rebuild is
# repeatable), then builds the module, which embeds them. payloads/rebuild
# installs mingw-w64 and fetches Debian sources (minutes), so not in `test`.
.PHONY: payloads-check
payloads-check: check-python
	@out=$$(mktemp -d /tmp/dorvane-payloads-check.XXXXXX) && trap 'rm -rf "$$out"' EXIT && \
		OUT="$$out" sh payloads/rebuild && \
		for f in file.exe magic1.dll mime.dll regex2.dll zlib1.dll; do \
			cmp "$$out/$$f" payloads/$$f || { echo "payloads-check: $$f differs from its rebuild" >&2; exit 1; }; \
		done
	$(MAKE) --no-print-directory build

# libFuzzer targets (fuzz/): the codec sources are compiled once with
# coverage and sanitizers, then linked into each target. fuzz/run.py drives
# them; `make test` runs the smoke pass through tests/run.py.
FUZZ_CXX ?= clang++
FUZZ_DIR := $(BUILD)/fuzz
FUZZ_TARGETS := decode_gzip decode_bzip2 decode_lzop decode_xz decode_lzma base64 zlib roundtrip
FUZZ_FLAGS := -std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined \
	-fno-sanitize-recover=all -I.
FUZZ_OBJS := $(patsubst ondrel/%.cpp,$(FUZZ_DIR)/obj/%.o,$(CODEC_SOURCES))

$(FUZZ_DIR)/obj/%.o: ondrel/%.cpp $(CODEC_HEADERS)
	@mkdir -p $(dir $@)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -fsanitize=fuzzer-no-link -c $< -o $@

$(FUZZ_DIR)/decode_%: fuzz/decode.cpp fuzz/fuzz.h $(FUZZ_OBJS)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -fsanitize=fuzzer '-DFUZZ_CODEC="$*"' -o $@ $< $(FUZZ_OBJS) $(CODEC_LIBS) -pthread

$(FUZZ_DIR)/%: fuzz/%.cpp fuzz/fuzz.h $(FUZZ_OBJS)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -fsanitize=fuzzer -o $@ $< $(FUZZ_OBJS) $(CODEC_LIBS) -pthread

.SECONDARY: $(FUZZ_OBJS)

fuzz-build: $(addprefix $(FUZZ_DIR)/,$(FUZZ_TARGETS))

fuzz-smoke: check-python build
	PYTHONPATH=$(BUILD) "$(PYTHON)" fuzz/run.py smoke

# Each target for 10 million executions or 30 minutes, whichever comes first
# (FUZZ_RUNS, FUZZ_SECONDS), FUZZ_JOBS at a time, at the lowest priority.
fuzz-long: check-python build
	PYTHONPATH=$(BUILD) nice -n 19 "$(PYTHON)" fuzz/run.py long

# Both modules and the C++ tests built with ASan+UBSan by clang, and the
# whole suite run under them. The interpreter is not instrumented, so the
# ASan runtime is preloaded; its own leaks (interned objects, arenas) are
# not ours, hence detect_leaks=0 (the refleak tests watch our references;
# their memory half is off, as ASan's quarantine holds freed memory). The
# C++ tests use the same shared runtime: two ASan runtimes cannot coexist.
ASAN_BUILD ?= $(BUILD)-asan
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1
ASAN_RUNTIME = $(shell clang++ -print-file-name=libclang_rt.asan-x86_64.so)
ASAN_ENV = LD_PRELOAD=$(ASAN_RUNTIME) \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

asan-build: check-python
	CC=clang CXX=clang++ LDSHARED="clang++ -shared" CFLAGS="$(ASAN_FLAGS)" LDFLAGS="$(ASAN_FLAGS)" \
		$(SETUP_PY) -q build_ext --build-lib $(ASAN_BUILD) --build-temp $(ASAN_BUILD)/obj
	$(MAKE) --no-print-directory $(ASAN_BUILD)/cpptests BUILD=$(ASAN_BUILD) CXX=clang++ \
		CPPTEST_FLAGS="$(ASAN_FLAGS) -shared-libasan -Wl,-rpath,$(dir $(ASAN_RUNTIME))"

asan-test: asan-build
	$(ASAN_ENV) BUILD=$(ASAN_BUILD) FUZZ_SMOKE=0 REFLEAK_RSS=0 PYTHONPATH=$(ASAN_BUILD) "$(PYTHON)" tests/run.py

# The C++ tests and the Python suites nearest the C++ under valgrind memcheck.
# pymalloc's pools look like uninitialised reads to memcheck; 2.7 ignores the variable.
valgrind-test: build cpptests
	PYTHONMALLOC=malloc "$(PYTHON)" tests/run.py valgrind

# Line coverage of src/ and ondrel/ over the Python suites and the C++ tests
# (the fuzz targets are clang builds of their own and do not count here).
# Counters are atomic: worker threads share them, and plain ones came out
# negative, which gcovr refuses. Prints gcovr's summary; the figure to watch
# is its "lines" line.
COV_BUILD ?= $(BUILD)-cov
COV_FLAGS := --coverage -fprofile-update=atomic -O0 -g

coverage: check-python
	@command -v gcovr >/dev/null || { echo "error: gcovr not found (apt-get install gcovr)" >&2; exit 1; }
	rm -rf $(COV_BUILD) && mkdir -p $(COV_BUILD)
	CFLAGS="$(COV_FLAGS)" LDFLAGS="--coverage" $(SETUP_PY) -q build_ext --build-lib $(COV_BUILD) --build-temp $(COV_BUILD)/obj
	$(MAKE) --no-print-directory $(COV_BUILD)/cpptests BUILD=$(COV_BUILD) CPPTEST_FLAGS="$(COV_FLAGS)"
	-BUILD=$(COV_BUILD) FUZZ_SMOKE=0 PYTHONPATH=$(COV_BUILD) "$(PYTHON)" tests/run.py > $(COV_BUILD)/suite.log 2>&1
	@tail -1 $(COV_BUILD)/suite.log
	gcovr --root . --filter 'src/' --filter 'ondrel/' --exclude 'src/module/payloads_gen.cpp' \
		--object-directory $(COV_BUILD) $(COV_BUILD) --print-summary -o $(COV_BUILD)/coverage.txt

# Longer versions of suites that run briefly in `make test`: 100 000 calls
# per cheap function and path; eight threads for a minute.
refleak-test: build
	REFLEAK_SCALE=10 PYTHONPATH=$(BUILD):tests "$(PYTHON)" -m unittest test_load.Flat

thread-test: build
	THREAD_SECONDS=60 PYTHONPATH=$(BUILD):tests "$(PYTHON)" -m unittest test_load.Concurrent

# A 5 GiB file through every filter and the real tools (BIG_GIB, BIG_FILTERS,
# BIG_DIR); needs ~15 GiB of disk and ~10 GiB of memory, so not in `make test`.
bigfile-test: build
	PYTHONPATH=$(BUILD) "$(PYTHON)" scripts/bigfile-test.py

# Not part of CI: the faster tools the benchmark compares against, for information.
bench-deps:
	dpkg-query -W pigz lbzip2 libdeflate-tools isal >/dev/null 2>&1 || \
		{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pigz lbzip2 libdeflate-tools isal; }

# Side-by-side timings against the standard tools; prints a table and
# writes bench/results.md. $(PYTHON) and, in the same run against the same
# tool timings, pyenv's 3.11 with its own build (BENCH_PYTHON3= for $(PYTHON)
# alone). Takes up to 35 minutes on two cores; BENCH_QUICK=1 checks the
# script in a few minutes (results go to the scratch directory, not
# bench/results.md).
BENCH_PYTHON3 ?= $(call pyenv_python,3.11)
BENCH_BUILD3 ?= build-3.11
bench: build
	$(if $(BENCH_PYTHON3),@$(MAKE) --no-print-directory build PYTHON="$(BENCH_PYTHON3)" BUILD=$(BENCH_BUILD3))
	PYTHONPATH=$(BUILD) $(if $(BENCH_PYTHON3),BENCH_OTHER_PYTHON="$(BENCH_PYTHON3)" BENCH_OTHER_BUILD=$(BENCH_BUILD3)) \
		"$(PYTHON)" bench/bench.py

# pip install into $(PYTHON) (PIP_ARGS adds options, e.g. --user or
# --target DIR) without reaching a package index: pip is given setuptools and
# wheel where the interpreter lacks them, and told to use them.
.PHONY: install
install: check-python
	sh scripts/with-setuptools --wheel "$(PYTHON)" -m pip install --no-build-isolation $(PIP_ARGS) .

clean:
	rm -rf $(BUILD)
