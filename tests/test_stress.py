"""Process and thread stress: searches on the worker pool before and after fork(), in forked
multiprocessing workers, and from many Python threads at once while others build and serialise
books. Every result is checked against expectations made beforehand; a hang is a failure."""

import json
import multiprocessing
import os
import threading
import time

import pytest

import tabrix
from tabrix import _testing, readable

FORK_WARNING = "ignore:This process .* is multi-threaded:DeprecationWarning"
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")

ROWS, COLS = 30_000, 10  # 300,000 cells: large enough that searches hand work to helper threads
CHILD_TIMEOUT = 60.0


def big_value(row, col):
    i = (row - 1) * COLS + (col - 1)
    return "Total" if i % 49_999 == 7 else f"w{i % 1000}"


class SourceSheet(dict):
    """A loaded worksheet as a dict subclass: fields as items, cells as an attribute."""


def big_source():
    sheet = SourceSheet(name="Big", sheet_state="visible", merge_cells=[(1, 2, 1, 3)])
    sheet.cells = [
        {"row": r, "column": c, "value": big_value(r, c), "formula": None, "data_type": "s"}
        for r in range(1, ROWS + 1)
        for c in range(1, COLS + 1)
    ]
    return sheet


def small_source(name, n):
    sheet = SourceSheet(name=name, sheet_state="visible", merge_cells=None)
    sheet.cells = [
        {"row": i, "column": 1, "value": f"{name}-{i}", "formula": None, "data_type": "s"} for i in range(1, n + 1)
    ]
    return sheet


# Expectations computed from the generating formula, not from tabrix.
TOTALS = [(r, c) for r in range(1, ROWS + 1) for c in range(1, COLS + 1) if big_value(r, c) == "Total"]
W7_EXACT = [(r, c) for r in range(1, ROWS + 1) for c in range(1, COLS + 1) if big_value(r, c) == "w7"]


class Big:
    finder = None
    sheet = None
    cells = None


@pytest.fixture(scope="module")
def big():
    Big.finder = readable.Finder([big_source(), small_source("Small", 50), small_source("Other", 5)])
    Big.sheet = Big.finder.sheets[0]
    Big.cells = Big.sheet.cells
    yield Big
    Big.finder = Big.sheet = Big.cells = None


def rc(found):
    if found is None:
        return None
    if isinstance(found, list):
        return [(c.row, c.column) for c in found]
    return (found.row, found.column)


def helper_chunks():
    return _testing.pool_stats()[1]


def check_searches(sheet, cells):
    """The searches every process runs; returns the names of those that gave a wrong result."""
    wrong = []
    if rc(sheet.find_cells_by_regex("Total")) != TOTALS:
        wrong.append("ReadableSheet.find_cells_by_regex")
    if rc(sheet.find_cell_by_str("Total")) != TOTALS[0]:
        wrong.append("ReadableSheet.find_cell_by_str")
    if rc(sheet.find_cells_by_str("w7")) != W7_EXACT:
        wrong.append("ReadableSheet.find_cells_by_str")
    if rc(readable.find_cells_by_regex("Total", cells)) != TOTALS:
        wrong.append("readable.find_cells_by_regex")
    if rc(readable.find_cell_by_regex("Total", cells[100:])) != TOTALS[1]:
        wrong.append("readable.find_cell_by_regex")
    return wrong


