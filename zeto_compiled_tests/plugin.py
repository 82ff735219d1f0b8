"""pytest plugin: compiled test modules, collected through their listings.

A compiled test module is an extension module whose test classes hold
function-like C objects as test methods. Its listing is the ``.py`` file of
the same name beside it: the module's statements as Python, each on the line
that the module's failure records name. Listings are declared in the ini
file, relative to it::

    [pytest]
    compiled_listings = tests/unit/test_zeto_data.py

For a declared listing pytest runs the build for the running interpreter,
under the listing's node ids (``tests/unit/test_zeto_data.py::TestMeta::...``
on every interpreter and build), and failure reports show the listing's
lines. A failed assertion of a compiled test carries no values; the report
adds them from a re-run of that one test from the listing, with pytest's
assertion rewriting, and says so. Where no build for the running interpreter
exists, collecting the listing is an error that says how to build one.

Extension modules without a listing are collected too, under their own file
name: those named on the command line, and those whose source name would
match ``python_files``. Builds for other interpreters (another version, a
debug build) are passed over, as the import system passes them over.

``--zeto-xfails FILE`` lists the SDK's known failures, tests of the declared
listings that are expected to fail: they run, and are reported as xfailed
while they fail and as failures once they pass. A run that collected a
declared listing ends with a summary of how the SDK fared, by test class,
which ``--junitxml`` also keeps as properties of the test suite.
"""

import ast
import collections
import fnmatch
import importlib
import importlib.machinery
import importlib.util
import inspect
import linecache
import os
import shutil
import sys
import tempfile
import tokenize
import types
import warnings
from pathlib import Path
from typing import Any, Dict, Generator, Iterator, List, NamedTuple, Optional, Set, Tuple

import pytest

from zeto_compiled_tests import SUITE, __version__

try:
    from importlib import metadata as importlib_metadata
except ImportError:  # Python 3.6 and 3.7: pkg_resources, where it is installed
    importlib_metadata = None

LISTINGS_INI = "compiled_listings"
SDK_PACKAGE = "zeto_sdk"
# The distribution that installs this plugin and the suite.
DISTRIBUTION = "zeto-compiled-tests"
# The installed suite's listing, under the path its node ids name.
SUITE_LISTING = SUITE / "tests" / "unit" / "test_zeto_data.py"


def pytest_addoption(parser):
    parser.addini(
        LISTINGS_INI,
        type="linelist",
        default=[],
        help="listings (.py) of compiled test modules, relative to the ini file: "
        "each is collected as the build of it for the running interpreter",
    )
    parser.addoption(
        "--zeto-sdk",
        metavar="DIR",
        default=os.environ.get("ZETO_SDK") or None,
        help=f"test the {SDK_PACKAGE} package in DIR (an SDK checkout, plain or src/ layout) instead of "
        f"the one this environment imports; default: $ZETO_SDK",
    )
    parser.addoption(
        "--zeto-stand-in",
        action="store_true",
        help=f"test this project's own stand-in {SDK_PACKAGE}, which is never tested unless asked for",
    )
    parser.addoption(
        "--zeto-suite",
        action="store_true",
        help=f"also run the compiled tests that {DISTRIBUTION} installed, in this session "
        f"(the {DISTRIBUTION} command runs them alone)",
    )
    parser.addoption(
        "--zeto-xfails",
        metavar="FILE",
        default=None,
        help="known failures of the SDK: node ids of compiled tests, one a line, each optionally followed "
        "by a reason ('#' starts a comment); they run, and fail the run only once they pass",
    )


# ---- the SDK under test -------------------------------------------------------------


class SdkFinder:
    """Finds the SDK package where the run chose it, ahead of everything
    else: with ``finder`` (one of the import system's) over ``path``."""

    def __init__(self, finder: Any, path: Optional[List[str]]) -> None:
        self.finder = finder
        self.path = path

    def find_spec(self, name, path=None, target=None):
        if name != SDK_PACKAGE:
            return None
        return self.finder.find_spec(name, self.path)

    def invalidate_caches(self) -> None:
        pass


class Sdk(NamedTuple):
    """The SDK package a run tests: its directory, how it was chosen (as the
    header says it), and the finder that finds it first."""

    package: Path
    why: str
    finder: SdkFinder
    sibling_root: Optional[str]  # put at the end of sys.path, so the SDK can import its siblings


SDK_KEY = pytest.StashKey()


def pytest_configure(config):
    if config.getoption("zeto_suite"):
        add_installed_suite(config)
    if config.getoption("zeto_sdk") or config.getoption("zeto_stand_in"):
        # Chosen now, before any conftest or plugin can import another.
        use_sdk(config, error=pytest.UsageError)
    elif listings(config) and isinstance(sdk_choice(config), Sdk):
        # The SDK the header names is the one that imports from now on, for
        # a test module that imports a compiled module's classes too; that
        # it cannot be used is an error where a compiled module is collected.
        try:
            use_sdk(config, error=ImportError)
        except ImportError:
            pass
    config.stash[KNOWN_FAILURES_KEY] = read_known_failures(config)
    config.pluginmanager.register(Conformance(config), "compiled-tests-conformance")


def add_installed_suite(config: pytest.Config) -> None:
    """Puts the installed suite's listing among the paths the session
    collects, beside those given (or the directory pytest searches)."""
    if not SUITE_LISTING.is_file():
        raise pytest.UsageError(f"--zeto-suite: {DISTRIBUTION} is not installed here ({SUITE_LISTING} is missing)")
    if not any(Path(arg.split("::")[0]).resolve() == SUITE_LISTING for arg in config.args):
        config.args.append(str(SUITE_LISTING))


