#pragma once
// Search results to Python: each found record becomes a new object of the surface's cell class.
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "structs/cell.hpp"

namespace tbx::py {

// Takes a count on every found record (done while the searched sheet is still read-locked).
inline std::vector<CellHandle> share_all(const std::vector<Cell*>& found) {
  std::vector<CellHandle> out;
  out.reserve(found.size());
  for (Cell* c : found) out.push_back(CellHandle::share(c));
  return out;
}

template <class Obj>
PyObject* cell_list(std::vector<CellHandle>&& found) {
  Ref out = steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < found.size(); ++i) {
    PyObject* o = Obj::wrap(std::move(found[i]));
    if (!o) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), o);
  }
  return out.release();
}

template <class Obj>
PyObject* one_cell(CellHandle&& found) {
  if (!found) Py_RETURN_NONE;
  return Obj::wrap(std::move(found));
}

inline PyObject* text_list(const std::vector<std::string>& texts) {
  Ref out = steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* o = to_py(texts[i]);
    if (!o) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), o);
  }
  return out.release();
}

}  // namespace tbx::py
