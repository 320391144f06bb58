#pragma once
// The date-time parameter type: a datetime.datetime (or subclass) without tzinfo.
#include "binding/params.hpp"
#include "structs/value.hpp"

namespace tbx::py {

struct NaiveDateTime {
  tbx::DateTime v;
  static bool load(PyObject* o, NaiveDateTime& out) noexcept;
};

}  // namespace tbx::py
