#pragma once
// The module-level functions of `_tabrix`.
#include "binding/params.hpp"

namespace tbx::py {

inline constexpr const char* kVersion = "0.9.1";

PyObject* version_fn();
PyObject* column_number_to_letter_fn(Col col);
PyObject* get_letter_coordinate_fn(Row row, Col col);

}  // namespace tbx::py
