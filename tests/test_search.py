"""Cell searches on write-side sheets: the edge cases, and agreement with a sequential scan."""

import datetime as dt
import os
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tabrix
from search_reference import arg_strategies, search

RANGE = "out of range integral type conversion attempted"


def rc(cells):
    if cells is None:
        return None
    if isinstance(cells, list):
        return [(c.row, c.column) for c in cells]
    return (cells.row, cells.column)


@pytest.fixture
def pairs_sheet(sheet):
    for r in range(1, 10):
        for c in range(1, 4):
            sheet.cell(r, c, f"r{r}c{c}")
    sheet.cell(2, 1, "Start")
    sheet.cell(4, 2, "End")
    sheet.cell(6, 1, "Start")
    sheet.cell(8, 1, "End")
    return sheet


def test_literal_patterns(sheet):
    sheet.cell(1, 1, "abc")
    sheet.cell(1, 2, "xa.cy")
    sheet.cell(2, 1, "item (1)")
    sheet.cell(2, 2, "Total")
    sheet.cell(3, 1, "^Total$")
    assert rc(sheet.find_cell_by_regex("a.c")) == (1, 2)
    assert rc(sheet.find_cell_by_regex("(1)")) == (2, 1)
    assert sheet.find_cell_by_regex("total") is None
    assert rc(sheet.find_cells_by_regex("^Total")) == [(3, 1)]
    assert rc(sheet.find_cells_by_regex("(")) == [(2, 1)]
    assert rc(sheet.find_cell_by_regex("")) == (1, 1)
    assert len(sheet.find_cells_by_regex("")) == 5


def test_display_texts_are_what_is_searched(sheet):
    sheet.cell(1, 1).set_value_number(1.0)
    sheet.cell(1, 2, "true")
    sheet.cell(1, 3).set_value_datetime(dt.datetime(2024, 3, 5, 7, 8, 9, 250000))
    sheet.cell(1, 4).set_value_number(1e21)
    sheet.cell(1, 5, "")
    f = sheet.cell(1, 6, "7")
    f.formula = "SUM(Total)"
    assert rc(sheet.find_cells_by_str("1")) == [(1, 1)]
    assert sheet.find_cells_by_str("1.0") == []
    assert sheet.find_cell_by_str("TRUE") is None and rc(sheet.find_cell_by_str("true")) == (1, 2)
    assert rc(sheet.find_cell_by_str("2024-03-05 07:08:09.250")) == (1, 3)
    assert rc(sheet.find_cell_by_regex("07:08")) == (1, 3)
    assert rc(sheet.find_cell_by_str("1000000000000000000000")) == (1, 4)
    assert rc(sheet.find_cell_by_str("")) == (1, 5)
    assert sheet.find_cell_by_regex("Total") is None  # formulas are not searched
    assert rc(sheet.find_cell_by_regex("7")) == (1, 3)


def test_trimmed_equality(sheet):
    sheet.cell(1, 1, "42")
    sheet.cell(1, 2, "42 ")
    sheet.cell(1, 3, "4 2")
    sheet.cell(1, 4, "\u00a042\u3000")
    sheet.cell(1, 5, "\x1c42")  # not white space
    sheet.cell(2, 1, "xabcx")
    assert rc(sheet.find_cells_by_str("  42 ")) == [(1, 1), (1, 2), (1, 4)]
    assert sheet.find_cell_by_str("abc") is None
    assert rc(sheet.find_cell_by_regex("abc")) == (2, 1)


@pytest.mark.parametrize(("second", "winner"), [((3, 1), (2, 2)), ((2, 1), (2, 1))])
def test_first_match_is_row_major(sheet, second, winner):
    sheet.cell(2, 2, "same")
    sheet.cell(*second, "same")
    for name in ("find_cell_by_regex", "find_cell_by_str"):
        assert rc(getattr(sheet, name)("same")) == winner


@pytest.mark.parametrize("ref", ["b3", "B3", "$B$3", "B3:C4", "b03"])
def test_find_cell_by_letter(sheet, ref):
    sheet.cell(3, 2, "x")
    assert rc(sheet.find_cell_by_letter(ref)) == (3, 2)


@pytest.mark.parametrize("ref", ["B", "3", "1A", " B3", "ABCD1", "A99999999999"])
def test_unreadable_reference_panics(sheet, ref):
    sheet.cell(3, 2, "x")
    with pytest.raises(BaseException) as info:
        try:
            sheet.find_cell_by_letter(ref)
        except Exception:  # noqa: BLE001
            pytest.fail("caught as Exception")
    assert type(info.value).__name__ == "PanicException"


def test_letter_without_cell(sheet):
    assert sheet.find_cell_by_letter("C9") is None


