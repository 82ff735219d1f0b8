# make build | run | test — everything installs into a project-local venv.
#   PYTHON=<interpreter>   build and run for that interpreter (default python3)
#   SDK=<checkout>         run the suite against that checkout's zeto_sdk instead of the
#                          stand-in; a relative path is taken from where make was started
#   ARGS="<options>"       passed on to pytest by `make run` (PYTEST_ADDOPTS works too)
#   COV=1                  `make run` measures the coverage of the SDK under test
PYTHON ?= python3
SDK ?=
ARGS ?=
COV ?=

# The interpreter itself, however it is named (python3, python3.11, a venv's python).
PYTHON_PATH := $(shell $(PYTHON) -c 'import os, sys; print(os.path.realpath(sys.executable))' 2>/dev/null)
ifeq ($(PYTHON_PATH),)
$(error interpreter '$(PYTHON)' not found)
endif
# One venv and one build tree per interpreter, named by its ABI and path.
TAG := $(shell $(PYTHON_PATH) -c 'import sys, sysconfig, hashlib; print(sysconfig.get_config_var("SOABI") + "-" + hashlib.sha1(sys.executable.encode()).hexdigest()[:8])')
VENV := .venv/$(TAG)
BUILD := build/$(TAG)
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
PLUGIN := $(VENV)/.plugin
MODULE := tests/unit/test_zeto_data$(shell $(PYTHON_PATH) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
# `make -C <project>` leaves the shell's PWD alone: a relative SDK= is taken from there.
START_DIR := $(or $(PWD),$(CURDIR))
SDK_DIR := $(if $(SDK),$(abspath $(if $(filter /%,$(SDK)),$(SDK),$(START_DIR)/$(SDK))))
# Every CPython 3 interpreter of the machine: Debian's and pyenv's (not their
# -config scripts or debug builds), and the default one.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHONS ?= $(sort $(PYTHON_PATH) $(foreach dir,/usr/bin $(wildcard $(PYENV_ROOT)/versions/*/bin),\
                  $(wildcard $(dir)/python3.[0-9] $(dir)/python3.[0-9][0-9])))

.PHONY: build run checks test clang versions system clean
.DEFAULT_GOAL := build

# pip 21.3 is the last for Python 3.6 (its own pip cannot tell).
$(STAMP): requirements-dev.txt
	$(PYTHON_PATH) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade "pip<22; python_version < '3.7'" "pip; python_version >= '3.7'"
	$(VPY) -m pip install --quiet -r requirements-dev.txt
	touch $@

# The collection plugin, installed into the venv (a pytest11 entry point), so
# that pytest finds it however it is started. Built from a copy, which keeps
# the build's by-products out of the project.
$(PLUGIN): $(STAMP) compiled_tests.py setup.cfg pyproject.toml
	rm -rf $(BUILD)/plugin && mkdir -p $(BUILD)/plugin
	cp compiled_tests.py setup.cfg pyproject.toml $(BUILD)/plugin/
	$(VPY) -m pip install --quiet --no-deps --force-reinstall $(BUILD)/plugin
	touch $@

build: $(PLUGIN)
	$(VENV)/bin/cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PYTHON_PATH) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD) -j2

# The compiled suite, against the bundled stand-in or against SDK=<checkout>,
# with this project's settings whatever the checkout holds.
run: build
	$(VPY) -m pytest -c $(CURDIR)/pytest.ini --rootdir=$(CURDIR) -o testpaths=tests/unit -p no:hypothesispytest \
	    $(if $(SDK_DIR),--zeto-sdk=$(SDK_DIR)) \
	    $(if $(COV),--cov=$(or $(SDK_DIR),$(CURDIR))/zeto_sdk --cov-report=term-missing) $(ARGS)

# The same sources, warning-free under clang++ too (built aside, not installed).
clang: $(STAMP)
	CXX=clang++ $(VENV)/bin/cmake -S . -B $(BUILD)-clang -DPython_EXECUTABLE=$(PYTHON_PATH) \
	    -DZETO_OUTPUT_DIR=$(CURDIR)/$(BUILD)-clang/out >/dev/null
	$(VENV)/bin/cmake --build $(BUILD)-clang -j2

# The project's own checks, under PYTHON.
checks: build
	$(VPY) -m pytest -p no:cacheprovider -q -n 2 checks

# The suite and the checks built for and run by every interpreter in PYTHONS.
# Two of them may share a build's file name (Debian's and pyenv's 3.11), so
# the default build is made again afterwards.
versions:
	@for py in $(PYTHONS); do \
	    echo "== $$py"; $(MAKE) --no-print-directory run checks PYTHON=$$py ARGS=-q || exit 1; \
	done
	rm -f $(MODULE)

# What the checks need of the system: a second compiler and its sanitizer
# runtime, Debian's debug interpreter (the leak check), venv support and
# headers for Debian's interpreters. Installed when missing, as root with
# apt-get; otherwise the command that would install them.
SYSTEM_PACKAGES := clang libclang-rt-dev python3-dbg python3-dev python3-venv
system:
	@missing="$$(for p in $(SYSTEM_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; done)"; \
	missing="$$(echo $$missing)"; \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "installing $$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq $$missing >/dev/null || exit 1; \
	else \
	    echo "make test needs these packages: $$missing"; \
	    echo "install them with:  sudo apt-get install $$missing"; exit 1; \
	fi

