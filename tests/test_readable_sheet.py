"""ReadableSheet and ReadableCell: attributes, methods and their signatures, argument errors,
read-only views, agreement of every search with a sequential scan, and searches that let other
Python threads run."""

import random
import sys
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from search_reference import arg_strategies, search
from tabrix import column_number_to_letter
from tabrix.readable import Finder, ReadableCell, ReadableSheet
from test_snapshot import raises_panic, src_cell, src_sheet

RANGE = "out of range integral type conversion attempted"


def snap(*cells, **fields):
    (sheet,) = Finder([src_sheet(*cells, **fields)]).sheets
    return sheet


def rc(found):
    if found is None:
        return None
    if isinstance(found, list):
        return [c if isinstance(c, str) else (c.row, c.column) for c in found]
    return (found.row, found.column)


@pytest.fixture
def data():
    """'Data': three cells, one of them empty, given out of order."""
    return snap(src_cell(3, 2, "x"), src_cell(1, 1, None), src_cell(2, 2, "1.50", data_type="n"),
                merge_cells=[(1, 2, 1, 3)])


# --- Attributes -------------------------------------------------------------------------------


def test_sheet_attributes(data):
    assert (data.name, data.sheet_state, data.max_row, data.max_column) == ("Data", "visible", 3, 2)
    assert data.merge_cells == [(1, 2, 1, 3)]
    assert rc(data.cells) == [(1, 1), (2, 2), (3, 2)]
    assert all(type(c) is ReadableCell for c in data.cells)


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        (src_cell(3, 2, "1.50", data_type="n"),
         {"letter": "B3", "value": "1.5", "data_type": "n", "is_value_numeric": True}),
        (src_cell(3, 2, "1.50", data_type="s"), {"letter": "B3", "value": "1.50"}),
        (src_cell(5, 0, "7", data_type="n"), {"letter": "5", "value": "7", "is_value_integer": True}),
        (src_cell(10, 28, "true", data_type="b"), {"letter": "AB10", "value": "true", "is_value_bool": True}),
        (src_cell(2**32 - 1, 65535, "2024-3-5 7:8:9", data_type="d"),
         {"letter": "CRXO4294967295", "value": "2024-03-05 07:08:09", "is_value_datetime": True}),
        (src_cell(1, 1, None, formula="=SUM(A2:A3)", data_type="f"),
         {"letter": "A1", "value": "", "formula": "=SUM(A2:A3)", "data_type": "f",
          "is_formula": True, "is_value_empty": True}),
        (src_cell(1, 1, "3", formula="=1+2", data_type="n"),  # a formula, but not typed "f"
         {"letter": "A1", "value": "3", "formula": "=1+2", "data_type": "n", "is_value_integer": True}),
        (src_cell(1, 1, "x", data_type="f"), {"letter": "A1", "value": "x", "data_type": "f"}),
    ],
)
def test_cell_attributes(source, expected):
    (c,) = snap(source).cells
    defaults = {
        "row": source.row, "column": source.column, "formula": None, "style": None,
        "data_type": source.data_type,
        "is_formula": False, "is_value_bool": False, "is_value_numeric": False,
        "is_value_integer": False, "is_value_datetime": False, "is_value_empty": False,
    }
    want = {**defaults, **expected}
    assert {name: getattr(c, name) for name in want} == want
    assert type(c.row) is int and type(c.is_formula) is bool


