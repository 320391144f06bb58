#pragma once
// Copying a worksheet object that Python code has loaded into a snapshot sheet, read by duck
// typing: `name`, `sheet_state`, `merge_cells` and `cells` (row, column, value, formula,
// data_type per cell). The snapshot keeps no reference to any Python object.
#include "binding/python.hpp"
#include "structs/cell_filer.hpp"
#include "structs/sheet.hpp"

namespace tbx::py {

// A complete snapshot, or null with PanicException set (naming the field that failed); nothing
// partial is kept. `index` is the sheet's position in its list, for the message. The records
// are made and filed by `filer` (shared by the sheets of one finder, so that one helper thread
// serves them all): a returned sheet is complete only after finish_snapshots(filer).
SheetHandle build_snapshot(PyObject* source, size_t index, CellFiler& filer) noexcept;

// Waits until every record is filed, stops the filer's helper and lets go of what its batches
// held. Called once, after the last build_snapshot with `filer`, whatever its outcome.
void finish_snapshots(CellFiler& filer) noexcept;

}  // namespace tbx::py
