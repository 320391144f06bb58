// Regression check: a trimmed-equality search for a text that trims to nothing, over a list that
// holds an Empty cell, compares zero bytes starting at the Empty cell's null display pointer with
// memcmp, which is undefined behaviour (memcmp's arguments must not be null, whatever the length).
// Built with -fsanitize=undefined by reliability/regress.sh; clean once the search avoids it.
#include <cstdio>
#include <vector>

#include "search/cell_search.hpp"

int main() {
  tbx::Cell* empty = tbx::Cell::create(1, 1);  // Empty: its display text is a null view
  std::vector<tbx::Cell*> list{empty};
  tbx::Cell* found = tbx::search::find_cell_by_str("  ", list);
  std::printf("find_cell_by_str(\"  \") over one Empty cell: %s\n", found ? "found" : "none");
  empty->release();
  return 0;
}
