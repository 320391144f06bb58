#pragma once
// The search members that Sheet and ReadableSheet share, written once over the sheet's class
// (`SheetObj`, whose payload is a SheetHandle), the class of the cells it hands out (`CellObj`)
// and whether the engine work runs without the interpreter lock (`Unlocked`). Arguments are
// converted first; the sheet is read-locked while the search runs and until every found record
// has its own count; Python objects are made after.
#include <mutex>
#include <shared_mutex>
#include <string>

#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/params.hpp"
#include "search/cell_search.hpp"
#include "structs/search_results.hpp"
#include "structs/sheet.hpp"

namespace tbx::py {

template <class SheetObj, class CellObj, bool Unlocked>
struct SheetSearches {
  // Runs `op` under the sheet's read lock (and without the interpreter lock when Unlocked).
  template <class Op>
  static auto engine(SheetObj& s, Op&& op) {
    Sheet& sh = *s.p;
    if constexpr (Unlocked) {
      ReleaseGil unlocked;
      std::shared_lock l(sh.lock());
      return op(sh);
    } else {
      std::shared_lock l(sh.lock());
      return op(sh);
    }
  }

  template <class Op>
  static PyObject* many(SheetObj& s, Op&& op) {
    return CellObj::wrap_list(engine(s, [&](Sheet& sh) {
      SortedCells sorted = sh.sorted_locked();
      return share_all(op(search::CellList(*sorted)));
    }));
  }

  template <class Op>
  static PyObject* one(SheetObj& s, Op&& op) {
    return CellObj::wrap_or_none(engine(s, [&](Sheet& sh) {
      SortedCells sorted = sh.sorted_locked();
      return CellHandle::share(op(search::CellList(*sorted)));
    }));
  }

