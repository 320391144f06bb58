#include "structs/readable/readable_cell.hpp"

namespace tbx::py {

const ClassSpec& ReadableCellObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.readable.ReadableCell",
      .basicsize = sizeof(ReadableCellObject),
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
