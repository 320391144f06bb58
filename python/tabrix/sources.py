"""Worksheets loaded by openpyxl, as the source sheets that ``tabrix.readable.Finder`` copies.

``from_openpyxl(workbook)`` returns one ``SourceSheet`` per worksheet; its ``cells`` are plain
dicts with the keys ``row``, ``column``, ``value``, ``formula`` and ``data_type``. Each openpyxl
value becomes the text and data type that the snapshot reads back as the same kind of value:

- ``str``: the text unchanged, "s" (stays text, so '0012' is not a number);
- ``int``: ``str(v)``, "n" (an integer, or a number beyond 32 bits); an ``int`` beyond 2**53
  keeps its exact digits as text, "s", since a double would round them;
- ``float``: ``repr(v)``, the shortest text of the same double ('1.5', '1e-07', 'inf'), "n";
- ``bool``: 'TRUE' or 'FALSE', "b";
- ``datetime.datetime``: 'YYYY-MM-DD HH:MM:SS', "d"; ``datetime.date``: the same at midnight;
- ``datetime.time``: 'HH:MM:SS', "s"; ``datetime.timedelta``: '[-]H:MM:SS' with as many hours
  as it takes, "s" (both stay text: they are not points in time);
- an error value ('#DIV/0!', '#N/A', ...): the text unchanged, "e" (read as text);
- ``Decimal``, enum members and numpy scalars as the number they equal; rich text and anything
  else as ``str(v)``, "s".

Sub-second times: the snapshot reads date-times to the whole second. Rather than drop the
fraction, a date-time (or time) with microseconds keeps it in its text, written the way tabrix
writes fractions ('.250' for whole milliseconds, '.123456' otherwise). Such a cell is found by
exactly the text a date-time of that instant would show, but it reads as text, not as a
date-time. A date-time with a time zone keeps its offset ('+01:00') and reads as text too.

Formulas: openpyxl gives a formula cell either its formula (the default) or the value cached
when the file was saved (``load_workbook(..., data_only=True)``), never both. ``formula`` is the
formula text as openpyxl has it ('=SUM(A1:A3)'), ``data_type`` "f"; ``value`` is ``None`` unless
``cached_values`` is the same file loaded with ``data_only=True``, from which each formula cell
takes its cached value. The cached text is then read by the number, boolean and date rules
(the data type must stay "f"): a cached text '001' shows as '1'. Loading with
``data_only=True`` alone gives the cached values with their own types and no formulas.

Cells without a value (openpyxl's ``None``: empty or formatting-only cells, the covered parts of
a merged range) are left out in every mode, so the result does not depend on how openpyxl padded
the sheet. Chart sheets hold no cells and are not returned.
"""

from __future__ import annotations

import datetime
import decimal
from collections.abc import Iterable, Iterator
from typing import Any, TypedDict, cast

__all__ = ["SourceCell", "SourceSheet", "cell_text", "from_openpyxl"]


class SourceCell(TypedDict):
    """One cell as the snapshot reads it (dict cells are read by key)."""

    row: int
    column: int
    value: str | None
    formula: str | None
    data_type: str


class SourceSheet:
    """One worksheet as the snapshot reads it (attributes; ``merge_cells`` as 4-tuples)."""

    __slots__ = ("name", "sheet_state", "merge_cells", "cells")

    def __init__(
        self,
        name: str,
        sheet_state: str,
        merge_cells: list[tuple[int, int, int, int]] | None,
        cells: list[SourceCell],
    ) -> None:
        self.name = name
        self.sheet_state = sheet_state
        self.merge_cells = merge_cells
        self.cells = cells

    def __repr__(self) -> str:
        return f"SourceSheet({self.name!r}, cells: {len(self.cells)})"


# Integers beyond this magnitude do not survive the trip through a double.
_EXACT_INT = 2**53


def _fraction(microsecond: int) -> str:
    if not microsecond:
        return ""
    if microsecond % 1000 == 0:
        return f".{microsecond // 1000:03d}"
    return f".{microsecond:06d}"


def _datetime_text(v: datetime.datetime) -> str:
    # 'YYYY-MM-DD HH:MM:SS', then '.ffffff' when there are microseconds, then any UTC offset.
    text = v.isoformat(" ")
    if v.microsecond:
        text = text[:19] + _fraction(v.microsecond) + text[26:]
    return text


def _clock_text(v: datetime.time) -> str:
    text = v.isoformat()
    if v.microsecond:
        text = text[:8] + _fraction(v.microsecond) + text[15:]
    return text


def _duration_text(v: datetime.timedelta) -> str:
    sign = "-" if v < datetime.timedelta(0) else ""
    v = abs(v)
    seconds = v.days * 86400 + v.seconds
    hours, rest = divmod(seconds, 3600)
    return f"{sign}{hours}:{rest // 60:02d}:{rest % 60:02d}{_fraction(v.microseconds)}"


