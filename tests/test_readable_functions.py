"""The fifteen find_* functions of tabrix.readable: searches over a caller-given sequence of
ReadableCell objects, in the caller's order, with the interpreter lock released."""

import gc
import subprocess
import sys
import textwrap
import threading
from types import SimpleNamespace as NS

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tabrix
from search_reference import arg_strategies, search
from tabrix import _testing
from tabrix import readable

RANGE = "out of range integral type conversion attempted"
NOT_A_LIST = "a str cannot be taken as a list"

SIGNATURES = {
    "find_cell_by_coords": "(row, col, cells)",
    "find_value_by_coords": "(row, col, cells)",
    "find_cell_by_regex": "(regex, cells)",
    "find_cell_by_str": "(value, cells)",
    "find_cell_by_letter": "(letter, cells)",
    "find_cells_by_regex": "(regex, cells)",
    "find_cells_by_str": "(value, cells)",
    "find_cells_for_rows_by_regex": "(regex, col_stop, cells)",
    "find_cells_for_cols_by_regex": "(regex, row_stop, cells)",
    "find_cells_multi_regex": "(before_regex, after_regex, cells)",
    "find_cells_between_regex": "(before_regex, after_regex, cells)",
    "find_cells_range_rows": "(start_row, end_row, cells)",
    "find_cells_range_cols": "(start_col, end_col, cells)",
    "find_values_by_col_rows": "(col, rows, cells)",
    "find_values_by_row_cols": "(row, cols, cells)",
}
NAMES = list(SIGNATURES)
SINGLE = {"find_cell_by_coords", "find_value_by_coords", "find_cell_by_regex", "find_cell_by_str", "find_cell_by_letter"}

# Arguments (before `cells`) that find something in the `mixed` fixture below.
ARGS = {
    "find_cell_by_coords": (2, 3),
    "find_value_by_coords": (2, 3),
    "find_cell_by_regex": ("same",),
    "find_cell_by_str": (" same\u00a0",),
    "find_cell_by_letter": ("C2",),
    "find_cells_by_regex": ("a",),
    "find_cells_by_str": ("same",),
    "find_cells_for_rows_by_regex": ("a", 2),
    "find_cells_for_cols_by_regex": ("a", 1),
    "find_cells_multi_regex": ("Start", "End"),
    "find_cells_between_regex": ("Start", "End"),
    "find_cells_range_rows": (1, 2),
    "find_cells_range_cols": (3, 3),
    "find_values_by_col_rows": (3, [2, 1, 2]),
    "find_values_by_row_cols": (2, (3, 1)),
}


def source_cell(row, col, value, data_type="s", as_dict=False):
    fields = {"row": row, "column": col, "value": value, "formula": None, "data_type": data_type}
    return fields if as_dict else NS(**fields)


def source_sheet(name, cells):
    return NS(name=name, sheet_state="visible", merge_cells=None, cells=cells)


def snapshot_cells(*sheets):
    """The `cells` list of a snapshot of each source sheet, in sheet order."""
    finder = readable.Finder(list(sheets))
    return [s.cells for s in finder.sheets]


def triple(c):
    return None if c is None else (c.row, c.column, c.value)


def shown(result):
    """Results as comparable values: (row, col, text) per cell; texts and triples stay as they are."""
    if isinstance(result, list):
        return [shown(x) for x in result]
    return result if result is None or isinstance(result, (str, tuple)) else triple(result)


def letter(row, col):
    name = ""
    while col:
        col, rest = divmod(col - 1, 26)
        name = chr(65 + rest) + name
    return f"{name}{row}"


def reference(name, cells, *args):
    """What a front-to-back scan of `cells` gives for the function `name`."""
    return scan(name, [triple(c) for c in cells], *args)


def scan(name, flat, *args):
    """`reference` over a list of (row, col, text) triples."""
    if name == "find_value_by_coords":
        hit = search("find_cell_by_coords", flat, *args)
        return hit and hit[2]
    if name == "find_cell_by_letter":  # only references of the form letters + digits are drawn
        ref = args[0].upper().replace("$", "")
        digits = ref.lstrip("ABCDEFGHIJKLMNOPQRSTUVWXYZ")
        col = 0
        for ch in ref[: len(ref) - len(digits)]:
            col = col * 26 + ord(ch) - 64
        return search("find_cell_by_coords", flat, int(digits), col)
    return search(name, flat, *args)


