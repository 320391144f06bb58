#pragma once
// The read-only cell attributes that Cell and ReadableCell share: each reads the record under
// its shared lock.
#include "binding/convert.hpp"
#include "structs/cell.hpp"

namespace tbx::py::cell_fields {

template <class F>
auto read(const Cell& c, F&& f) {
  SharedGuard g(c.lock());
  return f(c);
}

inline PyObject* row(const Cell& c) { return to_py(read(c, [](const Cell& x) { return x.row(); })); }
inline PyObject* column(const Cell& c) {
  return to_py(read(c, [](const Cell& x) { return x.column(); }));
}
inline PyObject* letter(const Cell& c) {
  char buf[kMaxLetterCoordinate];
  size_t n = read(c, [&](const Cell& x) { return format_letter_coordinate(x.row(), x.column(), buf); });
  return ascii_to_py({buf, n});
}
inline PyObject* value(const Cell& c) {
  SharedGuard g(c.lock());
  char buf[kMaxNumberText];
  return to_py(c.display(buf));
}
inline PyObject* data_type(const Cell& c) {
  SharedGuard g(c.lock());
  return to_py(c.data_type_text());
}
inline PyObject* optional_text(const Cell& c, const std::string* (Cell::*field)() const) {
  SharedGuard g(c.lock());
  const std::string* s = (c.*field)();
  if (!s) Py_RETURN_NONE;
  return to_py(std::string_view(*s));
}
inline PyObject* is_formula(const Cell& c) {
  return to_py(read(c, [](const Cell& x) { return x.is_formula(); }));
}
inline PyObject* kind_is(const Cell& c, Kind k) {
  return to_py(read(c, [](const Cell& x) { return x.kind(); }) == k);
}
// "Cell, Coords: Coordinate { row: 3, column: 2 }" (with the class name given).
PyObject* repr(const Cell& c, const char* class_name);

}  // namespace tbx::py::cell_fields
