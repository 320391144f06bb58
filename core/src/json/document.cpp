#include "json/document.hpp"

#include <charconv>
#include <cmath>
#include <mutex>
#include <shared_mutex>

namespace tbx::json {
namespace {

template <class I>
void put_int(Buffer& out, I v) {
  char* p = out.room(24);
  out.commit(static_cast<size_t>(std::to_chars(p, p + 24, v).ptr - p));
}

void put_number(Buffer& out, double v) {
  if (!std::isfinite(v)) {
    out.put("null");
    return;
  }
  char* p = out.room(kMaxNumberText);
  out.commit(format_number_json(v, p));
}

void put_value(Buffer& out, const Cell& c) {
  switch (c.kind()) {
    case Kind::Empty: out.put("null"); return;
    case Kind::Text: out.put_string(c.text()); return;
    case Kind::Number: put_number(out, c.number()); return;
    case Kind::Integer: put_int(out, c.integer()); return;
    case Kind::Bool: out.put(c.boolean() ? std::string_view("true") : std::string_view("false")); return;
    case Kind::DateTime: {
      char buf[64];
      const size_t n = format_datetime_json(c.datetime(), buf);
      out.put_string({buf, n});
      return;
    }
  }
}

void put_cell(Buffer& out, const Cell& c) {
  out.put("{\"row\":");
  put_int(out, c.row());
  out.put(",\"column\":");
  put_int(out, c.column());
  out.put(",\"value\":");
  put_value(out, c);
  if (const std::string* f = c.formula()) {
    out.put(",\"formula\":");
    out.put_string(*f);
  }
  out.put(",\"data_type\":");
  out.put_string(c.data_type_text());
  if (const std::string* s = c.style()) {
    out.put(",\"style_id\":");
    out.put_string(*s);
  }
  if (const std::string* h = c.hidden_value()) {
    out.put(",\"hidden_value\":");
    out.put_string(*h);
  }
  out.put('}');
}

void put_sheet(Buffer& out, const Sheet& sheet) {
  std::shared_lock l(sheet.lock());
  out.put("{\"name\":");
  out.put_string(sheet.name_locked());
  out.put(",\"sheet_state\":");
  out.put_string(sheet.state_locked());
  if (!sheet.merges_locked().empty()) {
    out.put(",\"merge_cells\":[");
    bool first = true;
    for (const MergeCell& m : sheet.merges_locked()) {
      if (!first) out.put(',');
      first = false;
      out.put('[');
      put_int(out, m.start_row);
      out.put(',');
      put_int(out, m.end_row);
      out.put(',');
      put_int(out, m.start_col);
      out.put(',');
      put_int(out, m.end_col);
      out.put(']');
    }
    out.put(']');
  }
  out.put(",\"cells\":[");
  {
    SortedCells cells = sheet.sorted_locked();
    // About 60 bytes a cell: size the buffer once instead of doubling through it.
    out.reserve_more(cells->size() * 64);
    bool first = true;
    for (const Cell* c : *cells) {
      if (!first) out.put(',');
      first = false;
      SharedGuard g(c->lock());
      put_cell(out, *c);
    }
  }
  out.put("],\"row_dimensions\":{");
  if (!sheet.rows_locked().empty()) {
    out.put("\"rows\":{");
    bool first = true;
    for (const auto& [row, d] : sheet.rows_locked()) {
      if (!first) out.put(',');
      first = false;
      out.put('"');
      put_int(out, row);
      out.put("\":{\"row_num\":");
      put_int(out, d.row_num);
      out.put(",\"height\":");
      put_number(out, d.height);
      out.put(d.hidden ? ",\"hidden\":true}" : ",\"hidden\":false}");
    }
    out.put("},");
  }
  out.put("\"default_height\":");
  put_number(out, sheet.default_height());
  out.put("},\"column_dimensions\":{");
  if (!sheet.columns_locked().empty()) {
    out.put("\"columns\":{");
    bool first = true;
    for (const auto& [col, d] : sheet.columns_locked()) {
      if (!first) out.put(',');
      first = false;
      out.put('"');
      put_int(out, col);
      out.put("\":{\"col_num\":");
      put_int(out, d.col_num);
      out.put(",\"width\":");
      put_number(out, d.width);
      out.put(d.hidden ? ",\"hidden\":true}" : ",\"hidden\":false}");
    }
    out.put("},");
  }
  out.put("\"default_width\":");
  put_number(out, sheet.default_width());
  out.put("},\"comments\":[");
  bool first = true;
  for (const Handle<Comment>& c : sheet.comments_locked()) {
    if (!first) out.put(',');
    first = false;
    SharedGuard g(c->lock());
    out.put("{\"row\":");
    put_int(out, c->row());
    out.put(",\"column\":");
    put_int(out, c->column());
    out.put(",\"author\":");
    out.put_string(c->author());
    out.put(",\"text\":");
    out.put_string(c->text());
    out.put('}');
  }
  out.put("]}");
}

}  // namespace

bool write_book(const Book& book, Buffer& out, std::string& error) {
  (void)error;  // every value kind has a JSON form; non-finite numbers are written as null
  std::shared_lock l(book.lock());
  out.put("{\"sheets\":[");
  bool first = true;
  for (const SheetHandle& s : book.sheets_locked()) {
    if (!first) out.put(',');
    first = false;
    put_sheet(out, *s);
  }
  out.put("]}");
  return true;
}

}  // namespace tbx::json
