// Fuzz target: reading A1 references (tbx::read_a1).
//
// For ASCII input the result must equal a straightforward reference: upper-case, then the
// regular expression ^(\$)?([A-Z]{1,3})(\$)?([0-9]+) (what follows is ignored), the letters as a
// bijective base-26 number and the digits as a number that fits 32 bits. For any input, a
// reference that reads is written back with letter_coordinate and must read back the same, and
// the column letters of any column read back to that column.
#include <optional>
#include <regex>
#include <string>

#include "check.hpp"
#include "utils/coords.hpp"

using namespace tbx;

namespace {

std::optional<Coordinate> reference(std::string_view text) {
  std::string up(text);
  for (char& c : up)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  static const std::regex re("^(\\$)?([A-Z]{1,3})(\\$)?([0-9]+)");
  std::smatch m;
  if (!std::regex_search(up, m, re, std::regex_constants::match_continuous)) return std::nullopt;
  unsigned col = 0;
  for (char c : m[2].str()) col = col * 26 + static_cast<unsigned>(c - 'A' + 1);
  unsigned long long row = 0;
  for (char c : m[4].str()) {
    row = row * 10 + static_cast<unsigned>(c - '0');
    if (row > 0xFFFFFFFFull) return std::nullopt;
  }
  return Coordinate{static_cast<uint32_t>(row), static_cast<uint16_t>(col)};
}

std::string show(const std::optional<Coordinate>& c) {
  return c ? "row " + std::to_string(c->row) + " column " + std::to_string(c->column) : "nothing";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<Coordinate> got = read_a1(text);

  bool ascii = true;
  for (unsigned char c : text) ascii &= c < 0x80;
  if (ascii && size <= 200) {
    const std::optional<Coordinate> want = reference(text);
    FUZZ_CHECK(got == want, text, show(got) + " (reference: " + show(want) + ")");
  }
  if (got) {
    FUZZ_CHECK(got->column >= 1 && got->column <= 18278, text, show(got));
    const std::string again = letter_coordinate(got->row, got->column);
    FUZZ_CHECK(read_a1(again) == got, text, again);
    // Trailing text is ignored.
    FUZZ_CHECK(read_a1(again + "!x") == got, text, again);
  }
  // Column letters of a column taken from the input read back to that column.
  if (size >= 2) {
    const uint16_t col = static_cast<uint16_t>(data[0] | (data[1] << 8));
    const std::string letters = column_letters(col);
    if (col == 0) {
      FUZZ_CHECK(letters.empty(), text, letters);
    } else if (letters.size() <= 3) {
      const auto back = read_a1(letters + "7");
      FUZZ_CHECK(back && back->column == col && back->row == 7, text, letters);
    } else {
      FUZZ_CHECK(letters.size() == 4 && col > 18278, text, letters);
    }
  }
  return 0;
}
