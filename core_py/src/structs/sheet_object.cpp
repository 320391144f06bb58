#include "structs/sheet_object.hpp"

#include "binding/errors.hpp"
#include "binding/function.hpp"
#include "search/cell_search.hpp"
#include "structs/cell_object.hpp"
#include "structs/comment_object.hpp"
#include "structs/search_results.hpp"

namespace tbx::py {

PyObject* wrap_sheet(SheetHandle h) noexcept {
  if (!h) Py_RETURN_NONE;
  return SheetObject::wrap(std::move(h));
}

namespace {

Sheet& rec(SheetObject& s) { return *s.p; }

template <class T, class Wrap>
PyObject* list_of(std::vector<T>&& items, Wrap wrap) {
  Ref out = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* o = wrap(std::move(items[i]));
    if (!o) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), o);
  }
  return out.release();
}

PyObject* get_name(SheetObject& s) { return to_py(rec(s).name()); }
void set_name(SheetObject& s, Text v) { rec(s).set_name(v.v); }
PyObject* get_state(SheetObject& s) { return to_py(rec(s).state()); }
uint32_t get_max_row(SheetObject& s) { return rec(s).max_row(); }
uint16_t get_max_column(SheetObject& s) { return rec(s).max_column(); }
PyObject* get_cells(SheetObject& s) {
  return list_of(rec(s).cells(), [](CellHandle h) { return CellObject::wrap(std::move(h)); });
}
PyObject* get_merge_cells(SheetObject& s) {
  return list_of(rec(s).merge_cells(), [](const MergeCell& m) {
    return Py_BuildValue("(kkII)", static_cast<unsigned long>(m.start_row),
                         static_cast<unsigned long>(m.end_row), unsigned{m.start_col},
                         unsigned{m.end_col});
  });
}
PyObject* get_comments(SheetObject& s) {
  return list_of(rec(s).comments(),
                 [](Handle<Comment> h) { return CommentObject::wrap(std::move(h)); });
}

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
PyObject* get_value_cell(SheetObject& s, Row row, Col col) {
  Sheet& sh = rec(s);
  std::shared_lock l(sh.lock());
  const Cell* c = sh.table_locked().find(row.v, col.v);
  if (!c) return PyUnicode_FromStringAndSize(nullptr, 0);
  SharedGuard g(c->lock());
  char buf[kMaxNumberText];
  return to_py(c->display(buf));
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

// --- Searches: over the sorted cell list, under the sheet's read lock, keeping the interpreter
// lock (the found records get their counts before the sheet is released).

template <class Op>
auto on_sorted(SheetObject& s, Op&& op) {
  Sheet& sh = rec(s);
  std::shared_lock l(sh.lock());
  SortedCells sorted = sh.sorted_locked();
  return op(search::CellList(*sorted));
}

template <class Op>
PyObject* many(SheetObject& s, Op&& op) {
  return cell_list<CellObject>(
      on_sorted(s, [&](search::CellList l) { return share_all(op(l)); }));
}

template <class Op>
PyObject* one(SheetObject& s, Op&& op) {
  return one_cell<CellObject>(
      on_sorted(s, [&](search::CellList l) { return CellHandle::share(op(l)); }));
}

PyObject* find_cell_by_regex(SheetObject& s, Text regex) {
  return one(s, [&](auto l) { return search::find_cell_by_regex(regex.v, l); });
}
PyObject* find_cell_by_str(SheetObject& s, Text value) {
  return one(s, [&](auto l) { return search::find_cell_by_str(value.v, l); });
}
PyObject* find_cell_by_letter(SheetObject& s, Text letter) {
  bool readable = true;
  PyObject* found = one(s, [&](auto l) {
    search::LetterResult r = search::find_cell_by_letter(letter.v, l);
    readable = r.readable;
    return r.cell;
  });
  if (readable) return found;
  Py_XDECREF(found);
  return raise_panic("Sheet.find_cell_by_letter",
                     "cannot read '" + std::string(letter.v) + "' as an A1 reference");
}
PyObject* find_cells_by_regex(SheetObject& s, Text regex) {
  return many(s, [&](auto l) { return search::find_cells_by_regex(regex.v, l); });
}
PyObject* find_cells_by_str(SheetObject& s, Text value) {
  return many(s, [&](auto l) { return search::find_cells_by_str(value.v, l); });
}
PyObject* find_cells_for_rows_by_regex(SheetObject& s, Text regex, Col col_stop) {
  return many(s, [&](auto l) { return search::find_cells_for_rows_by_regex(regex.v, col_stop.v, l); });
}
PyObject* find_cells_for_cols_by_regex(SheetObject& s, Text regex, Row row_stop) {
  return many(s, [&](auto l) { return search::find_cells_for_cols_by_regex(regex.v, row_stop.v, l); });
}
PyObject* find_cells_multi_regex(SheetObject& s, Text before_regex, Text after_regex) {
  return many(s, [&](auto l) {
    return search::find_cells_multi_regex(before_regex.v, after_regex.v, l);
  });
}
PyObject* find_cells_between_regex(SheetObject& s, Text before_regex, Text after_regex) {
  return many(s, [&](auto l) {
    return search::find_cells_between_regex(before_regex.v, after_regex.v, l);
  });
}
PyObject* find_cells_range_rows(SheetObject& s, Row start_row, Row end_row) {
  return many(s, [&](auto l) { return search::find_cells_range_rows(start_row.v, end_row.v, l); });
}
PyObject* find_cells_range_cols(SheetObject& s, Col start_col, Col end_col) {
  return many(s, [&](auto l) { return search::find_cells_range_cols(start_col.v, end_col.v, l); });
}
PyObject* find_value_by_coords(SheetObject& s, Row row, Col col) {
  Sheet& sh = rec(s);
  std::shared_lock l(sh.lock());
  const Cell* c = sh.table_locked().find(row.v, col.v);
  if (!c) Py_RETURN_NONE;
  SharedGuard g(c->lock());
  char buf[kMaxNumberText];
  return to_py(c->display(buf));
}
PyObject* get_cells_by_range(SheetObject& s, Optional<Row> start_row, Optional<Row> end_row,
                             Optional<Col> start_col, Optional<Col> end_col) {
  Sheet& sh = rec(s);
  std::vector<CellHandle> found;
  {
    std::shared_lock l(sh.lock());
    found = share_all(search::get_cells_by_range(
        sh.table_locked(), {start_row.v, end_row.v, start_col.v, end_col.v}));
  }
  return cell_list<CellObject>(std::move(found));
}

PyObject* repr(PyObject* self) {
  Sheet& sh = *SheetObject::of(self);
  std::shared_lock l(sh.lock());
  Ref name = steal(to_py(std::string_view(sh.name_locked())));
  if (!name) return nullptr;
  return PyUnicode_FromFormat("Sheet (%U) cells: %zu", name.get(), sh.table_locked().size());
}

PyMethodDef methods[] = {
    method<"set_sheet_state($self, state)", &set_sheet_state>(),
    method<"add_merge_cells($self, start_row, end_row, start_col, end_col)", &add_merge_cells>(),
    method<"add_comment($self, row, col, text, author)", &add_comment>(),
    method<"cell($self, row, col, value=None)", &cell>(),
    method<"get_value_cell($self, row, col)", &get_value_cell>(),
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
           &get_cells_by_range>(),
    method<"find_cell_by_regex($self, regex)", &find_cell_by_regex>(),
    method<"find_cell_by_str($self, value)", &find_cell_by_str>(),
    method<"find_cell_by_letter($self, letter)", &find_cell_by_letter>(),
    method<"find_cells_by_regex($self, regex)", &find_cells_by_regex>(),
    method<"find_cells_by_str($self, value)", &find_cells_by_str>(),
    method<"find_cells_for_rows_by_regex($self, regex, col_stop)", &find_cells_for_rows_by_regex>(),
    method<"find_cells_for_cols_by_regex($self, regex, row_stop)", &find_cells_for_cols_by_regex>(),
    method<"find_cells_multi_regex($self, before_regex, after_regex)", &find_cells_multi_regex>(),
    method<"find_cells_between_regex($self, before_regex, after_regex)",
           &find_cells_between_regex>(),
    method<"find_cells_range_rows($self, start_row, end_row)", &find_cells_range_rows>(),
    method<"find_cells_range_cols($self, start_col, end_col)", &find_cells_range_cols>(),
    method<"find_value_by_coords($self, row, col)", &find_value_by_coords>(),
    {},
};

PyGetSetDef getsets[] = {
    property<"name", &get_name, &set_name, "name">(),
    property<"sheet_state", &get_state>(),
    property<"max_row", &get_max_row>(),
    property<"max_column", &get_max_column>(),
    property<"cells", &get_cells>(),
    property<"merge_cells", &get_merge_cells>(),
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
      .repr = repr,
  };
  return s;
}

}  // namespace tbx::py
