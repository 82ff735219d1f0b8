"""Collection: compiled modules through their listings (or their builds),
their test classes and function-like test methods, and their reports."""

import importlib
import importlib.machinery
import importlib.util
import inspect
import sys
import types
from pathlib import Path
from typing import Any, Generator, Iterator, Optional, Tuple

import pytest

from zeto_compiled_tests import SUITE
from zeto_compiled_tests.files import (build_of, dotted_name, extension_stem, listings, load_build,
                                       matches_python_files, node_id, rootdir_path, running_python)
from zeto_compiled_tests.records import Records, Rerun
from zeto_compiled_tests.sdk import use_sdk
from zeto_compiled_tests.xfails import known_failure_passed, known_failures


@pytest.hookimpl(tryfirst=True)
def pytest_pycollect_makemodule(module_path: Path, parent: pytest.Collector) -> Optional[pytest.Module]:
    if module_path.resolve() not in listings(parent.config):
        return None
    return listing_module(module_path, parent)


def listing_module(path: Path, parent: pytest.Collector) -> "CompiledModule":
    """The compiled module of a declared listing, under the listing's node ids."""
    nodeid = node_id(path.resolve(), parent.config)
    if nodeid != rootdir_path(path, parent.config):
        # The installed suite, or a listing outside the rootdir: its own node ids.
        return CompiledModule.from_parent(parent, path=path, nodeid=nodeid)
    return CompiledModule.from_parent(parent, path=path)


def pytest_collect_file(file_path: Path, parent: pytest.Collector) -> Optional[pytest.Module]:
    named = parent.session.isinitpath(file_path)
    if file_path.suffix == ".py":
        # A declared listing is collected whatever python_files says, as one
        # given by name is: the suite never goes missing from a run.
        if (not named and not matches_python_files(file_path, parent.config)
                and file_path.resolve() in listings(parent.config)):
            return listing_module(file_path, parent)
        return None
    stem = extension_stem(file_path)
    if stem is None:
        return None
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


def is_function_like(obj: object) -> bool:
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


def listed_origin(obj: object, config: pytest.Config) -> Optional[Tuple[types.ModuleType, Path]]:
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
def pytest_pycollect_makeitem(collector: pytest.Collector, name: str, obj: object) -> Any:
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
    failure = known_failures(collector.config).get(f"{collector.nodeid}::{name}")
    items = []
    # The items pytest makes of a test function, through pytest_generate_tests
    # (plugins that parametrise tests, such as pytest-repeat, reach compiled
    # tests too), each made again as a CompiledFunction with what pytest gave
    # it. _genfunctions and _fixtureinfo are pytest's own, the same from 7.0 on.
    for generated in collector._genfunctions(name, obj):
        callspec = getattr(generated, "callspec", None)
        item = CompiledFunction.from_parent(
            collector, name=generated.name, callspec=callspec, fixtureinfo=generated._fixtureinfo,
            keywords={callspec.id: True} if callspec else None, originalname=name, imported=imported)
        if failure is not None:
            item.add_marker(pytest.mark.xfail(reason=failure.reason, strict=True))
        items.append(item)
    return items


