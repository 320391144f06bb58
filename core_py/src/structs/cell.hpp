#pragma once
#include "binding/types.hpp"

namespace tbx::py {

struct CellObject : PyClass<CellObject, NoPayload> {
  static constexpr const char* kClassName = "Cell";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
