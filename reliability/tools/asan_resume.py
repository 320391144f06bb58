"""pytest plugin for reliability/asan.sh: lets a sanitized run of the suite go on past a test that
ends the interpreter, and ties every sanitizer report to the test that caused it.

Driven by environment variables (all paths):
  ASAN_RESUME_STARTED  one line per test, written and flushed as the test starts; tests already
                       listed there are deselected, so a rerun resumes after a crash
  ASAN_RESUME_RESULTS  "<outcome>\t<nodeid>" per finished test (passed, failed, skipped, error)
  ASAN_RESUME_FAILURES the failure texts of failed tests
  ASAN_RESUME_REPORTS  directory for per-test sanitizer logs: while test number N (its line in
                       the started file) runs, ASAN_OPTIONS and UBSAN_OPTIONS name
                       <dir>/test-N-asan and <dir>/test-N-ubsan as log paths, so reports of any
                       subprocess the test starts land there (the interpreter running pytest
                       read its own options at start-up and logs to <dir>/asan.PID, ubsan.PID).
  ASAN_RESUME_WARMUP   when set, a test collected twice (pytest --keep-duplicates) runs the first
                       time as a warm-up: its outcome is recorded as "warmup-<outcome>" and does
                       not count. For checks that measure the resident size: the sanitizer's
                       allocator and shadow memory grow once, on first use of each path.
"""

import collections
import os
import re

import pytest

_STARTED = os.environ.get("ASAN_RESUME_STARTED")
_RESULTS = os.environ.get("ASAN_RESUME_RESULTS")
_FAILURES = os.environ.get("ASAN_RESUME_FAILURES")
_REPORTS = os.environ.get("ASAN_RESUME_REPORTS")
_WARMUP = bool(os.environ.get("ASAN_RESUME_WARMUP"))
_in_warmup = False


def _started():
    if not _STARTED or not os.path.exists(_STARTED):
        return []
    with open(_STARTED, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f]


def _append(path, text):
    if not path:
        return
    with open(path, "a", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())


def _with_log_path(options, path):
    options = re.sub(r"(^|[,:])log_path=[^,:]*", "", options).strip(",:")
    return f"log_path={path}" + ("," + options if options else "")


def _label(nodeid):
    return ("warmup " if _in_warmup else "") + nodeid


def pytest_collection_modifyitems(session, config, items):
    started = _started()
    finished = set()
    if _RESULTS and os.path.exists(_RESULTS):
        with open(_RESULTS, encoding="utf-8") as f:
            finished = {line.rstrip("\n").split("\t", 1)[-1] for line in f}
    # Deselected: tests whose real run started, and tests whose warm-up never finished (crashed).
    done = {s for s in started if not s.startswith("warmup ")}
    done |= {s[len("warmup "):] for s in started if s.startswith("warmup ") and s not in finished}
    if done:
        keep = [it for it in items if it.nodeid not in done]
        dropped = [it for it in items if it.nodeid in done]
        if dropped:
            config.hook.pytest_deselected(items=dropped)
            items[:] = keep
    if _WARMUP:
        count = collections.Counter(it.nodeid for it in items)
        seen = set()
        for it in items:
            it._asan_warmup = count[it.nodeid] > 1 and it.nodeid not in seen
            seen.add(it.nodeid)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    global _in_warmup
    _in_warmup = getattr(item, "_asan_warmup", False)
    yield
    _in_warmup = False


def pytest_runtest_logstart(nodeid, location):
    _append(_STARTED, _label(nodeid) + "\n")
    if _REPORTS:
        n = len(_started())
        for var, tool in (("ASAN_OPTIONS", "asan"), ("UBSAN_OPTIONS", "ubsan")):
            os.environ[var] = _with_log_path(os.environ.get(var, ""), f"{_REPORTS}/test-{n}-{tool}")


def pytest_runtest_logreport(report):
    outcome = None
    if report.when == "call":
        outcome = report.outcome
    elif report.failed:
        outcome = "error"
    elif report.when == "setup" and report.skipped:
        outcome = "skipped"
    if outcome:
        if _in_warmup:
            outcome = "warmup-" + outcome
        _append(_RESULTS, f"{outcome}\t{_label(report.nodeid)}\n")
    if report.failed and not _in_warmup:
        _append(_FAILURES, f"===== {report.nodeid} ({report.when})\n{report.longreprtext}\n")
