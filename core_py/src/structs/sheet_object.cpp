#include "structs/sheet_object.hpp"

#include "binding/errors.hpp"
#include "binding/function.hpp"
#include "search/cell_search.hpp"
#include "structs/cell_object.hpp"
#include "structs/comment_object.hpp"
#include "structs/search_results.hpp"
#include "structs/sheet_searches.hpp"

namespace tbx::py {

namespace {

Sheet& rec(SheetObject& s) { return *s.p; }

void set_name(SheetObject& s, Text v) { rec(s).set_name(v.v); }
PyObject* get_comments(SheetObject& s) { return CommentObject::wrap_list(rec(s).comments()); }

void set_sheet_state(SheetObject& s, Text state) { rec(s).set_state(state.v); }
void add_merge_cells(SheetObject& s, Row start_row, Row end_row, Col start_col, Col end_col) {
  rec(s).add_merge_cells({start_row.v, end_row.v, start_col.v, end_col.v});
}
void add_comment(SheetObject& s, Row row, Col col, Text text, Text author) {
  rec(s).add_comment(row.v, col.v, text.v, author.v);
}
PyObject* cell(SheetObject& s, Row row, Col col, Optional<Text> value) {
  return CellObject::wrap(rec(s).cell(row.v, col.v, value.v));
}
void delete_cols(SheetObject& s, Col idx, Col amount) { rec(s).delete_cols(idx.v, amount.v); }
void delete_rows(SheetObject& s, Row idx, Row amount) { rec(s).delete_rows(idx.v, amount.v); }
void set_height_row(SheetObject& s, Row row_num, Number val) {
  rec(s).set_height_row(row_num.v, val.v);
}
void set_hidden_row(SheetObject& s, Row row_num, StrictBool val) {
  rec(s).set_hidden_row(row_num.v, val.v);
}
void set_width_column(SheetObject& s, Col col_num, Number val) {
  rec(s).set_width_column(col_num.v, val.v);
}
void set_hidden_column(SheetObject& s, Col col_num, StrictBool val) {
  rec(s).set_hidden_column(col_num.v, val.v);
}
double get_height_by_row(SheetObject& s, Row row_num) { return rec(s).height_of_row(row_num.v); }
bool get_hidden_by_row(SheetObject& s, Row row_num) { return rec(s).hidden_row(row_num.v); }
double get_width_by_column(SheetObject& s, Col col_num) {
  return rec(s).width_of_column(col_num.v);
}
bool get_hidden_by_column(SheetObject& s, Col col_num) { return rec(s).hidden_column(col_num.v); }

using Search = SheetSearches<SheetObject, CellObject, false>;
using Reads = SheetReads<SheetObject, CellObject>;

PyMethodDef methods[] = {
    method<"set_sheet_state($self, state)", &set_sheet_state>(),
    method<"add_merge_cells($self, start_row, end_row, start_col, end_col)", &add_merge_cells>(),
    method<"add_comment($self, row, col, text, author)", &add_comment>(),
    method<"cell($self, row, col, value=None)", &cell>(),
    method<"get_value_cell($self, row, col)", &Reads::get_value_cell>(),
    method<"delete_cols($self, idx, amount)", &delete_cols>(),
    method<"delete_rows($self, idx, amount)", &delete_rows>(),
    method<"set_height_row($self, row_num, val)", &set_height_row>(),
    method<"set_hidden_row($self, row_num, val)", &set_hidden_row>(),
    method<"set_width_column($self, col_num, val)", &set_width_column>(),
    method<"set_hidden_column($self, col_num, val)", &set_hidden_column>(),
    method<"get_height_by_row($self, row_num)", &get_height_by_row>(),
    method<"get_hidden_by_row($self, row_num)", &get_hidden_by_row>(),
    method<"get_width_by_column($self, col_num)", &get_width_by_column>(),
    method<"get_hidden_by_column($self, col_num)", &get_hidden_by_column>(),
    method<"get_cells_by_range($self, start_row=None, end_row=None, start_col=None, end_col=None)",
           &Search::get_cells_by_range>(),
    method<"find_cell_by_regex($self, regex)", &Search::find_cell_by_regex>(),
    method<"find_cell_by_str($self, value)", &Search::find_cell_by_str>(),
    method<"find_cell_by_letter($self, letter)", &Search::find_cell_by_letter>(),
    method<"find_cells_by_regex($self, regex)", &Search::find_cells_by_regex>(),
    method<"find_cells_by_str($self, value)", &Search::find_cells_by_str>(),
    method<"find_cells_for_rows_by_regex($self, regex, col_stop)", &Search::find_cells_for_rows_by_regex>(),
    method<"find_cells_for_cols_by_regex($self, regex, row_stop)", &Search::find_cells_for_cols_by_regex>(),
    method<"find_cells_multi_regex($self, before_regex, after_regex)", &Search::find_cells_multi_regex>(),
    method<"find_cells_between_regex($self, before_regex, after_regex)",
           &Search::find_cells_between_regex>(),
    method<"find_cells_range_rows($self, start_row, end_row)", &Search::find_cells_range_rows>(),
    method<"find_cells_range_cols($self, start_col, end_col)", &Search::find_cells_range_cols>(),
    method<"find_value_by_coords($self, row, col)", &Search::find_value_by_coords>(),
    {},
};

PyGetSetDef getsets[] = {
    property<"name", &Reads::name, &set_name, "name">(),
    property<"sheet_state", &Reads::sheet_state>(),
    property<"max_row", &Reads::max_row>(),
    property<"max_column", &Reads::max_column>(),
    property<"cells", &Reads::cells>(),
    property<"merge_cells", &Reads::merge_cells>(),
    property<"comments", &get_comments>(),
    {},
};

}  // namespace

const ClassSpec& SheetObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Sheet",
      .basicsize = sizeof(SheetObject),
      .extra_flags = 0,
      .methods = methods,
      .getsets = getsets,
      .tp_new = nullptr,
      .doc = nullptr,
      .dealloc = dealloc,
      .repr = Reads::repr,
  };
  return s;
}

}  // namespace tbx::py
