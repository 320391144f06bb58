"""Write a tabrix workbook to an .xlsx file with XlsxWriter (the ``tabrix[xlsx]`` extra).

``write(source, path_or_file)`` renders a workbook document (the JSON a ``Book`` or ``Service``
hands over) into a spreadsheet file. How the document maps onto the file:

Coordinates
    Rows and columns are spreadsheet numbers: row 1, column 1 is cell A1. Row 0 and column 0
    have no place in a spreadsheet, nor do rows past 1,048,576 or columns past 16,384: a cell,
    merged range, comment or row/column record there is a ``ValueError`` naming it.

Values
    Texts are strings; numbers and integers are numbers, written with every digit of the double
    (XlsxWriter on its own keeps 16 significant digits, which changes some doubles); a null
    number (NaN and infinities travel as null) is an empty cell; booleans are booleans.
    Date-times become date serial numbers shown with ``date_format``: exact to the microsecond
    up to the year 2079, beyond that to the resolution of a double. A spreadsheet date lies in
    1900-01-01 ... 9999-12-31 and has no leap second, so a date-time outside that range or on
    second 60 is written as its text, 'YYYY-MM-DD HH:MM:SS[.fff]', the way tabrix shows it.
    An empty value is written only when the cell has a style (a blank cell carrying the
    format); otherwise nothing is written. Texts longer than a cell holds (32,767 UTF-16 code
    units) are a ``ValueError`` rather than being cut short. ``hidden_value`` is not rendered.

Date-time or text
    The document writes both as JSON strings; ``data_type`` "d" marks a date-time. A date-time
    cell whose data type changed later (to "f" when a formula is set) no longer says which it
    is. Given a ``Book`` or ``Service``, the writer asks the sheet (the displayed value of a
    date-time has a blank where the document has "T") and gets it right; given document text
    or a dict, such a string is written as text.

Formulas
    A cell is a formula when it has a formula and its data type is "f" (``Cell.is_formula``).
    The text goes to ``write_formula`` as written, with or without a leading "="; the cell's
    value is stored as the cached result (texts, numbers, booleans, date-times as serial
    numbers; an empty value as an empty result, so that readers recalculate). A formula that
    is empty, or only "=", has nothing to compute: the cell's value is written instead.

Styles
    ``styles`` maps a ``style_id`` to XlsxWriter format properties (the dict given to
    ``Workbook.add_format``); each used style becomes one format. With a mapping, a style id
    it does not hold is a ``ValueError`` naming the id. Without one (``styles=None``) style
    ids are not rendered at all. A date-time cell combines its style with ``date_format``
    unless the style sets its own ``num_format``.

Merged ranges
    ``[start_row, end_row, start_col, end_col]`` (1-based, inclusive). A reversed range covers
    the same cells as its ordered form and is written so; a one-cell range merges nothing and
    is skipped; a range listed twice is written once; a range overlapping another is a
    ``ValueError`` naming both. The cells under a range keep their values.

Comments
    One comment per cell, with its author. Two comments on one cell are a ``ValueError``: a
    spreadsheet cell holds one, and dropping either would lose text.

Rows and columns
    Heights are points (0 to 409) and widths characters (0 to 255), as spreadsheets count
    them; anything else is a ``ValueError`` naming the row or column. A null height or width
    means the sheet default. Spreadsheet heights are whole pixels: a height h is stored as
    ``int(h * 4 / 3 + 0.5) * 0.75`` points (20 becomes 20.25), and a height of zero pixels
    (below 0.375 points) hides the row at the default height, as spreadsheets do. Widths
    are stored as ``floor(px * 256 / 7) / 256`` characters with ``px = int(w * 7 + 0.5) + 5``
    for w >= 1 and ``px = int(w * 12 + 0.5)`` below 1, which holds the cell padding that
    spreadsheet programs add (22.5 becomes 23.28515625). The sheet's
    default height becomes the default row height; the default width is applied to every
    column without a record of its own (the file format has no default width that XlsxWriter
    can write, and leaving those columns at the program's default would change the layout).

Sheets
    Names follow the spreadsheet rules: 1 to 31 UTF-16 code units, none of ``[]:*?/\\``, not
    starting or ending with an apostrophe, unique ignoring case; otherwise ``ValueError``.
    ``sheet_state`` "visible", "hidden" or "veryHidden"; any other text is a ``ValueError``.
    A workbook needs a visible sheet: a document without one is a ``ValueError``; the first
    visible sheet is the one shown on opening.

Streaming
    XlsxWriter's ``constant_memory`` mode keeps one row in memory at a time. It cannot write
    a row record (height or hidden flag) for a row without cells, so it is used only when
    every row record has a cell in its row. ``constant_memory=None`` turns it on when a sheet
    holds more than ``STREAMING_THRESHOLD`` cells and nothing conflicts; ``True`` demands it
    (``ValueError`` on a conflict); ``False`` never uses it.

Targets
    A path, or a binary file object open for writing; the file is written in one go when the
    workbook is complete (from memory, or from XlsxWriter's temporary files when streaming).
    Every check runs before that: a bad document leaves no file behind.
"""

