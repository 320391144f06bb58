#pragma once
// A finder: the ordered list of snapshot sheets made from the worksheets Python code handed
// over. Never changed after it is made.
#include <shared_mutex>
#include <vector>

#include "structs/sheet.hpp"

namespace tbx {

class Finder : public Shared<Finder> {
 public:
  explicit Finder(std::vector<SheetHandle> sheets) : sheets_(std::move(sheets)) {}
  std::shared_mutex& lock() const noexcept { return lock_; }
  const std::vector<SheetHandle>& sheets_locked() const noexcept { return sheets_; }

 private:
  mutable std::shared_mutex lock_;
  const std::vector<SheetHandle> sheets_;
};

using FinderHandle = Handle<Finder>;

}  // namespace tbx
