"""Collection and reporting of the compiled test module, run in a scratch copy
of the project through pytest's ``pytester``."""

import collections
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from xml.etree import ElementTree

import pytest

from listing import LISTING as SHAPE
from stand_in import DASHED_KEY, break_sdk, copy_sdk
from zeto_compiled_tests import __version__

ROOT = Path(__file__).resolve().parents[1]
EXT = importlib.machinery.EXTENSION_SUFFIXES[0]
BUILT = ROOT / "tests" / "unit" / f"test_zeto_data{EXT}"
SO = f"tests/unit/test_zeto_data{EXT}"
LISTING = "tests/unit/test_zeto_data.py"
# The same build for the debug interpreter of this version, or vice versa.
_impl, _version, *_platform = sysconfig.get_config_var("SOABI").split("-")
_other = _version[:-1] if _version.endswith("d") else _version + "d"
OTHER_BUILD = f"test_zeto_data.{'-'.join([_impl, _other, *_platform])}.so"
# A build for another minor version, e.g. one made by a Python since replaced.
OTHER_VERSION = f"test_zeto_data.cpython-3{sys.version_info[1] + 1}-x86_64-linux-gnu.so"
# The suite's shape, from its listing: tests by class, and the lines of the
# statements the failures below stop at.
CLASSES = {cls: len(methods) for cls, (_, methods) in SHAPE.classes.items()}
TOTAL = len(SHAPE.tests)
KEY_LINES = [SHAPE.assertion_line(name, "source_key")
             for name in ("test_init_with_node_sets_fields", "test_to_dict_returns_dict_with_id")]
line_of = SHAPE.assertion_line


def not_matching(cls, word):
    """The tests of ``cls`` whose names do not hold ``word``."""
    return sum(word not in method.name for method in SHAPE.classes[cls][1])


def named(word):
    """The tests whose names hold ``word``."""
    return sum(word in name for _, name in SHAPE.tests)

pytestmark = pytest.mark.skipif(not BUILT.exists(), reason=f"{BUILT.name} not built (make build)")


@pytest.fixture
def project(pytester, monkeypatch):
    """A copy of the project: plugin, ini file, bundled SDK, the listing and
    the built test module."""
    monkeypatch.delenv("ZETO_SDK", raising=False)
    # The stand-in is tested only when asked for by name.
    monkeypatch.setenv("PYTEST_ADDOPTS", "--zeto-stand-in")
    # Only the plugins a run names: the project venv's others (hypothesis's
    # alone costs a second per run) stay out, and the copy's conftest.py
    # loads the collection plugin.
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    for name in ("conftest.py", "pytest.ini", "tests/__init__.py", "tests/unit/__init__.py", LISTING, SO):
        (pytester.path / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / name, pytester.path / name)
    for package in ("zeto_sdk", "zeto_compiled_tests"):
        shutil.copytree(ROOT / package, pytester.path / package, ignore=shutil.ignore_patterns("__pycache__"))
    (pytester.path / "checks").mkdir()  # named in testpaths; the checks themselves stay out
    return pytester.path


def run(pytester, *args, python_flags=()):
    return pytester.run(sys.executable, *python_flags, "-m", "pytest", "-p", "no:cacheprovider", *args)


# Sets doctest's registry on the module before pytest collects it, and
# checks that collection leaves it in place.
DOCTEST_REGISTRY = """
from zeto_compiled_tests import plugin as compiled_tests

def pytest_collectstart(collector):
    if isinstance(collector, compiled_tests.CompiledModule):
        collector.obj.__test__ = {}

def pytest_collection_finish(session):
    for item in session.items:
        assert item.module.__test__ == {}
"""


# Turns one test off as pytest lets a test function be turned off.
TURNED_OFF = """
from zeto_compiled_tests import plugin as compiled_tests

def pytest_collectstart(collector):
    if isinstance(collector, compiled_tests.CompiledModule):
        collector.obj.TestMetaModule.test_to_dict.__test__ = False
"""


def older_copy_imported_first(project, monkeypatch):
    """An older interpreted copy of these tests (test_to_dict was test_as_dict)
    under the compiled module's name, first on sys.path and imported before
    collection, as an SDK checkout's own tests package may be."""
    make_tests_package(project / "old")
    first, _, rest = (project / LISTING).read_text().replace("def test_to_dict(", "def test_as_dict(").split("\n", 2)
    (project / "old" / LISTING).write_text(first + "\n\n" + rest)
    (project / "old_copy.py").write_text('import sys\nsys.path.insert(0, "old")\nimport tests.unit.test_zeto_data\n')
    return ("-p", "old_copy")


def through_a_symlink(project, monkeypatch):
    """pytest's paths are the link's; the listing declared resolves to the project's."""
    link = project.parent / (project.name + "-link")
    link.symlink_to(project, target_is_directory=True)
    return (f"../{link.name}/tests/unit",)


