#pragma once
// The module's classes: heap types made once, on first need, each instance holding one payload
// (a handle on an engine record) and nothing else.
#include <new>
#include <utility>
#include <vector>

#include "binding/convert.hpp"
#include "binding/ref.hpp"

namespace tbx::py {

struct ClassSpec {
  const char* name = nullptr;          // full name, "tabrix.Book" or "tabrix.readable.Finder"
  Py_ssize_t basicsize = 0;
  unsigned long extra_flags = 0;       // Py_TPFLAGS_BASETYPE, Py_TPFLAGS_HAVE_GC
  PyMethodDef* methods = nullptr;      // null-terminated arrays, or null
  PyGetSetDef* getsets = nullptr;
  newfunc tp_new = nullptr;            // null: calling the class raises "No constructor defined for ..."
  const char* doc = nullptr;           // the constructor's signature record, or null
  destructor dealloc = nullptr;
  reprfunc repr = nullptr;
  traverseproc traverse = nullptr;
  inquiry clear = nullptr;
};

// Creates the class into `slot` on first call; afterwards returns it. When it cannot be made the
// result is null with RuntimeError "An error occurred while initializing class <Name>" set, whose
// cause is the underlying error.
PyTypeObject* class_object(PyTypeObject*& slot, const ClassSpec& spec) noexcept;

// Base of every class: `Derived` declares `static const ClassSpec& spec()` and
// `static constexpr const char* kClassName`; `Payload` is the C++ state (usually one handle).
template <class Derived, class Payload>
struct PyClass {
  PyObject_HEAD
  Payload p;

  static PyTypeObject* type() noexcept {
    static PyTypeObject* slot = nullptr;
    return slot ? slot : class_object(slot, Derived::spec());
  }

  // A new Python object of this class whose payload is made from `args`.
  template <class... A>
  static PyObject* wrap(A&&... args) noexcept {
    return wrap_as(type(), std::forward<A>(args)...);
  }

  template <class... A>
  static PyObject* wrap_as(PyTypeObject* t, A&&... args) noexcept {
    if (!t) return nullptr;
    PyObject* o;
    if (t == slot_type() && spare_count > 0) {
      o = spares[--spare_count];
      PyObject_Init(o, t);  // takes the count on the class that every instance holds
    } else {
      o = t->tp_alloc(t, 0);
      if (!o) return nullptr;
    }
    new (&reinterpret_cast<Derived*>(o)->p) Payload{std::forward<A>(args)...};
    return o;
  }

  // A new object on `payload`, or None when the payload is empty (a handle on nothing).
  static PyObject* wrap_or_none(Payload payload) noexcept {
    if (!payload) Py_RETURN_NONE;
    return wrap(std::move(payload));
  }

  // A new list of new objects, one per payload, in order.
  static PyObject* wrap_list(std::vector<Payload>&& payloads) noexcept {
    return list_of(payloads, [](Payload&& p) { return wrap(std::move(p)); });
  }

  static Payload& of(PyObject* o) noexcept { return reinterpret_cast<Derived*>(o)->p; }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    if (PyType_HasFeature(t, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
    reinterpret_cast<Derived*>(self)->p.~Payload();
    if (t == slot_type() && !PyType_HasFeature(t, Py_TPFLAGS_HAVE_GC) && spare_count < kSpares) {
      // Keep the memory for the next object of this class: report code makes and drops
      // millions of cell objects, one per written cell.
      spares[spare_count++] = self;
    } else {
      t->tp_free(self);
    }
    Py_DECREF(t);
  }

 private:
  // Spare object memory of this exact class (never of a subclass), used under the
  // interpreter lock only.
  static constexpr int kSpares = 64;
  static inline PyObject* spares[kSpares] = {};
  static inline int spare_count = 0;
  static PyTypeObject* slot_type() noexcept { return type(); }
};

// A payload for classes whose objects carry no state yet.
struct NoPayload {};

}  // namespace tbx::py
