#pragma once
#include "binding/types.hpp"

namespace tbx::py {

struct SheetObject : PyClass<SheetObject, NoPayload> {
  static constexpr const char* kClassName = "Sheet";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
