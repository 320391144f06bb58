#include "structs/comment_object.hpp"

#include "binding/function.hpp"

namespace tbx::py {
namespace {

PyObject* get_author(CommentObject& s) {
  SharedGuard g(s.p->lock());
  return to_py(std::string_view(s.p->author()));
}
PyObject* get_text(CommentObject& s) {
  SharedGuard g(s.p->lock());
  return to_py(std::string_view(s.p->text()));
}
PyObject* get_coordinate(CommentObject& s) {
  return Py_BuildValue("(kI)", static_cast<unsigned long>(s.p->row()), unsigned{s.p->column()});
}
uint32_t get_row(CommentObject& s) { return s.p->row(); }
uint16_t get_column(CommentObject& s) { return s.p->column(); }

void set_author(CommentObject& s, Text v) {
  UniqueGuard g(s.p->lock());
  s.p->set_author(v.v);
}
void set_text(CommentObject& s, Text v) {
  UniqueGuard g(s.p->lock());
  s.p->set_text(v.v);
}

PyGetSetDef getsets[] = {
    property<"author", &get_author, &set_author, "val">(),
    property<"text", &get_text, &set_text, "val">(),
    property<"coordinate", &get_coordinate>(),
    property<"row", &get_row>(),
    property<"column", &get_column>(),
    {},
};

}  // namespace

const ClassSpec& CommentObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Comment",
      .basicsize = sizeof(CommentObject),
      .extra_flags = 0,
      .methods = nullptr,
      .getsets = getsets,
      .tp_new = nullptr,
      .doc = nullptr,
      .dealloc = dealloc,
  };
  return s;
}

}  // namespace tbx::py