def ini_file_apart_from_the_rootdir(project, monkeypatch):
    (project / "ci").mkdir()
    ini = (project / "pytest.ini").read_text().replace("compiled_listings = ", "compiled_listings = ../")
    (project / "ci" / "pytest.ini").write_text(ini)
    # The ini file's directory bounds the conftest.py files loaded.
    return ("-c", "ci/pytest.ini", "--rootdir", ".", "-p", "zeto_compiled_tests.plugin", "tests/unit")


def in_the_build_directory(project, monkeypatch):
    monkeypatch.chdir(project / "tests" / "unit")
    return (Path(SO).name,)


# The node ids are the listing's, whichever build runs, however the module is
# named on the command line and wherever pytest starts. ``setup`` is a plugin
# for the run, or a function that prepares the project and gives arguments.
@pytest.mark.parametrize(
    "setup, args",
    [(None, ()), (DOCTEST_REGISTRY, ()), (TURNED_OFF, ()), (None, (SO,)),
     (None, ("--pyargs", "tests.unit.test_zeto_data")), (None, ("--import-mode=importlib",)),
     (older_copy_imported_first, ("--import-mode=importlib",)), (older_copy_imported_first, ()),
     (through_a_symlink, ()), (ini_file_apart_from_the_rootdir, ()), (in_the_build_directory, ())],
    ids=["plain", "doctest-registry", "turned-off", "build-named", "pyargs", "importlib-mode",
         "older-copy-importlib", "older-copy", "symlink", "ini-apart", "build-directory"],
)
def test_collects_every_test_under_its_node_id(project, pytester, monkeypatch, setup, args):
    if callable(setup):
        args = setup(project, monkeypatch) + args
    elif setup:
        pytester.makepyfile(extra_plugin=setup)
        args = ("-p", "extra_plugin") + args
    result = run(pytester, "--collect-only", "-q", "-W", "error::pytest.PytestCollectionWarning", *args)
    ids = [line for line in result.outlines if "::" in line]
    assert all(i.startswith(LISTING + "::") for i in ids), ids
    per_class = {cls: sum(i.split("::")[1] == cls for i in ids) for cls in CLASSES}
    turned_off = setup is TURNED_OFF
    assert per_class == dict(CLASSES, TestMetaModule=CLASSES["TestMetaModule"] - turned_off)
    assert (f"{LISTING}::TestMetaModule::test_to_dict" in ids) is not turned_off
    assert result.ret == 0
    assert "not a function" not in result.stdout.str()


def installed_plugin_version():
    """The version of the plugin installed in this environment, by its
    metadata directory's name, or ``None``."""
    found = list(Path(sysconfig.get_paths()["purelib"]).glob("zeto_compiled_tests-*-info"))
    return found[0].name.split("-")[1].rsplit(".", 1)[0] if found else None


def test_the_installed_plugin_is_found_however_pytest_starts(project, pytester, monkeypatch):
    """The console script, another directory, importlib import mode, the
    project's conftest.py out of play: only the installed plugin is left."""
    if installed_plugin_version() is None:
        pytest.skip("the plugin is not installed in this environment (make build installs it)")
    monkeypatch.delenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD")
    elsewhere = project / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    result = pytester.run(str(Path(sys.executable).with_name("pytest")), "-p", "no:cacheprovider",
                          "-p", "no:hypothesispytest", "--noconftest",
                          "--import-mode=importlib", "--rootdir", str(project), "-c", str(project / "pytest.ini"),
                          str(project / "tests" / "unit"))
    result.assert_outcomes(passed=TOTAL)