def _formula_text(v: Any) -> str:
    """The text of a formula object (array formulas carry it; data tables are rebuilt)."""
    text = getattr(v, "text", None)
    if isinstance(text, str):
        return text
    if getattr(v, "t", None) == "dataTable":
        r1, r2 = v.r1 or "", v.r2 or ""
        if v.dt2D:
            return f"=TABLE({r1},{r2})"
        return f"=TABLE({r1},)" if v.dtr else f"=TABLE(,{r1})"
    return str(v)


def cell_text(value: object) -> tuple[str, str]:
    """The ``value`` text and ``data_type`` for a (non-formula, non-None) openpyxl value."""
    # Exact type tests first: they decide the common cells at the cost of one comparison.
    t = type(value)
    if t is str:
        return cast(str, value), "s"
    if t is float:
        return repr(value), "n"
    if t is bool:
        return ("TRUE" if value else "FALSE"), "b"
    if t is int:
        number = cast(int, value)
        return str(number), ("n" if -_EXACT_INT <= number <= _EXACT_INT else "s")
    if isinstance(value, datetime.datetime):
        return _datetime_text(value), "d"
    if isinstance(value, datetime.date):
        return f"{value.isoformat()} 00:00:00", "d"
    if isinstance(value, datetime.time):
        return _clock_text(value), "s"
    if isinstance(value, datetime.timedelta):
        return _duration_text(value), "s"
    if isinstance(value, str):
        return str(value), "s"
    if isinstance(value, bool):
        return cell_text(bool(value))
    if isinstance(value, decimal.Decimal):
        return str(value), "n"
    # Other numbers (enum members, numpy scalars) as the int or float they equal.
    for convert in (int, float):
        try:
            plain: int | float = convert(cast(Any, value))
        except (TypeError, ValueError, OverflowError):
            continue
        if plain == value:
            return cell_text(plain)
    # Rich text and anything else: its plain text.
    return str(value), "s"


def _typed(value: object, code: str) -> tuple[str | None, str | None, str]:
    """(value text, formula, data_type) for one openpyxl value and its data type code."""
    if code == "f":
        return None, (value if isinstance(value, str) else _formula_text(value)), "f"
    if code == "e" and isinstance(value, str):
        return value, None, "e"
    if code == "b" and type(value) is not bool:
        return ("TRUE" if value else "FALSE"), None, "b"
    text, data_type = cell_text(value)
    return text, None, data_type


def _parser_of(ws: Any) -> Any:
    """openpyxl's own sheet parser over a read-only worksheet, or None if it is not reachable.

    Read directly, the sheet's cells come as one dict per cell (no cell objects), merged ranges
    are seen, and a wrong dimension record cannot cut rows or columns off, as it does for the
    read-only ``iter_rows``.
    """
    try:
        from openpyxl.worksheet._reader import WorkSheetParser  # type: ignore[import-untyped]

        book = ws.parent
        source = ws._get_source()
        return WorkSheetParser(
            source,
            ws._shared_strings,
            data_only=book.data_only,
            epoch=book.epoch,
            date_formats=book._date_formats,
            timedelta_formats=book._timedelta_formats,
        )
    except (ImportError, AttributeError, TypeError):
        return None


def _merge_tuples(ranges: Iterable[Any]) -> list[tuple[int, int, int, int]]:
    return sorted((r.min_row, r.max_row, r.min_col, r.max_col) for r in ranges)


def _read_only_sheet(ws: Any, pending: dict[tuple[int, int], SourceCell]) -> SourceSheet:
    parser = _parser_of(ws)
    if parser is None:
        rows = _read_only_cells(ws)
        cells = [_record(r, c, v, code, pending) for r, c, v, code in rows if v is not None]
        return SourceSheet(ws.title, ws.sheet_state, None, cells)

    from openpyxl.utils.cell import range_boundaries  # type: ignore[import-untyped]

    cells = []
    append = cells.append
    exact = _EXACT_INT
    with parser.source:
        for _index, line in parser.parse():
            for record in line:
                # The parser's own dict becomes the record: no second object per cell.
                value, code = record["value"], record["data_type"]
                t = type(value)
                if t is str and code != "f" and code != "e":
                    record["data_type"] = "s"
                elif t is float:
                    record["value"], record["data_type"] = repr(value), "n"
                elif t is int and -exact <= value <= exact:
                    record["value"], record["data_type"] = str(value), "n"
                elif value is None:
                    continue
                else:
                    record["value"], formula, record["data_type"] = _typed(value, code)
                    if formula is not None:
                        record["formula"] = formula
                        pending[record["row"], record["column"]] = record
                        append(record)
                        continue
                record["formula"] = None
                append(record)
    # The whole sheet was read, so no merge record means no merged range.
    merges = []
    if parser.merged_cells is not None:
        for merged in parser.merged_cells.mergeCell:
            min_col, min_row, max_col, max_row = range_boundaries(merged.ref)
            merges.append((min_row, max_row, min_col, max_col))
    merges.sort()
    return SourceSheet(ws.title, ws.sheet_state, merges, cells)


