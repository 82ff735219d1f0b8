"""The SDK package a run tests: chosen once, put first for the import
system, and named in the header and the summary."""

import importlib
import importlib.machinery
import importlib.util
import sys
import types
from pathlib import Path
from typing import Any, Iterator, List, NamedTuple, Optional, Set, Tuple

import pytest

try:
    from importlib import metadata as importlib_metadata
except ImportError:  # Python 3.6 and 3.7: the metadata files are read directly
    importlib_metadata = None

from zeto_compiled_tests.files import dotted_name, listings

SDK_PACKAGE = "zeto_sdk"


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
        found = next(packages_in(checkout), None)
        if found is None:
            raise pytest.UsageError(
                f"--zeto-sdk={option}: no {SDK_PACKAGE} package in {checkout} or {checkout / 'src'}")
        root, package = found
        if package in ours:
            raise pytest.UsageError(
                f"--zeto-sdk={option} is {checkout}, this project itself: its {SDK_PACKAGE} is the "
                f"stand-in, tested only with --zeto-stand-in. (make takes a relative SDK= from $PWD, "
                f"which a program that starts make in another directory may leave unchanged: give the "
                f"checkout's absolute path.)")
        return Sdk(package, "--zeto-sdk", SdkFinder(path_finder, [str(root)]), str(root))
    passed_over = sorted(p for p in ours if p.is_dir())
    # The checkout pytest starts in, or below, when it holds the package
    # (plain, src/ or namespace layout): the working copy, ahead of any
    # release of it that the environment has installed.
    for checkout in enclosing_checkouts(Path.cwd()):
        for root, package in packages_in(checkout):
            if package not in ours:
                why = ("the checkout pytest started in" if checkout == Path.cwd()
                       else f"the checkout above {Path.cwd()}, where pytest started")
                return Sdk(package, why, SdkFinder(path_finder, [str(root)]), str(root))
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


def packages_in(checkout: Path) -> Iterator[Tuple[Path, Path]]:
    """(root, package directory) of the SDK package in a checkout (plain or
    namespace layout), then in its ``src``."""
    for root in (checkout, checkout / "src"):
        package = package_dir(importlib.machinery.PathFinder.find_spec(SDK_PACKAGE, [str(root)]))
        if package is not None:
            yield root, package


# What marks a project's root: the search for the checkout stops there.
PROJECT_ROOT_MARKS = (".git", "pyproject.toml", "setup.py", "setup.cfg")


def enclosing_checkouts(start: Path) -> Iterator[Path]:
    """``start`` and the directories above it, up to the first that is a
    project's root."""
    for directory in (start, *start.parents):
        yield directory
        if any((directory / mark).exists() for mark in PROJECT_ROOT_MARKS):
            return


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


def installed_version(package: Path) -> Optional[str]:
    """The version of the distribution that installed the package directory
    ``package``: one whose metadata lies beside it and names it."""
    where = package.parent
    if importlib_metadata is not None:
        for dist in importlib_metadata.distributions(path=[str(where)]):
            if any(file.parts == (package.name, "__init__.py") for file in dist.files or ()):
                return dist.version
        return None
    # Python 3.6 and 3.7: the metadata files themselves (pkg_resources would
    # do, but importing it puts a finder on sys.meta_path that pytest's
    # importlib import mode cannot use).
    for info in sorted(where.glob("*.dist-info")) + sorted(where.glob("*.egg-info")):
        names = info / "top_level.txt"
        metadata = info / ("METADATA" if info.suffix == ".dist-info" else "PKG-INFO")
        try:
            if package.name not in names.read_text().split():
                continue
            lines = metadata.read_text(encoding="utf-8", errors="replace").splitlines()
        except OSError:
            continue
        for line in lines:
            if line.startswith("Version:"):
                return line.split(":", 1)[1].strip()
    return None
