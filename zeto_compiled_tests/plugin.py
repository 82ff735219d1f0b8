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

This module holds the options and the header; the mechanics are in modules
by concern: ``files`` (listings and builds), ``collect``, ``records`` (failure
reports as the listing, the re-run for values), ``sdk`` (the SDK under
test), ``xfails`` (known failures) and ``conformance`` (the summary).
"""

import os
import sys
from pathlib import Path
from typing import Any, List, Optional

import pytest

from zeto_compiled_tests import INI, SUITE, SUITE_LISTING, __version__
from zeto_compiled_tests.collect import (CompiledFunction, CompiledModule, pytest_collect_file,  # noqa: F401
                                         pytest_exception_interact, pytest_pycollect_makeitem,
                                         pytest_pycollect_makemodule, pytest_runtest_makereport)
from zeto_compiled_tests.conformance import DISTRIBUTION, Conformance, _compiled_tests_properties  # noqa: F401
from zeto_compiled_tests.files import EXTRA_LISTINGS_KEY, LISTINGS_INI, build_of, listings, node_id, running_python
from zeto_compiled_tests.sdk import SDK_PACKAGE, Sdk, sdk_choice, use_sdk
from zeto_compiled_tests.xfails import KNOWN_FAILURES_KEY, read_known_failures

# The hooks and the fixture imported above from the modules by concern are
# registered as this plugin's own.

def pytest_addoption(parser: pytest.Parser) -> None:
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


def pytest_configure(config: pytest.Config) -> None:
    if config.getoption("zeto_suite"):
        add_installed_suite(config)
        config.stash[EXTRA_LISTINGS_KEY] = [SUITE_LISTING]
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


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config: pytest.Config, parser: Any, args: List[str]) -> None:
    # Before pytest looks for conftest.py files along the paths given: the
    # suite's own node ids given name the installed listing. A run of the
    # installed suite alone (with its ini file, as the zeto-compiled-tests
    # command starts it, in pytest-xdist's workers too) takes every path of
    # the suite's own (tests, tests/unit) as the installed one, and without
    # paths collects the suite rather than the directory it starts in.
    namespace = early_config.known_args_namespace
    if not getattr(namespace, "zeto_suite", False):
        return
    given = namespace.file_or_dir
    alone = early_config.inipath is not None and early_config.inipath.resolve() == INI
    own = SUITE_LISTING.relative_to(SUITE).as_posix()
    for i, arg in enumerate(given):
        path = arg.split("::")[0]
        if path == own or (alone and not os.path.isabs(path) and path.strip("/") and (SUITE / path).exists()):
            args[args.index(arg)] = given[i] = str(SUITE / arg)
    if not given and alone:
        given.append(str(SUITE_LISTING))
        args.append(given[0])


# The way down to the installed suite's listing, and the environment it lies in.
SUITE_WAY = frozenset(SUITE_LISTING.parents) | {SUITE_LISTING}
ENVIRONMENT = Path(sys.prefix).resolve()
SESSION_KEY = pytest.StashKey()


def pytest_sessionstart(session: pytest.Session) -> None:
    session.config.stash[SESSION_KEY] = session


@pytest.hookimpl(tryfirst=True)
def pytest_ignore_collect(collection_path: Path, config: pytest.Config) -> Optional[bool]:
    # With --zeto-suite, where the suite's listing is not given as a path of
    # its own (it lies inside a directory given), pytest goes down the way to
    # it even through the environment the suite is installed in, which it
    # passes over otherwise (a venv inside that directory), and nowhere else
    # in that environment.
    session = config.stash.get(SESSION_KEY, None)
    if (not config.getoption("zeto_suite", False) or ENVIRONMENT not in SUITE_LISTING.parents
            or session is None or session.isinitpath(SUITE_LISTING)):
        return None
    if collection_path.resolve() in SUITE_WAY and not collection_path.is_symlink():  # a venv's lib64 leads there too
        return False
    parent = collection_path.parent.resolve()
    if parent in SUITE_WAY and (parent == ENVIRONMENT or ENVIRONMENT in parent.parents):
        return True
    return None


def add_installed_suite(config: pytest.Config) -> None:
    """Puts the installed suite's listing among the paths the session
    collects, beside those given (or the directory pytest searches)."""
    if not SUITE_LISTING.is_file():
        raise pytest.UsageError(f"--zeto-suite: {DISTRIBUTION} is not installed here ({SUITE_LISTING} is missing)")
    given = [Path(arg.split("::")[0]).resolve() for arg in config.args]
    if SUITE_LISTING in given:
        return
    # pytest 8 and newer (pytest.Dir) walk the paths given as one tree, and
    # a path given inside a directory given is then dropped, or drops the
    # rest: the suite is reached from that directory instead (see
    # pytest_ignore_collect).
    if hasattr(pytest, "Dir") and any(path in SUITE_LISTING.parents for path in given):
        return
    config.args.append(str(SUITE_LISTING))


def pytest_report_header(config: pytest.Config) -> List[str]:
    if not listings(config):
        return []
    python = running_python()
    choice = sdk_choice(config)  # the SDK, or the error that says why there is none
    shown = f"{choice.package} ({choice.why})" if isinstance(choice, Sdk) else choice
    lines = [f"{SDK_PACKAGE}: {shown}", f"suite: {DISTRIBUTION} {__version__}"]
    for listing in sorted(listings(config)):
        build = build_of(listing)
        shown = node_id(listing, config)
        if build is None:
            lines.append(f"compiled tests: {shown} is not built for {python}")
        else:
            lines.append(f"compiled tests: {shown} runs {build.name}, built for {python}")
    return lines
