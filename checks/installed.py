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
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from listing import LISTING as LISTING_SHAPE
from stand_in import DASHED_KEY, copy_sdk

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "installed"
# The two statements the fault fails, and the values shown for each.
FAILING = {LISTING_SHAPE.assertion_line(name, "source_key"): values for name, values in (
    ("test_init_with_node_sets_fields", "assert 'node-1-0' == 'node-1_0'"),
    ("test_to_dict_returns_dict_with_id", "assert 'node-1-1' == 'node-1_1'"))}
LISTING = "tests/unit/test_zeto_data.py"
SUMMARY_LINE = re.compile(r"^(PASSED|FAILED|XFAIL|XPASS|ERROR|SKIPPED) (\S+)", re.M)


def run(*args, cwd=None, env=None, check=True):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=900)
    if check and done.returncode != 0:
        raise SystemExit(f"FAIL: {' '.join(map(str, args))} exited with {done.returncode}:\n{done.stdout}")
    return done


def make_checkout(where):
    """An SDK checkout: the stand-in's code as the author's SDK, with a fault,
    a dependency, and everything of its own that must stay out of the run."""
    shutil.rmtree(where, ignore_errors=True)
    copy_sdk(where, *DASHED_KEY,
             ("import json\n", "import json\nimport zeto_dependency  # only the SDK's venv has it\n"))
    (where / "setup.py").write_text(
        "from setuptools import setup\n"
        "setup(name='zeto-sdk', version='2.5.0', packages=['zeto_sdk', 'zeto_sdk.redis'])\n")
    (where / "tests" / "unit").mkdir(parents=True)
    (where / "tests" / "__init__.py").write_text("")
    (where / "tests" / "unit" / "__init__.py").write_text("")
    (where / "tests" / "unit" / "test_zeto_data.py").write_text("def test_own():\n    pass\n")
    (where / "conftest.py").write_text(
        "import os\nif os.environ.get('OWN_CONFTEST_FORBIDDEN'):\n"
        "    raise RuntimeError(\"the checkout's conftest.py was loaded\")\n")
    # Settings that would select none of the suite's tests.
    (where / "pytest.ini").write_text("[pytest]\naddopts = -m own_tests_only\n")


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
    make_checkout(checkout)
    # The venv inside the checkout, where SDK authors tend to keep theirs.
    venv = checkout / ".venv"
    run(python, "-m", "venv", venv)
    py = venv / "bin" / "python"
    run(py, "-m", "pip", "install", "--quiet", "--upgrade", "pip<22; python_version < '3.7'",
        "pip; python_version >= '3.7'")
    run(py, "-m", "pip", "install", "--quiet", artifact)
    run(py, "-m", "pip", "install", "--quiet", "-e", checkout)
    site = Path(run(py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").stdout.strip())
    (site / "zeto_dependency.py").write_text("")
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
            expect(f"{LISTING}:{line}: AssertionError" in out and shown in out,
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
    for python, artifact in pairs:
        check(python, artifact, expected)


if __name__ == "__main__":
    main()
