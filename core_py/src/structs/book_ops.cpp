#include "structs/book_ops.hpp"

#include "binding/convert.hpp"
#include "json/document.hpp"
#include "structs/sheet_object.hpp"

namespace tbx::py::book_ops {

PyObject* sheets(const Book& b) {
  std::vector<SheetHandle> all = b.sheets();
  Ref out = steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < all.size(); ++i) {
    PyObject* o = SheetObject::wrap(std::move(all[i]));
    if (!o) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), o);
  }
  return out.release();
}

PyObject* add_sheet(Book& b, Text name, Text state) {
  return SheetObject::wrap(b.add_sheet(name.v, state.v));
}

PyObject* copy_sheet(Book& b, PyObject* sheet_object) {
  return SheetObject::wrap(b.copy_sheet(*SheetObject::of(sheet_object)));
}

PyObject* sheet_at(const Book& b, Int32 idx) { return wrap_sheet(b.sheet_at(idx.v)); }

PyObject* sheet_named(const Book& b, Text name) { return wrap_sheet(b.sheet_named(name.v)); }

PyObject* to_json(const Book& b) {
  json::Buffer out(128);
  std::string error;
  if (!json::write_book(b, out, error)) {
    PyErr_Format(PyExc_ValueError, "Failed to convert in JSON: %s", error.c_str());
    return nullptr;
  }
  std::string_view text = out.view();
  if (out.ascii()) return ascii_to_py(text);
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_dict(const Book& b) {
  Ref text = steal(to_json(b));
  if (!text) return nullptr;
  Ref json = steal(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  Ref loads = steal(PyObject_GetAttrString(json.get(), "loads"));
  if (!loads) return nullptr;
  return PyObject_CallOneArg(loads.get(), text.get());
}

}  // namespace tbx::py::book_ops