from __future__ import annotations

import datetime
import json
import math
import os
import re
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import IO, Any, Final, Protocol

import xlsxwriter  # type: ignore[import-untyped]  # XlsxWriter ships no type information
from xlsxwriter.utility import xl_rowcol_to_cell  # type: ignore[import-untyped]

__all__ = ["DEFAULT_DATE_FORMAT", "STREAMING_THRESHOLD", "write"]

DEFAULT_DATE_FORMAT: Final = "yyyy-mm-dd hh:mm:ss"
"""Number format of date-time cells unless ``write`` is given another."""

STREAMING_THRESHOLD: Final = 100_000
"""Cells in one sheet above which ``constant_memory=None`` streams the workbook."""

MAX_ROWS: Final = 1_048_576
MAX_COLUMNS: Final = 16_384
MAX_TEXT_UNITS: Final = 32_767
MAX_ROW_HEIGHT: Final = 409.0
MAX_COLUMN_WIDTH: Final = 255.0
MAX_SHEET_NAME_UNITS: Final = 31

_SHEET_STATES: Final = ("visible", "hidden", "veryHidden")
_FORBIDDEN_IN_SHEET_NAME: Final = re.compile(r"[\[\]:*?/\\]")
_DOCUMENT_DATETIME: Final = re.compile(
    r"([+-][0-9]{4,}|[0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})"
    r"(?:\.([0-9]{3}|[0-9]{6}|[0-9]{9}))?"
)
# Serial day 1 is 1900-01-01; serial 60 is the 1900-02-29 that spreadsheets count but the
# calendar lacks, so every later date is one day further on.
_SERIAL_EPOCH: Final = datetime.date(1899, 12, 31).toordinal()
_NANOSECONDS_PER_DAY: Final = 86_400 * 1_000_000_000


class JsonSource(Protocol):
    """Anything that hands over a workbook document: ``tabrix.Book``, ``tabrix.Service``."""

    def to_json(self) -> str: ...


class _SheetReader(Protocol):
    def get_value_cell(self, row: int, col: int) -> str: ...


class _Format(Protocol): ...


class _Worksheet(Protocol):
    def write_string(self, row: int, col: int, string: str, fmt: _Format | None, /) -> int: ...
    def write_number(self, row: int, col: int, number: float, fmt: _Format | None, /) -> int: ...
    def write_boolean(self, row: int, col: int, value: bool, fmt: _Format | None, /) -> int: ...
    def write_blank(self, row: int, col: int, blank: None, fmt: _Format | None, /) -> int: ...
    def write_formula(
        self, row: int, col: int, formula: str, fmt: _Format | None, value: object, /
    ) -> int: ...
    def write_comment(self, row: int, col: int, text: str, options: dict[str, Any], /) -> int: ...
    def merge_range(
        self, r1: int, c1: int, r2: int, c2: int, data: None, fmt: _Format | None, /
    ) -> int: ...
    def set_row(
        self, row: int, height: float | None, fmt: None, options: dict[str, Any], /
    ) -> int: ...
    def set_column(
        self, first: int, last: int, width: float | None, fmt: None, options: dict[str, Any], /
    ) -> int: ...
    def set_default_row(self, height: float, /) -> None: ...
    def hide(self) -> None: ...
    def very_hidden(self) -> None: ...
    def activate(self) -> None: ...


