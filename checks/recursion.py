"""What the running interpreter does with a Python function that calls itself
without end through ``f(**kwargs)``, asked once of a child process so that a
check never takes the machine down. Every version raises RecursionError but
Debian's 3.15.2: there a call that unpacks its arguments (``f(*args)``,
``f(**kwargs)``) pushes the callee's frame without counting it against the
recursion limit, so such a function grows by millions of frames until memory
runs out, then crashes (a plain ``f()`` still meets the limit)."""

import functools
import os
import subprocess
import sys

# The function in plain Python, no module of ours loaded, in a child held to
# 2 GiB of address space and a minute: it prints what it raised.
ENDLESS_ALONE = """
import resource
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
def endless(**kwargs):
    return endless(**kwargs)
try:
    endless()
except RecursionError:
    print("RecursionError")
"""


@functools.lru_cache(maxsize=None)
def endless_recursion_unbounded():
    """None when the interpreter raises RecursionError for such a function;
    otherwise what it did instead, as the reason to pass such cases over."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        done = subprocess.run([sys.executable, "-c", ENDLESS_ALONE], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    except subprocess.TimeoutExpired:
        outcome = "it ran for a minute without raising"
    else:
        if done.stdout.strip() == "RecursionError":
            return None
        outcome = f"held to 2 GiB it ended with exit status {done.returncode} {done.stderr.strip()[-200:]!r}"
    return (f"Python {sys.version.split()[0]} itself never raises RecursionError for a function that "
            f"calls itself without end: {outcome}")
