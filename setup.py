"""The one build of the compiled test module, for pip (a wheel or an sdist,
through setuptools' PEP 517 backend) and for make (``build_ext``) alike, on
every platform: the compiler and linker setuptools takes for the interpreter
(CC, CXX and LDSHARED from the environment, else the interpreter's own
configuration; MSVC on Windows) with their defaults, and the project's
options that this compiler accepts, found out by trying each.

Settings from the environment, for the project's own builds:
  ZETO_STRICT=1              every warning, as an error (make and CI; never a
                             user's install, whose compiler may warn anew)
  ZETO_FAST_PATHS=ON|OFF     the shortcuts through the interpreter's private
                             structures (default: on for the versions they were
                             checked on, off for any newer one)
  ZETO_COUNT_SLOW_PATHS=1    count every time a shortcut does not apply
  ZETO_SANITIZE=1            AddressSanitizer and UndefinedBehaviorSanitizer
  ZETO_PLUGIN_ONLY=1         the plugin and the command alone, without the suite
                             (a development venv, which runs the project's own build)
"""

import os
import re
import subprocess
import sys
import sysconfig
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

from distutils.errors import CompileError, LinkError  # setuptools' own, once it is imported  # noqa: E402

HERE = Path(__file__).resolve().parent
SOURCES = [f"tests/unit/{name}.cpp" for name in (
    "module", "constants", "method", "record", "mechanics",
    "meta_source_tests", "meta_module_tests", "meta_tests", "zeto_data_tests")]
HEADERS = sorted(str(p.relative_to(HERE)) for p in (HERE / "tests" / "unit").glob("*.h"))
VERSION = re.search(r'^__version__ = "(.+)"$', (HERE / "zeto_compiled_tests" / "__init__.py").read_text(), re.M)[1]

# What the module asks of the compiler beyond the interpreter's defaults, by
# compiler family (MSVC, or any other: GCC, clang and what takes their
# options), each taken where the compiler accepts it. C++17, which it must.
# No C++ exceptions and no run-time type information: the module's frames then
# need no personality routine, and an unwind that the C library forces through
# them (a thread ended while it runs inside a test, at interpreter exit) passes
# as through the interpreter's own C frames. No debug information, hidden
# symbols but the entry point, unused code dropped, the C++ runtime not linked.
# Signed arithmetic that never wraps, whatever the interpreter's own C asks
# for (-fwrapv): nothing of the module's relies on wrapping, and the
# optimizer may use that.
CXX17 = {"msvc": "/std:c++17", "unix": "-std=c++17"}
COMPILE = {
    "msvc": ["/O2", "/GR-", "/EHs-c-", "/D_HAS_EXCEPTIONS=0", "/Zc:threadSafeInit-", "/Gy", "/Gw"],
    "unix": ["-O3", "-g0", "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-fno-exceptions", "-fno-rtti",
             "-fno-threadsafe-statics", "-ffunction-sections", "-fdata-sections", "-fno-plt", "-fno-wrapv"],
}
LINK = {
    "msvc": ["/OPT:REF", "/OPT:ICF"],
    "darwin": ["-Wl,-dead_strip"],
    "unix": ["-Wl,--gc-sections", "-Wl,--as-needed", "-Wl,--exclude-libs,ALL", "-static-libgcc"],
}
# What makes a warning an error, and the project's full warning set.
WERROR = {"msvc": "/WX", "unix": "-Werror"}
WARNINGS = {"msvc": ["/W4"], "unix": ["-Wall", "-Wextra"]}
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer", "-g"]
PROBE = "int zeto_probe(int x) { return x + 1; }\n"


def macros():
    """The module's macros, from the interpreter built for and the environment."""
    found = [("NDEBUG", None)]
    # Debian's debug headers are symlinks to the release ones, which then pick
    # up the release pyconfig.h: say Py_DEBUG explicitly for a debug
    # interpreter, or the module's reference counting would not match.
    if sysconfig.get_config_var("Py_DEBUG"):
        found.append(("Py_DEBUG", None))
    fast_paths = os.environ.get("ZETO_FAST_PATHS", "").upper()
    if fast_paths not in ("", "AUTO", "ON", "OFF"):
        raise SystemExit(f"ZETO_FAST_PATHS={fast_paths}: ON, OFF or AUTO")
    if fast_paths in ("ON", "OFF"):
        found.append(("ZETO_FAST_PATHS", str(int(fast_paths == "ON"))))
    if os.environ.get("ZETO_COUNT_SLOW_PATHS"):
        found.append(("ZETO_COUNT_SLOW_PATHS", None))
    return found