  static PyObject* find_cell_by_regex(SheetObj& s, Text regex) {
    return one(s, [&](auto l) { return search::find_cell_by_regex(regex.v, l); });
  }
  static PyObject* find_cell_by_str(SheetObj& s, Text value) {
    return one(s, [&](auto l) { return search::find_cell_by_str(value.v, l); });
  }
  static PyObject* find_cell_by_letter(SheetObj& s, Text letter) {
    bool readable = true;
    Ref found = steal(one(s, [&](auto l) {
      const search::LetterResult r = search::find_cell_by_letter(letter.v, l);
      readable = r.readable;
      return r.cell;
    }));
    if (readable) return found.release();
    return raise_panic(std::string(SheetObj::kClassName) + ".find_cell_by_letter",
                       "cannot read " + quoted(letter.v) + " as an A1 reference");
  }
  static PyObject* find_cells_by_regex(SheetObj& s, Text regex) {
    return many(s, [&](auto l) { return search::find_cells_by_regex(regex.v, l); });
  }
  static PyObject* find_cells_by_str(SheetObj& s, Text value) {
    return many(s, [&](auto l) { return search::find_cells_by_str(value.v, l); });
  }
  static PyObject* find_cells_for_rows_by_regex(SheetObj& s, Text regex, Col col_stop) {
    return many(s, [&](auto l) {
      return search::find_cells_for_rows_by_regex(regex.v, col_stop.v, l);
    });
  }
  static PyObject* find_cells_for_cols_by_regex(SheetObj& s, Text regex, Row row_stop) {
    return many(s, [&](auto l) {
      return search::find_cells_for_cols_by_regex(regex.v, row_stop.v, l);
    });
  }
  static PyObject* find_cells_multi_regex(SheetObj& s, Text before_regex, Text after_regex) {
    return many(s, [&](auto l) {
      return search::find_cells_multi_regex(before_regex.v, after_regex.v, l);
    });
  }
  static PyObject* find_cells_between_regex(SheetObj& s, Text before_regex, Text after_regex) {
    return many(s, [&](auto l) {
      return search::find_cells_between_regex(before_regex.v, after_regex.v, l);
    });
  }
  static PyObject* find_cells_range_rows(SheetObj& s, Row start_row, Row end_row) {
    return many(s, [&](auto l) { return search::find_cells_range_rows(start_row.v, end_row.v, l); });
  }
  static PyObject* find_cells_range_cols(SheetObj& s, Col start_col, Col end_col) {
    return many(s, [&](auto l) { return search::find_cells_range_cols(start_col.v, end_col.v, l); });
  }
  static PyObject* find_values_by_col_rows(SheetObj& s, Col col, const Seq<Row>& rows) {
    std::vector<std::string> texts = engine(s, [&](Sheet& sh) {
      SortedCells sorted = sh.sorted_locked();
      return search::find_values_by_col_rows(col.v, rows.v, *sorted);
    });
    return text_list(texts);
  }
  static PyObject* find_values_by_row_cols(SheetObj& s, Row row, const Seq<Col>& cols) {
    std::vector<std::string> texts = engine(s, [&](Sheet& sh) {
      SortedCells sorted = sh.sorted_locked();
      return search::find_values_by_row_cols(row.v, cols.v, *sorted);
    });
    return text_list(texts);
  }
  // The cell filed under (row, col) in the table.
  static PyObject* find_cell_by_coords(SheetObj& s, Row row, Col col) {
    return CellObj::wrap_or_none(engine(s, [&](Sheet& sh) {
      return CellHandle::share(sh.table_locked().find(row.v, col.v));
    }));
  }
  static PyObject* find_value_by_coords(SheetObj& s, Row row, Col col) {
    std::optional<std::string> text = engine(s, [&](Sheet& sh) -> std::optional<std::string> {
      const Cell* c = sh.table_locked().find(row.v, col.v);
      if (!c) return std::nullopt;
      SharedGuard g(c->lock());
      return search::display_string(*c);
    });
    return to_py(std::move(text));
  }
  static PyObject* get_cells_by_range(SheetObj& s, Optional<Row> start_row, Optional<Row> end_row,
                                      Optional<Col> start_col, Optional<Col> end_col) {
    return CellObj::wrap_list(engine(s, [&](Sheet& sh) {
      return share_all(search::get_cells_by_range(
          sh.table_locked(), {start_row.v, end_row.v, start_col.v, end_col.v}));
    }));
  }
};

// Attributes and lookups that keep the interpreter lock, shared by both sheet classes.
template <class SheetObj, class CellObj>
struct SheetReads {
  static PyObject* name(SheetObj& s) {
    std::shared_lock l(s.p->lock());
    return to_py(std::string_view(s.p->name_locked()));
  }
  static PyObject* sheet_state(SheetObj& s) {
    std::shared_lock l(s.p->lock());
    return to_py(std::string_view(s.p->state_locked()));
  }
  static uint32_t max_row(SheetObj& s) { return s.p->max_row(); }
  static uint16_t max_column(SheetObj& s) { return s.p->max_column(); }
  static PyObject* cells(SheetObj& s) {
    return CellObj::wrap_list(s.p->cells());
  }
  static PyObject* merge_cells(SheetObj& s) {
    return list_of(s.p->merge_cells(), [](const MergeCell& m) {
      return Py_BuildValue("(kkII)", static_cast<unsigned long>(m.start_row),
                           static_cast<unsigned long>(m.end_row), unsigned{m.start_col},
                           unsigned{m.end_col});
    });
  }
  static PyObject* get_value_cell(SheetObj& s, Row row, Col col) {
    Sheet& sh = *s.p;
    std::shared_lock l(sh.lock());
    const Cell* c = sh.table_locked().find(row.v, col.v);
    if (!c) return PyUnicode_FromStringAndSize(nullptr, 0);
    SharedGuard g(c->lock());
    char buf[kMaxNumberText];
    return to_py(c->display(buf));
  }
  // "<Class> (<name>) cells: <count>"
  static PyObject* repr(PyObject* self) {
    Sheet& sh = *reinterpret_cast<SheetObj*>(self)->p;
    std::shared_lock l(sh.lock());
    Ref name = steal(to_py(std::string_view(sh.name_locked())));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("%s (%U) cells: %zu", SheetObj::kClassName, name.get(),
                                sh.table_locked().size());
  }
};

}  // namespace tbx::py
