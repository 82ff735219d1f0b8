"""The module's shortcuts through the interpreter's private structures keep
applying. A build that counts every time a shortcut did not apply (and checks
its direct reads of the thread state against the public API) runs each test
many times against the minimal SDK, whose records give every shortcut its
chance. A shortcut that stops applying misses at every run: after a first
few runs, no count may move in as many as half of the runs but those this
version is known to move (a miss now and then, when the interpreter itself
invalidates a type's tag, is no such thing). A shortcut that silently stops
applying on a new interpreter fails here, not only in a benchmark."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from listing import LISTING

ROOT = Path(__file__).resolve().parent.parent
BUILD = os.environ.get("ZETO_COUNTING_BUILD")
RUNS = 50

SCRIPT = """
import json, sys
import tests.unit.test_zeto_data as module

counts = module._slow_paths
tests = %r
for cls, name in tests:
    for _ in range(3):
        getattr(getattr(module, cls)(), name)()
moved = {}
for cls, name in tests:
    test = getattr(getattr(module, cls)(), name)
    before = counts()
    for _ in range(%d):
        test()
    after = counts()
    moved[name] = {k: after[k] - before[k] for k in after if k != "fast_paths" and after[k] != before[k]}
print(json.dumps({"fast_paths": counts()["fast_paths"], "moved": moved}))
""" % (LISTING.tests, RUNS)

# The slow paths that a test takes on some versions by design, with why.
KNOWN = {
    ("tuple_call", "test_parse_bytes_payload"): (
        lambda v: v < (3, 8), "before 3.8 a method of a built-in type (str.encode) has no fast call"),
}


def expected(version):
    return {(count, test) for (count, test), (applies, _) in KNOWN.items() if applies(version)}


@pytest.fixture(scope="module")
def counted(tmp_path_factory):
    if not BUILD:
        pytest.skip("no counting build given (ZETO_COUNTING_BUILD, set by make checks)")
    tree = tmp_path_factory.mktemp("counting")
    unit = tree / "tests" / "unit"
    unit.mkdir(parents=True)
    (tree / "tests" / "__init__.py").write_text("")
    (unit / "__init__.py").write_text("")
    shutil.copy(BUILD, str(unit))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tree), str(ROOT / "bench" / "minimal_sdk")]))
    done = subprocess.run([sys.executable, "-c", SCRIPT], cwd=str(tree), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_no_shortcut_stops_applying(counted):
    if not counted["fast_paths"]:
        pytest.skip("the shortcuts are off for this version: the module runs on the public API alone")
    moved = {(count, test): n for test, counts in counted["moved"].items() for count, n in counts.items()}
    unexpected = {key: n for key, n in moved.items()
                  if n * 2 >= RUNS and key not in expected(sys.version_info[:2])}
    assert not unexpected, "slow paths taken in %d runs of each test: %s" % (RUNS, unexpected)
    for key in expected(sys.version_info[:2]):
        assert moved.get(key, 0) >= RUNS, "%s no longer taken by %s: %s" % (key[0], key[1], KNOWN[key][1])