def driver(command):
    """The program of a compiler's or linker's command line: its first words
    up to the first option (``ccache g++``, ``env X=1 clang++``)."""
    words = list(command)
    n = next((i for i, word in enumerate(words) if word.startswith("-")), len(words))
    return words[:n], words[n:]


def cxx_command(compiler):
    """The command line setuptools compiles C++ sources with (``None`` for
    MSVC, whose compiler class builds its own)."""
    return getattr(compiler, "compiler_so_cxx", None) or getattr(compiler, "compiler_so", None)


def without_rpath(command):
    """A link command line without its run-time library paths (-Wl,-rpath)."""
    kept, skip = [], False
    for word in command:
        if skip:
            skip = False
        elif word in ("-Wl,-rpath", "-Wl,-R"):
            skip = True  # its path follows as a word of its own
        elif not word.startswith(("-Wl,-rpath,", "-Wl,-rpath=", "-Wl,-R")):
            kept.append(word)
    return kept


class Probe:
    """Tries options on a small source, as CMake's check_cxx_compiler_flag
    does: an option is taken where compiling (or linking) with it succeeds and
    the compiler says nothing it would not say without it (GCC and clang), or
    where it succeeds with warnings as errors (MSVC, whose messages go
    straight to the console)."""

    def __init__(self, compiler, where):
        self.compiler, self.where = compiler, where
        self.source = where / "probe.cpp"
        self.source.write_text(PROBE)
        self.said = {}

    def accepts(self, option, link=False):
        if self.compiler.compiler_type == "msvc":
            try:
                objects = self.compiler.compile([str(self.source)], output_dir=str(self.where),
                                                extra_postargs=["/WX"] + ([] if link else [option]))
                if link:
                    self.compiler.link_shared_object(objects, str(self.where / "probe.pyd"), target_lang="c++",
                                                     extra_postargs=["/WX", option])
            except (CompileError, LinkError):
                return False
            return True
        obj, shared = str(self.where / "probe.o"), str(self.where / "probe.so")
        command = cxx_command(self.compiler) + ["-c", str(self.source), "-o", obj]
        if link:
            if self.says(command)[0] != 0:
                return False
            # The C++ driver with the linker's options, as setuptools links C++.
            linker = getattr(self.compiler, "linker_so_cxx", None) or self.compiler.linker_so
            command = (self.compiler.compiler_cxx or driver(linker)[0]) + driver(linker)[1] + [obj, "-o", shared]
        quiet = self.says(command)
        return quiet[0] == 0 and self.says(command + [option]) == quiet

    def says(self, command):
        """(exit status, what it printed) of a command line, once."""
        key = tuple(command)
        if key not in self.said:
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.said[key] = (done.returncode, done.stdout)
        return self.said[key]

    def shown(self):
        return " ".join(cxx_command(self.compiler) or [self.compiler.compiler_type])


