#pragma once
// Parameter types. Each knows its conversion from a Python object and the exact text of its
// failure; the binder adds "argument '<name>': " to a TypeError. `load` returns false with the
// Python exception set.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace tbx::py {

// The interpreter's integer conversion (int, bool, __index__), then a range check.
bool load_int(PyObject* o, long long min, long long max, long long& out) noexcept;

struct Row {  // unsigned 32-bit row number
  uint32_t v;
  static bool load(PyObject* o, Row& out) noexcept {
    long long x;
    if (!load_int(o, 0, UINT32_MAX, x)) return false;
    out.v = static_cast<uint32_t>(x);
    return true;
  }
};

struct Col {  // unsigned 16-bit column number
  uint16_t v;
  static bool load(PyObject* o, Col& out) noexcept {
    long long x;
    if (!load_int(o, 0, UINT16_MAX, x)) return false;
    out.v = static_cast<uint16_t>(x);
    return true;
  }
};

struct Int32 {  // signed 32-bit integer: sheet indexes, integer cell values
  int32_t v;
  static bool load(PyObject* o, Int32& out) noexcept {
    long long x;
    if (!load_int(o, INT32_MIN, INT32_MAX, x)) return false;
    out.v = static_cast<int32_t>(x);
    return true;
  }
};

struct Number {  // anything with a float conversion
  double v;
  static bool load(PyObject* o, Number& out) noexcept {
    if (PyFloat_CheckExact(o)) {
      out.v = PyFloat_AS_DOUBLE(o);
      return true;
    }
    out.v = PyFloat_AsDouble(o);
    return !(out.v == -1.0 && PyErr_Occurred());
  }
};

struct StrictBool {  // bool (or numpy's boolean scalar), never int
  bool v;
  static bool load(PyObject* o, StrictBool& out) noexcept;
};

// UTF-8 text of a str, valid for the duration of the call (the argument keeps it alive).
struct Text {
  std::string_view v;
  static bool load(PyObject* o, Text& out) noexcept {
    if (!PyUnicode_Check(o)) return raise_cannot_convert(o, "str");
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out.v = std::string_view(s, static_cast<size_t>(n));
    return true;
  }
};

// None (or an omitted argument whose default is None) gives nothing.
template <class T>
struct Optional {
  std::optional<decltype(T::v)> v;
  static bool load(PyObject* o, Optional& out) noexcept {
    if (o == Py_None) {
      out.v.reset();
      return true;
    }
    T t;
    if (!T::load(o, t)) return false;
    out.v = t.v;
    return true;
  }
};

struct Any {  // any object, borrowed for the call
  PyObject* v;
  static bool load(PyObject* o, Any& out) noexcept {
    out.v = o;
    return true;
  }
};

struct List {  // a list or a subclass of list, borrowed
  PyObject* v;
  static bool load(PyObject* o, List& out) noexcept {
    if (!PyList_Check(o)) return raise_cannot_convert(o, "list");
    out.v = o;
    return true;
  }
};

struct Kwargs {  // the surplus keyword arguments of a "**kwargs" signature; null when none
  PyObject* v;
};

// Iterates any sequence other than str, calling `item(PyObject*)` (a borrowed item) for each
// element in iteration order; the sequence's length only sizes `reserve`. Items of a list or
// tuple are held while `item` looks at them, as Python code it runs may drop them; an `item`
// that runs no Python code says so with kItemRunsPython = false and saves those counts.
template <bool kItemRunsPython = true, class Reserve, class Item>
bool for_each_in_sequence(PyObject* o, Reserve&& reserve, Item&& item) noexcept {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a list");
    return false;
  }
  if (!PySequence_Check(o)) return raise_cannot_convert(o, "Sequence");
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    // Items are read by index while the interpreter lock is held and nothing else runs.
    const bool is_list = PyList_CheckExact(o);
    Py_ssize_t n = is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
    reserve(static_cast<size_t>(n));
    // A list can change under Python code run by `item`: its length is read again each time.
    for (Py_ssize_t i = 0; i < (kItemRunsPython && is_list ? PyList_GET_SIZE(o) : n); ++i) {
      PyObject* it = is_list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
      if constexpr (kItemRunsPython) {
        if (!item(Ref(borrow(it)).get())) return false;
      } else {
        if (!item(it)) return false;
      }
    }
    return true;
  }
  // A length that a sequence only claims sizes the array up to a bound: it may be a lie.
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) PyErr_Clear();
  else reserve(std::min<size_t>(static_cast<size_t>(n), size_t{1} << 16));
  Ref iter = steal(PyObject_GetIter(o));
  if (!iter) return false;
  while (Ref it = steal(PyIter_Next(iter.get()))) {
    if (!item(it.get())) return false;
  }
  return !PyErr_Occurred();
}

template <class T>
struct Seq {  // a sequence (not str) of items of type T
  std::vector<decltype(T::v)> v;
  // Items whose converted value points into them (texts) are kept alive for the call: a
  // sequence may make a new object on every access.
  static constexpr bool kKeepsItems = std::is_same_v<T, Text>;
  std::vector<Ref> keep;
  static bool load(PyObject* o, Seq& out) noexcept {
    out.v.clear();
    return for_each_in_sequence(
        o,
        [&](size_t n) {
          out.v.reserve(n);
          if constexpr (kKeepsItems) out.keep.reserve(n);
        },
        [&](PyObject* item) {
          T t;
          if (!T::load(item, t)) return false;
          out.v.push_back(t.v);
          if constexpr (kKeepsItems) out.keep.push_back(borrow(item));
          return true;
        });
  }
};

// An instance of one of the module's classes: Obj names its type and its Python class name.
template <class Obj>
struct Instance {
  Obj* v;
  static bool load(PyObject* o, Instance& out) noexcept {
    PyTypeObject* t = Obj::type();
    if (!t) return false;
    if (!PyObject_TypeCheck(o, t)) return raise_cannot_convert(o, Obj::kClassName);
    out.v = reinterpret_cast<Obj*>(o);
    return true;
  }
};

}  // namespace tbx::py
