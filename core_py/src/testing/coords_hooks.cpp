#include "binding/errors.hpp"
#include "binding/function.hpp"
#include "testing/testing.hpp"
#include "utils/coords.hpp"

namespace tbx::py {
namespace {

// The A1 reading: (row, column), or None when the text does not read as a reference.
PyObject* read_a1_hook(Text text) {
  auto c = read_a1(text.v);
  if (!c) Py_RETURN_NONE;
  return Py_BuildValue("(kI)", static_cast<unsigned long>(c->row), unsigned{c->column});
}

PyObject* panic_hook(Text message) { return raise_panic("tabrix._testing.panic", message.v); }

PyMethodDef hooks[] = {
    function<"read_a1(text)", &read_a1_hook>(),
    function<"panic(message)", &panic_hook>(),
    {},
};

}  // namespace

PyMethodDef* coords_hooks() { return hooks; }

}  // namespace tbx::py
