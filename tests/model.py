"""A pure-Python model of tabrix's write side: books, sheets, cells, comments and the JSON document.

Tests drive the extension and this model with the same calls and compare everything observable.
The model keeps the record identities that the extension shares: a copied sheet files the very
same `CellRecord` and `CommentRecord` objects as its source, so a write through one handle shows
everywhere the record is filed, exactly as in the engine.

Values are `(kind, payload)` tuples with kind one of Empty, Text, Number, Integer, Bool, DateTime;
a DateTime payload is (year, month, day, hour, minute, second, nanosecond), with a leap second held
as second 59 and a nanosecond part of one second or more.

The raw document form (`parse_raw`, `BookModel.raw_document`) keeps what `json.loads` loses: every
object is a `JObj` (its members in emitted order) and every number a `Num` holding its exact text,
so key order, omitted keys and the number layout are all compared.
"""

import copy
import json
import math
import re
from decimal import Decimal
from typing import NamedTuple

ROW_MAX = 2**32 - 1
COL_MAX = 2**16 - 1
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
DEFAULT_ROW_HEIGHT = 20.0
DEFAULT_COLUMN_WIDTH = 22.5

EMPTY = ("Empty", None)
KIND_CODE = {"Empty": "General", "Text": "s", "Number": "n", "Integer": "n", "Bool": "b", "DateTime": "d"}
ONE_SECOND_NS = 1_000_000_000


# --- the value-from-text rule ---------------------------------------------------------------

_INT_RE = re.compile(r"[+-]?[0-9]+", re.ASCII)
_FLOAT_RE = re.compile(
    r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))", re.ASCII
)
_WHITE = " \t\n\v\f\r"


def _is_leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def _days_in_month(year, month):
    if month == 2:
        return 29 if _is_leap(year) else 28
    return 30 if month in (4, 6, 9, 11) else 31


def _read_datetime(text):
    """Lenient "%Y-%m-%d %H:%M:%S" reading: white space may precede every number, the blank
    between date and time matches any run (the empty one too), every field takes as many digits
    as it may and never gives one back, and nothing may follow the seconds."""
    pos = 0
    n = len(text)

    def skip_white():
        nonlocal pos
        while pos < n and text[pos] in _WHITE:
            pos += 1

    def digits(limit):
        nonlocal pos
        start = pos
        while pos < n and pos - start < limit and "0" <= text[pos] <= "9":
            pos += 1
        return int(text[start:pos]) if pos > start else None

    def literal(ch):
        nonlocal pos
        if pos < n and text[pos] == ch:
            pos += 1
            return True
        return False

    skip_white()
    if pos < n and text[pos] in "+-":
        negative = text[pos] == "-"
        pos += 1
        year = digits(n)
        if year is not None and negative:
            year = -year
    else:
        year = digits(4)
    fields = [year]
    for before in ("-", "-", None, ":", ":"):
        if fields[-1] is None:
            return None
        if before is not None and not literal(before):
            return None
        skip_white()
        fields.append(digits(2))
    if fields[-1] is None or pos != n:
        return None
    year, month, day, hour, minute, second = fields
    if not INT32_MIN <= year <= INT32_MAX or not 1 <= month <= 12:
        return None
    if not 1 <= day <= _days_in_month(year, month) or hour > 23 or minute > 59 or second > 60:
        return None
    if second == 60:
        return ("DateTime", (year, month, day, hour, minute, 59, ONE_SECOND_NS))
    return ("DateTime", (year, month, day, hour, minute, second, 0))


def value_from_text(text):
    """The typed value that a text written into a cell becomes."""
    if text == "":
        return EMPTY
    upper = text.upper()
    if upper in ("TRUE", "FALSE"):
        return ("Bool", upper == "TRUE")
    if _INT_RE.fullmatch(text) and INT32_MIN <= int(text) <= INT32_MAX:
        return ("Integer", int(text))
    if _FLOAT_RE.fullmatch(text):
        return ("Number", float(text))
    return _read_datetime(text) or ("Text", text)


# --- text forms -----------------------------------------------------------------------------


