#pragma once
#include "binding/types.hpp"

namespace tbx::py {

struct ReadableCellObject : PyClass<ReadableCellObject, NoPayload> {
  static constexpr const char* kClassName = "ReadableCell";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
