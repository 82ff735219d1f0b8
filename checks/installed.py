"""The distribution as an SDK author gets it.

Usage: installed.py PYTHON=ARTIFACT...

Each artifact of dist/ (a wheel, or the sdist) is installed with pip alone
into a fresh venv of its interpreter, inside the checkout as SDK authors tend
to keep theirs (where pytest passes over it). The command it installs then runs
from an SDK checkout outside the project, as the author's CI would: the
checkout has its own tests package (with its own tests/unit/test_zeto_data.py),
its own pytest settings and conftest.py, which must play no part; its SDK is
installed editable in that venv and imports a package only that venv has;
and it builds a source key with "-", which two tests catch. Every run is
compared with ``make run SDK=<checkout>`` on the same checkout: the same
outcomes under the same node ids.

For the artifact of the interpreter that runs this check, the pytest plugins
SDK authors use (checks/plugins.txt) are installed too, and every
configuration of CASES runs three ways: pytest on the same statements as a
plain .py file (the listing), the command, and ``pytest --zeto-suite`` in the
checkout; the two must give what the .py file gives. Then ``--zeto-suite`` in
the checkout layouts of LAYOUTS, each an SDK checkout of its own sharing the
venv, and the SDK chosen where a release of it is installed too.
"""

import html
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from xml.etree import ElementTree

from listing import LISTING as LISTING_SHAPE
from stand_in import DASHED_KEY, ROOT, copy_sdk
from zeto_compiled_tests import __version__ as SUITE_VERSION

WORK = ROOT / "build" / "installed"
# The two statements the fault fails, and the values shown for each.
FAILING = {LISTING_SHAPE.assertion_line(name, "source_key"): values for name, values in (
    ("test_init_with_node_sets_fields", "assert 'node-1-0' == 'node-1_0'"),
    ("test_to_dict_returns_dict_with_id", "assert 'node-1-1' == 'node-1_1'"))}
LISTING = "tests/unit/test_zeto_data.py"
SUMMARY_LINE = re.compile(r"^(PASSED|FAILED|XFAIL|XPASS|ERROR|SKIPPED) (\S+)", re.M)
SDK_VERSION = "2.5.0"
# Where to_dict hangs while ZETO_HANG is set.
HANGS = [('data["source_key"] = self.source_key', 'while os.environ.get("ZETO_HANG"):\n'
          '            time.sleep(0.05)\n        data["source_key"] = self.source_key'),
         ("import json\n", "import json\nimport os\n")]


def run(*args, cwd=None, env=None, check=True, stdin=None):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=env, stdout=subprocess.PIPE, input=stdin,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=900)
    if check and done.returncode != 0:
        raise SystemExit(f"FAIL: {' '.join(map(str, args))} exited with {done.returncode}:\n{done.stdout}")
    return done


def make_checkout(where, *edits):
    """An SDK checkout: the stand-in's code as the author's SDK, with a fault,
    a dependency, and everything of its own that must stay out of the run."""
    shutil.rmtree(where, ignore_errors=True)
    copy_sdk(where, *DASHED_KEY, *edits,
             ("import json\n", "import json\nimport zeto_dependency  # only the SDK's venv has it\n"))
    (where / "zeto_sdk" / "__init__.py").write_text(f'__version__ = "{SDK_VERSION}"\n')
    (where / "setup.py").write_text(
        f"from setuptools import setup\n"
        f"setup(name='zeto-sdk', version='{SDK_VERSION}', packages=['zeto_sdk', 'zeto_sdk.redis'])\n")
    (where / "tests" / "unit").mkdir(parents=True)
    (where / "tests" / "__init__.py").write_text("")
    (where / "tests" / "unit" / "__init__.py").write_text("")
    (where / "tests" / "unit" / "test_zeto_data.py").write_text("def test_own():\n    pass\n")
    (where / "conftest.py").write_text(
        "import os\nif os.environ.get('OWN_CONFTEST_FORBIDDEN'):\n"
        "    raise RuntimeError(\"the checkout's conftest.py was loaded\")\n")
    # Settings that would select none of the suite's tests.
    (where / "pytest.ini").write_text("[pytest]\naddopts = -m own_tests_only\n")


