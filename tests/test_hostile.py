"""Hostile input at scale: huge texts and cell lists, integers far beyond 64 bits, objects whose
conversions raise, sequences whose length lies, and source objects that change what is being
read. Nothing may crash; each error is the documented one; nothing is left half-built."""

import gc
import inspect
import json
import subprocess
import sys
import textwrap
from types import SimpleNamespace as NS

import pytest

import tabrix
from tabrix import _testing, readable

RANGE = "out of range integral type conversion attempted"


def interpreter_message(action):
    try:
        action()
    except OverflowError as e:
        return str(e)
    raise AssertionError("no OverflowError")


# The interpreter's own words for an int beyond 64 bits and for one beyond a double.
TOO_BIG = interpreter_message(lambda: (2**70).to_bytes(8, "little", signed=True))
TOO_BIG_FOR_FLOAT = interpreter_message(lambda: float(10**400))
HUGE = (2**64, 10**30, -(2**64) - 1, -(10**30), 2**4000)


def panic_of(call):
    """The PanicException a call raises (it is a BaseException in no module)."""
    try:
        call()
    except BaseException as e:  # noqa: BLE001
        if type(e).__name__ == "PanicException":
            return e
        raise
    pytest.fail("no PanicException")


def source_cell(row, col, value, data_type="s"):
    return NS(row=row, column=col, value=value, formula=None, data_type=data_type)


def source_sheet(name, cells, merge_cells=None):
    return NS(name=name, sheet_state="visible", merge_cells=merge_cells, cells=cells)


def grid_cells(rows=4, cols=3):
    cells = [source_cell(r, c, f"r{r}c{c}") for r in range(1, rows + 1) for c in range(1, cols + 1)]
    return cells + [source_cell(rows + 1, 1, "Start"), source_cell(rows + 2, 2, "End")]


class World:
    """A small book, service and finder for the argument tables."""

    def __init__(self):
        self.book = tabrix.Book()
        self.sheet = self.book.add_sheet("Data")
        for r in range(1, 5):
            for c in range(1, 4):
                self.sheet.cell(r, c, f"r{r}c{c}")
        self.sheet.add_comment(1, 1, "note", "me")
        self.cell = self.sheet.cell(2, 2)
        self.comment = self.sheet.comments[0]
        self.service = tabrix.Service(None)
        self.service._add_sheet("Svc")
        self.finder = readable.Finder([source_sheet("Data", grid_cells()), source_sheet("Other", [])])
        self.rsheet = self.finder.sheets[0]
        self.rcells = self.rsheet.cells

    def state(self):
        """Everything a failed call must leave as it was."""
        return self.book.to_json(), self.service.to_json()


@pytest.fixture
def world():
    return World()


# --- Integer parameters ------------------------------------------------------------------------

