#pragma once
// Cell values: the six kinds, the value-from-text rule, and the two text forms of numbers and
// date-times (the display text that `value` getters return and searches compare, and the layout
// of the JSON document).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tbx {

enum class Kind : uint8_t { Empty, Text, Number, Integer, Bool, DateTime };

// Calendar date and time of day without a time zone. A leap second is second 59 with
// nanos >= 1'000'000'000.
struct DateTime {
  int32_t year;
  uint8_t month, day, hour, minute, second;
  uint32_t nanos;
};

// The result of reading a text: for Kind::Text the value is the text itself, unchanged.
struct ParsedValue {
  Kind kind = Kind::Empty;
  union {
    double number;
    int32_t integer;
    bool boolean;
    DateTime datetime;
  };
  ParsedValue() : number(0) {}
};

// The value-from-text rule: empty -> Empty; TRUE/FALSE under full upper-casing -> Bool; a decimal
// integer within 32 bits -> Integer; a decimal floating-point number -> Number; the lenient
// "%Y-%m-%d %H:%M:%S" reading of a valid date-time -> DateTime; anything else -> Text.
ParsedValue value_from_text(std::string_view text) noexcept;

// Longest display or JSON text of any number or date-time (positional forms of 1e308 and 5e-324).
inline constexpr size_t kMaxNumberText = 400;

// Display text of a double: shortest round-trip digits, always positional, "3" for 3.0, "-0",
// "NaN", "inf", "-inf". Writes into buf (at least kMaxNumberText bytes); returns the length.
size_t format_number_display(double v, char* buf) noexcept;

// JSON layout of a finite double: shortest round-trip digits, "3.0", "0.0001", "1e16", "1.23e-7".
// The caller writes null for NaN and the infinities. Returns the length.
size_t format_number_json(double v, char* buf) noexcept;

// Decimal text of a 32-bit integer. Returns the length (buf of at least 12 bytes).
size_t format_integer(int32_t v, char* buf) noexcept;

// "2024-03-05 07:08:09" (display, separator ' ') or "2024-03-05T07:08:09" (JSON, separator 'T'),
// with ".250", ".123456" or ".123456789" for a non-zero sub-second part. Returns the length
// (buf of at least 48 bytes).
size_t format_datetime_display(const DateTime& v, char* buf) noexcept;
size_t format_datetime_json(const DateTime& v, char* buf) noexcept;

}  // namespace tbx
