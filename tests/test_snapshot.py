"""Snapshots of Python worksheet objects: the field lookup rule, reading order, value typing,
merged ranges, and hostile sources (each refused with PanicException, leaving nothing behind).

The source builders and `raises_panic` here are shared with the other read-side test files."""

import collections
import gc
import re
import sys
import types

import pytest
from tabrix import _testing
from tabrix.readable import Finder

MISSING = object()  # a field left out of a source object


class Obj:
    """An attribute-style source object."""

    def __init__(self, **fields):
        for k, v in fields.items():
            if v is not MISSING:
                setattr(self, k, v)


def src_cell(row=1, column=1, value="x", formula=None, data_type="s"):
    return Obj(row=row, column=column, value=value, formula=formula, data_type=data_type)


def src_sheet(*cells, **fields):
    """A source sheet holding `cells`; `fields` replace its defaults (`cells` included)."""
    defaults = {"name": "Data", "sheet_state": "visible", "merge_cells": None, "cells": list(cells)}
    return Obj(**{**defaults, **fields})


def snap(source):
    """The snapshot of one source sheet, as a ReadableSheet."""
    (sheet,) = Finder([source]).sheets
    return sheet


def _panic_class():
    try:
        _testing.panic("probe")
    except BaseException as e:  # noqa: BLE001
        return type(e)


PanicException = _panic_class()


def raises_panic(call, *args, **kwargs):
    """Asserts that the call raises PanicException, which `except Exception` does not catch."""
    caught = None
    try:
        call(*args, **kwargs)
    except Exception as e:  # noqa: BLE001
        pytest.fail(f"{type(e).__name__} ({e}) raised where PanicException was due")
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert caught is not None, "nothing was raised"
    assert type(caught) is PanicException
    return caught


def names_field(message, field):
    return re.search(rf"\b{field}\b", message) is not None


def cells_of(sheet):
    return [(c.row, c.column, c.value, c.formula, c.data_type) for c in sheet.cells]


# --- Accepted sources -------------------------------------------------------------------------


def test_empty_sheet():
    s = snap(src_sheet())
    assert (s.name, s.sheet_state, s.cells, s.merge_cells) == ("Data", "visible", [], [])
    assert (s.max_row, s.max_column) == (0, 0)


class DictSheet(dict):
    """A dict subclass: its fields are items, but `cells` is still an attribute."""


class DictCell(dict):
    pass


def test_field_lookup_rule_items_for_dicts_attributes_otherwise():
    sheet = DictSheet(name="Items", sheet_state="hidden", merge_cells=[(1, 2, 1, 3)])
    # Attributes of the same names must be ignored for a dict; the cells list only as attribute.
    sheet.name, sheet.sheet_state, sheet.merge_cells = "Attr", "attr", None
    dict_cell = DictCell(row=1, column=2, value="from item", formula="=A1", data_type="f")
    dict_cell.value = "from attribute"
    sheet.cells = [dict_cell, {"row": 2, "column": 1, "value": "plain dict", "formula": None,
                               "data_type": "s"}, src_cell(3, 3, "attr cell")]
    s = snap(sheet)
    assert (s.name, s.sheet_state, s.merge_cells) == ("Items", "hidden", [(1, 2, 1, 3)])
    assert cells_of(s) == [
        (1, 2, "from item", "=A1", "f"),
        (2, 1, "plain dict", None, "s"),
        (3, 3, "attr cell", None, "s"),
    ]


def test_mapping_that_is_not_a_dict_is_read_by_attributes():
    class ItemsAndAttributes(collections.UserDict):
        pass

    src = ItemsAndAttributes(name="item", sheet_state="item", merge_cells="bad", cells="bad")
    src.name, src.sheet_state, src.merge_cells, src.cells = "attr", "shown", None, []
    assert snap(src).name == "attr"


def test_list_subclass_of_cells_and_integer_like_fields():
    class Cells(list):
        pass

    class Seven:
        def __index__(self):
            return 7

    s = snap(src_sheet(cells=Cells([src_cell(Seven(), True, "a"), src_cell(0, 0, "origin")])))
    assert [(c.row, c.column, c.letter) for c in s.cells] == [(0, 0, "0"), (7, 1, "A7")]