def test_the_command_without_the_suite_says_what_to_do(tmp_path):
    """The plugin-only install (this project's venv) has the command and no
    suite: one line, saying what to run instead, and pytest's usage error."""
    suite = Path(sysconfig.get_paths()["purelib"]) / "zeto_compiled_tests" / "suite"
    if installed_plugin_version() is None or suite.exists():
        pytest.skip("no plugin-only install in this environment (make build makes one)")
    done = subprocess.run([str(Path(sys.executable).with_name("zeto-compiled-tests"))], cwd=str(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert (done.returncode, done.stdout, len(done.stderr.splitlines())) == (pytest.ExitCode.USAGE_ERROR, "", 1)
    assert "no compiled suite is installed" in done.stderr and "make run SDK=" in done.stderr


NEEDS_XDIST = pytest.mark.skipif(importlib.util.find_spec("xdist") is None, reason="pytest-xdist not installed")


# A test module of the user's that imports a compiled test class.
IMPORTING = "tests/unit/test_imports_compiled.py"
XUNIT1 = ("-o", "junit_family=xunit1")  # which records each test's file and line


# ``imported``: a test class that a test module of the user's imports, which
# pytest collects in that module too.
@pytest.mark.parametrize(
    "python_flags, args, imported",
    [
        pytest.param((), (), None, id="plain"),
        pytest.param(("-O",), (), None, id="optimised"),
        pytest.param((), ("-p", "xdist", "-n", "2"), None, id="xdist", marks=NEEDS_XDIST),
        pytest.param((), ("-p", "xdist", "-n", "2", "--dist", "loadfile"), None, id="xdist-loadfile",
                     marks=NEEDS_XDIST),
        pytest.param((), XUNIT1 + ("-p", "xdist", "-n", "2"), None, id="xunit1-xdist", marks=NEEDS_XDIST),
        pytest.param((), XUNIT1, "TestMeta", id="class-imported"),
        pytest.param((), ("--import-mode=importlib",), "TestMetaSource", id="class-imported-importlib"),
    ],
)
def test_runs_all_tests(project, pytester, python_flags, args, imported):
    expected = {f"tests.unit.test_zeto_data.{cls}": n for cls, n in CLASSES.items()}
    if imported:
        (project / IMPORTING).write_text(f"from tests.unit.test_zeto_data import {imported}\n")
        expected[f"tests.unit.test_imports_compiled.{imported}"] = CLASSES[imported]
    result = run(pytester, *args, "--junitxml=junit.xml", python_flags=python_flags)
    result.assert_outcomes(passed=sum(expected.values()))
    root = ElementTree.parse(str(project / "junit.xml")).getroot()
    classes = collections.Counter(case.get("classname") for case in root.iter("testcase"))
    assert classes == expected
    if "junit_family=xunit1" in args:
        # Where pytest places each test (counting lines from 0): at its def in the listing.
        places = {(case.get("classname"), case.get("name")): (case.get("file"), case.get("line"))
                  for case in root.iter("testcase")}
        assert places == {(cls, name): (LISTING, str(SHAPE.method(name, cls.rsplit(".", 1)[1]).first_line - 1))
                          for cls, name in places}
    # The conformance summary, and its facts as properties of the test suite
    # (pytest-xdist's controller, which writes the XML, takes none).
    version, sdk = __version__, str((project / "zeto_sdk").resolve())
    result.stdout.fnmatch_lines(["*= zeto_sdk conformance =*",
                                 *(f"{cls} *passed {n} of {n}" for cls, n in CLASSES.items()),
                                 f"suite: zeto-compiled-tests {version}", f"zeto_sdk tested: {sdk}"])
    if "xdist" not in args:
        expected = {"compiled_tests.version": version, "zeto_sdk.path": sdk}
        for cls, n in CLASSES.items():
            expected.update({f"compiled_tests.{cls}.{key}": str(value)
                             for key, value in (("total", n), ("passed", n), ("failed", 0), ("not_run", 0))})
        properties = {p.get("name"): p.get("value") for p in root.iter("property")}
        assert {name: properties.get(name) for name in expected} == expected


@pytest.mark.parametrize(
    "args, selected",
    [(("-k", "TestMetaModule"), CLASSES["TestMetaModule"]), (("-k", "to_dict"), named("to_dict")),
     (("-k", "parse"), named("parse")), (("-k", "TestZetoData and not parse"), not_matching("TestZetoData", "parse")),
     ((f"{LISTING}::TestMeta",), CLASSES["TestMeta"]), ((f"{SO}::TestMeta::test_to_dict_has_required_keys",), 1),
     (("--deselect", f"{LISTING}::TestMetaModule", "--deselect", f"{LISTING}::TestZetoData::test_parse_bytes_payload"),
      TOTAL - CLASSES["TestMetaModule"] - 1)],
    ids=["class", "to_dict", "parse", "expression", "listing-class", "build-test", "deselect"],
)
def test_selection(project, pytester, args, selected):
    result = run(pytester, *args)
    assert result.parseoutcomes()["passed"] == selected
    assert result.ret == 0


@pytest.mark.parametrize(
    "stale",
    [OTHER_BUILD, OTHER_VERSION, "test_zeto_data.abi3.so", "test_zeto_data.so"],
)
def test_builds_the_importer_would_not_load_are_ignored(project, pytester, stale):
    shutil.copy(project / SO, project / "tests" / "unit" / stale)
    result = run(pytester)
    result.assert_outcomes(passed=TOTAL)
    assert stale not in result.stdout.str()


@pytest.mark.parametrize(
    "edits, failing, location",
    [
        ([('FIELDS = ("id", "type", "name", "feed_port_idx")', 'FIELDS = ("id", "type", "name", "feed_idx")'),
          ("self.feed_port_idx = feed_port_idx", "self.feed_idx = feed_port_idx")],
         "TestMetaModule::test_init_with_node",
         f"{LISTING}:{line_of('test_init_with_node', 'feed_port_idx')}: AttributeError"),
        ([("if value is not None:", "if True:")],
         "TestMetaSource::test_update_ignores_none_values",
         f"{LISTING}:{line_of('test_update_ignores_none_values', 'id')}: AssertionError"),
        ([('"result": [] if result is None else result', '"result": result')],
         "TestZetoData::test_create_empty_result_defaults_to_list",
         f"{LISTING}:{line_of('test_create_empty_result_defaults_to_list', 'result')}: AssertionError"),
    ],
    ids=["attribute-error", "assertion", "assertion-in-last-class"],
)
def test_failure_names_the_test_file_and_line(project, pytester, edits, failing, location):
    break_sdk(project, *edits)
    result = run(pytester)
    result.assert_outcomes(passed=TOTAL - 1, failed=1)
    cls = failing.split("::")[0]
    result.stdout.fnmatch_lines([location, f"{cls} *passed {CLASSES[cls] - 1} of {CLASSES[cls]}, 1 failed",
                                 f"FAILED {LISTING}::{failing}*"])
    assert "INTERNALERROR" not in result.stdout.str() and "???" not in result.stdout.str()


def make_tests_package(path):
    """Packages ``tests`` and ``tests.unit`` of their own at ``path``, as an
    SDK checkout or another project tends to have."""
    (path / "tests" / "unit").mkdir(parents=True)
    for package in ("tests", "tests/unit"):
        (path / package / "__init__.py").write_text("")


def dashed_on_reads(*reads):
    """Edits by which source keys are dashed on the given reads (from 1) only."""
    dash = "'-' if not _READS.append(1) and len(_READS) in %r else '_'" % (reads,)
    return [('return f"{self.id}_{self.output_port_idx}"', 'return f"{self.id}{' + dash + '}{self.output_port_idx}"'),
            ("SUPPORTED_VERSIONS = (1,)", "SUPPORTED_VERSIONS = (1,)\n_READS = []")]


# Wrong only the first time it is read: a re-run cannot reproduce the failure.
DASHED_ONCE = dashed_on_reads(1)
# The re-run fails too, but at another assertion (the type, read after the first dashed key).
OTHER_ASSERTION = DASHED_ONCE + [('self.type = _node_entry(src_node, "type")',
                                  'self.type = "other" if len(_READS) == 1 else _node_entry(src_node, "type")')]
# A re-run of the first failure would make the second test read the third, dashed key.
DASHED_FIRST_AND_THIRD = dashed_on_reads(1, 3)
STATEMENT = '    assert src.source_key == "node-1_0"'
NOT_REPRODUCED = ("E       AssertionError: (values not shown: the failure could not be reproduced by a re-run "
                  "of this test from its listing)")
VALUES = ["AssertionError: assert 'node-1-0' == 'node-1_0'", "*- node-1_0", "*+ node-1-0",
          "*(values from a re-run of this test from its listing, interpreted; *)"]


@pytest.mark.parametrize(
    "style, elsewhere, edits, expected",
    [
        ("long", False, DASHED_KEY, ["    def test_init_with_node_sets_fields(self):",
                                     "        src = MetaSource(src_node=NODE, src_output_port=0)",
                                     ">   " + STATEMENT, *("E       " + v for v in VALUES),
                                     f"{LISTING}:{KEY_LINES[0]}: AssertionError",
                                     ">   " + STATEMENT.replace("src.source_key", 'd["source_key"]').replace("0", "1"),
                                     "E       AssertionError: assert 'node-1-1' == 'node-1_1'",
                                     f"{LISTING}:{KEY_LINES[1]}: AssertionError"]),
        ("short", True, DASHED_KEY, [f"*/{LISTING}:{KEY_LINES[0]}: in test_init_with_node_sets_fields",
                                     STATEMENT, *("E   " + v for v in VALUES)]),
        ("line", True, DASHED_KEY, [f"*/{LISTING}:{KEY_LINES[0]}: " + VALUES[0]]),
        ("native", True, DASHED_KEY, [f'  File "*/{LISTING}", line {KEY_LINES[0]}, in test_init_with_node_sets_fields',
                                      STATEMENT, VALUES[0]]),
        ("long", True, DASHED_ONCE, [">   " + STATEMENT, NOT_REPRODUCED]),
        ("long", False, OTHER_ASSERTION, [">   " + STATEMENT, NOT_REPRODUCED]),
        # No report to show values in: no re-run either, which would leave
        # the third, dashed key to the second test.
        ("no", False, DASHED_FIRST_AND_THIRD, [f"FAILED {LISTING}::TestMetaSource::test_init_with_node_sets_fields*"]),
        # The debugger's current line, read by its frame's file name.
        ("pdb", True, DASHED_KEY, [f"> */{LISTING}({KEY_LINES[0]})test_init_with_node_sets_fields()",
                                   "-> " + STATEMENT.strip()]),
    ],
    ids=["long", "short-elsewhere", "line-elsewhere", "native-elsewhere", "not-reproduced", "other-assertion",
         "no-traceback", "pdb-elsewhere"],
)
def test_failure_report_shows_the_statement_and_values(project, pytester, monkeypatch, style, elsewhere, edits,
                                                       expected):
    break_sdk(project, *edits)
    args = ["--pdb"] if style == "pdb" else ["--tb", style]
    if elsewhere:
        # Run from another directory that holds a file of the listing's name,
        # which is also on sys.path: the report shows the project's listing.
        other = project / "elsewhere"
        make_tests_package(other)
        (other / LISTING).write_text("".join(f"# not the listing, line {n}\n" for n in range(1, 120)))
        monkeypatch.chdir(other)
        args += ["--rootdir", str(project), "-c", str(project / "pytest.ini"), str(project / "tests" / "unit")]
    result = run(pytester, *args, "-k", "test_init_with_node_sets_fields or test_to_dict_returns_dict_with_id")
    result.stdout.fnmatch_lines(expected)
    out = result.stdout.str()
    assert "not the listing" not in out and "???" not in out
    if style == "pdb":
        result.assert_outcomes(failed=1, deselected=TOTAL - 2)  # the debugger quits at the end of its input
    elif edits is DASHED_KEY:
        result.assert_outcomes(failed=2, deselected=TOTAL - 2)
    else:
        # The first test alone fails, and no values are shown for it.
        assert "assert '" not in out
        result.assert_outcomes(passed=1, failed=1, deselected=TOTAL - 2)


XFAILS = (f"# known failures of the SDK\n"
          f"{LISTING}::TestMetaSource::test_init_with_node_sets_fields  dashed source keys  # since 2.0\n\n"
          f"{LISTING}::TestMetaSource::test_to_dict_returns_dict_with_id\n")
XFAILED = [f"TestMetaSource *passed {CLASSES['TestMetaSource'] - 2} of {CLASSES['TestMetaSource']}, 2 xfailed",
           f"TestMetaModule *passed {CLASSES['TestMetaModule']} of {CLASSES['TestMetaModule']}",
           f"xfailed {LISTING}::TestMetaSource::test_init_with_node_sets_fields - dashed source keys",
           f"xfailed {LISTING}::TestMetaSource::test_to_dict_returns_dict_with_id - listed in xfails.txt:4"]
PASSES = [f"{LISTING}::TestMetaSource::test_{name} passed: remove its entry at xfails.txt:{line}"
          for name, line in (("init_with_node_sets_fields", 2), ("to_dict_returns_dict_with_id", 4))]
UNIT = "../tests/unit"
USAGE = pytest.ExitCode.USAGE_ERROR


# The file is read from where pytest starts, here a directory beside the
# project; the node ids are the project's.
@pytest.mark.parametrize(
    "entries, edits, args, ret, outcomes, lines",
    [
        (XFAILS, DASHED_KEY, (UNIT,), 0, dict(passed=TOTAL - 2, xfailed=2), XFAILED),
        pytest.param(XFAILS, DASHED_KEY, (UNIT, "-p", "xdist", "-n", "2"), 0, dict(passed=TOTAL - 2, xfailed=2),
                     XFAILED,
                     marks=NEEDS_XDIST),
        # Listed, but deselected or not named on the command line: not unknown.
        (XFAILS, DASHED_KEY, (UNIT, "-k", "not to_dict"), 0,
         dict(passed=sum(not_matching(cls, "to_dict") for cls in CLASSES) - 1, xfailed=1),
         [f"TestMetaSource *passed {not_matching('TestMetaSource', 'to_dict') - 1} of {CLASSES['TestMetaSource']}, "
          f"1 xfailed, {CLASSES['TestMetaSource'] - not_matching('TestMetaSource', 'to_dict')} not run",
          f"TestMeta *passed {not_matching('TestMeta', 'to_dict')} of {CLASSES['TestMeta']}, "
          f"{CLASSES['TestMeta'] - not_matching('TestMeta', 'to_dict')} not run"]),
        (XFAILS, DASHED_KEY, (f"../{LISTING}::TestMeta",), 0, dict(passed=CLASSES["TestMeta"]),
         [f"TestMeta *passed {CLASSES['TestMeta']} of {CLASSES['TestMeta']}", "suite: *"]),
        # Known failures that pass fail the run, each naming its entry.
        (XFAILS, (), (UNIT,), 1, dict(passed=TOTAL - 2, failed=2),
         [*PASSES, f"TestMetaSource *passed {CLASSES['TestMetaSource']} of {CLASSES['TestMetaSource']}", *PASSES]),
        (XFAILS + f"{LISTING}::TestMeta::test_nope  # a typo\n", DASHED_KEY, (UNIT, "-k", "TestZetoData"), 2,
         dict(errors=1), ["*ERROR collecting*", "--zeto-xfails lists tests that this module does not hold:",
                          f"  xfails.txt:5: {LISTING}::TestMeta::test_nope"]),
        (XFAILS + "tests/unit/test_other.py::TestMeta::test_to_dict\n", (), (UNIT,), USAGE, None,
         ["ERROR: xfails.txt:5: tests/unit/test_other.py::TestMeta::test_to_dict names no test of the compiled *"]),
        (XFAILS + XFAILS.splitlines()[3], (), (UNIT,), USAGE, None,
         [f"ERROR: xfails.txt:5: {LISTING}::*_with_id is listed already, at xfails.txt:4"]),
        (None, (), (UNIT,), USAGE, None, ["ERROR: --zeto-xfails=xfails.txt: cannot read */elsewhere/xfails.txt: *"]),
    ],
    ids=["xfailed", "xfailed-xdist", "deselected", "not-named", "passing", "unknown-test", "unknown-file",
         "duplicate", "missing-file"],
)
def test_known_failures(project, pytester, monkeypatch, entries, edits, args, ret, outcomes, lines):
    break_sdk(project, *edits)
    (project / "elsewhere").mkdir()
    if entries is not None:
        (project / "elsewhere" / "xfails.txt").write_text(entries)
    monkeypatch.chdir(project / "elsewhere")
    result = run(pytester, "--zeto-xfails=xfails.txt", *args)
    assert result.ret == ret
    if outcomes is not None:
        result.assert_outcomes(**outcomes)
    pytest.LineMatcher(result.outlines + result.errlines).fnmatch_lines(lines)


def test_missing_build_is_one_clear_error(project, pytester):
    (project / SO).unlink()
    result = run(pytester)
    assert result.ret not in (pytest.ExitCode.OK, pytest.ExitCode.NO_TESTS_COLLECTED)
    message = f"tests.unit.test_zeto_data is not built for this interpreter, {sys.executable} *"
    result.stdout.fnmatch_lines([f"compiled tests: {LISTING} is not built for {sys.executable} *",
                                 f"*ERROR collecting {LISTING}*", message + f"build PYTHON={sys.executable}",
                                 "*1 error*"])
    assert "passed" not in result.stdout.str()
    # A plain import does not quietly give the listing either.
    done = subprocess.run([sys.executable, "-c", "import tests.unit.test_zeto_data"], cwd=str(project),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert done.returncode == 1
    assert f"ImportError: {message[:-2]}" in done.stderr and f"make -C {project} build" in done.stderr


@pytest.mark.parametrize(
    "edits, message",
    [
        ([("class MetaFrameFormat:", "class FrameFormat:")], "*ImportError: cannot import name*MetaFrameFormat*"),
        ([("SUPPORTED_VERSIONS = (1,)", 'raise RuntimeError("sdk broken")')], "*RuntimeError: sdk broken"),
    ],
    ids=["import-error", "other-error"],
)
def test_import_failure_is_a_collection_error(project, pytester, edits, message):
    break_sdk(project, *edits)
    result = run(pytester)
    result.assert_outcomes(errors=1)
    # The module's own record of the failing import comes first, showing its
    # statement (before 3.7 as the record itself, unless it ends the traceback).
    body = "<module>" if sys.version_info >= (3, 7) or "ImportError" in message else "init tests.unit.test_zeto_data"
    result.stdout.fnmatch_lines([f"*ERROR collecting {LISTING}*", f"tests/unit/test_zeto_data.py:5: in {body}",
                                 "    from zeto_sdk.redis.zeto_data import Meta, MetaFrameFormat, *", message])
    assert "importlib" not in result.stdout.str()
    assert "INTERNALERROR" not in result.stdout.str()


def sdk_checkout(path, layout):
    """An SDK checkout at ``path`` whose update stores None values: its
    ``zeto_sdk`` imports a sibling package; the "full" layout adds what an
    SDK checkout tends to hold, each of which would break our run if it
    applied: its own ``tests`` package with an older copy of these tests, a
    conftest.py and pytest settings of its own. The "src" layout keeps the
    packages under src/, "namespace" has no zeto_sdk/__init__.py."""
    packages = path / "src" if layout == "src" else path
    copy_sdk(packages)
    if layout == "namespace":
        (packages / "zeto_sdk" / "__init__.py").unlink()
    (packages / "zeto_common").mkdir()
    (packages / "zeto_common" / "__init__.py").write_text("STORE_NONE = True\n")
    break_sdk(packages, ("if value is not None:", "if value is not None or zeto_common.STORE_NONE:"),
              ("import json\n", "import json\nimport zeto_common\n"))
    if layout == "full":
        make_tests_package(path)
        old = (ROOT / LISTING).read_text().replace('assert src.id is None', 'assert src.id == "old copy"')
        (path / LISTING).write_text(old.split("\n", 2)[0] + "\n\n" + old.split("\n", 2)[2])
        (path / "conftest.py").write_text('raise RuntimeError("the checkout\'s conftest.py was loaded")\n')
        (path / "pyproject.toml").write_text('[tool.pytest.ini_options]\naddopts = "--no-such-option"\n')
    return path


@pytest.mark.parametrize(
    "layout, how",
    [("package", "env"), ("full", "option"), pytest.param("full", "xdist", marks=NEEDS_XDIST),
     ("src", "option"), ("namespace", "option"), ("package", "installed"), ("package", "installed, class imported"),
     ("src", "started below it")],
)
def test_zeto_sdk_points_at_another_checkout(project, pytester, monkeypatch, layout, how):
    monkeypatch.delenv("PYTEST_ADDOPTS")
    other = sdk_checkout(project / "other", layout)
    packages = other / "src" if layout == "src" else other
    # Its version: the package's own, or that of the distribution installed beside it.
    if layout == "package":
        version = "2.5"
        (other / "zeto_sdk" / "__init__.py").write_text(f'__version__ = "{version}"\n')
    elif layout == "namespace":
        version = None
    else:
        version = "3.1"
        info = packages / f"zeto_sdk-{version}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: zeto-sdk\nVersion: {version}\n")
        (info / "RECORD").write_text("zeto_sdk/__init__.py,,\nzeto_sdk/redis/zeto_data.py,,\n")
        (info / "top_level.txt").write_text("zeto_sdk\n")
    args = ()
    if how == "env":
        monkeypatch.setenv("ZETO_SDK", str(other))
    elif how.startswith("installed"):
        # Importable in this environment, while the project's stand-in is first on sys.path.
        monkeypatch.setenv("PYTHONPATH", str(other))
    elif how == "started below it":
        # Started in a directory of the checkout, with a correct release of
        # the SDK installed: the working copy is tested, not the release.
        release = project / "release"
        copy_sdk(release)
        monkeypatch.setenv("PYTHONPATH", str(release))
        (other / "docs").mkdir()
        monkeypatch.chdir(other / "docs")
        args = ("--rootdir", str(project), "-c", str(project / "pytest.ini"), str(project / "tests" / "unit"))
    else:
        args = ("--zeto-sdk=other",) + (("-p", "xdist", "-n", "2") if how == "xdist" else ())
    imported = how.endswith("class imported")
    if imported:
        # Collected first, and imported as the stand-in is: its tests too test the SDK the header names.
        (project / IMPORTING).write_text("from tests.unit.test_zeto_data import TestMetaSource\n")
    result = run(pytester, *args)
    result.assert_outcomes(passed=TOTAL - 1 + (CLASSES["TestMetaSource"] - 1) * imported, failed=1 + imported)
    tested = (packages / "zeto_sdk").resolve()
    shown_from = "../../" if how == "started below it" else ""  # node ids as pytest shows them from the cwd
    failed = [f"FAILED {shown_from}{module}::TestMetaSource::test_update_ignores_none_values*"
              for module in [IMPORTING] * imported + [LISTING]]
    result.stdout.fnmatch_lines([f"zeto_sdk tested: {tested}" + (f", version {version}" if version else ""), *failed])
    why = {"installed": f"found on sys.path; the project's stand-in at {(project / 'zeto_sdk').resolve()} passed over",
           "started below it": f"the checkout above {(other / 'docs').resolve()}, where pytest started",
           "xdist": None}.get(how.split(",")[0], "--zeto-sdk")
    if why:
        result.stdout.fnmatch_lines([f"zeto_sdk: {tested} ({why})"])


def test_report_header_names_the_bundled_sdk_and_the_build(project, pytester):
    run(pytester, "--collect-only").stdout.fnmatch_lines([
        f"zeto_sdk: {(project / 'zeto_sdk').resolve()} (the project's stand-in, --zeto-stand-in)",
        f"compiled tests: {LISTING} runs {BUILT.name}, built for {sys.executable} *"])


@pytest.mark.parametrize("setup", ["missing", "imported", "project itself", "stand-in alone",
                                   "stand-in alone, class imported"])
def test_zeto_sdk_that_cannot_be_tested_is_a_usage_error(project, pytester, monkeypatch, setup):
    """Never a pass for an SDK that was not the one meant: the stand-in is
    tested only when asked for by name."""
    monkeypatch.delenv("PYTEST_ADDOPTS")
    stand_in = (project / "zeto_sdk").resolve()
    if setup == "missing":
        args, message = ("--zeto-sdk=missing",), "*--zeto-sdk=missing: no zeto_sdk package in*missing or *missing/src"
    elif setup == "imported":
        # Imported from elsewhere before the option could take effect.
        sdk_checkout(project / "other", "package")
        pytester.makepyfile(early_import="import zeto_sdk")
        args, message = ("-p", "early_import", "--zeto-sdk=other"), "*zeto_sdk was already imported from*"
    elif setup == "project itself":
        # What `make -C <project> run SDK=.` gives when $PWD was left at the project.
        args, message = (f"--zeto-sdk={project}/.",), f"*is {project.resolve()}, this project itself*"
    else:
        args, message = (), f"*no zeto_sdk to test: the only one importable is this project's stand-in at {stand_in}*"
    stopped = (pytest.ExitCode.USAGE_ERROR, pytest.ExitCode.INTERRUPTED)
    if setup.endswith("class imported"):
        # Nor a test module's import of a compiled class, which gives the
        # stand-in, though the run goes on past the listing's error.
        (project / IMPORTING).write_text("from tests.unit.test_zeto_data import TestMeta\n")
        args, stopped = ("--continue-on-collection-errors",), (pytest.ExitCode.TESTS_FAILED,)
    result = run(pytester, *args)
    assert result.ret in stopped
    (result.stderr if result.ret == pytest.ExitCode.USAGE_ERROR else result.stdout).fnmatch_lines([message])
    assert "passed" not in result.stdout.str()


def test_options_reach_the_run_and_the_cache_works(project, pytester, monkeypatch):
    break_sdk(project, *DASHED_KEY)
    cached = (sys.executable, "-m", "pytest")
    monkeypatch.setenv("PYTEST_ADDOPTS", "--zeto-stand-in -k to_dict")
    to_dict = named("to_dict")
    pytester.run(*cached).assert_outcomes(passed=to_dict - 1, failed=1, deselected=TOTAL - to_dict)
    monkeypatch.setenv("PYTEST_ADDOPTS", "--zeto-stand-in")
    pytester.run(*cached).assert_outcomes(passed=TOTAL - 2, failed=2)
    result = pytester.run(*cached, "--lf")
    result.assert_outcomes(failed=2, deselected=TOTAL - 2)
    result.stdout.fnmatch_lines(["run-last-failure: rerun previous 2 failures*"])


@pytest.mark.parametrize("python", ["project", "venv", "venv, no SDK="])
def test_make_run_from_an_sdk_checkout(tmp_path, python):
    """``cd <checkout> && make -C <project> run SDK=. ...``, as a user runs it
    against the project itself: the checkout's SDK is tested, options reach
    pytest, and coverage measures the checkout's SDK. With PYTHON=<the SDK's
    venv's python> (relative, as typed in the checkout) the suite runs in that
    venv, which alone has a package the SDK imports; without SDK= it tests
    the SDK that venv imports, never the stand-in."""
    pytest.importorskip("pytest_cov")
    if shutil.which("make") is None:
        pytest.skip("make not installed")
    checkout = sdk_checkout(tmp_path / "checkout", "full")
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAKE") and k != "ZETO_SDK"}
    env["PWD"] = str(checkout)  # as the shell sets it
    interpreter, sdk, why = sys.executable, ("SDK=.", "COV=1"), "--zeto-sdk"
    if python.startswith("venv"):
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(checkout / "sdk-venv")], check=True)
        site = subprocess.run([str(checkout / "sdk-venv" / "bin" / "python"), "-c",
                               "import site; print(site.getsitepackages()[0])"],
                              check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
        # pytest and pytest-cov from the project venv; the dependency is the SDK venv's own.
        (Path(site) / "tools.pth").write_text(sysconfig.get_paths()["purelib"] + "\n")
        (Path(site) / "zeto_dependency.py").write_text("")
        break_sdk(checkout, ("import json\n", "import json\nimport zeto_dependency\n"))
        interpreter = "sdk-venv/bin/python"
    if python == "venv, no SDK=":
        (Path(site) / "sdk.pth").write_text(f"{checkout}\n")  # installed, as pip install -e would
        sdk, why = (), f"found on sys.path; the project's stand-in at {ROOT / 'zeto_sdk'} passed over"
    done = subprocess.run(
        ["make", "-s", "-C", str(ROOT), "run", *sdk, f"PYTHON={interpreter}",
         "ARGS=-p no:cacheprovider -k TestMetaSource"],
        cwd=str(checkout), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
        timeout=600)
    out = done.stdout
    assert done.returncode != 0, out + done.stderr
    assert f"zeto_sdk: {checkout / 'zeto_sdk'} ({why})" in out, out
    assert "1 failed, 4 passed, 9 deselected" in out, out
    if not sdk:
        return
    # Coverage's table: name, statements, missed, percentage covered, missed lines.
    table = {row[0]: row[3] for row in map(str.split, out.splitlines()) if len(row) >= 4}
    assert table.get(str(checkout / "zeto_sdk" / "redis" / "zeto_data.py"), "0%") != "0%", out
