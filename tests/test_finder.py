"""Finder and create_finder: construction from a list of worksheet objects, the selections by
position, name lists, name and pattern, and the lifetime of what they hand out."""

import gc
import sys

import pytest
from tabrix import _testing
from tabrix.readable import Finder, ReadableSheet, create_finder
from test_snapshot import raises_panic, src_cell, src_sheet

RANGE = "out of range integral type conversion attempted"
BUILDERS = pytest.mark.parametrize("build", [Finder, create_finder], ids=["Finder", "create_finder"])


def positions(found):
    """Where the selected sheets stand in the finder: each test sheet's state is its position."""
    if found is None:
        return None
    if isinstance(found, list):
        return [int(s.sheet_state) for s in found]
    return int(found.sheet_state)


def finder_of(*names, build=Finder):
    return build([src_sheet(src_cell(1, 1, n), name=n, sheet_state=str(i)) for i, n in enumerate(names)])


def content(sheet):
    return (sheet.name, sheet.sheet_state, sheet.merge_cells,
            [(c.row, c.column, c.value, c.formula, c.data_type) for c in sheet.cells])


# --- Construction -----------------------------------------------------------------------------


@BUILDERS
def test_construction_keeps_list_order(build):
    sources = [
        src_sheet(src_cell(2, 1, "x"), src_cell(1, 1, "12", data_type="n"), name="Data",
                  merge_cells=[(1, 2, 1, 3)]),
        src_sheet(name="Empty", sheet_state="hidden"),
        src_sheet(src_cell(5, 5, None, formula="=A1", data_type="f"), name="Data"),
    ]

    class Sheets(list):
        pass

    for finder in (build(sources), build(sheets=sources), build(Sheets(sources))):
        assert repr(finder) == "Finder, sheets: 3"
        assert [content(s) for s in finder.sheets] == [
            ("Data", "visible", [(1, 2, 1, 3)], [(1, 1, "12", None, "n"), (2, 1, "x", None, "s")]),
            ("Empty", "hidden", [], []),
            ("Data", "visible", [], [(5, 5, "", "=A1", "f")]),
        ]
    assert type(build([])) is Finder


@BUILDERS
@pytest.mark.parametrize(
    ("sheets", "type_name"),
    [((src_sheet(),), "tuple"), ((s for s in [src_sheet()]), "generator"), ({}, "dict"),
     (None, "NoneType"), ("Data", "str")],
)
def test_sheets_must_be_a_list(build, sheets, type_name):
    with pytest.raises(TypeError) as info:
        build(sheets)
    assert str(info.value) == f"argument 'sheets': '{type_name}' object cannot be converted to 'list'"


@BUILDERS
def test_call_shape_errors(build):
    for call in (lambda: build(), lambda: build([], []), lambda: build(sheet=[])):
        with pytest.raises(TypeError) as info:
            call()
        assert build.__name__ in str(info.value)


@BUILDERS
def test_empty_finder(build):
    f = build([])
    assert (f.sheets, repr(f)) == ([], "Finder, sheets: 0")
    assert f.get_sheet_index(0) is None
    assert f.get_sheets_with_names(["A"]) == [] and f.get_sheets_without_names([]) == []
    assert f.find_sheet_by_name("") is None
    assert f.find_sheet_by_regex("") is None


def test_sheets_gives_new_objects_on_the_same_records():
    f = finder_of("A", "B", "C")
    first, second = f.sheets, f.sheets
    assert first is not second
    assert all(a is not b and a != b for a, b in zip(first, second, strict=True))
    assert [content(a) for a in first] == [content(b) for b in second]
    assert all(type(s) is ReadableSheet for s in first)
    assert f.get_sheet_index(1) is not f.get_sheet_index(1)


@BUILDERS
def test_same_object_twice_is_read_twice(build):
    class CountingName:
        """A source whose name says how often it was read."""

        def __init__(self):
            self.reads, self.sheet_state, self.merge_cells = 0, "visible", None
            self.cells = [src_cell(1, 1, "v")]

        @property
        def name(self):
            self.reads += 1
            return f"read {self.reads}"

    source = CountingName()
    f = build([source, source])
    assert [s.name for s in f.sheets] == ["read 1", "read 2"]
    assert [content(s)[1:] for s in f.sheets] == [("visible", [], [(1, 1, "v", None, "s")])] * 2
    source.cells.append(src_cell(2, 2, "later"))
    assert [len(s.cells) for s in f.sheets] == [1, 1]