# Reading every field of a source records the reads: a source object answers through
# __getattr__ (or __getitem__ for a dict cell) and logs each field name asked for.
class AttrRecorder:
    def __init__(self, log, **fields):
        self._log, self._fields = log, fields

    def __getattr__(self, name):
        self._log.append(name)
        return self._fields[name]


class ItemRecorder(dict):
    def __init__(self, log, **fields):
        super().__init__(fields)
        self._log = log

    def __getitem__(self, name):
        self._log.append(name)
        return super().__getitem__(name)


CELL_FIELDS = ["row", "column", "value", "formula", "data_type"]


@pytest.mark.parametrize(
    ("bad", "reads"),
    [
        ({}, ["name", "sheet_state", "merge_cells", "cells"] + CELL_FIELDS * 2),
        ({"name": 1}, ["name"]),
        ({"merge_cells": "A1:B2"}, ["name", "sheet_state", "merge_cells"]),
        ({"value": 42}, ["name", "sheet_state", "merge_cells", "cells", "row", "column", "value"]),
        ({"data_type": None}, ["name", "sheet_state", "merge_cells", "cells"] + CELL_FIELDS),
    ],
)
def test_reading_order_and_first_failure_stops_reading(bad, reads):
    log = []
    sheet_fields = {"name": "R", "sheet_state": "visible", "merge_cells": None}
    cell_fields = {"row": 1, "column": 1, "value": "v", "formula": None, "data_type": "s"}
    sheet_fields.update((k, v) for k, v in bad.items() if k in sheet_fields)
    cell_fields.update((k, v) for k, v in bad.items() if k in cell_fields)
    cells = [AttrRecorder(log, **cell_fields), ItemRecorder(log, **{**cell_fields, "row": 2})]
    source = AttrRecorder(log, cells=cells, **sheet_fields)
    if bad:
        raises_panic(Finder, [source])
    else:
        assert len(snap(source).cells) == 2
    assert log == reads


@pytest.mark.parametrize(
    ("sheet", "cell", "named", "not_named"),
    [
        ({}, {"row": -1, "value": 42}, "row", "value"),
        ({}, {"column": 1.5, "data_type": None}, "column", "data_type"),
        ({}, {"value": b"x", "formula": 1}, "value", "formula"),
        ({}, {"formula": 1, "data_type": None}, "formula", "data_type"),
        ({"name": None, "cells": MISSING}, {}, "name", "cells"),
        ({"sheet_state": 1, "merge_cells": "A1"}, {}, "sheet_state", "merge_cells"),
        ({"merge_cells": "A1"}, {"row": -1}, "merge_cells", "row"),
        ({"cells": (src_cell(),)}, {}, "cells", "row"),
    ],
)
def test_first_failing_field_decides_the_error(sheet, cell, named, not_named):
    source = src_sheet(**{"cells": [src_cell(**cell)], **sheet})
    message = str(raises_panic(Finder, [source]))
    assert names_field(message, named), message
    assert not names_field(message, not_named), message


@pytest.mark.parametrize(
    ("value", "data_type", "shown", "kind"),
    [
        ("42", "s", "42", None),
        ("", "s", "", None),
        ("TRUE", "s", "TRUE", None),
        ("1.50", "s", "1.50", None),
        ("42", "n", "42", "integer"),
        ("1.50", "n", "1.5", "numeric"),
        ("TRUE", "b", "true", "bool"),
        ("2024-03-05 07:08:09", "d", "2024-03-05 07:08:09", "datetime"),
        ("", "n", "", "empty"),
        ("x", "n", "x", None),
        (" 42", "n", " 42", None),
        ("42", "str", "42", "integer"),  # only exactly "s" keeps the text
        ("42", "inlineStr", "42", "integer"),
        ("42", "S", "42", "integer"),
        ("42", "", "42", "integer"),
        (None, "s", "", "empty"),
        (None, "n", "", "empty"),
        (None, "b", "", "empty"),
        ("Grüße 😀", "s", "Grüße 😀", None),
    ],
)
def test_value_typing_follows_data_type(value, data_type, shown, kind):
    (c,) = snap(src_sheet(src_cell(2, 3, value, data_type=data_type))).cells
    assert (c.value, c.data_type, c.style) == (shown, data_type, None)
    kinds = {
        "integer": c.is_value_integer,
        "numeric": c.is_value_numeric,
        "bool": c.is_value_bool,
        "datetime": c.is_value_datetime,
        "empty": c.is_value_empty,
    }
    assert [k for k, on in kinds.items() if on] == ([kind] if kind else [])