class _Workbook(Protocol):
    def add_worksheet(self, name: str, /) -> _Worksheet: ...
    def add_format(self, properties: dict[str, Any], /) -> _Format: ...
    def close(self) -> None: ...


class _ExactNumber(float):
    """A float that prints all of its digits: XlsxWriter formats cell numbers with 16
    significant digits, which rounds some doubles (0.1 + 0.2) to a different one."""

    __slots__ = ()

    def __format__(self, spec: str) -> str:
        return float.__repr__(self)

    __str__ = float.__repr__


# Cell kinds of a prepared cell.
_BLANK: Final = 0
_TEXT: Final = 1
_NUMBER: Final = 2
_BOOL: Final = 3

_FormatKey = tuple[str | None, bool]  # (style id or None, date-time format)
# (row, column) 0-based, kind, value (its type follows the kind), style id or None,
# date-time format, formula or None
_PreparedCell = tuple[int, int, int, Any, str | None, bool, str | None]


class _SheetPlan:
    """One sheet, checked and converted to XlsxWriter's 0-based terms."""

    __slots__ = (
        "cells",
        "columns",
        "comments",
        "default_height",
        "default_width",
        "merges",
        "name",
        "rows",
        "state",
    )

    def __init__(self, name: str, state: str) -> None:
        self.name = name
        self.state = state
        self.default_height: float | None = None
        self.default_width: float | None = None
        self.rows: list[tuple[int, float | None, bool]] = []
        self.columns: list[tuple[int, float | None, bool]] = []
        self.merges: list[tuple[int, int, int, int]] = []
        self.comments: list[tuple[int, int, str, str]] = []
        self.cells: list[_PreparedCell] = []


def write(
    source: JsonSource | str | Mapping[str, Any],
    path_or_file: str | os.PathLike[str] | IO[bytes],
    *,
    styles: Mapping[str, Mapping[str, Any]] | None = None,
    constant_memory: bool | None = None,
    date_format: str = DEFAULT_DATE_FORMAT,
) -> None:
    """Write a workbook to an .xlsx file.

    ``source`` is a ``tabrix.Book``, a ``tabrix.Service`` (or anything with ``to_json()``),
    the document's JSON text, or the document parsed into a dict. ``path_or_file`` is a
    filesystem path or a binary file object open for writing. ``styles`` maps style ids to
    XlsxWriter format properties; ``constant_memory`` chooses streaming (None: automatic);
    ``date_format`` is the number format of date-time cells. See the module documentation
    for how each part of the document is rendered.

    Raises ``ValueError`` naming the sheet and the cell, range, row, column, comment or style
    that a spreadsheet cannot hold; nothing is written then.
    """
    document, sheet_readers, owned = _load(source)
    raw_sheets = _field(document, "sheets", list, "the document")
    plans: list[_SheetPlan] = []
    seen_names: dict[str, str] = {}
    for index, raw in enumerate(raw_sheets):
        if not isinstance(raw, Mapping):
            raise ValueError(f"sheet {index} of the document is not an object")
        reader = sheet_readers[index] if sheet_readers is not None else None
        plan = _plan_sheet(raw, reader, styles, owned)
        folded = plan.name.lower()
        if folded in seen_names:
            raise ValueError(
                f"sheet name {plan.name!r} repeats {seen_names[folded]!r}: "
                "sheet names must differ ignoring case"
            )
        seen_names[folded] = plan.name
        plans.append(plan)
    first_visible = next((p for p in plans if p.state == "visible"), None)
    if first_visible is None:
        raise ValueError("a workbook needs at least one visible sheet; the document has none")
    streaming = _choose_streaming(plans, constant_memory)

    options: dict[str, Any] = {"constant_memory": streaming}
    target: str | IO[bytes]
    if isinstance(path_or_file, (str, os.PathLike)):
        target = os.fspath(path_or_file)
    else:
        target = path_or_file
        # Streaming needs XlsxWriter's temporary files; otherwise keep everything in memory.
        options["in_memory"] = not streaming
    workbook: _Workbook = xlsxwriter.Workbook(target, options)
    formats = _make_formats(workbook, plans, styles, date_format)
    for plan in plans:
        worksheet = workbook.add_worksheet(plan.name)
        _render_sheet(worksheet, plan, formats, streaming)
        if plan is first_visible:
            worksheet.activate()
    workbook.close()