def build_book(variant):
    book = tabrix.Book()
    sheet = book.add_sheet(f"Built {variant}")
    for i in range(200):
        sheet.cell(i // 5 + 1, i % 5 + 1, f"{variant}:{i}" if i % 3 else str(i * variant))
    sheet.cell(50, 1).set_value_number(variant / 8)
    sheet.add_merge_cells(1, 2, 1, 5)
    sheet.add_comment(1, 1, f"note {variant}", "stress")
    sheet.set_height_row(3, 10.0 + variant)
    return book


EXPECTED_JSON = {v: build_book(v).to_json() for v in range(4)}


def wait_for_child(pid):
    """The child's exit code; a child still running after the timeout is killed and fails."""
    deadline = time.monotonic() + CHILD_TIMEOUT
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail(f"child {pid} hung (killed after {CHILD_TIMEOUT:.0f} s)")
        time.sleep(0.02)


def searched_on_helpers(search, expected, tries=300):
    """Repeats `search` until one of its runs has had chunks done by helper threads (a fresh
    process starts its helpers on first hand-off, and a caller may finish a job alone while they
    start). Returns (every result was right, helpers did work)."""
    before = helper_chunks()
    for _ in range(tries):
        if rc(search()) != expected:
            return False, helper_chunks() > before
        if helper_chunks() > before:
            return True, True
    return True, False


def child_work(sheet, cells):
    """Runs in a forked child; the exit code says what went wrong (0: nothing)."""
    code = 99
    try:
        right, handed_off = searched_on_helpers(lambda: sheet.find_cells_by_regex("Total"), TOTALS)
        if check_searches(sheet, cells) or not right:
            code = 1
        elif not handed_off:
            code = 2  # the child never handed work to helper threads
        elif build_book(3).to_json() != EXPECTED_JSON[3]:
            code = 3
        else:
            code = 0
    finally:
        os._exit(code)


@pytest.mark.filterwarnings(FORK_WARNING)
@needs_fork
def test_parent_and_child_search_after_fork(big):
    # The parent's helpers are running and have done work before the fork.
    assert searched_on_helpers(lambda: big.sheet.find_cells_by_regex("Total"), TOTALS) == (True, True)
    assert check_searches(big.sheet, big.cells) == []
    pid = os.fork()
    if pid == 0:
        child_work(big.sheet, big.cells)
    # The parent works while the child does.
    assert check_searches(big.sheet, big.cells) == []
    assert build_book(2).to_json() == EXPECTED_JSON[2]
    assert wait_for_child(pid) == 0


@pytest.mark.filterwarnings(FORK_WARNING)
@needs_fork
def test_fork_while_another_thread_searches(big):
    """fork() can catch the pool in the middle of a job run by another thread: helpers holding
    chunks, the job's bookkeeping half-updated. The child must still search, and so must the
    parent once the fork is over."""
    stop = threading.Event()
    errors = []

    def searcher():
        try:
            while not stop.is_set():
                if rc(big.sheet.find_cells_by_regex("Total")) != TOTALS:
                    errors.append("wrong result in the parent's searching thread")
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    thread = threading.Thread(target=searcher)
    thread.start()
    codes = []
    try:
        for _ in range(6):
            time.sleep(0.01)
            pid = os.fork()
            if pid == 0:
                child_work(big.sheet, big.cells)
            codes.append(wait_for_child(pid))
    finally:
        stop.set()
        thread.join(timeout=CHILD_TIMEOUT)
    assert not thread.is_alive(), "the parent's searching thread hung"
    assert codes == [0] * 6 and errors == []
    assert check_searches(big.sheet, big.cells) == []


def pool_worker(task):
    """Runs in a multiprocessing worker forked from the test process: (pid, result, whether
    helper threads did part of the searching)."""
    if task == "sheet":
        return (os.getpid(), *searched_on_helpers(lambda: Big.sheet.find_cells_by_regex("Total"), TOTALS))
    if task == "cells":
        return (os.getpid(), *searched_on_helpers(lambda: readable.find_cells_by_regex("Total", Big.cells), TOTALS))
    return os.getpid(), json.loads(build_book(task).to_json()), True


@pytest.mark.filterwarnings(FORK_WARNING)
@needs_fork
def test_multiprocessing_fork_pool(big):
    assert rc(big.sheet.find_cells_by_regex("Total")) == TOTALS  # the parent's pool is running
    tasks = ["sheet", "cells", 1, "sheet", 2, "cells", "sheet", 3]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        results = pool.map_async(pool_worker, tasks, chunksize=1).get(timeout=CHILD_TIMEOUT)
    pids = {pid for pid, _, _ in results}
    assert os.getpid() not in pids and 1 <= len(pids) <= 2
    for task, (_, result, handed_off) in zip(tasks, results):
        if isinstance(task, int):
            assert result == json.loads(EXPECTED_JSON[task]), task
        else:
            assert result is True and handed_off is True, task


# --- Threads -----------------------------------------------------------------------------------

RUN_SECONDS = 5.0


def search_plan(big):
    """(label, call, normalise): each call's result, normalised, must equal what it gave before
    any thread started; the first few are also checked against the generating formula."""
    s, cells = big.sheet, big.cells
    small = big.finder.sheets[1]
    small_cells = small.cells
    part = cells[: 50 * COLS]
    plan = [
        ("sheet regex", lambda: s.find_cells_by_regex("Total"), rc),
        ("sheet first regex", lambda: s.find_cell_by_regex("Total"), rc),
        ("sheet str", lambda: s.find_cells_by_str("w7"), rc),
        ("cells regex", lambda: readable.find_cells_by_regex("Total", cells), rc),
        ("cells first str", lambda: readable.find_cell_by_str("Total", cells), rc),
        ("sheet coords", lambda: s.find_cell_by_coords(ROWS, COLS), rc),
        ("sheet value", lambda: s.find_value_by_coords(ROWS // 2, 4), None),
        ("sheet letter", lambda: s.find_cell_by_letter("J30000"), rc),
        ("sheet range rows", lambda: s.find_cells_range_rows(100, 102), rc),
        ("sheet range cols", lambda: s.find_cells_range_cols(3, 3), rc),
        ("sheet cells range", lambda: s.get_cells_by_range(5, 9, 2, 4), rc),
        ("sheet values col", lambda: s.find_values_by_col_rows(3, [5, 6, 7, 30_000]), None),
        ("sheet values row", lambda: s.find_values_by_row_cols(12, (1, 10, 11)), None),
        ("sheet for rows", lambda: s.find_cells_for_rows_by_regex("w9", 4), rc),
        ("sheet for cols", lambda: s.find_cells_for_cols_by_regex("w99", 700), rc),
        ("sheet multi", lambda: s.find_cells_multi_regex("Total", "w10"), rc),
        ("sheet between", lambda: s.find_cells_between_regex("w999", "Total"), rc),
        ("cells multi", lambda: readable.find_cells_multi_regex("w1", "w2", part), rc),
        ("cells between", lambda: readable.find_cells_between_regex("w10", "w20", part), rc),
        ("cells for rows", lambda: readable.find_cells_for_rows_by_regex("w", 2, part), rc),
        ("cells for cols", lambda: readable.find_cells_for_cols_by_regex("w", 3, part), rc),
        ("cells range rows", lambda: readable.find_cells_range_rows(2, 3, cells), rc),
        ("cells range cols", lambda: readable.find_cells_range_cols(10, 10, part), rc),
        ("cells coords", lambda: readable.find_cell_by_coords(7, 7, cells), rc),
        ("cells value", lambda: readable.find_value_by_coords(7, 7, cells), None),
        ("cells letter", lambda: readable.find_cell_by_letter("A2", small_cells + cells), rc),
        ("cells values col", lambda: readable.find_values_by_col_rows(1, [2, 4], small_cells), None),
        ("cells values row", lambda: readable.find_values_by_row_cols(4, [1, 2], cells), None),
        ("small str", lambda: small.find_cell_by_str("Small-7"), rc),
        ("finder name", lambda: big.finder.find_sheet_by_name("Other").name, None),
        ("finder regex", lambda: big.finder.find_sheet_by_regex("^Sm").name, None),
        ("finder names", lambda: [x.name for x in big.finder.get_sheets_without_names(["Big"])], None),
    ]
    independent = {
        "sheet regex": TOTALS,
        "sheet first regex": TOTALS[0],
        "sheet str": W7_EXACT,
        "cells regex": TOTALS,
        "cells first str": TOTALS[0],
        "sheet coords": (ROWS, COLS),
        "sheet value": big_value(ROWS // 2, 4),
        "sheet letter": (ROWS, COLS),
        "sheet range cols": [(r, 3) for r in range(1, ROWS + 1)],
        "cells value": big_value(7, 7),
        "small str": (7, 1),
        "finder regex": "Small",
        "finder names": ["Small", "Other"],
    }
    return plan, independent


def outcome(call, normalise):
    result = call()
    return normalise(result) if normalise else result


def test_threads_search_while_others_build(big):
    plan, independent = search_plan(big)
    expected = {label: outcome(call, norm) for label, call, norm in plan}
    for label, value in independent.items():
        assert expected[label] == value, label
    deadline = time.monotonic() + RUN_SECONDS
    errors, counts = [], {}

    def searcher(k):
        done = 0
        try:
            while time.monotonic() < deadline:
                label, call, norm = plan[(done + 5 * k) % len(plan)]
                got = outcome(call, norm)
                if got != expected[label]:
                    errors.append(f"searcher {k}, {label}: wrong result")
                done += 1
        except BaseException as e:  # noqa: BLE001
            errors.append(f"searcher {k}: {type(e).__name__}: {e}")
        counts[f"searcher {k}"] = done

    def builder(k):
        done = 0
        try:
            while time.monotonic() < deadline:
                variant = (done + k) % 4
                book = build_book(variant)
                if book.to_json() != EXPECTED_JSON[variant]:
                    errors.append(f"builder {k}: wrong document for variant {variant}")
                if done % 10 == 0 and book.to_dict() != json.loads(EXPECTED_JSON[variant]):
                    errors.append(f"builder {k}: wrong dict for variant {variant}")
                finder = readable.create_finder([small_source(f"T{k}", 30)])
                if rc(finder.sheets[0].find_cells_by_regex("-2")) != [(2, 1)] + [(r, 1) for r in range(20, 30)]:
                    errors.append(f"builder {k}: wrong search in its own finder")
                done += 1
        except BaseException as e:  # noqa: BLE001
            errors.append(f"builder {k}: {type(e).__name__}: {e}")
        counts[f"builder {k}"] = done

    threads = [threading.Thread(target=searcher, args=(k,)) for k in range(8)]
    threads += [threading.Thread(target=builder, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=RUN_SECONDS + 60)
    assert [t.name for t in threads if t.is_alive()] == [], "threads deadlocked"
    assert errors == []
    assert len(counts) == 10 and min(counts.values()) > 0, counts
