"""pytest plugin: collect test modules that are compiled extension modules.

pytest collects only ``.py`` files, and its own importer cannot load an
extension module under its dotted name.  This plugin collects a file named
``<stem><suffix>``, where ``<suffix>`` is an extension suffix of the running
interpreter, when ``<stem>.py`` would have been collected, and imports it the
way pytest's "prepend" import mode imports a ``.py`` file: the package root
goes on ``sys.path`` and the module is imported under its dotted name.

Builds for other interpreters (another version, a debug build) are passed
over silently, as the import system itself would pass them over.

The test methods of such a module are function-like objects of a C type,
not Python functions; the plugin turns them into ordinary test items.
"""

import importlib
import importlib.machinery
import inspect
import sys
import types
from pathlib import Path

import pytest
from _pytest.python import path_matches_patterns


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


def dotted_name(path, stem):
    """The dotted module name of an extension file and its package root.

    Every directory above the file that holds an ``__init__.py`` is a package.
    """
    names = [stem]
    root = path.parent
    while (root / "__init__.py").is_file():
        names.insert(0, root.name)
        root = root.parent
    return ".".join(names), root


def _is_import_machinery(entry):
    return "importlib" in str(entry.path) or entry.path == Path(__file__)


class CompiledModule(pytest.Module):
    """A test module built as an extension module."""

    def _getobj(self):
        name, root = dotted_name(self.path, extension_stem(self.path))
        if str(root) not in sys.path:
            sys.path.insert(0, str(root))
        try:
            module = importlib.import_module(name)
        except ImportError as err:
            excinfo = pytest.ExceptionInfo.from_current()
            excinfo.traceback = excinfo.traceback.filter(lambda e: not _is_import_machinery(e))
            shown = excinfo.getrepr(style="short") if excinfo.traceback else excinfo.exconly()
            raise self.CollectError(
                f"ImportError while importing test module '{self.path}'.\n"
                f"Traceback:\n{shown}"
            ) from err
        origin = getattr(module, "__file__", None)
        if origin is None or Path(origin).resolve() != self.path.resolve():
            raise self.CollectError(
                f"import file mismatch: module {name!r} was imported from\n"
                f"  {origin}\n"
                f"which is not the test file being collected:\n"
                f"  {self.path}"
            )
        self.config.pluginmanager.consider_module(module)
        return module

    def collect(self):
        # A dict under __test__ is doctest's registry of extra tests, not the
        # "not a test" flag that pytest takes any false value for: an empty
        # one would make pytest skip the whole module.  Hide it while pytest
        # collects (which it does eagerly), then put it back.
        registry = self.obj.__dict__.get("__test__")
        if not isinstance(registry, dict):
            return super().collect()
        del self.obj.__test__
        try:
            return list(super().collect())
        finally:
            self.obj.__test__ = registry

    def _traceback_filter(self, excinfo):
        # Show an error in the module body from the module's own record on,
        # as pytest does for a .py module, without the import machinery.
        traceback = super()._traceback_filter(excinfo)
        return traceback.filter(lambda e: not _is_import_machinery(e)) or traceback


def compiled_twin(path):
    """The extension module this interpreter would import in place of the
    source file ``path``, or ``None``."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        build = path.with_name(path.stem + suffix)
        if build.is_file():
            return build
    return None


@pytest.hookimpl(tryfirst=True)
def pytest_pycollect_makemodule(module_path, parent):
    build = compiled_twin(module_path)
    if build is None:
        return None
    return CompiledModule.from_parent(parent, path=build)


def pytest_collect_file(file_path, parent):
    stem = extension_stem(file_path)
    if stem is None:
        return None
    if not parent.session.isinitpath(file_path):
        if file_path.with_name(stem + ".py").is_file():
            return None  # collected through its source file
        # Select by the name the source file would have.
        source = file_path.with_name(stem + ".py")
        if not path_matches_patterns(source, parent.config.getini("python_files")):
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


@pytest.hookimpl(tryfirst=True)
def pytest_pycollect_makeitem(collector, name, obj):
    # Left alone, pytest warns that such an object "is not a function".
    if collector.getparent(CompiledModule) is None or not is_function_like(obj):
        return None
    if not collector.istestfunction(obj, name) or not getattr(obj, "__test__", True):
        return None
    return list(collector._genfunctions(name, obj))
