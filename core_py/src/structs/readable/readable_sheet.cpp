#include "structs/readable/readable_sheet.hpp"

namespace tbx::py {

const ClassSpec& ReadableSheetObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.readable.ReadableSheet",
      .basicsize = sizeof(ReadableSheetObject),
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