# (label, world -> callable, valid arguments). Every integer parameter of the public surface
# appears here with a valid value; the cases below replace one of them at a time.
INT_CALLS = [
    ("tabrix.column_number_to_letter", lambda w: tabrix.column_number_to_letter, (3,)),
    ("tabrix.get_letter_coordinate", lambda w: tabrix.get_letter_coordinate, (3, 2)),
    ("Book.get_sheet_index", lambda w: w.book.get_sheet_index, (0,)),
    ("Service._get_sheet_index", lambda w: w.service._get_sheet_index, (0,)),
    ("Sheet.add_merge_cells", lambda w: w.sheet.add_merge_cells, (1, 2, 1, 3)),
    ("Sheet.add_comment", lambda w: w.sheet.add_comment, (1, 1, "t", "a")),
    ("Sheet.cell", lambda w: w.sheet.cell, (9, 9, "x")),
    ("Sheet.get_value_cell", lambda w: w.sheet.get_value_cell, (1, 1)),
    ("Sheet.delete_cols", lambda w: w.sheet.delete_cols, (3, 1)),
    ("Sheet.delete_rows", lambda w: w.sheet.delete_rows, (4, 1)),
    ("Sheet.set_height_row", lambda w: w.sheet.set_height_row, (1, 30.0)),
    ("Sheet.set_hidden_row", lambda w: w.sheet.set_hidden_row, (1, True)),
    ("Sheet.set_width_column", lambda w: w.sheet.set_width_column, (1, 30.0)),
    ("Sheet.set_hidden_column", lambda w: w.sheet.set_hidden_column, (1, True)),
    ("Sheet.get_height_by_row", lambda w: w.sheet.get_height_by_row, (1,)),
    ("Sheet.get_hidden_by_row", lambda w: w.sheet.get_hidden_by_row, (1,)),
    ("Sheet.get_width_by_column", lambda w: w.sheet.get_width_by_column, (1,)),
    ("Sheet.get_hidden_by_column", lambda w: w.sheet.get_hidden_by_column, (1,)),
    ("Sheet.get_cells_by_range", lambda w: w.sheet.get_cells_by_range, (1, 2, 1, 2)),
    ("Sheet.find_cells_for_rows_by_regex", lambda w: w.sheet.find_cells_for_rows_by_regex, ("r", 2)),
    ("Sheet.find_cells_for_cols_by_regex", lambda w: w.sheet.find_cells_for_cols_by_regex, ("r", 2)),
    ("Sheet.find_cells_range_rows", lambda w: w.sheet.find_cells_range_rows, (1, 2)),
    ("Sheet.find_cells_range_cols", lambda w: w.sheet.find_cells_range_cols, (1, 2)),
    ("Sheet.find_value_by_coords", lambda w: w.sheet.find_value_by_coords, (1, 1)),
    ("Cell.set_value_integer", lambda w: w.cell.set_value_integer, (5,)),
    ("Finder.get_sheet_index", lambda w: w.finder.get_sheet_index, (0,)),
    ("ReadableSheet.get_value_cell", lambda w: w.rsheet.get_value_cell, (1, 1)),
    ("ReadableSheet.get_cells_by_range", lambda w: w.rsheet.get_cells_by_range, (1, 2, 1, 2)),
    ("ReadableSheet.find_cell_by_coords", lambda w: w.rsheet.find_cell_by_coords, (1, 1)),
    ("ReadableSheet.find_cells_for_rows_by_regex", lambda w: w.rsheet.find_cells_for_rows_by_regex, ("r", 2)),
    ("ReadableSheet.find_cells_for_cols_by_regex", lambda w: w.rsheet.find_cells_for_cols_by_regex, ("r", 2)),
    ("ReadableSheet.find_cells_range_rows", lambda w: w.rsheet.find_cells_range_rows, (1, 2)),
    ("ReadableSheet.find_cells_range_cols", lambda w: w.rsheet.find_cells_range_cols, (1, 2)),
    ("ReadableSheet.find_values_by_col_rows", lambda w: w.rsheet.find_values_by_col_rows, (1, [1, 2])),
    ("ReadableSheet.find_values_by_row_cols", lambda w: w.rsheet.find_values_by_row_cols, (1, (1, 2))),
    ("ReadableSheet.find_value_by_coords", lambda w: w.rsheet.find_value_by_coords, (1, 1)),
    ("readable.find_cell_by_coords", lambda w: readable.find_cell_by_coords, (1, 1, "@cells")),
    ("readable.find_value_by_coords", lambda w: readable.find_value_by_coords, (1, 1, "@cells")),
    ("readable.find_cells_for_rows_by_regex", lambda w: readable.find_cells_for_rows_by_regex, ("r", 2, "@cells")),
    ("readable.find_cells_for_cols_by_regex", lambda w: readable.find_cells_for_cols_by_regex, ("r", 2, "@cells")),
    ("readable.find_cells_range_rows", lambda w: readable.find_cells_range_rows, (1, 2, "@cells")),
    ("readable.find_cells_range_cols", lambda w: readable.find_cells_range_cols, (1, 2, "@cells")),
    ("readable.find_values_by_col_rows", lambda w: readable.find_values_by_col_rows, (1, [1, 2], "@cells")),
    ("readable.find_values_by_row_cols", lambda w: readable.find_values_by_row_cols, (1, [1, 2], "@cells")),
]


def resolve(w, args):
    return tuple(w.rcells if a == "@cells" else a for a in args)


def int_slots():
    """(label, position, parameter name, item index or None) for every integer the table takes,
    including the items of the rows and cols lists."""
    w = World()
    slots = []
    for label, target, args in INT_CALLS:
        names = list(inspect.signature(target(w)).parameters)
        for i, a in enumerate(args):
            if type(a) is int:
                slots.append((label, i, names[i], None))
            elif isinstance(a, (list, tuple)):
                slots.append((label, i, names[i], len(a) - 1))
    return slots


INT_SLOTS = int_slots()
CALLS = {label: (target, args) for label, target, args in INT_CALLS}


def substituted(w, args, position, item, value):
    """The arguments with `value` in one slot: the argument at `position`, or its item `item`."""
    args = list(resolve(w, args))
    if item is None:
        args[position] = value
    else:
        seq = list(args[position])
        seq[item] = value
        args[position] = type(args[position])(seq)
    return args


def calling(fn, args, by):
    """A call of `fn` by position, or with every argument given by keyword (the binding takes
    different paths for the two)."""
    if by == "keyword":
        kwargs = dict(zip(inspect.signature(fn).parameters, args))
        return lambda: fn(**kwargs)
    return lambda: fn(*args)


