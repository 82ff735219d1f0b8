"""The one build of the compiled test module, for pip (a wheel or an sdist,
through setuptools' PEP 517 backend) and for make (``build_ext``) alike.

Settings from the environment, for the project's own builds:
  CXX=<compiler>             the C++ compiler (default g++), also the link driver
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
import shlex
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
SOURCES = [f"tests/unit/{name}.cpp" for name in (
    "module", "constants", "method", "record", "mechanics",
    "meta_source_tests", "meta_module_tests", "meta_tests", "zeto_data_tests")]
HEADERS = sorted(str(p.relative_to(HERE)) for p in (HERE / "tests" / "unit").glob("*.h"))
VERSION = re.search(r'^__version__ = "(.+)"$', (HERE / "zeto_compiled_tests" / "__init__.py").read_text(), re.M)[1]

# No C++ exceptions and no run-time type information: the module's frames then
# need no personality routine, and an unwind that the C library forces through
# them (a thread ended while it runs inside a test, at interpreter exit) passes
# as through the interpreter's own C frames. Nor is the C++ runtime linked at
# all; nothing but the entry point is exported.
CXXFLAGS = ["-std=c++17", "-O3", "-DNDEBUG", "-fPIC", "-Wall", "-Wextra", "-Werror",
            "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-fno-exceptions", "-fno-rtti",
            "-fno-threadsafe-statics", "-ffunction-sections", "-fdata-sections", "-fno-plt"]
LDFLAGS = ["-shared", "-Wl,--gc-sections", "-Wl,--as-needed", "-Wl,--exclude-libs,ALL", "-static-libgcc"]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer", "-g"]


def settings():
    """Compile and link flags beyond the fixed ones, from the interpreter
    built for and the environment."""
    compile_flags, link_flags = [], []
    # Debian's debug headers are symlinks to the release ones, which then pick
    # up the release pyconfig.h: say Py_DEBUG explicitly for a debug
    # interpreter, or the module's reference counting would not match.
    if sysconfig.get_config_var("Py_DEBUG"):
        compile_flags.append("-DPy_DEBUG")
    fast_paths = os.environ.get("ZETO_FAST_PATHS", "").upper()
    if fast_paths not in ("", "AUTO", "ON", "OFF"):
        raise SystemExit(f"ZETO_FAST_PATHS={fast_paths}: ON, OFF or AUTO")
    if fast_paths in ("ON", "OFF"):
        compile_flags.append(f"-DZETO_FAST_PATHS={int(fast_paths == 'ON')}")
    if os.environ.get("ZETO_COUNT_SLOW_PATHS"):
        compile_flags.append("-DZETO_COUNT_SLOW_PATHS")
    if os.environ.get("ZETO_SANITIZE"):
        compile_flags += SANITIZE
        link_flags += SANITIZE
    return compile_flags, link_flags


class BuildExt(build_ext):
    """Compiles with the project's own flags rather than those the interpreter
    was built with (C flags that a C++ compiler warns about, -O levels), links
    nothing but the C library, and compiles only the sources that changed
    since their object, two at a time."""

    def build_extensions(self):
        cxx = shlex.split(os.environ.get("CXX") or "g++")
        compile_flags, link_flags = settings()
        compile_cmd, link_cmd = cxx + CXXFLAGS + compile_flags, cxx + LDFLAGS + link_flags
        # Newer setuptools keep separate commands for C++ sources.
        commands = {"compiler": compile_cmd, "compiler_so": compile_cmd, "compiler_so_cxx": compile_cmd,
                    "compiler_cxx": cxx, "linker_so": link_cmd, "linker_so_cxx": link_cmd}
        self.compiler.set_executables(**{k: v for k, v in commands.items() if k in self.compiler.executables})
        self.compiler.compile = self.compile_changed
        super().build_extensions()

    def get_libraries(self, ext):
        # An extension module finds the interpreter's symbols in the process.
        return ext.libraries

    def compile_changed(self, sources, output_dir=None, macros=None, include_dirs=None, debug=0,
                        extra_preargs=None, extra_postargs=None, depends=None):
        compiler = self.compiler
        objects = compiler.object_filenames(sources, output_dir=output_dir)
        # A flags file beside the objects: a build with other flags starts afresh.
        flags = "\n".join(compiler.compiler_so + [str(include_dirs), str(macros)])
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
