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
	$(MAKE) leaks

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
