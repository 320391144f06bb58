#include "structs/book_ops.hpp"

#include <cstdlib>
#include <utility>

#include "binding/convert.hpp"
#include "json/document.hpp"
#include "structs/sheet_object.hpp"

namespace tbx::py::book_ops {

PyObject* sheets(const Book& b) { return SheetObject::wrap_list(b.sheets()); }

PyObject* add_sheet(Book& b, Text name, Text state) {
  return SheetObject::wrap(b.add_sheet(name.v, state.v));
}

PyObject* copy_sheet(Book& b, PyObject* sheet_object) {
  return SheetObject::wrap(b.copy_sheet(*SheetObject::of(sheet_object)));
}

PyObject* sheet_at(const Book& b, Int32 idx) { return SheetObject::wrap_or_none(b.sheet_at(idx.v)); }

PyObject* sheet_named(const Book& b, Text name) { return SheetObject::wrap_or_none(b.sheet_named(name.v)); }

namespace {

// The document is written straight into the str that will be returned (an ASCII str's data is
// its bytes), grown and finally cut to size in place: no second copy of a document that may be
// tens of megabytes. Should a non-ASCII byte be written, the bytes are decoded into a new str.
class StrStorage final : public json::Storage {
 public:
  ~StrStorage() { Py_XDECREF(str_); }
  char* grow(char* data, size_t used, size_t need, size_t& capacity) noexcept override {
    (void)data;
    (void)used;
    if (!str_) {
      str_ = PyUnicode_New(static_cast<Py_ssize_t>(need), 127);
    } else if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(need)) < 0) {
      str_ = nullptr;
    }
    if (!str_) std::abort();  // allocation failure ends the process
    capacity = need;
    // No huge-page advice here: measured, the first fault of a fresh huge page for this region
    // sometimes took hundreds of milliseconds, far more than the faults it saves.
    return static_cast<char*>(PyUnicode_DATA(str_));
  }
  // The finished str of `len` bytes (ASCII), owned by the caller.
  PyObject* finish(size_t len) noexcept {
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(len)) < 0) return nullptr;
    return std::exchange(str_, nullptr);
  }

 private:
  PyObject* str_ = nullptr;
};

}  // namespace

PyObject* to_json(const Book& b) {
  StrStorage storage;
  json::Buffer out(storage, json::estimated_size(b));
  std::string error;
  if (!json::write_book(b, out, error)) {
    PyErr_Format(PyExc_ValueError, "Failed to convert in JSON: %s", error.c_str());
    return nullptr;
  }
  std::string_view text = out.view();
  if (out.ascii()) return storage.finish(text.size());
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_dict(const Book& b) { return loads(steal(to_json(b))); }

PyObject* loads(Ref text) {
  if (!text) return nullptr;
  Ref json = steal(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  Ref loads = steal(PyObject_GetAttrString(json.get(), "loads"));
  if (!loads) return nullptr;
  return PyObject_CallOneArg(loads.get(), text.get());
}

}  // namespace tbx::py::book_ops
