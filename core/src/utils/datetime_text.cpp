#include "utils/datetime_text.hpp"

#include <cstdint>

namespace tbx::datetime_text {
namespace {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') <= 9; }

inline bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');  // \t \n \v \f \r
}

inline void skip_space(const char*& p, const char* end) {
  while (p != end && is_space(*p)) ++p;
}

// One or two digits (after optional white space).
bool read_field(const char*& p, const char* end, unsigned& out) {
  skip_space(p, end);
  if (p == end || !is_digit(*p)) return false;
  out = static_cast<unsigned>(*p++ - '0');
  if (p != end && is_digit(*p)) out = out * 10 + static_cast<unsigned>(*p++ - '0');
  return true;
}

// One to four digits, or a sign and any number of digits whose value fits 32 bits.
bool read_year(const char*& p, const char* end, int32_t& out) {
  skip_space(p, end);
  if (p == end) return false;
  if (*p == '+' || *p == '-') {
    const bool negative = *p++ == '-';
    if (p == end || !is_digit(*p)) return false;
    int64_t v = 0;
    for (; p != end && is_digit(*p); ++p) {
      v = v * 10 + (*p - '0');
      if (v > 2'147'483'648) return false;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
  }
  if (!is_digit(*p)) return false;
  int32_t v = 0;
  for (int k = 0; k < 4 && p != end && is_digit(*p); ++k) v = v * 10 + (*p++ - '0');
  out = v;
  return true;
}

inline bool expect(const char*& p, const char* end, char c) {
  if (p == end || *p != c) return false;
  ++p;
  return true;
}

bool is_leap_year(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

unsigned days_in_month(int32_t year, unsigned month) {
  static constexpr uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// At least two digits (three for values the calendar never produces).
inline char* put2(char* out, unsigned v) {
  if (v >= 100) {
    *out++ = static_cast<char>('0' + v / 100);
    v %= 100;
  }
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
  return out + 2;
}

// Exactly `width` digits of v (v < 10^width).
inline char* put_fixed(char* out, uint32_t v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return out + width;
}

char* put_year(char* out, int32_t year) {
  if (year >= 0 && year <= 9999) return put_fixed(out, static_cast<uint32_t>(year), 4);
  *out++ = year < 0 ? '-' : '+';
  // Through 64 bits so that the most negative year has a magnitude.
  uint64_t mag = year < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(year))
                          : static_cast<uint64_t>(year);
  char tmp[12];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + mag % 10);
    mag /= 10;
  } while (mag != 0);
  for (int k = n; k < 4; ++k) *out++ = '0';
  while (n > 0) *out++ = tmp[--n];
  return out;
}

}  // namespace

bool read(std::string_view text, DateTime& out) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  int32_t year;
  unsigned month, day, hour, minute, second;
  if (!read_year(p, end, year) || !expect(p, end, '-') || !read_field(p, end, month) ||
      !expect(p, end, '-') || !read_field(p, end, day) || !read_field(p, end, hour) ||
      !expect(p, end, ':') || !read_field(p, end, minute) || !expect(p, end, ':') ||
      !read_field(p, end, second) || p != end)
    return false;
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60)
    return false;
  out.year = year;
  out.month = static_cast<uint8_t>(month);
  out.day = static_cast<uint8_t>(day);
  out.hour = static_cast<uint8_t>(hour);
  out.minute = static_cast<uint8_t>(minute);
  out.second = static_cast<uint8_t>(second == 60 ? 59 : second);
  out.nanos = second == 60 ? 1'000'000'000u : 0u;
  return true;
}

size_t write(const DateTime& v, char separator, char* buf) noexcept {
  char* out = put_year(buf, v.year);
  *out++ = '-';
  out = put2(out, v.month);
  *out++ = '-';
  out = put2(out, v.day);
  *out++ = separator;
  out = put2(out, v.hour);
  *out++ = ':';
  out = put2(out, v.minute);
  *out++ = ':';
  const bool leap = v.nanos >= 1'000'000'000u;
  out = put2(out, leap ? 60u : v.second);
  const uint32_t frac = v.nanos % 1'000'000'000u;
  if (frac != 0) {
    *out++ = '.';
    if (frac % 1'000'000 == 0) out = put_fixed(out, frac / 1'000'000, 3);
    else if (frac % 1'000 == 0) out = put_fixed(out, frac / 1'000, 6);
    else out = put_fixed(out, frac, 9);
  }
  return static_cast<size_t>(out - buf);
}

}  // namespace tbx::datetime_text