def with_value(w, label, position, item, value, by):
    target, args = CALLS[label]
    return calling(target(w), substituted(w, args, position, item, value), by)


def slot_id(slot):
    label, _, name, item = slot
    return f"{label}:{name}" + ("[item]" if item is not None else "")


def test_the_integer_table_covers_every_integer_parameter():
    """Every public member with a parameter named like a row, column, index or count is in the
    table (a new member cannot slip past these checks)."""
    int_names = {"row", "col", "idx", "amount", "row_num", "col_num", "start_row", "end_row", "start_col",
                 "end_col", "col_stop", "row_stop", "rows", "cols"}
    members = [("tabrix." + n, getattr(tabrix, n)) for n in ("column_number_to_letter", "get_letter_coordinate")]
    for cls in (tabrix.Book, tabrix.Service, tabrix.Sheet, tabrix.Cell, readable.Finder, readable.ReadableSheet):
        members += [(f"{cls.__name__}.{n}", m) for n, m in vars(cls).items() if callable(m) and not n.startswith("__")]
    members += [(f"readable.{n}", getattr(readable, n)) for n in readable.__all__ if n.startswith("find_")]
    takes_ints = set()
    for label, m in members:
        params = set(inspect.signature(m).parameters) if m.__text_signature__ else set()
        if params & int_names:
            takes_ints.add(label)
    takes_ints.add("Cell.set_value_integer")
    assert takes_ints - set(CALLS) == set()


@pytest.mark.parametrize("by", ["position", "keyword"])
@pytest.mark.parametrize("slot", INT_SLOTS, ids=slot_id)
def test_integers_beyond_64_bits(world, slot, by):
    label, position, name, item = slot
    before = world.state()
    for value in HUGE:
        with pytest.raises(OverflowError) as e:
            with_value(world, label, position, item, value, by)()
        assert str(e.value) == TOO_BIG, (label, name, value)
    assert world.state() == before


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IndexReturnsHuge:
    def __index__(self):
        return 2**100


@pytest.mark.parametrize("by", ["position", "keyword"])
@pytest.mark.parametrize("slot", INT_SLOTS, ids=slot_id)
def test_index_conversions_that_raise(world, slot, by):
    label, position, name, item = slot
    before = world.state()
    own = ValueError("index refused")
    with pytest.raises(ValueError) as e:
        with_value(world, label, position, item, IndexRaises(own), by)()
    assert e.value is own  # other exception types pass through untouched
    with pytest.raises(TypeError) as e:
        with_value(world, label, position, item, IndexRaises(TypeError("not today")), by)()
    assert str(e.value) == f"argument '{name}': not today"
    with pytest.raises(OverflowError, match=f"^{TOO_BIG}$"):
        with_value(world, label, position, item, IndexReturnsHuge(), by)()
    assert world.state() == before


@pytest.mark.parametrize(
    "label, call",
    [
        ("Cell.set_value_number", lambda w, v: w.cell.set_value_number(v)),
        ("Sheet.set_height_row", lambda w, v: w.sheet.set_height_row(1, v)),
        ("Sheet.set_width_column", lambda w, v: w.sheet.set_width_column(1, v)),
    ],
)
def test_numbers_beyond_a_double(world, label, call):
    before = world.state()
    for value in (10**400, -(10**400), 2**1024):
        with pytest.raises(OverflowError) as e:
            call(world, value)
        assert str(e.value) == TOO_BIG_FOR_FLOAT, label

    class FloatRaises:
        def __float__(self):
            raise ZeroDivisionError("float refused")

    with pytest.raises(ZeroDivisionError, match="float refused"):
        call(world, FloatRaises())
    assert world.state() == before


@pytest.mark.parametrize("field", ["row", "column"])
@pytest.mark.parametrize("value", [2**64, -(10**30), IndexRaises(ValueError("no")), IndexReturnsHuge()], ids=repr)
def test_snapshot_integers_beyond_range(field, value):
    cells = grid_cells()
    cells.append(NS(**{**vars(source_cell(1, 1, "x")), field: value}))
    gc.collect()
    before = _testing.live_cells()
    e = panic_of(lambda: readable.Finder([source_sheet("S", cells)]))
    assert f"'{field}'" in str(e)
    assert _testing.live_cells() == before


@pytest.mark.parametrize(
    "bounds",
    [(2**64, 1, 1, 1), (1, -(10**30), 1, 1), (1, 1, 10**30, 1), (1, 1, 1, IndexRaises(ValueError("no"))),
     (1, 1, 1, IndexReturnsHuge()), (4294967296, 1, 1, 1), (1, 1, 1, 65536), (-1, 1, 1, 1)],
    ids=repr,
)
def test_snapshot_merge_bounds_beyond_range(bounds):
    e = panic_of(lambda: readable.Finder([source_sheet("S", grid_cells(), [(1, 2, 1, 3), bounds])]))
    assert "merge_cells" in str(e)


