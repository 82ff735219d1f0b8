"""Importing the compiled module, each case in a fresh interpreter: failures
of its imports and how it recovers from them, repeated imports, a second
module object, what it copies from its import specification."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from listing import LISTING

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STAND_IN = os.path.join(ROOT, "zeto_sdk", "redis", "zeto_data.py")
NAME = "tests.unit.test_zeto_data"
INIT = "init tests.unit.test_zeto_data"
SOURCE = "tests/unit/test_zeto_data.py"

PRELUDE = '''
import importlib, importlib.util, json, sys

def entries(exc):
    tb, out = exc.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append([code.co_name, code.co_filename, tb.tb_lineno])
        tb = tb.tb_next
    return out

MACHINERY = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

def attempt():
    """Imports the module; what happened, as plain data."""
    try:
        module = importlib.import_module("tests.unit.test_zeto_data")
    except Exception as exc:
        tb, bound = exc.__traceback__, None
        while tb is not None:
            if tb.tb_frame.f_code.co_name.startswith("init "):
                bound = [k for k in tb.tb_frame.f_globals if not k.startswith("__")]
            tb = tb.tb_next
        return {"error": type(exc).__name__, "args": list(map(str, exc.args)), "entries": entries(exc),
                "bound": bound, "in_sys_modules": "tests.unit.test_zeto_data" in sys.modules}
    return {"module": [k for k in vars(module) if k not in MACHINERY]}

def run_all(module):
    """The tests of the listing; the names of those that did not pass."""
    failed = []
    for cls, name in TESTS:
        try:
            getattr(getattr(module, cls)(), name)()
        except Exception:
            failed.append(name)
    return failed
''' + f"TESTS = {LISTING.tests!r}\n"
# In order of insertion, after what the import machinery sets.
NAMESPACE = ["__builtins__", *LISTING.module_names(), "__test__"]
# The lines of the module body's imports.
IMPORT_TIME = LISTING.binding("time").line
IMPORT_SDK = LISTING.binding(LISTING.sdk_names[0]).line


def bound_before(name):
    """The names the module body binds before ``name``."""
    names = LISTING.module_names()
    return names[:names.index(name)]


def run(tmp_path, script, sdk=None, flags=()):
    """Runs PRELUDE + script in a new interpreter whose working directory is
    tmp_path; ``sdk``, when given, is the source of a zeto_sdk.redis.zeto_data
    found there ahead of the bundled one (``False``: a zeto_sdk without it).
    Returns what the script printed last, parsed as JSON."""
    if sdk is not None:
        package = tmp_path / "zeto_sdk" / "redis"
        package.mkdir(parents=True)
        (tmp_path / "zeto_sdk" / "__init__.py").write_text("")
        (package / "__init__.py").write_text("")
        if sdk is not False:
            (package / "zeto_data.py").write_text(sdk)
    env = {**os.environ, "PYTHONPATH": ROOT, "PYTHONDONTWRITEBYTECODE": "1"}
    done = subprocess.run([sys.executable, *flags, "-c", PRELUDE + textwrap.dedent(script)], cwd=tmp_path, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def init_records(result):
    return [e for e in result["entries"] if e[0] == INIT]


@pytest.mark.parametrize("sdk, error, args", [
    (False, "ModuleNotFoundError", ["No module named 'zeto_sdk.redis.zeto_data'"]),
    ("raise LookupError('sdk broken')\n", "LookupError", ["sdk broken"]),
])
def test_a_failing_import_of_the_module_under_test_passes_through(tmp_path, sdk, error, args):
    result = run(tmp_path, "print(json.dumps(attempt()))", sdk=sdk)
    assert (result["error"], result["args"]) == (error, args)
    assert init_records(result) == [[INIT, SOURCE, IMPORT_SDK]]
    assert result["bound"] == bound_before(LISTING.sdk_names[0]) and not result["in_sys_modules"]
    if error == "LookupError":
        # The module under test's own frame stays below the record.
        assert result["entries"][-1][1].endswith("zeto_data.py")


# How the module under test comes to lack MetaFrameFormat, and how it is
# supplied afterwards: as an attribute (the tests can then run), or as an
# entry of sys.modules, which is looked up as for a submodule.
MEND_BY_ATTRIBUTE = """
    sdk.MetaFrameFormat = marker = sdk._hidden
    second = attempt()
    failed = run_all(sys.modules["tests.unit.test_zeto_data"])
"""
MEND_BY_SUBMODULE = """
    sys.modules["zeto_sdk.redis.zeto_data.MetaFrameFormat"] = marker = object()
    second, failed = attempt(), []
"""
RAISING_GETATTR = """
def __getattr__(name):
    raise (ValueError if name == "MetaFrameFormat" else AttributeError)(name)
