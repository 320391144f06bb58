#pragma once
// Owning references: class code never calls Py_DECREF by hand.
#include <utility>

#include "binding/python.hpp"

namespace tbx::py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return Ref(o); }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// A new reference, or a null one with the current exception set.
inline Ref steal(PyObject* o) noexcept { return Ref::steal(o); }
inline Ref borrow(PyObject* o) noexcept { return Ref::borrow(o); }

}  // namespace tbx::py
