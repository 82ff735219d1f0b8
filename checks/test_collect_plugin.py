"""Collection and reporting of the compiled test module, run in a scratch copy
of the project through pytest's ``pytester``."""

import importlib.machinery
import importlib.util
import shutil
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
EXT = importlib.machinery.EXTENSION_SUFFIXES[0]
BUILT = ROOT / "tests" / "unit" / f"test_zeto_data{EXT}"
SO = f"tests/unit/test_zeto_data{EXT}"
# The same build for the debug interpreter of this version, or vice versa.
_impl, _version, *_platform = sysconfig.get_config_var("SOABI").split("-")
_other = _version[:-1] if _version.endswith("d") else _version + "d"
OTHER_BUILD = f"test_zeto_data.{'-'.join([_impl, _other, *_platform])}.so"
CLASSES = {"TestMetaSource": 5, "TestMetaModule": 3, "TestMeta": 3, "TestZetoData": 3}

pytestmark = pytest.mark.skipif(not BUILT.exists(), reason=f"{BUILT.name} not built (make build)")


@pytest.fixture
def project(pytester, monkeypatch):
    """A copy of the project: plugin, bundled SDK and the built test module."""
    monkeypatch.delenv("ZETO_SDK", raising=False)
    for name in ("conftest.py", "compiled_tests.py", "tests/__init__.py", "tests/unit/__init__.py", SO):
        (pytester.path / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / name, pytester.path / name)
    shutil.copytree(ROOT / "zeto_sdk", pytester.path / "zeto_sdk", ignore=shutil.ignore_patterns("__pycache__"))
    return pytester.path


def run(pytester, *args, python_flags=()):
    return pytester.run(sys.executable, *python_flags, "-m", "pytest", "-p", "no:cacheprovider", *args)


def break_sdk(sdk_root, *edits):
    """Rewrite ``zeto_data.py`` under ``sdk_root`` with (old, new) text edits."""
    path = sdk_root / "zeto_sdk" / "redis" / "zeto_data.py"
    text = path.read_text()
    for old, new in edits:
        assert old in text, f"edit target vanished from the SDK: {old!r}"
        text = text.replace(old, new)
    path.write_text(text)


# Sets doctest's registry on the module before pytest collects it, and
# checks that collection leaves it in place.
DOCTEST_REGISTRY = """
import compiled_tests

def pytest_collectstart(collector):
    if isinstance(collector, compiled_tests.CompiledModule):
        collector.obj.__test__ = {}

def pytest_collection_finish(session):
    for item in session.items:
        assert item.module.__test__ == {}
"""


@pytest.mark.parametrize("registry", [False, True], ids=["plain", "doctest-registry"])
def test_collects_every_test_under_its_node_id(project, pytester, registry):
    plugin = ()
    if registry:
        pytester.makepyfile(registry_plugin=DOCTEST_REGISTRY)
        plugin = ("-p", "registry_plugin")
    result = run(pytester, *plugin, "--collect-only", "-q", "-W", "error::pytest.PytestCollectionWarning")
    ids = [line for line in result.outlines if line.startswith(SO + "::")]
    per_class = {cls: sum(i.split("::")[1] == cls for i in ids) for cls in CLASSES}
    assert per_class == CLASSES
    assert f"{SO}::TestMetaModule::test_to_dict" in ids
    assert result.ret == 0
    assert "not a function" not in result.stdout.str()


NEEDS_XDIST = pytest.mark.skipif(importlib.util.find_spec("xdist") is None, reason="pytest-xdist not installed")


@pytest.mark.parametrize(
    "python_flags, args",
    [
        pytest.param((), (), id="plain"),
        pytest.param(("-O",), (), id="optimised"),
        pytest.param((), ("-n", "2"), id="xdist", marks=NEEDS_XDIST),
    ],
)
def test_runs_all_tests(project, pytester, python_flags, args):
    result = run(pytester, *args, python_flags=python_flags)
    result.assert_outcomes(passed=14)


@pytest.mark.parametrize(
    "expression, selected",
    [("TestMetaModule", 3), ("to_dict", 4), ("parse", 1), ("TestZetoData and not parse", 2)],
)
def test_keyword_selection(project, pytester, expression, selected):
    run(pytester, "-k", expression).assert_outcomes(passed=selected, deselected=14 - selected)


@pytest.mark.parametrize(
    "stale",
    [OTHER_BUILD, "test_zeto_data.cpython-36m-x86_64-linux-gnu.so", "test_zeto_data.abi3.so", "test_zeto_data.so"],
)
def test_builds_the_importer_would_not_load_are_ignored(project, pytester, stale):
    shutil.copy(project / SO, project / "tests" / "unit" / stale)
    result = run(pytester)
    result.assert_outcomes(passed=14)
    assert stale not in result.stdout.str()


@pytest.mark.parametrize(
    "edits, failing, location",
    [
        ([('FIELDS = ("id", "type", "name", "feed_port_idx")', 'FIELDS = ("id", "type", "name", "feed_idx")'),
          ("self.feed_port_idx = feed_port_idx", "self.feed_idx = feed_port_idx")],
         "TestMetaModule::test_init_with_node", "tests/unit/test_zeto_data.py:48: AttributeError"),
        ([("if value is not None:", "if True:")],
         "TestMetaSource::test_update_ignores_none_values", "tests/unit/test_zeto_data.py:40: AssertionError"),
        ([('"result": [] if result is None else result', '"result": result')],
         "TestZetoData::test_create_empty_result_defaults_to_list", "tests/unit/test_zeto_data.py:92: AssertionError"),
    ],
    ids=["attribute-error", "assertion", "assertion-in-last-class"],
)
def test_failure_names_the_test_file_and_line(project, pytester, edits, failing, location):
    break_sdk(project, *edits)
    result = run(pytester)
    result.assert_outcomes(passed=13, failed=1)
    result.stdout.fnmatch_lines([location, f"FAILED {SO}::{failing}*"])
    assert "INTERNALERROR" not in result.stdout.str()


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
    # The module's own record of the failing import comes first.
    result.stdout.fnmatch_lines([f"*ERROR collecting {SO}*", "tests/unit/test_zeto_data.py:5: in *", message])
    assert "importlib" not in result.stdout.str()
    assert "INTERNALERROR" not in result.stdout.str()


@pytest.mark.parametrize(
    "args", [pytest.param((), id="plain"), pytest.param(("-n", "2"), id="xdist", marks=NEEDS_XDIST)]
)
def test_zeto_sdk_points_at_another_checkout(project, pytester, monkeypatch, args):
    other = project / "other"
    shutil.copytree(project / "zeto_sdk", other / "zeto_sdk")
    break_sdk(other, ("if value is not None:", "if True:"))
    monkeypatch.setenv("ZETO_SDK", str(other))
    run(pytester, *args).assert_outcomes(passed=13, failed=1)
    run(pytester, "--collect-only").stdout.fnmatch_lines([f"zeto_sdk: {other / 'zeto_sdk'} (from ZETO_SDK)"])


def test_report_header_names_the_bundled_sdk(project, pytester):
    run(pytester, "--collect-only").stdout.fnmatch_lines([f"zeto_sdk: {project / 'zeto_sdk'} (bundled)"])


def test_zeto_sdk_without_a_package_is_a_usage_error(project, pytester, monkeypatch):
    monkeypatch.setenv("ZETO_SDK", str(project / "missing"))
    result = run(pytester)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*ZETO_SDK=*missing: no zeto_sdk package*"])
