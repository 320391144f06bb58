#include "structs/sheet.hpp"

namespace tbx::py {

const ClassSpec& SheetObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Sheet",
      .basicsize = sizeof(SheetObject),
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