def stand_ins(config: pytest.Config) -> Set[Path]:
    """This project's own stand-ins of the SDK: the package beside the
    package root of each declared listing."""
    return {(dotted_name(listing, listing.stem)[1] / SDK_PACKAGE).resolve() for listing in listings(config)}


def package_dir(spec: Any) -> Optional[Path]:
    """The directory of the package a spec finds (a plain or a namespace
    package), or ``None``."""
    locations = list(getattr(spec, "submodule_search_locations", None) or ())
    return Path(locations[0]).resolve() if locations else None


def choose_sdk(config: pytest.Config) -> Sdk:
    """The SDK package to test: the one in --zeto-sdk's checkout (or its
    ``src``), the project's stand-in when asked for by --zeto-stand-in, else
    the one the environment's own import system finds, the stand-in passed
    over. Never the stand-in unless asked for: a pass must be the pass of the
    SDK the user meant. pytest.UsageError when there is none to test."""
    option, stand_in = config.getoption("zeto_sdk"), config.getoption("zeto_stand_in")
    ours = stand_ins(config)
    path_finder = importlib.machinery.PathFinder
    if option and stand_in:
        raise pytest.UsageError("--zeto-sdk and --zeto-stand-in: test an SDK checkout or the stand-in, not both")
    if stand_in:
        for package in sorted(ours):
            if package.is_dir():
                return Sdk(package, "the project's stand-in, --zeto-stand-in",
                           SdkFinder(path_finder, [str(package.parent)]), None)
        raise pytest.UsageError(f"--zeto-stand-in: this project has no stand-in {SDK_PACKAGE}")
    if option:
        checkout = Path(option).expanduser().resolve()
        for root in (checkout, checkout / "src"):
            package = package_dir(path_finder.find_spec(SDK_PACKAGE, [str(root)]))
            if package in ours:
                raise pytest.UsageError(
                    f"--zeto-sdk={option} is {checkout}, this project itself: its {SDK_PACKAGE} is the "
                    f"stand-in, tested only with --zeto-stand-in. (make takes a relative SDK= from $PWD, "
                    f"which a program that starts make in another directory may leave unchanged: give the "
                    f"checkout's absolute path.)")
            if package is not None:
                return Sdk(package, "--zeto-sdk", SdkFinder(path_finder, [str(root)]), str(root))
        raise pytest.UsageError(f"--zeto-sdk={option}: no {SDK_PACKAGE} package in {checkout} or {checkout / 'src'}")
    passed_over = sorted(p for p in ours if p.is_dir())
    # The checkout pytest starts in, when it holds the package (plain, src/
    # or namespace layout): where `python -m pytest` would find it too.
    start = Path.cwd()
    for root in (start, start / "src"):
        package = package_dir(path_finder.find_spec(SDK_PACKAGE, [str(root)]))
        if package is not None and package not in ours:
            return Sdk(package, "the checkout pytest started in", SdkFinder(path_finder, [str(root)]), str(root))
    for finder in sys.meta_path:
        if isinstance(finder, SdkFinder) or not hasattr(finder, "find_spec"):
            continue
        path = None
        if finder is path_finder:
            path = [entry for entry in sys.path if (Path(entry or ".").resolve() / SDK_PACKAGE) not in ours]
        try:
            package = package_dir(finder.find_spec(SDK_PACKAGE, path))
        except (ImportError, ValueError):
            continue
        if package is None or package in ours:
            continue
        why = "found on sys.path" if finder is path_finder else f"found by {type(finder).__name__}"
        if passed_over:
            why += f"; the project's stand-in at {passed_over[0]} passed over"
        return Sdk(package, why, SdkFinder(finder, path), None)
    found = (f"the only one importable is this project's stand-in at {passed_over[0]}, which is tested only "
             f"with --zeto-stand-in" if passed_over else f"no {SDK_PACKAGE} is importable here")
    raise pytest.UsageError(f"no {SDK_PACKAGE} to test: {found}. Point --zeto-sdk at your SDK checkout, "
                            f"or install your SDK into this environment ({sys.executable}).")


def sdk_choice(config: pytest.Config) -> Any:
    """choose_sdk(), once per run: the Sdk, or the UsageError it raised."""
    choice = config.stash.get(SDK_KEY, None)
    if choice is None:
        try:
            choice = choose_sdk(config)
        except pytest.UsageError as err:
            choice = err
        config.stash[SDK_KEY] = choice
    return choice


def use_sdk(config: pytest.Config, error: type) -> Sdk:
    """Makes the chosen SDK package the one that imports, or raises
    ``error`` with what was found where."""
    choice = sdk_choice(config)
    if isinstance(choice, Exception):
        raise error(str(choice))
    if choice.finder in sys.meta_path:
        return choice
    loaded = sys.modules.get(SDK_PACKAGE)
    if loaded is not None and package_dir(getattr(loaded, "__spec__", None)) != choice.package:
        raise error(f"{SDK_PACKAGE} was already imported from {getattr(loaded, '__file__', None) or loaded}, "
                    f"not from {choice.package} ({choice.why})")
    sys.meta_path.insert(0, choice.finder)
    if choice.sibling_root is not None:
        sys.path.append(choice.sibling_root)
    config.add_cleanup(lambda: sys.meta_path.remove(choice.finder))
    return choice


# ---- known failures ------------------------------------------------------------------


class KnownFailure(NamedTuple):
    """An entry of the --zeto-xfails file."""

    where: str  # FILE:LINE, the file as given
    reason: str


