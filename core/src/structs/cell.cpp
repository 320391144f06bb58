#include "structs/cell.hpp"

#include <pthread.h>

#include <new>

#include "utils/slab.hpp"

namespace tbx {
namespace {

SlabPool& cell_pool() noexcept {
  static SlabPool* pool = [] {
    auto* p = new SlabPool(sizeof(Cell));  // lives for the process
    pthread_atfork(nullptr, nullptr, [] { cell_pool().after_fork_in_child(); });
    return p;
  }();
  return *pool;
}

constexpr std::string_view kTypeTexts[] = {"General", "s", "n", "b", "d", "f"};

}  // namespace

DataType data_type_of(Kind k) noexcept {
  switch (k) {
    case Kind::Empty: return DataType::General;
    case Kind::Text: return DataType::S;
    case Kind::Number:
    case Kind::Integer: return DataType::N;
    case Kind::Bool: return DataType::B;
    case Kind::DateTime: return DataType::D;
  }
  return DataType::General;
}

std::string_view data_type_text(DataType d) noexcept {
  return d == DataType::Other ? std::string_view() : kTypeTexts[static_cast<int>(d)];
}

size_t Cell::live() noexcept { return cell_pool().live(); }

Cell::Cell(uint32_t row, uint16_t col) noexcept : row_(row), col_(col) {}

Cell::~Cell() {
  clear_value();
  delete extras_;
}

Cell* Cell::create(uint32_t row, uint16_t col) noexcept {
  return new (cell_pool().allocate()) Cell(row, col);
}

void Cell::create_many(size_t n, Cell** out) noexcept {
  void** blocks = reinterpret_cast<void**>(out);
  cell_pool().allocate_many(blocks, n);
  for (size_t i = 0; i < n; ++i) out[i] = new (blocks[i]) Cell(0, 0);
}

Cell* Cell::create_from_text(uint32_t row, uint16_t col, std::string_view text) noexcept {
  Cell* c = create(row, col);
  c->set_from_text(text);
  return c;
}

void Cell::release() const noexcept {
  if (rc_.drop()) {
    Cell* self = const_cast<Cell*>(this);
    self->~Cell();
    cell_pool().deallocate(self);
  }
}

Cell* Cell::clone_at(uint32_t row, uint16_t col) const noexcept {
  Cell* c = create(row, col);
  c->kind_ = kind_;
  c->bits_ = bits_ & kTypeMask;
  if (kind_ == Kind::Text) new (&c->v_.text) TextBox(v_.text);
  else std::memcpy(static_cast<void*>(&c->v_), &v_, sizeof v_);
  if (extras_) c->extras_ = new CellExtras(*extras_);
  return c;
}

std::string_view Cell::data_type_text() const noexcept {
  const DataType d = data_type();
  return d == DataType::Other ? std::string_view(extras_->data_type) : tbx::data_type_text(d);
}

std::string_view Cell::display(char* buf) const noexcept {
  switch (kind_) {
    case Kind::Empty: return {};
    case Kind::Text: return v_.text.view();
    case Kind::Number: return {buf, format_number_display(v_.number, buf)};
    case Kind::Integer: return {buf, format_integer(v_.integer, buf)};
    case Kind::Bool: return v_.boolean ? std::string_view("true") : std::string_view("false");
    case Kind::DateTime: return {buf, format_datetime_display(v_.datetime, buf)};
  }
  return {};
}

void Cell::clear_value() noexcept {
  if (kind_ == Kind::Text) v_.text.~TextBox();
  kind_ = Kind::Empty;
  v_.number = 0;
}

void Cell::set_kind_code(Kind k) noexcept { set_data_type(data_type_of(k)); }

CellExtras& Cell::extras() noexcept {
  if (!extras_) extras_ = new CellExtras;
  return *extras_;
}

void Cell::set_parsed(const ParsedValue& p, std::string_view text) noexcept {
  if (p.kind == Kind::Text && kind_ == Kind::Text) {
    v_.text.assign(text);
    return;
  }
  clear_value();
  switch (p.kind) {
    case Kind::Empty: break;
    case Kind::Text: new (&v_.text) TextBox(text); break;
    case Kind::Number: v_.number = p.number; break;
    case Kind::Integer: v_.integer = p.integer; break;
    case Kind::Bool: v_.boolean = p.boolean; break;
    case Kind::DateTime: v_.datetime = p.datetime; break;
  }
  kind_ = p.kind;
}

void Cell::set_from_text(std::string_view text) noexcept {
  const ParsedValue p = value_from_text(text);
  set_parsed(p, text);
  clear_formula();
  set_kind_code(p.kind);
}

// A typed value from Python: the value and its kind code; the formula is cleared.
template <class Assign>
void Cell::set_typed(Kind k, Assign assign) noexcept {
  clear_value();
  kind_ = k;
  assign(v_);
  clear_formula();
  set_kind_code(k);
}

void Cell::set_number(double v) noexcept {
  set_typed(Kind::Number, [&](Payload& p) { p.number = v; });
}

void Cell::set_integer(int32_t v) noexcept {
  set_typed(Kind::Integer, [&](Payload& p) { p.integer = v; });
}

void Cell::set_bool(bool v) noexcept {
  set_typed(Kind::Bool, [&](Payload& p) { p.boolean = v; });
}

void Cell::set_datetime(const DateTime& v) noexcept {
  set_typed(Kind::DateTime, [&](Payload& p) { p.datetime = v; });
}

void Cell::set_formula(std::string_view f) noexcept {
  CellExtras& e = extras();
  e.formula.assign(f);
  e.has_formula = true;
  set_data_type(DataType::F);
}

void Cell::set_style(std::string_view s) noexcept {
  CellExtras& e = extras();
  e.style.assign(s);
  e.has_style = true;
}

void Cell::set_hidden_value(std::string_view s) noexcept {
  CellExtras& e = extras();
  e.hidden_value.assign(s);
  e.has_hidden_value = true;
}

void Cell::set_data_type(DataType d) noexcept {
  bits_ = static_cast<uint8_t>((bits_ & ~kTypeMask) | static_cast<uint8_t>(d));
}

void Cell::set_data_type_text(std::string_view d) noexcept {
  if (const auto code = data_type_code(d)) {
    set_data_type(*code);
    return;
  }
  extras().data_type.assign(d);
  set_data_type(DataType::Other);
}

}  // namespace tbx