def test_pairs(pairs_sheet):
    s = pairs_sheet
    assert rc(s.find_cells_multi_regex("Start", "End")) == [(2, 1), (4, 2), (6, 1), (8, 1)]
    assert {r for r, _ in rc(s.find_cells_between_regex("Start", "End"))} == {2, 3, 4}
    assert rc(s.find_cells_between_regex("Start", "End")) == [(r, c) for r in (2, 3, 4) for c in (1, 2, 3)]


def test_pairs_without_closers(pairs_sheet):
    s = pairs_sheet
    s.cell(4, 2, "x")
    s.cell(8, 1, "y")
    assert rc(s.find_cells_multi_regex("Start", "End")) == [(2, 1)]
    assert {r for r, _ in rc(s.find_cells_between_regex("Start", "End"))} == set(range(2, 10))


def test_pair_edge_cases(sheet):
    sheet.cell(1, 1, "End")
    sheet.cell(2, 1, "StartEnd")
    sheet.cell(3, 1, "StartEnd")
    assert rc(sheet.find_cells_multi_regex("Start", "End")) == [(2, 1), (3, 1)]
    assert sheet.find_cells_multi_regex("nothing", "End") == []
    assert sheet.find_cells_between_regex("nothing", "End") == []


def test_bands_and_stops(sheet):
    for r in range(1, 5):
        for c in range(0, 4):
            sheet.cell(r, c, f"v{r}{c}")
    assert rc(sheet.find_cells_range_rows(3, 3)) == [(3, c) for c in range(4)]
    assert sheet.find_cells_range_rows(5, 2) == []
    assert rc(sheet.find_cells_range_cols(2, 3)) == [(r, c) for r in range(1, 5) for c in (2, 3)]
    assert rc(sheet.find_cells_for_rows_by_regex("v", 2)) == [(r, c) for r in range(1, 5) for c in range(3)]
    assert rc(sheet.find_cells_for_rows_by_regex("v", 0)) == [(r, 0) for r in range(1, 5)]
    assert rc(sheet.find_cells_for_cols_by_regex("v", 2)) == [(r, c) for r in (1, 2) for c in range(4)]


def test_get_cells_by_range(sheet):
    sheet.cell(3, 3, "C3")
    sheet.cell(1, 1, "A1")
    sheet.cell(0, 5, "row 0")
    sheet.cell(1048577, 1, "beyond")
    sheet.cell(2, 16385, "beyond")
    assert rc(sheet.get_cells_by_range()) == [(1, 1), (3, 3)]
    assert rc(sheet.get_cells_by_range(start_row=2)) == [(3, 3)]
    assert sheet.get_cells_by_range(start_col=4) == []
    assert rc(sheet.get_cells_by_range(None, 2)) == [(1, 1)]
    assert rc(sheet.get_cells_by_range(0, 2**32 - 1, 0, 65535)) == [(0, 5), (1, 1), (2, 16385), (3, 3), (1048577, 1)]


def test_value_lookups(sheet):
    sheet.cell(2, 2, "10")
    sheet.cell(1, 1, "")
    assert sheet.find_value_by_coords(2, 2) == "10"
    assert sheet.find_value_by_coords(1, 1) == ""
    assert sheet.find_value_by_coords(9, 9) is None
    assert sheet.get_value_cell(9, 9) == ""


def test_results_are_new_objects_on_the_same_records(sheet):
    sheet.cell(1, 1, "x")
    a, b = sheet.find_cell_by_regex("x"), sheet.find_cell_by_regex("x")
    assert a is not b
    a.value = "changed"
    assert b.value == "changed" and sheet.get_value_cell(1, 1) == "changed"


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda s: s.find_cell_by_regex(None), TypeError, "argument 'regex': 'NoneType' object cannot be converted to 'str'"),
        (lambda s: s.find_cells_for_rows_by_regex("x", 65536), OverflowError, RANGE),
        (lambda s: s.find_cells_for_cols_by_regex("x", -1), OverflowError, RANGE),
        (lambda s: s.find_cells_range_rows("1", 2), TypeError, "argument 'start_row': 'str' object cannot be interpreted as an integer"),
        (lambda s: s.get_cells_by_range(end_col=70000), OverflowError, RANGE),
        (lambda s: s.find_cell_by_letter(b"A1"), TypeError, "argument 'letter': 'bytes' object cannot be converted to 'str'"),
        (lambda s: s.find_cells_multi_regex("a"), TypeError, None),
        (lambda s: s.find_cell_by_str("\ud800"), UnicodeEncodeError, None),
    ],
)
def test_search_argument_errors(sheet, call, exc, message):
    with pytest.raises(exc) as info:
        call(sheet)
    assert type(info.value) is exc
    if message:
        assert str(info.value) == message


