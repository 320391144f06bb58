"""Every public member of tabrix, used as report code uses it; checked with mypy --strict."""

import datetime
from types import SimpleNamespace
from typing import Any

import tabrix
import tabrix.readable
from tabrix import readable


class Report(tabrix.Service):
    def summary_0(self, sheets: list[Any], /, **kwargs: Any) -> str:
        return f"{len(sheets)} sheets"

    def _fmt_0(self, **kwargs: Any) -> str:
        return "fmt"


def write_side() -> str:
    version: str = tabrix.version() + tabrix.__version__
    letters: str = tabrix.column_number_to_letter(28) + tabrix.get_letter_coordinate(10, 27)
    height: float = tabrix.DEFAULT_ROW_HEIGHT + tabrix.DEFAULT_COLUMN_WIDTH
    book = tabrix.Book()
    sheet = book.add_sheet("Data", sheet_state="visible")
    sheet.name = "Report"
    cell = sheet.cell(1, 1, "42")
    cell.value = "43"
    cell.formula = "SUM(A2:A3)"
    cell.style = "bold"
    cell.hidden_value = "id"
    cell.set_value_number(1.5)
    cell.set_value_integer(2)
    cell.set_value_bool(True)
    cell.set_value_datetime(datetime.datetime(2024, 1, 2))
    flags = (cell.is_formula, cell.is_value_bool, cell.is_value_numeric, cell.is_value_integer,
             cell.is_value_datetime, cell.is_value_empty)
    where: tuple[int, int, str, str] = (cell.row, cell.column, cell.letter, cell.data_type)
    texts: list[str | None] = [cell.formula, cell.style, cell.hidden_value]
    sheet.set_sheet_state("hidden")
    sheet.add_merge_cells(1, 2, 1, 3)
    sheet.add_comment(1, 1, "text", "author")
    comment = sheet.comments[0]
    comment.text = comment.author + comment.text
    at: tuple[int, int] = comment.coordinate
    sheet.delete_rows(5, 1)
    sheet.delete_cols(5, 1)
    sheet.set_height_row(1, 30.0)
    sheet.set_hidden_row(2, True)
    sheet.set_width_column(1, 12.0)
    sheet.set_hidden_column(2, False)
    dims = (sheet.get_height_by_row(1), sheet.get_hidden_by_row(2), sheet.get_width_by_column(1),
            sheet.get_hidden_by_column(2))
    found: list[tabrix.Cell] = (
        sheet.get_cells_by_range(start_row=1)
        + sheet.find_cells_by_regex("4")
        + sheet.find_cells_by_str("43")
        + sheet.find_cells_for_rows_by_regex("4", 2)
        + sheet.find_cells_for_cols_by_regex("4", 2)
        + sheet.find_cells_multi_regex("a", "b")
        + sheet.find_cells_between_regex("a", "b")
        + sheet.find_cells_range_rows(1, 2)
        + sheet.find_cells_range_cols(1, 2)
        + sheet.cells
    )
    single: list[tabrix.Cell | None] = [
        sheet.find_cell_by_regex("4"), sheet.find_cell_by_str("4"), sheet.find_cell_by_letter("A1"),
    ]
    value: str | None = sheet.find_value_by_coords(1, 1)
    copy = book.copy_sheet(sheet)
    first: tabrix.Sheet | None = book.get_sheet_index(0) or book.get_sheet_name("Report")
    shape = (sheet.max_row, sheet.max_column, sheet.merge_cells, sheet.sheet_state, sheet.get_value_cell(1, 1))
    document: dict[str, Any] = book.to_dict()
    service = Report(conn_db=None)
    service._add_sheet("S")
    service._copy_sheet(copy)
    more = (service._conn_db, service._sheets, service._get_sheet_index(0), service._get_sheet_name("S"),
            service.summary_0([]), service._fmt_0(x=1), service.to_dict())
    return repr((version, letters, height, flags, where, texts, at, dims, found, single, value,
                 first, shape, document, more, book.sheets)) + book.to_json() + service.to_json()


def read_side() -> int:
    source = SimpleNamespace(
        name="Data", sheet_state="visible", merge_cells=None,
        cells=[SimpleNamespace(row=1, column=1, value="Total", formula=None, data_type="s")],
    )
    finder = readable.Finder([source])
    other: readable.Finder = tabrix.readable.create_finder([source])
    sheets: list[readable.ReadableSheet] = (
        finder.sheets + finder.get_sheets_with_names(["Data"]) + finder.get_sheets_without_names(("x",))
    )
    picked = [finder.get_sheet_index(0), finder.find_sheet_by_name("Data"), other.find_sheet_by_regex("^D")]
    sheet = sheets[0]
    cells: list[readable.ReadableCell] = (
        sheet.cells
        + sheet.get_cells_by_range(end_row=5)
        + sheet.find_cells_by_regex("T")
        + sheet.find_cells_by_str("Total")
        + sheet.find_cells_for_rows_by_regex("T", 3)
        + sheet.find_cells_for_cols_by_regex("T", 3)
        + sheet.find_cells_multi_regex("a", "b")
        + sheet.find_cells_between_regex("a", "b")
        + sheet.find_cells_range_rows(1, 2)
        + sheet.find_cells_range_cols(1, 2)
        + readable.find_cells_by_regex("T", sheet.cells)
        + readable.find_cells_by_str("Total", sheet.cells)
        + readable.find_cells_for_rows_by_regex("T", 2, sheet.cells)
        + readable.find_cells_for_cols_by_regex("T", 2, sheet.cells)
        + readable.find_cells_multi_regex("a", "b", sheet.cells)
        + readable.find_cells_between_regex("a", "b", sheet.cells)
        + readable.find_cells_range_rows(1, 2, sheet.cells)
        + readable.find_cells_range_cols(1, 2, sheet.cells)
    )
    singles = [
        sheet.find_cell_by_regex("T"), sheet.find_cell_by_str("Total"), sheet.find_cell_by_coords(1, 1),
        sheet.find_cell_by_letter("A1"), readable.find_cell_by_coords(1, 1, cells),
        readable.find_cell_by_regex("T", cells), readable.find_cell_by_str("T", cells),
        readable.find_cell_by_letter("A1", cells),
    ]
    texts: list[str | None] = [
        sheet.find_value_by_coords(1, 1), readable.find_value_by_coords(1, 1, cells), sheet.get_value_cell(1, 1),
    ]
    values: list[str] = (
        sheet.find_values_by_col_rows(1, [1]) + sheet.find_values_by_row_cols(1, (1,))
        + readable.find_values_by_col_rows(1, [1], cells) + readable.find_values_by_row_cols(1, [1], cells)
    )
    cell = cells[0]
    seen = (cell.row, cell.column, cell.letter, cell.value, cell.formula, cell.style, cell.data_type,
            cell.is_formula, cell.is_value_bool, cell.is_value_numeric, cell.is_value_integer,
            cell.is_value_datetime, cell.is_value_empty, sheet.name, sheet.sheet_state, sheet.max_row,
            sheet.max_column, sheet.merge_cells)
    return len(repr((picked, singles, texts, values, seen)))


if __name__ == "__main__":
    print(len(write_side()), read_side())
