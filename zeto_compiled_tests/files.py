"""Compiled modules as files: their builds beside their listings, the
listings a run declares, and how a build is loaded."""

import fnmatch
import importlib
import importlib.machinery
import importlib.util
import os
import sys
import types
from pathlib import Path
from typing import FrozenSet, Optional, Tuple

import pytest

from zeto_compiled_tests import SUITE

LISTINGS_INI = "compiled_listings"
# Listings a run adds to those its ini file declares.
EXTRA_LISTINGS_KEY = pytest.StashKey()


def extension_stem(path: Path) -> Optional[str]:
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


def build_of(listing: Path) -> Optional[Path]:
    """The extension module that importing the listing's module name loads
    (the import system tries extension suffixes before source), or ``None``."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        build = listing.with_name(listing.stem + suffix)
        if build.is_file():
            return build
    return None


def dotted_name(path: Path, stem: str) -> Tuple[str, Path]:
    """The dotted module name of a file and its package root: every directory
    above the file that holds an ``__init__.py`` is a package, and so is every
    directory of the installed suite (installed as plain directories)."""
    resolved = path.resolve()
    if SUITE in resolved.parents:
        packages = resolved.parent.relative_to(SUITE).parts
        return ".".join(packages + (stem,)), path.parents[len(packages)]
    names = [stem]
    root = path.parent
    while (root / "__init__.py").is_file():
        names.insert(0, root.name)
        root = root.parent
    return ".".join(names), root


def running_python() -> str:
    """The running interpreter, as the header and the errors name it."""
    return f"{sys.executable} (Python {'.'.join(map(str, sys.version_info[:3]))})"


LISTINGS_KEY = pytest.StashKey()


def listings(config: pytest.Config) -> FrozenSet[Path]:
    """The declared listings, resolved once per run."""
    found = config.stash.get(LISTINGS_KEY, None)
    if found is None:
        base = config.inipath.parent if config.inipath else config.rootpath
        declared = [base / entry for entry in config.getini(LISTINGS_INI)]
        declared += config.stash.get(EXTRA_LISTINGS_KEY, [])
        found = config.stash[LISTINGS_KEY] = frozenset(path.resolve() for path in declared)
    return found


def matches_python_files(path: Path, config: pytest.Config) -> bool:
    """Whether pytest would collect ``path`` as a test module by its name: a
    pattern without a separator matches the file name, any other the path."""
    for pattern in config.getini("python_files"):
        if os.sep not in pattern and "/" not in pattern:
            if fnmatch.fnmatch(path.name, pattern):
                return True
        elif fnmatch.fnmatch(str(path), pattern if os.path.isabs(pattern) else f"*{os.sep}{pattern}"):
            return True
    return False


def rootdir_path(path: Path, config: pytest.Config) -> Optional[str]:
    """The path from the rootdir, or ``None`` for a path outside it."""
    try:
        return path.resolve().relative_to(config.rootpath.resolve()).as_posix()
    except ValueError:
        return None


def node_id(listing: Path, config: pytest.Config) -> str:
    """The file part of the node ids of a listing's tests: its path from the
    rootdir. The installed suite, and a listing outside the rootdir, have
    their path from their package root, the same in every session
    (``tests/unit/test_zeto_data.py``), wherever the environment lies."""
    path = listing.resolve()
    own = rootdir_path(path, config)
    if own is not None and SUITE not in path.parents:
        return own
    return path.relative_to(dotted_name(path, path.stem)[1]).as_posix()


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