KNOWN_FAILURES_KEY = pytest.StashKey()


def known_failures(config: pytest.Config) -> Dict[str, KnownFailure]:
    return config.stash.get(KNOWN_FAILURES_KEY, {})


def read_known_failures(config: pytest.Config) -> Dict[str, KnownFailure]:
    """The entries of the --zeto-xfails file by node id. An entry must name
    a declared listing; whether that listing holds the test is checked when
    it is collected."""
    option = config.getoption("zeto_xfails")
    if not option:
        return {}
    path = Path(option).expanduser().resolve()
    try:
        with open(str(path), encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as err:
        reason = getattr(err, "strerror", None) or err
        raise pytest.UsageError(f"--zeto-xfails={option}: cannot read {path}: {reason}") from None
    suites = sorted(filter(None, (node_id(listing, config) for listing in listings(config))))
    entries = {}
    for number, line in enumerate(lines, 1):
        fields = line.split("#", 1)[0].split(None, 1)
        if not fields:
            continue
        nodeid, where = fields[0], f"{option}:{number}"
        if nodeid in entries:
            raise pytest.UsageError(f"{where}: {nodeid} is listed already, at {entries[nodeid].where}")
        if nodeid.split("::", 1)[0] not in suites:
            raise pytest.UsageError(
                f"{where}: {nodeid} names no test of the compiled listings ({', '.join(suites) or 'none declared'})")
        reason = fields[1].strip() if len(fields) > 1 else f"listed in {where}"
        entries[nodeid] = KnownFailure(where, reason)
    return entries


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: "pytest.CallInfo[None]") -> Generator[None, Any, None]:
    outcome = yield
    report = outcome.get_result()
    failure = known_failures(item.config).get(item.nodeid)
    # A failed call without an exception: a strict xfail that passed.
    if failure is not None and report.when == "call" and report.failed and call.excinfo is None:
        report.longrepr = f"{report.longrepr}\n{item.nodeid} passed: remove its entry at {failure.where}"


# ---- files -----------------------------------------------------------------------


def extension_stem(path):
    """The module name a file would be imported under, or ``None``.

    ``None`` unless the file name ends with an extension suffix of this
    interpreter after a valid identifier, and no file with a suffix the
    importer prefers sits beside it.
    """
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    for rank, suffix in enumerate(suffixes):
        if path.name.endswith(suffix):
            stem = path.name[: -len(suffix)]
            if not stem.isidentifier():
                return None
            if any(path.with_name(stem + better).is_file() for better in suffixes[:rank]):
                return None
            return stem
    return None


