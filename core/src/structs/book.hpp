#pragma once
// A workbook: an ordered list of shared sheets that only grows.
#include <cstdint>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "structs/sheet.hpp"

namespace tbx {

class Book : public Shared<Book> {
 public:
  SheetHandle add_sheet(std::string_view name, std::string_view state);
  // Appends a copy of `src` (of this or any other book) named "Sheet N", N = count + 1.
  SheetHandle copy_sheet(const Sheet& src);
  SheetHandle sheet_at(int32_t idx) const;
  SheetHandle sheet_named(std::string_view name) const;
  std::vector<SheetHandle> sheets() const;
  size_t count() const;

  std::shared_mutex& lock() const noexcept { return lock_; }
  const std::vector<SheetHandle>& sheets_locked() const noexcept { return sheets_; }

 private:
  mutable std::shared_mutex lock_;
  std::vector<SheetHandle> sheets_;
};

using BookHandle = Handle<Book>;

}  // namespace tbx