SHEET_METHODS = {
    "get_value_cell": "($self, row, col)",
    "get_cells_by_range": "($self, start_row=None, end_row=None, start_col=None, end_col=None)",
    "find_cell_by_regex": "($self, regex)",
    "find_cell_by_str": "($self, value)",
    "find_cell_by_coords": "($self, row, col)",
    "find_cell_by_letter": "($self, letter)",
    "find_cells_by_regex": "($self, regex)",
    "find_cells_by_str": "($self, value)",
    "find_cells_for_rows_by_regex": "($self, regex, col_stop)",
    "find_cells_for_cols_by_regex": "($self, regex, row_stop)",
    "find_cells_multi_regex": "($self, before_regex, after_regex)",
    "find_cells_between_regex": "($self, before_regex, after_regex)",
    "find_cells_range_rows": "($self, start_row, end_row)",
    "find_cells_range_cols": "($self, start_col, end_col)",
    "find_values_by_col_rows": "($self, col, rows)",
    "find_values_by_row_cols": "($self, row, cols)",
    "find_value_by_coords": "($self, row, col)",
}
SHEET_ATTRIBUTES = ["name", "sheet_state", "max_row", "max_column", "cells", "merge_cells"]
CELL_ATTRIBUTES = [
    "row", "column", "letter", "value", "formula", "style", "data_type", "is_formula",
    "is_value_bool", "is_value_numeric", "is_value_integer", "is_value_datetime", "is_value_empty",
]


def public(cls):
    return {n for n in dir(cls) if not n.startswith("_")}


def test_surface_and_signatures():
    assert public(ReadableSheet) == set(SHEET_METHODS) | set(SHEET_ATTRIBUTES)
    assert public(ReadableCell) == set(CELL_ATTRIBUTES)  # no hidden_value, no setters
    for name, signature in SHEET_METHODS.items():
        assert getattr(ReadableSheet, name).__text_signature__ == signature, name


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [
        ("get_value_cell", (2, 2), {"row": 2, "col": 2}),
        ("get_cells_by_range", (None, 2, 2), {"end_row": 2, "start_col": 2}),
        ("find_cell_by_regex", ("x",), {"regex": "x"}),
        ("find_cell_by_str", ("1.5",), {"value": "1.5"}),
        ("find_cell_by_coords", (3, 2), {"col": 2, "row": 3}),
        ("find_cell_by_letter", ("b3",), {"letter": "b3"}),
        ("find_cells_by_regex", ("",), {"regex": ""}),
        ("find_cells_by_str", ("x",), {"value": "x"}),
        ("find_cells_for_rows_by_regex", ("", 1), {"regex": "", "col_stop": 1}),
        ("find_cells_for_cols_by_regex", ("", 2), {"row_stop": 2, "regex": ""}),
        ("find_cells_multi_regex", ("1", "x"), {"before_regex": "1", "after_regex": "x"}),
        ("find_cells_between_regex", ("1", "x"), {"after_regex": "x", "before_regex": "1"}),
        ("find_cells_range_rows", (2, 3), {"start_row": 2, "end_row": 3}),
        ("find_cells_range_cols", (2, 2), {"start_col": 2, "end_col": 2}),
        ("find_values_by_col_rows", (2, [3, 2]), {"col": 2, "rows": (3, 2)}),
        ("find_values_by_row_cols", (2, [2]), {"row": 2, "cols": [2]}),
        ("find_value_by_coords", (2, 2), {"row": 2, "col": 2}),
    ],
)
def test_keyword_calls_match_positional_calls(data, name, args, kwargs):
    method = getattr(data, name)
    by_position, by_keyword = method(*args), method(**kwargs)
    if isinstance(by_position, (list, ReadableCell)):
        by_position, by_keyword = rc(by_position), rc(by_keyword)
    assert by_position == by_keyword
    assert by_position not in (None, [], "")  # each call finds something on this sheet


def test_representations(data):
    assert repr(data) == "ReadableSheet (Data) cells: 3"
    assert repr(data.find_cell_by_coords(3, 2)) == "ReadableCell, Coords: Coordinate { row: 3, column: 2 }"
    assert repr(snap(name="Отчёт 😀")) == "ReadableSheet (Отчёт 😀) cells: 0"