def _load(
    source: JsonSource | str | Mapping[str, Any],
) -> tuple[Mapping[str, Any], list[_SheetReader] | None, bool]:
    """The document as a dict; the source's sheets when it has them (to tell date-times
    from texts exactly); whether the dict is the writer's own to consume."""
    if isinstance(source, str):
        try:
            loaded = json.loads(source)
        except json.JSONDecodeError as exc:
            raise ValueError(f"the document is not JSON: {exc}") from exc
        if not isinstance(loaded, dict):
            raise ValueError("the document is not a JSON object")
        return loaded, None, True
    if isinstance(source, Mapping):
        return source, None, False
    to_json = getattr(source, "to_json", None)
    if not callable(to_json):
        raise TypeError(
            "source must be a tabrix Book or Service, a JSON document text or its dict, "
            f"not {type(source).__name__}"
        )
    document = json.loads(source.to_json())
    sheets = getattr(source, "sheets", None)
    if sheets is None:
        sheets = getattr(source, "_sheets", None)
    readers: list[_SheetReader] | None = None
    # The sheets must be the document's own; a book changed meanwhile by another thread
    # falls back to the document alone.
    names = [sheet.get("name") for sheet in document.get("sheets", ())]
    if isinstance(sheets, list) and [getattr(s, "name", None) for s in sheets] == names:
        readers = sheets
    return document, readers, True


def _field(obj: Mapping[str, Any], key: str, kind: type, where: str) -> Any:
    """``obj[key]``, which must be present and of the JSON kind ``kind``."""
    try:
        value = obj[key]
    except KeyError:
        raise ValueError(f"{where} has no {key!r}") from None
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise ValueError(f"{where}: {key!r} is not a {_KIND_NAMES[kind]}")
    return value


_KIND_NAMES: Final[dict[type, str]] = {
    list: "list",
    dict: "object",
    Mapping: "object",
    str: "text",
    int: "whole number",
    bool: "boolean",
}


def _optional_size(obj: Mapping[str, Any], key: str, where: str) -> float | None:
    """A height or width: a number, or None (null: the document's way of writing NaN and
    the infinities)."""
    value = obj.get(key)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{where}: {key!r} is not a number")
    return float(value)


def _place(row: int, col: int) -> str:
    """A cell's name for messages: its A1 reference where it has one."""
    if 1 <= row <= MAX_ROWS and 1 <= col <= MAX_COLUMNS:
        return str(xl_rowcol_to_cell(row - 1, col - 1))
    return f"at row {row}, column {col}"


def _check_row(row: int, where: str) -> None:
    if not 1 <= row <= MAX_ROWS:
        raise ValueError(f"{where}: row {row} is not a spreadsheet row (1 to {MAX_ROWS})")


def _check_column(col: int, where: str) -> None:
    if not 1 <= col <= MAX_COLUMNS:
        raise ValueError(
            f"{where}: column {col} is not a spreadsheet column (1 to {MAX_COLUMNS})"
        )


def _text_units(text: str) -> int:
    """Length in UTF-16 code units, the way spreadsheets count."""
    if len(text) <= MAX_TEXT_UNITS // 2:
        return len(text)
    return len(text.encode("utf-16-le")) // 2