class ChangesSheets:
    """A source sheet whose `name` runs `action` on the list of sheets being read."""

    def __init__(self, sheets, action, name):
        self._sheets, self._action, self._name = sheets, action, name
        self.sheet_state, self.merge_cells, self.cells = "visible", None, []

    @property
    def name(self):
        self._action(self._sheets)
        return self._name


@BUILDERS
@pytest.mark.parametrize(
    ("action", "names"),
    [
        (lambda sheets: sheets.append(src_sheet(name="appended")), ["s0", "s1", "s2"]),
        (lambda sheets: sheets.clear(), ["s0", "s1"]),
        (lambda sheets: sheets.__delitem__(slice(2, None)), ["s0", "s1"]),
    ],
)
def test_changes_to_the_list_during_construction(build, action, names):
    sheets = [src_sheet(name=f"s{i}") for i in range(3)]
    sheets[1] = ChangesSheets(sheets, action, "s1")
    assert [s.name for s in build(sheets).sheets] == names


@BUILDERS
def test_bad_second_sheet_makes_no_finder(build):
    bad = src_sheet(src_cell(3, 3, "ok"), name="Bad")
    del bad.cells
    sources = [src_sheet(src_cell(1, 1, "a"), src_cell(1, 2, "b")), bad]
    gc.collect()
    cells, finders, sheets = _testing.live_cells(), sys.getrefcount(Finder), sys.getrefcount(ReadableSheet)
    for _ in range(1000):
        raises_panic(build, sources)
    gc.collect()
    assert (_testing.live_cells(), sys.getrefcount(Finder), sys.getrefcount(ReadableSheet)) == (
        cells, finders, sheets)


# --- Selection --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("idx", "expected"),
    [(0, 0), (2, 2), (3, None), (-1, None), (-3, None), (True, 1), (2**31 - 1, None), (-(2**31), None)],
)
def test_get_sheet_index(idx, expected):
    assert positions(finder_of("A", "B", "C").get_sheet_index(idx)) == expected


class One:
    def __index__(self):
        return 1


def test_get_sheet_index_by_keyword_and_index_objects():
    f = finder_of("A", "B")
    assert positions(f.get_sheet_index(idx=One())) == 1


