"""The module's shortcuts through the interpreter's private structures keep
applying. A build that counts every time a shortcut did not apply (and checks
its direct reads against the public API) runs each test many times against
the minimal SDK, whose records give every shortcut its chance, and against
the stand-in, whose records keep their attributes as instances of ordinary
classes do. A shortcut that stops applying misses at every run: after a first
few runs, no count may move in as many as half of the runs but those this
version is known to move (a miss now and then, when the interpreter itself
invalidates a type's tag, is no such thing). A shortcut that silently stops
applying on a new interpreter fails here, not only in a benchmark."""

import ast
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

SDKS = {"minimal": ROOT / "bench" / "minimal_sdk", "stand-in": ROOT}


def on_records(calls):
    """The tests that call (``calls``) or read an attribute of a local
    variable, which holds a record the module under test made."""
    found = []
    for _, name in LISTING.tests:
        nodes = [node for statement in LISTING.method(name).statements for node in ast.walk(statement.node)]
        local = {node.id for node in nodes if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store)}
        called = {id(node.func) for node in nodes if isinstance(node, ast.Call)}
        if any(isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in local
               and (id(node) in called) == calls for node in nodes):
            found.append(name)
    return tuple(found)


CALLS_METHODS, READS_ATTRIBUTES = on_records(calls=True), on_records(calls=False)
READS_SOURCE_KEY = tuple(name for _, name in LISTING.tests
                         if any("source_key" in statement.reads for statement in LISTING.method(name).statements))

# The slow paths that tests take by design, with why: (SDK, count, tests, the
# versions it applies to, why).
KNOWN = [
    (sdk, "tuple_call", ("test_parse_bytes_payload",), lambda v: v < (3, 8),
     "before 3.8 a method of a built-in type (str.encode) has no fast call") for sdk in SDKS
] + [
    ("stand-in", "method_lookup", CALLS_METHODS, lambda v: v < (3, 11),
     "before 3.11 a method of an instance with a dictionary takes the interpreter's method look-up"),
    ("stand-in", "attr_read", READS_ATTRIBUTES, lambda v: v < (3, 11),
     "and an attribute of such an instance is read the generic way"),
    ("stand-in", "attr_read", READS_SOURCE_KEY, lambda v: True, "source_key is a property, read the generic way"),
]


def expected(sdk, version):
    return {(count, test) for on, count, tests, applies, _ in KNOWN if on == sdk and applies(version) for test in tests}


@pytest.fixture(scope="module", params=sorted(SDKS))
def counted(request, tmp_path_factory):
    if not BUILD:
        pytest.skip("no counting build given (ZETO_COUNTING_BUILD, set by make checks)")
    tree = tmp_path_factory.mktemp("counting")
    unit = tree / "tests" / "unit"
    unit.mkdir(parents=True)
    (tree / "tests" / "__init__.py").write_text("")
    (unit / "__init__.py").write_text("")
    shutil.copy(BUILD, str(unit))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tree), str(SDKS[request.param])]))
    done = subprocess.run([sys.executable, "-c", SCRIPT], cwd=str(tree), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return request.param, json.loads(done.stdout)


def test_no_shortcut_stops_applying(counted):
    sdk, counted = counted
    if not counted["fast_paths"]:
        pytest.skip("the shortcuts are off for this version: the module runs on the public API alone")
    moved = {(count, test): n for test, counts in counted["moved"].items() for count, n in counts.items()}
    known = expected(sdk, sys.version_info[:2])
    unexpected = {key: n for key, n in moved.items() if n * 2 >= RUNS and key not in known}
    assert not unexpected, "slow paths taken in %d runs of each test: %s" % (RUNS, unexpected)
    missing = sorted(key for key in known if moved.get(key, 0) < RUNS)
    assert not missing, "slow paths no longer taken: %s" % missing
