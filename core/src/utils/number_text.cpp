#include "utils/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace tbx::number_text {
namespace {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') <= 9; }

// Case-insensitive comparison of `n` ASCII letters with the lower-case word `w`.
inline bool equals_word(const char* p, const char* w, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if ((p[i] | 0x20) != w[i]) return false;
  }
  return true;
}

// Called only when the correctly rounded value of a grammar-checked, unsigned decimal lies
// outside the finite doubles or below the smallest subnormal: tells which side, from the decimal
// exponent of the first significant digit (the two sides are over 600 decades apart).
bool is_beyond_max(const char* p, const char* end) {
  long long lead = 0;  // decimal exponent of the first non-zero digit of the mantissa
  bool seen = false;
  for (; p != end && is_digit(*p); ++p) {
    if (seen) ++lead;
    else if (*p != '0') seen = true;
  }
  if (p != end && *p == '.') {
    for (++p; p != end && is_digit(*p); ++p) {
      if (seen) continue;
      --lead;
      if (*p != '0') seen = true;
    }
  }
  if (!seen) return false;
  long long exp = 0;
  if (p != end) {  // 'e' or 'E'
    ++p;
    const bool neg = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; p != end; ++p) {
      if (exp < 1'000'000'000) exp = exp * 10 + (*p - '0');
    }
    if (neg) exp = -exp;
  }
  return lead + exp > 0;
}

// The shortest round-trip digits of a finite double: value = 0.d1d2...dn * 10^point.
struct Digits {
  char d[24];
  int n = 0;
  int point = 0;
  bool negative = false;
};

Digits shortest_digits(double v) {
  char tmp[40];
  const auto r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::scientific);
  const char* p = tmp;
  Digits out;
  if (*p == '-') {
    out.negative = true;
    ++p;
  }
  out.d[out.n++] = *p++;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p) out.d[out.n++] = *p;
  }
  ++p;  // 'e'
  const bool neg_exp = *p == '-';
  ++p;  // the exponent's sign is always written
  int e = 0;
  for (; p != r.ptr; ++p) e = e * 10 + (*p - '0');
  out.point = (neg_exp ? -e : e) + 1;
  return out;
}

inline char* put(char* out, const char* s, size_t n) {
  std::memcpy(out, s, n);
  return out + n;
}

inline char* put_zeros(char* out, int n) {
  if (n > 0) {
    std::memset(out, '0', static_cast<size_t>(n));
    out += n;
  }
  return out;
}

}  // namespace

bool read_int32(std::string_view text, int32_t& out) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == end) return false;
  uint64_t v = 0;
  for (; p != end; ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (d > 9) return false;
    v = v * 10 + d;
    if (v > 2'147'483'648u) return false;  // out of range: read as a double instead
  }
  if (!negative && v > 2'147'483'647u) return false;
  out = static_cast<int32_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
  return true;
}

bool read_double(std::string_view text, double& out) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == end) return false;
  const char* const body = p;
  double v;
  if (!is_digit(*p) && *p != '.') {
    const size_t n = static_cast<size_t>(end - p);
    if ((n == 3 && equals_word(p, "inf", 3)) || (n == 8 && equals_word(p, "infinity", 8)))
      v = std::numeric_limits<double>::infinity();
    else if (n == 3 && equals_word(p, "nan", 3))
      v = std::numeric_limits<double>::quiet_NaN();
    else
      return false;
    out = negative ? -v : v;
    return true;
  }
  // from_chars would also take "1e" as 1 followed by junk and accepts words and "nan(...)", so
  // the grammar is checked here first, and from_chars only converts.
  const char* digits = p;
  while (p != end && is_digit(*p)) ++p;
  size_t mantissa_digits = static_cast<size_t>(p - digits);
  if (p != end && *p == '.') {
    digits = ++p;
    while (p != end && is_digit(*p)) ++p;
    mantissa_digits += static_cast<size_t>(p - digits);
  }
  if (mantissa_digits == 0) return false;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    const char* exp_digits = p;
    while (p != end && is_digit(*p)) ++p;
    if (p == exp_digits) return false;
  }
  if (p != end) return false;
  const auto r = std::from_chars(body, end, v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    v = is_beyond_max(body, end) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (r.ec != std::errc() || r.ptr != end) {
    return false;  // not reached for text that passed the grammar above
  }
  out = negative ? -v : v;
  return true;
}

size_t write_display(double v, char* buf) noexcept {
  if (std::isnan(v)) return static_cast<size_t>(put(buf, "NaN", 3) - buf);
  if (std::isinf(v)) return v < 0 ? static_cast<size_t>(put(buf, "-inf", 4) - buf)
                                  : static_cast<size_t>(put(buf, "inf", 3) - buf);
  const Digits g = shortest_digits(v);
  char* out = buf;
  if (g.negative) *out++ = '-';
  if (g.point >= g.n) {  // whole number: digits, then zeros up to the point
    out = put(out, g.d, static_cast<size_t>(g.n));
    out = put_zeros(out, g.point - g.n);
  } else if (g.point > 0) {  // point inside the digits
    out = put(out, g.d, static_cast<size_t>(g.point));
    *out++ = '.';
    out = put(out, g.d + g.point, static_cast<size_t>(g.n - g.point));
  } else {  // below one: "0." then zeros before the digits
    out = put(out, "0.", 2);
    out = put_zeros(out, -g.point);
    out = put(out, g.d, static_cast<size_t>(g.n));
  }
  return static_cast<size_t>(out - buf);
}

size_t write_json(double v, char* buf) noexcept {
  // A JSON number has no form for these; callers write null before reaching here, and this keeps
  // the output valid JSON should one slip through.
  if (!std::isfinite(v)) return static_cast<size_t>(put(buf, "null", 4) - buf);
  if (v == 0) {
    return std::signbit(v) ? static_cast<size_t>(put(buf, "-0.0", 4) - buf)
                           : static_cast<size_t>(put(buf, "0.0", 3) - buf);
  }
  const Digits g = shortest_digits(v);
  char* out = buf;
  if (g.negative) *out++ = '-';
  const int n = g.n;
  const int e = g.point;
  if (n <= e && e <= 16) {  // an integer of at most 16 digits
    out = put(out, g.d, static_cast<size_t>(n));
    out = put_zeros(out, e - n);
    out = put(out, ".0", 2);
  } else if (0 < e && e <= 16) {
    out = put(out, g.d, static_cast<size_t>(e));
    *out++ = '.';
    out = put(out, g.d + e, static_cast<size_t>(n - e));
  } else if (-4 <= e && e <= 0) {
    out = put(out, "0.", 2);
    out = put_zeros(out, -e);
    out = put(out, g.d, static_cast<size_t>(n));
  } else {
    *out++ = g.d[0];
    if (n > 1) {
      *out++ = '.';
      out = put(out, g.d + 1, static_cast<size_t>(n - 1));
    }
    *out++ = 'e';
    out = std::to_chars(out, out + 8, e - 1).ptr;
  }
  return static_cast<size_t>(out - buf);
}

}  // namespace tbx::number_text
