#include "structs/readable/readable_cell.hpp"

#include "binding/function.hpp"
#include "structs/cell_fields.hpp"

namespace tbx::py {
namespace {

const Cell& rec(ReadableCellObject& s) { return *s.p; }

PyObject* get_row(ReadableCellObject& s) { return cell_fields::row(rec(s)); }
PyObject* get_column(ReadableCellObject& s) { return cell_fields::column(rec(s)); }
PyObject* get_letter(ReadableCellObject& s) { return cell_fields::letter(rec(s)); }
PyObject* get_value(ReadableCellObject& s) { return cell_fields::value(rec(s)); }
PyObject* get_formula(ReadableCellObject& s) {
  return cell_fields::optional_text(rec(s), &Cell::formula);
}
PyObject* get_style(ReadableCellObject& s) {
  return cell_fields::optional_text(rec(s), &Cell::style);
}
PyObject* get_data_type(ReadableCellObject& s) { return cell_fields::data_type(rec(s)); }
PyObject* get_is_formula(ReadableCellObject& s) { return cell_fields::is_formula(rec(s)); }
PyObject* get_is_bool(ReadableCellObject& s) { return cell_fields::kind_is(rec(s), Kind::Bool); }
PyObject* get_is_numeric(ReadableCellObject& s) {
  return cell_fields::kind_is(rec(s), Kind::Number);
}
PyObject* get_is_integer(ReadableCellObject& s) {
  return cell_fields::kind_is(rec(s), Kind::Integer);
}
PyObject* get_is_datetime(ReadableCellObject& s) {
  return cell_fields::kind_is(rec(s), Kind::DateTime);
}
PyObject* get_is_empty(ReadableCellObject& s) { return cell_fields::kind_is(rec(s), Kind::Empty); }

PyObject* repr(PyObject* self) {
  return cell_fields::repr(*ReadableCellObject::of(self), "ReadableCell");
}

PyGetSetDef getsets[] = {
    property<"row", &get_row>(),
    property<"column", &get_column>(),
    property<"letter", &get_letter>(),
    property<"value", &get_value>(),
    property<"formula", &get_formula>(),
    property<"style", &get_style>(),
    property<"data_type", &get_data_type>(),
    property<"is_formula", &get_is_formula>(),
    property<"is_value_bool", &get_is_bool>(),
    property<"is_value_numeric", &get_is_numeric>(),
    property<"is_value_integer", &get_is_integer>(),
    property<"is_value_datetime", &get_is_datetime>(),
    property<"is_value_empty", &get_is_empty>(),
    {},
};

}  // namespace

const ClassSpec& ReadableCellObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.readable.ReadableCell",
      .basicsize = sizeof(ReadableCellObject),
      .getsets = getsets,
      .dealloc = dealloc,
      .repr = repr,
  };
  return s;
}

}  // namespace tbx::py
