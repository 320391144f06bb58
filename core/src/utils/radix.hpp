#pragma once
// Least-significant-digit radix sorts for the engine's two big orderings: cell records by
// address and (key, record) pairs by a packed (row, column) key. Stable, linear in the count,
// and blind to the contents of the records.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tbx::radix {

struct Keyed {
  uint64_t key;
  void* item;
};

// Sorts `v` ascending by value.
void sort_u64(std::vector<uint64_t>& v);

// Sorts `v` ascending by key, keeping the order of equal keys.
void sort_keyed(std::vector<Keyed>& v);

}  // namespace tbx::radix
