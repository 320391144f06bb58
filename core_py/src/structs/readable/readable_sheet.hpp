#pragma once
#include "binding/types.hpp"
#include "structs/sheet.hpp"

namespace tbx::py {

// A read-only view of one snapshot sheet; its searches run without the interpreter lock.
struct ReadableSheetObject : PyClass<ReadableSheetObject, SheetHandle> {
  static constexpr const char* kClassName = "ReadableSheet";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
