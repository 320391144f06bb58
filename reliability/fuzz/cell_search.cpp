// Fuzz target: the cell searches (tbx::search::*) against a plain reference.
//
// The fuzz bytes give a list of cells (texts read by the value-from-text rule, numbers of any bit
// pattern, empty cells, at chosen coordinates) and the wanted texts. Every search must return
// what one front-to-back pass over the cells' display texts returns: "contains" is a substring
// test of the display text, "str" is equality after trimming Unicode white space from both. This
// checks the searches' shortcuts (rejecting value kinds by the characters their display texts can
// hold, comparing untrimmed texts first, scanning with memchr) against the definition.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "search/cell_search.hpp"
#include "utils/unicode.hpp"

using namespace tbx;

namespace {

std::string display(const Cell& c) { return search::display_string(c); }

std::vector<Cell*> ref_all(const std::vector<Cell*>& cells, auto pred) {
  std::vector<Cell*> out;
  for (Cell* c : cells)
    if (pred(*c)) out.push_back(c);
  return out;
}

Cell* ref_first(const std::vector<Cell*>& cells, auto pred) {
  for (Cell* c : cells)
    if (pred(*c)) return c;
  return nullptr;
}

std::string needle_text(FuzzedDataProvider& in) {
  // Short wanted texts drawn from what display texts hold, or anything.
  static const char* const kPieces[] = {"1", "0", ".", "-", "e", "N", "a", "n", "i", "f", "t",
                                        "r", "u", "s", "l", " ", ":", "+", "\xc2\xa0", "\t",
                                        "NaN", "inf", "true", "false", "2024", "T", "E", "\xe3\x80\x80"};
  std::string s;
  if (in.ConsumeBool()) return in.ConsumeRandomLengthString(12);
  const int n = in.ConsumeIntegralInRange(0, 5);
  for (int k = 0; k < n; ++k) s += kPieces[in.ConsumeIntegralInRange<size_t>(0, std::size(kPieces) - 1)];
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<Cell*> cells;
  const int n = in.ConsumeIntegralInRange(0, 40);
  for (int k = 0; k < n; ++k) {
    const uint32_t row = in.ConsumeIntegralInRange<uint32_t>(1, 6);
    const uint16_t col = in.ConsumeIntegralInRange<uint16_t>(1, 6);
    Cell* c = Cell::create(row, col);
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0: break;  // Empty
      case 1: {
        uint64_t bits = in.ConsumeIntegral<uint64_t>();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        c->set_number(v);
        break;
      }
      case 2: c->set_integer(in.ConsumeIntegral<int32_t>()); break;
      default: c->set_from_text(in.ConsumeRandomLengthString(24)); break;
    }
    cells.push_back(c);
  }
  const std::string want = needle_text(in);
  const std::string other = needle_text(in);
  const std::string_view trimmed_want = unicode::trim_white_space(want);
  auto contains = [&](const Cell& c) { return display(c).find(want) != std::string::npos; };
  auto equals = [&](const Cell& c) {
    return unicode::trim_white_space(display(c)) == trimmed_want;
  };
  const std::string shown = "wanted '" + want + "' over " + std::to_string(cells.size()) + " cells";

  FUZZ_CHECK(search::find_cells_by_regex(want, cells) == ref_all(cells, contains), shown, "by_regex");
  FUZZ_CHECK(search::find_cell_by_regex(want, cells) == ref_first(cells, contains), shown, "first by_regex");
  FUZZ_CHECK(search::find_cells_by_str(want, cells) == ref_all(cells, equals), shown, "by_str");
  FUZZ_CHECK(search::find_cell_by_str(want, cells) == ref_first(cells, equals), shown, "first by_str");

  // Pairs: an opener containing `want`, then a closer containing `other`.
  std::vector<Cell*> pairs;
  bool open = false;
  for (Cell* c : cells) {
    const std::string d = display(*c);
    if (!open && d.find(want) != std::string::npos) {
      open = true;
      pairs.push_back(c);
    } else if (open && d.find(other) != std::string::npos) {
      open = false;
      pairs.push_back(c);
    }
  }
  FUZZ_CHECK(search::find_cells_multi_regex(want, other, cells) == pairs, shown, "multi_regex");

  for (Cell* c : cells) c->release();
  return 0;
}
