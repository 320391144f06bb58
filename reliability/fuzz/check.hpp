#pragma once
// What the fuzz targets share: a check that ends the run with a message (libFuzzer then saves the
// input), and the building of valid UTF-8 text from fuzz bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view input, std::string_view got) {
  std::fprintf(stderr, "CHECK FAILED: %s\n  input: ", what);
  for (unsigned char c : input) std::fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  std::fprintf(stderr, "\n  got:   ");
  for (unsigned char c : got) std::fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

#define FUZZ_CHECK(cond, input, got) \
  do {                               \
    if (!(cond)) ::fuzz::fail(#cond, (input), (got)); \
  } while (0)

inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// True when s is well-formed UTF-8 without surrogates: what a Python str encodes to, and so the
// only text the extension ever hands the engine.
inline bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len;
    char32_t cp;
    if (b0 < 0x80) { ++i; continue; }
    if (b0 < 0xC2) return false;
    if (b0 < 0xE0) { len = 2; cp = b0 & 0x1F; }
    else if (b0 < 0xF0) { len = 3; cp = b0 & 0x0F; }
    else if (b0 < 0xF5) { len = 4; cp = b0 & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

}  // namespace fuzz
