#pragma once
// The cell record: coordinate, typed value, formula, data type code, style and hidden value.
// Shared by handles (a sheet's cell table, Python objects, search results), guarded by its own
// reader-writer lock, and 40 bytes long: a report holds millions of them.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "structs/handle.hpp"
#include "structs/rwlock.hpp"
#include "structs/text_box.hpp"
#include "structs/value.hpp"
#include "utils/coords.hpp"

namespace tbx {

// The data type code a cell carries. The first six are the codes values and operations set;
// any other text (snapshots copy theirs verbatim) is kept in the cell's extras.
enum class DataType : uint8_t { General, S, N, B, D, F, Other };

DataType data_type_of(Kind k) noexcept;
std::string_view data_type_text(DataType d) noexcept;
// The code of a known data type text ("General", "s", "n", "b", "d", "f"), or none. Decoded by
// length and bytes, inline: it runs once per snapshot cell.
inline std::optional<DataType> data_type_code(std::string_view d) noexcept {
  if (d.size() == 1) {
    switch (d[0]) {
      case 's': return DataType::S;
      case 'n': return DataType::N;
      case 'b': return DataType::B;
      case 'd': return DataType::D;
      case 'f': return DataType::F;
      default: return std::nullopt;
    }
  }
  if (d.size() == 7 && std::memcmp(d.data(), "General", 7) == 0) return DataType::General;
  return std::nullopt;
}

// The fields few cells carry, allocated on first use.
struct CellExtras {
  bool has_formula = false, has_style = false, has_hidden_value = false;
  std::string formula, style, hidden_value, data_type;
};

class Cell {
 public:
  // A new record (count 1) holding Empty with data type General.
  static Cell* create(uint32_t row, uint16_t col) noexcept;
  // n new records (count 1, Empty, data type General, at row 0 and column 0, for move_to()),
  // made with one call to the allocator.
  static void create_many(size_t n, Cell** out) noexcept;
  // A new record holding the value read from `text` (value-from-text rule).
  static Cell* create_from_text(uint32_t row, uint16_t col, std::string_view text) noexcept;
  // A new record with the same fields as this one, at another coordinate (count 1).
  Cell* clone_at(uint32_t row, uint16_t col) const noexcept;

  void retain() const noexcept { rc_.retain(); }
  void release() const noexcept;

  RwLock& lock() const noexcept { return lock_; }

  // --- Reads: the caller holds the lock (shared or exclusive). ---
  uint32_t row() const noexcept { return row_; }
  uint16_t column() const noexcept { return col_; }
  Coordinate coordinate() const noexcept { return {row_, col_}; }
  Kind kind() const noexcept { return kind_; }
  DataType data_type() const noexcept { return static_cast<DataType>(bits_ & kTypeMask); }
  std::string_view data_type_text() const noexcept;
  double number() const noexcept { return v_.number; }
  int32_t integer() const noexcept { return v_.integer; }
  bool boolean() const noexcept { return v_.boolean; }
  const DateTime& datetime() const noexcept { return v_.datetime; }
  std::string_view text() const noexcept { return v_.text.view(); }
  const std::string* formula() const noexcept {
    return extras_ && extras_->has_formula ? &extras_->formula : nullptr;
  }
  const std::string* style() const noexcept {
    return extras_ && extras_->has_style ? &extras_->style : nullptr;
  }
  const std::string* hidden_value() const noexcept {
    return extras_ && extras_->has_hidden_value ? &extras_->hidden_value : nullptr;
  }
  bool is_formula() const noexcept { return formula() && data_type() == DataType::F; }

  // The display text of the value: a view of the text itself for Text, otherwise formatted
  // into buf (at least kMaxNumberText bytes). Valid while the lock is held.
  std::string_view display(char* buf) const noexcept;

  // --- Writes: the caller holds the lock exclusively (or the record is not yet shared). ---
  void set_from_text(std::string_view text) noexcept;    // value rule; formula cleared
  void set_number(double v) noexcept;
  void set_integer(int32_t v) noexcept;
  void set_bool(bool v) noexcept;
  void set_datetime(const DateTime& v) noexcept;
  void set_parsed(const ParsedValue& v, std::string_view text) noexcept;  // no formula change
  void set_formula(std::string_view f) noexcept;          // data type becomes "f"
  void set_style(std::string_view s) noexcept;
  void set_hidden_value(std::string_view s) noexcept;
  void set_data_type(DataType d) noexcept;
  void set_data_type_text(std::string_view d) noexcept;   // any text; the known codes compactly
  void move_to(uint32_t row, uint16_t col) noexcept { row_ = row; col_ = col; }

  // Set when a sheet copy made a second cell table file this record: such a record must not
  // change its coordinate in place (the other table files it under the old one).
  bool filed_twice() const noexcept { return bits_ & kFiledTwice; }
  void mark_filed_twice() noexcept { bits_ |= kFiledTwice; }

  // Records alive in the process (for leak checks).
  static size_t live() noexcept;

 private:
  Cell(uint32_t row, uint16_t col) noexcept;
  ~Cell();
  void clear_value() noexcept;
  void set_kind_code(Kind k) noexcept;
  template <class Assign>
  void set_typed(Kind k, Assign assign) noexcept;
  void clear_formula() noexcept {
    if (extras_) extras_->has_formula = false;
  }
  CellExtras& extras() noexcept;

  static constexpr uint8_t kTypeMask = 0x07;
  static constexpr uint8_t kFiledTwice = 0x08;

  RefCount rc_;
  mutable RwLock lock_;
  uint32_t row_;
  uint16_t col_;
  Kind kind_ = Kind::Empty;
  uint8_t bits_ = 0;
  union Payload {
    double number;
    int32_t integer;
    bool boolean;
    DateTime datetime;
    TextBox text;
    Payload() : number(0) {}
    ~Payload() {}
  } v_;
  CellExtras* extras_ = nullptr;
};

static_assert(sizeof(Cell) == 40, "a cell record is meant to stay at 40 bytes");

using CellHandle = Handle<Cell>;

}  // namespace tbx