"""


@pytest.mark.parametrize("hide, mend", [
    ("\n_hidden = MetaFrameFormat\ndel MetaFrameFormat\n", MEND_BY_ATTRIBUTE),
    ("\n_hidden = MetaFrameFormat\ndel MetaFrameFormat\n", MEND_BY_SUBMODULE),
    # Any other error than AttributeError is not looked up further.
    pytest.param("\ndel MetaFrameFormat\n" + RAISING_GETATTR, None, marks=pytest.mark.skipif(
        sys.version_info < (3, 7), reason="modules have no __getattr__ before 3.7")),
], ids=["attribute", "submodule", "getattr-raises"])
def test_a_missing_name_fails_the_import_until_it_is_supplied(tmp_path, hide, mend):
    with open(STAND_IN) as f:
        sdk = f.read() + hide
    script = ["first = attempt()\nsdk = sys.modules['zeto_sdk.redis.zeto_data']", mend or MEND_BY_SUBMODULE, """
        module = sys.modules.get("tests.unit.test_zeto_data")
        print(json.dumps([first, second, getattr(module, "MetaFrameFormat", None) is marker, failed]))
    """]
    first, second, supplied, failed = run(tmp_path, "\n".join(map(textwrap.dedent, script)), sdk=sdk)
    assert (first["error"], first["args"]) == ("ImportError", ["cannot import name MetaFrameFormat"])
    assert init_records(first) == [[INIT, SOURCE, IMPORT_SDK]]
    # The names before it were bound, nothing after it.
    assert first["bound"] == bound_before("MetaFrameFormat") and not first["in_sys_modules"]
    if mend is None:
        assert second == first and not supplied
    else:
        assert second == {"module": NAMESPACE} and supplied and failed == []


def test_a_failing_import_of_time(tmp_path):
    result = run(tmp_path, """
        sys.modules["time"] = None
        first = attempt()
        del sys.modules["time"]
        print(json.dumps([first, attempt()]))
    """)
    first, second = result
    assert (first["error"], first["args"]) == ("ModuleNotFoundError", ["import of time halted; None in sys.modules"])
    assert init_records(first) == [[INIT, SOURCE, IMPORT_TIME]] and first["bound"] == bound_before("time")
    assert second == {"module": NAMESPACE}


def test_importing_again_gives_the_same_module(tmp_path):
    result = run(tmp_path, """
        module = importlib.import_module("tests.unit.test_zeto_data")
        node, classes = module.NODE, module.TestMeta
        module.NODE["seen"] = True
        del sys.modules["tests.unit.test_zeto_data"]
        again = importlib.import_module("tests.unit.test_zeto_data")
        reloaded = importlib.reload(again)
        print(json.dumps([again is module, reloaded is module, module.NODE is node, module.TestMeta is classes,
                          "seen" in module.NODE]))
    """)
    assert result == [True, True, True, True, True]


def test_a_second_module_object_is_refused(tmp_path):
    result = run(tmp_path, """
        spec = importlib.util.find_spec("tests.unit.test_zeto_data")
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
            refused = None
        except RuntimeError as exc:
            refused = list(exc.args)
        third = importlib.util.module_from_spec(spec)
        print(json.dumps([first is not second, refused, sys.modules["tests.unit.test_zeto_data"] is first,
                          third is first, "NODE" in vars(second), run_all(first)]))
    """)
    assert result == [True, ["Module 'test_zeto_data' has already been imported. Re-initialisation is not supported."],
                      True, True, False, []]


def test_attributes_copied_from_the_import_specification(tmp_path):
    result = run(tmp_path, """
        import _imp
        real = importlib.util.find_spec("tests.unit.test_zeto_data")
        def spec(**attrs):
            return type("Spec", (), {"name": real.name, "origin": real.origin, **attrs})()
        def shown(module):
            return {k: repr(v) for k, v in vars(module).items() if k in ("__loader__", "__file__", "__package__", "__path__")}
        made = [shown(_imp.create_dynamic(spec(loader=None, parent="tests.unit", submodule_search_locations=None))),
                shown(_imp.create_dynamic(spec(loader="L", parent=None, submodule_search_locations=["x"]))),
                shown(_imp.create_dynamic(spec()))]
        class Broken:
            name, origin, loader = real.name, real.origin, None
            parent = property(lambda self: 1 / 0)
        try:
            _imp.create_dynamic(Broken())
            broken = None
        except ZeroDivisionError:
            broken = "ZeroDivisionError"
        module = importlib.import_module("tests.unit.test_zeto_data")
        imported = [module.__file__ == module.__spec__.origin == real.origin, module.__loader__ is module.__spec__.loader,
                    module.__package__, hasattr(module, "__path__")]
        print(json.dumps([made, broken, imported]))
    """)
    made, broken, imported = result
    origin = made[0]["__file__"]
    assert made[0] == {"__loader__": "None", "__file__": origin, "__package__": "'tests.unit'"}
    assert made[1] == {"__loader__": "'L'", "__file__": origin, "__package__": "None", "__path__": "['x']"}
    # A spec without the attributes leaves the module's own defaults.
    assert made[2] == {"__loader__": "None", "__file__": origin, "__package__": "None"}
    assert broken == "ZeroDivisionError"
    assert imported == [True, True, "tests.unit", False]


def test_the_import_issues_no_warning_under_a_matching_interpreter(tmp_path):
    result = run(tmp_path, "print(json.dumps(attempt()))", flags=("-W", "error"))
    assert result == {"module": NAMESPACE}


def test_only_one_interpreter_may_load_the_module(tmp_path):
    # A sub-interpreter with the classic settings, which leave the decision to
    # the module itself; it reports through a file.
    pytest.importorskip("_testcapi")
    report = tmp_path / "refused.txt"
    result = run(tmp_path, f"""
        import _testcapi
        module = importlib.import_module("tests.unit.test_zeto_data")
        _testcapi.run_in_subinterp(
            "import sys; sys.path.insert(0, {ROOT!r})\\n"
            "try:\\n import tests.unit.test_zeto_data\\n"
            "except ImportError as exc:\\n open({str(report)!r}, 'w').write(repr(type(exc)) + ': ' + str(exc))\\n")
        print(json.dumps([open({str(report)!r}).read(), run_all(module)]))
    """)
    assert result == ["<class 'ImportError'>: Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.", []]