# --- Text parameters: objects whose __str__ raises ---------------------------------------------


class StrRaises:
    def __str__(self):
        raise RuntimeError("__str__ must not be called")

    __repr__ = __str__


class LoudStr(str):
    """A real str whose __str__ raises: a text conversion takes the characters, calls nothing."""

    def __str__(self):
        raise RuntimeError("__str__ must not be called")


TEXT_CALLS = [
    ("Book.add_sheet", lambda w: w.book.add_sheet, ("New", "hidden")),
    ("Book.get_sheet_name", lambda w: w.book.get_sheet_name, ("Data",)),
    ("Service._add_sheet", lambda w: w.service._add_sheet, ("New", "hidden")),
    ("Service._get_sheet_name", lambda w: w.service._get_sheet_name, ("Svc",)),
    ("Sheet.set_sheet_state", lambda w: w.sheet.set_sheet_state, ("hidden",)),
    ("Sheet.add_comment", lambda w: w.sheet.add_comment, (1, 1, "t", "a")),
    ("Sheet.cell", lambda w: w.sheet.cell, (9, 9, "x")),
    ("Sheet.find_cell_by_regex", lambda w: w.sheet.find_cell_by_regex, ("r2",)),
    ("Sheet.find_cell_by_str", lambda w: w.sheet.find_cell_by_str, ("r2c2",)),
    ("Sheet.find_cell_by_letter", lambda w: w.sheet.find_cell_by_letter, ("B2",)),
    ("Sheet.find_cells_by_regex", lambda w: w.sheet.find_cells_by_regex, ("r2",)),
    ("Sheet.find_cells_by_str", lambda w: w.sheet.find_cells_by_str, ("r2c2",)),
    ("Sheet.find_cells_for_rows_by_regex", lambda w: w.sheet.find_cells_for_rows_by_regex, ("r", 2)),
    ("Sheet.find_cells_for_cols_by_regex", lambda w: w.sheet.find_cells_for_cols_by_regex, ("r", 2)),
    ("Sheet.find_cells_multi_regex", lambda w: w.sheet.find_cells_multi_regex, ("r1", "r2")),
    ("Sheet.find_cells_between_regex", lambda w: w.sheet.find_cells_between_regex, ("r1", "r3")),
    ("Finder.find_sheet_by_name", lambda w: w.finder.find_sheet_by_name, ("Data",)),
    ("Finder.find_sheet_by_regex", lambda w: w.finder.find_sheet_by_regex, ("^D",)),
    ("Finder.get_sheets_with_names", lambda w: w.finder.get_sheets_with_names, (["Data", "x"],)),
    ("Finder.get_sheets_without_names", lambda w: w.finder.get_sheets_without_names, (("Data", "x"),)),
    ("ReadableSheet.find_cell_by_regex", lambda w: w.rsheet.find_cell_by_regex, ("r2",)),
    ("ReadableSheet.find_cell_by_str", lambda w: w.rsheet.find_cell_by_str, ("r2c2",)),
    ("ReadableSheet.find_cell_by_letter", lambda w: w.rsheet.find_cell_by_letter, ("B2",)),
    ("ReadableSheet.find_cells_by_regex", lambda w: w.rsheet.find_cells_by_regex, ("r2",)),
    ("ReadableSheet.find_cells_by_str", lambda w: w.rsheet.find_cells_by_str, ("r2c2",)),
    ("ReadableSheet.find_cells_multi_regex", lambda w: w.rsheet.find_cells_multi_regex, ("r1", "r2")),
    ("ReadableSheet.find_cells_between_regex", lambda w: w.rsheet.find_cells_between_regex, ("r1", "r3")),
    ("readable.find_cell_by_regex", lambda w: readable.find_cell_by_regex, ("r2", "@cells")),
    ("readable.find_cell_by_str", lambda w: readable.find_cell_by_str, ("r2c2", "@cells")),
    ("readable.find_cell_by_letter", lambda w: readable.find_cell_by_letter, ("B2", "@cells")),
    ("readable.find_cells_by_str", lambda w: readable.find_cells_by_str, ("r2c2", "@cells")),
    ("readable.find_cells_multi_regex", lambda w: readable.find_cells_multi_regex, ("r1", "r2", "@cells")),
    ("readable.find_cells_between_regex", lambda w: readable.find_cells_between_regex, ("r1", "r3", "@cells")),
]