def test_last_duplicate_coordinate_wins_and_extent():
    s = snap(src_sheet(
        src_cell(3, 2, "first", formula="=1", data_type="f"),
        src_cell(9, 1, None),
        src_cell(2, 7, "x"),
        src_cell(3, 2, "second", data_type="n"),
        merge_cells=[(100, 200, 50, 60)],
    ))
    assert cells_of(s) == [(2, 7, "x", None, "s"), (3, 2, "second", None, "n"), (9, 1, "", None, "s")]
    assert (s.max_row, s.max_column) == (9, 7)  # the empty cell counts, the merged range does not
    assert repr(s) == "ReadableSheet (Data) cells: 3"


@pytest.mark.parametrize(
    ("merge_cells", "stored"),
    [
        (None, []),
        ([(1, 2, 1, 3)], [(1, 2, 1, 3)]),
        ([[1, 2, 1, 3]], [(1, 2, 1, 3)]),
        (((1, 2, 1, 3), [4, 5, 6, 7]), [(1, 2, 1, 3), (4, 5, 6, 7)]),
        ([(5, 2, 9, 3), (5, 2, 9, 3), (0, 0, 0, 0)], [(5, 2, 9, 3), (5, 2, 9, 3), (0, 0, 0, 0)]),
        ([(True, 2**31 - 1, 0, 65535)], [(1, 2**31 - 1, 0, 65535)]),
    ],
)
def test_merge_cells_forms(merge_cells, stored):
    assert snap(src_sheet(merge_cells=merge_cells)).merge_cells == stored


def test_text_fields_are_copied_verbatim():
    s = snap(src_sheet(src_cell(1, 1, "  v\n", formula=" =SUM(A1:A2) ", data_type="тип"),
                       name=" Лист 1 ", sheet_state=""))
    assert (s.name, s.sheet_state) == (" Лист 1 ", "")
    assert cells_of(s) == [(1, 1, "  v\n", " =SUM(A1:A2) ", "тип")]


def test_snapshot_is_a_copy():
    cells = [src_cell(1, 1, "before")]
    source = src_sheet(cells=cells)
    s = snap(source)
    cells[0].value = "after"
    cells.append(src_cell(2, 2, "new"))
    source.name = "Renamed"
    assert (s.name, cells_of(s)) == ("Data", [(1, 1, "before", None, "s")])


# --- Hostile sources --------------------------------------------------------------------------


class Boom(Exception):
    pass


class RaisingProperty:
    """A source cell whose `value` property raises."""

    row, column, formula, data_type = 1, 1, None, "s"

    @property
    def value(self):
        raise Boom("value")


class RaisingGetattr:
    """A source sheet whose __getattr__ raises for `cells`."""

    name, sheet_state, merge_cells = "S", "visible", None

    def __getattr__(self, name):
        raise Boom(name)


class RaisingGetitem(dict):
    def __getitem__(self, key):
        if key == "sheet_state":
            raise Boom(key)
        return super().__getitem__(key)


def gen():
    yield (1, 2, 1, 3)


def bad_sheet(**fields):
    """A sheet holding two good cells whose field `fields` are replaced."""
    return src_sheet(src_cell(1, 1, "a"), src_cell(2, 2, "b"), **fields)


def bad_cell(**fields):
    """A sheet whose third cell (after two good ones) has the given fields replaced."""
    return src_sheet(src_cell(1, 1, "a"), src_cell(2, 2, "b"), src_cell(**fields), src_cell(3, 3))


big_cells = [{"row": i // 10 + 1, "column": i % 10, "value": "v", "formula": None,
              "data_type": "s"} for i in range(100_000)]
big_cells[-1] = {**big_cells[-1], "value": 42}
BIG = src_sheet(cells=big_cells)

