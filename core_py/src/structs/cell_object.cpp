#include "structs/cell_object.hpp"

#include "binding/datetime.hpp"
#include "binding/function.hpp"
#include "structs/cell_fields.hpp"

namespace tbx::py {

PyObject* cell_fields::repr(const Cell& c, const char* class_name) {
  Coordinate k = cell_fields::read(c, [](const Cell& x) { return x.coordinate(); });
  return PyUnicode_FromFormat("%s, Coords: Coordinate { row: %lu, column: %u }", class_name,
                              static_cast<unsigned long>(k.row), unsigned{k.column});
}

namespace {

const Cell& rec(CellObject& self) { return *self.p; }

template <class F>
void write(CellObject& self, F&& f) {
  Cell& c = *self.p;
  UniqueGuard g(c.lock());
  f(c);
}

PyObject* get_row(CellObject& s) { return cell_fields::row(rec(s)); }
PyObject* get_column(CellObject& s) { return cell_fields::column(rec(s)); }
PyObject* get_letter(CellObject& s) { return cell_fields::letter(rec(s)); }
PyObject* get_value(CellObject& s) { return cell_fields::value(rec(s)); }
PyObject* get_data_type(CellObject& s) { return cell_fields::data_type(rec(s)); }
PyObject* get_formula(CellObject& s) { return cell_fields::optional_text(rec(s), &Cell::formula); }
PyObject* get_style(CellObject& s) { return cell_fields::optional_text(rec(s), &Cell::style); }
PyObject* get_hidden_value(CellObject& s) {
  return cell_fields::optional_text(rec(s), &Cell::hidden_value);
}
PyObject* get_is_formula(CellObject& s) { return cell_fields::is_formula(rec(s)); }
PyObject* get_is_bool(CellObject& s) { return cell_fields::kind_is(rec(s), Kind::Bool); }
PyObject* get_is_numeric(CellObject& s) { return cell_fields::kind_is(rec(s), Kind::Number); }
PyObject* get_is_integer(CellObject& s) { return cell_fields::kind_is(rec(s), Kind::Integer); }
PyObject* get_is_datetime(CellObject& s) { return cell_fields::kind_is(rec(s), Kind::DateTime); }
PyObject* get_is_empty(CellObject& s) { return cell_fields::kind_is(rec(s), Kind::Empty); }

void set_value(CellObject& s, Text v) { write(s, [&](Cell& c) { c.set_from_text(v.v); }); }
void set_formula(CellObject& s, Text v) { write(s, [&](Cell& c) { c.set_formula(v.v); }); }
void set_style(CellObject& s, Text v) { write(s, [&](Cell& c) { c.set_style(v.v); }); }
void set_hidden_value(CellObject& s, Text v) {
  write(s, [&](Cell& c) { c.set_hidden_value(v.v); });
}

void set_value_number(CellObject& s, Number v) { write(s, [&](Cell& c) { c.set_number(v.v); }); }
void set_value_integer(CellObject& s, Int32 v) { write(s, [&](Cell& c) { c.set_integer(v.v); }); }
void set_value_bool(CellObject& s, StrictBool v) { write(s, [&](Cell& c) { c.set_bool(v.v); }); }
void set_value_datetime(CellObject& s, NaiveDateTime v) {
  write(s, [&](Cell& c) { c.set_datetime(v.v); });
}

PyObject* repr(PyObject* self) { return cell_fields::repr(*CellObject::of(self), "Cell"); }

PyMethodDef methods[] = {
    method<"set_value_number($self, value)", &set_value_number>(),
    method<"set_value_integer($self, value)", &set_value_integer>(),
    method<"set_value_bool($self, value)", &set_value_bool>(),
    method<"set_value_datetime($self, value)", &set_value_datetime>(),
    {},
};

PyGetSetDef getsets[] = {
    property<"row", &get_row>(),
    property<"column", &get_column>(),
    property<"letter", &get_letter>(),
    property<"value", &get_value, &set_value, "value">(),
    property<"formula", &get_formula, &set_formula, "value">(),
    property<"style", &get_style, &set_style, "value">(),
    property<"hidden_value", &get_hidden_value, &set_hidden_value, "value">(),
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

const ClassSpec& CellObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Cell",
      .basicsize = sizeof(CellObject),
      .extra_flags = 0,
      .methods = methods,
      .getsets = getsets,
      .tp_new = nullptr,
      .doc = nullptr,
      .dealloc = dealloc,
      .repr = repr,
  };
  return s;
}

}  // namespace tbx::py