@pytest.fixture
def mixed():
    """Cells of two sheets interleaved; both sheets have a cell at row 2, column 3."""
    a, b = snapshot_cells(
        source_sheet("A", [source_cell(1, 1, "Start a"), source_cell(2, 3, " same "), source_cell(1, 3, "End")]),
        source_sheet("B", [source_cell(2, 3, "same", as_dict=True), source_cell(2, 1, "a b")]),
    )
    a11, a13, a23 = a  # each sheet's cells come in row-major order
    b21, b23 = b
    return [a11, b21, a13, b23, a23, a11]


# --- The functions as Python objects, and how they bind their arguments ---------------------


def test_registered_functions():
    assert readable.__all__[4:] == NAMES
    for name in NAMES:
        fn = getattr(readable, name)
        assert (fn.__name__, fn.__text_signature__, fn.__module__, fn.__doc__) == (name, SIGNATURES[name], "readable", None)


@pytest.mark.parametrize("name", NAMES)
def test_keyword_calls_bind_as_positional_ones(name, mixed):
    fn, args = getattr(readable, name), ARGS[name]
    params = SIGNATURES[name][1:-1].split(", ")
    expected = shown(fn(*args, mixed))
    assert expected == shown(reference(name, mixed, *args)) and expected not in (None, [])
    reversed_kwargs = dict(reversed(list(zip(params, (*args, mixed)))))
    assert shown(fn(**reversed_kwargs)) == expected
    assert shown(fn(*args[:1], **dict(list(zip(params, (*args, mixed)))[1:]))) == expected


@pytest.mark.parametrize(
    ("call", "fragment"),
    [
        (lambda: readable.find_cells_by_regex("x"), "cells"),
        (lambda: readable.find_cells_by_regex("x", [], []), "find_cells_by_regex"),
        (lambda: readable.find_cell_by_str([], value="x", cells=[]), "value"),
        (lambda: readable.find_cell_by_coords(1, 2, cells=[], column=2), "column"),
    ],
)
def test_binding_errors_name_the_argument(call, fragment):
    with pytest.raises(TypeError, match=fragment):
        call()


# --- Edge cases of the inputs ---------------------------------------------------------------


@pytest.mark.parametrize("empty", [[], ()], ids=["list", "tuple"])
@pytest.mark.parametrize("name", NAMES)
def test_empty_cells(name, empty):
    assert getattr(readable, name)(*ARGS[name], empty) == (None if name in SINGLE else [])


@pytest.mark.parametrize("name", sorted(SINGLE))
def test_first_in_list_order_wins(name, mixed):
    fn, args = getattr(readable, name), ARGS[name]
    a23, b23 = mixed[4], mixed[3]
    assert (a23.value, b23.value) == (" same ", "same")
    pair = [b23, a23]
    want = {"find_value_by_coords": ("same", " same ")}.get(name, ((2, 3, "same"), (2, 3, " same ")))
    assert shown(fn(*args, pair)) == want[0]
    assert shown(fn(*args, pair[::-1])) == want[1]
    assert shown(fn(*args, tuple(pair))) == want[0]


def test_empty_pattern_gives_a_new_object_per_element_on_the_same_records():
    (cells,) = snapshot_cells(source_sheet("S", [source_cell(1, 1, "x"), source_cell(1, 2, None), source_cell(2, 1, "")]))
    given_list = [cells[2], cells[0], cells[2], cells[1], cells[2]]
    records = _testing.live_cells()
    found = readable.find_cells_by_regex("", given_list)
    assert shown(found) == shown(given_list)
    assert len({id(c) for c in found}) == 5 and not any(f is g for f in found for g in given_list)
    assert _testing.live_cells() == records  # handles to the same records, no copies
    del cells, given_list
    assert shown(found) == [(2, 1, ""), (1, 1, "x"), (2, 1, ""), (1, 2, ""), (2, 1, "")]
    del found
    assert _testing.live_cells() == records - 3


def test_results_keep_their_records_alive():
    gc.collect()
    records = _testing.live_cells()
    (cells,) = snapshot_cells(source_sheet("S", [source_cell(r, 1, f"v{r}") for r in range(1, 6)]))
    one = readable.find_cell_by_str("v3", cells)
    many = readable.find_cells_range_rows(4, 9, tuple(cells))
    del cells
    assert triple(one) == (3, 1, "v3") and shown(many) == [(4, 1, "v4"), (5, 1, "v5")]
    assert _testing.live_cells() == records + 3
    del one, many
    assert _testing.live_cells() == records