def _shortest_digits(x):
    """Shortest round-trip digits of a finite non-zero double and the exponent E for which
    |x| = 0.d1d2...dn * 10**E."""
    d = Decimal(repr(abs(x))).normalize()
    sign, digits, exp = d.as_tuple()
    return "".join(map(str, digits)), len(digits) + exp


def display_number(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    digits, e = _shortest_digits(x)
    n = len(digits)
    if e >= n:
        body = digits + "0" * (e - n)
    elif e > 0:
        body = digits[:e] + "." + digits[e:]
    else:
        body = "0." + "0" * -e + digits
    return ("-" if x < 0 else "") + body


def json_number(x):
    """The document's text of a double, or None where the document writes null."""
    if math.isnan(x) or math.isinf(x):
        return None
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    digits, e = _shortest_digits(x)
    n = len(digits)
    if n <= e <= 16:
        body = digits + "0" * (e - n) + ".0"
    elif 0 < e <= 16:
        body = digits[:e] + "." + digits[e:]
    elif -4 <= e <= 0:
        body = "0." + "0" * -e + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + str(e - 1)
    return ("-" if x < 0 else "") + body


def _datetime_text(dt, separator):
    year, month, day, hour, minute, second, nanos = dt
    if nanos >= ONE_SECOND_NS:
        second += 1
        nanos -= ONE_SECOND_NS
    if 0 <= year <= 9999:
        y = f"{year:04d}"
    else:
        y = ("-" if year < 0 else "+") + f"{abs(year):04d}"
    text = f"{y}-{month:02d}-{day:02d}{separator}{hour:02d}:{minute:02d}:{second:02d}"
    if nanos:
        if nanos % 1_000_000 == 0:
            text += f".{nanos // 1_000_000:03d}"
        elif nanos % 1000 == 0:
            text += f".{nanos // 1000:06d}"
        else:
            text += f".{nanos:09d}"
    return text


def display_text(value):
    kind, payload = value
    if kind == "Empty":
        return ""
    if kind == "Text":
        return payload
    if kind == "Number":
        return display_number(payload)
    if kind == "Integer":
        return str(payload)
    if kind == "Bool":
        return "true" if payload else "false"
    return _datetime_text(payload, " ")


def column_letters(col):
    letters = ""
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(ord("A") + rem) + letters
    return letters


# --- raw document form ----------------------------------------------------------------------


class JObj(tuple):
    """A JSON object as its (key, value) members in document order."""

    def member_names(self):
        return [k for k, _ in self]

    def member(self, key):
        return next(v for k, v in self if k == key)

    def __repr__(self):
        return "JObj(" + ", ".join(f"{k!r}: {v!r}" for k, v in self) + ")"


class Num(NamedTuple):
    kind: str  # "int" or "float", as the JSON reader classifies the token
    text: str


def parse_raw(text):
    """Parses a document keeping member order and the exact text of every number."""

    def no_constants(name):
        raise ValueError(f"non-standard constant {name} in the document")

    return json.loads(
        text,
        object_pairs_hook=JObj,
        parse_int=lambda s: Num("int", s),
        parse_float=lambda s: Num("float", s),
        parse_constant=no_constants,
    )


def dump_raw(raw):
    """Writes a raw document back as compact text with the document's string escapes (those of
    `json.dumps` without ASCII escaping): dump_raw(parse_raw(t)) == t for a well-formed document."""
    if isinstance(raw, JObj):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + dump_raw(v) for k, v in raw) + "}"
    if isinstance(raw, Num):
        return raw.text
    if isinstance(raw, list):
        return "[" + ",".join(map(dump_raw, raw)) + "]"
    return json.dumps(raw, ensure_ascii=False)  # str, bool, None


def sort_dimension_members(raw_sheet):
    """The members of "rows" and "columns" follow hash order; put them in key order."""
    out = []
    for key, value in raw_sheet:
        if key in ("row_dimensions", "column_dimensions"):
            value = JObj(
                (k, JObj(sorted(v, key=lambda m: int(m[0]))) if k in ("rows", "columns") else v)
                for k, v in value
            )
        out.append((key, value))
    return JObj(out)


def _raw_float(x):
    text = json_number(x)
    return None if text is None else Num("float", text)


