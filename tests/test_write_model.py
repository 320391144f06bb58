"""Random sequences of write-side calls, checked against the pure-Python model after every step.

Two books, a handful of sheets, coordinates in a small range plus the last row and column, so that
row and column deletions shift cells into each other's places and reach the ends of both ranges.
Cell and comment handles are kept across steps, including handles taken before a sheet is copied
and one of the two sheets then deletes rows or columns; each is checked against the record the
model says it wraps. After every step every sheet is compared member by member, and every book's
document is compared with the model's token for token (member order, omitted keys, number text).
"""

import json
import math

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import tabrix
from model import (COL_MAX, INT32_MAX, INT32_MIN, ROW_MAX, BookModel, dump_raw, parse_raw,
                   sort_dimension_members)

MAX_SHEETS = 6
MAX_CELL_HANDLES = 24
MAX_COMMENT_HANDLES = 8


# --- strategies -----------------------------------------------------------------------------


def _small_or_end(small, end):
    """0..small-1 most of the time, otherwise one of the last two numbers of the range."""
    return st.integers(0, small + 1).map(lambda i: i if i < small else end - (i - small))


rows = _small_or_end(5, ROW_MAX)
cols = _small_or_end(5, COL_MAX)
# Fewer rows and columns for dimension records, so that heights and hidden flags meet often.
dim_rows = _small_or_end(2, ROW_MAX)
dim_cols = _small_or_end(2, COL_MAX)
row_amounts = st.one_of(st.integers(0, 4), st.sampled_from([ROW_MAX, ROW_MAX - 2, 2**31]))
col_amounts = st.one_of(st.integers(0, 4), st.sampled_from([COL_MAX, COL_MAX - 2, 2**15]))
picks = st.integers(0, 63)

WORDS = ["alpha", "Total", "x y", "=SUM(A1:A3)", " 12", "FALSE ", "-", "+", "2024-01-05",
         "2024-01-05T10:00:00", "2024-02-30 10:00:00", 'q"\\\t\x01é/\x1b\x7f', "1,5", "0x10",
         "1_000", "inf!", "ß", "😀"]
BOOL_TEXTS = ["true", "TRUE", "tRuE", "False", "falſe"]
NUMBER_TEXTS = ["1.50", "1e3", ".5", "5.", "nan", "-Infinity", "1e400", "-0.0", "1e20", "0.000001",
                "123.25", "1.5e16", "2147483648", "-2147483649", "1e16", "1e15", "1.23e-7"]
DATETIME_TEXTS = ["+10000-01-01 00:00:00", "-1-01-01 00:00:00", "0-01-01 00:00:00",
                  "2016-12-31 23:59:60", "2023-02-29 00:00:00", "2024-02-29 12:00:00",
                  "2024-01-0509:03:07", " 2024-01-05\t09:03:07"]


def _int_text(n, form):
    if form == "+" and n >= 0:
        return "+" + str(n)
    if form == "00":
        return ("-" if n < 0 else "") + "00" + str(abs(n))
    return str(n)


def _datetime_text(y, mo, d, h, mi, s, padded, blank):
    if padded:
        return f"{y:04d}-{mo:02d}-{d:02d}{blank}{h:02d}:{mi:02d}:{s:02d}"
    return f"{y}-{mo}-{d}{blank}{h}:{mi}:{s}"


texts = st.one_of(
    st.just(""),
    st.sampled_from(WORDS),
    st.text(alphabet="bcdkmxyz -=\"\\\té", max_size=4),
    st.sampled_from(BOOL_TEXTS),
    st.builds(_int_text, st.integers(-20, 20) | st.integers(INT32_MIN - 3, INT32_MAX + 3),
              st.sampled_from(["", "+", "00"])),
    st.sampled_from(NUMBER_TEXTS),
    st.floats().map(repr),
    st.sampled_from(DATETIME_TEXTS),
    st.builds(_datetime_text, st.integers(1, 9999), st.integers(1, 12), st.integers(1, 31),
              st.integers(0, 24), st.integers(0, 59), st.integers(0, 60), st.booleans(),
              st.sampled_from([" ", "", "  ", "\t"])),
)
# None half of the time (a plain `st.none() | texts` would flatten into one branch of ten).
optional_texts = st.tuples(st.booleans(), texts).map(lambda t: None if t[0] else t[1])
free_texts = st.one_of(st.sampled_from(["", "SUM(A1:A2)", "=B1*2", "bold", 'q"\\\t\x01é/']),
                       st.text(max_size=3))