def build_of(listing):
    """The extension module that importing the listing's module name loads
    (the import system tries extension suffixes before source), or ``None``."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        build = listing.with_name(listing.stem + suffix)
        if build.is_file():
            return build
    return None


def dotted_name(path, stem):
    """The dotted module name of a file and its package root: every directory
    above the file that holds an ``__init__.py`` is a package."""
    names = [stem]
    root = path.parent
    while (root / "__init__.py").is_file():
        names.insert(0, root.name)
        root = root.parent
    return ".".join(names), root


def running_python():
    """The running interpreter, as the header and the errors name it."""
    return f"{sys.executable} (Python {'.'.join(map(str, sys.version_info[:3]))})"


LISTINGS_KEY = pytest.StashKey()


def listings(config):
    """The declared listings, resolved once per run."""
    found = config.stash.get(LISTINGS_KEY, None)
    if found is None:
        base = config.inipath.parent if config.inipath else config.rootpath
        declared = [base / entry for entry in config.getini(LISTINGS_INI)]
        if config.getoption("zeto_suite"):
            declared.append(SUITE_LISTING)
        found = config.stash[LISTINGS_KEY] = frozenset(path.resolve() for path in declared)
    return found


def matches_python_files(path, config):
    """Whether pytest would collect ``path`` as a test module by its name: a
    pattern without a separator matches the file name, any other the path."""
    for pattern in config.getini("python_files"):
        if os.sep not in pattern and "/" not in pattern:
            if fnmatch.fnmatch(path.name, pattern):
                return True
        elif fnmatch.fnmatch(str(path), pattern if os.path.isabs(pattern) else f"*{os.sep}{pattern}"):
            return True
    return False


def node_id(path, config):
    try:
        return path.resolve().relative_to(config.rootpath.resolve()).as_posix()
    except ValueError:
        return None


# ---- collection ------------------------------------------------------------------


@pytest.hookimpl(tryfirst=True)
def pytest_pycollect_makemodule(module_path, parent):
    path = module_path.resolve()
    if path not in listings(parent.config):
        return None
    if path == SUITE_LISTING and node_id(path, parent.config) is None:
        # The installed suite in another project's session: its own node ids.
        return CompiledModule.from_parent(parent, path=module_path, nodeid=path.relative_to(SUITE).as_posix())
    return CompiledModule.from_parent(parent, path=module_path)


def pytest_collect_file(file_path, parent):
    stem = extension_stem(file_path)
    if stem is None:
        return None
    named = parent.session.isinitpath(file_path)
    listing = file_path.with_name(stem + ".py")
    if listing.resolve() in listings(parent.config):
        if not named:
            return None  # collected through its listing
        # Named on the command line: the same node ids as through the listing.
        return CompiledModule.from_parent(
            parent, path=file_path, name=listing.name, nodeid=node_id(listing, parent.config)
        )
    if not named and not matches_python_files(listing, parent.config):
        return None
    return CompiledModule.from_parent(parent, path=file_path)


def is_function_like(obj):
    """A callable that is not a Python function but exposes a function's
    introspection interface (code object, defaults, binding)."""
    return (
        callable(obj)
        and not inspect.isfunction(obj)
        and isinstance(getattr(obj, "__code__", None), types.CodeType)
        and hasattr(obj, "__defaults__")
        and hasattr(type(obj), "__get__")
    )


def is_test(collector: pytest.Collector, name: str, obj: object) -> bool:
    return collector.istestfunction(obj, name) and getattr(obj, "__test__", True)


def listed_origin(obj, config):
    """(compiled module, listing) of a test method of a declared listing's
    build, wherever its class was found (a .py test module may import it),
    or ``None``."""
    namespace = getattr(obj, "__globals__", None)
    if not isinstance(namespace, dict) or not isinstance(namespace.get("__file__"), str):
        return None
    module = sys.modules.get(namespace.get("__name__"))
    build = Path(namespace["__file__"])
    stem = extension_stem(build)
    if module is None or vars(module) is not namespace or stem is None:
        return None
    listing = build.with_name(stem + ".py")
    return (module, listing) if listing.resolve() in listings(config) else None


@pytest.hookimpl(tryfirst=True)
def pytest_pycollect_makeitem(collector, name, obj):
    # Left alone, pytest warns that such an object "is not a function".
    if not is_function_like(obj) or not collector.istestfunction(obj, name):
        return None
    imported = None
    if collector.getparent(CompiledModule) is None:
        # A compiled test class that a .py test module imported: collected
        # there too, as pytest collects an imported class, provided that the
        # SDK it was loaded with is the one the run tests.
        imported = listed_origin(obj, collector.config)
        if imported is None:
            return None
        use_sdk(collector.config, error=collector.CollectError)
    if not getattr(obj, "__test__", True):
        return []  # turned off, as pytest turns off a test function: nothing to collect or warn about
    item = CompiledFunction.from_parent(collector, name=name)
    item.imported = imported
    failure = known_failures(collector.config).get(item.nodeid)
    if failure is not None:
        item.add_marker(pytest.mark.xfail(reason=failure.reason, strict=True))
    return item


def pytest_report_header(config):
    python = running_python()
    if not listings(config):
        return []
    choice = sdk_choice(config) if listings(config) else None
    if isinstance(choice, Sdk):
        lines = [f"{SDK_PACKAGE}: {choice.package} ({choice.why})"]
    else:
        lines = [f"{SDK_PACKAGE}: {choice}"] if choice is not None else []
    lines.append(f"suite: {DISTRIBUTION} {__version__}")
    for listing in sorted(listings(config)):
        build = build_of(listing)
        shown = node_id(listing, config) or listing
        if build is None:
            lines.append(f"compiled tests: {shown} is not built for {python}")
        else:
            lines.append(f"compiled tests: {shown} runs {build.name}, built for {python}")
    return lines


def load_build(name: str, build: Path) -> types.ModuleType:
    """The extension module ``build`` loaded as module ``name``, as the import
    system loads it once found, but from this file: no package above it is
    imported and sys.path is not searched. Nor is it left in sys.modules,
    where the module puts itself: a module of that name that the session
    imports (an SDK checkout's own tests) is neither hidden by it nor
    mistaken for it. Loaded again, the module hands back the same object,
    and an entry that an import of it made (a .py test module that imports
    its classes) stays."""
    spec = importlib.util.spec_from_file_location(name, str(build))
    module = importlib.util.module_from_spec(spec)
    imported = sys.modules.get(name) is module
    try:
        spec.loader.exec_module(module)
    finally:
        if sys.modules.get(name) is module and not imported:
            del sys.modules[name]
    return module


class CompiledModule(pytest.Module):
    """A compiled test module, reached through its listing or its build."""

    @property
    def listing(self):
        """The listing's path, or ``None`` for a module without one."""
        if self.path.suffix == ".py":
            return self.path
        listing = self.path.with_name(extension_stem(self.path) + ".py")
        return listing if listing.resolve() in listings(self.config) else None

    # A listed module is loaded from its build under its dotted name, without
    # the packages above it: whatever else of that name lies on sys.path (an
    # SDK checkout's own tests package) neither stands in for it nor is
    # hidden by it. Other compiled modules are imported by name, the way
    # pytest's "prepend" import mode imports a .py module.
    @property
    def obj(self):
        module = getattr(self, "compiled", None)
        if module is None:
            module = self.compiled = self.import_compiled()
        return module

    @obj.setter
    def obj(self, value):
        self.compiled = value

    def import_compiled(self):
        listing = self.listing
        if listing is not None:
            name, root = dotted_name(listing, listing.stem)
            build = build_of(listing)
            use_sdk(self.config, error=self.CollectError)
        else:
            name, root = dotted_name(self.path, extension_stem(self.path))
            build = self.path
        python = running_python()
        try:
            if listing is not None and build is not None:
                module = load_build(name, build)
            else:
                if str(root) not in sys.path:
                    sys.path.insert(0, str(root))
                module = importlib.import_module(name)
        except ImportError as err:
            if build is None:
                # The listing's own refusal to stand in for the build.
                raise self.CollectError(str(err)) from None
            # Shown as pytest shows a .py module's import error.
            excinfo = self.shown_failure(pytest.ExceptionInfo.from_current())
            shown = excinfo.getrepr(style="short") if excinfo.traceback else excinfo.exconly()
            raise self.CollectError(
                f"ImportError while importing test module '{self.path}'.\nTraceback:\n{shown}"
            ) from None
        origin = getattr(module, "__file__", None)
        if build is None:
            raise self.CollectError(f"{name} is not built for {python}; {listing} is only its listing")
        if origin is None or Path(origin).resolve() != build.resolve():
            raise self.CollectError(
                f"import file mismatch: module {name!r} was imported from\n"
                f"  {origin}\n"
                f"which is not the build being collected:\n"
                f"  {build}"
            )
        if listing is not None:
            Records.of(module, listing).show_listing_in_linecache()
        self.config.pluginmanager.consider_module(module)
        return module

    def shown_failure(self, excinfo):
        """An error in the module body as pytest shows one in a .py module:
        from the module's own record on, the records shown as the listing."""
        listing = self.listing
        if listing is None:
            return excinfo
        return Records(None, listing).shown(excinfo, module_body=True)

    def repr_failure(self, excinfo):
        return super().repr_failure(shown_or_as_is(self, self.shown_failure, excinfo))

    def collect(self):
        module = self.obj
        self.check_known_failures()
        # A dict under __test__ is doctest's registry of extra tests, not the
        # "not a test" flag that pytest takes any false value for: an empty
        # one would make pytest skip the whole module. Hide it while pytest
        # collects (which it does eagerly), then put it back.
        registry = module.__dict__.get("__test__")
        if not isinstance(registry, dict):
            return super().collect()
        del module.__test__
        try:
            return list(super().collect())
        finally:
            module.__test__ = registry

    def test_ids(self) -> Iterator[str]:
        """The node ids of all the module's tests in classes, whichever
        this run selects (node ids on the command line, -k, --deselect)."""
        for name, cls in vars(self.obj).items():
            if inspect.isclass(cls) and self.istestclass(cls, name) and getattr(cls, "__test__", True):
                for attr in dir(cls):
                    if is_test(self, attr, inspect.getattr_static(cls, attr)):
                        yield f"{self.nodeid}::{name}::{attr}"

    def check_known_failures(self) -> None:
        prefix = self.nodeid + "::"
        listed = {nodeid: failure for nodeid, failure in known_failures(self.config).items()
                  if nodeid.startswith(prefix)}
        known = set(self.test_ids()) if listed else set()
        unknown = [f"  {failure.where}: {nodeid}" for nodeid, failure in listed.items() if nodeid not in known]
        if unknown:
            raise self.CollectError("--zeto-xfails lists tests that this module does not hold:\n" + "\n".join(unknown))


class CompiledFunction(pytest.Function):
    """A test method of a compiled module."""

    def origin(self):
        """(compiled module, listing or ``None``) of this test's class: the
        module collected, or the build of a class a .py test module imported."""
        module = self.getparent(CompiledModule)
        return (module.obj, module.listing) if module is not None else self.imported

    def reportinfo(self):
        listing = self.origin()[1]
        path = listing or self.getparent(CompiledModule).path
        return path, self.obj.__code__.co_firstlineno - 1, self.getmodpath()

    def repr_failure(self, excinfo):
        return super().repr_failure(shown_or_as_is(self, self.shown_failure, excinfo))

    def as_listing(self, excinfo):
        """The failure with its records shown as the listing."""
        module, listing = self.origin()
        if listing is None:
            return excinfo
        return Records.of(module, listing).shown(excinfo, instance=getattr(self.obj, "__self__", None))

    def shown_failure(self, excinfo):
        """The failure as the listing, with the values of a false assertion."""
        module, listing = self.origin()
        if listing is None:
            return excinfo
        records = Records.of(module, listing)
        shown = self.as_listing(excinfo)
        if self.config.getoption("tbstyle", "auto") != "no" and records.raised_by_assertion(excinfo):
            shown = records.with_values(shown, self, excinfo)
        return shown


@pytest.hookimpl(tryfirst=True)
def pytest_exception_interact(node, call, report):
    # A debugger (--pdb) reads the lines of the frames it is given by their
    # file names, which for a record is the listing's path relative to the
    # package root: it would read a file of that name in the working
    # directory. It is given the frames the report shows instead, which
    # carry the listing's own path.
    if isinstance(node, CompiledFunction):
        show = node.as_listing
    elif isinstance(node, CompiledModule):
        show = node.shown_failure
    else:
        return
    if call.excinfo is None:
        return
    shown = shown_or_as_is(node, show, call.excinfo)
    if shown is not call.excinfo and shown.tb is not None:
        # pytest hands the debugger the traceback, or on newer Pythons the
        # exception, which then carries the shown one.
        shown.value.with_traceback(shown.tb)
        call.excinfo = shown


def shown_or_as_is(node, show, excinfo):
    """``show(excinfo)``; should that fail, the failure as it is, and a
    warning: a report is never lost to the way it is shown."""
    try:
        return show(excinfo)
    except Exception as err:
        node.warn(pytest.PytestWarning(f"the listing could not be shown for this failure: {err!r}"))
        return excinfo


# ---- how the SDK fared ----------------------------------------------------------------


OUTCOMES = ("passed", "skipped", "xfailed", "failed")  # the later wins among a test's reports
SHOWN = ("xfailed", "failed", "skipped", "not run")
WORKER_OUTPUT = "compiled_tests"
CONFORMANCE_KEY = pytest.StashKey()


class Conformance:
    """How the SDK fared with the tests of the declared listings, by test
    class: shown after the run, and kept as properties of the test suite with
    --junitxml. Under pytest-xdist the workers collect, and each sends what
    it collected to the controller, which sees every report."""

    def __init__(self, config: pytest.Config) -> None:
        self.config = config
        config.stash[CONFORMANCE_KEY] = self
        self.classes: Dict[str, str] = {}  # node id: test class, in collection order
        self.sdk: Optional[Tuple[str, Optional[str]]] = None  # path, version
        self.outcomes: Dict[str, str] = {}
        self.xfailed: Dict[str, str] = {}  # node id: reason
        self.passed_though_listed: Set[str] = set()

    @pytest.hookimpl(tryfirst=True)
    def pytest_collection_modifyitems(self, items: List[pytest.Item]) -> None:
        # Before any deselection: the totals are those of the suite.
        for item in items:
            module = item.getparent(CompiledModule)
            if not isinstance(item, CompiledFunction) or module is None or module.listing is None:
                continue  # classes that other test modules imported count where they are defined
            cls = item.getparent(pytest.Class)
            self.classes[item.nodeid] = cls.name if cls is not None else module.name
            if self.sdk is None:
                self.sdk = sdk_tested(module.obj)
        worker_output = getattr(self.config, "workeroutput", None)
        if worker_output is not None:
            worker_output[WORKER_OUTPUT] = {"classes": list(self.classes.items()), "sdk": self.sdk}

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node: object, error: object) -> None:
        collected = getattr(node, "workeroutput", {}).get(WORKER_OUTPUT)
        if collected and not self.classes:
            self.classes = dict(collected["classes"])
            self.sdk = collected["sdk"] and tuple(collected["sdk"])

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        listed = report.nodeid in known_failures(self.config)
        if listed and report.when == "call" and report.failed and not self.config.getoption("runxfail", False):
            # A known failure that passed: the SDK passes the test, and the
            # run fails for the entry alone.
            self.passed_though_listed.add(report.nodeid)
            outcome = "passed"
        elif report.failed:
            outcome = "failed"
        elif report.skipped:
            outcome = "xfailed" if hasattr(report, "wasxfail") else "skipped"
            if outcome == "xfailed":
                self.xfailed[report.nodeid] = report.wasxfail
        elif report.when == "call":
            outcome = "passed"
        else:
            return
        previous = self.outcomes.get(report.nodeid, outcome)
        self.outcomes[report.nodeid] = max(previous, outcome, key=OUTCOMES.index)

    def counts(self) -> Dict[str, "collections.Counter[str]"]:
        counts: Dict[str, "collections.Counter[str]"] = {}
        for nodeid, cls in self.classes.items():
            counts.setdefault(cls, collections.Counter())[self.outcomes.get(nodeid, "not run")] += 1
        return counts

    def versions(self) -> Tuple[str, str, Optional[str]]:
        """The suite's version, and the path and version of the SDK tested."""
        sdk, sdk_version = self.sdk or ("not imported", None)
        return __version__, sdk, sdk_version

    def pytest_terminal_summary(self, terminalreporter: "pytest.TerminalReporter") -> None:
        if not self.classes or self.config.getoption("collectonly"):
            return
        write = terminalreporter.write_line
        terminalreporter.write_sep("=", f"{SDK_PACKAGE} conformance")
        counts = self.counts()
        width = max(map(len, counts))
        for cls, count in counts.items():
            shown = "".join(f", {count[outcome]} {outcome}" for outcome in SHOWN if count[outcome])
            write(f"{cls:<{width}}  passed {count['passed']} of {sum(count.values())}{shown}")
        for nodeid in self.classes:
            if nodeid in self.xfailed:
                write(f"xfailed {nodeid} - {self.xfailed[nodeid]}")
        for nodeid, failure in known_failures(self.config).items():
            if nodeid in self.passed_though_listed:
                write(f"{nodeid} passed: remove its entry at {failure.where}", red=True)
        suite_version, sdk, sdk_version = self.versions()
        write(f"suite: {DISTRIBUTION} {suite_version}")
        write(f"{SDK_PACKAGE} tested: {sdk}" + (f", version {sdk_version}" if sdk_version else ""))

    def properties(self) -> Iterator[Tuple[str, object]]:
        suite_version, sdk, sdk_version = self.versions()
        yield "compiled_tests.version", suite_version
        yield f"{SDK_PACKAGE}.path", sdk
        if sdk_version:
            yield f"{SDK_PACKAGE}.version", sdk_version
        for cls, count in self.counts().items():
            yield f"compiled_tests.{cls}.total", sum(count.values())
            for outcome in OUTCOMES + ("not run",):
                yield f"compiled_tests.{cls}.{outcome.replace(' ', '_')}", count[outcome]


