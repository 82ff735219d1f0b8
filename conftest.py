"""pytest configuration for the whole project.

``ZETO_SDK``: when set, names a directory holding another ``zeto_sdk``
package to test instead of the one bundled at the project root.
"""

import importlib.util
import os
import sys
from pathlib import Path

import pytest

pytest_plugins = ["compiled_tests", "pytester"]


def pytest_configure(config):
    sdk = os.environ.get("ZETO_SDK")
    if not sdk:
        return
    sdk = Path(sdk).resolve()
    if not (sdk / "zeto_sdk" / "__init__.py").is_file():
        raise pytest.UsageError(f"ZETO_SDK={sdk}: no zeto_sdk package in this directory")
    loaded = sys.modules.get("zeto_sdk")
    origin = getattr(loaded, "__file__", None)
    if loaded is not None and (origin is None or Path(origin).resolve().parent != sdk / "zeto_sdk"):
        raise pytest.UsageError(f"ZETO_SDK={sdk}: zeto_sdk was already imported from {origin}")
    # Ahead of the project root, which pytest and ``python -m`` put on sys.path.
    sys.path.insert(0, str(sdk))


def pytest_report_header(config):
    spec = importlib.util.find_spec("zeto_sdk")
    where = Path(spec.origin).parent if spec and spec.origin else "not found"
    origin = "from ZETO_SDK" if os.environ.get("ZETO_SDK") else "bundled"
    return f"zeto_sdk: {where} ({origin})"
