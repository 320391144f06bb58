#pragma once
#include "binding/types.hpp"

namespace tbx::py {

struct CommentObject : PyClass<CommentObject, NoPayload> {
  static constexpr const char* kClassName = "Comment";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
