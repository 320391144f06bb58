#pragma once
#include "binding/types.hpp"

namespace tbx::py {

struct ReadableSheetObject : PyClass<ReadableSheetObject, NoPayload> {
  static constexpr const char* kClassName = "ReadableSheet";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