# The plugin's checks under the oldest pytest it supports, in a venv of its own
# (the project venv has the newest).
OLDEST_VENV := $(VENV)-oldest-pytest
OLDEST_TOOLS := pytest==7.0.1 pytest-xdist==3.2.1
$(OLDEST_VENV)/.installed: $(PLUGIN)
	$(PYTHON_PATH) -m venv $(OLDEST_VENV)
	$(OLDEST_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(OLDEST_VENV)/bin/python -m pip install --quiet $(OLDEST_TOOLS)
	$(OLDEST_VENV)/bin/python -m pip install --quiet --no-deps --force-reinstall $(BUILD)/plugin
	touch $@

# Everything: the system's packages, the suite and the checks under every
# interpreter, the clang++ build, the plugin under the oldest pytest, leaks.
test: system versions build clang $(OLDEST_VENV)/.installed
	$(OLDEST_VENV)/bin/python -m pytest -p no:cacheprovider -q -n 2 checks/test_collect_plugin.py
	$(MAKE) --no-print-directory leaks

clean:
	rm -rf build tests/unit/*.so

# Per-call time of the compiled tests against their interpreted twin, and import cost.
.PHONY: bench bench-instr
bench: build
	$(VPY) bench/bench_zeto_data.py

# The same comparison in instructions counted by callgrind (repeatable where
# wall time is not): per test, and the import.
bench-instr: build
	$(VPY) bench/bench_zeto_data.py --instructions

# Reference leaks, counted by the debug interpreter: every test against many
# behaviours of the module under test, and failed imports.
DEBUG_PYTHON ?= /usr/bin/python3-dbg
.PHONY: leaks
leaks:
	$(MAKE) --no-print-directory build PYTHON=$(DEBUG_PYTHON)
	PYTHONPATH=$(CURDIR) $(DEBUG_PYTHON) checks/leaks/refcounts.py

# The checks' helper extension whose callables break the calling convention
# (checks/test_hostile.py builds it there too when it is missing or stale).
.PHONY: capi-null
capi-null: $(STAMP)
	$(VPY) checks/capi_null/build.py build/capi-null

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, then
# the checks and the suite run against it in a copy of the project (the normal
# build stays in place). Every report goes to a log file; any file fails.
SAN_CXX ?= g++
SAN_BUILD := build/$(TAG)-sanitize-$(notdir $(SAN_CXX))
SAN_TREE := $(CURDIR)/$(SAN_BUILD)/tree
SAN_LOGS := $(CURDIR)/$(SAN_BUILD)/logs
# The runtime goes first, ahead of the interpreter's own allocator.
SAN_RUNTIME = $(shell $(SAN_CXX) -print-file-name=$(if $(findstring clang,$(SAN_CXX)),libclang_rt.asan-x86_64.so,libasan.so))
SAN_ENV = LD_PRELOAD="$(strip $(SAN_RUNTIME))" PYTHONMALLOC=malloc \
          ASAN_OPTIONS=detect_leaks=0:log_path=$(SAN_LOGS)/asan \
          UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(SAN_LOGS)/ubsan
# A double free, to show that the runtime is live and reports into the logs.
SAN_PROBE := import ctypes; libc = ctypes.CDLL(None); libc.malloc.restype = ctypes.c_void_p; \
             libc.free.argtypes = [ctypes.c_void_p]; p = libc.malloc(8); libc.free(p); libc.free(p)
.PHONY: sanitize
sanitize: $(STAMP)
	CXX=$(SAN_CXX) $(VENV)/bin/cmake -S . -B $(SAN_BUILD) -DPython_EXECUTABLE=$(PYTHON_PATH) -DZETO_SANITIZE=ON \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZETO_OUTPUT_DIR=$(CURDIR)/$(SAN_BUILD)/out >/dev/null
	$(VENV)/bin/cmake --build $(SAN_BUILD) -j2
	rm -rf $(SAN_TREE) $(SAN_LOGS) && mkdir -p $(SAN_TREE) $(SAN_LOGS)
	tar -c --exclude=./.git --exclude=./build --exclude=./.venv --exclude='*.so' --exclude=__pycache__ \
	    --exclude=.pytest_cache --exclude=.hypothesis . | tar -x -C $(SAN_TREE)
	cp $(SAN_BUILD)/out/test_zeto_data*.so $(SAN_TREE)/tests/unit/
	! $(SAN_ENV) $(VPY) -c '$(SAN_PROBE)' 2>/dev/null
	ls $(SAN_LOGS)/* >/dev/null && rm $(SAN_LOGS)/*
	cd $(SAN_TREE) && $(SAN_ENV) $(CURDIR)/$(VPY) -m pytest -p no:cacheprovider -q checks tests/unit
	@if ls $(SAN_LOGS)/* >/dev/null 2>&1; then cat $(SAN_LOGS)/*; echo "sanitizer findings above"; exit 1; fi
	@echo "sanitizers: no findings"