HOSTILE = [
    # id, source sheet, field named in the error, the exception the source raised (cause)
    ("name missing", bad_sheet(name=MISSING), "name", None),
    ("name int", bad_sheet(name=1), "name", None),
    ("name bytes", bad_sheet(name=b"Data"), "name", None),
    ("name None", bad_sheet(name=None), "name", None),
    ("name surrogate", bad_sheet(name="\ud800"), "name", None),
    ("state missing", bad_sheet(sheet_state=MISSING), "sheet_state", None),
    ("state None", bad_sheet(sheet_state=None), "sheet_state", None),
    ("state surrogate", bad_sheet(sheet_state="ok\udfff"), "sheet_state", None),
    ("merges missing", bad_sheet(merge_cells=MISSING), "merge_cells", None),
    ("merges str", bad_sheet(merge_cells="A1:C2"), "merge_cells", None),
    ("merges int", bad_sheet(merge_cells=5), "merge_cells", None),
    ("merges dict", bad_sheet(merge_cells={(1, 2, 1, 3): 1}), "merge_cells", None),
    ("merges set", bad_sheet(merge_cells={(1, 2, 1, 3)}), "merge_cells", None),
    ("merges generator", bad_sheet(merge_cells=gen()), "merge_cells", None),
    ("merge of 3", bad_sheet(merge_cells=[(1, 2, 3)]), "merge_cells", None),
    ("merge of 5", bad_sheet(merge_cells=[(1, 2, 3, 4, 5)]), "merge_cells", None),
    ("merge int element", bad_sheet(merge_cells=[7]), "merge_cells", None),
    ("merge str element", bad_sheet(merge_cells=["abcd"]), "merge_cells", None),
    ("merge str bound", bad_sheet(merge_cells=[(1, 2, 1, "3")]), "merge_cells", None),
    ("merge float bound", bad_sheet(merge_cells=[(1, 2, 1, 3.0)]), "merge_cells", None),
    ("merge None bound", bad_sheet(merge_cells=[(1, 2, None, 3)]), "merge_cells", None),
    ("merge after good", bad_sheet(merge_cells=[(1, 2, 1, 3), (1, 2)]), "merge_cells", None),
    # Bounds outside the row and column ranges are refused, never wrapped.
    ("merge row -1", bad_sheet(merge_cells=[(-1, 0, 0, 0)]), "merge_cells", None),
    ("merge end row -1", bad_sheet(merge_cells=[(0, -1, 0, 0)]), "merge_cells", None),
    ("merge col 65536", bad_sheet(merge_cells=[(1, 2, 65536, 70000)]), "merge_cells", None),
    ("merge end col 70000", bad_sheet(merge_cells=[(1, 2, 1, 70000)]), "merge_cells", None),
    ("merge col -1", bad_sheet(merge_cells=[(1, 2, -1, 3)]), "merge_cells", None),
    ("merge row 2**31", bad_sheet(merge_cells=[(2**31, 0, 0, 0)]), "merge_cells", None),
    ("merge row 2**32-1", bad_sheet(merge_cells=[(0, 2**32 - 1, 0, 0)]), "merge_cells", None),
    ("merge col 2**40", bad_sheet(merge_cells=[(0, 0, 0, 2**40)]), "merge_cells", None),
    ("merge row 2**70", bad_sheet(merge_cells=[(2**70, 0, 0, 0)]), "merge_cells", None),
    ("cells missing", bad_sheet(cells=MISSING), "cells", None),
    ("cells tuple", bad_sheet(cells=(src_cell(),)), "cells", None),
    ("cells None", bad_sheet(cells=None), "cells", None),
    ("cells generator", bad_sheet(cells=(c for c in [src_cell()])), "cells", None),
    ("plain dict sheet", {"name": "D", "sheet_state": "visible", "merge_cells": None, "cells": []},
     "cells", None),
    ("dict sheet with attributes only", DictSheet(), "name", None),
    ("row missing", bad_cell(row=MISSING), "row", None),
    ("row -1", bad_cell(row=-1), "row", None),
    ("row 2**32", bad_cell(row=2**32), "row", None),
    ("row 2**70", bad_cell(row=2**70), "row", None),
    ("row float", bad_cell(row=1.0), "row", None),
    ("row str", bad_cell(row="1"), "row", None),
    ("row None", bad_cell(row=None), "row", None),
    ("column missing", bad_cell(column=MISSING), "column", None),
    ("column -1", bad_cell(column=-1), "column", None),
    ("column 65536", bad_cell(column=65536), "column", None),
    ("column float", bad_cell(column=2.5), "column", None),
    ("value missing", bad_cell(value=MISSING), "value", None),
    ("value int", bad_cell(value=42), "value", None),
    ("value float", bad_cell(value=1.5), "value", None),
    ("value bytes", bad_cell(value=b"x"), "value", None),
    ("value surrogate", bad_cell(value="a\ud83d"), "value", None),
    ("formula missing", bad_cell(formula=MISSING), "formula", None),
    ("formula int", bad_cell(formula=1), "formula", None),
    ("formula surrogate", bad_cell(formula="=\udc80"), "formula", None),
    ("data_type missing", bad_cell(data_type=MISSING), "data_type", None),
    ("data_type None", bad_cell(data_type=None), "data_type", None),
    ("data_type int", bad_cell(data_type=1), "data_type", None),
    ("data_type surrogate", bad_cell(data_type="\udbff"), "data_type", None),
    ("dict cell missing key", src_sheet(src_cell(), {"row": 1, "column": 2, "value": None,
                                                     "data_type": "s"}), "formula", None),
    ("property raises", src_sheet(src_cell(), RaisingProperty()), "value", Boom),
    ("__getattr__ raises", RaisingGetattr(), "cells", Boom),
    ("__getitem__ raises", RaisingGetitem(name="S"), "sheet_state", Boom),
    ("100k cells, bad last", BIG, "value", None),
]


