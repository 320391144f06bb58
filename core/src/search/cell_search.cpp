#include "search/cell_search.hpp"

#include <algorithm>
#include <cstring>

#include "search/pool.hpp"
#include "structs/sheet.hpp"
#include "utils/coords.hpp"
#include "utils/unicode.hpp"

namespace tbx::search {
namespace {

// Rough time to examine one cell, for the pool's inline-or-hand-off decision.
constexpr pool::Cost kScanCost{.ns_per_item = 6.0};
constexpr pool::Cost kCoordCost{.ns_per_item = 2.0};

// The characters a display text of each non-text kind can hold. A wanted text with a character
// outside a kind's set cannot occur in (nor equal) the display text of a cell of that kind, so
// such cells are rejected without formatting their value.
constexpr std::string_view kNumberChars = "0123456789.-NaninfNaN";
constexpr std::string_view kIntegerChars = "0123456789-";
constexpr std::string_view kBoolChars = "truefals";
constexpr std::string_view kDateTimeChars = "0123456789-: .+";

bool within(std::string_view text, std::string_view alphabet) {
  for (char c : text)
    if (alphabet.find(c) == std::string_view::npos) return false;
  return true;
}

// Which value kinds can possibly show `needle` (as a part, or trimmed, as the whole).
struct KindFilter {
  bool number, integer, boolean, datetime;
  explicit KindFilter(std::string_view needle)
      : number(within(needle, kNumberChars)),
        integer(within(needle, kIntegerChars)),
        boolean(within(needle, kBoolChars)),
        datetime(within(needle, kDateTimeChars)) {}
  bool may_show(Kind k) const {
    switch (k) {
      case Kind::Empty:
      case Kind::Text: return true;
      case Kind::Number: return number;
      case Kind::Integer: return integer;
      case Kind::Bool: return boolean;
      case Kind::DateTime: return datetime;
    }
    return true;
  }
};

// The contains test of a literal pattern: a plain substring search of its own text.
struct Contains {
  std::string_view needle;
  KindFilter kinds;
  explicit Contains(std::string_view p) : needle(p), kinds(p) {}

  bool text_has(std::string_view hay) const {
    const size_t n = needle.size();
    if (n > hay.size()) return false;
    if (n == 0) return true;
    // Report texts are short: find the first byte with memchr and compare the rest in place,
    // which beats a general substring algorithm's set-up on every cell.
    const char first = needle[0];
    const char* p = hay.data();
    const char* const last = p + (hay.size() - n);
    while (p <= last) {
      p = static_cast<const char*>(std::memchr(p, first, static_cast<size_t>(last - p) + 1));
      if (!p) return false;
      // The second byte is checked in place first: in mixed-case text the first byte alone
      // matches often, and most such candidates end there without a call.
      if ((n == 1 || p[1] == needle[1]) && std::memcmp(p + 1, needle.data() + 1, n - 1) == 0)
        return true;
      ++p;
    }
    return false;
  }
  bool operator()(const Cell& c) const {
    const Kind k = c.kind();
    if (k == Kind::Text) return text_has(c.text());
    if (!kinds.may_show(k)) return false;
    char buf[kMaxNumberText];
    return text_has(c.display(buf));
  }
};

// Trimmed equality with a wanted value (trimmed once per call).
struct TrimmedEquals {
  std::string_view want;
  KindFilter kinds;
  explicit TrimmedEquals(std::string_view v)
      : want(unicode::trim_white_space(v)), kinds(want) {}

