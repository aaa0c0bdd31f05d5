# Front door for development. setup.py describes the two extension modules;
# this file finds the interpreter, puts the modules in build/ and runs things.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(PYENV_ROOT)/versions/2.7.18/bin/python2.7
CXX ?= g++
# Where the modules and test binaries go; a separate BUILD lets several
# builds (e.g. a sanitizer build) live side by side.
BUILD ?= build
export BUILD

CODEC_SOURCES := $(wildcard ondrel/codecs/*.cpp)
CPP_TEST_SOURCES := $(wildcard tests/cpp/*.cpp)
CODEC_LIBS := -lz -lbz2 -llzma -llzo2

.PHONY: all build deps tour test cpptests clean check-python

all: build

check-python:
	@test -x "$(PYTHON)" || { echo "error: Python 2.7 not found at $(PYTHON); install it or run make PYTHON=/path/to/python2.7" >&2; exit 1; }
	@"$(PYTHON)" -c 'import sys; sys.exit(sys.version_info[:2] != (2, 7))' || { echo "error: $(PYTHON) is not Python 2.7" >&2; exit 1; }

build: check-python
	@"$(PYTHON)" setup.py -q build_ext --build-lib $(BUILD) --build-temp $(BUILD)/obj

deps:
	sh scripts/install-deps

tour: build
	PYTHONPATH=$(BUILD) "$(PYTHON)" examples/tour.py

$(BUILD)/cpptests: $(CODEC_SOURCES) $(CPP_TEST_SOURCES) $(wildcard ondrel/codecs/*.h tests/cpp/*.h)
	@mkdir -p $(BUILD)
	$(CXX) -std=c++17 -O2 -g -Wall -I. -o $@ $(CPP_TEST_SOURCES) $(CODEC_SOURCES) \
		-lgtest -lgtest_main -pthread $(CODEC_LIBS)

cpptests: $(BUILD)/cpptests

test: build cpptests
	PYTHONPATH=$(BUILD) "$(PYTHON)" tests/run.py

clean:
	rm -rf $(BUILD)