def reachable(root):
    """Every object a source refers to (lists, tuples, dicts, attributes of our source classes)."""
    seen, stack = {}, [root]
    while stack:
        o = stack.pop()
        if id(o) in seen:
            continue
        seen[id(o)] = o
        if isinstance(o, dict):
            stack += list(o.keys()) + list(o.values())
        elif isinstance(o, (list, tuple, set)):
            stack += list(o)
        if type(o).__module__ == __name__ and hasattr(o, "__dict__"):
            stack.append(vars(o))
    return list(seen.values())


GOOD = src_sheet(src_cell(1, 1, "good"), src_cell(1, 2, "also good"), name="Good")


@pytest.mark.parametrize(("source", "field", "cause"), [c[1:] for c in HOSTILE],
                         ids=[c[0] for c in HOSTILE])
def test_hostile_source_is_refused_and_leaves_nothing(source, field, cause):
    sources = [GOOD, source]  # a snapshot already built when the bad one fails must be released
    error = raises_panic(Finder, sources)
    assert names_field(str(error), field), str(error)
    if cause is not None:
        assert type(error.__cause__) is cause
    del error

    repeats = 5 if source is BIG else 2000
    objects = reachable(sources)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    cells, finders, blocks = _testing.live_cells(), sys.getrefcount(Finder), sys.getallocatedblocks()
    for _ in range(repeats):
        try:
            Finder(sources)
        except BaseException:  # noqa: BLE001, S110
            pass
    gc.collect()
    assert _testing.live_cells() == cells
    assert sys.getrefcount(Finder) == finders  # every Finder object holds its type
    assert sys.getallocatedblocks() - blocks < 200
    assert [sys.getrefcount(o) for o in objects] == refs


def test_panic_writes_a_diagnostic(capfd):
    raises_panic(Finder, [bad_cell(data_type=None)])
    assert names_field(capfd.readouterr().err, "data_type")


# --- Python code that changes the cells list during the walk ----------------------------------


class Mutating:
    """A source cell whose __getattr__ runs `action` on the sheet's cells list when `row` is read."""

    def __init__(self, cells, action, row):
        self._cells, self._action, self._row = cells, action, row
        self.column, self.value, self.formula, self.data_type = 1, f"r{row}", None, "s"

    def __getattr__(self, name):
        if name != "row":
            raise AttributeError(name)
        self._action(self._cells)
        return self._row


@pytest.mark.parametrize(
    ("action", "where", "rows"),
    [
        (lambda cells: cells.clear(), 0, [0]),  # the list shrinks: the walk ends early
        (lambda cells: cells.clear(), 2, [0, 1, 2]),
        (lambda cells: cells.__delitem__(slice(2, None)), 1, [0, 1]),
        (lambda cells: cells.extend(src_cell(100 + i) for i in range(50)), 0, [0, 1, 2, 3]),
        (lambda cells: cells.append(src_cell(99)), 3, [0, 1, 2, 3]),  # appended: not visited
    ],
)
def test_walk_is_bounded_when_the_list_changes(action, where, rows):
    baseline = _testing.live_cells()
    for _ in range(200):
        cells = [src_cell(r, 1, f"r{r}") for r in range(4)]
        cells[where] = Mutating(cells, action, where)
        s = snap(src_sheet(cells=cells))
        assert [c.row for c in s.cells] == rows
        assert [c.value for c in s.cells] == [f"r{r}" for r in rows]
    del s
    gc.collect()
    assert _testing.live_cells() == baseline


