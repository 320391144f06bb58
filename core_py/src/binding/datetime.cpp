#include "binding/datetime.hpp"

#include <datetime.h>

namespace tbx::py {

bool NaiveDateTime::load(PyObject* o, NaiveDateTime& out) noexcept {
  if (!PyDateTimeAPI) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return false;
  }
  if (!PyDateTime_Check(o)) return raise_cannot_convert(o, "datetime");
  if (PyDateTime_DATE_GET_TZINFO(o) != Py_None) {
    PyErr_SetString(PyExc_TypeError, "expected a datetime without tzinfo");
    return false;
  }
  out.v = tbx::DateTime{
      PyDateTime_GET_YEAR(o),
      static_cast<uint8_t>(PyDateTime_GET_MONTH(o)),
      static_cast<uint8_t>(PyDateTime_GET_DAY(o)),
      static_cast<uint8_t>(PyDateTime_DATE_GET_HOUR(o)),
      static_cast<uint8_t>(PyDateTime_DATE_GET_MINUTE(o)),
      static_cast<uint8_t>(PyDateTime_DATE_GET_SECOND(o)),
      static_cast<uint32_t>(PyDateTime_DATE_GET_MICROSECOND(o)) * 1000u,
  };
  return true;
}

}  // namespace tbx::py
