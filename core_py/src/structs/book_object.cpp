#include "structs/book_object.hpp"

#include "binding/function.hpp"
#include "structs/book_ops.hpp"
#include "structs/sheet_object.hpp"

namespace tbx::py {
namespace {

PyObject* book_new(PyTypeObject* type) {
  return BookObject::wrap_as(type, BookHandle::adopt(new Book));
}

Book& rec(BookObject& b) { return *b.p; }

PyObject* get_sheets(BookObject& b) { return book_ops::sheets(rec(b)); }
PyObject* add_sheet(BookObject& b, Text name, Text sheet_state) {
  return book_ops::add_sheet(rec(b), name, sheet_state);
}
PyObject* copy_sheet(BookObject& b, Instance<SheetObject> sheet) {
  return book_ops::copy_sheet(rec(b), reinterpret_cast<PyObject*>(sheet.v));
}
PyObject* get_sheet_index(BookObject& b, Int32 idx) { return book_ops::sheet_at(rec(b), idx); }
PyObject* get_sheet_name(BookObject& b, Text name) { return book_ops::sheet_named(rec(b), name); }
PyObject* to_json(BookObject& b) { return book_ops::to_json(rec(b)); }
PyObject* to_dict(BookObject& b) { return book_ops::to_dict(rec(b)); }

PyObject* repr(PyObject* self) {
  return PyUnicode_FromFormat("Book, sheets: %zu", BookObject::of(self)->count());
}

using Ctor = Constructor<"Book()", &book_new>;

PyMethodDef methods[] = {
    method<"add_sheet($self, name, sheet_state=\"visible\")", &add_sheet>(),
    method<"copy_sheet($self, sheet)", &copy_sheet>(),
    method<"get_sheet_index($self, idx)", &get_sheet_index>(),
    method<"get_sheet_name($self, name)", &get_sheet_name>(),
    method<"to_json($self)", &to_json>(),
    method<"to_dict($self)", &to_dict>(),
    {},
};

PyGetSetDef getsets[] = {
    property<"sheets", &get_sheets>(),
    {},
};

}  // namespace

const ClassSpec& BookObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Book",
      .basicsize = sizeof(BookObject),
      .extra_flags = 0,
      .methods = methods,
      .getsets = getsets,
      .tp_new = Ctor::tp_new,
      .doc = Ctor::doc,
      .dealloc = dealloc,
      .repr = repr,
  };
  return s;
}

}  // namespace tbx::py
