"""How the SDK fared: a summary by test class at the end of the run, and
the same as properties of the test suite in junit XML."""

import collections
from typing import Dict, Iterator, List, Optional, Set, Tuple

import pytest

from zeto_compiled_tests import __version__
from zeto_compiled_tests.collect import CompiledFunction, CompiledModule
from zeto_compiled_tests.sdk import SDK_PACKAGE, sdk_tested
from zeto_compiled_tests.xfails import known_failures, listed_as

DISTRIBUTION = "zeto-compiled-tests"

# The later wins among a test's reports; "error" is a failure in setup or
# teardown, as pytest counts it.
OUTCOMES = ("passed", "skipped", "xfailed", "error", "failed")
SHOWN = ("xfailed", "failed", "error", "skipped", "not run")
WORKER_OUTPUT = "compiled_tests"
CONFORMANCE_KEY = pytest.StashKey()


class Conformance:
    """How the SDK fared with the tests of the declared listings, by test
    class: shown after the run, and kept as properties of the test suite with
    --junitxml. Under pytest-xdist the workers collect, and each sends what
    it collected to the controller, which sees every report."""

    def __init__(self, config: pytest.Config) -> None:
        self.config = config
        config.stash[CONFORMANCE_KEY] = self
        self.classes: Dict[str, str] = {}  # node id: test class, in collection order
        self.sdk: Optional[Tuple[str, Optional[str]]] = None  # path, version
        self.outcomes: Dict[str, str] = {}
        self.xfailed: Dict[str, str] = {}  # node id: reason
        self.passed_though_listed: Set[str] = set()

    @pytest.hookimpl(tryfirst=True)
    def pytest_collection_modifyitems(self, items: List[pytest.Item]) -> None:
        # Before any deselection: the totals are those of the suite.
        for item in items:
            module = item.getparent(CompiledModule)
            if not isinstance(item, CompiledFunction) or module is None or module.listing is None:
                continue  # classes that other test modules imported count where they are defined
            cls = item.getparent(pytest.Class)
            self.classes[item.nodeid] = cls.name if cls is not None else module.name
            if self.sdk is None:
                self.sdk = sdk_tested(module.obj)
        worker_output = getattr(self.config, "workeroutput", None)
        if worker_output is not None:
            worker_output[WORKER_OUTPUT] = {"classes": list(self.classes.items()), "sdk": self.sdk}

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node: object, error: object) -> None:
        collected = getattr(node, "workeroutput", {}).get(WORKER_OUTPUT)
        if collected and not self.classes:
            self.classes = dict(collected["classes"])
            self.sdk = collected["sdk"] and tuple(collected["sdk"])

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        listed = listed_as(report.nodeid)
        if (listed in known_failures(self.config) and report.when == "call" and report.failed
                and not self.config.getoption("runxfail", False)):
            # A known failure that passed: the SDK passes the test, and the
            # run fails for the entry alone.
            self.passed_though_listed.add(listed)
            outcome = "passed"
        elif report.failed:
            outcome = "failed" if report.when == "call" else "error"
        elif report.skipped:
            outcome = "xfailed" if hasattr(report, "wasxfail") else "skipped"
            if outcome == "xfailed":
                self.xfailed[report.nodeid] = report.wasxfail
        elif report.passed and report.when == "call":
            outcome = "passed"
        else:
            return  # another phase that passed, or a failure to be run again (pytest-rerunfailures)
        previous = self.outcomes.get(report.nodeid, outcome)
        self.outcomes[report.nodeid] = max(previous, outcome, key=OUTCOMES.index)

    def counts(self) -> Dict[str, "collections.Counter[str]"]:
        counts: Dict[str, "collections.Counter[str]"] = {}
        for nodeid, cls in self.classes.items():
            counts.setdefault(cls, collections.Counter())[self.outcomes.get(nodeid, "not run")] += 1
        return counts

    def versions(self) -> Tuple[str, str, Optional[str]]:
        """The suite's version, and the path and version of the SDK tested."""
        sdk, sdk_version = self.sdk or ("not imported", None)
        return __version__, sdk, sdk_version

    def pytest_terminal_summary(self, terminalreporter: "pytest.TerminalReporter") -> None:
        if not self.classes or self.config.getoption("collectonly"):
            return
        write = terminalreporter.write_line
        terminalreporter.write_sep("=", f"{SDK_PACKAGE} conformance")
        counts = self.counts()
        width = max(map(len, counts))
        for cls, count in counts.items():
            shown = "".join(f", {count[outcome]} {outcome}" for outcome in SHOWN if count[outcome])
            write(f"{cls:<{width}}  passed {count['passed']} of {sum(count.values())}{shown}")
        for nodeid in self.classes:
            if nodeid in self.xfailed:
                write(f"xfailed {nodeid} - {self.xfailed[nodeid]}")
        for nodeid, failure in known_failures(self.config).items():
            if nodeid in self.passed_though_listed:
                write(f"{nodeid} passed: remove its entry at {failure.where}", red=True)
        suite_version, sdk, sdk_version = self.versions()
        write(f"suite: {DISTRIBUTION} {suite_version}")
        write(f"{SDK_PACKAGE} tested: {sdk}" + (f", version {sdk_version}" if sdk_version else ""))

    def properties(self) -> Iterator[Tuple[str, object]]:
        suite_version, sdk, sdk_version = self.versions()
        yield "compiled_tests.version", suite_version
        yield f"{SDK_PACKAGE}.path", sdk
        if sdk_version:
            yield f"{SDK_PACKAGE}.version", sdk_version
        for cls, count in self.counts().items():
            yield f"compiled_tests.{cls}.total", sum(count.values())
            for outcome in OUTCOMES + ("not run",):
                yield f"compiled_tests.{cls}.{outcome.replace(' ', '_')}", count[outcome]


@pytest.fixture(scope="session", autouse=True)
def _compiled_tests_properties(request: pytest.FixtureRequest) -> Iterator[None]:
    """With --junitxml, the facts of the conformance summary as properties of
    the test suite, recorded once all tests have run. (pytest-xdist's
    controller writes the XML, and takes no such properties.)"""
    record = None
    if request.config.getoption("xmlpath", None):
        record = request.getfixturevalue("record_testsuite_property")
    yield
    conformance = request.config.stash.get(CONFORMANCE_KEY, None)
    if record is not None and conformance is not None and conformance.classes:
        for name, value in conformance.properties():
            record(name, value)