def test_views_are_read_only(data):
    cell = data.find_cell_by_coords(3, 2)
    for obj, names in ((data, SHEET_ATTRIBUTES), (cell, CELL_ATTRIBUTES)):
        for name in names:
            before = getattr(obj, name)
            with pytest.raises(AttributeError):
                setattr(obj, name, before)
            with pytest.raises(AttributeError):
                delattr(obj, name)
            after = getattr(obj, name)
            if name == "cells":
                before, after = rc(before), rc(after)
            assert after == before
        with pytest.raises(AttributeError):
            obj.extra = 1
    with pytest.raises(AttributeError):
        cell.hidden_value  # noqa: B018
    assert data.name == "Data" and cell.value == "x"


@pytest.mark.parametrize("cls", [ReadableSheet, ReadableCell])
def test_no_constructor_and_no_subclass(cls):
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"No constructor defined for {cls.__name__}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_every_read_gives_new_objects_on_the_same_records(data):
    a, b = data.cells[2], data.find_cell_by_regex("x")
    assert a is not b and a != b
    assert (a.row, a.column, a.value) == (b.row, b.column, b.value)
    assert data.cells is not data.cells


def test_methods_check_their_receiver(data):
    with pytest.raises(TypeError):
        ReadableSheet.find_cell_by_str(object(), "x")
    with pytest.raises(TypeError):
        ReadableSheet.name.__get__(data.cells[0])


class Two:
    def __index__(self):
        return 2


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda s: s.find_cell_by_coords("1", 1), TypeError,
         "argument 'row': 'str' object cannot be interpreted as an integer"),
        (lambda s: s.get_value_cell(1, 1.0), TypeError,
         "argument 'col': 'float' object cannot be interpreted as an integer"),
        (lambda s: s.find_cell_by_coords(1, 70000), OverflowError, RANGE),
        (lambda s: s.find_cell_by_coords(-1, 1), OverflowError, RANGE),
        (lambda s: s.find_value_by_coords(2**32, 1), OverflowError, RANGE),
        (lambda s: s.find_cells_range_cols(0, 65536), OverflowError, RANGE),
        # Beyond 64 bits the interpreter's own conversion message stands.
        (lambda s: s.find_cell_by_coords(2**64, 1), OverflowError, "int too big to convert"),
        (lambda s: s.find_values_by_row_cols(1, [-(2**63) - 1]), OverflowError, "int too big to convert"),
        (lambda s: s.find_values_by_col_rows(1, "12"), TypeError,
         "argument 'rows': a str cannot be taken as a list"),
        (lambda s: s.find_values_by_col_rows(1, 12), TypeError,
         "argument 'rows': 'int' object cannot be converted to 'Sequence'"),
        (lambda s: s.find_values_by_col_rows(1, [2, "3"]), TypeError,
         "argument 'rows': 'str' object cannot be interpreted as an integer"),
        (lambda s: s.find_values_by_col_rows(1, [2, -1]), OverflowError, RANGE),
        (lambda s: s.find_values_by_row_cols(1, [65536]), OverflowError, RANGE),
        (lambda s: s.find_values_by_row_cols(1, {1: 2}), TypeError,
         "argument 'cols': 'dict' object cannot be converted to 'Sequence'"),
        (lambda s: s.find_cell_by_regex(None), TypeError,
         "argument 'regex': 'NoneType' object cannot be converted to 'str'"),
        (lambda s: s.find_cells_multi_regex("a", b"x"), TypeError,
         "argument 'after_regex': 'bytes' object cannot be converted to 'str'"),
        (lambda s: s.get_cells_by_range(start_col="1"), TypeError,
         "argument 'start_col': 'str' object cannot be interpreted as an integer"),
        (lambda s: s.get_cells_by_range(end_row=-1), OverflowError, RANGE),
        (lambda s: s.find_cell_by_str("\ud800"), UnicodeEncodeError, None),
    ],
)
def test_argument_errors(data, call, exc, message):
    with pytest.raises(exc) as info:
        call(data)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    ("call", "words"),
    [
        (lambda s: s.find_cell_by_coords(1), ["find_cell_by_coords", "col"]),
        (lambda s: s.find_cell_by_coords(1, 2, 3), ["find_cell_by_coords"]),
        (lambda s: s.find_cell_by_str(val="x"), ["find_cell_by_str", "val"]),
        (lambda s: s.find_cell_by_str("x", value="y"), ["find_cell_by_str", "value"]),
        (lambda s: s.get_cells_by_range(1, 2, 3, 4, 5), ["get_cells_by_range"]),
    ],
)
def test_call_shape_errors_name_function_and_argument(data, call, words):
    with pytest.raises(TypeError) as info:
        call(data)
    assert all(w in str(info.value) for w in words), str(info.value)