def _check_sheet_name(name: str) -> None:
    if not name:
        raise ValueError("a sheet has an empty name; spreadsheet sheets need one")
    if _text_units(name) > MAX_SHEET_NAME_UNITS:
        raise ValueError(f"sheet name {name!r} is longer than {MAX_SHEET_NAME_UNITS} characters")
    if _FORBIDDEN_IN_SHEET_NAME.search(name):
        raise ValueError(f"sheet name {name!r} holds one of the characters []:*?/\\")
    if name.startswith("'") or name.endswith("'"):
        raise ValueError(f"sheet name {name!r} starts or ends with an apostrophe")


def _plan_sheet(
    raw: Mapping[str, Any],
    reader: _SheetReader | None,
    styles: Mapping[str, Mapping[str, Any]] | None,
    owned: bool,
) -> _SheetPlan:
    name = _field(raw, "name", str, "a sheet")
    _check_sheet_name(name)
    where = f"sheet {name!r}"
    state = _field(raw, "sheet_state", str, where)
    if state not in _SHEET_STATES:
        raise ValueError(
            f"{where}: sheet state {state!r} is none of " + ", ".join(map(repr, _SHEET_STATES))
        )
    plan = _SheetPlan(name, state)
    _plan_dimensions(plan, raw, where)
    _plan_merges(plan, raw.get("merge_cells", []), where)
    _plan_comments(plan, _field(raw, "comments", list, where), where)
    raw_cells = _field(raw, "cells", list, where)
    _plan_cells(plan, _drain(raw_cells) if owned else raw_cells, reader, styles, where)
    return plan


def _drain(items: list[Any]) -> Iterator[Any]:
    """The items of a list, each dropped from it once handed out: a large document is
    freed cell by cell while it is converted instead of being held beside the result."""
    items.reverse()
    while items:
        yield items.pop()


def _plan_dimension(
    raw: Mapping[str, Any],
    where: str,
    noun: str,
    num_key: str,
    size_key: str,
    check_index: Callable[[int, str], None],
    check_size: Callable[[float | None, str], None],
) -> tuple[float | None, list[tuple[int, float | None, bool]]]:
    """The default size and the sorted (0-based index, size, hidden) records of the row
    ("row", "row_num", "height") or the column ("column", "col_num", "width") dimensions."""
    dims = _field(raw, f"{noun}_dimensions", Mapping, where)
    default = _optional_size(dims, f"default_{size_key}", where)
    check_size(default, f"{where}: default {noun} {size_key}")
    members = f"{noun}s"
    records = []
    for entry in _records(dims.get(members, {}), where, members):
        index = _field(entry, num_key, int, f"{where}: a {noun} record")
        entry_where = f"{where}, {noun} {index}"
        check_index(index, f"{where}: a {noun} record")
        size = _optional_size(entry, size_key, entry_where)
        check_size(size, entry_where)
        records.append((index - 1, size, _field(entry, "hidden", bool, entry_where)))
    return default, sorted(records)


def _plan_dimensions(plan: _SheetPlan, raw: Mapping[str, Any], where: str) -> None:
    plan.default_height, plan.rows = _plan_dimension(
        raw, where, "row", "row_num", "height", _check_row, _check_height
    )
    plan.default_width, plan.columns = _plan_dimension(
        raw, where, "column", "col_num", "width", _check_column, _check_width
    )


def _records(members: object, where: str, key: str) -> Iterable[Mapping[str, Any]]:
    if not isinstance(members, Mapping):
        raise ValueError(f"{where}: {key!r} is not an object")
    for entry in members.values():
        if not isinstance(entry, Mapping):
            raise ValueError(f"{where}: an entry of {key!r} is not an object")
        yield entry


def _check_height(height: float | None, where: str) -> None:
    if height is not None and not 0.0 <= height <= MAX_ROW_HEIGHT:
        raise ValueError(f"{where}: height {height} is outside 0 to {MAX_ROW_HEIGHT:g} points")


def _check_width(width: float | None, where: str) -> None:
    if width is not None and not 0.0 <= width <= MAX_COLUMN_WIDTH:
        raise ValueError(
            f"{where}: width {width} is outside 0 to {MAX_COLUMN_WIDTH:g} characters"
        )


