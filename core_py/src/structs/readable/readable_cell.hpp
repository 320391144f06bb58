#pragma once
#include "binding/types.hpp"
#include "structs/cell.hpp"

namespace tbx::py {

// A read-only view of one snapshot cell.
struct ReadableCellObject : PyClass<ReadableCellObject, CellHandle> {
  static constexpr const char* kClassName = "ReadableCell";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
