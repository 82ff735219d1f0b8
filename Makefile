# make build | run | test — everything installs into a project-local venv.
#   PYTHON=<interpreter>   build and run for that interpreter (default python3)
#   SDK=<checkout>         run the suite against that zeto_sdk instead of the stand-in
PYTHON ?= python3
SDK ?=

PYTHON_PATH := $(shell command -v $(PYTHON))
ifeq ($(PYTHON_PATH),)
$(error interpreter '$(PYTHON)' not found)
endif
# One venv and one build tree per interpreter, named by its ABI and path.
TAG := $(shell $(PYTHON_PATH) -c 'import sys, sysconfig, hashlib; print(sysconfig.get_config_var("SOABI") + "-" + hashlib.sha1(sys.executable.encode()).hexdigest()[:8])')
VENV := .venv/$(TAG)
BUILD := build/$(TAG)
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
MODULE := tests/unit/test_zeto_data$(shell $(PYTHON_PATH) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
# Debian's other CPython 3 interpreters (not their -config scripts or debug builds).
OTHER_PYTHONS := $(filter-out %-config %d %-dbg,$(wildcard /usr/bin/python3.[0-9]*))

.PHONY: build run test clang versions clean
.DEFAULT_GOAL := build

$(STAMP): requirements-dev.txt
	$(PYTHON_PATH) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet -r requirements-dev.txt
	touch $@

build: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PYTHON_PATH) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD) -j2

# The compiled suite, against the bundled stand-in or against SDK=<checkout>.
run: build
	ZETO_SDK=$(SDK) $(VPY) -m pytest -p no:cacheprovider tests/unit

# The same sources, warning-free under clang++ too (built aside, not installed).
clang: $(STAMP)
	CXX=clang++ $(VENV)/bin/cmake -S . -B $(BUILD)-clang -DPython_EXECUTABLE=$(PYTHON_PATH) \
	    -DZETO_OUTPUT_DIR=$(CURDIR)/$(BUILD)-clang/out >/dev/null
	$(VENV)/bin/cmake --build $(BUILD)-clang -j2

# The suite built for and run by each of Debian's interpreters. They may share
# the default build's file name, so that one is made again afterwards.
versions:
	@for py in $(OTHER_PYTHONS); do $(MAKE) --no-print-directory run PYTHON=$$py || exit 1; done
	rm -f $(MODULE)

# The project's own checks.
test: versions build clang
	$(VPY) -m pytest -p no:cacheprovider checks tests/unit

clean:
	rm -rf build tests/unit/*.so

# Per-call time of the compiled tests against their interpreted twin, and import cost.
.PHONY: bench
bench: build
	$(VPY) bench/bench_zeto_data.py