def make_venv(python, venv):
    """A fresh venv of ``python`` at ``venv``, with the newest pip for it and
    the package that only the SDK's venv has: (its python, its site-packages)."""
    shutil.rmtree(venv, ignore_errors=True)
    run(python, "-m", "venv", venv)
    py = venv / "bin" / "python"
    run(py, "-m", "pip", "install", "--quiet", "--upgrade", "pip<22; python_version < '3.7'",
        "pip; python_version >= '3.7'")
    site = Path(run(py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").stdout.strip())
    (site / "zeto_dependency.py").write_text("")
    return py, site


def outcomes(output):
    """Node id: outcome, from the short test summary of -rA."""
    return {nodeid: outcome for outcome, nodeid in SUMMARY_LINE.findall(output)}


def totals(found):
    failed = sum(outcome == "FAILED" for outcome in found.values())
    return f"{failed} failed, {len(found) - failed} passed"


def expect(condition, what, output):
    if not condition:
        raise SystemExit(f"FAIL: {what}\n{output}")


def check(python, artifact, expected):
    tag = run(python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])").stdout.strip()
    checkout = WORK / f"sdk checkout {tag}"
    make_checkout(checkout, *HANGS)
    # The venv inside the checkout, where SDK authors tend to keep theirs.
    venv = checkout / ".venv"
    py, site = make_venv(python, venv)
    run(py, "-m", "pip", "install", "--quiet", artifact)
    run(py, "-m", "pip", "install", "--quiet", "-e", checkout)
    expect(not (site / "tests").exists(), f"{site} holds a top-level tests", "")

    env = {k: v for k, v in os.environ.items() if k not in ("ZETO_SDK", "PYTEST_ADDOPTS")}
    # Beside the checkout's own tests, in its own session.
    done = run(py, "-m", "pytest", "--zeto-suite", "-o", "addopts=", "-p", "no:cacheprovider", "-rA", cwd=checkout,
               env=env, check=False)
    own = dict(expected, **{"tests/unit/test_zeto_data.py::test_own": "PASSED"})
    expect(done.returncode == 1 and outcomes(done.stdout) == own,
           f"pytest --zeto-suite under Python {tag}: not the checkout's test and the suite as make run", done.stdout)
    env["OWN_CONFTEST_FORBIDDEN"] = "1"
    # Named, found in the checkout the command starts in, and found installed
    # (editable) in the venv when it starts elsewhere.
    for command, where in (([venv / "bin" / "zeto-compiled-tests", "--zeto-sdk", "."], checkout),
                           ([py, "-m", "zeto_compiled_tests"], checkout),
                           ([venv / "bin" / "zeto-compiled-tests"], checkout / "tests")):
        report = where / "report.xml"
        done = run(*command, "-rA", "--junitxml=report.xml", cwd=where, env=env, check=False)
        out = done.stdout
        name = f"{Path(command[0]).name} {' '.join(map(str, command[1:]))} in {where.name} under Python {tag}"
        expect(done.returncode == 1, f"{name}: exit code {done.returncode}, not 1", out)
        expect(totals(expected) in out, f"{name}: not {totals(expected)}", out)
        for line, shown in FAILING.items():
            expect(f"\n{LISTING}:{line}: AssertionError" in out and shown in out,
                   f"{name}: the failure at line {line} is not shown with {shown!r}", out)
        expect(outcomes(out) == expected, f"{name}: outcomes differ from make run's {expected}", out)
        expect(f"zeto_sdk: {checkout / 'zeto_sdk'}" in out, f"{name}: the header names another SDK", out)
        expect(report.is_file(), f"{name}: --junitxml=report.xml not written where the command started", out)
        report.unlink()
    # Under pytest-xdist, whose workers start pytest afresh where the command started.
    run(py, "-m", "pip", "install", "--quiet", "pytest-xdist")
    done = run(venv / "bin" / "zeto-compiled-tests", "-n", "2", "-rA", cwd=checkout, env=env, check=False)
    expect(outcomes(done.stdout) == expected, f"zeto-compiled-tests -n 2 under Python {tag}: not as make run",
           done.stdout)
    failing = [nodeid for nodeid, outcome in expected.items() if outcome == "FAILED"]
    (checkout / "known-failures.txt").write_text(
        "# the source key's separator\n" + "".join(f"{nodeid}  builds it with '-'\n" for nodeid in failing))
    done = run(venv / "bin" / "zeto-compiled-tests", "--zeto-xfails", "known-failures.txt", cwd=checkout,
               env=env, check=False)
    xfailed = totals(expected).replace(" failed", " xfailed").split(", ")
    expect(done.returncode == 0 and ", ".join(reversed(xfailed)) in done.stdout,
           f"--zeto-xfails under Python {tag}: not {xfailed}, exit 0", done.stdout)
    # The same entries in the checkout's own session (its conftest.py too), beside its own test.
    done = run(py, "-m", "pytest", "--zeto-suite", "--zeto-xfails", "known-failures.txt", "-o", "addopts=", "-p",
               "no:cacheprovider", cwd=checkout, env=dict(env, OWN_CONFTEST_FORBIDDEN=""), check=False)
    expect(done.returncode == 0 and f"{len(expected) - len(failing) + 1} passed, {len(failing)} xfailed" in done.stdout,
           f"pytest --zeto-suite --zeto-xfails under Python {tag}: not {xfailed} and the checkout's test, exit 0",
           done.stdout)
    print(f"  Python {tag}, {Path(artifact).name}: {totals(expected)}, as make run; with the known failures "
          f"listed, {', '.join(xfailed)}")
    return tag, (venv, checkout, site, env, artifact)


# Plugins of the checks' own, for the .py file and the compiled tests alike:
# a fixture that fails in the teardown of one test, and known failures as
# xfail marks, where the compiled tests take the same file by --zeto-xfails.
HELPERS = {
    "zeto_teardown_error.py": "import pytest\n\n\n@pytest.fixture(autouse=True)\ndef fails_in_teardown(request):\n"
                              "    yield\n    if request.node.name == 'test_to_dict':\n"
                              "        raise RuntimeError('teardown fails')\n",
    "zeto_known_failures.py": "import os\nimport pytest\n\n\ndef pytest_collection_modifyitems(items):\n"
                              "    known = open(os.environ['ZETO_KNOWN_FAILURES'])\n"
                              "    listed = dict(line.split(None, 1) for line in known)\n"
                              "    for item in items:\n        reason = listed.get(item.nodeid.split('[')[0])\n"
                              "        if reason:\n"
                              "            item.add_marker(pytest.mark.xfail(reason=reason.strip(), strict=True))\n",
}
KNOWN = "known-failures.txt"
# A test listed as a known failure that passes: the run fails for its entry,
# which the summary says to remove, and counts the test as passed.
LISTED_PASSING = f"{LISTING}::TestMeta::test_to_dict_has_required_keys"
QUIET = ["-p", "no:randomly", "-p", "no:sugar"]  # on unless turned off; each has a case of its own
OUT = "out"  # where the runs write their reports, relative to where they start
HUNG = "test_to_dict_returns_dict_with_id"
DASHED_FAILS = [f"{LISTING}::TestMetaSource::test_init_with_node_sets_fields", f"{LISTING}::TestMetaSource::{HUNG}"]
# A selection by -k keeps the checkout's own tests beside the suite's.
OWN = "or test_own"
# One row per configuration: name, pytest options ("{known}": the known
# failures, as each run takes them), and what must match the .py run besides
# the exit code, the outcomes, the failures' messages (junit's) and pytest's
# counts; for the compiled runs, the conformance summary must match pytest's
# counts, and the SDK and its version show in the header, the summary and
# junit's properties. "report": the failures as reported; "values:WHERE":
# the failures' messages in a report file, or in the output; "coverage":
# the files pytest-cov writes, and what they measure; "hang": the stack dump
# of a hung test; "pdb": the debugger's variables of a failed test.
CASES = [
    ("plain", [], ["report"]),
    ("pytest-cov", ["--cov=zeto_sdk", f"--cov-report=xml:{OUT}/cov.xml"], ["report", "coverage"]),
    ("pytest-html", [f"--html={OUT}/report.html", "--self-contained-html"], ["report", f"values:{OUT}/report.html"]),
    ("pytest-json-report", ["--json-report", f"--json-report-file={OUT}/report.json"],
     ["report", f"values:{OUT}/report.json"]),
    ("pytest-json-report, its default file", ["--json-report"], ["values:.report.json"]),
    ("allure-pytest", [f"--alluredir={OUT}/allure"], ["report", f"values:{OUT}/allure"]),
    ("pytest-repeat", ["--count", "3"], ["report"]),
    ("pytest-randomly", ["-p", "randomly", "--randomly-seed=7"], ["report"]),
    ("pytest-xdist", ["-n", "2"], ["report"]),
    ("pytest-sugar", ["-p", "sugar"], ["values:output"]),
    ("pytest-rerunfailures", ["--reruns", "1"], ["report"]),
    ("pytest-run-parallel", ["--parallel-threads", "4"], ["report"]),
    ("pytest-timeout, thread method", ["--timeout", "3", "--timeout-method", "thread", "-k", f"{HUNG} {OWN}"],
     ["hang"]),
    ("pytest-timeout, signal method", ["--timeout", "3", "-k", f"{HUNG} {OWN}"], ["report"]),
    ("--pdb", ["--pdb", "-k", f"test_init_with_node_sets_fields {OWN}"], ["pdb"]),
    ("a fixture failing in teardown", ["-p", "zeto_teardown_error"], ["report"]),
    ("-x", ["-x"], ["report"]),
    ("-p no:cacheprovider", ["-p", "no:cacheprovider"], ["report"]),
    ("node ids", [f"{LISTING}::TestMetaSource", f"{LISTING}::TestMeta::test_to_dict_has_required_keys"], ["report"]),
    ("known failures", ["{known}"], ["report"]),
    ("known failures, --runxfail", ["{known}", "--runxfail"], ["report"]),
    ("known failures, pytest-repeat", ["{known}", "--count", "2"], ["report"]),
]
NOTE = "E       (values from a re-run of this test from its listing"
CONFORMANCE = re.compile(r"^Test\w+ +passed (\d+) of (\d+)((?:, \d+ [a-z ]+?)*)$", re.M)


def junit(path):
    """Outcomes and the first lines of failure messages of the listing's
    tests, by node id, the test suite's properties, and how many of the
    checkout's own tests (test_own*) passed."""
    root = ElementTree.parse(str(path)).getroot()
    found, messages, own = {}, {}, 0
    for case in root.iter("testcase"):
        kinds = "+".join(child.tag for child in case if child.tag in ("failure", "error", "skipped"))
        if case.get("name").startswith("test_own"):
            own += not kinds
            continue
        nodeid = f"{LISTING}::{case.get('classname').rsplit('.', 1)[1]}::{case.get('name')}"
        found[nodeid] = kinds
        for child in case:
            if child.tag in ("failure", "error"):
                messages[nodeid] = child.get("message", "").splitlines()[0]
    return found, messages, {p.get("name"): p.get("value") for p in root.iter("property")}, own


def counts(output, own=0):
    """pytest's counts, from its last line, without the checkout's own tests
    (``own`` of them passed)."""
    last = [line for line in output.splitlines() if re.match(r"^=+ .* in [\d.]+s", line)]
    found = {word: int(n) for n, word in re.findall(r"(\d+) (\w+)", last[-1] if last else "")}
    found["passed"] = found.get("passed", 0) - own
    return {word.rstrip("s") if word.startswith("warning") else word: n for word, n in found.items() if n}


# What differs between runs of the same tests: addresses, thread ids,
# pytest-xdist's workers, the paths of the SDK and of the venv from where the
# run starts (the .py file lies in a checkout of its own), junit's file.
VARYING = [(r"0x[0-9a-f]+", "0x"), (r"\(\d+\)", "(n)"), (r"\[gw\d+\]", "[gw]"),
           (r"(?m)^\S.*?((zeto_sdk/redis/|site-packages/)\S+:\d+)", r"\1"),
           (r"(?m)^-+ generated xml file: .*\n", "")]
# What a compiled test's report has not, or otherwise: on 3.11 and newer the
# markers under the expression that failed (^^^^), where its record names a
# line only; the item's type, where pytest shows it; the line that says which
# known failure to remove.
COMPILED = [(r"(?m)^ *\^+ *\n", ""), ("<CompiledFunction ", "<Function "),
            (rf"(?m)^{LISTING}::\S+ passed: remove its entry at {KNOWN}:\d+\n", "")]


def failure_sections(output):
    """The failures and errors as reported, each its lines, sorted by their
    headers; what varies between runs and the compiled tests' note on values
    aside."""
    for pattern, shown in VARYING + COMPILED:
        output = re.sub(pattern, shown, output)
    sections, inside = [], False
    for line in output.splitlines():
        if re.match(r"^=+ (FAILURES|ERRORS) =+$", line):
            inside = True
        elif re.match(r"^=+ .+ =+$", line):
            inside = False
        elif inside and re.match(r"^_+ .+ _+$", line):
            sections.append([line])
        elif inside and sections and not line.startswith(NOTE):
            sections[-1].append(line)
    return sorted(sections)


def shown_messages(where, found, out, messages):
    """For each test, whether a report file (or the output) holds the first
    line of its failure message as junit has it; compared with the .py
    file's run, where every one is held."""
    path = where / found
    if found == "output":
        text = out
    elif path.is_dir():  # allure: each test's message, where it says which failed
        results = [json.loads(p.read_text()) for p in path.glob("*-result.json")]
        text = "\n".join(r["statusDetails"]["message"] for r in results if r["status"] != "passed")
    elif path.suffix == ".json":
        text = "\n".join(t["call"]["crash"]["message"] for t in json.loads(path.read_text())["tests"]
                         if t["outcome"] == "failed")
    else:
        text = html.unescape(path.read_text())
    return {nodeid: message in text for nodeid, message in messages.items()}


def coverage(where):
    """The line rate pytest-cov measured of the SDK's zeto_data.py."""
    root = ElementTree.parse(str(where / OUT / "cov.xml")).getroot()
    rates = [c.get("line-rate") for c in root.iter("class") if c.get("filename").endswith("zeto_data.py")]
    return rates, (where / ".coverage").is_file()


def collected(output):
    """How many tests pytest collected, as it says (pytest-xdist: its workers)."""
    found = re.search(r"collected (\d+) items?|\[(\d+) items?\]", output)
    return int(found.group(1) or found.group(2)) if found else None


def conformance_against_pytest(out, outcomes_, total):
    """The conformance summary's tally, and pytest's count of the same (of
    ``total`` tests collected)."""
    rows = CONFORMANCE.findall(out)
    tally = {"passed": sum(int(row[0]) for row in rows)}
    for row in rows:
        for n, outcome in re.findall(r", (\d+) ([a-z ]+)", row[2]):
            tally[outcome] = tally.get(outcome, 0) + int(n)
    # A known failure that passed counts as passed, and is named to be removed.
    passing = sum(nodeid.split("[")[0] == LISTED_PASSING and "failure" in o for nodeid, o in outcomes_.items())
    tally["names the entry to remove"] = f"{LISTED_PASSING} passed: remove its entry at {KNOWN}:3" in out
    ran = {"passed": sum(not o for o in outcomes_.values()) + passing,
           "failed": sum("failure" in o for o in outcomes_.values()) - passing,
           "error": sum("error" in o and "failure" not in o for o in outcomes_.values()),
           "xfailed": sum("skipped" in o for o in outcomes_.values())}
    ran["not run"] = total - sum(ran.values())
    ran["names the entry to remove"] = bool(passing)
    return {k: v for k, v in tally.items() if v}, {k: v for k, v in ran.items() if v}


def check_plugins(venv, checkout, site, env, artifact):
    """Every row of CASES, run three ways."""
    py, command = venv / "bin" / "python", venv / "bin" / "zeto-compiled-tests"
    run(py, "-m", "pip", "install", "--quiet", "-r", ROOT / "checks" / "plugins.txt")
    for name, text in HELPERS.items():
        (site / name).write_text(text)
    reference = WORK / "py checkout"
    shutil.rmtree(reference, ignore_errors=True)
    (reference / "tests" / "unit").mkdir(parents=True)
    lines = (site / "zeto_compiled_tests" / "suite" / LISTING).read_text().split("\n")
    (reference / LISTING).write_text("\n".join(lines[:1] + [""] + lines[2:]))
    for package in ("tests", "tests/unit"):  # under the compiled module's name
        (reference / package / "__init__.py").write_text("")
    (reference / "pyproject.toml").write_text("[tool.pytest.ini_options]\n")
    for where in (reference, checkout):
        (where / KNOWN).write_text("".join(f"{nodeid}  source keys with '-'\n" for nodeid in DASHED_FAILS)
                                   + f"{LISTED_PASSING}  fixed since\n")
    env = dict(env, OWN_CONFTEST_FORBIDDEN="", ZETO_KNOWN_FAILURES=KNOWN)
    runs = {".py file": ([py, "-m", "pytest"], reference, ["-p", "zeto_known_failures"]),
            "command": ([command], checkout, [f"--zeto-xfails={KNOWN}"]),
            "--zeto-suite": ([py, "-m", "pytest", "--zeto-suite", "-o", "addopts="], checkout,
                             [f"--zeto-xfails={KNOWN}"])}
    sdk = checkout / "zeto_sdk"
    for case, options, must_match in CASES:
        found = {}
        for how, (start, where, known) in runs.items():
            shutil.rmtree(where / OUT, ignore_errors=True)
            for stale in (where / ".report.json", where / ".coverage"):
                if stale.exists():
                    stale.unlink()
            args = [*start, *QUIET, *[a for o in options for a in (known if o == "{known}" else [o])],
                    "-rA", f"--junitxml={OUT}/junit.xml"]
            done = run(*args, cwd=where, env=dict(env, ZETO_HANG="1" if "--timeout" in options else ""),
                       stdin="p src\np self\nc\n", check=False)
            out, name = done.stdout, f"{case}: {how} ({' '.join(map(str, args))} in {where})"
            if "hang" in must_match:
                # The process ends at the dump: the hung test named in it, by the line
                # it is at, where a frame has one (a compiled test's is its def line).
                line = LISTING_SHAPE.method(HUNG).first_line if how != ".py file" else (
                    LISTING_SHAPE.method(HUNG).statement(calls="to_dict").line)
                expect(re.search(rf'/{LISTING}", line {line}, in {HUNG}\n', out) and "+ Timeout +" in out,
                       f"{name}: the hung test is not named at line {line}", out)
                continue
            if "pdb" in must_match:
                expect("(Pdb) <zeto_sdk.redis.zeto_data.MetaSource object at" in out
                       and "(Pdb) <tests.unit.test_zeto_data.TestMetaSource object at" in out
                       and (how == ".py file") != ("The debugger shows a re-run of this test" in out),
                       f"{name}: the debugger has not the test's variables, or does not say whence", out)
            outcomes_, messages, properties, own = junit(where / OUT / "junit.xml")
            found[how] = (done.returncode, outcomes_, messages, counts(out, own), failure_sections(out),
                          [shown_messages(where, kind[7:], out, messages) for kind in must_match
                           if kind.startswith("values:")],
                          coverage(where) if "coverage" in must_match else None)
            if how == ".py file":
                expect(done.returncode in (0, 1) and outcomes_ and collected(out), f"{name}: ran nothing", out)
                total = collected(out)
                continue
            tally, ran = conformance_against_pytest(out, outcomes_, total)
            expect(tally == ran, f"{name}: the conformance summary {tally} is not pytest's count {ran}", out)
            expect(f"zeto_sdk: {sdk} (" in out and f"zeto_sdk tested: {sdk}, version {SDK_VERSION}" in out
                   and out.count(f"suite: zeto-compiled-tests {SUITE_VERSION}\n") == 2,
                   f"{name}: the header or the summary names another SDK, or another suite", out)
            expect("-n" in options or properties.get("zeto_sdk.version") == SDK_VERSION,
                   f"{name}: junit's zeto_sdk.version is {properties.get('zeto_sdk.version')}", out)
        if not found:
            print(f"    {case}: the hung test named in the dump, at the statement running (the .py file) or at "
                  f"its def line (the compiled test, whose statements have no frame)")
            continue
        py_run = found.pop(".py file")
        for how, result in found.items():
            for i, what in enumerate(("exit code", "outcomes", "messages", "counts", "report", "shown messages",
                                      "coverage")):
                expect(what == "report" and "report" not in must_match or result[i] == py_run[i],
                       f"{case}: {how}'s {what} differ from the .py file's:\n{result[i]}\n.py file:\n{py_run[i]}", "")
        print(f"    {case}: as the .py file, {counts_shown(py_run)}")
    check_layouts(venv, checkout, env, artifact)


# SDK checkouts of other layouts, sharing the venv: pytest --zeto-suite runs
# their own tests (test_own*) beside the suite, which tests their working copy
# of the SDK (its update keeps None values: one test fails), whatever their
# settings say. Files by path; "SDK" is where the SDK package goes, "VENV"
# a venv of the checkout's own inside it (with "PYTEST"), where pytest reaches
# the suite through the checkout's directories, whose names do not match
# python_files.
LAYOUTS = {
    "tests package without tests/unit, pyproject.toml, conftest.py at the root": {
        "pyproject.toml": '[tool.pytest.ini_options]\ntestpaths = ["tests"]\naddopts = "-ra"\n',
        "conftest.py": "import pytest\n\n\n@pytest.fixture\ndef own():\n    return 1\n",
        "tests/__init__.py": "", "tests/test_own.py": "def test_own(own):\n    assert own == 1\n", "SDK": "."},
    "tests/unit with a test_zeto_data.py of its own, no packages, pytest.ini, conftest.py in tests/": {
        "pytest.ini": "[pytest]\nnorecursedirs = .* build\n", "tests/conftest.py": "",
        "tests/unit/test_zeto_data.py": "def test_own_unit():\n    pass\n",
        "tests/test_own.py": "def test_own():\n    pass\n", "SDK": "."},
    "tests and tests/unit packages, tox.ini, python_files = check_*.py, a venv of its own with pytest 8.4": {
        "tox.ini": "[pytest]\npython_files = check_*.py\n", "tests/__init__.py": "", "tests/unit/__init__.py": "",
        "tests/unit/test_zeto_data.py": "def test_not_collected():\n    assert False\n",
        "tests/unit/check_own.py": "def test_own():\n    pass\n",
        "SDK": ".", "VENV": ".venv", "PYTEST": "pytest==8.4.2"},
    "src/ layout, setup.cfg": {
        "setup.cfg": "[tool:pytest]\ntestpaths = tests\naddopts = --strict-markers\n",
        "tests/test_own.py": "def test_own():\n    pass\n", "SDK": "src"},
}
STORES_NONE = [("if value is not None:", "if True:")]
STORES_NONE_FAILS = f"{LISTING}::TestMetaSource::test_update_ignores_none_values"


def check_layouts(venv, checkout, env, artifact):
    """LAYOUTS; the working copy chosen where a release of the SDK is
    installed too; the last-failed cache of two checkouts of one venv."""
    py, command = venv / "bin" / "python", venv / "bin" / "zeto-compiled-tests"
    others = []
    for n, (layout, files) in enumerate(LAYOUTS.items()):
        where = WORK / f"layout {n}"
        shutil.rmtree(where, ignore_errors=True)
        copy_sdk(where / files["SDK"], *STORES_NONE)
        for path, text in files.items():
            if path not in ("SDK", "VENV", "PYTEST"):
                (where / path).parent.mkdir(parents=True, exist_ok=True)
                (where / path).write_text(text)
        own_py = py
        if "VENV" in files:
            own_py = make_venv(py, where / files["VENV"])[0]
            run(own_py, "-m", "pip", "install", "--quiet", artifact, files["PYTEST"])
        done = run(own_py, "-m", "pytest", "--zeto-suite", "-rA", f"--junitxml={OUT}/junit.xml", cwd=where, env=env,
                   check=False)
        outcomes_, _, _, own = junit(where / OUT / "junit.xml")
        wrong = {nodeid: o for nodeid, o in outcomes_.items() if bool(o) != (nodeid == STORES_NONE_FAILS)}
        expect(done.returncode == 1 and len(outcomes_) == len(LISTING_SHAPE.tests) and not wrong
               and own == sum("def test_own" in text for text in files.values())
               and f"zeto_sdk: {(where / files['SDK'] / 'zeto_sdk').resolve()} (" in done.stdout,
               f"pytest --zeto-suite in a checkout with {layout}: not its own tests beside the suite, which "
               f"fails {STORES_NONE_FAILS} alone (wrong: {wrong})", done.stdout)
        others.append(where)
        print(f"    --zeto-suite, {layout}: its own tests beside the suite, as expected")
    # A correct release of the SDK installed beside the working copy, as a
    # distribution and editable: the working copy is the one tested.
    release = WORK / "release"
    shutil.rmtree(release, ignore_errors=True)
    copy_sdk(release)
    (release / "setup.py").write_text((checkout / "setup.py").read_text().replace(SDK_VERSION, "2.4.0"))
    for how in ([], ["-e"]):
        run(py, "-m", "pip", "install", "--quiet", *how, release)
        for start in ([command], [py, "-m", "pytest", "--zeto-suite", "-o", "addopts="]):
            done = run(*start, "-rA", cwd=checkout, env=env, check=False)
            shown = {nodeid for outcome, nodeid in SUMMARY_LINE.findall(done.stdout) if outcome == "FAILED"}
            expect(done.returncode == 1 and shown == set(DASHED_FAILS) and "version 2.4.0" not in done.stdout,
                   f"{' '.join(map(str, start))} with a release installed {' '.join(how) or 'as a distribution'}: "
                   f"not the working copy tested", done.stdout)
        print(f"    a release installed {' '.join(how) or 'as a distribution'} beside: the working copy tested")
    # Each checkout's last failures are its own.
    last_failures = ((checkout, DASHED_FAILS), (others[0], [STORES_NONE_FAILS]))
    for where, _ in last_failures:
        run(command, cwd=where, env=env, check=False)
    for where, failed in last_failures:
        done = run(command, "--lf", "-rA", cwd=where, env=env, check=False)
        expect(outcomes(done.stdout) == {nodeid: "FAILED" for nodeid in failed},
               f"zeto-compiled-tests --lf in {where}: not its own last failures {failed}", done.stdout)
    print("    --lf in two checkouts of one venv: each its own last failures")


def counts_shown(result):
    shown = ", ".join(f"{n} {word}" for word, n in result[3].items())
    return shown or f"exit code {result[0]}"


# The sdist built by pip alone through other toolchains than the
# interpreter's own: clang++ with LLVM's C++ library (as on macOS), and a
# compiler and linker that refuse the options only GNU's take (as Apple's
# do), standing in for a toolchain this machine has not.
REFUSING = """#!/bin/sh
for arg; do
    case "$arg" in -Wl,--*|-static-libgcc|-fno-plt) echo "unknown option: $arg" >&2; exit 1 ;; esac
done
exec g++ "$@"
"""
TOOLCHAINS = {"clang++ and libc++": ("clang++ -stdlib=libc++", "clang++"),
              "a compiler and linker that refuse GNU-only options": ("{refusing}", "{refusing}")}


def check_toolchains(python, sdist, expected, checkout):
    """The sdist built through each of TOOLCHAINS (as CXX, and as the driver
    of CC and LDSHARED), and the command it installs as make run."""
    refusing = WORK / "refusing-c++"
    refusing.write_text(REFUSING)
    refusing.chmod(0o755)
    for name, (cxx, cc) in TOOLCHAINS.items():
        cxx, cc = cxx.format(refusing=refusing), cc.format(refusing=refusing)
        venv = WORK / f"toolchain {name}"
        py = make_venv(python, venv)[0]
        env = dict(os.environ, CC=cc, CXX=cxx, LDSHARED=f"{cxx} -shared")
        built = run(py, "-m", "pip", "install", "-v", "--no-cache-dir", sdist, env=env).stdout
        commands = [line.strip() for line in built.splitlines() if line.strip().startswith((cxx, cc))]
        refused = [line for line in commands if re.search(r" (-Wl,--|-static-libgcc|-fno-plt)", line)]
        strict = [line for line in commands if " -Werror" in line]
        expect(len(commands) >= 2 and not (refused and "refuse" in name) and not strict,
               f"pip install of the sdist with {name}: the build ran {len(commands)} commands of the toolchain, "
               f"{len(refused)} with options it refuses, {len(strict)} with warnings as errors", built)
        done = run(venv / "bin" / "zeto-compiled-tests", "-rA", cwd=checkout, check=False,
                   env={k: v for k, v in os.environ.items() if k not in ("ZETO_SDK", "PYTEST_ADDOPTS")})
        expect(outcomes(done.stdout) == expected, f"the sdist built with {name}: not as make run", done.stdout)
        print(f"  the sdist built with {name}: as make run; compiled and linked by\n"
              + "".join(f"    {line}\n" for line in commands if "module.cpp" in line or " -shared " in line), end="")


def main():
    pairs = [arg.split("=", 1) for arg in sys.argv[1:]]
    WORK.mkdir(parents=True, exist_ok=True)
    reference = WORK / "sdk checkout make run"
    make_checkout(reference)
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAKE") and k not in ("ZETO_SDK", "PYTEST_ADDOPTS")}
    env["PWD"] = str(reference)
    dependency = WORK / "dependency"
    dependency.mkdir(exist_ok=True)
    (dependency / "zeto_dependency.py").write_text("")
    env["PYTHONPATH"] = str(dependency)
    done = run("make", "-s", "-C", ROOT, "run", f"SDK={reference}", "ARGS=-rA -p no:cacheprovider",
               cwd=reference, env=env, check=False)
    expected = outcomes(done.stdout)
    expect(totals(expected).startswith(f"{len(FAILING)} failed"),
           f"make run SDK=<checkout>: not {len(FAILING)} failed", done.stdout)
    plugins_checked = False
    for python, artifact in pairs:
        tag, installed = check(python, artifact, expected)
        if artifact.endswith(".tar.gz"):
            check_toolchains(python, artifact, expected, installed[1])
        if tag == "%d.%d" % sys.version_info[:2] and not plugins_checked:
            check_plugins(*installed)
            plugins_checked = True


if __name__ == "__main__":
    main()
