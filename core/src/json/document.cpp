#include "json/document.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <pthread.h>

#include <mutex>
#include <new>
#include <memory>
#include <shared_mutex>
#include <span>
#include <vector>

#include "search/pool.hpp"

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

template <size_t N>
char* lit(char* p, const char (&s)[N]) {
  std::memcpy(p, s, N - 1);
  return p + N - 1;
}

// ,"data_type":"<code>" for the codes values and operations set, written without escaping.
constexpr std::string_view kTypeFields[] = {
    ",\"data_type\":\"General\"", ",\"data_type\":\"s\"", ",\"data_type\":\"n\"",
    ",\"data_type\":\"b\"",       ",\"data_type\":\"d\"", ",\"data_type\":\"f\"",
};

// One cell object. Fixed parts and numbers go straight into reserved room; strings go through
// the escaping writer.
void put_cell(Buffer& out, const Cell& c) {
  const Kind kind = c.kind();
  char* p = out.room(64 + kMaxNumberText);
  p = lit(p, "{\"row\":");
  p = std::to_chars(p, p + 10, c.row()).ptr;
  p = lit(p, ",\"column\":");
  p = std::to_chars(p, p + 5, c.column()).ptr;
  p = lit(p, ",\"value\":");
  switch (kind) {
    case Kind::Empty: p = lit(p, "null"); break;
    case Kind::Text:
      // A short text without escapes (most of them) goes into the room already reserved.
      if (c.text().size() <= 256) {
        if (char* end = out.put_plain_string_at(p, c.text())) p = end;
        else {
          out.advance_to(p);
          out.put_string(c.text());
          p = out.room(64 + kMaxNumberText);
        }
      } else {
        out.advance_to(p);
        out.put_string(c.text());
        p = out.room(64 + kMaxNumberText);
      }
      break;
    case Kind::Number:
      if (std::isfinite(c.number())) p += format_number_json(c.number(), p);
      else p = lit(p, "null");
      break;
    case Kind::Integer: p = std::to_chars(p, p + 11, c.integer()).ptr; break;
    case Kind::Bool: p = c.boolean() ? lit(p, "true") : lit(p, "false"); break;
    case Kind::DateTime:
      *p++ = '"';
      p += format_datetime_json(c.datetime(), p);  // digits, '-', ':', 'T', '.', '+': no escapes
      *p++ = '"';
      break;
  }
  const DataType d = c.data_type();
  if (!c.formula() && !c.style() && !c.hidden_value() && d != DataType::Other) {
    // The common cell: the data type and the closing brace into the same room.
    const std::string_view tail = kTypeFields[static_cast<int>(d)];
    std::memcpy(p, tail.data(), tail.size());
    p += tail.size();
    *p++ = '}';
    out.advance_to(p);
    return;
  }
  out.advance_to(p);
  if (const std::string* f = c.formula()) {
    out.put(",\"formula\":");
    out.put_string(*f);
  }
  if (d != DataType::Other) {
    out.put(kTypeFields[static_cast<int>(d)]);
  } else {
    out.put(",\"data_type\":");
    out.put_string(c.data_type_text());
  }
  if (const std::string* st = c.style()) {
    out.put(",\"style_id\":");
    out.put_string(*st);
  }
  if (const std::string* h = c.hidden_value()) {
    out.put(",\"hidden_value\":");
    out.put_string(*h);
  }
  out.put('}');
}

// Buffers for the stretches of large sheets, kept between documents up to a bound: fresh
// memory costs a page fault per 4 KiB on its first touch, as much as writing the bytes does.
class PartBuffers {
 public:
  std::unique_ptr<Buffer> take(size_t size_hint) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (!free_.empty()) {
        std::unique_ptr<Buffer> b = std::move(free_.back());
        free_.pop_back();
        held_ -= b->capacity();
        b->clear();
        b->reserve_more(size_hint);
        return b;
      }
    }
    return std::make_unique<Buffer>(size_hint);
  }
  void give_back(std::unique_ptr<Buffer> b) {
    std::lock_guard<std::mutex> g(mu_);
    if (held_ + b->capacity() > kMaxHeld) return;  // freed
    held_ += b->capacity();
    free_.push_back(std::move(b));
  }
  // In a child after fork(): another thread may have held the lock.
  void reset_lock() noexcept { new (&mu_) std::mutex(); }

 private:
  static constexpr size_t kMaxHeld = size_t{64} << 20;
  std::mutex mu_;
  std::vector<std::unique_ptr<Buffer>> free_;
  size_t held_ = 0;
};

PartBuffers& part_buffers() {
  static PartBuffers* p = [] {
    auto* b = new PartBuffers;  // lives for the process
    pthread_atfork(nullptr, nullptr, [] { part_buffers().reset_lock(); });
    return b;
  }();
  return *p;
}