class BuildExt(build_ext):
    """Builds with the compiler and linker setuptools takes for the
    interpreter, C++ sources by its C++ driver, adding the options of COMPILE
    and LINK that this compiler accepts and, in the project's own builds,
    strictness; links nothing but the C library, and compiles only the
    sources that changed since their object, two at a time."""

    def build_extensions(self):
        compiler = self.compiler
        family = "msvc" if compiler.compiler_type == "msvc" else "unix"
        if family == "unix" and "compiler_so_cxx" not in compiler.executables:
            # Older setuptools compile C++ sources by the C driver (CC): by the
            # C++ one (CXX, with its own options) here, with the C compiler's
            # options (the interpreter's, CFLAGS), as newer setuptools does.
            cxx = compiler.compiler_cxx or driver(compiler.compiler_so)[0]
            compiler.set_executables(compiler_so=cxx + driver(compiler.compiler_so)[1])
        if family == "unix":
            # Nor does a module that links nothing of the interpreter need the
            # run-time library path of the interpreter's build (pyenv's).
            compiler.set_executables(**{name: without_rpath(getattr(compiler, name))
                                        for name in ("linker_so", "linker_so_cxx") if name in compiler.executables})
        with tempfile.TemporaryDirectory() as tmp:
            probe = Probe(compiler, Path(tmp))
            if not probe.accepts(CXX17[family]):
                raise SystemExit(f"the module needs a C++17 compiler: {probe.shown()} refuses {CXX17[family]}")
            compile_flags = [CXX17[family]] + [option for option in COMPILE[family] if probe.accepts(option)]
            platform = family if family == "msvc" else "darwin" if sys.platform == "darwin" else "unix"
            link_flags = [option for option in LINK[platform] if probe.accepts(option, link=True)]
        if os.environ.get("ZETO_STRICT"):
            compile_flags += WARNINGS[family] + [WERROR[family]]
        if os.environ.get("ZETO_SANITIZE"):
            compile_flags += SANITIZE
            link_flags += SANITIZE
        for ext in self.extensions:
            ext.extra_compile_args = compile_flags
            ext.extra_link_args = link_flags
            ext.define_macros = macros()
        compiler.compile = self.compile_changed
        super().build_extensions()

    def get_libraries(self, ext):
        # An extension module finds the interpreter's symbols in the process;
        # on Windows it links the interpreter's DLL.
        return super().get_libraries(ext) if sys.platform == "win32" else ext.libraries

    def compile_changed(self, sources, output_dir=None, macros=None, include_dirs=None, debug=0,
                        extra_preargs=None, extra_postargs=None, depends=None):
        compiler = self.compiler
        objects = compiler.object_filenames(sources, output_dir=output_dir)
        # A flags file beside the objects: a build with other flags starts afresh.
        flags = "\n".join(map(str, [cxx_command(compiler), include_dirs, macros, extra_preargs, extra_postargs]))
        stamp = Path(output_dir or ".") / "flags"
        stale = not stamp.is_file() or stamp.read_text() != flags
        newest_header = max((os.path.getmtime(h) for h in depends or ()), default=0)

        def changed(source, obj):
            return stale or not os.path.exists(obj) or os.path.getmtime(obj) < max(
                os.path.getmtime(source), newest_header)

        todo = [source for source, obj in zip(sources, objects) if changed(source, obj)]
        compile_one = type(compiler).compile.__get__(compiler)
        with ThreadPoolExecutor(max_workers=2) as pool:
            list(pool.map(lambda source: compile_one([source], output_dir, macros, include_dirs, debug,
                                                     extra_preargs, extra_postargs, depends), todo))
        stamp.parent.mkdir(parents=True, exist_ok=True)
        stamp.write_text(flags)
        return objects


PLUGIN_ONLY = bool(os.environ.get("ZETO_PLUGIN_ONLY"))
SUITE_PACKAGES = ["zeto_compiled_tests.suite.tests", "zeto_compiled_tests.suite.tests.unit"]


class BuildPy(build_py):
    """Installs the suite's directories without their __init__.py: plain
    directories, which pytest collects without importing them as packages
    (as "tests" and "tests.unit" they would clash with an SDK checkout's own
    tests package)."""

    def find_package_modules(self, package, package_dir):
        modules = super().find_package_modules(package, package_dir)
        return [m for m in modules if package not in SUITE_PACKAGES or m[1] != "__init__"]


setup(
    name="zeto-compiled-tests",
    version=VERSION,
    description="The compiled unit tests of zeto_sdk.redis.zeto_data, with the pytest plugin that runs them",
    long_description=(HERE / "README.md").read_text(),
    long_description_content_type="text/markdown",
    python_requires=">=3.6",
    install_requires=["pytest>=7.0"],
    # The suite goes inside the distribution's own package, under the path its
    # node ids name (suite/tests/unit/test_zeto_data.py): nothing top-level
    # named "tests" is installed.
    packages=["zeto_compiled_tests"] + ([] if PLUGIN_ONLY else SUITE_PACKAGES),
    package_dir=dict(zip(SUITE_PACKAGES, ["tests", "tests/unit"])),
    package_data={"zeto_compiled_tests": ["pytest.ini"]},
    ext_modules=[] if PLUGIN_ONLY else [
        Extension("zeto_compiled_tests.suite.tests.unit.test_zeto_data", SOURCES, depends=HEADERS, language="c++")],
    cmdclass={"build_ext": BuildExt, "build_py": BuildPy},
    entry_points={
        "pytest11": ["zeto_compiled_tests.plugin = zeto_compiled_tests.plugin"],
        "console_scripts": ["zeto-compiled-tests = zeto_compiled_tests.cli:main"],
    },
    zip_safe=False,
)
