#pragma once
// The cell searches shared by every surface (write-side sheets, snapshot sheets and plain cell
// lists): each runs over a cell list, whose order is the search order, on the worker pool.
//
// The caller keeps the listed records alive and unchanged for the call: a sheet-level search
// holds the sheet's read lock, and no cell of the list is written meanwhile (snapshot cells are
// never written; write-side cells are written only by Python code, which cannot run while the
// searching thread holds the interpreter lock). So cells are read without taking their locks.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "structs/cell.hpp"
#include "structs/cell_table.hpp"

namespace tbx::search {

using CellList = std::span<Cell* const>;
using Cells = std::vector<Cell*>;

// Single results: the first qualifying cell of the list, or null.
Cell* find_cell_by_coords(uint32_t row, uint16_t col, CellList list);
Cell* find_cell_by_regex(std::string_view pattern, CellList list);  // contains the literal text
Cell* find_cell_by_str(std::string_view value, CellList list);      // trimmed equality

// The A1 reference read, then the first cell at its coordinates. `readable` is false (and no
// search is made) when the reference does not read.
struct LetterResult {
  bool readable;
  Cell* cell;
};
LetterResult find_cell_by_letter(std::string_view reference, CellList list);

// List results, in list order.
Cells find_cells_by_regex(std::string_view pattern, CellList list);
Cells find_cells_by_str(std::string_view value, CellList list);
Cells find_cells_for_rows_by_regex(std::string_view pattern, uint16_t col_stop, CellList list);
Cells find_cells_for_cols_by_regex(std::string_view pattern, uint32_t row_stop, CellList list);
Cells find_cells_multi_regex(std::string_view before, std::string_view after, CellList list);
Cells find_cells_between_regex(std::string_view before, std::string_view after, CellList list);
Cells find_cells_range_rows(uint32_t start, uint32_t end, CellList list);
Cells find_cells_range_cols(uint16_t start, uint16_t end, CellList list);
std::vector<std::string> find_values_by_col_rows(uint16_t col, std::span<const uint32_t> rows,
                                                 CellList list);
std::vector<std::string> find_values_by_row_cols(uint32_t row, std::span<const uint16_t> cols,
                                                 CellList list);

// The display text of the first cell at (row, col) in the list.
std::optional<std::string> find_value_by_coords(uint32_t row, uint16_t col, CellList list);

// The cells of a table within the bounds (all inclusive; absent bounds: rows 1..1048576,
// columns 1..16384), sorted by row, then column.
struct RangeBounds {
  std::optional<uint32_t> start_row, end_row;
  std::optional<uint16_t> start_col, end_col;
};
Cells get_cells_by_range(const CellTable& table, const RangeBounds& bounds);

// The display text of a cell, as a new string.
std::string display_string(const Cell& c);

}  // namespace tbx::search
