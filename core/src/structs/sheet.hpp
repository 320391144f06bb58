#pragma once
// A worksheet: its name and state, the cell table, merged ranges, comments, and the row and
// column dimensions. Guarded by one reader-writer lock; shared by a book (or a finder) and by
// every Python object on it.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "structs/cell_table.hpp"
#include "structs/handle.hpp"
#include "structs/rwlock.hpp"
#include "utils/page_vector.hpp"

namespace tbx {

inline constexpr double kDefaultRowHeight = 20.0;
inline constexpr double kDefaultColumnWidth = 22.5;

struct MergeCell {
  uint32_t start_row, end_row;
  uint16_t start_col, end_col;
};

struct RowDimension {
  uint32_t row_num;
  double height = kDefaultRowHeight;
  bool hidden = false;
};

struct ColumnDimension {
  uint16_t col_num;
  double width = kDefaultColumnWidth;
  bool hidden = false;
};

class Comment : public Shared<Comment> {
 public:
  Comment(uint32_t row, uint16_t col, std::string_view author, std::string_view text)
      : row_(row), col_(col), author_(author), text_(text) {}
  uint32_t row() const noexcept { return row_; }  // fixed at creation
  uint16_t column() const noexcept { return col_; }
  RwLock& lock() const noexcept { return lock_; }
  // Under the lock:
  const std::string& author() const noexcept { return author_; }
  const std::string& text() const noexcept { return text_; }
  void set_author(std::string_view a) { author_.assign(a); }
  void set_text(std::string_view t) { text_.assign(t); }

 private:
  mutable RwLock lock_;
  const uint32_t row_;
  const uint16_t col_;
  std::string author_, text_;
};

// Cells sorted by row, then column; borrowed pointers, valid while the sheet is read-locked
// (hold it only under the sheet's lock: it may be the sheet's own list).
using SortedCells = std::shared_ptr<const std::span<Cell* const>>;

class Sheet : public Shared<Sheet> {
 public:
  Sheet(std::string_view name, std::string_view state) : name_(name), state_(state) {}

  RwLock& lock() const noexcept { return lock_; }

  // --- Whole operations: each takes the sheet's lock itself. ---
  std::string name() const;
  void set_name(std::string_view name);
  std::string state() const;
  void set_state(std::string_view state);
  size_t cell_count() const;

  // The record at (row, col), created when absent. With a text its value is set from the text
  // (the formula is cleared); without one an existing record is left exactly as it is, and a new
  // one is Empty with data type "s".
  CellHandle cell(uint32_t row, uint16_t col, std::optional<std::string_view> text);
  CellHandle find_cell(uint32_t row, uint16_t col) const;  // null when there is none
  uint32_t max_row() const;
  uint16_t max_column() const;
  std::vector<CellHandle> cells() const;  // sorted by row, then column
  void delete_rows(uint32_t idx, uint32_t amount);
  void delete_cols(uint16_t idx, uint16_t amount);

  void add_merge_cells(const MergeCell& m);
  std::vector<MergeCell> merge_cells() const;
  void add_comment(uint32_t row, uint16_t col, std::string_view text, std::string_view author);
  std::vector<Handle<Comment>> comments() const;
  void set_height_row(uint32_t row, double v);
  void set_hidden_row(uint32_t row, bool v);
  void set_width_column(uint16_t col, double v);
  void set_hidden_column(uint16_t col, bool v);
  double height_of_row(uint32_t row) const;
  bool hidden_row(uint32_t row) const;
  double width_of_column(uint16_t col) const;
  bool hidden_column(uint16_t col) const;

  // A copy of the whole record (cells and comments shared with this sheet), under its lock.
  Handle<Sheet> copy() const;

  // --- Under the lock, held by the caller (shared at least). ---
  const CellTable& table_locked() const noexcept { return table_; }
  CellTable& table_locked() noexcept { return table_; }
  SortedCells sorted_locked() const;
  const std::string& name_locked() const noexcept { return name_; }
  const std::string& state_locked() const noexcept { return state_; }
  void set_name_locked(std::string_view n) { name_.assign(n); }
  const std::vector<MergeCell>& merges_locked() const noexcept { return merges_; }
  std::vector<MergeCell>& merges_locked() noexcept { return merges_; }
  const std::map<uint32_t, RowDimension>& rows_locked() const noexcept { return rows_; }
  const std::map<uint16_t, ColumnDimension>& columns_locked() const noexcept { return cols_; }
  double default_height() const noexcept { return default_height_; }
  double default_width() const noexcept { return default_width_; }
  const std::vector<Handle<Comment>>& comments_locked() const noexcept { return comments_; }
  void invalidate_sorted_locked() noexcept;

 private:
  Sheet(const Sheet& src);  // the caller holds src's lock

  mutable RwLock lock_;
  std::string name_, state_;
  std::vector<MergeCell> merges_;
  CellTable table_;
  std::map<uint32_t, RowDimension> rows_;
  std::map<uint16_t, ColumnDimension> cols_;
  double default_height_ = kDefaultRowHeight;
  double default_width_ = kDefaultColumnWidth;
  std::vector<Handle<Comment>> comments_;

  // The sorted cell list, kept while the cell table is unchanged.
  mutable std::mutex sorted_mu_;
  mutable SortedCells sorted_;

  // Reports are written row by row: while every new cell comes after the previous one in
  // row-major order, the cells in order of creation are the sorted list, and sorting costs
  // nothing. The first cell out of order (or any deletion) drops this record for good.
  void note_inserted(Cell* c);
  void forget_order() noexcept;
  PageVector<Cell*> order_;
  mutable std::span<Cell* const> order_view_;  // the cache's view of order_
  uint64_t last_key_ = 0;
  bool in_order_ = true;
};

using SheetHandle = Handle<Sheet>;

// Sorts cells by row, then column (coordinates are unique within one table).
void sort_cells(std::vector<Cell*>& cells);

}  // namespace tbx