@pytest.fixture(scope="session", autouse=True)
def _compiled_tests_properties(request: pytest.FixtureRequest) -> Iterator[None]:
    """With --junitxml, the facts of the conformance summary as properties of
    the test suite, recorded once all tests have run. (pytest-xdist's
    controller writes the XML, and takes no such properties.)"""
    record = None
    if request.config.getoption("xmlpath", None):
        record = request.getfixturevalue("record_testsuite_property")
    yield
    conformance = request.config.stash.get(CONFORMANCE_KEY, None)
    if record is not None and conformance is not None and conformance.classes:
        for name, value in conformance.properties():
            record(name, value)


def sdk_tested(module: types.ModuleType) -> Optional[Tuple[str, Optional[str]]]:
    """The directory and the version of the SDK package that the test module
    took its globals from, or ``None``."""
    for value in vars(module).values():
        name = getattr(value, "__module__", None)
        if not isinstance(name, str) or name.split(".")[0] != SDK_PACKAGE:
            continue
        source = getattr(sys.modules.get(name), "__file__", None)
        if source is None:
            continue
        source = Path(source).resolve()
        # Up from the module's file to the package's directory.
        package = source.parents[max(name.count(".") + source.name.startswith("__init__.") - 1, 0)]
        top = getattr(sys.modules.get(SDK_PACKAGE), "__file__", None)
        version = None
        if top is not None and Path(top).resolve().parent == package:
            version = getattr(sys.modules[SDK_PACKAGE], "__version__", None)
        return str(package), str(version) if version is not None else installed_version(package)
    return None


