#pragma once
#include "binding/types.hpp"
#include "structs/sheet.hpp"

namespace tbx::py {

// One worksheet of a book being built.
struct SheetObject : PyClass<SheetObject, SheetHandle> {
  static constexpr const char* kClassName = "Sheet";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