def _plan_merges(plan: _SheetPlan, raw_merges: object, where: str) -> None:
    if not isinstance(raw_merges, list):
        raise ValueError(f"{where}: 'merge_cells' is not a list")
    seen: set[tuple[int, int, int, int]] = set()
    owner: dict[tuple[int, int], int] = {}  # covered cell -> index of its range in plan.merges
    for merge in raw_merges:
        if (
            not isinstance(merge, Sequence)
            or len(merge) != 4
            or not all(isinstance(n, int) and not isinstance(n, bool) for n in merge)
        ):
            raise ValueError(f"{where}: merged range {merge!r} is not four whole numbers")
        start_row, end_row, start_col, end_col = merge
        merge_where = f"{where}, merged range {list(merge)}"
        for row in (start_row, end_row):
            _check_row(row, merge_where)
        for col in (start_col, end_col):
            _check_column(col, merge_where)
        r1, r2 = sorted((start_row - 1, end_row - 1))
        c1, c2 = sorted((start_col - 1, end_col - 1))
        if (r1, c1) == (r2, c2) or (r1, c1, r2, c2) in seen:
            continue
        seen.add((r1, c1, r2, c2))
        index = len(plan.merges)
        for row in range(r1, r2 + 1):
            for col in range(c1, c2 + 1):
                previous = owner.setdefault((row, col), index)
                if previous != index:
                    raise ValueError(
                        f"{where}: merged range {_area(r1, c1, r2, c2)} overlaps merged "
                        f"range {_area(*plan.merges[previous])}"
                    )
        plan.merges.append((r1, c1, r2, c2))


def _area(r1: int, c1: int, r2: int, c2: int) -> str:
    """A1 form of a 0-based range."""
    return f"{xl_rowcol_to_cell(r1, c1)}:{xl_rowcol_to_cell(r2, c2)}"


def _plan_comments(plan: _SheetPlan, raw_comments: list[Any], where: str) -> None:
    seen: set[tuple[int, int]] = set()
    for comment in raw_comments:
        if not isinstance(comment, Mapping):
            raise ValueError(f"{where}: a comment is not an object")
        row = _field(comment, "row", int, f"{where}: a comment")
        col = _field(comment, "column", int, f"{where}: a comment")
        comment_where = f"{where}, comment on {_place(row, col)}"
        _check_row(row, comment_where)
        _check_column(col, comment_where)
        text = _field(comment, "text", str, comment_where)
        author = _field(comment, "author", str, comment_where)
        if (row, col) in seen:
            raise ValueError(f"{comment_where}: the cell already has a comment; it holds one")
        seen.add((row, col))
        if _text_units(text) > MAX_TEXT_UNITS:
            raise ValueError(f"{comment_where}: longer than {MAX_TEXT_UNITS} characters")
        plan.comments.append((row - 1, col - 1, text, author))


def _plan_cells(
    plan: _SheetPlan,
    raw_cells: Iterable[Any],
    reader: _SheetReader | None,
    styles: Mapping[str, Mapping[str, Any]] | None,
    where: str,
) -> None:
    cells = plan.cells
    append = cells.append
    previous = (-1, -1)
    in_order = True
    for cell in raw_cells:
        if not isinstance(cell, Mapping):
            raise ValueError(f"{where}: a cell is not an object")
        row = cell.get("row")
        col = cell.get("column")
        if type(row) is not int or type(col) is not int:
            raise ValueError(f"{where}: a cell has no whole-number 'row' and 'column'")
        if not (1 <= row <= MAX_ROWS and 1 <= col <= MAX_COLUMNS):
            raise ValueError(
                f"{where}: the cell at row {row}, column {col} is outside the spreadsheet "
                f"grid (rows 1 to {MAX_ROWS}, columns 1 to {MAX_COLUMNS})"
            )
        style_id = cell.get("style_id")
        if styles is None:
            style_id = None
        elif style_id is not None and style_id not in styles:
            raise ValueError(f"{where}, cell {_place(row, col)}: unknown style id {style_id!r}")
        data_type = cell.get("data_type")
        kind, value, is_date = _cell_value(cell, row, col, data_type, reader, where)
        formula = cell.get("formula") if data_type == "f" else None
        if formula is not None:
            if not isinstance(formula, str):
                raise ValueError(f"{where}, cell {_place(row, col)}: the formula is not text")
            if formula in ("", "="):
                formula = None
            elif kind == _BLANK:
                value = ""
        key = (row, col)
        if key <= previous:
            in_order = False
        previous = key
        if kind != _BLANK or formula is not None or style_id is not None:
            append((row - 1, col - 1, kind, value, style_id, is_date, formula))
    if not in_order:
        cells.sort(key=lambda c: (c[0], c[1]))
        for before, after in zip(cells, cells[1:]):
            if before[:2] == after[:2]:
                raise ValueError(
                    f"{where}: the document lists cell {_place(after[0] + 1, after[1] + 1)} twice"
                )


