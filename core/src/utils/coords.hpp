#pragma once
// Column letters, A1 references and their reading.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tbx {

struct Coordinate {
  uint32_t row;
  uint16_t column;
  friend bool operator==(const Coordinate&, const Coordinate&) = default;
};

// Bijective base-26 letters of a column: 1 -> "A", 27 -> "AA", 65535 -> "CRXO"; 0 -> "".
// Writes into buf (at least 4 bytes) and returns the length.
size_t format_column_letters(uint16_t col, char* buf) noexcept;
std::string column_letters(uint16_t col);

// The A1 reference: the column's letters, then the row in decimal ("B3"; column 0 gives "3").
inline constexpr size_t kMaxLetterCoordinate = 14;
size_t format_letter_coordinate(uint32_t row, uint16_t col, char* buf) noexcept;
std::string letter_coordinate(uint32_t row, uint16_t col);

// Reads an A1 reference after full Unicode upper-casing: an optional "$" and one to three letters
// at the very start, then an optional "$" and decimal digits that fit 32 bits; anything after the
// digits is ignored ("$B$3", "b3", "C5 extra"). Nothing when the text does not read that way.
std::optional<Coordinate> read_a1(std::string_view text);

}  // namespace tbx