// The cells of a sheet, comma-separated. A large sheet is written in stretches on the worker
// pool, each stretch into a buffer of its own, and the stretches are then copied into the
// document in order, also in parallel (the copy is also where the document's fresh pages are
// first touched). The workers read cells as the calling thread would: without their locks,
// while the calling thread holds the interpreter lock and waits.
// Cells [b, e) of `cells`, each after a comma but the very first.
void put_cell_range(Buffer& out, std::span<Cell* const> cells, size_t b, size_t e) {
  for (size_t i = b; i < e; ++i) {
    if (i) out.put(',');
    put_cell(out, *cells[i]);
  }
}

void put_cells(Buffer& out, std::span<Cell* const> cells) {
  constexpr double kNsPerCell = 30.0;
  const size_t n = cells.size();
  const size_t chunks = pool::detail::plan_chunks(n, static_cast<double>(n) * kNsPerCell, false);
  if (chunks <= 1) {
    put_cell_range(out, cells, 0, n);
    return;
  }
  std::vector<std::unique_ptr<Buffer>> parts(chunks);
  for (size_t c = 0; c < chunks; ++c) {
    const auto [b, e] = pool::detail::chunk_range(n, chunks, c);
    parts[c] = part_buffers().take((e - b) * 64 + 64);
  }
  auto write = [&](size_t c) {
    const auto [b, e] = pool::detail::chunk_range(n, chunks, c);
    put_cell_range(*parts[c], cells, b, e);
  };
  pool::detail::run(chunks, write);
  std::vector<size_t> offset(chunks + 1, 0);
  for (size_t c = 0; c < chunks; ++c) offset[c + 1] = offset[c] + parts[c]->view().size();
  char* dst = out.room(offset[chunks]);
  for (size_t c = 0; c < chunks; ++c) out.note_copied(*parts[c]);
  auto copy = [&](size_t c) {
    const std::string_view bytes = parts[c]->view();
    std::memcpy(dst + offset[c], bytes.data(), bytes.size());
  };
  pool::detail::run(chunks, copy);
  out.commit(offset[chunks]);
  for (auto& part : parts) part_buffers().give_back(std::move(part));
}

// "<object>":{["<members>":{"<n>":{"<num>":n,"<size>":x,"hidden":b},...},]"<default>":x}: the
// row and the column dimensions, whose records differ only in their names.
template <class Map, class Fields>
void put_dimensions(Buffer& out, std::string_view object, std::string_view members,
                    std::string_view num, std::string_view size, const Map& records,
                    std::string_view default_key, double default_size, Fields fields) {
  out.put('"');
  out.put(object);
  out.put("\":{");
  if (!records.empty()) {
    out.put('"');
    out.put(members);
    out.put("\":{");
    bool first = true;
    for (const auto& [key, d] : records) {
      if (!first) out.put(',');
      first = false;
      const auto [number, value] = fields(d);
      out.put('"');
      put_int(out, key);
      out.put("\":{\"");
      out.put(num);
      out.put("\":");
      put_int(out, number);
      out.put(",\"");
      out.put(size);
      out.put("\":");
      put_number(out, value);
      out.put(d.hidden ? ",\"hidden\":true}" : ",\"hidden\":false}");
    }
    out.put("},");
  }
  out.put('"');
  out.put(default_key);
  out.put("\":");
  put_number(out, default_size);
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
    // Cells are read without their locks: a write-side cell is written only by Python code,
    // which cannot run while this thread holds the interpreter lock, as serialisation does.
    put_cells(out, *cells);
  }
  out.put("],");
  put_dimensions(out, "row_dimensions", "rows", "row_num", "height", sheet.rows_locked(),
                 "default_height", sheet.default_height(),
                 [](const RowDimension& d) { return std::pair{d.row_num, d.height}; });
  out.put(',');
  put_dimensions(out, "column_dimensions", "columns", "col_num", "width", sheet.columns_locked(),
                 "default_width", sheet.default_width(),
                 [](const ColumnDimension& d) { return std::pair{d.col_num, d.width}; });
  out.put(",\"comments\":[");
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

size_t estimated_size(const Book& book) {
  std::shared_lock l(book.lock());
  size_t n = 16;
  for (const SheetHandle& s : book.sheets_locked()) {
    std::shared_lock sl(s->lock());
    // About 55 bytes for a cell of a short text or number; merges, dimensions and comments are
    // few. Growth covers the rest.
    n += 256 + s->name_locked().size() + s->table_locked().size() * 64 +
         (s->merges_locked().size() + s->rows_locked().size() + s->columns_locked().size()) * 64 +
         s->comments_locked().size() * 128;
  }
  return n;
}

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