def legacy_pkg_resources() -> Optional[types.ModuleType]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            import pkg_resources
        except ImportError:
            return None
    return pkg_resources


def installed_version(package: Path) -> Optional[str]:
    """The version of the distribution that installed the package directory
    ``package``: one whose metadata lies beside it and names it."""
    where = str(package.parent)
    if importlib_metadata is not None:
        for dist in importlib_metadata.distributions(path=[where]):
            if any(file.parts == (package.name, "__init__.py") for file in dist.files or ()):
                return dist.version
        return None
    pkg_resources = legacy_pkg_resources()
    if pkg_resources is None:
        return None
    for dist in pkg_resources.find_distributions(where, only=True):
        if dist.has_metadata("top_level.txt") and package.name in dist.get_metadata_lines("top_level.txt"):
            return dist.version
    return None


# ---- failure records and the listing ------------------------------------------------


class Records:
    """The failure records of one compiled module, shown as the listing.

    A record is a traceback entry whose code carries the listing's path
    relative to the package root, a function name and one line. For a report
    each record is replaced by a frame of the listing itself: its code starts
    where the record's function starts in the listing (the ``def`` of a test,
    line 1 for the module body), so that the report shows the statement with
    its context lines and the path of this very listing, wherever pytest runs
    from and whatever else of that relative name lies on ``sys.path``.
    """

    _known = {}

    def __init__(self, module, listing):
        self.module = module
        self.listing = listing
        name, root = dotted_name(listing, listing.stem)
        self.filename = listing.relative_to(root).as_posix()
        self.prefix = f"{name}."
        with tokenize.open(str(listing)) as f:
            self.lines = f.readlines()
        # Where each function of the listing starts, by qualified name.
        self.starts = {}
        self._find_starts(ast.parse("".join(self.lines)), "")
        self._codes = {}

    @classmethod
    def of(cls, module, listing):
        records = cls._known.get(listing)
        if records is None or records.module is not module:
            records = cls._known[listing] = cls(module, listing)
        return records

    def _find_starts(self, node, prefix):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                qualname = prefix + child.name
                if not isinstance(child, ast.ClassDef):
                    first = min([child.lineno] + [d.lineno for d in child.decorator_list])
                    self.starts[qualname] = (first, child.name)
                self._find_starts(child, qualname + ".")

    def show_listing_in_linecache(self):
        # Anything that looks up the records' file name by itself (pdb,
        # traceback.print_exc) finds this listing, not a file of that
        # relative name in the working directory or on sys.path. An entry
        # without a modification time is never invalidated.
        linecache.cache[self.filename] = (
            sum(map(len, self.lines)), None, self.lines, str(self.listing))

    def is_record(self, tb):
        return tb.tb_frame.f_code.co_filename == self.filename

    def raised_by_assertion(self, excinfo):
        """Whether the failure is a false assertion of the test itself: a bare
        AssertionError whose innermost traceback entry is a record."""
        return excinfo.type is AssertionError and not excinfo.value.args and self.is_record(innermost(excinfo.tb))

    def _where(self, tb):
        """(first line, function name or None for the module body) of the
        listing's code that the record ``tb`` stands for, or ``None``."""
        name = tb.tb_frame.f_code.co_name
        if name.startswith("init "):
            return 1, None
        qualname = name[len(self.prefix):]
        if name.startswith(self.prefix) and qualname in self.starts:
            return self.starts[qualname]
        return None

    def _run_as_listing(self, tb, instance, body):
        """Runs ``body`` (one line, given ``_out``: sys._getframe, then a
        ListingMarker; it may add to it) as code of the listing
        in place of the record ``tb``: inside the function the record stands
        for, from its first line, with ``body`` on the record's line."""
        first, function = self._where(tb)
        line = tb.tb_lineno
        code = self._codes.get((first, function, line, body))
        if code is None:
            if function is None:
                source = "\n" * (line - 1) + body + "\n"
            else:
                head = "\n" * (first - 1) + f"def {function}(self, *, _out):"
                source = head + (f" {body}\n" if line == first else "\n" * (line - first) + f" {body}\n")
            code = self._codes[(first, function, line, body)] = compile(source, str(self.listing), "exec")
        out = [sys._getframe, ListingMarker()]
        if function is None:
            namespace = dict(tb.tb_frame.f_globals, _out=out)
            try:
                exec(code, namespace)
            finally:
                namespace.pop("_out", None)
        else:
            namespace = {}
            exec(code, namespace)
            types.FunctionType(namespace[function].__code__, tb.tb_frame.f_globals)(instance, _out=out)
        return out

    def _listing_frame(self, tb, instance):
        """A frame of the listing for the record ``tb``; the code catches it
        by calling sys._getframe, then drops every name of its own."""
        return self._run_as_listing(tb, instance, "_out.append(_out[0]()); del _out")[-1]

    def _listing_entry(self, tb, instance):
        """A traceback entry of the listing for the record ``tb``, made by
        raising on the record's line: where tracebacks cannot be built, the
        one way to have such an entry, though it cannot lead on to others."""
        try:
            self._run_as_listing(tb, instance, "raise _out[1]")
        except ListingMarker:
            return innermost(sys.exc_info()[2])

    def shown(self, excinfo, instance=None, module_body=False):
        """``excinfo`` with every record replaced by a frame of the listing;
        for an error in the module body, from its record on."""
        entries = []
        tb = excinfo.tb
        while tb is not None:
            entries.append(tb)
            tb = tb.tb_next
        if module_body:
            first = next((i for i, tb in enumerate(entries) if self.is_record(tb)), 0)
            entries = entries[first:]
        if sys.version_info < (3, 7):
            # Tracebacks cannot be built before 3.7. A record that ends the
            # traceback (a false assertion, a failing statement of the module
            # body itself) is shown alone, as an entry of the listing; any
            # other stays, its line shown through the linecache entry.
            shown = entries[0] if entries else None
            if entries and self.is_record(entries[-1]) and self._where(entries[-1]):
                shown = self._listing_entry(entries[-1], instance)
            return pytest.ExceptionInfo.from_exc_info((excinfo.type, excinfo.value, shown))
        shown = None
        for tb in reversed(entries):
            frame = self._listing_frame(tb, instance) if self.is_record(tb) and self._where(tb) else None
            if frame is None:
                shown = types.TracebackType(shown, tb.tb_frame, tb.tb_lasti, tb.tb_lineno)
            else:
                # No instruction offset: the line is the record's, never one
                # derived from the stand-in code's own positions.
                shown = types.TracebackType(shown, frame, -1, tb.tb_lineno)
        return pytest.ExceptionInfo.from_exc_info((excinfo.type, excinfo.value, shown))

    # ---- values of a failed assertion, from a re-run -------------------------------

    def with_values(self, shown, item, excinfo):
        line = innermost(excinfo.tb).tb_lineno
        values = None
        if item.config.getoption("assertmode", "rewrite") == "rewrite":
            values = Rerun.of(self, item.config).values(item.cls.__name__, item.originalname, line)
        if values is None:
            message = ("(values not shown: the failure could not be reproduced by a re-run of this test "
                       "from its listing)")
        else:
            message = (f"{values}\n(values from a re-run of this test from its listing, interpreted; "
                       f"the compiled test's AssertionError carries none)")
        return pytest.ExceptionInfo.from_exc_info((AssertionError, AssertionError(message), shown.tb))


