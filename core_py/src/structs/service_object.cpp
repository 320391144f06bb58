#include "structs/service_object.hpp"

#include <mutex>

#include "binding/function.hpp"
#include "structs/book_ops.hpp"
#include "structs/sheet_object.hpp"

namespace tbx::py {
namespace {

PyObject* service_new(PyTypeObject* type, Any conn_db) {
  return ServiceObject::wrap_as(type, borrow(conn_db.v), BookHandle::adopt(new Book));
}

template <class F>
PyObject* reading(ServiceObject& s, F&& f) {
  std::shared_lock l(s.p.lock);
  return f(*s.p.book);
}

template <class F>
PyObject* writing(ServiceObject& s, F&& f) {
  std::unique_lock l(s.p.lock);
  return f(*s.p.book);
}

PyObject* get_conn_db(ServiceObject& s) { return Py_NewRef(s.p.conn_db.get()); }
PyObject* get_sheets(ServiceObject& s) {
  return reading(s, [](Book& b) { return book_ops::sheets(b); });
}

PyObject* summary_0(ServiceObject&, List, Kwargs) {
  PyErr_SetString(PyExc_NotImplementedError, "Method 'summary_0' is not implemented");
  return nullptr;
}
PyObject* fmt_0(ServiceObject&, Kwargs) {
  PyErr_SetString(PyExc_NotImplementedError, "Method 'fmt_0' is not implemented");
  return nullptr;
}

PyObject* add_sheet(ServiceObject& s, Text name, Text sheet_state) {
  return writing(s, [&](Book& b) { return book_ops::add_sheet(b, name, sheet_state); });
}
PyObject* copy_sheet(ServiceObject& s, Instance<SheetObject> sheet) {
  return writing(s, [&](Book& b) {
    return book_ops::copy_sheet(b, reinterpret_cast<PyObject*>(sheet.v));
  });
}
PyObject* get_sheet_index(ServiceObject& s, Int32 idx) {
  return reading(s, [&](Book& b) { return book_ops::sheet_at(b, idx); });
}
PyObject* get_sheet_name(ServiceObject& s, Text name) {
  return reading(s, [&](Book& b) { return book_ops::sheet_named(b, name); });
}
PyObject* to_json(ServiceObject& s) {
  return reading(s, [](Book& b) { return book_ops::to_json(b); });
}
PyObject* to_dict(ServiceObject& s) {
  // json.loads runs after the service's lock is released.
  return book_ops::loads(steal(reading(s, [](Book& b) { return book_ops::to_json(b); })));
}

PyObject* repr(PyObject* self) {
  ServicePayload& p = ServiceObject::of(self);
  size_t n;
  {
    std::shared_lock l(p.lock);
    n = p.book->count();
  }
  Ref qualname = steal(PyType_GetQualName(Py_TYPE(self)));
  if (!qualname) return nullptr;
  return PyUnicode_FromFormat("%U, sheets: %zu", qualname.get(), n);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(ServiceObject::of(self).conn_db.get());
  return 0;
}

int clear(PyObject* self) {
  ServiceObject::of(self).conn_db = Ref();
  return 0;
}

using Ctor = Constructor<"Service(conn_db)", &service_new>;

PyMethodDef methods[] = {
    method<"summary_0($self, sheets, /, **kwargs)", &summary_0>(),
    method<"_fmt_0($self, **kwargs)", &fmt_0>(),
    method<"_add_sheet($self, name, sheet_state=\"visible\")", &add_sheet>(),
    method<"_copy_sheet($self, sheet)", &copy_sheet>(),
    method<"_get_sheet_index($self, idx)", &get_sheet_index>(),
    method<"_get_sheet_name($self, name)", &get_sheet_name>(),
    method<"to_json($self)", &to_json>(),
    method<"to_dict($self)", &to_dict>(),
    {},
};

PyGetSetDef getsets[] = {
    property<"_conn_db", &get_conn_db>(),
    property<"_sheets", &get_sheets>(),
    {},
};

}  // namespace

const ClassSpec& ServiceObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Service",
      .basicsize = sizeof(ServiceObject),
      .extra_flags = Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
      .methods = methods,
      .getsets = getsets,
      .tp_new = Ctor::tp_new,
      .doc = Ctor::doc,
      .dealloc = dealloc,
      .repr = repr,
      .traverse = traverse,
      .clear = clear,
  };
  return s;
}

}  // namespace tbx::py