def _cell_value(
    cell: Mapping[str, Any],
    row: int,
    col: int,
    data_type: object,
    reader: _SheetReader | None,
    where: str,
) -> tuple[int, object, bool]:
    """(kind, value to write, shown as a date) for one cell of the document."""
    value = cell.get("value")
    if value is None:
        return _BLANK, None, False
    value_type = type(value)
    if value_type is bool:
        return _BOOL, value, False
    if value_type is int:
        return _NUMBER, value, False
    if value_type is float:
        if not math.isfinite(value):
            return _BLANK, None, False
        return _NUMBER, _ExactNumber(value), False
    if value_type is not str:
        raise ValueError(f"{where}, cell {_place(row, col)}: value {value!r} is no cell value")
    if data_type == "d" or (
        reader is not None and "T" in value and _is_stale_datetime(reader, row, col, value)
    ):
        match = _DOCUMENT_DATETIME.fullmatch(value)
        if match is None:
            raise ValueError(
                f"{where}, cell {_place(row, col)}: {value!r} is not a date-time of the document"
            )
        serial = _serial(match, row, col, where)
        if serial is not None:
            return _NUMBER, serial, True
        value = value.replace("T", " ", 1)
    if _text_units(value) > MAX_TEXT_UNITS:
        raise ValueError(
            f"{where}, cell {_place(row, col)}: the text is longer than the "
            f"{MAX_TEXT_UNITS} characters a cell holds"
        )
    return _TEXT, value, False


def _is_stale_datetime(reader: _SheetReader, row: int, col: int, value: str) -> bool:
    """True when the sheet holds a date-time where the document string alone cannot tell:
    tabrix shows a date-time with a blank where the document has "T", a text unchanged."""
    if _DOCUMENT_DATETIME.fullmatch(value) is None:
        return False
    return reader.get_value_cell(row, col) == value.replace("T", " ", 1)


def _serial(match: re.Match[str], row: int, col: int, where: str) -> _ExactNumber | None:
    """The spreadsheet serial number of a document date-time, or None where a spreadsheet
    has no date for it (before 1900, after 9999, a leap second)."""
    year_text, month, day, hour, minute, second, fraction = match.groups()
    year = int(year_text)
    try:
        date = datetime.date(year, int(month), int(day)) if 1900 <= year <= 9999 else None
    except ValueError as exc:
        raise ValueError(f"{where}, cell {_place(row, col)}: {match[0]!r}: {exc}") from None
    h, m, s = int(hour), int(minute), int(second)
    if h > 23 or m > 59 or s > 60:
        raise ValueError(f"{where}, cell {_place(row, col)}: {match[0]!r} has no valid time")
    if date is None or s == 60:
        return None
    days = date.toordinal() - _SERIAL_EPOCH
    if days >= 60:
        days += 1
    nanoseconds = int((fraction or "").ljust(9, "0"))
    total = ((days * 86_400 + h * 3_600 + m * 60 + s) * 1_000_000_000) + nanoseconds
    # Integer division by an integer is correctly rounded: one rounding for the whole value.
    return _ExactNumber(total / _NANOSECONDS_PER_DAY)


