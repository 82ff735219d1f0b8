# make build | run | test — everything installs into a project-local venv.
#   PYTHON=<interpreter>   build and run for that interpreter (default python3); a venv's
#                          python runs the suite in that venv
#   SDK=<checkout>         run the suite against that checkout's zeto_sdk (default $ZETO_SDK)
#                          instead of the stand-in; a relative path is taken from where make
#                          was started
#   ARGS="<options>"       passed on to pytest by `make run` (PYTEST_ADDOPTS works too)
#   COV=1                  `make run` measures the coverage of the SDK under test
#   FAST_PATHS=ON|OFF      the shortcuts through the interpreter's private structures (by
#                          default on for the versions they were checked on, off for newer)
PYTHON ?= python3
SDK ?=
ARGS ?=
COV ?=
FAST_PATHS ?=

# `make -C <project>` leaves the shell's PWD alone: relative SDK= and PYTHON=
# paths are taken from there.
START_DIR := $(or $(PWD),$(CURDIR))
PYTHON_CMD := $(if $(and $(findstring /,$(PYTHON)),$(filter-out /%,$(PYTHON))),$(START_DIR)/$(PYTHON),$(PYTHON))
# One start of the interpreter tells make all it needs of it: the build tag
# (its ABI and path: one venv and one build tree per interpreter), its
# extension suffix, the interpreter itself however it is named (python3,
# python3.11, a venv's python) and, for a venv's own python, that python: it
# runs the suite in its venv, with its packages (the SDK's dependencies and
# metadata), while the module is built by its base interpreter, as for any
# other. Spaces in paths travel as '?'.
PROBE := $(shell $(PYTHON_CMD) -c 'import binascii, importlib.machinery, os, sys; \
    exe = os.path.realpath(sys.executable); suffix = importlib.machinery.EXTENSION_SUFFIXES[0]; \
    venv = sys.executable if sys.prefix != getattr(sys, "base_prefix", sys.prefix) else "-"; \
    print("%s-%08x" % (suffix[1:-3], binascii.crc32(exe.encode())), \
          suffix, exe.replace(" ", "?"), venv.replace(" ", "?"))' 2>/dev/null)
ifneq ($(words $(PROBE)),4)
$(error interpreter '$(PYTHON)' not found)
endif
TAG := $(word 1,$(PROBE))
PYTHON_PATH := $(subst ?, ,$(word 3,$(PROBE)))
RUN_PYTHON := $(subst ?, ,$(filter-out -,$(word 4,$(PROBE))))
VENV := .venv/$(TAG)
BUILD := build/$(TAG)$(if $(FAST_PATHS),-fast-paths-$(FAST_PATHS))
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
PLUGIN := $(VENV)/.plugin
MODULE := tests/unit/test_zeto_data$(word 2,$(PROBE))
# The module as setup.py builds it into a build tree's lib/.
BUILT = $(1)/lib/zeto_compiled_tests/suite/$(MODULE)
SOURCES := setup.py $(wildcard tests/unit/*.cpp tests/unit/*.h)
# setup.py's build of the module into build tree $(1), with settings $(2)
# (CXX=..., ZETO_COUNT_SLOW_PATHS=1, ZETO_SANITIZE=1); every build follows
# FAST_PATHS, as the name of its tree says, and is strict: warnings are errors.
BUILD_EXT = ZETO_STRICT=1 $(2) $(if $(FAST_PATHS),ZETO_FAST_PATHS=$(FAST_PATHS)) $(VPY) setup.py -q build_ext --force \
            --build-lib $(1)/lib --build-temp $(1)/temp
# A make value inside single quotes in a recipe (paths may hold spaces).
quoted = '$(subst ','\'',$(1))'
# Every CPython 3 interpreter of the machine: Debian's and pyenv's (not their
# -config scripts or debug builds), and the default one.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHONS ?= $(sort $(PYTHON_PATH) $(foreach dir,/usr/bin $(wildcard $(PYENV_ROOT)/versions/*/bin),\
                  $(wildcard $(dir)/python3.[0-9] $(dir)/python3.[0-9][0-9])))

.PHONY: build run checks test clang counting versions portable newer-pythons system clean
.DEFAULT_GOAL := build

# pip 21.3 is the last for Python 3.6 (its own pip cannot tell).
$(STAMP): requirements-dev.txt
	$(PYTHON_PATH) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade "pip<22; python_version < '3.7'" "pip; python_version >= '3.7'"
	$(VPY) -m pip install --quiet -r requirements-dev.txt
	touch $@

