#include "module_functions.hpp"

#include "binding/convert.hpp"
#include "utils/coords.hpp"

namespace tbx::py {

PyObject* version_fn() {
  static PyObject* version = PyUnicode_InternFromString(kVersion);  // kept for the process
  return Py_XNewRef(version);
}

PyObject* column_number_to_letter_fn(Col col) {
  // Letters are made once per column and kept, as the interpreter keeps its one-character strs:
  // report code asks for the same few columns again and again.
  static PyObject** cache = new PyObject*[65536]();  // kept for the process
  PyObject*& slot = cache[col.v];
  if (!slot) {
    char buf[4];
    slot = ascii_to_py({buf, format_column_letters(col.v, buf)});
  }
  return Py_XNewRef(slot);
}

PyObject* get_letter_coordinate_fn(Row row, Col col) {
  char buf[kMaxLetterCoordinate];
  return ascii_to_py({buf, format_letter_coordinate(row.v, col.v, buf)});
}

}  // namespace tbx::py
