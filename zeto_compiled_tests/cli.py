"""zeto-compiled-tests [--zeto-sdk DIR] [pytest options]: the installed
compiled tests against an SDK, in the environment that runs the command.

Without --zeto-sdk the SDK tested is the zeto_sdk that this environment
imports: installed, editable, or the checkout's own in the directory the
command starts from (plain, src/ or namespace layout). The run uses the
settings installed with the suite, never those of the directory it starts
from (its pytest.ini, pyproject.toml, conftest.py); paths given as options
(--junitxml, --zeto-xfails) are taken from there, as pytest takes them. The
exit code is pytest's.
"""

import sys
from pathlib import Path
from typing import List, Optional

from zeto_compiled_tests import INI, SUITE

# The run's cache (--lf, --ff) beside where it starts, apart from that
# project's own pytest cache.
CACHE_DIR = ".zeto-compiled-tests-cache"


def pytest_args(args: List[str], start: Path) -> List[str]:
    """pytest's command line for a run of the installed suite."""
    return ["-c", str(INI), f"--rootdir={SUITE}", "-o", f"cache_dir={start / CACHE_DIR}", "--zeto-suite", *args]


def main(argv: Optional[List[str]] = None) -> int:
    import pytest

    args = list(sys.argv[1:] if argv is None else argv)
    return int(pytest.main(pytest_args(args, Path.cwd())))
