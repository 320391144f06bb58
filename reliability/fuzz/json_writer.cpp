// Fuzz target: the JSON document writer (tbx::json::write_book).
//
// The fuzz bytes build a book through the engine's own operations (sheet names and states, cells
// from texts, numbers of any bit pattern, integers, booleans, date-times, formulas, styles,
// hidden values, data type texts, comments, merged ranges, row and column dimensions, row and
// column deletions, sheet copies), with every text valid UTF-8, as the extension passes it. The
// document is then written into a Buffer that starts small, and:
//  - the output is well-formed UTF-8 and valid JSON (a strict parser below, RFC 8259);
//  - the buffer's pure-ASCII flag is true exactly when every byte is ASCII;
//  - read back, the document holds exactly what the records hold: every string round-trips,
//    finite numbers read back bit for bit, non-finite ones are null, integers, booleans,
//    date-times, keys and their order are as documented.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "check.hpp"
#include "json/buffer.hpp"
#include "json/document.hpp"
#include "structs/book.hpp"

using namespace tbx;

namespace {

// ---------------------------------------------------------------------------------------------
// A strict JSON parser that keeps key order and number texts.

struct J {
  enum Type { Null, False, True, Num, Str, Arr, Obj } t = Null;
  std::string s;  // decoded string, or the number's text
  std::vector<J> a;                // array items, or object values
  std::vector<std::string> keys;   // object keys, in order (values in `a`)
};

class Parser {
 public:
  explicit Parser(std::string_view in) : in_(in) {}
  bool parse(J& out) {
    ws();
    if (!value(out, 0)) return false;
    ws();
    return i_ == in_.size();
  }

