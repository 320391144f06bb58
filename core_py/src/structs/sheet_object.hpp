#pragma once
#include "binding/types.hpp"
#include "structs/sheet.hpp"

namespace tbx::py {

// One worksheet of a book being built.
struct SheetObject : PyClass<SheetObject, SheetHandle> {
  static constexpr const char* kClassName = "Sheet";
  static const ClassSpec& spec();
};

// A new Sheet object on the record, or None for no record.
PyObject* wrap_sheet(SheetHandle h) noexcept;

}  // namespace tbx::py
