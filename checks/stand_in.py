"""Copies of the project's stand-in SDK with faults put in, as an SDK
author's checkout would hold them (for the checks and the benchmark)."""

import shutil
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# Source keys built with "-": the two tests of the source key fail.
DASHED_KEY = [('return f"{self.id}_{self.output_port_idx}"', 'return f"{self.id}-{self.output_port_idx}"')]


def copy_sdk(where, *edits):
    """The stand-in's ``zeto_sdk`` copied into the directory ``where``, with
    (old, new) text edits of its ``zeto_data.py``."""
    shutil.copytree(str(ROOT / "zeto_sdk"), str(where / "zeto_sdk"), ignore=shutil.ignore_patterns("__pycache__"))
    break_sdk(where, *edits)
    return where


def break_sdk(sdk_root, *edits):
    """Rewrite ``zeto_data.py`` under ``sdk_root`` with (old, new) text edits,
    each of which must apply."""
    path = sdk_root / "zeto_sdk" / "redis" / "zeto_data.py"
    text = path.read_text()
    for old, new in edits:
        assert old in text, f"edit target vanished from the SDK: {old!r}"
        text = text.replace(old, new)
    path.write_text(text)