@pytest.mark.parametrize(
    ("idx", "exc", "message"),
    [
        (2**31, OverflowError, RANGE),
        (-(2**31) - 1, OverflowError, RANGE),
        (2**64, OverflowError, "int too big to convert"),  # the interpreter's own message
        ("1", TypeError, "argument 'idx': 'str' object cannot be interpreted as an integer"),
        (1.0, TypeError, "argument 'idx': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'idx': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_get_sheet_index_errors(idx, exc, message):
    with pytest.raises(exc) as info:
        finder_of("A").get_sheet_index(idx)
    assert type(info.value) is exc and str(info.value) == message


NAMED = ("A", "B", "A", "a", "A ", "", "Отчёт")


@pytest.mark.parametrize(
    ("names", "kept"),
    [
        (["A"], [0, 2]),
        (["B", "A", "A"], [0, 1, 2]),
        (("A",), [0, 2]),
        ([], []),
        ([""], [5]),
        (["Отчёт", "missing"], [6]),
        (["a", "A "], [3, 4]),
    ],
)
def test_sheets_with_and_without_names(names, kept):
    f = finder_of(*NAMED)
    assert positions(f.get_sheets_with_names(names)) == kept
    assert positions(f.get_sheets_without_names(name_list=names)) == [
        i for i in range(len(NAMED)) if i not in kept]


@pytest.mark.parametrize("method", ["get_sheets_with_names", "get_sheets_without_names"])
@pytest.mark.parametrize(
    ("names", "message"),
    [
        ("A", "argument 'name_list': a str cannot be taken as a list"),
        (5, "argument 'name_list': 'int' object cannot be converted to 'Sequence'"),
        ({"A"}, "argument 'name_list': 'set' object cannot be converted to 'Sequence'"),
        (["A", 5], "argument 'name_list': 'int' object cannot be converted to 'str'"),
        ([b"A"], "argument 'name_list': 'bytes' object cannot be converted to 'str'"),
    ],
)
def test_name_list_errors(method, names, message):
    with pytest.raises(TypeError) as info:
        getattr(finder_of(*NAMED), method)(names)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("name", "expected"),
    [("A", 0), ("B", 1), ("a", 3), ("A ", 4), ("", 5), ("Отчёт", 6), (" A", None), ("C", None)],
)
def test_find_sheet_by_name(name, expected):
    assert positions(finder_of(*NAMED).find_sheet_by_name(name=name)) == expected


@pytest.mark.parametrize(
    ("method", "arg", "message"),
    [
        ("find_sheet_by_name", None, "argument 'name': 'NoneType' object cannot be converted to 'str'"),
        ("find_sheet_by_regex", 1, "argument 'pattern': 'int' object cannot be converted to 'str'"),
        ("find_sheet_by_regex", b"A", "argument 'pattern': 'bytes' object cannot be converted to 'str'"),
    ],
)
def test_text_argument_errors(method, arg, message):
    with pytest.raises(TypeError) as info:
        getattr(finder_of("A"), method)(arg)
    assert str(info.value) == message


PATTERN_NAMES = ("Sheet A", "Sheet B", "Report 2", "Report", "AAx", "é", "x(1)")


@pytest.mark.parametrize(
    ("pattern", "expected"),
    [
        ("B", 1),  # anywhere in the name
        ("^B$", None),
        ("^Report$", 3),
        ("Report", 2),
        ("", 0),
        ("sheet", None),  # case-sensitive
        ("(?i)sheet b", 1),
        (r"(?<=Sheet )B", 1),
        (r"Sheet (?!A)", 1),
        (r"^(\w)\1", 4),  # back-reference
        ("^.$", 5),  # one character, not one byte
        (r"x\(1\)", 6),
        ("A|2", 0),
        ("[0-9]$", 2),
    ],
)
def test_find_sheet_by_regex(pattern, expected):
    assert positions(finder_of(*PATTERN_NAMES).find_sheet_by_regex(pattern=pattern)) == expected


def test_a_name_the_engine_gives_up_on_does_not_qualify():
    f = finder_of("a" * 40 + "!", "aaa")
    assert positions(f.find_sheet_by_regex("^(a+)+$")) == 1


@pytest.mark.parametrize("pattern", ["[", "(", ")", "*", "a{2,1}", "\\", "(?P<n>a)(?P<n>b)"])
def test_invalid_pattern_panics_and_finder_stays_usable(pattern):
    for f in (finder_of(), finder_of("A", "B")):
        raises_panic(f.find_sheet_by_regex, pattern)
        assert positions(f.find_sheet_by_name("B")) == (1 if f.sheets else None)
        assert positions(f.find_sheet_by_regex("B")) == (1 if f.sheets else None)


def test_many_sheets_select_in_list_order():
    """Enough sheets that the selections run on the worker pool; results keep list order."""
    f = Finder([src_sheet(name=f"S{i % 1000}", sheet_state=str(i)) for i in range(30_000)])
    before = _testing.pool_stats()[1]
    assert positions(f.find_sheet_by_name("S999")) == 999
    assert positions(f.find_sheet_by_regex(r"^S99\d$")) == 990
    assert positions(f.get_sheets_with_names(["S5", "S7"])) == sorted(
        i for i in range(30_000) if i % 1000 in (5, 7))
    without = positions(f.get_sheets_without_names(["S5"]))
    assert without == [i for i in range(30_000) if i % 1000 != 5]
    assert _testing.pool_stats()[1] > before  # the helpers did part of the work


# --- Surface and lifetime ---------------------------------------------------------------------


def test_surface():
    assert Finder.__text_signature__ == "(sheets)"
    assert create_finder.__text_signature__ == "(sheets)"
    signatures = {
        "get_sheet_index": "($self, idx)",
        "get_sheets_without_names": "($self, name_list)",
        "get_sheets_with_names": "($self, name_list)",
        "find_sheet_by_name": "($self, name)",
        "find_sheet_by_regex": "($self, pattern)",
    }
    assert {n for n in dir(Finder) if not n.startswith("_")} == set(signatures) | {"sheets"}
    for name, signature in signatures.items():
        assert getattr(Finder, name).__text_signature__ == signature
    with pytest.raises(TypeError):
        type("Sub", (Finder,), {})
    f = finder_of("A")
    for action in (lambda: setattr(f, "sheets", []), lambda: delattr(f, "sheets"),
                   lambda: setattr(f, "extra", 1)):
        with pytest.raises(AttributeError):
            action()
    assert len(f.sheets) == 1


def test_sheets_and_cells_outlive_their_finder():
    gc.collect()
    baseline = _testing.live_cells()
    f = finder_of("A", "B")
    sheet = f.find_sheet_by_name("B")
    cell = f.sheets[0].cells[0]
    del f
    gc.collect()
    assert _testing.live_cells() == baseline + 2
    assert (sheet.name, sheet.find_cell_by_str("B").value) == ("B", "B")
    assert repr(sheet) == "ReadableSheet (B) cells: 1"
    del sheet
    gc.collect()
    assert (cell.value, cell.letter) == ("A", "A1")
    assert _testing.live_cells() == baseline + 1
    del cell
    assert _testing.live_cells() == baseline
