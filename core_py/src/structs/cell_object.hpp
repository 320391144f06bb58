#pragma once
#include "binding/types.hpp"
#include "structs/cell.hpp"

namespace tbx::py {

// One cell of a write-side sheet.
struct CellObject : PyClass<CellObject, CellHandle> {
  static constexpr const char* kClassName = "Cell";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