 private:
  bool value(J& v, int depth) {
    if (depth > 64 || i_ >= in_.size()) return false;
    const char c = in_[i_];
    if (c == '{') return object(v, depth);
    if (c == '[') return array(v, depth);
    if (c == '"') {
      v.t = J::Str;
      return string(v.s);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      v.t = J::Num;
      return number(v.s);
    }
    if (literal("null")) return v.t = J::Null, true;
    if (literal("true")) return v.t = J::True, true;
    if (literal("false")) return v.t = J::False, true;
    return false;
  }
  bool object(J& v, int depth) {
    v.t = J::Obj;
    ++i_;
    ws();
    if (peek('}')) return ++i_, true;
    for (;;) {
      ws();
      std::string key;
      if (!peek('"') || !string(key)) return false;
      for (const std::string& k : v.keys)
        if (k == key) return false;  // the writer never repeats a key
      ws();
      if (!peek(':')) return false;
      ++i_;
      ws();
      J item;
      if (!value(item, depth + 1)) return false;
      v.keys.push_back(std::move(key));
      v.a.push_back(std::move(item));
      ws();
      if (peek(',')) { ++i_; continue; }
      if (peek('}')) return ++i_, true;
      return false;
    }
  }
  bool array(J& v, int depth) {
    v.t = J::Arr;
    ++i_;
    ws();
    if (peek(']')) return ++i_, true;
    for (;;) {
      ws();
      J item;
      if (!value(item, depth + 1)) return false;
      v.a.push_back(std::move(item));
      ws();
      if (peek(',')) { ++i_; continue; }
      if (peek(']')) return ++i_, true;
      return false;
    }
  }
  bool string(std::string& out) {
    ++i_;  // the opening quote
    while (i_ < in_.size()) {
      const auto c = static_cast<unsigned char>(in_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;  // control characters must be escaped
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= in_.size()) return false;
      const char e = in_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          char32_t cp;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            char32_t lo;
            if (!(i_ + 1 < in_.size() && in_[i_] == '\\' && in_[i_ + 1] == 'u')) return false;
            i_ += 2;
            if (!hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          fuzz::append_utf8(out, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool hex4(char32_t& cp) {
    if (i_ + 4 > in_.size()) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = in_[i_++];
      cp <<= 4;
      if (h >= '0' && h <= '9') cp |= static_cast<char32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') cp |= static_cast<char32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') cp |= static_cast<char32_t>(h - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool number(std::string& out) {
    const size_t start = i_;
    if (peek('-')) ++i_;
    if (peek('0')) ++i_;
    else if (!digits()) return false;
    if (peek('.')) {
      ++i_;
      if (!digits()) return false;
    }
    if (peek('e') || peek('E')) {
      ++i_;
      if (peek('+') || peek('-')) ++i_;
      if (!digits()) return false;
    }
    out.assign(in_.substr(start, i_ - start));
    return true;
  }
  bool digits() {
    const size_t s = i_;
    while (i_ < in_.size() && in_[i_] >= '0' && in_[i_] <= '9') ++i_;
    return i_ > s;
  }
  bool literal(std::string_view w) {
    if (in_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool peek(char c) const { return i_ < in_.size() && in_[i_] == c; }
  void ws() {
    while (i_ < in_.size() && (in_[i_] == ' ' || in_[i_] == '\t' || in_[i_] == '\n' || in_[i_] == '\r'))
      ++i_;
  }

  std::string_view in_;
  size_t i_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Building the book

std::string utf8_text(FuzzedDataProvider& in, size_t max_chars) {
  std::string out;
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, max_chars);
  for (size_t k = 0; k < n && in.remaining_bytes() > 0; ++k) {
    const uint8_t sel = in.ConsumeIntegral<uint8_t>();
    char32_t cp;
    if (sel < 128) cp = sel;                                              // ASCII, controls too
    else if (sel < 160) cp = "\"\\/\b\f\n\r\t\x7f"[sel % 9];              // the escape cases
    else if (sel < 200) cp = 0x80 + in.ConsumeIntegralInRange<char32_t>(0, 0x77F);
    else if (sel < 240) cp = in.ConsumeIntegralInRange<char32_t>(0x800, 0xFFFF);
    else cp = in.ConsumeIntegralInRange<char32_t>(0x10000, 0x10FFFF);
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a Python str's UTF-8 has no surrogates
    fuzz::append_utf8(out, cp);
  }
  return out;
}

// A cell text: free text, or one shaped like a number, a date-time or a boolean.
std::string cell_text(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.17g", in.ConsumeFloatingPoint<double>());
      return buf;
    }
    case 1: return std::to_string(in.ConsumeIntegral<int64_t>() >> in.ConsumeIntegralInRange(0, 63));
    case 2: {
      char buf[96];
      std::snprintf(buf, sizeof buf, "%d-%d-%d %d:%d:%d", in.ConsumeIntegral<int32_t>(),
                    in.ConsumeIntegralInRange(1, 12), in.ConsumeIntegralInRange(1, 31),
                    in.ConsumeIntegralInRange(0, 23), in.ConsumeIntegralInRange(0, 59),
                    in.ConsumeIntegralInRange(0, 60));
      return buf;
    }
    case 3: return in.ConsumeBool() ? "TRUE" : "false";
    default: return utf8_text(in, 24);
  }
}

double any_double(FuzzedDataProvider& in) {
  uint64_t bits = in.ConsumeIntegral<uint64_t>();
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

DateTime any_datetime(FuzzedDataProvider& in) {
  DateTime d{};
  d.year = in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 9999) : in.ConsumeIntegral<int32_t>();
  d.month = in.ConsumeIntegralInRange<uint8_t>(1, 12);
  d.day = in.ConsumeIntegralInRange<uint8_t>(1, 28);
  d.hour = in.ConsumeIntegralInRange<uint8_t>(0, 23);
  d.minute = in.ConsumeIntegralInRange<uint8_t>(0, 59);
  d.second = in.ConsumeIntegralInRange<uint8_t>(0, 59);
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: d.nanos = 0; break;
    case 1: d.nanos = in.ConsumeIntegralInRange<uint32_t>(0, 999'999) * 1000u; break;
    case 2: d.nanos = in.ConsumeIntegralInRange<uint32_t>(0, 999'999'999); break;
    default:
      d.second = 59;  // a leap second
      d.nanos = 1'000'000'000u;
  }
  return d;
}

void build(FuzzedDataProvider& in, Book& book) {
  const int sheets = in.ConsumeIntegralInRange(1, 3);
  for (int s = 0; s < sheets; ++s) {
    const char* states[] = {"visible", "hidden", "veryHidden"};
    const std::string state =
        in.ConsumeBool() ? states[in.ConsumeIntegralInRange(0, 2)] : utf8_text(in, 8);
    SheetHandle sheet = book.add_sheet(utf8_text(in, 16), state);
    const int ops = in.ConsumeIntegralInRange(0, 40);
    for (int k = 0; k < ops && in.remaining_bytes() > 0; ++k) {
      const uint32_t r = in.ConsumeIntegralInRange<uint32_t>(1, in.ConsumeBool() ? 12 : 1048576);
      const uint16_t c = in.ConsumeIntegralInRange<uint16_t>(1, in.ConsumeBool() ? 6 : 16384);
      auto with_cell = [&](auto&& f) {
        CellHandle h = sheet->cell(r, c, std::nullopt);
        std::unique_lock l(sheet->lock());
        UniqueGuard g(h->lock());
        f(*h);
      };
      switch (in.ConsumeIntegralInRange(0, 16)) {
        case 0: case 1: case 2: sheet->cell(r, c, cell_text(in)); break;
        case 3: sheet->cell(r, c, std::nullopt); break;
        case 4: { const double v = any_double(in); with_cell([&](Cell& x) { x.set_number(v); }); break; }
        case 5: { const int32_t v = in.ConsumeIntegral<int32_t>(); with_cell([&](Cell& x) { x.set_integer(v); }); break; }
        case 6: { const bool v = in.ConsumeBool(); with_cell([&](Cell& x) { x.set_bool(v); }); break; }
        case 7: { const DateTime v = any_datetime(in); with_cell([&](Cell& x) { x.set_datetime(v); }); break; }
        case 8: { const std::string v = utf8_text(in, 20); with_cell([&](Cell& x) { x.set_formula(v); }); break; }
        case 9: { const std::string v = utf8_text(in, 8); with_cell([&](Cell& x) { x.set_style(v); }); break; }
        case 10: { const std::string v = utf8_text(in, 12); with_cell([&](Cell& x) { x.set_hidden_value(v); }); break; }
        case 11: { const std::string v = utf8_text(in, 6); with_cell([&](Cell& x) { x.set_data_type_text(v); }); break; }
        case 12: {
          const std::string text = utf8_text(in, 20);
          sheet->add_comment(r, c, text, utf8_text(in, 10));
          break;
        }
        case 13:
          sheet->add_merge_cells({r, r + in.ConsumeIntegralInRange<uint32_t>(0, 5), c,
                                  static_cast<uint16_t>(c + in.ConsumeIntegralInRange(0, 5))});
          break;
        case 14:
          switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: sheet->set_height_row(r, any_double(in)); break;
            case 1: sheet->set_hidden_row(r, in.ConsumeBool()); break;
            case 2: sheet->set_width_column(c, any_double(in)); break;
            default: sheet->set_hidden_column(c, in.ConsumeBool()); break;
          }
          break;
        case 15:
          if (in.ConsumeBool()) sheet->delete_rows(r, in.ConsumeIntegralInRange<uint32_t>(0, 4));
          else sheet->delete_cols(c, in.ConsumeIntegralInRange<uint16_t>(0, 4));
          break;
        default: sheet = book.copy_sheet(*sheet); break;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Comparing the document with the records

std::string_view g_doc;  // for messages

void check(bool ok, const char* what) {
  if (!ok) fuzz::fail(what, "(the book built from this input)", g_doc.substr(0, 2000));
}

const J* field(const J& obj, std::string_view key) {
  for (size_t k = 0; k < obj.keys.size(); ++k)
    if (obj.keys[k] == key) return &obj.a[k];
  return nullptr;
}

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void check_number(const J* v, double want, const char* what) {
  check(v != nullptr, what);
  if (!std::isfinite(want)) {
    check(v->t == J::Null, what);
    return;
  }
  check(v->t == J::Num && same_double(std::strtod(v->s.c_str(), nullptr), want), what);
}

void check_int(const J* v, long long want, const char* what) {
  check(v && v->t == J::Num && v->s == std::to_string(want), what);
}

void check_str(const J* v, std::string_view want, const char* what) {
  check(v && v->t == J::Str && v->s == want, what);
}

void check_keys(const J& obj, std::initializer_list<const char*> keys, const char* what) {
  check(obj.t == J::Obj && obj.keys.size() == keys.size(), what);
  size_t k = 0;
  for (const char* key : keys) check(obj.keys[k++] == key, what);
}

void check_cell(const J& j, const Cell& c) {
  SharedGuard g(c.lock());
  std::vector<const char*> keys = {"row", "column", "value"};
  if (c.formula()) keys.push_back("formula");
  keys.push_back("data_type");
  if (c.style()) keys.push_back("style_id");
  if (c.hidden_value()) keys.push_back("hidden_value");
  check(j.t == J::Obj && j.keys.size() == keys.size(), "cell keys");
  for (size_t k = 0; k < keys.size(); ++k) check(j.keys[k] == keys[k], "cell key order");
  check_int(field(j, "row"), c.row(), "cell row");
  check_int(field(j, "column"), c.column(), "cell column");
  const J* v = field(j, "value");
  switch (c.kind()) {
    case Kind::Empty: check(v->t == J::Null, "empty value is null"); break;
    case Kind::Text: check_str(v, c.text(), "text value round-trips"); break;
    case Kind::Number: check_number(v, c.number(), "number value"); break;
    case Kind::Integer: check_int(v, c.integer(), "integer value"); break;
    case Kind::Bool: check(v->t == (c.boolean() ? J::True : J::False), "bool value"); break;
    case Kind::DateTime: {
      char buf[64];
      const std::string_view want(buf, format_datetime_json(c.datetime(), buf));
      check_str(v, want, "date-time value");
      check(want.find('T') != std::string_view::npos, "date-time JSON has T");
      break;
    }
  }
  if (c.formula()) check_str(field(j, "formula"), *c.formula(), "formula round-trips");
  check_str(field(j, "data_type"), c.data_type_text(), "data_type round-trips");
  if (c.style()) check_str(field(j, "style_id"), *c.style(), "style round-trips");
  if (c.hidden_value())
    check_str(field(j, "hidden_value"), *c.hidden_value(), "hidden value round-trips");
}

void check_sheet(const J& j, Sheet& sheet) {
  std::shared_lock l(sheet.lock());
  check(j.t == J::Obj, "sheet is an object");
  if (sheet.merges_locked().empty())
    check_keys(j, {"name", "sheet_state", "cells", "row_dimensions", "column_dimensions", "comments"},
               "sheet keys");
  else
    check_keys(j, {"name", "sheet_state", "merge_cells", "cells", "row_dimensions",
                   "column_dimensions", "comments"},
               "sheet keys");
  check_str(field(j, "name"), sheet.name_locked(), "sheet name round-trips");
  check_str(field(j, "sheet_state"), sheet.state_locked(), "sheet state round-trips");
  if (const J* m = field(j, "merge_cells")) {
    const auto& merges = sheet.merges_locked();
    check(m->t == J::Arr && m->a.size() == merges.size(), "merge count");
    for (size_t k = 0; k < merges.size(); ++k) {
      const J& e = m->a[k];
      check(e.t == J::Arr && e.a.size() == 4, "merge shape");
      check_int(&e.a[0], merges[k].start_row, "merge start row");
      check_int(&e.a[1], merges[k].end_row, "merge end row");
      check_int(&e.a[2], merges[k].start_col, "merge start col");
      check_int(&e.a[3], merges[k].end_col, "merge end col");
    }
  }
  const J* cells = field(j, "cells");
  SortedCells sorted = sheet.sorted_locked();
  check(cells->t == J::Arr && cells->a.size() == sorted->size(), "cell count");
  for (size_t k = 0; k < sorted->size(); ++k) check_cell(cells->a[k], *(*sorted)[k]);

  const J* rd = field(j, "row_dimensions");
  if (sheet.rows_locked().empty()) check_keys(*rd, {"default_height"}, "row dimension keys");
  else check_keys(*rd, {"rows", "default_height"}, "row dimension keys");
  check_number(field(*rd, "default_height"), sheet.default_height(), "default height");
  if (const J* rows = field(*rd, "rows")) {
    check(rows->keys.size() == sheet.rows_locked().size(), "row dimension count");
    size_t k = 0;
    for (const auto& [row, d] : sheet.rows_locked()) {
      const std::string& key = rows->keys[k];
      const J& e = rows->a[k++];
      check(key == std::to_string(row), "row dimension key");
      check_keys(e, {"row_num", "height", "hidden"}, "row dimension fields");
      check_int(field(e, "row_num"), d.row_num, "row_num");
      check_number(field(e, "height"), d.height, "height");
      check(field(e, "hidden")->t == (d.hidden ? J::True : J::False), "row hidden");
    }
  }
  const J* cd = field(j, "column_dimensions");
  if (sheet.columns_locked().empty()) check_keys(*cd, {"default_width"}, "column dimension keys");
  else check_keys(*cd, {"columns", "default_width"}, "column dimension keys");
  check_number(field(*cd, "default_width"), sheet.default_width(), "default width");
  if (const J* cols = field(*cd, "columns")) {
    check(cols->keys.size() == sheet.columns_locked().size(), "column dimension count");
    size_t k = 0;
    for (const auto& [col, d] : sheet.columns_locked()) {
      const std::string& key = cols->keys[k];
      const J& e = cols->a[k++];
      check(key == std::to_string(col), "column dimension key");
      check_keys(e, {"col_num", "width", "hidden"}, "column dimension fields");
      check_int(field(e, "col_num"), d.col_num, "col_num");
      check_number(field(e, "width"), d.width, "width");
      check(field(e, "hidden")->t == (d.hidden ? J::True : J::False), "column hidden");
    }
  }
  const J* comments = field(j, "comments");
  const auto& cs = sheet.comments_locked();
  check(comments->t == J::Arr && comments->a.size() == cs.size(), "comment count");
  for (size_t k = 0; k < cs.size(); ++k) {
    const J& e = comments->a[k];
    SharedGuard g(cs[k]->lock());
    check_keys(e, {"row", "column", "author", "text"}, "comment keys");
    check_int(field(e, "row"), cs[k]->row(), "comment row");
    check_int(field(e, "column"), cs[k]->column(), "comment column");
    check_str(field(e, "author"), cs[k]->author(), "comment author round-trips");
    check_str(field(e, "text"), cs[k]->text(), "comment text round-trips");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const size_t initial = in.ConsumeIntegralInRange<size_t>(0, 300);
  auto book = BookHandle::adopt(new Book);
  build(in, *book);

  json::Buffer out(initial);
  std::string error;
  check(json::write_book(*book, out, error), "write_book succeeds");
  const std::string_view doc = out.view();
  g_doc = doc;

  check(fuzz::valid_utf8(doc), "the document is well-formed UTF-8");
  bool ascii = true;
  for (unsigned char c : doc) ascii &= c < 0x80;
  check(out.ascii() == ascii, "the pure-ASCII flag matches the bytes");

  J root;
  check(Parser(doc).parse(root), "the document is valid JSON");
  check_keys(root, {"sheets"}, "document keys");
  const J& sheets = root.a[0];
  const std::vector<SheetHandle> records = book->sheets();
  check(sheets.t == J::Arr && sheets.a.size() == records.size(), "sheet count");
  for (size_t k = 0; k < records.size(); ++k) check_sheet(sheets.a[k], *records[k]);
  return 0;
}
