// Fuzz target: the value-from-text rule and the display and JSON texts of what it returns.
//
// For any bytes:
//  - the kind agrees with the individual readers taken in the rule's order (an ASCII TRUE/FALSE
//    in any case, then a 32-bit integer, then a floating-point number, then a date-time, else
//    text), so the first-byte shortcut of value_from_text never skips a reading that applies;
//  - the integer and floating-point grammars agree with plain reference grammars, and the values
//    with strtoll and strtod (glibc's strtod rounds correctly);
//  - an Integer's text, a Number's display text and a DateTime's display text read back to the
//    same value; a Number's JSON text is a JSON number that strtod reads back bit for bit; a
//    DateTime's JSON text is its display text with 'T' between date and time;
//  - a cell made from the text holds that value and shows the same display text.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <regex>
#include <string>

#include "check.hpp"
#include "structs/cell.hpp"
#include "structs/value.hpp"
#include "utils/datetime_text.hpp"
#include "utils/number_text.hpp"

using namespace tbx;

namespace {

bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_datetime(const DateTime& a, const DateTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.nanos == b.nanos;
}

bool is_ascii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

std::string ascii_upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return u;
}

double strtod_of(std::string_view s) {
  const std::string z(s);
  return std::strtod(z.c_str(), nullptr);
}

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool valid_datetime(const DateTime& d) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.month < 1 || d.month > 12 || d.day < 1) return false;
  const int dim = kDays[d.month - 1] + (d.month == 2 && leap(d.year) ? 1 : 0);
  return d.day <= dim && d.hour <= 23 && d.minute <= 59 && d.second <= 59 &&
         (d.nanos == 0 || (d.nanos == 1'000'000'000u && d.second == 59));
}

const std::regex& int_grammar() {
  static const std::regex re("[+-]?[0-9]+");
  return re;
}
const std::regex& double_grammar() {
  static const std::regex re("[+-]?(inf|infinity|nan|([0-9]+\\.?[0-9]*|\\.[0-9]+)(e[+-]?[0-9]+)?)",
                             std::regex::icase);
  return re;
}
const std::regex& json_number_grammar() {
  static const std::regex re("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
  return re;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedValue p = value_from_text(text);

  int32_t i = 0;
  double d = 0;
  DateTime dt{};
  const bool int_ok = number_text::read_int32(text, i);
  const bool dbl_ok = number_text::read_double(text, d);
  const bool dt_ok = datetime_text::read(text, dt);

  // The rule's order over the individual readers.
  const std::string kind_name(1, static_cast<char>('0' + static_cast<int>(p.kind)));
  if (text.empty()) {
    FUZZ_CHECK(p.kind == Kind::Empty, text, kind_name);
    return 0;
  }
  const std::string upper = ascii_upper(text);
  if (is_ascii(text) && (upper == "TRUE" || upper == "FALSE")) {
    FUZZ_CHECK(p.kind == Kind::Bool && p.boolean == (upper == "TRUE"), text, kind_name);
  } else if (p.kind == Kind::Bool) {
    // Only a non-ASCII text can upper-case to the words otherwise; none of the others read it.
    FUZZ_CHECK(!is_ascii(text) && !int_ok && !dbl_ok && !dt_ok, text, kind_name);
  } else if (int_ok) {
    FUZZ_CHECK(p.kind == Kind::Integer && p.integer == i, text, kind_name);
  } else if (dbl_ok) {
    FUZZ_CHECK(p.kind == Kind::Number && same_double(p.number, d), text, kind_name);
  } else if (dt_ok) {
    FUZZ_CHECK(p.kind == Kind::DateTime && same_datetime(p.datetime, dt), text, kind_name);
  } else {
    FUZZ_CHECK(p.kind == Kind::Text, text, kind_name);
  }

  // Reference grammars (std::regex recurses per character: short texts only).
  if (size <= 120) {
    const std::string s(text);
    const bool int_shape = std::regex_match(s, int_grammar());
    if (int_shape) {
      errno = 0;
      const long long v = std::strtoll(s.c_str(), nullptr, 10);
      const bool fits = errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
      FUZZ_CHECK(int_ok == fits && (!fits || i == v), text, std::to_string(i));
    } else {
      FUZZ_CHECK(!int_ok, text, std::to_string(i));
    }
    const bool dbl_shape = std::regex_match(s, double_grammar());
    FUZZ_CHECK(dbl_ok == dbl_shape, text, dbl_ok ? "read as a double" : "not read as a double");
  }
  if (dbl_ok) FUZZ_CHECK(same_double(d, strtod_of(text)), text, std::to_string(d));

  char buf[kMaxNumberText];
  char buf2[kMaxNumberText];
  switch (p.kind) {
    case Kind::Integer: {
      const size_t n = format_integer(p.integer, buf);
      const std::string_view shown(buf, n);
      const ParsedValue back = value_from_text(shown);
      FUZZ_CHECK(back.kind == Kind::Integer && back.integer == p.integer, text, shown);
      break;
    }
    case Kind::Number: {
      const double v = p.number;
      const std::string_view shown(buf, format_number_display(v, buf));
      if (std::isfinite(v)) {
        FUZZ_CHECK(shown.find_first_of("eE") == std::string_view::npos, text, shown);
      }
      FUZZ_CHECK(same_double(strtod_of(shown), v), text, shown);
      const ParsedValue back = value_from_text(shown);
      const bool back_ok =
          (back.kind == Kind::Number && same_double(back.number, v)) ||
          (back.kind == Kind::Integer && static_cast<double>(back.integer) == v);
      FUZZ_CHECK(back_ok, text, shown);
      if (std::isfinite(v)) {
        const std::string json(buf2, format_number_json(v, buf2));
        FUZZ_CHECK(std::regex_match(json, json_number_grammar()), text, json);
        FUZZ_CHECK(same_double(strtod_of(json), v), text, json);
      }
      break;
    }
    case Kind::DateTime: {
      FUZZ_CHECK(valid_datetime(p.datetime), text, "out-of-range date-time fields");
      const std::string_view shown(buf, format_datetime_display(p.datetime, buf));
      const ParsedValue back = value_from_text(shown);
      FUZZ_CHECK(back.kind == Kind::DateTime && same_datetime(back.datetime, p.datetime), text,
                 shown);
      const std::string_view json(buf2, format_datetime_json(p.datetime, buf2));
      const size_t sep = shown.find(' ', 1);
      FUZZ_CHECK(sep != std::string_view::npos && json.size() == shown.size() &&
                     json[sep] == 'T' && json.substr(0, sep) == shown.substr(0, sep) &&
                     json.substr(sep + 1) == shown.substr(sep + 1),
                 text, json);
      break;
    }
    default: break;
  }

  // A cell made from the text holds the same value and shows it the same way.
  Cell* c = Cell::create_from_text(3, 4, text);
  FUZZ_CHECK(c->kind() == p.kind && c->data_type() == data_type_of(p.kind), text, kind_name);
  const std::string_view cell_shown = c->display(buf);
  if (p.kind == Kind::Text) {
    FUZZ_CHECK(cell_shown == text, text, cell_shown);
  } else if (p.kind == Kind::Bool) {
    FUZZ_CHECK(cell_shown == (p.boolean ? "true" : "false"), text, cell_shown);
  } else if (p.kind == Kind::Number) {
    FUZZ_CHECK(cell_shown == std::string_view(buf2, format_number_display(p.number, buf2)), text,
               cell_shown);
  }
  c->release();
  return 0;
}
