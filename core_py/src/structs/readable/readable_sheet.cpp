#include "structs/readable/readable_sheet.hpp"

#include "binding/function.hpp"
#include "structs/readable/readable_cell.hpp"
#include "structs/sheet_searches.hpp"

namespace tbx::py {
namespace {

using Search = SheetSearches<ReadableSheetObject, ReadableCellObject, true>;
using Reads = SheetReads<ReadableSheetObject, ReadableCellObject>;

PyMethodDef methods[] = {
    method<"get_value_cell($self, row, col)", &Reads::get_value_cell>(),
    method<"get_cells_by_range($self, start_row=None, end_row=None, start_col=None, end_col=None)",
           &Search::get_cells_by_range>(),
    method<"find_cell_by_regex($self, regex)", &Search::find_cell_by_regex>(),
    method<"find_cell_by_str($self, value)", &Search::find_cell_by_str>(),
    method<"find_cell_by_coords($self, row, col)", &Search::find_cell_by_coords>(),
    method<"find_cell_by_letter($self, letter)", &Search::find_cell_by_letter>(),
    method<"find_cells_by_regex($self, regex)", &Search::find_cells_by_regex>(),
    method<"find_cells_by_str($self, value)", &Search::find_cells_by_str>(),
    method<"find_cells_for_rows_by_regex($self, regex, col_stop)",
           &Search::find_cells_for_rows_by_regex>(),
    method<"find_cells_for_cols_by_regex($self, regex, row_stop)",
           &Search::find_cells_for_cols_by_regex>(),
    method<"find_cells_multi_regex($self, before_regex, after_regex)",
           &Search::find_cells_multi_regex>(),
    method<"find_cells_between_regex($self, before_regex, after_regex)",
           &Search::find_cells_between_regex>(),
    method<"find_cells_range_rows($self, start_row, end_row)", &Search::find_cells_range_rows>(),
    method<"find_cells_range_cols($self, start_col, end_col)", &Search::find_cells_range_cols>(),
    method<"find_values_by_col_rows($self, col, rows)", &Search::find_values_by_col_rows>(),
    method<"find_values_by_row_cols($self, row, cols)", &Search::find_values_by_row_cols>(),
    method<"find_value_by_coords($self, row, col)", &Search::find_value_by_coords>(),
    {},
};

PyGetSetDef getsets[] = {
    property<"name", &Reads::name>(),
    property<"sheet_state", &Reads::sheet_state>(),
    property<"max_row", &Reads::max_row>(),
    property<"max_column", &Reads::max_column>(),
    property<"cells", &Reads::cells>(),
    property<"merge_cells", &Reads::merge_cells>(),
    {},
};

}  // namespace

const ClassSpec& ReadableSheetObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.readable.ReadableSheet",
      .basicsize = sizeof(ReadableSheetObject),
      .methods = methods,
      .getsets = getsets,
      .dealloc = dealloc,
      .repr = Reads::repr,
  };
  return s;
}

}  // namespace tbx::py