def text_slots():
    w = World()
    slots = []
    for label, target, args in TEXT_CALLS:
        names = list(inspect.signature(target(w)).parameters)
        for i, a in enumerate(args):
            if isinstance(a, str) and a != "@cells":
                slots.append((label, target, args, i, names[i], None))
            elif isinstance(a, (list, tuple)):
                slots.append((label, target, args, i, names[i], 0))
    return slots


@pytest.mark.parametrize("by", ["position", "keyword"])
@pytest.mark.parametrize("slot", text_slots(), ids=lambda s: f"{s[0]}:{s[4]}")
def test_text_parameters_never_call_str(world, slot, by):
    label, target, args, position, name, item = slot
    fn = target(world)
    expected = fn(*resolve(world, args))
    if label in ("Book.add_sheet", "Service._add_sheet", "Sheet.add_comment", "Sheet.cell"):
        world = World()  # these grew the world: compare from a fresh one
        fn = target(world)
    before = world.state()
    with pytest.raises(TypeError) as e:
        calling(fn, substituted(world, args, position, item, StrRaises()), by)()
    assert str(e.value) == f"argument '{name}': 'StrRaises' object cannot be converted to 'str'"
    assert world.state() == before
    # A str subclass is taken for its characters: same result as the plain str.
    loud = LoudStr(args[position][item] if item is not None else args[position])
    assert shape(calling(fn, substituted(world, args, position, item, loud), by)()) == shape(expected)


def shape(result):
    """What a result shows: coordinates of cells, names of sheets, lists of those."""
    if isinstance(result, list):
        return [shape(x) for x in result]
    if hasattr(result, "column"):
        return (type(result).__name__, result.row, result.column, result.value)
    if hasattr(result, "max_row"):
        return (type(result).__name__, result.name, result.sheet_state)
    return result


@pytest.mark.parametrize(
    "target, attr, name",
    [(lambda w: w.sheet, "name", "name"), (lambda w: w.cell, "value", "value"), (lambda w: w.cell, "formula", "value"),
     (lambda w: w.cell, "style", "value"), (lambda w: w.cell, "hidden_value", "value"),
     (lambda w: w.comment, "author", "val"), (lambda w: w.comment, "text", "val")],
    ids=lambda x: x if isinstance(x, str) else "",
)
def test_text_attributes_never_call_str(world, target, attr, name):
    obj = target(world)
    before = world.state()
    with pytest.raises(TypeError) as e:
        setattr(obj, attr, StrRaises())
    assert str(e.value) == f"argument '{name}': 'StrRaises' object cannot be converted to 'str'"
    assert world.state() == before
    setattr(obj, attr, LoudStr("5"))
    assert type(getattr(obj, attr)) is str and getattr(obj, attr) == "5"


# --- Sequences whose length lies ---------------------------------------------------------------


class Lying:
    """A sequence whose __len__ says `n` whatever its items, which it yields by index."""

    def __init__(self, items, n):
        self.items, self.n = list(items), n

    def __len__(self):
        if isinstance(self.n, BaseException):
            raise self.n
        return self.n

    def __getitem__(self, i):
        return self.items[i]


def seq_cases(w):
    """(label, call taking a sequence, the sequence's true items) for every sequence parameter."""
    return [
        ("cells", lambda s: [(c.row, c.column) for c in readable.find_cells_by_regex("r", s)], w.rcells),
        ("cells single", lambda s: readable.find_value_by_coords(4, 3, s), w.rcells),
        ("rows", lambda s: w.rsheet.find_values_by_col_rows(2, s), [4, 1, 3, 9, 1]),
        ("cols", lambda s: readable.find_values_by_row_cols(2, s, w.rcells), [3, 1, 2, 7]),
        ("name_list with", lambda s: [x.name for x in w.finder.get_sheets_with_names(s)], ["Other", "Data"]),
        ("name_list without", lambda s: [x.name for x in w.finder.get_sheets_without_names(s)], ["Data", "q"]),
    ]


SEQ_LABELS = [c[0] for c in seq_cases(World())]


@pytest.mark.parametrize("label", SEQ_LABELS)
@pytest.mark.parametrize("claimed", [0, 1, "true+1", 1000, ValueError("len refused"), OverflowError("huge")],
                         ids=repr)
def test_lying_lengths_only_size_the_array(world, label, claimed):
    """The length of a sequence only sizes the array; the items are what iteration yields."""
    _, call, items = next(c for c in seq_cases(world) if c[0] == label)
    n = len(items) + 1 if claimed == "true+1" else claimed
    assert call(Lying(items, n)) == call(list(items))