def raw_value(value):
    kind, payload = value
    if kind == "Empty":
        return None
    if kind == "Number":
        return _raw_float(payload)
    if kind == "Integer":
        return Num("int", str(payload))
    if kind == "DateTime":
        return _datetime_text(payload, "T")
    return payload  # Text and Bool


# --- records --------------------------------------------------------------------------------


class CellRecord:
    __slots__ = ("row", "column", "value", "formula", "data_type", "style", "hidden_value", "shared")

    def __init__(self, row, column, value=EMPTY, data_type=None):
        self.row = row
        self.column = column
        self.value = value
        self.formula = None
        self.data_type = KIND_CODE[value[0]] if data_type is None else data_type
        self.style = None
        self.hidden_value = None
        # Set once the record is filed in two cell tables; such a record is copied, never moved in
        # place, when a sheet shifts it, even after the other table has dropped it.
        self.shared = False

    def detached_copy(self):
        twin = copy.copy(self)
        twin.shared = False
        return twin

    # writes
    def set_value(self, value):
        self.value = value
        self.formula = None
        self.data_type = KIND_CODE[value[0]]

    def set_text(self, text):
        self.set_value(value_from_text(text))

    def set_formula(self, text):
        self.formula = text
        self.data_type = "f"

    # reads
    @property
    def display(self):
        return display_text(self.value)

    @property
    def letter(self):
        return column_letters(self.column) + str(self.row)

    @property
    def is_formula(self):
        return self.formula is not None and self.data_type == "f"

    def is_kind(self, kind):
        return self.value[0] == kind

    def raw(self):
        members = [("row", Num("int", str(self.row))), ("column", Num("int", str(self.column))),
                   ("value", raw_value(self.value))]
        if self.formula is not None:
            members.append(("formula", self.formula))
        members.append(("data_type", self.data_type))
        if self.style is not None:
            members.append(("style_id", self.style))
        if self.hidden_value is not None:
            members.append(("hidden_value", self.hidden_value))
        return JObj(members)

    def __repr__(self):
        return f"CellRecord({self.row}, {self.column}, {self.value!r}, dt={self.data_type!r})"


class CommentRecord:
    __slots__ = ("row", "column", "author", "text")

    def __init__(self, row, column, author, text):
        self.row, self.column, self.author, self.text = row, column, author, text

    def raw(self):
        return JObj([("row", Num("int", str(self.row))), ("column", Num("int", str(self.column))),
                     ("author", self.author), ("text", self.text)])


