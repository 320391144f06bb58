#pragma once
// Reading the lenient "%Y-%m-%d %H:%M:%S" form of a date-time, and writing the display and JSON
// forms of one.
#include <cstddef>
#include <string_view>

#include "structs/value.hpp"

namespace tbx::datetime_text {

// Year, '-', month, '-', day, white space, hour, ':', minute, ':', second, nothing after.
// White space (space, \t, \n, \v, \f, \r: the ASCII set a C-library parser skips) may stand
// before each of the six numbers; the blank between day and hour may be absent. The year is one
// to four digits, or '+'/'-' and any number of digits with a value within 32 bits; the other
// fields have one or two digits. The date must exist in the proleptic Gregorian calendar; hour
// 0-23, minute 0-59, second 0-60, where 60 is a leap second, stored as second 59 with nanos
// 1'000'000'000. Other nanos are zero.
bool read(std::string_view text, DateTime& out) noexcept;

// "YYYY-MM-DD" + separator + "HH:MM:SS" and a fraction of 3, 6 or 9 digits when the sub-second
// part is not zero. A year outside 0..9999 carries its sign and at least four digits ("+10000",
// "-0001"). Nanos of a second or more (a leap second) show as second 60. Returns the length;
// buf holds at least 48 bytes.
size_t write(const DateTime& v, char separator, char* buf) noexcept;

}  // namespace tbx::datetime_text
