#pragma once
#include "binding/types.hpp"
#include "structs/sheet.hpp"

namespace tbx::py {

// One comment of a write-side sheet.
struct CommentObject : PyClass<CommentObject, Handle<Comment>> {
  static constexpr const char* kClassName = "Comment";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