class CompiledModule(pytest.Module):
    """A compiled test module, reached through its listing or its build."""

    @property
    def listing(self) -> Optional[Path]:
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

    def import_compiled(self) -> types.ModuleType:
        listing = self.listing
        if listing is not None:
            name, root = dotted_name(listing, listing.stem)
            build = build_of(listing)
            use_sdk(self.config, error=self.CollectError)
        else:
            name, root = dotted_name(self.path, extension_stem(self.path))
            build = self.path
        python = running_python()
        if build is None and SUITE in listing.resolve().parents:
            # No package to import the listing from, to refuse with.
            raise self.CollectError(f"{name} is not built for {python}; {listing} is only its listing")
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
        shown = super().repr_failure(shown_or_as_is(self, self.shown_failure, excinfo))
        return located_by_node_id(shown, self.listing, self.config)

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

    def __init__(self, *args: Any, imported: Optional[Tuple[types.ModuleType, Path]] = None, **kwargs: Any) -> None:
        self.imported = imported  # before pytest reads the test's object
        self._rerun: Tuple[Optional[BaseException], ...] = ()  # (failure,) once tried
        super().__init__(*args, **kwargs)

    def origin(self):
        """(compiled module, listing or ``None``) of this test's class: the
        module collected, or the build of a class a .py test module imported."""
        module = self.getparent(CompiledModule)
        return (module.obj, module.listing) if module is not None else self.imported

    def _getobj(self):
        # The test method bound to its instance, called through its stand-in
        # of the listing where the module has one.
        bound = super()._getobj()
        module, listing = self.origin()
        return bound if listing is None else Records.of(module, listing).stand_in(bound)

    def bound_instance(self):
        """The instance the test method is bound to (inside any plugin's wrapper)."""
        return getattr(inspect.unwrap(self.obj), "__self__", None)

    def rerun_failure(self, line, error):
        """The failure of a re-run of the test from its listing that fails as
        the compiled test did (Rerun.failure), or ``None``; run once."""
        if not self._rerun:
            module, listing = self.origin()
            self._rerun = (Rerun.of(Records.of(module, listing), self.config).failure(
                self.bound_instance(), self.cls.__name__, self.originalname, line, error),)
        return self._rerun[0]

    def reportinfo(self):
        listing = self.origin()[1]
        path = listing or self.getparent(CompiledModule).path
        return path, inspect.unwrap(self.obj).__code__.co_firstlineno - 1, self.getmodpath()

    def repr_failure(self, excinfo):
        shown = super().repr_failure(shown_or_as_is(self, self.shown_failure, excinfo))
        return located_by_node_id(shown, self.origin()[1], self.config)

    def shown_failure(self, excinfo):
        """The failure as the listing, with the values of a false assertion
        (once: a failure shown already is returned as it is)."""
        module, listing = self.origin()
        if listing is None:
            return excinfo
        records = Records.of(module, listing)
        if not records.holds_records(excinfo):
            return excinfo
        shown = records.shown(excinfo, instance=self.bound_instance())
        if self.config.getoption("tbstyle", "auto") != "no" and records.raised_by_assertion(excinfo):
            shown = records.with_values(shown, self, excinfo)
        return shown

    def for_debugger(self, excinfo):
        """The failure as a debugger is given it: from the re-run of the test
        from its listing where that fails the same way, which has the test's
        variables; else as shown. With a line that says which."""
        module, listing = self.origin()
        if listing is None:
            return excinfo, None
        line = next((entry.lineno + 1 for entry in reversed(excinfo.traceback) if str(entry.path) == str(listing)),
                    None)
        rerun = self.rerun_failure(line, excinfo.type) if line is not None else None
        if rerun is None:
            return excinfo, ("The debugger shows this test's frame without its variables, which only the compiled "
                             "code holds: a re-run of the test from its listing did not fail the same way.")
        shown = pytest.ExceptionInfo.from_exc_info((type(rerun), rerun, rerun.__traceback__))
        return shown, ("The debugger shows a re-run of this test from its listing, interpreted, which fails the "
                       "same way: its variables are the re-run's, as the compiled code holds its own.")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: "pytest.CallInfo[None]") -> Generator[None, Any, None]:
    # A compiled test's failure is shown as the listing, with the values of a
    # false assertion, before any report is made of it: pytest's own, and
    # every plugin's that reads the exception itself (allure-pytest's).
    if isinstance(item, CompiledFunction) and call.when == "call" and call.excinfo is not None:
        call.excinfo = shown_or_as_is(item, item.shown_failure, call.excinfo)
    outcome = yield
    known_failure_passed(item, call, outcome.get_result())


@pytest.hookimpl(tryfirst=True)
def pytest_exception_interact(node: pytest.Item, call: "pytest.CallInfo[Any]", report: pytest.TestReport) -> None:
    # A debugger (--pdb) reads the lines of the frames it is given by their
    # file names, which for a record is the listing's path relative to the
    # package root: it would read a file of that name in the working
    # directory. It is given the frames the report shows instead, which
    # carry the listing's own path, or for a test, where it fails the same
    # way, the re-run's, which hold the test's variables.
    if call.excinfo is None:
        return
    if isinstance(node, CompiledFunction) and call.when == "call":
        if not node.config.getoption("usepdb", False):
            return  # no debugger of pytest's own to be entered
        call.excinfo, note = node.for_debugger(call.excinfo)
        if note and hasattr(report.longrepr, "addsection"):
            report.longrepr.addsection("compiled test", note)  # shown just before the debugger starts
    elif isinstance(node, CompiledModule):
        call.excinfo = shown_or_as_is(node, node.shown_failure, call.excinfo)


def located_by_node_id(longrepr: Any, listing: Optional[Path], config: pytest.Config) -> Any:
    """The report's entries in a listing whose node ids are not its path from
    the rootdir (the installed suite, a listing outside the rootdir) named
    by the node ids' path, as pytest names a test file in the rootdir
    (tests/unit/test_zeto_data.py:16), not by where it is installed."""
    if listing is None:
        return longrepr
    shown = node_id(listing, config)
    if shown == rootdir_path(listing, config):
        return longrepr
    for reprtraceback, *_ in getattr(longrepr, "chain", ()):
        for entry in reprtraceback.reprentries:
            location = getattr(entry, "reprfileloc", None)
            if location is not None and (Path.cwd() / location.path).resolve() == listing.resolve():
                location.path = shown
    return longrepr


def shown_or_as_is(node, show, excinfo):
    """``show(excinfo)``; should that fail, the failure as it is, and a
    warning: a report is never lost to the way it is shown."""
    try:
        return show(excinfo)
    except Exception as err:
        node.warn(pytest.PytestWarning(f"the listing could not be shown for this failure: {err!r}"))
        return excinfo
