#include "structs/sheet.hpp"

#include <algorithm>

#include "utils/radix.hpp"

namespace tbx {

using ReadLock = std::shared_lock<RwLock>;
using WriteLock = std::unique_lock<RwLock>;

Sheet::Sheet(const Sheet& src)
    : Shared<Sheet>(),
      name_(src.name_),
      state_(src.state_),
      merges_(src.merges_),
      table_(src.table_),
      rows_(src.rows_),
      cols_(src.cols_),
      default_height_(src.default_height_),
      default_width_(src.default_width_),
      comments_(src.comments_),
      order_(src.order_),
      last_key_(src.last_key_),
      in_order_(src.in_order_) {}

std::string Sheet::name() const {
  ReadLock l(lock_);
  return name_;
}

void Sheet::set_name(std::string_view name) {
  WriteLock l(lock_);
  name_.assign(name);
}

std::string Sheet::state() const {
  ReadLock l(lock_);
  return state_;
}

void Sheet::set_state(std::string_view state) {
  WriteLock l(lock_);
  state_.assign(state);
}

size_t Sheet::cell_count() const {
  ReadLock l(lock_);
  return table_.size();
}

void Sheet::invalidate_sorted_locked() noexcept {
  std::lock_guard g(sorted_mu_);
  sorted_.reset();
}

CellHandle Sheet::cell(uint32_t row, uint16_t col, std::optional<std::string_view> text) {
  WriteLock l(lock_);
  bool inserted = false;
  Cell* c = table_.find_or_insert(
      row, col,
      [&] {
        Cell* fresh = text ? Cell::create_from_text(row, col, *text) : Cell::create(row, col);
        if (!text) fresh->set_data_type(DataType::S);
        return fresh;
      },
      inserted);
  if (inserted) {
    note_inserted(c);
    if (sorted_) invalidate_sorted_locked();
  } else if (text) {
    UniqueGuard g(c->lock());
    c->set_from_text(*text);
  }
  return CellHandle::share(c);
}

CellHandle Sheet::find_cell(uint32_t row, uint16_t col) const {
  ReadLock l(lock_);
  return CellHandle::share(table_.find(row, col));
}

uint32_t Sheet::max_row() const {
  ReadLock l(lock_);
  uint32_t m = 0;
  table_.for_each([&](Cell* c) { m = std::max(m, c->row()); });
  return m;
}

uint16_t Sheet::max_column() const {
  ReadLock l(lock_);
  uint16_t m = 0;
  table_.for_each([&](Cell* c) { m = std::max(m, c->column()); });
  return m;
}

void sort_cells(std::vector<Cell*>& cells) {
  const size_t n = cells.size();
  if (n < 2) return;
  // Records are allocated as they are written, and reports are written row by row, so address
  // order is usually row-major already. Ordering by address reads no record; reading the keys
  // in that order then walks memory forwards. Only when they are out of order is a second
  // sort, by key, needed.
  static_assert(sizeof(Cell*) == sizeof(uint64_t));
  std::vector<uint64_t> addresses(n);
  for (size_t i = 0; i < n; ++i) addresses[i] = reinterpret_cast<uint64_t>(cells[i]);
  radix::sort_u64(addresses);
  std::vector<radix::Keyed> keyed(n);
  for (size_t i = 0; i < n; ++i) {
    auto* c = reinterpret_cast<Cell*>(addresses[i]);
    keyed[i] = {(uint64_t{c->row()} << 16) | c->column(), c};
  }
  radix::sort_keyed(keyed);  // returns at once when already in order
  for (size_t i = 0; i < n; ++i) cells[i] = static_cast<Cell*>(keyed[i].item);
}

void Sheet::note_inserted(Cell* c) {
  if (!in_order_) return;
  const uint64_t key = (uint64_t{c->row()} << 16) | c->column();
  if (order_.empty() || key > last_key_) {
    order_.push_back(c);
    last_key_ = key;
  } else {
    forget_order();
  }
}

void Sheet::forget_order() noexcept {
  in_order_ = false;
  order_.clear();
}

SortedCells Sheet::sorted_locked() const {
  std::lock_guard g(sorted_mu_);
  if (!sorted_) {
    // The creation order serves when it covers the whole table (a snapshot fills its table
    // directly and keeps no such record).
    if (in_order_ && order_.size() == table_.size()) {
      // The list itself, not a copy: it changes only under the sheet's exclusive lock, which
      // also drops this cache, and every user of the cache holds the sheet's lock.
      order_view_ = std::span<Cell* const>(order_.data(), order_.size());
      sorted_ = SortedCells(SortedCells(), &order_view_);
    } else {
      struct Owned {
        std::vector<Cell*> cells;
        std::span<Cell* const> view;
      };
      auto owned = std::make_shared<Owned>();
      owned->cells.reserve(table_.size());
      table_.for_each([&](Cell* c) { owned->cells.push_back(c); });
      sort_cells(owned->cells);
      owned->view = owned->cells;
      sorted_ = SortedCells(owned, &owned->view);
    }
  }
  return sorted_;
}

std::vector<CellHandle> Sheet::cells() const {
  ReadLock l(lock_);
  SortedCells s = sorted_locked();
  std::vector<CellHandle> out;
  out.reserve(s->size());
  for (Cell* c : *s) out.push_back(CellHandle::share(c));
  return out;
}

namespace {

// Removes the band [first, last] of one coordinate and moves what lies behind it back by
// `amount`. A record that another sheet's table also files is not moved in place: this sheet
// gets its own copy at the new coordinate, so the other table stays true to its records.
template <class GetK, class Move>
void delete_band(CellTable& table, uint64_t first, uint64_t last, uint64_t amount, GetK key,
                 Move moved_to) {
  std::vector<Cell*> all = table.take_all();
  table.reserve(all.size());
  for (Cell* c : all) {
    const uint64_t k = key(c);
    if (k >= first && k <= last) {
      c->release();
      continue;
    }
    if (k > first && amount > 0) {
      bool shared;
      {
        SharedGuard g(c->lock());  // the mark shares a byte with the data type code
        shared = c->filed_twice();
      }
      if (shared) {
        Cell* copy;
        {
          SharedGuard g(c->lock());
          copy = moved_to(c, k - amount, true);
        }
        c->release();
        c = copy;
      } else {
        UniqueGuard g(c->lock());
        moved_to(c, k - amount, false);
      }
    }
    table.insert_or_replace(c);
  }
}

}  // namespace

void Sheet::delete_rows(uint32_t idx, uint32_t amount) {
  if (amount == 0) return;
  WriteLock l(lock_);
  forget_order();
  const uint64_t last = std::min<uint64_t>(uint64_t{idx} + amount - 1, UINT32_MAX);
  delete_band(
      table_, idx, last, amount, [](Cell* c) { return uint64_t{c->row()}; },
      [](Cell* c, uint64_t r, bool copy) {
        if (copy) return c->clone_at(static_cast<uint32_t>(r), c->column());
        c->move_to(static_cast<uint32_t>(r), c->column());
        return c;
      });
  invalidate_sorted_locked();
}

void Sheet::delete_cols(uint16_t idx, uint16_t amount) {
  if (amount == 0) return;
  WriteLock l(lock_);
  forget_order();
  const uint64_t last = std::min<uint64_t>(uint64_t{idx} + amount - 1, UINT16_MAX);
  delete_band(
      table_, idx, last, amount, [](Cell* c) { return uint64_t{c->column()}; },
      [](Cell* c, uint64_t k, bool copy) {
        if (copy) return c->clone_at(c->row(), static_cast<uint16_t>(k));
        c->move_to(c->row(), static_cast<uint16_t>(k));
        return c;
      });
  invalidate_sorted_locked();
}

void Sheet::add_merge_cells(const MergeCell& m) {
  WriteLock l(lock_);
  merges_.push_back(m);
}

std::vector<MergeCell> Sheet::merge_cells() const {
  ReadLock l(lock_);
  return merges_;
}

void Sheet::add_comment(uint32_t row, uint16_t col, std::string_view text,
                        std::string_view author) {
  auto c = Handle<Comment>::adopt(new Comment(row, col, author, text));
  WriteLock l(lock_);
  comments_.push_back(std::move(c));
}

std::vector<Handle<Comment>> Sheet::comments() const {
  ReadLock l(lock_);
  return comments_;
}

void Sheet::set_height_row(uint32_t row, double v) {
  WriteLock l(lock_);
  rows_.try_emplace(row, RowDimension{row}).first->second.height = v;
}

void Sheet::set_hidden_row(uint32_t row, bool v) {
  WriteLock l(lock_);
  rows_.try_emplace(row, RowDimension{row}).first->second.hidden = v;
}

void Sheet::set_width_column(uint16_t col, double v) {
  WriteLock l(lock_);
  cols_.try_emplace(col, ColumnDimension{col}).first->second.width = v;
}

void Sheet::set_hidden_column(uint16_t col, bool v) {
  WriteLock l(lock_);
  cols_.try_emplace(col, ColumnDimension{col}).first->second.hidden = v;
}

double Sheet::height_of_row(uint32_t row) const {
  ReadLock l(lock_);
  auto it = rows_.find(row);
  return it == rows_.end() ? default_height_ : it->second.height;
}

bool Sheet::hidden_row(uint32_t row) const {
  ReadLock l(lock_);
  auto it = rows_.find(row);
  return it != rows_.end() && it->second.hidden;
}

double Sheet::width_of_column(uint16_t col) const {
  ReadLock l(lock_);
  auto it = cols_.find(col);
  return it == cols_.end() ? default_width_ : it->second.width;
}

bool Sheet::hidden_column(uint16_t col) const {
  ReadLock l(lock_);
  auto it = cols_.find(col);
  return it != cols_.end() && it->second.hidden;
}

Handle<Sheet> Sheet::copy() const {
  // Exclusive, though the sheet's own fields are only read: marking the records writes them, and
  // readers that take the sheet's lock but not each cell's (serialisation) must not overlap it.
  WriteLock l(lock_);
  auto h = Handle<Sheet>::adopt(new Sheet(*this));
  // Both tables now file the same records: none of them may move in place any more.
  table_.for_each([](Cell* c) {
    UniqueGuard g(c->lock());
    c->mark_filed_twice();
  });
  return h;
}

}  // namespace tbx
