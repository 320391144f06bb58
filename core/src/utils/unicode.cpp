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

namespace {

// Length of the white-space character starting at p (within [p, e)), or 0.
size_t space_at(const unsigned char* p, const unsigned char* e) noexcept {
  const unsigned c = p[0];
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c < 0xC2) return 0;
  if (c == 0xC2) return e - p >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (e - p < 3) return 0;
  if (c == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
  if (c == 0xE2) {
    if (p[1] == 0x80) return (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF) ? 3 : 0;
    return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;
  }
  if (c == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
  return 0;
}

// Length of the white-space character ending just before e (starting at or after b), or 0.
size_t space_before(const unsigned char* b, const unsigned char* e) noexcept {
  const unsigned c = e[-1];
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c < 0x80) return 0;
  if (e - b >= 2 && e[-2] == 0xC2 && (c == 0x85 || c == 0xA0)) return 2;
  if (e - b >= 3 && space_at(e - 3, e) == 3) return 3;
  return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
  auto* b = reinterpret_cast<const unsigned char*>(text.data());
  auto* e = b + text.size();
  while (b < e) {
    const size_t n = space_at(b, e);
    if (!n) break;
    b += n;
  }
  while (e > b) {
    const size_t n = space_before(b, e);
    if (!n) break;
    e -= n;
  }
  return {reinterpret_cast<const char*>(b), static_cast<size_t>(e - b)};
}

}  // namespace tbx::unicode