names = st.sampled_from(["A", "B", "", "Report", "Sheet 3", "Sheet 4", 'é"\\/\t'])
states = st.sampled_from(["visible", "hidden", "veryHidden", ""])
numbers = st.one_of(
    st.floats(),
    st.sampled_from([0.0, -0.0, 3.0, 0.1, 2.5, 1e20, 1e16, 1.5e16, 1e15, 1e-4, 1e-5, 1e-6, 1.23e-7,
                     1e300, 5e-324, math.nan, math.inf, -math.inf, 123.25, -1234.5678]),
    st.integers(-(2**60), 2**60),
)
integers = st.one_of(st.integers(INT32_MIN, INT32_MAX),
                     st.sampled_from([INT32_MIN, INT32_MAX, 0, True, False]))
datetimes = st.one_of(
    st.datetimes(),
    st.builds(lambda dt, us: dt.replace(microsecond=us), st.datetimes(),
              st.sampled_from([0, 500000, 123456, 1000, 7, 250000])),
)
sizes = st.one_of(st.sampled_from([0.0, -0.0, 35, 15.5, 1e16, 1e-7, -3.25, math.nan, math.inf]),
                  st.floats(allow_nan=False, allow_infinity=False))


def _pick(items, i):
    return items[i % len(items)]


def _same_float(a, b):
    if math.isnan(b):
        return isinstance(a, float) and math.isnan(a)
    return isinstance(a, float) and a == b and math.copysign(1, a) == math.copysign(1, b)


# --- observation ----------------------------------------------------------------------------


def observed_cell(c):
    return (c.row, c.column, c.value, c.data_type, c.formula, c.style, c.hidden_value, c.is_formula,
            c.is_value_bool, c.is_value_numeric, c.is_value_integer, c.is_value_datetime,
            c.is_value_empty, c.letter, repr(c))


def expected_cell(r):
    return (r.row, r.column, r.display, r.data_type, r.formula, r.style, r.hidden_value, r.is_formula,
            r.is_kind("Bool"), r.is_kind("Number"), r.is_kind("Integer"), r.is_kind("DateTime"),
            r.is_kind("Empty"), r.letter,
            f"Cell, Coords: Coordinate {{ row: {r.row}, column: {r.column} }}")


def observed_comment(c):
    return (c.row, c.column, c.coordinate, c.author, c.text)


def expected_comment(r):
    return (r.row, r.column, (r.row, r.column), r.author, r.text)


PROBE_ROWS = [0, 1, 3, ROW_MAX]
PROBE_COLS = [0, 2, 5, COL_MAX]
PROBE_COORDS = [(0, 0), (1, 2), (3, 1), (ROW_MAX, COL_MAX)]


def check_sheet(py, m):
    assert (py.name, py.sheet_state, repr(py)) == (m.name, m.sheet_state, repr(m))
    assert (py.max_row, py.max_column) == (m.max_row, m.max_column)
    listed = py.cells
    expected = m.sorted_cells()
    assert [(c.row, c.column) for c in listed] == [(r.row, r.column) for r in expected]
    for c, r in zip(listed, expected):
        assert observed_cell(c) == expected_cell(r)
    assert py.merge_cells == m.merge_cells
    comments = py.comments
    assert [observed_comment(c) for c in comments] == [expected_comment(r) for r in m.comments]
    for row, col in sorted(set(m.cells) | set(PROBE_COORDS)):
        assert py.get_value_cell(row, col) == m.get_value_cell(row, col), (row, col)
    for row in set(m.rows) | set(PROBE_ROWS):
        assert _same_float(py.get_height_by_row(row), m.get_height_by_row(row)), row
        assert py.get_hidden_by_row(row) is m.get_hidden_by_row(row), row
    for col in set(m.columns) | set(PROBE_COLS):
        assert _same_float(py.get_width_by_column(col), m.get_width_by_column(col)), col
        assert py.get_hidden_by_column(col) is m.get_hidden_by_column(col), col


