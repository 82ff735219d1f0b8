"""zeto-compiled-tests [--zeto-sdk DIR] [pytest options]: the installed
compiled tests against an SDK, in the environment that runs the command.

Without --zeto-sdk the SDK tested is the checkout's own zeto_sdk when the
command starts in one or below it (plain, src/ or namespace layout), else
the one this environment imports (installed, or editable). The run uses the settings
installed with the suite, never those of the directory it starts from (its
pytest.ini, pyproject.toml, conftest.py); paths given as options
(--junitxml, --zeto-xfails) are taken from there, as pytest takes them.
Tests are named as in the suite's own project
(tests/unit/test_zeto_data.py::TestMeta::...). The exit code is pytest's.
"""

import os
import sys
from pathlib import Path
from typing import Any, List, Optional

import pytest

from zeto_compiled_tests import INI, SUITE

# The run's cache (--lf, --ff) beside where it starts, apart from that
# project's own pytest cache.
CACHE_DIR = ".zeto-compiled-tests-cache"


class StartIn:
    """Has pytest see the run start in the suite's directory, so that it
    names the tests and their files as the suite does
    (tests/unit/test_zeto_data.py...); then, once pytest has taken note,
    goes back to where the command started, so that relative paths in
    options (--junitxml, --zeto-sdk, --zeto-xfails) are taken from there."""

    def __init__(self, start: Path) -> None:
        self.start = start

    @pytest.hookimpl(tryfirst=True)
    def pytest_load_initial_conftests(self, early_config: pytest.Config, parser: Any, args: List[str]) -> None:
        os.chdir(str(self.start))


def pytest_args(args: List[str], start: Path) -> List[str]:
    """pytest's command line for a run of the installed suite."""
    return ["-c", str(INI), f"--rootdir={SUITE}", "-o", f"cache_dir={start / CACHE_DIR}", "--zeto-suite", *args]


def main(argv: Optional[List[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    start = Path.cwd()
    os.chdir(str(SUITE))
    try:
        return int(pytest.main(pytest_args(args, start), plugins=[StartIn(start)]))
    finally:
        os.chdir(str(start))