CRASH_PRELUDE = """
import tabrix
from tabrix import readable
from types import SimpleNamespace as NS

class Lying:
    def __init__(self, items, n):
        self.items, self.n = list(items), n
    def __len__(self):
        return self.n
    def __getitem__(self, i):
        return self.items[i]

cells = [NS(row=r, column=1, value=f"v{r}", formula=None, data_type="s") for r in (1, 2, 3)]
finder = readable.Finder([NS(name="Data", sheet_state="visible", merge_cells=None, cells=cells)])
sheet = finder.sheets[0]
"""


def run_isolated(body):
    """Runs `body` after CRASH_PRELUDE in a fresh interpreter (a crash there cannot take the test
    run down); returns (exit code, standard output)."""
    code = CRASH_PRELUDE + textwrap.dedent(body)
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout.strip()


@pytest.mark.parametrize("claimed", ["10**12", "2**62", "2**63 - 1"])
def test_absurd_claimed_lengths_do_not_abort(claimed):
    code, out = run_isolated(f"""
        n = {claimed}
        calls = [
            (lambda s: [c.value for c in readable.find_cells_by_regex("v", s)], sheet.cells),
            (lambda s: sheet.find_values_by_col_rows(1, s), [3, 1]),
            (lambda s: readable.find_values_by_row_cols(1, s, sheet.cells), [1]),
            (lambda s: [x.name for x in finder.get_sheets_with_names(s)], ["Data"]),
        ]
        for call, items in calls:
            print(call(Lying(items, n)) == call(list(items)) != [])
        """)
    assert (code, out) == (0, "True\nTrue\nTrue\nTrue")


class StopsWith(Lying):
    """Yields its items, then raises `exc` instead of the next one."""

    def __init__(self, items, exc):
        super().__init__(items, len(items) + 1)
        self.exc = exc

    def __getitem__(self, i):
        if i == len(self.items):
            raise self.exc
        return self.items[i]


@pytest.mark.parametrize("label", SEQ_LABELS)
def test_iteration_that_raises_leaves_nothing(world, label):
    _, call, items = next(c for c in seq_cases(world) if c[0] == label)
    param = label.split()[0]
    gc.collect()
    refs = [sys.getrefcount(x) for x in items]
    cells = _testing.live_cells()
    own = KeyError("gone")
    with pytest.raises(KeyError) as e:
        call(StopsWith(items, own))
    assert e.value is own
    with pytest.raises(TypeError, match=f"^argument '{param}': midway$"):
        call(StopsWith(items, TypeError("midway")))
    del e, own  # their tracebacks hold the sequences
    gc.collect()
    assert [sys.getrefcount(x) for x in items] == refs and _testing.live_cells() == cells


# --- Source objects that change the list being read --------------------------------------------


class Mutating:
    """A source cell whose `row` lookup runs `action` on the cells list being walked."""

    def __init__(self, row, action):
        self._row, self._action = row, action
        self.column, self.value, self.formula, self.data_type = 1, f"m{row}", None, "s"

    def __getattr__(self, name):
        if name == "row":
            self._action()
            return self._row
        raise AttributeError(name)


def rows_of(finder):
    return [c.row for c in finder.sheets[0].cells]


def test_cells_list_changed_mid_walk():
    # Cleared while its first element is read: that element is complete, the walk ends there.
    cells = []
    cells += [Mutating(1, cells.clear)] + grid_cells()
    assert rows_of(readable.Finder([source_sheet("S", cells)])) == [1]
    # Grown on every read: what was appended is not visited.
    cells = []
    cells += [Mutating(r, lambda: cells.append(source_cell(99, 1, "late"))) for r in (1, 2, 3)]
    assert rows_of(readable.Finder([source_sheet("S", cells)])) == [1, 2, 3]
    assert len(cells) == 6
    # Shrunk from the end on every read: the walk stops at the current end.
    cells = []
    cells += [Mutating(r, cells.pop) for r in range(1, 7)]
    assert rows_of(readable.Finder([source_sheet("S", cells)])) == [1, 2, 3]
    # Replaced by junk: the first junk element read is refused.
    cells = []
    cells += [Mutating(r, lambda: cells.__setitem__(slice(None), [object()] * 8)) for r in range(1, 5)]
    gc.collect()
    before = _testing.live_cells()
    assert "cell 1" in str(panic_of(lambda: readable.Finder([source_sheet("S", cells)])))
    assert _testing.live_cells() == before


def test_sheets_list_changed_mid_walk():
    sheets = []

    class Clearing:
        name, sheet_state, merge_cells = "First", "visible", None

        @property
        def cells(self):
            sheets.clear()
            return grid_cells()

    sheets += [Clearing(), source_sheet("Second", grid_cells())]
    assert [s.name for s in readable.Finder(sheets).sheets] == ["First"]
    sheets = []

    class Growing(Clearing):
        @property
        def cells(self):
            sheets.append(source_sheet("Late", []))
            return []

    sheets += [Growing(), Growing()]
    assert [s.name for s in readable.create_finder(sheets).sheets] == ["First", "First"]


