#pragma once
// Results to Python objects: every member returns a C++ value and this turns it into a new
// reference (or passes on a null one with the exception set).
#include <concepts>
#include <optional>
#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace tbx::py {

inline PyObject* to_py(PyObject* o) noexcept { return o; }
inline PyObject* to_py(Ref&& o) noexcept { return o.release(); }
inline PyObject* to_py(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* to_py(double d) noexcept { return PyFloat_FromDouble(d); }
template <std::signed_integral I>
  requires(!std::same_as<I, bool>)
PyObject* to_py(I i) noexcept {
  return PyLong_FromLongLong(i);
}
template <std::unsigned_integral I>
  requires(!std::same_as<I, bool>)
PyObject* to_py(I i) noexcept {
  return PyLong_FromUnsignedLongLong(i);
}
inline PyObject* to_py(std::string_view s) noexcept {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}
inline PyObject* to_py(const std::string& s) noexcept { return to_py(std::string_view(s)); }
template <class T>
PyObject* to_py(std::optional<T>&& o) noexcept {
  if (!o) Py_RETURN_NONE;
  return to_py(std::move(*o));
}

}  // namespace tbx::py