# The collection plugin and the command, installed into the venv (a pytest11
# entry point), so that pytest finds it however it is started; the module is
# the project's own build. Installed from a copy, which keeps the build's
# by-products out of the project.
$(PLUGIN): $(STAMP) $(wildcard zeto_compiled_tests/*.py zeto_compiled_tests/*.ini) setup.py pyproject.toml
	rm -rf $(BUILD)/plugin && mkdir -p $(BUILD)/plugin
	cp -r zeto_compiled_tests setup.py pyproject.toml README.md $(BUILD)/plugin/
	ZETO_PLUGIN_ONLY=1 $(VPY) -m pip install --quiet --no-deps --no-build-isolation --force-reinstall $(BUILD)/plugin
	touch $@

$(call BUILT,$(BUILD)): $(STAMP) $(SOURCES)
	$(call BUILD_EXT,$(BUILD))

# Each build tree keeps its module aside; the one asked for is put in place
# (never overwritten in place: a running interpreter may have it mapped).
build: $(PLUGIN) $(call BUILT,$(BUILD))
	@cmp -s $(call BUILT,$(BUILD)) $(MODULE) || cp --remove-destination $(call BUILT,$(BUILD)) $(MODULE)

# The compiled suite against SDK=<checkout>, with this project's settings
# whatever the checkout holds. Without SDK=, started in this project: the
# bundled stand-in, asked for by name (it is never tested otherwise);
# started anywhere else: the zeto_sdk that PYTHON's environment imports, or
# an error saying there is none.
run: build
	@sdk=$(call quoted,$(SDK)); sdk="$${sdk:-$$ZETO_SDK}"; \
	if [ -n "$$sdk" ]; then \
	    case "$$sdk" in /*) ;; *) sdk=$(call quoted,$(START_DIR))/"$$sdk" ;; esac; \
	    set -- --zeto-sdk="$$sdk"; package="$$sdk/zeto_sdk"; \
	    [ -d "$$package" ] || package="$$sdk/src/zeto_sdk"; \
	elif [ $(call quoted,$(START_DIR)) -ef $(call quoted,$(CURDIR)) ]; then \
	    set -- --zeto-stand-in; package=$(call quoted,$(CURDIR)/zeto_sdk); \
	else \
	    set --; package=; \
	fi; \
	$(if $(COV),[ -n "$$package" ] || { echo "COV=1 needs SDK=<checkout>"; exit 1; }; \
	    set -- "$$@" --cov="$$package" --cov-report=term-missing;) \
	$(if $(RUN_PYTHON),$(call quoted,$(RUN_PYTHON)) -c 'import pytest' 2>/dev/null || \
	    { echo "pytest is not installed in the venv of $(RUN_PYTHON): pip install pytest"; exit 1; };) \
	set -x; $(if $(RUN_PYTHON),$(call quoted,$(RUN_PYTHON)),$(VPY)) -m pytest -c $(CURDIR)/pytest.ini \
	    --rootdir=$(CURDIR) -o testpaths=tests/unit -p no:hypothesispytest "$$@" $(ARGS); \
	{ code=$$?; set +x; } 2>/dev/null; [ $$code = 0 ] || echo "make run: pytest exited with $$code ($$(case $$code in \
	    1) echo tests failed;; 2) echo interrupted;; 3) echo internal error;; 4) echo usage error;; \
	    5) echo no tests collected;; *) echo see its output;; esac)); make itself exits with 2"; exit $$code

# The same sources, warning-free under clang++ with LLVM's own C++ library
# too, as on macOS (built aside, not installed).
clang: $(call BUILT,$(BUILD)-clang)
$(call BUILT,$(BUILD)-clang): $(STAMP) $(SOURCES)
	$(call BUILD_EXT,$(BUILD)-clang,CXX="clang++ -stdlib=libc++")

# The same sources built to count every time a shortcut does not apply (for
# the checks; not installed).
COUNTING := $(BUILD)-counting
counting: $(call BUILT,$(COUNTING))
$(call BUILT,$(COUNTING)): $(STAMP) $(SOURCES)
	$(call BUILD_EXT,$(COUNTING),ZETO_COUNT_SLOW_PATHS=1)

# The project's own checks, under PYTHON.
checks: build counting
	ZETO_COUNTING_BUILD=$(CURDIR)/$(call BUILT,$(COUNTING)) $(VPY) -m pytest -p no:cacheprovider -q -n 2 checks

# The suite and the checks built for and run by every interpreter in PYTHONS.
# Two of them may share a build's file name (Debian's and pyenv's 3.11), so
# the default build is made again afterwards.
versions:
	@for py in $(PYTHONS); do \
	    echo "== $$py"; $(MAKE) --no-print-directory run checks PYTHON=$$py ARGS=-q || exit 1; \
	done
	rm -f $(MODULE)

# The suite and the checks on the public API alone, the shortcuts switched
# off, under the oldest and the newest interpreter in PYTHONS.
BY_VERSION = $(shell for py in $(PYTHONS); do $$py -c 'import sys; print("%d.%03d" % sys.version_info[:2], "'$$py'")'; \
                     done | sort -n | cut -d' ' -f2)
PORTABLE_PYTHONS ?= $(firstword $(BY_VERSION)) $(lastword $(BY_VERSION))
portable:
	@for py in $(PORTABLE_PYTHONS); do \
	    echo "== $$py, on the public API alone"; \
	    $(MAKE) --no-print-directory run checks PYTHON=$$py FAST_PATHS=OFF ARGS=-q || exit 1; \
	done
	rm -f tests/unit/*.so

# Interpreters newer than the machine's own (NEWER, from Debian's unstable
# suite), in a chroot made once under build/newer-pythons/ with a copy of
# the project: the suite and the checks (on the public API alone too, under
# the newest), the clang++ build, the reference count check under each one's
# debug build, and their wheels as users install them (added to dist/).
NEWER ?= 3.14 3.15
newer-pythons:
	PYTHONS_NEWER="$(NEWER)" checks/newer_pythons.sh '\
	    make --no-print-directory versions PYTHONS="$(foreach v,$(NEWER),/usr/bin/python$(v))" && \
	    make --no-print-directory portable PORTABLE_PYTHONS=/usr/bin/python$(lastword $(NEWER)) && \
	    $(foreach v,$(NEWER),make --no-print-directory clang PYTHON=/usr/bin/python$(v) && \
	                         make --no-print-directory leaks DEBUG_PYTHON=/usr/bin/python$(v)-dbg &&) \
	    make --no-print-directory wheels installed PYTHONS="$(foreach v,$(NEWER),/usr/bin/python$(v))"'
	mkdir -p dist && cp build/newer-pythons/chroot/project/dist/*.whl dist/

# What the checks need of the system: a second compiler, its sanitizer
# runtime and its own C++ library, Debian's debug interpreter (the leak
# check), venv support and headers for Debian's interpreters, debootstrap for
# the newer interpreters.
# Installed when missing, as root with apt-get; otherwise the command that
# would install them.
SYSTEM_PACKAGES := clang libclang-rt-dev libc++-dev libc++abi-dev python3-dbg python3-dev python3-venv debootstrap
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
	ZETO_PLUGIN_ONLY=1 $(OLDEST_VENV)/bin/python -m pip install --quiet --no-deps --force-reinstall $(BUILD)/plugin
	touch $@

# Everything: the system's packages, the suite and the checks under every
# interpreter (and on the public API alone under the oldest), the clang++
# build, the plugin under the oldest pytest, leaks, the wheels as users install
# them, then the same under the newer interpreters.
test: system versions
	$(MAKE) --no-print-directory portable PORTABLE_PYTHONS=$(firstword $(BY_VERSION))
	$(MAKE) --no-print-directory build clang $(OLDEST_VENV)/.installed
	$(OLDEST_VENV)/bin/python -m pytest -p no:cacheprovider -q -n 2 checks/test_collect_plugin.py
	$(MAKE) --no-print-directory leaks
	$(MAKE) --no-print-directory wheels installed
	$(MAKE) --no-print-directory newer-pythons

clean:
	rm -rf build dist tests/unit/*.so

# dist/: the sdist and, built from it, a wheel for each interpreter in PYTHONS
# (one per version), repaired to a manylinux tag. Each interpreter's pip
# builds its own, in the interpreter's project venv.
.PHONY: wheels wheel installed
wheels: $(STAMP)
	rm -rf dist build/wheels
	$(VPY) -m build --sdist --outdir dist . >/dev/null
	@for py in $(PYTHONS); do \
	    $(MAKE) --no-print-directory wheel PYTHON=$$py SDIST="$$(ls dist/*.tar.gz)" || exit 1; \
	done
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VPY) -m auditwheel repair --only-plat -w dist build/wheels/*.whl
	@for wheel in dist/*.whl; do \
	    shown="$$($(VPY) -m auditwheel show "$$wheel" | tr '\n' ' ' | sed 's/  */ /g')"; echo "$$shown"; \
	    case "$$shown" in *libstdc*|*libgcc*|*libpython*) echo "FAIL: links more than libc"; exit 1 ;; esac; \
	done
wheel: $(STAMP)
	ZETO_STRICT=1 $(VPY) -m pip wheel --quiet --no-deps -w build/wheels $(SDIST)

# Each wheel of dist/ installed into a fresh venv of its interpreter, the sdist
# into the oldest's, and the command they install run from an SDK checkout,
# against `make run SDK=` on the same checkout.
installed:
	@set --; for py in $(PYTHONS); do \
	    abi=$$($$py -c 'import sys; print("cp%d%d-" % sys.version_info[:2])'); \
	    for wheel in dist/*-$$abi*.whl; do [ -f "$$wheel" ] && set -- "$$@" "$$py=$$wheel"; done; \
	done; \
	$(VPY) checks/installed.py "$$@" $(firstword $(BY_VERSION))="$$(ls dist/*.tar.gz)"

# Per-call time of the compiled tests against their interpreted twin, and import cost.
.PHONY: bench bench-instr bench-instr-one
bench: build
	$(VPY) bench/bench_zeto_data.py

# The same comparison in instructions counted by callgrind (repeatable where
# wall time is not): per test, and the import beside that of an empty
# extension module; for one interpreter of each version in PYTHONS, and for
# NEWER in the chroot of newer interpreters (where this target installs
# valgrind), in one table. FAST_PATHS=OFF counts the public API alone.
INSTRUCTIONS := bench/out/instructions$(if $(FAST_PATHS),-fast-paths-$(FAST_PATHS))
bench-instr:
	rm -rf $(INSTRUCTIONS) && mkdir -p $(INSTRUCTIONS)
	@seen=; for py in $(BY_VERSION); do \
	    v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	    case " $$seen " in *" $$v "*) continue ;; esac; seen="$$seen $$v"; \
	    $(MAKE) --no-print-directory bench-instr-one PYTHON=$$py INSTRUCTIONS_TO=$(INSTRUCTIONS)/$$v.json || exit 1; \
	done
	PYTHONS_NEWER="$(NEWER)" checks/newer_pythons.sh '\
	    command -v valgrind >/dev/null || { apt-get -o Acquire::Check-Valid-Until=false update -qq && \
	                                        apt-get install -y -qq valgrind >/dev/null; } && \
	    $(foreach v,$(NEWER),make --no-print-directory bench-instr-one PYTHON=/usr/bin/python$(v) \
	                         FAST_PATHS=$(FAST_PATHS) INSTRUCTIONS_TO=$(INSTRUCTIONS)/$(v).json &&) true'
	cp build/newer-pythons/chroot/project/$(INSTRUCTIONS)/*.json $(INSTRUCTIONS)/
	$(VPY) bench/bench_zeto_data.py --table $(INSTRUCTIONS)/*.json \
	    --title "Fast paths $(or $(FAST_PATHS),as by default)"
bench-instr-one: build
	$(VPY) bench/bench_zeto_data.py --instructions
	@[ -z "$(INSTRUCTIONS_TO)" ] || { mkdir -p $(dir $(INSTRUCTIONS_TO)) && cp bench/out/instructions.json $(INSTRUCTIONS_TO); }

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
	$(call BUILD_EXT,$(SAN_BUILD),CXX=$(SAN_CXX) ZETO_SANITIZE=1)
	rm -rf $(SAN_TREE) $(SAN_LOGS) && mkdir -p $(SAN_TREE) $(SAN_LOGS)
	tar -c --exclude=./.git --exclude=./build --exclude=./.venv --exclude='*.so' --exclude=__pycache__ \
	    --exclude=.pytest_cache --exclude=.hypothesis . | tar -x -C $(SAN_TREE)
	cp $(call BUILT,$(SAN_BUILD)) $(SAN_TREE)/tests/unit/
	! $(SAN_ENV) $(VPY) -c '$(SAN_PROBE)' 2>/dev/null
	ls $(SAN_LOGS)/* >/dev/null && rm $(SAN_LOGS)/*
	cd $(SAN_TREE) && $(SAN_ENV) $(CURDIR)/$(VPY) -m pytest -p no:cacheprovider -q --zeto-stand-in checks tests/unit
	@if ls $(SAN_LOGS)/* >/dev/null 2>&1; then cat $(SAN_LOGS)/*; echo "sanitizer findings above"; exit 1; fi
	@echo "sanitizers: no findings"