def test_source_properties_that_call_back_into_tabrix():
    """Field lookups may run any Python code, including tabrix itself: building another finder,
    searching it, writing and serialising a book. Nothing is locked while they run."""
    inner = readable.Finder([source_sheet("Inner", [source_cell(1, 1, "inner")])])
    book = tabrix.Book()
    sheet = book.add_sheet("W")

    class CellCallsBack:
        row, column, formula, data_type = 1, 1, None, "s"

        @property
        def value(self):
            again = readable.Finder([source_sheet("Again", [source_cell(2, 2, "again")])])
            sheet.cell(2, 2, "written")
            return inner.sheets[0].find_cell_by_regex("inn").value + again.sheets[0].cells[0].value

    class SheetCallsBack:
        sheet_state, merge_cells = "visible", None

        def __init__(self, cells):
            self.cells = cells

        @property
        def name(self):
            return book.to_json()[:10]

    finder = readable.Finder([SheetCallsBack([CellCallsBack()]), SheetCallsBack([])])
    assert finder.sheets[0].cells[0].value == "inneragain"
    assert [s.name for s in finder.sheets] == ['{"sheets":'] * 2
    assert sheet.get_value_cell(2, 2) == "written"
    gc.collect()
    before = _testing.live_cells()
    assert "cell 1" in str(panic_of(lambda: readable.Finder([SheetCallsBack([CellCallsBack(), 5])])))
    assert _testing.live_cells() == before


@pytest.mark.parametrize("change", ["outer.clear()", "outer[:] = ['x' * 100]", "inner.clear()"])
def test_merge_list_changed_mid_read(change):
    code, out = run_isolated(f"""
        import gc
        outer, inner = [], []
        class Evil:
            def __index__(self):
                {change}
                gc.collect()
                return 1
        inner += [Evil(), 2, 3, 4]
        outer += [inner] + [[1, 2, 3, 4] for _ in range(50)]
        src = NS(name="S", sheet_state="visible", merge_cells=outer, cells=[])
        try:
            print(readable.Finder([src]).sheets[0].merge_cells[0])
        except BaseException as e:
            print(type(e).__name__, "merge_cells" in str(e))
        """)
    # Either the range read before the change, or the refusal of the changed list.
    assert code == 0 and out in ("(1, 2, 3, 4)", "PanicException True")


# --- Huge texts --------------------------------------------------------------------------------

BIG = 10_000_000


def test_ten_million_character_cell_text():
    text = "x" * (BIG - 6) + "Total\u00e9"
    book = tabrix.Book()
    sheet = book.add_sheet("Big")
    cell = sheet.cell(1, 1, text)
    sheet.cell(2, 1, "small")
    assert cell.value == text and sheet.get_value_cell(1, 1) == text
    assert (sheet.find_cell_by_regex("Total\u00e9").row, sheet.find_cell_by_str(text).row) == (1, 1)
    assert [c.row for c in sheet.find_cells_by_regex("x" * 1000)] == [1]
    assert sheet.find_cell_by_regex(text + "y") is None
    document = book.to_json()
    assert json.loads(document)["sheets"][0]["cells"][0]["value"] == text
    assert book.to_dict()["sheets"][0]["cells"][0]["value"] == text
    # A 10M-character pattern, found and not found.
    assert sheet.find_cell_by_regex(text).row == 1
    assert sheet.find_cells_by_str(text[:-1]) == []


