#include "utils/unicode.hpp"

#include <cstdint>

namespace tbx::unicode {
namespace {

struct AsciiUpper {
  char32_t cp;
  const char* upper;    // the ASCII part of the full upper-case mapping
  bool ends_in_mark;    // the mapping continues with a non-ASCII combining character
};

// Every code point above U+007F whose full upper-case mapping starts with an ASCII character.
constexpr AsciiUpper kTable[] = {
    {0x00DF, "SS", false},  {0x0131, "I", false},   {0x017F, "S", false},
    {0x01F0, "J", true},    {0x1E96, "H", true},    {0x1E97, "T", true},
    {0x1E98, "W", true},    {0x1E99, "Y", true},    {0x1E9A, "A", true},
    {0xFB00, "FF", false},  {0xFB01, "FI", false},  {0xFB02, "FL", false},
    {0xFB03, "FFI", false}, {0xFB04, "FFL", false}, {0xFB05, "ST", false},
    {0xFB06, "ST", false},
};

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 for an invalid sequence.
size_t decode(std::string_view text, size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  size_t len;
  if (b0 < 0xC2) return 0;
  if (b0 < 0xE0) { len = 2; cp = b0 & 0x1F; }
  else if (b0 < 0xF0) { len = 3; cp = b0 & 0x0F; }
  else if (b0 < 0xF5) { len = 4; cp = b0 & 0x07; }
  else return 0;
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
}

}  // namespace

bool append_ascii_upper_prefix(std::string_view text, std::string& out) {
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(b >= 'a' && b <= 'z' ? static_cast<char>(b - 32) : static_cast<char>(b));
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t len = decode(text, i, cp);
    if (len == 0) return false;
    const AsciiUpper* hit = nullptr;
    for (const auto& e : kTable) {
      if (e.cp == cp) { hit = &e; break; }
    }
    if (!hit) return false;
    out += hit->upper;
    if (hit->ends_in_mark) return false;
    i += len;
  }
  return true;
}

}  // namespace tbx::unicode