# --- Large sources: plain loads, the filing helper, and Python code in the middle -------------

class SlotCell:
    __slots__ = ("row", "column", "value", "formula", "data_type")

    def __init__(self, row, column, value, formula=None, data_type="s"):
        self.row, self.column, self.value, self.formula, self.data_type = row, column, value, formula, data_type


def _runtime(name):
    """An str equal to `name` but not the interned one that source code uses."""
    return "".join(list(name))


FIELDS = ("row", "column", "value", "formula", "data_type")
MAKERS = {
    "slots": lambda *f: SlotCell(*f),
    "namespace": lambda *f: types.SimpleNamespace(**dict(zip(FIELDS, f))),
    "dict": lambda *f: dict(zip(FIELDS, f)),
    "dict with keys made at run time": lambda *f: {_runtime(k): v for k, v in zip(FIELDS, f)},
    "dict with many keys": lambda *f: {**{f"extra{i}": i for i in range(20)}, **dict(zip(FIELDS, f))},
    "slots, int subclass row": lambda *f: SlotCell(IntSub(f[0]), *f[1:]),
    "slots, str subclass value": lambda *f: SlotCell(f[0], f[1], None if f[2] is None else StrSub(f[2]), *f[3:]),
}


class IntSub(int):
    pass


class StrSub(str):
    pass


def varied_fields(n):
    """(row, column, value, formula, data_type) of n cells in rows of 7: words, integers,
    decimals, non-ASCII text, empty values, formulas, an unknown data type, and every 997th cell
    repeating an earlier coordinate with a new value (the later one wins)."""
    out = []
    for i in range(n):
        r, c = divmod(i, 7)
        if i % 997 == 996:
            r, c = divmod(i - 500, 7)
        kind = i % 7
        fields = [
            (r + 1, c + 1, f"w{i}", None, "s"),
            (r + 1, c + 1, str(i * 37 - 5000), None, "n"),
            (r + 1, c + 1, f"{i}.{i % 100:02d}", None, "n"),
            (r + 1, c + 1, f"Grüße {i}", None, "s"),
            (r + 1, c + 1, None, None, "s"),
            (r + 1, c + 1, str(i), f"=A{i}+1", "f"),
            (r + 1, c + 1, "TRUE" if i % 2 else "2024-01-0" + str(1 + i % 9), None, "x" if i % 3 else "b"),
        ][kind]
        out.append(fields)
    return out


@pytest.mark.parametrize("n", [50, 40_000])
@pytest.mark.parametrize("kind", list(MAKERS))
def test_every_source_shape_reads_as_the_attribute_lookup_does(kind, n):
    fields = varied_fields(n)
    expected = cells_of(snap(src_sheet(cells=[src_cell(*f) for f in fields])))
    got = cells_of(snap(src_sheet(cells=[MAKERS[kind](*f) for f in fields])))
    assert got == expected
    assert len(got) == n - n // 997


def test_python_code_in_the_middle_of_a_walk_cannot_pull_texts_from_under_it():
    """A property of one cell drops the texts of every cell read before it; those cells were read
    already, so the snapshot holds their texts as they were."""
    n = 60_000

    def text(i):
        return "".join(["t", str(i), "-" * (i % 13)])  # a new object nobody else holds

    class Dropper:
        def __init__(self, cells, row):
            self._cells, self._row = cells, row
            self.column, self.value, self.formula, self.data_type = 1, "dropper", None, "s"

        @property
        def row(self):
            for c in reversed(self._cells[: self._row - 1]):  # the latest read first
                c.value = "replaced"
            # New texts of the same sizes take over the freed memory and are kept until the end.
            self.junk = ["".join(["Z", str(i), "#" * (i % 13)]) for i in range(self._row)]
            return self._row

    _testing.set_filer_delay(2000)  # the filing lags far behind the reading
    try:
        for where in (3, 20_000, n - 1):
            cells = [SlotCell(i + 1, 1, text(i)) for i in range(n)]
            cells[where] = Dropper(cells, where + 1)
            values = [c.value for c in snap(src_sheet(cells=cells)).cells]
            assert values == [text(i) if i != where else "dropper" for i in range(n)]
    finally:
        _testing.set_filer_delay(0)