def test_integer_like_arguments(data):
    assert rc(data.find_cell_by_coords(Two(), Two())) == (2, 2)
    assert rc(data.find_cell_by_coords(True, True)) == (1, 1)
    assert data.find_values_by_col_rows(2, (2, 3)) == ["1.5", "x"]


@pytest.mark.parametrize("ref", ["b3", "B3", "$B$3", "B$3", "B3:C4", "b03"])
def test_find_cell_by_letter(data, ref):
    assert rc(data.find_cell_by_letter(ref)) == (3, 2)


@pytest.mark.parametrize("ref", ["B", "3", "", " B3", "1B", "ABCD1", "A99999999999"])
def test_unreadable_reference_panics(data, ref):
    raises_panic(data.find_cell_by_letter, ref)
    assert rc(data.find_cell_by_letter("C9")) is None  # still usable; no cell there


def test_lookups_without_a_cell(data):
    assert data.find_cell_by_coords(9, 9) is None
    assert data.find_value_by_coords(9, 9) is None
    assert data.get_value_cell(9, 9) == ""
    assert data.find_value_by_coords(1, 1) == "" and data.get_value_cell(1, 1) == ""  # empty cell
    assert data.find_value_by_coords(2, 2) == "1.5" and data.get_value_cell(2, 2) == "1.5"


def test_get_cells_by_range_defaults():
    s = snap(*(src_cell(r, c, f"{r}/{c}") for r, c in
               [(3, 3), (1048577, 1), (0, 5), (1, 1), (2, 16385), (1048576, 16384), (5, 0)]))
    assert rc(s.get_cells_by_range()) == [(1, 1), (3, 3), (1048576, 16384)]
    assert rc(s.get_cells_by_range(None, 5)) == [(1, 1), (3, 3)]
    assert rc(s.get_cells_by_range(start_row=2)) == [(3, 3), (1048576, 16384)]
    assert rc(s.get_cells_by_range(start_col=16385, end_col=16385)) == [(2, 16385)]
    assert s.get_cells_by_range(start_col=16385) == []
    assert rc(s.get_cells_by_range(0, 2**32 - 1, 0, 65535)) == [
        (0, 5), (1, 1), (2, 16385), (3, 3), (5, 0), (1048576, 16384), (1048577, 1)]
    assert s.get_cells_by_range(4, 2) == []


def test_cells_are_row_major_whatever_the_source_order():
    coords = [(r, c) for r in (0, 1, 2, 70000, 2**32 - 1) for c in (0, 1, 2, 300, 65535)]
    random.Random(7).shuffle(coords)
    s = snap(*(src_cell(r, c, "v") for r, c in coords))
    assert rc(s.cells) == sorted(coords)
    assert rc(s.find_cells_by_regex("v")) == sorted(coords)


