#include "structs/book.hpp"

#include "binding/function.hpp"

namespace tbx::py {
namespace {

PyObject* book_new(PyTypeObject* type) { return BookObject::wrap_as(type, NoPayload{}); }

using Ctor = Constructor<"Book()", &book_new>;

}  // namespace

const ClassSpec& BookObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Book",
      .basicsize = sizeof(BookObject),
      .extra_flags = 0,
      .methods = nullptr,
      .getsets = nullptr,
      .tp_new = Ctor::tp_new,
      .doc = Ctor::doc,
      .dealloc = dealloc,
      .repr = nullptr,
      .traverse = nullptr,
      .clear = nullptr,
  };
  return s;
}

}  // namespace tbx::py
