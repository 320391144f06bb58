#pragma once
#include "binding/types.hpp"
#include "structs/cell.hpp"

namespace tbx::py {

// One cell of a write-side sheet.
struct CellObject : PyClass<CellObject, CellHandle> {
  static constexpr const char* kClassName = "Cell";
  static const ClassSpec& spec();
};

// A new Cell object on the record, or None for no record.
PyObject* wrap_cell(CellHandle h) noexcept;

}  // namespace tbx::py
