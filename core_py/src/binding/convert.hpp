#pragma once
// Results to Python objects: every member returns a C++ value and this turns it into a new
// reference (or passes on a null one with the exception set).
#include <concepts>
#include <cstdint>
#include <cstring>
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
// A str from text known to be ASCII: one allocation and one copy, no decoding.
inline PyObject* ascii_to_py(std::string_view s) noexcept {
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (o) std::memcpy(PyUnicode_DATA(o), s.data(), s.size());
  return o;
}

inline bool is_ascii(std::string_view s) noexcept {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    acc |= w;
  }
  for (; i < s.size(); ++i) acc |= static_cast<unsigned char>(s[i]);
  return (acc & 0x8080808080808080ULL) == 0;
}

inline PyObject* to_py(std::string_view s) noexcept {
  if (is_ascii(s)) return ascii_to_py(s);
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}
inline PyObject* to_py(const std::string& s) noexcept { return to_py(std::string_view(s)); }
template <class T>
PyObject* to_py(std::optional<T>&& o) noexcept {
  if (!o) Py_RETURN_NONE;
  return to_py(std::move(*o));
}

// A new list holding make(item) for every item, in order; null when any make() fails.
template <class Items, class Make>
PyObject* list_of(Items&& items, Make make) noexcept {
  Ref out = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (auto& item : items) {
    PyObject* o = make(std::move(item));
    if (!o) return nullptr;
    PyList_SET_ITEM(out.get(), i++, o);
  }
  return out.release();
}

}  // namespace tbx::py
