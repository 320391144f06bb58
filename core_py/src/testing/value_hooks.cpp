#include <string>

#include "binding/function.hpp"
#include "structs/value.hpp"
#include "testing/testing.hpp"

namespace tbx::py {
namespace {

PyObject* datetime_tuple(const DateTime& d) {
  return Py_BuildValue("(iIIIIIk)", d.year, unsigned{d.month}, unsigned{d.day}, unsigned{d.hour},
                       unsigned{d.minute}, unsigned{d.second}, static_cast<unsigned long>(d.nanos));
}

// The value-from-text rule: (kind name, payload), the payload being None, the text, the float,
// the int, the bool or (year, month, day, hour, minute, second, nanos).
PyObject* value_from_text_hook(Text text) {
  const ParsedValue v = value_from_text(text.v);
  switch (v.kind) {
    case Kind::Empty: return Py_BuildValue("(sO)", "Empty", Py_None);
    case Kind::Text: return Py_BuildValue("(sN)", "Text", to_py(text.v));
    case Kind::Number: return Py_BuildValue("(sd)", "Number", v.number);
    case Kind::Integer: return Py_BuildValue("(si)", "Integer", v.integer);
    case Kind::Bool: return Py_BuildValue("(sO)", "Bool", v.boolean ? Py_True : Py_False);
    case Kind::DateTime: return Py_BuildValue("(sN)", "DateTime", datetime_tuple(v.datetime));
  }
  return nullptr;
}

std::string display_number_hook(Number x) {
  char buf[kMaxNumberText];
  return std::string(buf, format_number_display(x.v, buf));
}

std::string json_number_hook(Number x) {
  char buf[kMaxNumberText];
  return std::string(buf, format_number_json(x.v, buf));
}

std::string display_integer_hook(Int32 x) {
  char buf[12];
  return std::string(buf, format_integer(x.v, buf));
}

// Fields beyond their storage types are refused rather than truncated.
bool make_datetime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                   int32_t second, int32_t nanos, DateTime& out) {
  for (int32_t f : {month, day, hour, minute, second}) {
    if (f < 0 || f > 255) {
      PyErr_SetString(PyExc_ValueError, "date-time field out of range");
      return false;
    }
  }
  if (nanos < 0) {
    PyErr_SetString(PyExc_ValueError, "nanos out of range");
    return false;
  }
  out = DateTime{year,
                 static_cast<uint8_t>(month),
                 static_cast<uint8_t>(day),
                 static_cast<uint8_t>(hour),
                 static_cast<uint8_t>(minute),
                 static_cast<uint8_t>(second),
                 static_cast<uint32_t>(nanos)};
  return true;
}

template <size_t (*Format)(const DateTime&, char*)>
PyObject* datetime_text_hook(Int32 year, Int32 month, Int32 day, Int32 hour, Int32 minute,
                             Int32 second, Int32 nanos) {
  DateTime d;
  if (!make_datetime(year.v, month.v, day.v, hour.v, minute.v, second.v, nanos.v, d))
    return nullptr;
  char buf[48];
  return to_py(std::string_view(buf, Format(d, buf)));
}

PyMethodDef hooks[] = {
    function<"value_from_text(text)", &value_from_text_hook>(),
    function<"display_number(x)", &display_number_hook>(),
    function<"json_number(x)", &json_number_hook>(),
    function<"display_integer(x)", &display_integer_hook>(),
    function<"display_datetime(year, month, day, hour, minute, second, nanos)",
             &datetime_text_hook<format_datetime_display>>(),
    function<"json_datetime(year, month, day, hour, minute, second, nanos)",
             &datetime_text_hook<format_datetime_json>>(),
    {},
};

}  // namespace

PyMethodDef* value_hooks() { return hooks; }

}  // namespace tbx::py