class SheetModel:
    def __init__(self, name, sheet_state="visible"):
        self.name = name
        self.sheet_state = sheet_state
        self.merge_cells = []
        self.cells = {}  # (row, column) -> CellRecord
        self.rows = {}  # row -> [height, hidden]
        self.columns = {}  # column -> [width, hidden]
        self.comments = []
        self.default_height = DEFAULT_ROW_HEIGHT
        self.default_width = DEFAULT_COLUMN_WIDTH

    def copy_as(self, name):
        twin = SheetModel(name, self.sheet_state)
        twin.merge_cells = list(self.merge_cells)
        twin.cells = dict(self.cells)
        for record in twin.cells.values():
            record.shared = True
        twin.rows = {k: list(v) for k, v in self.rows.items()}
        twin.columns = {k: list(v) for k, v in self.columns.items()}
        twin.comments = list(self.comments)
        return twin

    # grid
    def cell(self, row, col, text=None):
        record = self.cells.get((row, col))
        if record is None:
            if text is None:
                record = CellRecord(row, col, EMPTY, "s")
            else:
                record = CellRecord(row, col, value_from_text(text))
            self.cells[(row, col)] = record
        elif text is not None:
            record.set_text(text)
        return record

    def get_value_cell(self, row, col):
        record = self.cells.get((row, col))
        return "" if record is None else record.display

    @property
    def max_row(self):
        return max((r for r, _ in self.cells), default=0)

    @property
    def max_column(self):
        return max((c for _, c in self.cells), default=0)

    def sorted_cells(self):
        return [self.cells[k] for k in sorted(self.cells)]

    def _delete_band(self, first, amount, last_key, axis):
        if amount == 0:
            return
        end = min(first + amount, last_key + 1)
        kept = {}
        for record in self.cells.values():
            k = record.row if axis == 0 else record.column
            if first <= k < end:
                continue
            if k > first:
                if record.shared:
                    record = record.detached_copy()
                if axis == 0:
                    record.row = k - amount
                else:
                    record.column = k - amount
            key = (record.row, record.column)
            assert key not in kept, f"model: shift collided at {key}"
            kept[key] = record
        self.cells = kept

    def delete_rows(self, idx, amount):
        self._delete_band(idx, amount, ROW_MAX, 0)

    def delete_cols(self, idx, amount):
        self._delete_band(idx, amount, COL_MAX, 1)

    # layout
    def add_merge_cells(self, start_row, end_row, start_col, end_col):
        self.merge_cells.append((start_row, end_row, start_col, end_col))

    def add_comment(self, row, col, text, author):
        record = CommentRecord(row, col, author, text)
        self.comments.append(record)
        return record

    def set_height_row(self, row, val):
        self.rows.setdefault(row, [DEFAULT_ROW_HEIGHT, False])[0] = float(val)

    def set_hidden_row(self, row, val):
        self.rows.setdefault(row, [DEFAULT_ROW_HEIGHT, False])[1] = val

    def set_width_column(self, col, val):
        self.columns.setdefault(col, [DEFAULT_COLUMN_WIDTH, False])[0] = float(val)

    def set_hidden_column(self, col, val):
        self.columns.setdefault(col, [DEFAULT_COLUMN_WIDTH, False])[1] = val

    def get_height_by_row(self, row):
        return self.rows[row][0] if row in self.rows else self.default_height

    def get_hidden_by_row(self, row):
        return self.rows[row][1] if row in self.rows else False

    def get_width_by_column(self, col):
        return self.columns[col][0] if col in self.columns else self.default_width

    def get_hidden_by_column(self, col):
        return self.columns[col][1] if col in self.columns else False

    def __repr__(self):
        return f"Sheet ({self.name}) cells: {len(self.cells)}"

    def raw(self):
        """The sheet object of the document, "rows" and "columns" members in key order."""
        members = [("name", self.name), ("sheet_state", self.sheet_state)]
        if self.merge_cells:
            members.append(("merge_cells", [[Num("int", str(n)) for n in m] for m in self.merge_cells]))
        members.append(("cells", [c.raw() for c in self.sorted_cells()]))
        rows = []
        if self.rows:
            rows.append(("rows", JObj(
                (str(r), JObj([("row_num", Num("int", str(r))), ("height", _raw_float(h)),
                               ("hidden", hidden)]))
                for r, (h, hidden) in sorted(self.rows.items()))))
        rows.append(("default_height", _raw_float(self.default_height)))
        members.append(("row_dimensions", JObj(rows)))
        cols = []
        if self.columns:
            cols.append(("columns", JObj(
                (str(c), JObj([("col_num", Num("int", str(c))), ("width", _raw_float(w)),
                               ("hidden", hidden)]))
                for c, (w, hidden) in sorted(self.columns.items()))))
        cols.append(("default_width", _raw_float(self.default_width)))
        members.append(("column_dimensions", JObj(cols)))
        members.append(("comments", [c.raw() for c in self.comments]))
        return JObj(members)


class BookModel:
    def __init__(self):
        self.sheets = []

    def add_sheet(self, name, sheet_state="visible"):
        sheet = SheetModel(name, sheet_state)
        self.sheets.append(sheet)
        return sheet

    def copy_sheet(self, source):
        sheet = source.copy_as(f"Sheet {len(self.sheets) + 1}")
        self.sheets.append(sheet)
        return sheet

    def get_sheet_index(self, idx):
        return self.sheets[idx] if 0 <= idx < len(self.sheets) else None

    def get_sheet_name(self, name):
        return next((s for s in self.sheets if s.name == name), None)

    def __repr__(self):
        return f"Book, sheets: {len(self.sheets)}"

    def raw_document(self):
        return JObj([("sheets", [s.raw() for s in self.sheets])])
