"""zeto-compiled-tests [--zeto-sdk DIR] [pytest options]: the installed
compiled tests against an SDK, in the environment that runs the command.

Without --zeto-sdk the SDK tested is the checkout's own zeto_sdk when the
command starts in one or below it (plain, src/ or namespace layout), else
the one this environment imports (installed, or editable). The run uses the settings
installed with the suite, never those of the directory it starts from (its
pytest.ini, pyproject.toml, conftest.py). It starts where the command
starts, which is pytest's rootdir: paths given as options and the files
that plugins write (--junitxml, --cov-report, --zeto-xfails) are taken from
there, and tests are named as in the suite's own project
(tests/unit/test_zeto_data.py::TestMeta::...). The exit code is pytest's.
"""

import os
import shlex
import sys
from pathlib import Path
from typing import List, Optional

import pytest

from zeto_compiled_tests import INI, SUITE_LISTING

# The run's cache (--lf, --ff) beside where it starts, apart from that
# project's own pytest cache.
CACHE_DIR = ".zeto-compiled-tests-cache"


def cache_disabled(args: List[str]) -> bool:
    """Whether the options turn pytest's cache plugin off (-p no:cacheprovider),
    read as pytest reads -p, from the command line and PYTEST_ADDOPTS."""
    words = shlex.split(os.environ.get("PYTEST_ADDOPTS", "")) + args
    plugins = [words[i + 1] for i, word in enumerate(words[:-1]) if word == "-p"]
    plugins += [word[2:] for word in words if word.startswith("-p") and word != "-p"]
    return "no:cacheprovider" in (plugin.strip() for plugin in plugins)


def pytest_args(args: List[str], start: Path) -> List[str]:
    """pytest's command line for a run of the installed suite from ``start``."""
    cache = [] if cache_disabled(args) else ["-o", f"cache_dir={start / CACHE_DIR}"]
    return ["-c", str(INI), f"--rootdir={start}", *cache, "--zeto-suite", *args]


def main(argv: Optional[List[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if not SUITE_LISTING.is_file():
        print(f"zeto-compiled-tests: no compiled suite is installed in {sys.prefix} (a plugin-only install, as the "
              f"project's development venv has): run `make run SDK=<your checkout>` in the project, or install "
              f"the zeto-compiled-tests wheel or sdist", file=sys.stderr)
        return int(pytest.ExitCode.USAGE_ERROR)
    return int(pytest.main(pytest_args(args, Path.cwd())))