def check_document(book, mb):
    text = book.to_json()
    raw = parse_raw(text)
    assert dump_raw(raw) == text  # compact, with exactly the expected string escapes
    assert raw.member_names() == ["sheets"]
    got = raw.member("sheets")
    expected = [s.raw() for s in mb.sheets]
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert sort_dimension_members(g) == e
    assert book.to_dict() == json.loads(text)


# --- the machine ----------------------------------------------------------------------------


class WriteSide(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.books = [tabrix.Book(), tabrix.Book()]
        self.models = [BookModel(), BookModel()]
        self.sheets = []  # [book index, Sheet handle, SheetModel], one entry per sheet
        self.cells = []  # (Cell handle, CellRecord)
        self.comments = []  # (Comment handle, CommentRecord)

    def _keep_cell(self, handle, record):
        self.cells.append((handle, record))
        del self.cells[:-MAX_CELL_HANDLES]

    def _keep_comment(self, handle, record):
        self.comments.append((handle, record))
        del self.comments[:-MAX_COMMENT_HANDLES]

    def _sheet(self, i):
        return _pick(self.sheets, i)

    has_sheets = precondition(lambda self: bool(self.sheets))
    has_room = precondition(lambda self: len(self.sheets) < MAX_SHEETS)
    has_cells = precondition(lambda self: bool(self.cells))
    has_comments = precondition(lambda self: bool(self.comments))

    # book

    @has_room
    @rule(b=st.integers(0, 1), name=names, state=st.none() | states)
    def add_sheet(self, b, name, state):
        if state is None:
            py, m = self.books[b].add_sheet(name), self.models[b].add_sheet(name)
        else:
            py, m = self.books[b].add_sheet(name, state), self.models[b].add_sheet(name, state)
        self.sheets.append([b, py, m])

    @has_sheets
    @has_room
    @rule(i=picks, b=st.integers(0, 1))
    def copy_sheet(self, i, b):
        _, src, src_m = self._sheet(i)
        self.sheets.append([b, self.books[b].copy_sheet(src), self.models[b].copy_sheet(src_m)])

    @has_sheets
    @rule(i=picks, how=st.sampled_from(["index", "list", "name"]))
    def refetch_sheet(self, i, how):
        """Later steps go through a fresh Python object over the same sheet."""
        entry = self._sheet(i)
        b, _, m = entry
        book, mb = self.books[b], self.models[b]
        if how == "name":
            m = mb.get_sheet_name(m.name)
            entry = next(e for e in self.sheets if e[2] is m)
            py = book.get_sheet_name(m.name)
        else:
            pos = next(k for k, s in enumerate(mb.sheets) if s is m)
            py = book.get_sheet_index(pos) if how == "index" else book.sheets[pos]
        assert py is not None and py is not entry[1]
        entry[1] = py

    # sheet grid

    @has_sheets
    @rule(i=picks, row=rows, col=cols, text=optional_texts, omit=st.booleans())
    def cell(self, i, row, col, text, omit):
        _, py, m = self._sheet(i)
        handle = py.cell(row, col) if text is None and omit else py.cell(row, col, text)
        self._keep_cell(handle, m.cell(row, col, text))

    @has_sheets
    @rule(i=picks, k=picks, text=optional_texts, omit=st.booleans())
    def cell_again(self, i, k, text, omit):
        """`cell` on a coordinate that already holds a cell (a fresh one when the sheet is empty)."""
        _, py, m = self._sheet(i)
        row, col = _pick(sorted(m.cells), k) if m.cells else (1, 1)
        handle = py.cell(row, col) if text is None and omit else py.cell(row, col, text)
        self._keep_cell(handle, m.cell(row, col, text))

    @has_sheets
    @rule(i=picks, which=st.lists(picks, max_size=3))
    def take_listed_cells(self, i, which):
        _, py, m = self._sheet(i)
        listed, expected = py.cells, m.sorted_cells()
        if listed:
            for k in which:
                self._keep_cell(_pick(listed, k), _pick(expected, k))

    @has_sheets
    @rule(i=picks, idx=rows, amount=row_amounts)
    def delete_rows(self, i, idx, amount):
        _, py, m = self._sheet(i)
        py.delete_rows(idx, amount)
        m.delete_rows(idx, amount)

    @has_sheets
    @rule(i=picks, idx=cols, amount=col_amounts)
    def delete_cols(self, i, idx, amount):
        _, py, m = self._sheet(i)
        py.delete_cols(idx, amount)
        m.delete_cols(idx, amount)

    @has_sheets
    @has_room
    @rule(i=picks, b=st.integers(0, 1), deletions=st.lists(
        st.tuples(st.booleans(), st.booleans(), st.integers(0, 4), st.integers(1, 3)),
        min_size=1, max_size=3))
    def copy_then_delete(self, i, b, deletions):
        """Handles taken from a sheet, the sheet copied, then rows or columns deleted in either
        of the two: shared records shift, drop out of one table, and shift again."""
        _, src, src_m = self._sheet(i)
        for handle, record in zip(src.cells, src_m.sorted_cells()):
            self._keep_cell(handle, record)
        pair = [(src, src_m), (self.books[b].copy_sheet(src), self.models[b].copy_sheet(src_m))]
        self.sheets.append([b, *pair[1]])
        for on_copy, by_rows, idx, amount in deletions:
            py, m = pair[on_copy]
            if by_rows:
                py.delete_rows(idx, amount)
                m.delete_rows(idx, amount)
            else:
                py.delete_cols(idx, amount)
                m.delete_cols(idx, amount)

    # cells through kept handles

    @has_cells
    @rule(h=picks, text=texts)
    def write_value(self, h, text):
        handle, record = _pick(self.cells, h)
        handle.value = text
        record.set_text(text)

    @has_cells
    @rule(h=picks, x=numbers)
    def set_value_number(self, h, x):
        handle, record = _pick(self.cells, h)
        handle.set_value_number(x)
        record.set_value(("Number", float(x)))

    @has_cells
    @rule(h=picks, n=integers)
    def set_value_integer(self, h, n):
        handle, record = _pick(self.cells, h)
        handle.set_value_integer(n)
        record.set_value(("Integer", int(n)))

    @has_cells
    @rule(h=picks, flag=st.booleans())
    def set_value_bool(self, h, flag):
        handle, record = _pick(self.cells, h)
        handle.set_value_bool(flag)
        record.set_value(("Bool", flag))

    @has_cells
    @rule(h=picks, dt=datetimes)
    def set_value_datetime(self, h, dt):
        handle, record = _pick(self.cells, h)
        handle.set_value_datetime(dt)
        record.set_value(("DateTime", (dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second,
                                       dt.microsecond * 1000)))

    @has_cells
    @rule(h=picks, field=st.sampled_from(["formula", "style", "hidden_value"]), text=free_texts)
    def write_text_field(self, h, field, text):
        handle, record = _pick(self.cells, h)
        setattr(handle, field, text)
        if field == "formula":
            record.set_formula(text)
        else:
            setattr(record, field, text)

    # sheet layout

    @has_sheets
    @rule(i=picks, name=names)
    def rename(self, i, name):
        _, py, m = self._sheet(i)
        py.name = name
        m.name = name

    @has_sheets
    @rule(i=picks, state=states)
    def set_sheet_state(self, i, state):
        _, py, m = self._sheet(i)
        py.set_sheet_state(state)
        m.sheet_state = state

    @has_sheets
    @rule(i=picks, r1=rows, r2=rows, c1=cols, c2=cols)
    def add_merge_cells(self, i, r1, r2, c1, c2):
        _, py, m = self._sheet(i)
        py.add_merge_cells(r1, r2, c1, c2)
        m.add_merge_cells(r1, r2, c1, c2)

    @has_sheets
    @rule(i=picks, row=rows, col=cols, text=free_texts, author=free_texts)
    def add_comment(self, i, row, col, text, author):
        _, py, m = self._sheet(i)
        py.add_comment(row, col, text, author)
        record = m.add_comment(row, col, text, author)
        self._keep_comment(py.comments[-1], record)

    @has_sheets
    @rule(i=picks, k=picks)
    def take_comment(self, i, k):
        _, py, m = self._sheet(i)
        listed = py.comments
        if listed:
            self._keep_comment(_pick(listed, k), _pick(m.comments, k))

    @has_comments
    @rule(h=picks, field=st.sampled_from(["author", "text"]), text=free_texts)
    def write_comment(self, h, field, text):
        handle, record = _pick(self.comments, h)
        setattr(handle, field, text)
        setattr(record, field, text)

    @has_sheets
    @rule(i=picks, what=st.sampled_from(["height", "width", "hidden_row", "hidden_column"]),
          row=dim_rows, col=dim_cols, val=sizes, flag=st.booleans())
    def set_dimension(self, i, what, row, col, val, flag):
        _, py, m = self._sheet(i)
        if what == "height":
            py.set_height_row(row, val)
            m.set_height_row(row, val)
        elif what == "width":
            py.set_width_column(col, val)
            m.set_width_column(col, val)
        elif what == "hidden_row":
            py.set_hidden_row(row, flag)
            m.set_hidden_row(row, flag)
        else:
            py.set_hidden_column(col, flag)
            m.set_hidden_column(col, flag)

    # checks

    @invariant()
    def books_match(self):
        for book, mb in zip(self.books, self.models):
            assert repr(book) == repr(mb)
            listed = book.sheets
            assert len(listed) == len(mb.sheets)
            for py, m in zip(listed, mb.sheets):
                check_sheet(py, m)
            for idx in (-1, len(mb.sheets)):
                assert book.get_sheet_index(idx) is None
            for name in {"A", "", "Sheet 3"}:
                found, m = book.get_sheet_name(name), mb.get_sheet_name(name)
                assert (found is None) == (m is None)
                if m is not None:
                    assert (found.name, repr(found), found.sheet_state) == \
                        (m.name, repr(m), m.sheet_state)
            check_document(book, mb)

    @invariant()
    def kept_handles_match(self):
        for _, py, m in self.sheets:
            check_sheet(py, m)
        for handle, record in self.cells:
            assert observed_cell(handle) == expected_cell(record)
        for handle, record in self.comments:
            assert observed_comment(handle) == expected_comment(record)


WriteSide.TestCase.settings = settings(
    max_examples=150,
    stateful_step_count=40,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestWriteSide = WriteSide.TestCase


def test_shared_mark_outlives_the_other_table():
    """A record once filed in two tables is copied, not moved, when a sheet shifts it, even after
    the other table dropped it; only a handle taken before the shifts can tell."""
    machine = WriteSide()
    steps = [
        ("add_sheet", dict(b=0, name="A", state=None)),
        ("cell", dict(i=0, row=1, col=1, text="x", omit=False)),
        # copy, then the source shifts the shared record to (1, 0) as its own copy, and the copy
        # shifts the original, which no other table files any more, from (1, 1) to (1, 0) too
        ("copy_then_delete", dict(i=0, b=0, deletions=[(False, False, 0, 1), (True, False, 0, 1)])),
    ]
    for name, args in steps:
        getattr(machine, name)(**args)
        machine.books_match()
        machine.kept_handles_match()
    held, record = machine.cells[0]
    assert (held.row, held.column) == (record.row, record.column) == (1, 1)
    assert [(c.row, c.column) for _, s, _ in machine.sheets for c in s.cells] == [(1, 0), (1, 0)]
