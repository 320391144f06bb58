#include "structs/value.hpp"

#include <charconv>

#include "utils/datetime_text.hpp"
#include "utils/number_text.hpp"
#include "utils/unicode.hpp"

namespace tbx {
namespace {

// Whether the text upper-cases to "TRUE" or "FALSE" under full Unicode case mapping; the
// caller has seen that the first byte is t, T, f or F.
bool read_bool(std::string_view text, bool& out) {
  // Each character's upper-case ASCII takes no more bytes than the character itself, so a text
  // that maps to TRUE or FALSE has at most a few bytes ("falſe" has six). Bounding the length
  // keeps `mapped` in its inline buffer: the test never allocates.
  if (text.size() > 15) return false;
  bool ascii = true;
  for (char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
  auto equals = [](std::string_view s, std::string_view upper_word) {
    if (s.size() != upper_word.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
      const char c = s[i] >= 'a' && s[i] <= 'z' ? static_cast<char>(s[i] - 32) : s[i];
      if (c != upper_word[i]) return false;
    }
    return true;
  };
  std::string_view upper = text;
  std::string mapped;
  if (!ascii) {
    if (!unicode::append_ascii_upper_prefix(text, mapped)) return false;
    upper = mapped;
  }
  if (equals(upper, "TRUE")) out = true;
  else if (equals(upper, "FALSE")) out = false;
  else return false;
  return true;
}

}  // namespace

// The first byte decides which readings can apply, so most words are settled after one look:
// only t/T/f/F can start a boolean (no other character upper-cases to an opening of TRUE or
// FALSE), only a digit, sign, point or the first letter of inf/nan a number, and
// only a digit, sign or white space a date-time.
ParsedValue value_from_text(std::string_view text) noexcept {
  ParsedValue v;
  if (text.empty()) return v;  // Empty
  const char c = text.front();
  switch (c) {
    case 't': case 'T': case 'f': case 'F':
      if (read_bool(text, v.boolean)) v.kind = Kind::Bool;
      else v.kind = Kind::Text;
      return v;
    case 'i': case 'I': case 'n': case 'N': case '.':
      v.kind = number_text::read_double(text, v.number) ? Kind::Number : Kind::Text;
      return v;
    case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8':
    case '9': case '+': case '-':
      if (number_text::read_int32(text, v.integer)) v.kind = Kind::Integer;
      else if (number_text::read_double(text, v.number)) v.kind = Kind::Number;
      else if (datetime_text::read(text, v.datetime)) v.kind = Kind::DateTime;
      else v.kind = Kind::Text;
      return v;
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
      v.kind = datetime_text::read(text, v.datetime) ? Kind::DateTime : Kind::Text;
      return v;
    default:
      v.kind = Kind::Text;
      return v;
  }
}

size_t format_number_display(double v, char* buf) noexcept {
  return number_text::write_display(v, buf);
}

size_t format_number_json(double v, char* buf) noexcept { return number_text::write_json(v, buf); }

size_t format_integer(int32_t v, char* buf) noexcept {
  return static_cast<size_t>(std::to_chars(buf, buf + 12, v).ptr - buf);
}

size_t format_datetime_display(const DateTime& v, char* buf) noexcept {
  return datetime_text::write(v, ' ', buf);
}

size_t format_datetime_json(const DateTime& v, char* buf) noexcept {
  return datetime_text::write(v, 'T', buf);
}

}  // namespace tbx