def test_pairs_and_bands():
    texts = {(r, c): f"r{r}c{c}" for r in range(1, 10) for c in range(1, 4)}
    texts.update({(2, 1): "Start", (4, 2): "End", (6, 1): "Start", (8, 1): "End"})
    cells = [src_cell(r, c, t) for (r, c), t in texts.items()]
    random.Random(3).shuffle(cells)
    s = snap(*cells)
    assert rc(s.find_cells_multi_regex("Start", "End")) == [(2, 1), (4, 2), (6, 1), (8, 1)]
    assert rc(s.find_cells_between_regex("Start", "End")) == [(r, c) for r in (2, 3, 4) for c in (1, 2, 3)]
    assert s.find_values_by_col_rows(2, [5, 4, 4]) == ["End", "r5c2"]
    assert s.find_values_by_row_cols(4, []) == []


# --- Agreement with a sequential scan ---------------------------------------------------------

WORDS = ["Total", "total", " 42", "42", "4.50", "1.50", "TRUE", "true", "", "ab", "a b", "Start", "End",
         "2024-03-05 07:08:09"]
values = st.one_of(st.none(), st.sampled_from(WORDS), st.text(alphabet="abST 42.\u00a0", max_size=6))
source_cells = st.tuples(st.integers(0, 12), st.integers(0, 6), values, st.sampled_from(["s", "n", "b", "str"]))
patterns = st.one_of(st.sampled_from(WORDS), st.text(alphabet="abST 42.", max_size=3))
OPS = [
    (name, strategies)
    for name, strategies in arg_strategies(patterns, st.integers(0, 13), st.integers(0, 7)).items()
    if name != "find_value_by_coords"  # compared with the scan by the module-level tests
]


def triple(c):
    return (c.row, c.column, c.value)


@settings(max_examples=50, deadline=None)
@given(cells=st.lists(source_cells, max_size=50), data=st.data())
@pytest.mark.parametrize(("name", "arg_strategies"), OPS, ids=[op[0] for op in OPS])
def test_searches_agree_with_a_sequential_scan(name, arg_strategies, cells, data):
    sheet = snap(*(src_cell(r, c, v, data_type=t) for r, c, v, t in cells))
    listed = [triple(c) for c in sheet.cells]
    last = {(r, c): None for r, c, _, _ in cells}  # the last source cell for each coordinate wins
    assert [(r, c) for r, c, _ in listed] == sorted(last)
    args = tuple(data.draw(s) for s in arg_strategies)
    expected = search(name, listed, *args)
    got = getattr(sheet, name)(*args)
    if isinstance(got, list) and got and isinstance(got[0], ReadableCell):
        got = [triple(c) for c in got]
    elif isinstance(got, ReadableCell):
        got = triple(got)
    assert got == expected


@settings(max_examples=100, deadline=None)
@given(cells=st.lists(source_cells, max_size=40), row=st.integers(0, 13), col=st.integers(0, 7),
       bounds=st.tuples(*[st.one_of(st.none(), st.integers(0, 13))] * 2,
                        *[st.one_of(st.none(), st.integers(0, 7))] * 2))
def test_table_lookups_agree_with_a_dict(cells, row, col, bounds):
    sheet = snap(*(src_cell(r, c, v, data_type=t) for r, c, v, t in cells))
    shown = {(c.row, c.column): c.value for c in sheet.cells}
    assert sheet.find_value_by_coords(row, col) == shown.get((row, col))
    assert sheet.get_value_cell(row, col) == shown.get((row, col), "")
    assert rc(sheet.find_cell_by_coords(row, col)) == ((row, col) if (row, col) in shown else None)
    if col > 0:
        letter = column_number_to_letter(col) + str(row)
        assert rc(sheet.find_cell_by_letter(letter.lower())) == rc(sheet.find_cell_by_coords(row, col))
    r0, r1, c0, c1 = (d if b is None else b for b, d in zip(bounds, (1, 1048576, 1, 16384), strict=True))
    assert rc(sheet.get_cells_by_range(*bounds)) == sorted(
        k for k in shown if r0 <= k[0] <= r1 and c0 <= k[1] <= c1)


# --- Large snapshots: searches let other Python threads run -----------------------------------


