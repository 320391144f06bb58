#include "binding/function.hpp"

#include <vector>

namespace tbx::py::detail {

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots, size_t n, Ref& kwdict) noexcept {
  const char* fname = sig.name.c_str();
  if (nargs > static_cast<Py_ssize_t>(n)) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", fname, n,
                 n == 1 ? "" : "s", nargs);
    return false;
  }
  for (size_t i = 0; i < n; ++i) slots[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    size_t found = n;
    // Keyword names are interned by the interpreter, so a pointer test almost always decides.
    for (size_t i = 0; i < n; ++i) {
      if (sig.names[i].get() == key) { found = i; break; }
    }
    if (found == n) {
      for (size_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(sig.names[i].get(), key) == 0) { found = i; break; }
      }
    }
    if (found == n || found < sig.positional_only) {
      if (sig.varkw) {
        if (!kwdict) kwdict = steal(PyDict_New());
        if (!kwdict || PyDict_SetItem(kwdict.get(), key, value) < 0) return false;
        continue;
      }
      if (found < sig.positional_only)
        PyErr_Format(PyExc_TypeError,
                     "%s() got some positional-only arguments passed as keyword arguments: '%U'",
                     fname, key);
      else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (slots[found]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
      return false;
    }
    slots[found] = value;
  }

  for (size_t i = 0; i < n; ++i) {
    if (slots[i]) continue;
    if (!sig.defaults[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U' (pos %zu)", fname,
                   sig.names[i].get(), i + 1);
      return false;
    }
    slots[i] = sig.defaults[i].get();
  }
  return true;
}

}  // namespace tbx::py::detail

namespace tbx::py {

PyObject* call_with_tuple(PyObject* (*vc)(PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*),
                          PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return vc(type, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
  std::vector<PyObject*> all(static_cast<size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) all[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  Ref names = steal(PyTuple_New(nkw));
  if (!names) return nullptr;
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
    all[static_cast<size_t>(nargs + k)] = value;
    ++k;
  }
  return vc(type, all.data(), nargs, names.get());
}

}  // namespace tbx::py
