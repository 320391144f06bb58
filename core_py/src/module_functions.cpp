#include "module_functions.hpp"

#include "utils/coords.hpp"

namespace tbx::py {

PyObject* version_fn() { return PyUnicode_FromString(kVersion); }

std::string column_number_to_letter_fn(Col col) { return column_letters(col.v); }

std::string get_letter_coordinate_fn(Row row, Col col) { return letter_coordinate(row.v, col.v); }

}  // namespace tbx::py