def test_ten_million_characters_that_need_escaping():
    text = '"\\\n\x01\u2028\ud7ff' * (BIG // 6)
    book = tabrix.Book()
    book.add_sheet("Esc").cell(1, 1, text)
    assert json.loads(book.to_json())["sheets"][0]["cells"][0]["value"] == text


def test_ten_million_character_sheet_names():
    name = "n" * BIG
    book = tabrix.Book()
    book.add_sheet("small")
    sheet = book.add_sheet(name, "s" * BIG)
    sheet.cell(1, 1, "x")
    assert book.get_sheet_name(name).name == name and book.get_sheet_name(name[:-1]) is None
    assert repr(sheet) == f"Sheet ({name}) cells: 1"
    doc = json.loads(book.to_json())
    assert (doc["sheets"][1]["name"], doc["sheets"][1]["sheet_state"]) == (name, "s" * BIG)
    finder = readable.Finder([source_sheet("small", []), source_sheet(name, [source_cell(1, 1, name)])])
    assert finder.find_sheet_by_name(name).name == name
    assert [s.name for s in finder.get_sheets_without_names([name])] == ["small"]
    assert finder.find_sheet_by_regex("^n+$").name == name
    # A 10M-character pattern: found, or refused by the pattern engine as too large; either way
    # the finder stays usable.
    try:
        found = finder.find_sheet_by_regex(name)
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException"
    else:
        assert found.name == name
    assert finder.find_sheet_by_name("small").name == "small"
    assert finder.sheets[1].find_cell_by_str(name).row == 1


def letter_outcome(call):
    try:
        found = call()
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException"
        return "PanicException"
    return found and (found.row, found.column)


@pytest.mark.parametrize(
    "huge, short",
    [("A" * BIG, "AB"), ("Z" * BIG + "1", "ZZZZ1"), ("A" + "9" * BIG, "A99999999999"),
     ("A" + "0" * BIG + "1", "A01"), ("A1" + " " * BIG, "A1 ")],
    ids=["letters", "column overflow", "row overflow", "leading zeros", "trailing blanks"],
)
def test_ten_million_character_references(huge, short):
    """A reference of 10M characters reads as its short equivalent does."""
    sheet = tabrix.Book().add_sheet("S")
    sheet.cell(1, 1, "x")
    cells = readable.Finder([source_sheet("S", [source_cell(1, 1, "x")])]).sheets[0].cells
    for find in (sheet.find_cell_by_letter, lambda ref: readable.find_cell_by_letter(ref, cells)):
        assert letter_outcome(lambda: find(huge)) == letter_outcome(lambda: find(short))


# --- Millions of cells -------------------------------------------------------------------------


@pytest.fixture(scope="module")
def one_cell():
    finder = readable.Finder([source_sheet("S", [source_cell(2, 3, "Total 1")])])
    return finder.sheets[0].cells[0]


def test_five_million_cells(one_cell):
    gc.collect()
    live, refs = _testing.live_cells(), sys.getrefcount(one_cell)
    cells = [one_cell] * 5_000_000
    assert readable.find_cell_by_str("nothing", cells) is None
    assert readable.find_cells_range_rows(3, 9, cells) == []
    found = readable.find_cell_by_coords(2, 3, cells)
    assert (found.row, found.column, found.value) == (2, 3, "Total 1") and found is not one_cell
    assert readable.find_value_by_coords(2, 3, tuple(cells)) == "Total 1"
    everything = readable.find_cells_by_regex("Total", cells)
    assert len(everything) == 5_000_000 and (everything[-1].row, everything[-1].column) == (2, 3)
    assert len({id(c) for c in everything[:1000]}) == 1000  # new objects, one per entry
    del everything, found
    # A wrong item at the very end: refused after 5M good ones, and nothing is kept.
    cells.append(tabrix.Book().add_sheet("W").cell(1, 1, "Total"))
    with pytest.raises(TypeError, match="^argument 'cells': 'Cell' object cannot be converted to 'ReadableCell'$"):
        readable.find_cells_by_regex("Total", cells)
    cells[-1] = "Total"
    with pytest.raises(TypeError, match="^argument 'cells': 'str' object cannot be converted to 'ReadableCell'$"):
        readable.find_cell_by_str("Total", cells)
    del cells
    gc.collect()
    assert (_testing.live_cells(), sys.getrefcount(one_cell)) == (live, refs)


def test_five_million_names_and_rows(one_cell):
    finder = readable.Finder([source_sheet("A", []), source_sheet("B", [])])
    names = ["B"] * 5_000_000
    assert [s.name for s in finder.get_sheets_with_names(names)] == ["B"]
    assert [s.name for s in finder.get_sheets_without_names(names)] == ["A"]
    names.append(None)
    with pytest.raises(TypeError, match="^argument 'name_list': "):
        finder.get_sheets_with_names(names)
    rows = [7] * 5_000_000 + [2]
    assert readable.find_values_by_col_rows(3, rows, [one_cell]) == ["Total 1"]
    rows.append(-1)
    with pytest.raises(OverflowError, match=f"^{RANGE}$"):
        readable.find_values_by_col_rows(3, rows, [one_cell])


def test_failed_finder_of_many_cells_leaves_nothing():
    """200,000 good cells, then one bad one: the whole build is dropped."""
    gc.collect()
    before = _testing.live_cells()
    cells = [{"row": i // 100 + 1, "column": i % 100 + 1, "value": "v", "formula": None, "data_type": "s"}
             for i in range(200_000)]
    good = readable.Finder([source_sheet("Good", cells)])
    assert _testing.live_cells() == before + 200_000
    del good
    cells.append({"row": 1, "column": 1, "value": "v", "formula": None, "data_type": None})
    e = panic_of(lambda: readable.Finder([source_sheet("Good", cells[:-1]), source_sheet("Bad", cells)]))
    assert "data_type" in str(e)
    assert _testing.live_cells() == before
