#pragma once
// The few Unicode facts the engine needs, without a Unicode library.
#include <string>
#include <string_view>

namespace tbx::unicode {

// Appends to `out` the full Unicode upper-case mapping of the longest prefix of `text` whose
// mapping is pure ASCII, and returns true when that prefix is the whole text.
//
// Only ASCII letters and a handful of code points upper-case to ASCII: dotless i, long s, sharp s,
// the Latin ligatures U+FB00..U+FB06, and six letters whose mapping is an ASCII letter followed by
// a combining mark. For those six the ASCII letter is appended and the scan stops, since the mark
// that follows is not ASCII. Any other non-ASCII code point (or an invalid byte) stops the scan.
bool append_ascii_upper_prefix(std::string_view text, std::string& out);

// `text` without its leading and trailing white space: every character with the Unicode
// White_Space property (tab, line feed, vertical tab, form feed, carriage return, space, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
std::string_view trim_white_space(std::string_view text) noexcept;

}  // namespace tbx::unicode
