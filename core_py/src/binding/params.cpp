#include "binding/params.hpp"

#include <cstring>

namespace tbx::py {

bool load_int(PyObject* o, long long min, long long max, long long& out) noexcept {
  long long x;
  if (PyLong_CheckExact(o)) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
      // Small ints (the usual row and column numbers) are read without a call.
      x = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
      if (x < min || x > max) return raise_out_of_range();
      out = x;
      return true;
    }
    x = PyLong_AsLongLong(o);
  } else {
    Ref idx = steal(PyNumber_Index(o));
    if (!idx) return false;
    x = PyLong_AsLongLong(idx.get());
  }
  if (x == -1 && PyErr_Occurred()) return false;  // beyond 64 bits: the interpreter's message
  if (x < min || x > max) return raise_out_of_range();
  out = x;
  return true;
}

bool StrictBool::load(PyObject* o, StrictBool& out) noexcept {
  if (o == Py_True || o == Py_False) {
    out.v = o == Py_True;
    return true;
  }
  // numpy's boolean scalar, recognised by its type name so numpy need not be imported.
  const char* tn = Py_TYPE(o)->tp_name;
  if (std::strcmp(tn, "numpy.bool") == 0 || std::strcmp(tn, "numpy.bool_") == 0) {
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    out.v = t != 0;
    return true;
  }
  return raise_cannot_convert(o, "bool");
}

}  // namespace tbx::py
