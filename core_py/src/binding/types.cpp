#include "binding/types.hpp"

#include <cstring>
#include <vector>

namespace tbx::py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  Ref name = steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

const char* short_name(const char* full) {
  const char* dot = std::strrchr(full, '.');
  return dot ? dot + 1 : full;
}

}  // namespace

PyTypeObject* class_object(PyTypeObject*& slot, const ClassSpec& spec) noexcept {
  if (slot) return slot;
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new ? spec.tp_new : no_constructor)});
  if (spec.dealloc) slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
  if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.getsets) slots.push_back({Py_tp_getset, spec.getsets});
  if (spec.doc) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
  if (spec.traverse) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(spec.traverse)});
  if (spec.clear) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(spec.clear)});
  slots.push_back({0, nullptr});

  PyType_Spec ts{};
  ts.name = spec.name;
  ts.basicsize = static_cast<int>(spec.basicsize);
  ts.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | spec.extra_flags;
  ts.slots = slots.data();
  PyObject* t = PyType_FromSpec(&ts);
  if (!t) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s",
                 short_name(spec.name));
    PyObject* err = PyErr_GetRaisedException();
    PyException_SetCause(err, cause);
    PyErr_SetRaisedException(err);
    return nullptr;
  }
  slot = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
  return slot;
}

}  // namespace tbx::py