  bool same(std::string_view shown) const {
    // Cheap rejects before trimming: a text shorter than the wanted one cannot match.
    if (shown.size() < want.size()) return false;
    std::string_view t = shown.size() == want.size() && !want.empty() &&
                                 static_cast<unsigned char>(shown.front()) > 0x20 &&
                                 static_cast<unsigned char>(shown.back()) > 0x20 &&
                                 static_cast<unsigned char>(shown.front()) < 0x80 &&
                                 static_cast<unsigned char>(shown.back()) < 0x80
                             ? shown
                             : unicode::trim_white_space(shown);
    return t.size() == want.size() && (want.empty() || std::memcmp(t.data(), want.data(), want.size()) == 0);
  }
  bool operator()(const Cell& c) const {
    const Kind k = c.kind();
    if (k == Kind::Text) return same(c.text());
    if (!kinds.may_show(k)) return false;
    char buf[kMaxNumberText];
    return same(c.display(buf));
  }
};

template <class Pred>
Cell* first(CellList list, Pred&& pred, pool::Cost cost = kScanCost) {
  const size_t i = pool::find_first(list.size(), [&](size_t k) { return pred(*list[k]); }, cost);
  return i < list.size() ? list[i] : nullptr;
}

template <class Pred>
Cells all(CellList list, Pred&& pred, pool::Cost cost = kScanCost) {
  return pool::filter_map(
      list.size(),
      [&](size_t k) -> std::optional<Cell*> {
        if (pred(*list[k])) return list[k];
        return std::nullopt;
      },
      cost);
}

// The pairing pass: openers and closers of before/after pairs, front to back.
template <class Emit>
void pairs(std::string_view before, std::string_view after, CellList list, Emit&& emit) {
  const Contains opens(before), closes(after);
  bool open = false;
  for (Cell* c : list) {
    if (!open && opens(*c)) {
      open = true;
      emit(c);
    } else if (open && closes(*c)) {
      open = false;
      emit(c);
    }
  }
}

template <class Key, class Other>
std::vector<std::string> values_along(Key key, Other other, CellList list) {
  return pool::filter_map(
      list.size(),
      [&](size_t k) -> std::optional<std::string> {
        const Cell& c = *list[k];
        if (!key(c) || !other(c)) return std::nullopt;
        return display_string(c);
      },
      kCoordCost);
}

}  // namespace

std::string display_string(const Cell& c) {
  char buf[kMaxNumberText];
  return std::string(c.display(buf));
}

Cell* find_cell_by_coords(uint32_t row, uint16_t col, CellList list) {
  return first(
      list, [&](const Cell& c) { return c.row() == row && c.column() == col; }, kCoordCost);
}

std::optional<std::string> find_value_by_coords(uint32_t row, uint16_t col, CellList list) {
  Cell* c = find_cell_by_coords(row, col, list);
  if (!c) return std::nullopt;
  return display_string(*c);
}

Cell* find_cell_by_regex(std::string_view pattern, CellList list) {
  return first(list, Contains(pattern));
}

Cell* find_cell_by_str(std::string_view value, CellList list) {
  return first(list, TrimmedEquals(value));
}

LetterResult find_cell_by_letter(std::string_view reference, CellList list) {
  const std::optional<Coordinate> at = read_a1(reference);
  if (!at) return {false, nullptr};
  return {true, find_cell_by_coords(at->row, at->column, list)};
}

Cells find_cells_by_regex(std::string_view pattern, CellList list) {
  return all(list, Contains(pattern));
}

Cells find_cells_by_str(std::string_view value, CellList list) {
  return all(list, TrimmedEquals(value));
}

Cells find_cells_for_rows_by_regex(std::string_view pattern, uint16_t col_stop, CellList list) {
  const Contains test(pattern);
  return all(list, [&](const Cell& c) { return c.column() <= col_stop && test(c); });
}

Cells find_cells_for_cols_by_regex(std::string_view pattern, uint32_t row_stop, CellList list) {
  const Contains test(pattern);
  return all(list, [&](const Cell& c) { return c.row() <= row_stop && test(c); });
}

Cells find_cells_multi_regex(std::string_view before, std::string_view after, CellList list) {
  Cells out;
  pairs(before, after, list, [&](Cell* c) { out.push_back(c); });
  return out;
}

Cells find_cells_between_regex(std::string_view before, std::string_view after, CellList list) {
  // Only the first pair spans the band: stop the pass once it is known.
  std::vector<uint32_t> rows;
  const Contains opens(before), closes(after);
  bool open = false;
  for (Cell* c : list) {
    if (!open && opens(*c)) {
      open = true;
      rows.push_back(c->row());
    } else if (open && closes(*c)) {
      open = false;
      rows.push_back(c->row());
      break;
    }
  }
  if (rows.empty()) return {};
  const uint32_t from = rows[0];
  const uint32_t to = rows.size() >= 2 ? rows[1] : UINT32_MAX;
  return all(list, [&](const Cell& c) { return c.row() >= from && c.row() <= to; }, kCoordCost);
}

Cells find_cells_range_rows(uint32_t start, uint32_t end, CellList list) {
  if (start > end) return {};
  return all(list, [&](const Cell& c) { return c.row() >= start && c.row() <= end; }, kCoordCost);
}

Cells find_cells_range_cols(uint16_t start, uint16_t end, CellList list) {
  if (start > end) return {};
  return all(
      list, [&](const Cell& c) { return c.column() >= start && c.column() <= end; }, kCoordCost);
}

std::vector<std::string> find_values_by_col_rows(uint16_t col, std::span<const uint32_t> rows,
                                                 CellList list) {
  return values_along([&](const Cell& c) { return c.column() == col; },
                      [&](const Cell& c) {
                        return std::find(rows.begin(), rows.end(), c.row()) != rows.end();
                      },
                      list);
}

std::vector<std::string> find_values_by_row_cols(uint32_t row, std::span<const uint16_t> cols,
                                                 CellList list) {
  return values_along([&](const Cell& c) { return c.row() == row; },
                      [&](const Cell& c) {
                        return std::find(cols.begin(), cols.end(), c.column()) != cols.end();
                      },
                      list);
}

Cells get_cells_by_range(const CellTable& table, const RangeBounds& b) {
  const uint32_t r0 = b.start_row.value_or(1), r1 = b.end_row.value_or(1048576);
  const uint16_t c0 = b.start_col.value_or(1), c1 = b.end_col.value_or(16384);
  Cells out;
  table.for_each([&](Cell* c) {
    if (c->row() >= r0 && c->row() <= r1 && c->column() >= c0 && c->column() <= c1)
      out.push_back(c);
  });
  sort_cells(out);
  return out;
}

}  // namespace tbx::search
