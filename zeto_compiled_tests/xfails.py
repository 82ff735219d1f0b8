"""Known failures of the SDK (--zeto-xfails FILE): listed tests run, and
are reported as xfailed while they fail and as failures once they pass."""

from pathlib import Path
from typing import Dict, NamedTuple

import pytest

from zeto_compiled_tests.files import listings, node_id


class KnownFailure(NamedTuple):
    """An entry of the --zeto-xfails file."""

    where: str  # FILE:LINE, the file as given
    reason: str


KNOWN_FAILURES_KEY = pytest.StashKey()


def known_failures(config: pytest.Config) -> Dict[str, KnownFailure]:
    return config.stash.get(KNOWN_FAILURES_KEY, {})


def read_known_failures(config: pytest.Config) -> Dict[str, KnownFailure]:
    """The entries of the --zeto-xfails file by node id. An entry must name
    a declared listing; whether that listing holds the test is checked when
    it is collected."""
    option = config.getoption("zeto_xfails")
    if not option:
        return {}
    path = Path(option).expanduser().resolve()
    try:
        with open(str(path), encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as err:
        reason = getattr(err, "strerror", None) or err
        raise pytest.UsageError(f"--zeto-xfails={option}: cannot read {path}: {reason}") from None
    suites = sorted(node_id(listing, config) for listing in listings(config))
    entries = {}
    for number, line in enumerate(lines, 1):
        fields = line.split("#", 1)[0].split(None, 1)
        if not fields:
            continue
        nodeid, where = fields[0], f"{option}:{number}"
        if nodeid in entries:
            raise pytest.UsageError(f"{where}: {nodeid} is listed already, at {entries[nodeid].where}")
        if nodeid.split("::", 1)[0] not in suites:
            raise pytest.UsageError(
                f"{where}: {nodeid} names no test of the compiled listings ({', '.join(suites) or 'none declared'})")
        reason = fields[1].strip() if len(fields) > 1 else f"listed in {where}"
        entries[nodeid] = KnownFailure(where, reason)
    return entries


def listed_as(nodeid: str) -> str:
    """The node id an entry names for a test's item: the test's own, without
    the parameters that a plugin (pytest-repeat) may have given it."""
    head, _, name = nodeid.rpartition("::")
    return f"{head}::{name.split('[', 1)[0]}" if head else nodeid


def known_failure_passed(item: pytest.Item, call: "pytest.CallInfo[None]", report: pytest.TestReport) -> None:
    """Names the entry to remove in the report of a listed test that passed
    (a failed call without an exception: a strict xfail that passed)."""
    failure = known_failures(item.config).get(listed_as(item.nodeid))
    if failure is not None and report.when == "call" and report.failed and call.excinfo is None:
        report.longrepr = f"{report.longrepr}\n{item.nodeid} passed: remove its entry at {failure.where}"
