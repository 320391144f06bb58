#include "structs/book.hpp"

#include <mutex>
#include <string>

namespace tbx {

SheetHandle Book::add_sheet(std::string_view name, std::string_view state) {
  auto s = SheetHandle::adopt(new Sheet(name, state));
  std::unique_lock l(lock_);
  sheets_.push_back(s);
  return s;
}

SheetHandle Book::copy_sheet(const Sheet& src) {
  std::unique_lock l(lock_);
  SheetHandle copy = src.copy();
  {
    std::unique_lock w(copy->lock());
    copy->set_name_locked("Sheet " + std::to_string(sheets_.size() + 1));
  }
  sheets_.push_back(copy);
  return copy;
}

SheetHandle Book::sheet_at(int32_t idx) const {
  std::shared_lock l(lock_);
  if (idx < 0 || static_cast<size_t>(idx) >= sheets_.size()) return {};
  return sheets_[static_cast<size_t>(idx)];
}

SheetHandle Book::sheet_named(std::string_view name) const {
  std::shared_lock l(lock_);
  for (const SheetHandle& s : sheets_) {
    std::shared_lock sl(s->lock());
    if (s->name_locked() == name) return s;
  }
  return {};
}

std::vector<SheetHandle> Book::sheets() const {
  std::shared_lock l(lock_);
  return sheets_;
}

size_t Book::count() const {
  std::shared_lock l(lock_);
  return sheets_.size();
}

}  // namespace tbx
