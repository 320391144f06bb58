#include "structs/comment.hpp"

namespace tbx::py {

const ClassSpec& CommentObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Comment",
      .basicsize = sizeof(CommentObject),
      .extra_flags = 0,
      .methods = nullptr,
      .getsets = nullptr,
      .tp_new = nullptr,
      .doc = nullptr,
      .dealloc = dealloc,
      .repr = nullptr,
      .traverse = nullptr,
      .clear = nullptr,
  };
  return s;
}

}  // namespace tbx::py
