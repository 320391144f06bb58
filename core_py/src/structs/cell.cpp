#include "structs/cell.hpp"

namespace tbx::py {

const ClassSpec& CellObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Cell",
      .basicsize = sizeof(CellObject),
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
