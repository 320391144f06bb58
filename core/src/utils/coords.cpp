#include "utils/coords.hpp"

#include <charconv>

#include "utils/unicode.hpp"

namespace tbx {

size_t format_column_letters(uint16_t col, char* buf) noexcept {
  char rev[4];
  size_t n = 0;
  unsigned v = col;
  while (v > 0) {
    const unsigned m = v - 1;
    rev[n++] = static_cast<char>('A' + m % 26);
    v = m / 26;
  }
  for (size_t i = 0; i < n; ++i) buf[i] = rev[n - 1 - i];
  return n;
}

std::string column_letters(uint16_t col) {
  char buf[4];
  return std::string(buf, format_column_letters(col, buf));
}

size_t format_letter_coordinate(uint32_t row, uint16_t col, char* buf) noexcept {
  const size_t n = format_column_letters(col, buf);
  return static_cast<size_t>(std::to_chars(buf + n, buf + kMaxLetterCoordinate, row).ptr - buf);
}

std::string letter_coordinate(uint32_t row, uint16_t col) {
  char buf[kMaxLetterCoordinate];
  return std::string(buf, format_letter_coordinate(row, col, buf));
}

std::optional<Coordinate> read_a1(std::string_view text) {
  // Upper-case only as far as ASCII goes: the first non-ASCII character ends any reference.
  std::string up;
  up.reserve(text.size() < 32 ? text.size() + 4 : 36);
  unicode::append_ascii_upper_prefix(text, up);

  const char* p = up.data();
  const char* end = p + up.size();
  auto is_letter = [](char c) { return c >= 'A' && c <= 'Z'; };
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };

  // ((\$)?([A-Z]{1,3}))? : greedy, and nothing after it can make it give letters back.
  const char* q = p;
  if (q < end && *q == '$') ++q;
  const char* letters = q;
  while (q < end && q - letters < 3 && is_letter(*q)) ++q;
  if (q == letters) return std::nullopt;
  unsigned col = 0;
  for (const char* c = letters; c < q; ++c) col = col * 26 + static_cast<unsigned>(*c - 'A' + 1);

  // ((\$)?([0-9]+))?
  if (q < end && *q == '$') ++q;
  const char* digits = q;
  while (q < end && is_digit(*q)) ++q;
  if (q == digits) return std::nullopt;
  uint64_t row = 0;
  for (const char* c = digits; c < q; ++c) {
    row = row * 10 + static_cast<uint64_t>(*c - '0');
    if (row > UINT32_MAX) return std::nullopt;
  }
  return Coordinate{static_cast<uint32_t>(row), static_cast<uint16_t>(col)};
}

}  // namespace tbx
