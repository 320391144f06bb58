#pragma once
// Reading decimal integers and floating-point numbers from text, and the two text layouts of a
// double: the positional display text and the JSON number.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tbx::number_text {

// An optional single '+' or '-', then one or more ASCII digits and nothing else, with a value
// that fits 32 bits. Leading zeros are allowed ("0012" is 12).
bool read_int32(std::string_view text, int32_t& out) noexcept;

// An optional sign, then either inf, infinity or nan in any letter case, or digits with an
// optional fraction ("5", "5.", ".5", "1.5") and an optional exponent ("e"/"E", optional sign,
// digits). No blanks, digit separators or hexadecimal forms. The result is correctly rounded;
// magnitudes beyond the double range give infinities, those below it a (signed) zero.
bool read_double(std::string_view text, double& out) noexcept;

// Shortest round-trip digits laid out positionally ("100000000000000000000", "0.00000015",
// "3", "-0"); "NaN", "inf" and "-inf" for the values without digits. Returns the length.
size_t write_display(double v, char* buf) noexcept;

// JSON layout of a finite double ("0.0", "20.0", "22.5", "0.0001", "1e16", "1.23e-7").
size_t write_json(double v, char* buf) noexcept;

}  // namespace tbx::number_text