# --- Argument conversion errors ---------------------------------------------------------------


@pytest.fixture
def write_cell():
    return tabrix.Book().add_sheet("W").cell(1, 1, "x")


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda c, w: "C2", f"argument 'cells': {NOT_A_LIST}"),
        (lambda c, w: (x for x in c), "argument 'cells': 'generator' object cannot be converted to 'Sequence'"),
        (lambda c, w: set(c), "argument 'cells': 'set' object cannot be converted to 'Sequence'"),
        (lambda c, w: dict.fromkeys(c), "argument 'cells': 'dict' object cannot be converted to 'Sequence'"),
        (lambda c, w: None, "argument 'cells': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda c, w: [*c, w], "argument 'cells': 'Cell' object cannot be converted to 'ReadableCell'"),
        (lambda c, w: (c[0], "C2"), "argument 'cells': 'str' object cannot be converted to 'ReadableCell'"),
        (lambda c, w: [c], "argument 'cells': 'list' object cannot be converted to 'ReadableCell'"),
    ],
    ids=["str", "generator", "set", "dict", "None", "write-side Cell", "str item", "nested list"],
)
def test_cells_that_are_refused(mixed, write_cell, make, message):
    refs = [sys.getrefcount(c) for c in mixed]
    bad = make(mixed, write_cell)
    for name in NAMES:
        with pytest.raises(TypeError) as info:
            getattr(readable, name)(*ARGS[name], bad)
        assert str(info.value) == message, name
    del bad, info
    assert [sys.getrefcount(c) for c in mixed] == refs  # nothing kept from the failed calls


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    ("name", "args", "exc", "message"),
    [
        ("find_values_by_col_rows", (3, "5"), TypeError, f"argument 'rows': {NOT_A_LIST}"),
        ("find_values_by_col_rows", (3, [5, -1]), OverflowError, RANGE),
        ("find_values_by_col_rows", (3, [2**32]), OverflowError, RANGE),
        ("find_values_by_col_rows", (3, [2**70]), OverflowError, None),
        ("find_values_by_col_rows", (3, ["5"]), TypeError, "argument 'rows': 'str' object cannot be interpreted as an integer"),
        ("find_values_by_col_rows", (3, {5}), TypeError, "argument 'rows': 'set' object cannot be converted to 'Sequence'"),
        ("find_values_by_row_cols", (2, "3"), TypeError, f"argument 'cols': {NOT_A_LIST}"),
        ("find_values_by_row_cols", (2, (3, 65536)), OverflowError, RANGE),
        ("find_values_by_row_cols", (2, [3.0]), TypeError, "argument 'cols': 'float' object cannot be interpreted as an integer"),
        ("find_cells_range_rows", (-1, 5), OverflowError, RANGE),
        ("find_cells_range_rows", (0, 2**32), OverflowError, RANGE),
        ("find_cells_range_cols", (0, 65536), OverflowError, RANGE),
        ("find_cells_range_cols", ("1", 2), TypeError, "argument 'start_col': 'str' object cannot be interpreted as an integer"),
        ("find_cell_by_coords", (2, -1), OverflowError, RANGE),
        ("find_value_by_coords", (None, 3), TypeError, "argument 'row': 'NoneType' object cannot be interpreted as an integer"),
        ("find_cells_for_rows_by_regex", ("a", 65536), OverflowError, RANGE),
        ("find_cells_for_cols_by_regex", ("a", 1.5), TypeError, "argument 'row_stop': 'float' object cannot be interpreted as an integer"),
        ("find_cells_by_regex", (5,), TypeError, "argument 'regex': 'int' object cannot be converted to 'str'"),
        ("find_cell_by_str", (None,), TypeError, "argument 'value': 'NoneType' object cannot be converted to 'str'"),
        ("find_cell_by_letter", (b"C2",), TypeError, "argument 'letter': 'bytes' object cannot be converted to 'str'"),
        ("find_cells_multi_regex", ("a", ["b"]), TypeError, "argument 'after_regex': 'list' object cannot be converted to 'str'"),
        ("find_cells_between_regex", ("\ud800", "b"), UnicodeEncodeError, None),
        ("find_cells_by_str", ("a\udfff",), UnicodeEncodeError, None),
        # Arguments convert in order, `cells` last: the first failure decides.
        ("find_cells_range_rows", (-1, "x"), OverflowError, RANGE),
        ("find_values_by_col_rows", (70000, "5"), OverflowError, RANGE),
    ],
)
def test_argument_errors(name, args, exc, message):
    for cells in ([], "not cells"):  # a bad `cells` never hides an earlier bad argument
        with pytest.raises(exc) as info:
            getattr(readable, name)(*args, cells)
        assert type(info.value) is exc
        if message:
            assert str(info.value) == message


