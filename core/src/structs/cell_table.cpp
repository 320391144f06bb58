#include "structs/cell_table.hpp"

#include <bit>

#include "utils/memory.hpp"
#include "utils/radix.hpp"

namespace tbx {

CellTable::CellTable(const CellTable& other) noexcept
    : slots_(other.slots_), mask_(other.mask_), size_(other.size_) {
  for_each([](Cell* c) { c->retain(); });
}

void CellTable::clear() noexcept {
  if (size_ >= 4096) {
    // Released records return to the cell allocator's free list, which hands out the most
    // recently freed first. Releasing in descending address order makes the next table's
    // records come out in ascending order again, so a new sheet is laid out as contiguously as
    // the first one was; in hash order they would be scattered, and every later fill, sort and
    // scan would pay for it in cache misses.
    std::vector<uint64_t> order;
    order.reserve(size_);
    for_each([&](Cell* c) { order.push_back(reinterpret_cast<uint64_t>(c)); });
    radix::sort_u64(order);
    for (auto it = order.rbegin(); it != order.rend(); ++it) reinterpret_cast<Cell*>(*it)->release();
  } else {
    for_each([](Cell* c) { c->release(); });
  }
  slots_.clear();
  mask_ = 0;
  size_ = 0;
}

std::vector<Cell*> CellTable::take_all() noexcept {
  std::vector<Cell*> out;
  out.reserve(size_);
  for_each([&](Cell* c) { out.push_back(c); });
  slots_.clear();
  mask_ = 0;
  size_ = 0;
  return out;
}

void CellTable::reserve(size_t n) noexcept {
  // Keep the load at or below three quarters.
  size_t want = std::bit_ceil(std::max<size_t>(16, (n * 4 + 2) / 3));
  if (want > slots_.size()) rehash(want);
}

void CellTable::grow() noexcept { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

void CellTable::rehash(size_t capacity) noexcept {
  PageVector<uint64_t> old = std::move(slots_);
  slots_.assign_zeroed(capacity);
  mask_ = capacity - 1;
  // Placing a record reads its coordinate: fetch records a little ahead of their turn, so the
  // misses overlap instead of coming one after another.
  constexpr size_t kAhead = 16;
  const size_t n = old.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n && old[i + kAhead]) __builtin_prefetch(unpack(old[i + kAhead]));
    if (old[i]) place(unpack(old[i]));
  }
  old.discard();  // an outgrown generation: not kept for reuse
}

void CellTable::place(Cell* c) noexcept {
  size_t i = home(c->row(), c->column(), mask_);
  while (slots_[i]) i = (i + 1) & mask_;
  slots_[i] = pack(c, tag(c->row(), c->column()));
}

Cell* CellTable::find(uint32_t row, uint16_t col) const noexcept {
  if (size_ == 0) return nullptr;
  const uint64_t t = tag(row, col);
  for (size_t i = home(row, col, mask_);; i = (i + 1) & mask_) {
    const uint64_t s = slots_[i];
    if (s == 0) return nullptr;
    if ((s >> 48) == t) {
      Cell* c = unpack(s);
      if (c->row() == row && c->column() == col) return c;
    }
  }
}

void CellTable::insert_or_replace(Cell* c) noexcept {
  const uint32_t row = c->row();
  const uint16_t col = c->column();
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
  const uint64_t t = tag(row, col);
  for (size_t i = home(row, col, mask_);; i = (i + 1) & mask_) {
    const uint64_t s = slots_[i];
    if (s == 0) {
      slots_[i] = pack(c, t);
      ++size_;
      return;
    }
    if ((s >> 48) == t) {
      Cell* old = unpack(s);
      if (old->row() == row && old->column() == col) {
        slots_[i] = pack(c, t);
        old->release();
        return;
      }
    }
  }
}

}  // namespace tbx
