#pragma once
// Copying a worksheet object that Python code has loaded into a snapshot sheet, read by duck
// typing: `name`, `sheet_state`, `merge_cells` and `cells` (row, column, value, formula,
// data_type per cell). The snapshot keeps no reference to any Python object.
#include "binding/python.hpp"
#include "structs/sheet.hpp"

namespace tbx::py {

// A complete snapshot, or null with PanicException set (naming the field that failed); nothing
// partial is kept. `index` is the sheet's position in its list, for the message.
SheetHandle build_snapshot(PyObject* source, size_t index) noexcept;

}  // namespace tbx::py