def test_integer_like_arguments_and_sequences_of_them(mixed):
    assert shown(readable.find_cell_by_coords(Index(2), True + 2, mixed)) == (2, 3, "same")
    assert readable.find_values_by_col_rows(Index(3), range(1, 3), mixed) == ["End", "same", " same "]
    assert readable.find_values_by_row_cols(2, (Index(1),), mixed) == ["a b"]


@pytest.mark.parametrize("ref", ["c2", "C2", "$C$2", "C2:D4", "C002 total"])
def test_letters_that_read(mixed, ref):
    assert shown(readable.find_cell_by_letter(ref, mixed)) == (2, 3, "same")


@pytest.mark.parametrize("ref", ["A", "1", " A1", "ABCD1", "A99999999999", ""])
@pytest.mark.parametrize("cells", ["mixed", "empty"])
def test_unreadable_letter_panics(request, ref, cells):
    given_list = request.getfixturevalue("mixed") if cells == "mixed" else []
    with pytest.raises(BaseException) as info:
        try:
            readable.find_cell_by_letter(ref, given_list)
        except Exception:  # noqa: BLE001
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)


# --- Sequences other than lists and tuples ----------------------------------------------------


class Listed:
    """A sequence over `items` whose __len__ says `length` (or raises, when `length` is an
    exception), and whose item `fail_at` raises `error`."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


@pytest.mark.parametrize("length", [0, 1, 2, 1000, ValueError("no length")], ids=["0", "1", "2", "1000", "raises"])
def test_a_length_that_lies_only_sizes_the_list(mixed, length):
    for name in NAMES:
        got = getattr(readable, name)(*ARGS[name], Listed(mixed, length))
        assert shown(got) == shown(reference(name, mixed, *ARGS[name])), name
    assert readable.find_values_by_col_rows(3, Listed([1, 2], length), mixed) == ["End", "same", " same "]


@pytest.mark.parametrize("argument", ["cells", "rows"])
def test_a_huge_reported_length_is_not_trusted(argument):
    # Run in a child: the fault ends the whole interpreter.
    code = textwrap.dedent(
        f"""
        import sys
        from types import SimpleNamespace as NS
        from tabrix import readable
        class Claims:
            def __init__(self, items): self.items = items
            def __len__(self): return sys.maxsize
            def __getitem__(self, i): return self.items[i]
        src = NS(name="S", sheet_state="visible", merge_cells=None,
                 cells=[NS(row=2, column=3, value="x", formula=None, data_type="s")])
        cells = readable.Finder([src]).sheets[0].cells
        if {argument!r} == "cells":
            assert [c.value for c in readable.find_cells_by_regex("x", Claims(cells))] == ["x"]
        else:
            assert readable.find_values_by_col_rows(3, Claims([2]), cells) == ["x"]
        print("ok")
        """
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, "ok"), run.stderr[-400:]


def test_iteration_errors(mixed):
    boom = KeyError("boom")
    with pytest.raises(KeyError) as info:
        readable.find_cells_by_regex("a", Listed(mixed, fail_at=2, error=boom))
    assert info.value is boom  # passed through unchanged
    with pytest.raises(TypeError) as info:
        readable.find_cells_by_regex("a", Listed(mixed, fail_at=2, error=TypeError("bad item")))
    assert str(info.value) == "argument 'cells': bad item"
    with pytest.raises(TypeError) as info:
        readable.find_values_by_col_rows(3, Listed([1, 2], fail_at=1, error=TypeError("bad row")), mixed)
    assert str(info.value) == "argument 'rows': bad row"
    with pytest.raises(ZeroDivisionError):
        readable.find_cell_by_coords(2, 3, Listed(mixed, fail_at=5, error=ZeroDivisionError()))


def search_while_another_thread_empties_the_list(src):
    """find_cells_by_regex('Total') over a snapshot of `src`, whose cell list another thread clears
    as soon as it has been converted. Returns (what was found, what a scan of the list found
    before, whether the clearing happened before the search returned)."""
    (cells,) = snapshot_cells(source_sheet("S", src))  # the Finder is gone: only `cells` holds records
    expected = [triple(c) for c in cells if "Total" in c.value]
    converted, changed, stop = threading.Event(), threading.Event(), threading.Event()

    class Watched(list):
        def __iter__(self):
            yield from list.__iter__(self)
            converted.set()

    given_list = Watched(cells)
    del cells

    def change():
        converted.wait(30)
        if not stop.is_set():
            given_list.clear()  # frees every ReadableCell object, and so every cell record
            given_list.extend(["not a cell"] * 10)
            changed.set()

    t = threading.Thread(target=change)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)  # once the search returns, this thread keeps the lock until it checks
    try:
        t.start()
        found = readable.find_cells_by_regex("Total", given_list)
        changed_in_time = changed.is_set()
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        converted.set()
        t.join(30)
    return shown(found), expected, changed_in_time


def test_a_list_changed_by_another_thread_during_the_search():
    """The list is converted to handles first: another thread that empties and refills it while the
    search runs changes nothing, even when that frees the last holders of the cell records."""
    n = 200_000
    src = [source_cell(i // 10 + 1, i % 10 + 1, "Total" if i % 9_973 == 5 else f"w{i}") for i in range(n)]
    gc.collect()
    records = _testing.live_cells()
    for _ in range(6):  # the other thread may not get a processor while the search runs
        found, expected, changed_in_time = search_while_another_thread_empties_the_list(src)
        assert found == expected and len(expected) == 21
        assert _testing.live_cells() == records  # no record outlives the list and the results
        if changed_in_time:
            break
    assert changed_in_time, "the other thread never ran while the search held no interpreter lock"


# --- Agreement with a sequential scan over mixed lists -----------------------------------------

WORDS = ["Total", "total", " 42", "42", "4.50", "true", "", "a.b", "(x)", "Start", "End", "x"]
texts = st.one_of(st.none(), st.sampled_from(WORDS), st.text(alphabet="ab.(S 42\u00a0", max_size=5))
source_cells = st.lists(
    st.builds(source_cell, st.integers(0, 9), st.integers(0, 5), texts, st.sampled_from(["s", "n"]), st.booleans()),
    max_size=25,
)
patterns = st.one_of(st.sampled_from(WORDS), st.text(alphabet="ab.(S 42", max_size=3))
rows, cols = st.integers(0, 10), st.integers(0, 6)
letters = st.builds(
    lambda r, c, lower, dollar: (lambda s: s.lower() if lower else s)(("$" if dollar else "") + letter(r, c)),
    rows, st.integers(1, 6), st.booleans(), st.booleans(),
)

ARG_STRATEGIES = {
    **arg_strategies(patterns, rows, cols),
    "find_cell_by_letter": (letters,),
    "find_values_by_row_cols": (rows, st.lists(cols, max_size=4).map(tuple)),  # a tuple of columns
}
pieces = st.lists(
    st.tuples(st.integers(0, 2), st.integers(0, 25), st.integers(0, 25), st.sampled_from([1, -1, 2, -3])),
    max_size=6,
)


@settings(max_examples=60, deadline=None)
@given(sheets=st.lists(source_cells, min_size=2, max_size=3), cuts=pieces, data=st.data())
@pytest.mark.parametrize("name", NAMES)
def test_functions_agree_with_a_sequential_scan(name, sheets, cuts, data):
    by_sheet = snapshot_cells(*(source_sheet(f"S{i}", cells) for i, cells in enumerate(sheets)))
    given_list = []
    for k, lo, hi, step in cuts:  # slices and reversals of several sheets, overlapping freely
        given_list += by_sheet[k % len(by_sheet)][lo:hi][::step]
    if data.draw(st.booleans(), label="shuffle"):
        given_list = data.draw(st.permutations(given_list), label="order")
    args = tuple(data.draw(s) for s in ARG_STRATEGIES[name])
    got = getattr(readable, name)(*args, given_list)
    assert shown(got) == shown(reference(name, given_list, *args))


# --- Large lists: the worker pool, and many Python threads at once ----------------------------


@pytest.fixture(scope="module")
def big():
    """400,000 cells of four sheets, interleaved and partly reversed, and their (row, col, text)."""
    sheets = []
    for s in range(4):
        sheets.append(
            source_sheet(
                f"Big{s}",
                [
                    source_cell(i // 8 + 1, i % 8 + 1, f"Total {s}" if i % 24_989 == 11 else f"w{i % 5000}")
                    for i in range(100_000)
                ],
            )
        )
    a, b, c, d = snapshot_cells(*sheets)
    cells = [x for quad in zip(a, b[::-1], c, d[::-1]) for x in quad]
    flat = [triple(x) for x in cells]
    expected = {name: shown(scan(name, flat, *args)) for name, args in BIG_ARGS.items()}
    expected["reversed"] = shown(scan("find_cells_by_regex", flat[::-1], "Total"))
    return cells, expected


BIG_ARGS = {
    "find_cell_by_coords": (12_000, 5),
    "find_value_by_coords": (12_000, 5),
    "find_cell_by_regex": ("Total",),
    "find_cell_by_str": ("Total 2",),
    "find_cell_by_letter": ("e12000",),
    "find_cells_by_regex": ("Total",),
    "find_cells_by_str": ("w4999",),
    "find_cells_for_rows_by_regex": ("Total", 3),
    "find_cells_for_cols_by_regex": ("Total", 9_000),
    "find_cells_multi_regex": ("Total 1", "Total 3"),
    "find_cells_between_regex": ("Total 1", "Total 3"),
    "find_cells_range_rows": (3, 4),
    "find_cells_range_cols": (8, 8),
    "find_values_by_col_rows": (2, [7, 12_500, 7]),
    "find_values_by_row_cols": (12_500, (1, 8)),
}


def test_large_lists_go_to_the_pool(big):
    cells, expected = big
    assert len(expected["find_cells_by_regex"]) == 20 and len(expected["find_cells_range_cols"]) == 50_000
    before = _testing.pool_stats()[1]
    for name, args in BIG_ARGS.items():
        assert shown(getattr(readable, name)(*args, cells)) == expected[name], name
    assert _testing.pool_stats()[1] > before
    # A helper that wakes late may find every chunk taken by the caller; over a few calls the
    # helpers of a lone large search take some.
    as_tuple, before = tuple(cells), _testing.pool_stats()[1]
    for _ in range(20):
        assert shown(readable.find_cells_by_regex("Total", as_tuple)) == expected["find_cells_by_regex"]
        if _testing.pool_stats()[1] > before:
            break
    assert _testing.pool_stats()[1] > before


def test_threads_search_the_same_lists(big):
    cells, expected = big
    reversed_cells = cells[::-1]
    chosen = ["find_cell_by_regex", "find_cell_by_str", "find_cells_by_regex", "find_cells_range_rows", "find_values_by_col_rows"]
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                for name in chosen:
                    results.append((name, shown(getattr(readable, name)(*BIG_ARGS[name], cells))))
                results.append(("reversed", shown(readable.find_cells_by_regex("Total", reversed_cells))))
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and not any(t.is_alive() for t in threads)
    assert len(results) == 8 * 3 * (len(chosen) + 1)
    for name, got in results:
        assert got == expected[name], name


def test_a_search_keeps_its_cells_while_another_thread_drops_them():
    """The search runs without the interpreter lock; meanwhile this thread empties the only list
    that holds the ReadableCell objects (whose sheet is gone), freeing them. The search still
    reads the cells it was given."""
    n = 60_000
    for _ in range(10):
        sheet = tabrix.readable.Finder([NS(name="S", sheet_state="visible", merge_cells=None, cells=[
            NS(row=i // 10 + 1, column=i % 10 + 1, value=f"v{i}", formula=None, data_type="s") for i in range(n)
        ])]).sheets[0]
        cells = sheet.cells
        del sheet
        gc.collect()
        started = threading.Event()
        out = []

        def search_all(cells=cells, started=started, out=out):
            started.set()
            out.extend(c.value for c in readable.find_cells_by_regex("v", cells))

        t = threading.Thread(target=search_all)
        t.start()
        started.wait()
        cells.clear()  # runs while the search has the lock released
        [bytearray(40) for _ in range(n)]  # and takes over the freed memory
        t.join()
        assert out == [f"v{i}" for i in range(n)]
        del cells