def _record(
    row: int, column: int, value: object, code: str, pending: dict[tuple[int, int], SourceCell]
) -> SourceCell:
    text, formula, data_type = _typed(value, code)
    record: SourceCell = {
        "row": row,
        "column": column,
        "value": text,
        "formula": formula,
        "data_type": data_type,
    }
    if formula is not None:
        pending[row, column] = record
    return record


def _normal_sheet(ws: Any, pending: dict[tuple[int, int], SourceCell]) -> SourceSheet:
    # The public iter_rows of a normal worksheet creates every cell of the used rectangle; the
    # cell table holds only the cells that exist.
    table = getattr(ws, "_cells", None)
    found: Iterable[Any] = (
        table.values()
        if isinstance(table, dict)
        else (cell for line in ws.iter_rows() for cell in line)
    )
    cells: list[SourceCell] = []
    append = cells.append
    exact = _EXACT_INT
    for cell in found:
        row, column, value, code = cell.row, cell.column, cell.value, cell.data_type
        # Text, whole and floating-point numbers are nearly every cell: decided inline.
        text: Any
        t = type(value)
        if t is str and code != "f" and code != "e":
            text, data_type = value, "s"
        elif t is float:
            text, data_type = repr(value), "n"
        elif t is int and -exact <= value <= exact:
            text, data_type = str(value), "n"
        elif value is None:
            continue
        else:
            append(_record(row, column, value, code, pending))
            continue
        append(
            {"row": row, "column": column, "value": text, "formula": None, "data_type": data_type}
        )
    merged = getattr(ws, "merged_cells", None)
    merges = _merge_tuples(merged.ranges) if merged is not None else None
    return SourceSheet(ws.title, ws.sheet_state, merges, cells)


def _fill_cached(values_ws: Any, pending: dict[tuple[int, int], SourceCell]) -> None:
    """Give each formula cell in ``pending`` the cached value of the same cell of ``values_ws``."""
    table = getattr(values_ws, "_cells", None)
    if isinstance(table, dict):
        for key, record in pending.items():
            cell = table.get(key)
            if cell is not None and cell._value is not None:
                record["value"] = cell_text(cell._value)[0]
        return
    for row, column, value, _code in _read_only_cells(values_ws):
        waiting = pending.get((row, column))
        if waiting is not None and value is not None:
            waiting["value"] = cell_text(value)[0]


def _read_only_cells(ws: Any) -> Iterator[tuple[int, int, object, str]]:
    """(row, column, value, code) of every cell of a read-only worksheet."""
    parser = _parser_of(ws)
    if parser is None:
        for line in ws.iter_rows():
            for cell in line:
                if cell.value is not None:
                    yield cell.row, cell.column, cell.value, cell.data_type
        return
    with parser.source:
        for _index, line in parser.parse():
            for record in line:
                yield record["row"], record["column"], record["value"], record["data_type"]


def _worksheets(workbook: Any, sheets: Iterable[str] | None) -> list[Any]:
    if sheets is None:
        return list(workbook.worksheets)
    if isinstance(sheets, str):
        raise TypeError("sheets must be a list of sheet names, not a str")
    chosen = []
    for name in sheets:
        ws = workbook[name]
        if not hasattr(ws, "sheet_state") or not hasattr(ws, "iter_rows"):
            raise ValueError(f"sheet {name!r} is not a worksheet")
        chosen.append(ws)
    return chosen


def from_openpyxl(
    workbook: Any,
    *,
    sheets: Iterable[str] | None = None,
    cached_values: Any = None,
) -> list[SourceSheet]:
    """One ``SourceSheet`` per worksheet of an openpyxl ``Workbook`` (normal or read-only).

    ``sheets``: names of the worksheets to take, in the order given (default: every worksheet,
    in workbook order); an unknown name raises openpyxl's ``KeyError``.
    ``cached_values``: the same file loaded with ``data_only=True``; formula cells then carry
    their cached values. Without it a formula cell's ``value`` is ``None``.

    The result is what ``tabrix.readable.Finder`` takes::

        finder = tabrix.readable.Finder(tabrix.sources.from_openpyxl(wb))
    """
    if getattr(workbook, "write_only", False):
        raise TypeError("a write-only workbook cannot be read; load the saved file instead")
    if cached_values is not None and not getattr(cached_values, "data_only", True):
        # Loaded without data_only, a formula cell holds its formula, not a cached value.
        raise ValueError("cached_values must be loaded with data_only=True")
    result = []
    for ws in _worksheets(workbook, sheets):
        pending: dict[tuple[int, int], SourceCell] = {}
        if isinstance(getattr(ws, "_cells", None), dict) or not hasattr(ws, "_get_source"):
            sheet = _normal_sheet(ws, pending)
        else:
            sheet = _read_only_sheet(ws, pending)
        if pending and cached_values is not None:
            _fill_cached(cached_values[ws.title], pending)
        result.append(sheet)
    return result