def test_search_signatures():
    assert tabrix.Sheet.get_cells_by_range.__text_signature__ == (
        "($self, start_row=None, end_row=None, start_col=None, end_col=None)"
    )
    assert tabrix.Sheet.find_cells_for_rows_by_regex.__text_signature__ == "($self, regex, col_stop)"


# --- Agreement with a sequential scan, on random sheets and patterns ---------------------------

WORDS = ["Total", "total", "Sum", " 42", "42", "4.50", "true", "", "ab", "a b", "Start", "End", "x"]

texts = st.one_of(
    st.sampled_from(WORDS),
    st.text(alphabet="abST 42.\u00a0", max_size=6),
)
cell_strategy = st.tuples(st.integers(0, 12), st.integers(0, 6), texts)
patterns = st.one_of(st.sampled_from(WORDS), st.text(alphabet="abST 42.", max_size=3))

OPS = [
    (name, strategies)
    for name, strategies in arg_strategies(patterns, st.integers(0, 13), st.integers(0, 7)).items()
    if name not in {"find_cell_by_coords", "find_value_by_coords", "find_values_by_col_rows", "find_values_by_row_cols"}
]


@settings(max_examples=150, deadline=None)
@given(cells=st.lists(cell_strategy, max_size=60), data=st.data())
@pytest.mark.parametrize(("name", "arg_strategies"), OPS, ids=[op[0] for op in OPS])
def test_searches_agree_with_a_sequential_scan(name, arg_strategies, cells, data):
    sheet = tabrix.Book().add_sheet("S")
    for r, c, text in cells:
        sheet.cell(r, c, text)
    args = tuple(data.draw(s) for s in arg_strategies)
    listed = [(c.row, c.column, c.value) for c in sheet.cells]
    expected = search(name, listed, *args)
    got = getattr(sheet, name)(*args)
    if isinstance(got, list):
        assert [(c.row, c.column, c.value) for c in got] == expected
    else:
        assert (got and (got.row, got.column, got.value)) == expected


# --- Large sheets: the work really leaves the calling thread -----------------------------------


@pytest.fixture(scope="module")
def big_sheet():
    sheet = tabrix.Book().add_sheet("Big")
    for i in range(300_000):
        sheet.cell(i // 10 + 1, i % 10 + 1, "Total" if i % 99_991 == 7 else f"w{i % 1000}")
    return sheet


def expected_big(sheet):
    return [(c.row, c.column) for c in sheet.cells if "Total" in c.value]


def helpers_took_part(search, expected, tries=300):
    """Repeats a search until helper threads ran some of its chunks (the calling thread may
    finish a job alone when the helpers are slow to wake); every result must be right."""
    from tabrix import _testing

    for _ in range(tries):
        before = _testing.pool_stats()[1]
        assert search() == expected
        if _testing.pool_stats()[1] > before:
            return True
    return False


def test_large_sheet_search_uses_the_pool(big_sheet):
    found = rc(big_sheet.find_cells_by_regex("Total"))
    assert found == expected_big(big_sheet)
    assert rc(big_sheet.find_cell_by_regex("Total")) == found[0]
    assert rc(big_sheet.find_cell_by_str("Total")) == found[0]
    assert helpers_took_part(lambda: rc(big_sheet.find_cells_by_regex("Total")), found)


def test_threads_search_the_same_sheet(big_sheet):
    expected = expected_big(big_sheet)
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(rc(big_sheet.find_cells_by_regex("Total")))
                results.append([rc(big_sheet.find_cell_by_str("Total"))])
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and not any(t.is_alive() for t in threads)
    assert results.count(expected) == 40 and results.count([expected[0]]) == 40


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_search_after_fork(big_sheet):
    expected = expected_big(big_sheet)
    # the parent's helpers did work before the fork
    assert helpers_took_part(lambda: rc(big_sheet.find_cells_by_regex("Total")), expected)
    pid = os.fork()
    if pid == 0:  # the child: search (with hand-off to fresh helpers), report by exit status
        code = 1
        try:
            ok = rc(big_sheet.find_cells_by_regex("Total")) == expected
            book = tabrix.Book()
            book.add_sheet("child").cell(1, 1, "Total")
            ok = ok and '"Total"' in book.to_json()
            code = 0 if ok else 1
        finally:
            os._exit(code)
    deadline = 60
    import time

    start = time.monotonic()
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() - start > deadline:
            os.kill(pid, 9)
            pytest.fail("the child hung searching after fork")
        time.sleep(0.05)
    assert os.waitstatus_to_exitcode(status) == 0
    assert rc(big_sheet.find_cells_by_regex("Total")) == expected