@pytest.mark.parametrize("kind", ["slots", "namespace", "dict"])
def test_a_bad_cell_after_many_good_ones_leaves_nothing(kind):
    fields = varied_fields(30_000)
    cells = [MAKERS[kind](*f) for f in fields]
    cells.append(MAKERS[kind](-1, 1, "x", None, "s"))
    sheet = src_sheet(cells=cells)
    gc.collect()
    baseline = _testing.live_cells()
    for _ in range(3):
        error = raises_panic(Finder, [sheet])
        assert names_field(str(error), "row") and "cell 30000" in str(error), str(error)
    del error
    gc.collect()
    assert _testing.live_cells() == baseline


def test_python_code_of_a_later_sheet_cannot_pull_texts_from_under_an_earlier_one():
    """The sheets of one finder share the helper that files records: a property of the second
    sheet drops every text of the first, whose cells were read already."""
    n = 40_000

    def text(i):
        return "".join(["a", str(i), "+" * (i % 11)])

    class Thief:
        def __init__(self, victims):
            self._victims = victims
            self.sheet_state, self.merge_cells, self.cells = "visible", None, [SlotCell(1, 1, "b")]

        @property
        def name(self):
            for c in reversed(self._victims):
                c.value = "gone"
            self.junk = ["".join(["Z", str(i), "#" * (i % 11)]) for i in range(n)]
            return "Second"

    _testing.set_filer_delay(2000)
    try:
        first = [SlotCell(i // 10 + 1, i % 10 + 1, text(i)) for i in range(n)]
        finder = Finder([src_sheet(cells=first), Thief(first)])
        assert [c.value for c in finder.sheets[0].cells] == [text(i) for i in range(n)]
        assert [c.value for c in finder.sheets[1].cells] == ["b"]
    finally:
        _testing.set_filer_delay(0)


class SlottedDict(dict):
    """A dict subclass whose type also declares attributes of the field names."""

    __slots__ = ("row", "column", "value", "formula", "data_type")


@pytest.mark.parametrize("n", [3, 20_000])
def test_dict_subclass_is_read_by_items_even_with_same_named_slots(n):
    cells = []
    for i in range(n):
        c = SlottedDict(row=i + 1, column=1, value=f"item{i}", formula=None, data_type="s")
        c.row, c.column, c.value, c.formula, c.data_type = 1, 2, "attribute", None, "s"
        cells.append(c)
    assert [(c.row, c.value) for c in snap(src_sheet(cells=cells)).cells] == [(i + 1, f"item{i}") for i in range(n)]


def test_tables_of_dropped_snapshots_are_reused_and_replaced_soundly():
    """Dropped cell tables are kept for reuse up to a bound, the oldest making room: many
    small tables, then large ones, then small ones again, each snapshot reading back exactly."""

    def check(sheets, per_sheet):
        finder = Finder([src_sheet(name=f"S{k}", cells=[SlotCell(i // 10 + 1, i % 10 + 1, f"{k}:{i}") for i in range(per_sheet)])
                         for k in range(sheets)])
        for k, sheet in enumerate(finder.sheets):
            cells = sheet.cells
            assert len(cells) == per_sheet
            assert cells[0].value == f"{k}:0" and cells[-1].value == f"{k}:{per_sheet - 1}"
            assert sheet.find_cell_by_coords(per_sheet // 20 + 1, 5).value == f"{k}:{(per_sheet // 20) * 10 + 4}"

    for _ in range(2):
        check(20, 20_000)  # twenty tables of one size: more than are kept
        check(2, 400_000)  # larger ones push the oldest out
        check(3, 50_000)


def test_sheets_of_mixed_sizes_in_one_finder():
    """Small sheets are filed by the reading thread and large ones by the helper, in any order."""
    sizes = [10, 30_000, 5, 3_000, 0, 20_000, 1, 2_047, 2_048]
    finder = Finder([src_sheet(name=f"S{k}", cells=[SlotCell(i // 10 + 1, i % 10 + 1, f"{k}:{i}") for i in range(n)])
                     for k, n in enumerate(sizes)])
    for k, (sheet, n) in enumerate(zip(finder.sheets, sizes)):
        assert [c.value for c in sheet.cells] == [f"{k}:{i}" for i in range(n)]