class Big:
    __slots__ = ("column", "data_type", "formula", "row", "value")

    def __init__(self, row, column, value):
        self.row, self.column, self.value, self.formula, self.data_type = row, column, value, None, "s"


BIG_ROWS = 100_000


@pytest.fixture(scope="module")
def big():
    """1,000,000 cells in 10 columns; 'Total' only in the very last cell."""
    words = [f"w{i}" for i in range(1000)]
    rows = list(range(BIG_ROWS + 1))
    cells = [Big(rows[i // 10 + 1], i % 10 + 1, words[i % 1000]) for i in range(BIG_ROWS * 10)]
    cells[-1].value = "Total"
    (sheet,) = Finder([src_sheet(cells=cells)]).sheets
    del cells
    assert rc(sheet.find_cell_by_regex("Total")) == (BIG_ROWS, 10)  # sorts once, up front
    return sheet


class Bystander:
    """A Python thread that counts for as long as the main thread is inside a call.

    With a switch interval longer than any one call, the main thread never hands the interpreter
    lock over on its own while it runs the call, so the count can only grow if the call itself
    releases the lock. The bystander gives the lock straight back after each step, so the main
    thread is not held up once its call returns."""

    def __init__(self):
        self.inside = False
        self.counts = []
        self._go, self._back = threading.Semaphore(0), threading.Semaphore(0)
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            self._go.acquire()
            if self._stop:
                return
            n = 0
            while self.inside:
                n += 1
                time.sleep(0)
            self.counts.append(n)
            self._back.release()

    def during(self, call, tries=3):
        """The largest count reached while `call` ran, over up to `tries` runs."""
        best = 0
        for _ in range(tries):
            self.inside = True
            self._go.release()
            call()
            self.inside = False
            self._back.acquire()
            best = max(best, self.counts[-1])
            if best:
                break
        return best

    def close(self):
        self._stop = True
        self._go.release()
        self._thread.join()


@pytest.fixture
def bystander():
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.2)
    b = Bystander()
    try:
        yield b
    finally:
        b.close()
        sys.setswitchinterval(old)


FAR = BIG_ROWS + 10
SCANS = [
    ("find_cell_by_regex", ("nowhere",)),
    ("find_cell_by_str", ("nowhere",)),
    ("find_cell_by_letter", ("ZZZ1",)),
    ("find_cells_by_regex", ("Total",)),
    ("find_cells_by_str", ("Total",)),
    ("find_cells_for_rows_by_regex", ("Total", 10)),
    ("find_cells_for_cols_by_regex", ("Total", FAR)),
    ("find_cells_multi_regex", ("Total", "x")),
    ("find_cells_between_regex", ("nowhere", "x")),
    ("find_cells_range_rows", (FAR, FAR)),
    ("find_cells_range_cols", (20, 30)),
    ("find_values_by_col_rows", (10, [BIG_ROWS])),
    ("find_values_by_row_cols", (BIG_ROWS, [10])),
    ("get_cells_by_range", (FAR, FAR)),
]


def test_searches_let_other_threads_run(big, bystander):
    def python_work():
        total = 0
        for i in range(200_000):
            total += i
        return total

    # Work about as long as one search that keeps the lock, in Python and in C: nothing counted.
    assert bystander.during(python_work, tries=1) == 0
    assert bystander.during(lambda: sum(range(1_000_000)), tries=1) == 0
    for name, args in SCANS:
        assert bystander.during(lambda name=name, args=args: getattr(big, name)(*args)) > 0, name
    assert rc(big.find_cells_by_regex("Total")) == [(BIG_ROWS, 10)]
    assert big.find_values_by_row_cols(BIG_ROWS, [10]) == ["Total"]


def test_threads_search_one_snapshot_at_once(big):
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append((rc(big.find_cells_by_regex("Total")), rc(big.find_cell_by_str("w5"))))
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and not any(t.is_alive() for t in threads)
    assert results == [([(BIG_ROWS, 10)], (1, 6))] * 18
