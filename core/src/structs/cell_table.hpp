#pragma once
// A sheet's cell table: an open-addressing hash map from (row, column) to cell record, one
// 8-byte slot per entry. A slot packs the record's address (48 bits) with 16 bits of the key's
// hash, so a probe compares tags in contiguous memory and reads a record only on a likely hit.
// The key is read from the record itself; records filed here never change coordinates while
// filed (shifts re-file them). The table holds one count on every record it files.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "structs/cell.hpp"
#include "utils/memory.hpp"
#include "utils/page_vector.hpp"

namespace tbx {

class CellTable {
 public:
  CellTable() = default;
  CellTable(const CellTable& other) noexcept;  // files the same records (takes a count on each)
  CellTable& operator=(const CellTable&) = delete;
  ~CellTable() { clear(); }

  size_t size() const noexcept { return size_; }
  void reserve(size_t n) noexcept;
  void clear() noexcept;

  Cell* find(uint32_t row, uint16_t col) const noexcept;

  // The record at (row, col); when there is none, `make()` creates one (count 1, adopted by the
  // table) and `inserted` is set.
  template <class Make>
  Cell* find_or_insert(uint32_t row, uint16_t col, Make&& make, bool& inserted) noexcept {
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();
    const uint64_t t = tag(row, col);
    for (size_t i = home(row, col, mask_);; i = (i + 1) & mask_) {
      const uint64_t s = slots_[i];
      if (s == 0) {
        Cell* c = make();
        slots_[i] = pack(c, t);
        ++size_;
        inserted = true;
        return c;
      }
      if ((s >> 48) == t) {
        Cell* c = unpack(s);
        if (c->row() == row && c->column() == col) {
          inserted = false;
          return c;
        }
      }
    }
  }

  // Files `c` (adopting its count); a record already filed at its coordinate is released and
  // replaced (the later one wins).
  void insert_or_replace(Cell* c) noexcept;

  // Starts loading the slots where a probe for (row, col) begins, for a caller that files many
  // records: issued some records ahead of their insert, the misses overlap.
  void prefetch_home(uint32_t row, uint16_t col) const noexcept {
    if (mask_) memory::prefetch(&slots_[home(row, col, mask_)]);
  }

  template <class F>
  void for_each(F&& f) const {
    for (uint64_t s : slots_)
      if (s) f(unpack(s));
  }

  // Empties the table without releasing the records: the caller takes over their counts.
  std::vector<Cell*> take_all() noexcept;

 private:
  static uint64_t mix(uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
  }
  // Where a key's probe starts. Eight neighbouring columns of a row share one cache line of
  // slots (a row written left to right touches a line per eight cells, not one per cell); the
  // blocks themselves are spread by a full mix, so no row or column piles up in one chain.
  static size_t home(uint32_t row, uint16_t col, size_t mask) noexcept {
    const uint64_t block = mix((uint64_t{row} << 13) | (col >> 3));
    return (static_cast<size_t>(block) & mask & ~size_t{7}) | (col & 7u);
  }
  // 16 bits of a full mix of the key, kept in the slot: a probe reads a record only when they
  // agree.
  static uint64_t tag(uint32_t row, uint16_t col) noexcept {
    return mix((uint64_t{row} << 16) | col) >> 48;
  }
  static uint64_t pack(Cell* c, uint64_t tag) noexcept {
    return (tag << 48) | reinterpret_cast<uintptr_t>(c);
  }
  static Cell* unpack(uint64_t s) noexcept {
    return reinterpret_cast<Cell*>(s & 0x0000FFFFFFFFFFFFULL);
  }
  void grow() noexcept;
  void rehash(size_t capacity) noexcept;
  void place(Cell* c) noexcept;  // into a table known not to hold its key

  PageVector<uint64_t> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace tbx
