"""The compiled unit tests of zeto_sdk.redis.zeto_data.

``test_zeto_data`` is an extension module built from the C++ sources in this
directory by ``make build``. ``test_zeto_data.py`` beside it is the listing of
its statements, each on the line that the compiled module reports. The import
system prefers the build to the listing; where none is built for the running
interpreter, the listing refuses to stand in for it (see ``not_built``).
Loaded under any other name, or run as a script, the listing runs as plain
Python.
"""

import sys
from pathlib import Path


def not_built(name):
    """The error of importing the listing as the compiled module ``name``."""
    project = Path(__file__).resolve().parent.parent.parent
    python = sys.executable or "python3"
    version = ".".join(map(str, sys.version_info[:3]))
    return ImportError(
        f"{name} is not built for this interpreter, {python} (Python {version}): "
        f"build it with: make -C {project} build PYTHON={python}\n"
        f"({Path(__file__).with_name('test_zeto_data.py')} is only the listing of its statements)",
        name=name,
    )