def _choose_streaming(plans: list[_SheetPlan], constant_memory: bool | None) -> bool:
    """Whether to use constant_memory mode, which loses a row record on a row without cells
    (plan.cells holds only the cells that are written)."""
    if constant_memory is False:
        return False
    if constant_memory is None and all(len(p.cells) <= STREAMING_THRESHOLD for p in plans):
        return False
    for plan in plans:
        if not plan.rows:
            continue
        cell_rows = {cell[0] for cell in plan.cells}
        for row, _, _ in plan.rows:
            if row not in cell_rows:
                if constant_memory is None:
                    return False
                raise ValueError(
                    f"sheet {plan.name!r}: row {row + 1} has a height or hidden flag but no "
                    "cells; constant_memory mode cannot write such a row"
                )
    return True


def _make_formats(
    workbook: _Workbook,
    plans: list[_SheetPlan],
    styles: Mapping[str, Mapping[str, Any]] | None,
    date_format: str,
) -> dict[_FormatKey, _Format | None]:
    """One format per (style, date-time) pair that a cell uses."""
    keys = {(cell[4], cell[5]) for plan in plans for cell in plan.cells}
    formats: dict[_FormatKey, _Format | None] = {(None, False): None}
    for style_id, is_date in keys:
        if (style_id, is_date) in formats:
            continue
        properties: dict[str, Any] = {}
        if style_id is not None and styles is not None:
            properties.update(styles[style_id])
        if is_date:
            properties.setdefault("num_format", date_format)
        try:
            formats[style_id, is_date] = workbook.add_format(properties)
        except (AttributeError, TypeError, ValueError) as exc:
            raise ValueError(f"style {style_id!r}: bad format properties: {exc}") from exc
    return formats


def _needs_first_row_record(plan: _SheetPlan) -> bool:
    return (
        any(row == 0 for row, _, _, _ in plan.comments)
        and not (plan.rows and plan.rows[0][0] == 0)
        and not (plan.cells and plan.cells[0][0] == 0)
    )


def _render_sheet(
    worksheet: _Worksheet,
    plan: _SheetPlan,
    formats: dict[_FormatKey, _Format | None],
    streaming: bool,
) -> None:
    """Write one planned sheet: layout first (constant_memory mode ignores anything aimed at
    a row that it has already flushed), then the cells in row order."""
    if plan.default_height is not None:
        worksheet.set_default_row(plan.default_height)
    set_column = worksheet.set_column
    next_free = 0
    for col, width, hidden in plan.columns:
        if plan.default_width is not None and col > next_free:
            set_column(next_free, col - 1, plan.default_width, None, {})
        set_column(col, col, width, None, {"hidden": hidden})
        next_free = col + 1
    if plan.default_width is not None and next_free < MAX_COLUMNS:
        set_column(next_free, MAX_COLUMNS - 1, plan.default_width, None, {})
    for row, height, hidden in plan.rows:
        worksheet.set_row(row, height, None, {"hidden": hidden})
    if streaming and _needs_first_row_record(plan):
        # XlsxWriter's streaming writer fails on a first row that holds a comment but neither
        # cells nor a row record; a record with the default height gives it one.
        worksheet.set_row(0, None, None, {})
    for r1, c1, r2, c2 in plan.merges:
        worksheet.merge_range(r1, c1, r2, c2, None, None)
    for row, col, text, author in plan.comments:
        worksheet.write_comment(row, col, text, {"author": author})

    write_string = worksheet.write_string
    write_number = worksheet.write_number
    write_boolean = worksheet.write_boolean
    write_formula = worksheet.write_formula
    for row, col, kind, value, style_id, is_date, formula in plan.cells:
        fmt = formats[style_id, is_date]
        if formula is not None:
            write_formula(row, col, formula, fmt, value)
        elif kind == _TEXT:
            write_string(row, col, value, fmt)
        elif kind == _NUMBER:
            write_number(row, col, value, fmt)
        elif kind == _BOOL:
            write_boolean(row, col, value, fmt)
        elif fmt is not None:
            worksheet.write_blank(row, col, None, fmt)

    if plan.state == "hidden":
        worksheet.hide()
    elif plan.state == "veryHidden":
        # XlsxWriter releases without very_hidden() can only hide the sheet.
        getattr(worksheet, "very_hidden", worksheet.hide)()
