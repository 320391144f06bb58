#include "json/buffer.hpp"

namespace tbx::json {
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;

// Nonzero when some byte of w is below 0x20, or is '"' or '\\'.
inline uint64_t needs_escape(uint64_t w) noexcept {
  const uint64_t ctrl = (w - kOnes * 0x20) & ~w;
  const uint64_t q = w ^ (kOnes * '"');
  const uint64_t b = w ^ (kOnes * '\\');
  const uint64_t quote = (q - kOnes) & ~q;
  const uint64_t bslash = (b - kOnes) & ~b;
  return (ctrl | quote | bslash) & kHigh;
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

void Buffer::grow_to(size_t need) noexcept {
  const size_t used = static_cast<size_t>(cur_ - begin_);
  size_t cap = static_cast<size_t>(end_ - begin_);
  if (cap == 0) cap = 16;
  while (cap < need) cap *= 2;
  char* p;
  if (storage_) {
    p = storage_->grow(begin_, used, cap, cap);
  } else {
    p = static_cast<char*>(std::realloc(begin_, cap));
    if (!p) std::abort();  // allocation failure ends the process
  }
  begin_ = p;
  cur_ = p + used;
  end_ = p + cap;
}

void Buffer::put_string(std::string_view s) noexcept {
  // Worst case every byte becomes \u00XX.
  reserve_more(s.size() + 2);
  *cur_++ = '"';
  const char* p = s.data();
  const char* const e = p + s.size();
  uint64_t acc = 0;
  while (p < e) {
    // Copy the run that needs no escape, eight bytes at a time.
    const char* run = p;
    while (e - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      acc |= w;
      if (needs_escape(w)) break;
      p += 8;
    }
    while (p < e) {
      const auto c = static_cast<unsigned char>(*p);
      if (c < 0x20 || c == '"' || c == '\\') break;
      acc |= c;
      ++p;
    }
    const size_t n = static_cast<size_t>(p - run);
    reserve_more(n + 8);
    std::memcpy(cur_, run, n);
    cur_ += n;
    if (p == e) break;
    const auto c = static_cast<unsigned char>(*p++);
    char* o = cur_;
    *o++ = '\\';
    switch (c) {
      case '"': *o++ = '"'; break;
      case '\\': *o++ = '\\'; break;
      case '\b': *o++ = 'b'; break;
      case '\f': *o++ = 'f'; break;
      case '\n': *o++ = 'n'; break;
      case '\r': *o++ = 'r'; break;
      case '\t': *o++ = 't'; break;
      default:
        *o++ = 'u';
        *o++ = '0';
        *o++ = '0';
        *o++ = kHex[c >> 4];
        *o++ = kHex[c & 15];
    }
    cur_ = o;
  }
  high_bits_ |= acc;
  reserve_more(1);
  *cur_++ = '"';
}

char* Buffer::put_plain_string_at(char* p, std::string_view s) noexcept {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (needs_escape(w)) return nullptr;
    acc |= w;
  }
  for (; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"' || c == '\\') return nullptr;
    acc |= c;
  }
  high_bits_ |= acc;
  *p++ = '"';
  std::memcpy(p, s.data(), s.size());
  p += s.size();
  *p++ = '"';
  return p;
}

}  // namespace tbx::json
