// Fuzz target: the date-time reading of the value-from-text rule, with inputs shaped like dates.
//
// The fuzz bytes choose the parts of a date-time text (the year's form and digits, one or two
// digits per other field, the white space before each number, the separators) and sometimes one
// defect that the grammar must refuse (a wrong separator, a field of three digits, a letter in a
// field, trailing white space or text). The target knows what it built, so it knows the answer:
// without a defect the text reads as exactly the date-time built (when the calendar has it,
// checked with std::chrono where the year fits it), and with a defect it never reads as a
// date-time. Whatever reads as a date-time shows a display text that reads back to the same
// value.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <string>

#include "check.hpp"
#include "structs/value.hpp"

using namespace tbx;

namespace {

constexpr char kSpaces[] = {' ', '\t', '\n', '\v', '\f', '\r'};

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool calendar_has(int64_t y, unsigned m, unsigned d) {
  if (m < 1 || m > 12 || d < 1) return false;
  if (y >= -32767 && y <= 32767) {
    return std::chrono::year_month_day{std::chrono::year{static_cast<int>(y)},
                                       std::chrono::month{m}, std::chrono::day{d}}
        .ok();
  }
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return d <= kDays[m - 1] + (m == 2 && leap(y) ? 1u : 0u);
}

std::string digits_of(FuzzedDataProvider& in, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>('0' + in.ConsumeIntegralInRange(0, 9));
  return s;
}

unsigned value_of(const std::string& digits) {
  unsigned v = 0;
  for (char c : digits) v = v * 10 + static_cast<unsigned>(c - '0');
  return v;
}

std::string spaces(FuzzedDataProvider& in) {
  std::string s;
  const int n = in.ConsumeIntegralInRange(0, 4) < 3 ? 0 : in.ConsumeIntegralInRange(1, 3);
  for (int i = 0; i < n; ++i) s += kSpaces[in.ConsumeIntegralInRange(0, 5)];
  return s;
}

bool same(const DateTime& a, const DateTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.nanos == b.nanos;
}

std::string show(const DateTime& d) {
  char buf[64];
  return std::string(buf, format_datetime_display(d, buf));
}

enum Defect { None, Separator, ThreeDigits, Letter, TrailingSpace, TrailingText, kDefects };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const Defect defect =
      in.ConsumeIntegralInRange(0, 3) == 0
          ? static_cast<Defect>(in.ConsumeIntegralInRange(1, static_cast<int>(kDefects) - 1))
          : None;
  const int defect_at = in.ConsumeIntegralInRange(0, 5);  // which of the six numbers

  // The year: 1-4 plain digits, or a sign and 1-12 digits.
  const int year_form = in.ConsumeIntegralInRange(0, 2);
  std::string year_digits = digits_of(in, year_form == 0 ? in.ConsumeIntegralInRange(1, 4)
                                                        : in.ConsumeIntegralInRange(1, 12));
  long long year = 0;
  for (char c : year_digits) year = year * 10 + (c - '0');
  if (year_form == 2) year = -year;
  const bool year_fits = year >= INT32_MIN && year <= INT32_MAX;

  std::string field[6];
  field[0] = (year_form == 1 ? "+" : year_form == 2 ? "-" : "") + year_digits;
  for (int k = 1; k < 6; ++k) field[k] = digits_of(in, in.ConsumeIntegralInRange(1, 2));
  std::string before[6];
  for (std::string& b : before) b = spaces(in);
  const char seps[6] = {'-', '-', '\0', ':', ':', '\0'};  // the separator after each number

  bool defective = false;
  switch (defect) {
    case ThreeDigits:
      // Not the year (a signed year may have any length); a three-digit day is a defect only when
      // white space follows it, since "1201:.." also reads as day 12, hour 01.
      if (defect_at >= 1 && (defect_at != 2 || !before[3].empty())) {
        field[defect_at] = digits_of(in, 3);
        if (field[defect_at][0] == '0' && defect_at == 2) field[defect_at][0] = '1';
        defective = true;
      }
      break;
    case Letter:
      field[defect_at] += static_cast<char>('a' + in.ConsumeIntegralInRange(0, 25));
      defective = true;
      break;
    default: break;
  }

  std::string text;
  for (int k = 0; k < 6; ++k) {
    text += before[k] + field[k];
    char sep = seps[k];
    if (defect == Separator && k == defect_at && sep != '\0') {
      const char wrong[] = {'/', '.', ' ', ';', 'T', '_'};
      sep = wrong[in.ConsumeIntegralInRange(0, 5)];
      if (sep == seps[k]) sep = '/';
      defective = true;
    }
    if (sep) text += sep;
  }
  if (defect == TrailingSpace) {
    text += kSpaces[in.ConsumeIntegralInRange(0, 5)];
    defective = true;
  } else if (defect == TrailingText) {
    text += in.ConsumeBool() ? "Z" : ".5";
    defective = true;
  }

  const ParsedValue got = value_from_text(text);
  const std::string got_kind(1, static_cast<char>('0' + static_cast<int>(got.kind)));

  // With no white space before the hour, a one-digit day takes the hour's first digit: the text
  // then means another date-time than the one built, and only the round trip is checked.
  const bool ambiguous = before[3].empty() && field[2].size() == 1;
  if (ambiguous) {
    // Only the round trip below.
  } else if (defective) {
    FUZZ_CHECK(got.kind != Kind::DateTime, text, show(got.datetime));
  } else {
    const unsigned month = value_of(field[1]), day = value_of(field[2]), hour = value_of(field[3]),
                   minute = value_of(field[4]), second = value_of(field[5]);
    const bool valid = year_fits && calendar_has(year, month, day) && hour <= 23 &&
                       minute <= 59 && second <= 60;
    if (!valid) {
      FUZZ_CHECK(got.kind != Kind::DateTime, text, show(got.datetime));
    } else {
      FUZZ_CHECK(got.kind == Kind::DateTime, text, got_kind);
      const DateTime want{static_cast<int32_t>(year),
                          static_cast<uint8_t>(month),
                          static_cast<uint8_t>(day),
                          static_cast<uint8_t>(hour),
                          static_cast<uint8_t>(minute),
                          static_cast<uint8_t>(second == 60 ? 59 : second),
                          second == 60 ? 1'000'000'000u : 0u};
      FUZZ_CHECK(same(got.datetime, want), text, show(got.datetime) + " want " + show(want));
    }
  }
  if (got.kind == Kind::DateTime) {
    const std::string shown = show(got.datetime);
    const ParsedValue back = value_from_text(shown);
    FUZZ_CHECK(back.kind == Kind::DateTime && same(back.datetime, got.datetime), text, shown);
  }
  return 0;
}
