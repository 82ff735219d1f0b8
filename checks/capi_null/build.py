"""Builds the checks' helper extension ``_capi_null`` for the running
interpreter, with the C compiler the interpreter was built with (and, for the
benchmark, its empty extension module: any C source, named by its stem).

    python checks/capi_null/build.py <output directory>

Prints the path of the built module. The helper is for the checks only and
never goes near the product module's build.
"""

import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

SOURCE = Path(__file__).resolve().with_name("capi_null.c")


def build(out_dir, source=SOURCE):
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    target = out_dir / (Path(source).stem + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and target.stat().st_mtime >= Path(source).stat().st_mtime:
        return target
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    flags = ["-shared", "-fPIC", "-O1", "-Wall", "-Werror", "-I", sysconfig.get_path("include")]
    if sysconfig.get_config_var("Py_DEBUG"):
        flags.append("-DPy_DEBUG")  # Debian's debug headers do not say so themselves
    # Built under a private name and moved into place, so that processes
    # building it at the same time never load a half-written file.
    partial = target.with_name(f"{target.name}.{os.getpid()}.tmp")
    try:
        subprocess.run([*compiler, *flags, str(source), "-o", str(partial)], check=True)
        os.replace(partial, target)
    finally:
        if partial.exists():
            partial.unlink()
    return target


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print(build(sys.argv[1]))