class ListingMarker(Exception):
    """Raised on a record's line to make a traceback entry of the listing."""


def innermost(tb):
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


class Rerun:
    """A copy of a listing imported under a name of its own, so that pytest
    rewrites its assertions as it rewrites a test module's, and run against
    the compiled module's namespace as it is at the time of the re-run."""

    _known = {}

    @classmethod
    def of(cls, records, config):
        rerun = cls._known.get(records.listing)
        if rerun is None:
            rerun = cls._known[records.listing] = cls(records, config)
        return rerun

    def __init__(self, records, config):
        self.records = records
        self.module = None
        self.error = None
        self.name = f"{records.listing.stem}__rerun_from_listing"
        config.add_cleanup(lambda: self._known.pop(records.listing, None))
        # In pytest's cache, where there is one, the copy and its rewritten,
        # compiled form last from one run to the next.
        cache = getattr(config, "cache", None)
        if cache is not None:
            self.where = str(cache.mkdir("compiled-listings"))
        else:
            self.where = tempfile.mkdtemp(prefix="compiled-listing-")
            config.add_cleanup(lambda: shutil.rmtree(self.where, ignore_errors=True))

    def _load(self):
        path = Path(self.where) / f"{self.name}.py"
        source = self.records.listing.read_bytes()
        if not path.is_file() or path.read_bytes() != source:
            # Whole or not at all: other processes (pytest-xdist's workers)
            # may read it meanwhile.
            fd, temporary = tempfile.mkstemp(dir=self.where, suffix=".tmp")
            with os.fdopen(fd, "wb") as out:
                out.write(source)
            os.replace(temporary, str(path))
        pytest.register_assert_rewrite(self.name)
        sys.path.insert(0, self.where)
        try:
            module = importlib.import_module(self.name)
        finally:
            sys.path.remove(self.where)
        self.own = {name for name, value in vars(module).items()
                    if isinstance(value, type) and value.__module__ == module.__name__}
        self.file = module.__file__
        return module

    def _use_namespace_of(self, compiled):
        # The globals the tests read are those of the compiled module, which
        # the user's fixtures or conftest may have changed since import. The
        # names that rewriting adds are no identifiers and stay.
        ns, source = self.module.__dict__, compiled.__dict__

        def shared(name):
            return name.isidentifier() and not name.startswith("__") and name not in self.own

        for name in [n for n in ns if shared(n) and n not in source]:
            del ns[name]
        for name, value in source.items():
            if shared(name):
                ns[name] = value

    def values(self, cls_name, method_name, line):
        """What rewriting shows of the assertion that fails at ``line``, or
        ``None`` when the re-run does not fail there with AssertionError."""
        if self.module is None:
            if self.error is not None:
                return None
            try:
                self.module = self._load()
            except Exception as err:
                self.error = err
                return None
        compiled = self.records.module
        self._use_namespace_of(compiled)
        try:
            test = getattr(getattr(self.module, cls_name)(), method_name)
        except Exception:
            return None
        try:
            test()
        except AssertionError as exc:
            tb = innermost(exc.__traceback__)
            if tb.tb_frame.f_code.co_filename == self.file and tb.tb_lineno == line and str(exc):
                return str(exc)
            return None
        except Exception:
            return None
        return None
