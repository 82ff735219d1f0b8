"""The compiled unit tests of ``zeto_sdk.redis.zeto_data``, installable.

The distribution holds the compiled test module with its listing (under
``suite/``), the pytest plugin that collects it (``plugin``) and the one
command that runs it against an SDK (``zeto-compiled-tests``, or
``python -m zeto_compiled_tests``).

PYTEST_DONT_REWRITE: the command imports this package before pytest starts.
"""

from pathlib import Path

__version__ = "1.1"

# Where an installed distribution keeps the suite: the listing and its build
# under the node ids' own path, tests/unit/test_zeto_data.py, in plain
# directories (no packages). The ini file beside this module declares the
# listing and keeps any other settings out.
SUITE = Path(__file__).resolve().parent / "suite"
SUITE_LISTING = SUITE / "tests" / "unit" / "test_zeto_data.py"
INI = Path(__file__).resolve().parent / "pytest.ini"
