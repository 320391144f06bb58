#include "structs/readable/functions.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/function.hpp"
#include "binding/gil.hpp"
#include "search/cell_search.hpp"
#include "structs/readable/readable_cell.hpp"
#include "structs/search_results.hpp"

namespace tbx::py {
namespace {

// The `cells` parameter: a sequence (not str) of ReadableCell objects, turned into a list of
// their records, so the search touches no Python object and is unaffected by Python code that
// changes the sequence meanwhile. The call holds a reference to every ReadableCell object, and
// each object holds its record: a plain count on the object, where a count on each record
// would be an atomic operation (a search over a million cells would spend most of its time on
// them).
struct ReadableCells {
  std::vector<Ref> items;
  std::vector<Cell*> list;
  static bool load(PyObject* o, ReadableCells& out) noexcept {
    PyTypeObject* t = ReadableCellObject::type();
    if (!t) return false;
    // The type check runs no Python code.
    return for_each_in_sequence<false>(
        o,
        [&](size_t n) {
          out.items.reserve(n);
          out.list.reserve(n);
        },
        [&](PyObject* item) {
          if (!PyObject_TypeCheck(item, t)) return raise_cannot_convert(item, "ReadableCell");
          out.items.push_back(borrow(item));
          out.list.push_back(ReadableCellObject::of(item).get());
          return true;
        });
  }
  search::CellList cells() const { return list; }
};

// Runs `op` over the cell list without the interpreter lock; found records get their counts
// before the lock is taken back.
template <class Op>
PyObject* many(const ReadableCells& cells, Op&& op) {
  std::vector<CellHandle> found = without_gil([&] { return share_all(op(cells.cells())); });
  return ReadableCellObject::wrap_list(std::move(found));
}

template <class Op>
PyObject* one(const ReadableCells& cells, Op&& op) {
  CellHandle found = without_gil([&] { return CellHandle::share(op(cells.cells())); });
  return ReadableCellObject::wrap_or_none(std::move(found));
}

PyObject* find_cell_by_coords(Row row, Col col, const ReadableCells& cells) {
  return one(cells, [&](auto l) { return search::find_cell_by_coords(row.v, col.v, l); });
}
PyObject* find_value_by_coords(Row row, Col col, const ReadableCells& cells) {
  std::optional<std::string> text =
      without_gil([&] { return search::find_value_by_coords(row.v, col.v, cells.cells()); });
  return to_py(std::move(text));
}
PyObject* find_cell_by_regex(Text regex, const ReadableCells& cells) {
  return one(cells, [&](auto l) { return search::find_cell_by_regex(regex.v, l); });
}
PyObject* find_cell_by_str(Text value, const ReadableCells& cells) {
  return one(cells, [&](auto l) { return search::find_cell_by_str(value.v, l); });
}
PyObject* find_cell_by_letter(Text letter, const ReadableCells& cells) {
  bool readable = true;
  Ref found = steal(one(cells, [&](auto l) {
    const search::LetterResult r = search::find_cell_by_letter(letter.v, l);
    readable = r.readable;
    return r.cell;
  }));
  if (readable) return found.release();
  return raise_panic("readable.find_cell_by_letter",
                     "cannot read " + quoted(letter.v) + " as an A1 reference");
}
PyObject* find_cells_by_regex(Text regex, const ReadableCells& cells) {
  return many(cells, [&](auto l) { return search::find_cells_by_regex(regex.v, l); });
}
PyObject* find_cells_by_str(Text value, const ReadableCells& cells) {
  return many(cells, [&](auto l) { return search::find_cells_by_str(value.v, l); });
}
PyObject* find_cells_for_rows_by_regex(Text regex, Col col_stop, const ReadableCells& cells) {
  return many(cells,
              [&](auto l) { return search::find_cells_for_rows_by_regex(regex.v, col_stop.v, l); });
}
PyObject* find_cells_for_cols_by_regex(Text regex, Row row_stop, const ReadableCells& cells) {
  return many(cells,
              [&](auto l) { return search::find_cells_for_cols_by_regex(regex.v, row_stop.v, l); });
}
PyObject* find_cells_multi_regex(Text before_regex, Text after_regex, const ReadableCells& cells) {
  return many(cells, [&](auto l) {
    return search::find_cells_multi_regex(before_regex.v, after_regex.v, l);
  });
}
PyObject* find_cells_between_regex(Text before_regex, Text after_regex,
                                   const ReadableCells& cells) {
  return many(cells, [&](auto l) {
    return search::find_cells_between_regex(before_regex.v, after_regex.v, l);
  });
}
PyObject* find_cells_range_rows(Row start_row, Row end_row, const ReadableCells& cells) {
  return many(cells,
              [&](auto l) { return search::find_cells_range_rows(start_row.v, end_row.v, l); });
}
PyObject* find_cells_range_cols(Col start_col, Col end_col, const ReadableCells& cells) {
  return many(cells,
              [&](auto l) { return search::find_cells_range_cols(start_col.v, end_col.v, l); });
}
PyObject* find_values_by_col_rows(Col col, const Seq<Row>& rows, const ReadableCells& cells) {
  std::vector<std::string> texts =
      without_gil([&] { return search::find_values_by_col_rows(col.v, rows.v, cells.cells()); });
  return text_list(texts);
}
PyObject* find_values_by_row_cols(Row row, const Seq<Col>& cols, const ReadableCells& cells) {
  std::vector<std::string> texts =
      without_gil([&] { return search::find_values_by_row_cols(row.v, cols.v, cells.cells()); });
  return text_list(texts);
}

PyMethodDef functions[] = {
    function<"find_cell_by_coords(row, col, cells)", &find_cell_by_coords>(),
    function<"find_value_by_coords(row, col, cells)", &find_value_by_coords>(),
    function<"find_cell_by_regex(regex, cells)", &find_cell_by_regex>(),
    function<"find_cell_by_str(value, cells)", &find_cell_by_str>(),
    function<"find_cell_by_letter(letter, cells)", &find_cell_by_letter>(),
    function<"find_cells_by_regex(regex, cells)", &find_cells_by_regex>(),
    function<"find_cells_by_str(value, cells)", &find_cells_by_str>(),
    function<"find_cells_for_rows_by_regex(regex, col_stop, cells)",
             &find_cells_for_rows_by_regex>(),
    function<"find_cells_for_cols_by_regex(regex, row_stop, cells)",
             &find_cells_for_cols_by_regex>(),
    function<"find_cells_multi_regex(before_regex, after_regex, cells)", &find_cells_multi_regex>(),
    function<"find_cells_between_regex(before_regex, after_regex, cells)",
             &find_cells_between_regex>(),
    function<"find_cells_range_rows(start_row, end_row, cells)", &find_cells_range_rows>(),
    function<"find_cells_range_cols(start_col, end_col, cells)", &find_cells_range_cols>(),
    function<"find_values_by_col_rows(col, rows, cells)", &find_values_by_col_rows>(),
    function<"find_values_by_row_cols(row, cols, cells)", &find_values_by_row_cols>(),
    {},
};

}  // namespace

PyMethodDef* readable_search_functions() { return functions; }

}  // namespace tbx::py
