# Front door for development. setup.py describes the two extension modules;
# this file finds the interpreter, puts the modules in build/ and runs things.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(PYENV_ROOT)/versions/2.7.18/bin/python2.7
CXX ?= g++
# Where the modules and test binaries go; a separate BUILD lets several
# builds (e.g. a sanitizer build) live side by side.
BUILD ?= build
export BUILD

CODEC_SOURCES := $(wildcard ondrel/codecs/*.cpp ondrel/workers/*.cpp)
CODEC_HEADERS := $(wildcard ondrel/codecs/*.h ondrel/workers/*.h)
CPP_TEST_SOURCES := $(wildcard tests/cpp/*.cpp)
CODEC_LIBS := -lz -ldeflate -lbz2 -llzma -llzo2

.PHONY: all build deps tour test cpptests clean check-python bench bench-deps fuzz-build fuzz-smoke fuzz-long \
	asan-build asan-test valgrind-test refleak-test thread-test bigfile-test coverage docs

all: build

check-python:
	@test -x "$(PYTHON)" || { echo "error: Python 2.7 not found at $(PYTHON); install it or run make PYTHON=/path/to/python2.7" >&2; exit 1; }
	@"$(PYTHON)" -c 'import sys; sys.exit(sys.version_info[:2] != (2, 7))' || { echo "error: $(PYTHON) is not Python 2.7" >&2; exit 1; }

build: check-python
	@"$(PYTHON)" setup.py -q build_ext --build-lib $(BUILD) --build-temp $(BUILD)/obj

deps:
	sh scripts/install-deps

# docs/reference.md from the function table, the body files and the
# modules' docstrings; `make test` fails while the committed file differs.
docs: build
	PYTHONPATH=$(BUILD) "$(PYTHON)" docs/generate.py

tour: build
	PYTHONPATH=$(BUILD) "$(PYTHON)" examples/tour.py

$(BUILD)/cpptests: $(CODEC_SOURCES) $(CPP_TEST_SOURCES) $(CODEC_HEADERS) $(wildcard tests/cpp/*.h)
	@mkdir -p $(BUILD)
	$(CXX) -std=c++17 -O2 -g -Wall -I. $(CPPTEST_FLAGS) -o $@ $(CPP_TEST_SOURCES) $(CODEC_SOURCES) \
		-lgtest -lgtest_main -pthread $(CODEC_LIBS)

cpptests: $(BUILD)/cpptests

test: build cpptests
	PYTHONPATH=$(BUILD) "$(PYTHON)" tests/run.py

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
		"$(PYTHON)" setup.py -q build_ext --build-lib $(ASAN_BUILD) --build-temp $(ASAN_BUILD)/obj
	$(MAKE) --no-print-directory $(ASAN_BUILD)/cpptests BUILD=$(ASAN_BUILD) CXX=clang++ \
		CPPTEST_FLAGS="$(ASAN_FLAGS) -shared-libasan -Wl,-rpath,$(dir $(ASAN_RUNTIME))"

asan-test: asan-build
	$(ASAN_ENV) BUILD=$(ASAN_BUILD) FUZZ_SMOKE=0 REFLEAK_RSS=0 PYTHONPATH=$(ASAN_BUILD) "$(PYTHON)" tests/run.py

# The C++ tests and the Python suites nearest the C++ under valgrind memcheck.
valgrind-test: build cpptests
	"$(PYTHON)" tests/run.py valgrind

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
	CFLAGS="$(COV_FLAGS)" LDFLAGS="--coverage" "$(PYTHON)" setup.py -q build_ext --build-lib $(COV_BUILD) --build-temp $(COV_BUILD)/obj
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
BENCH_PYTHON3 ?= $(lastword $(shell ls -d $(PYENV_ROOT)/versions/3.11.*/bin/python3.11 2>/dev/null | sort -V))
BENCH_BUILD3 ?= build-3.11
bench: build
	$(if $(BENCH_PYTHON3),@$(MAKE) --no-print-directory build PYTHON="$(BENCH_PYTHON3)" BUILD=$(BENCH_BUILD3))
	PYTHONPATH=$(BUILD) $(if $(BENCH_PYTHON3),BENCH_OTHER_PYTHON="$(BENCH_PYTHON3)" BENCH_OTHER_BUILD=$(BENCH_BUILD3)) \
		"$(PYTHON)" bench/bench.py

clean:
	rm -rf $(BUILD)
