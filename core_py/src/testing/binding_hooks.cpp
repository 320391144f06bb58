// Hooks that exercise the binding layer's conversions and argument binding directly, and the
// A1 reading, before any class uses them.
#include "binding/errors.hpp"
#include "binding/function.hpp"
#include "binding/types.hpp"
#include "testing/testing.hpp"
#include "structs/cell.hpp"
#include "structs/cell_filer.hpp"
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

// Each probe converts one argument with one parameter type and gives back what it read.
uint32_t probe_row(Row v) { return v.v; }
uint16_t probe_col(Col v) { return v.v; }
int32_t probe_int32(Int32 v) { return v.v; }
double probe_number(Number v) { return v.v; }
bool probe_bool(StrictBool v) { return v.v; }
std::string_view probe_text(Text v) { return v.v; }
std::optional<std::string_view> probe_optional_text(Optional<Text> v) { return v.v; }
PyObject* probe_list(List v) { return Py_NewRef(v.v); }
PyObject* probe_rows(Seq<Row> v) {
  Ref out = steal(PyList_New(0));
  for (uint32_t r : v.v) {
    Ref item = steal(PyLong_FromUnsignedLong(r));
    if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
  }
  return out.release();
}
PyObject* probe_texts(Seq<Text> v) {
  Ref out = steal(PyList_New(0));
  for (std::string_view s : v.v) {
    Ref item = steal(to_py(s));
    if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
  }
  return out.release();
}

// The binding alone: two converted integers and nothing made (for the call benchmark).
void bind_only(Row, Col) {}

// Cell records alive in the process (for leak checks).
size_t live_cells() { return Cell::live(); }

// Makes the helper that files snapshot records wait before each batch (0: no wait).
void set_filer_delay(Int32 microseconds) { CellFiler::set_test_delay_us(static_cast<unsigned>(std::max(0, microseconds.v))); }

// Binding: a positional-only parameter, a default and surplus keywords.
PyObject* binder(Any a, Text b, Kwargs kw) {
  return Py_BuildValue("(OOO)", a.v, Ref(steal(to_py(b.v))).get(), kw.v ? kw.v : Py_None);
}

// A class whose creation fails (garbage collection without a traverse function).
struct BrokenObject : PyClass<BrokenObject, NoPayload> {
  static constexpr const char* kClassName = "Broken";
  static const ClassSpec& spec() {
    static const ClassSpec s{.name = "tabrix.Broken",
                             .basicsize = sizeof(BrokenObject),
                             .extra_flags = Py_TPFLAGS_HAVE_GC,
                             .dealloc = dealloc};
    return s;
  }
};

PyObject* broken_class() {
  PyTypeObject* t = BrokenObject::type();
  return t ? Py_NewRef(reinterpret_cast<PyObject*>(t)) : nullptr;
}

PyMethodDef hooks[] = {
    function<"read_a1(text)", &read_a1_hook>(),
    function<"panic(message)", &panic_hook>(),
    function<"probe_row(row)", &probe_row>(),
    function<"probe_col(col)", &probe_col>(),
    function<"probe_int32(idx)", &probe_int32>(),
    function<"probe_number(val)", &probe_number>(),
    function<"probe_bool(val)", &probe_bool>(),
    function<"probe_text(name)", &probe_text>(),
    function<"probe_optional_text(value=None)", &probe_optional_text>(),
    function<"probe_list(sheets)", &probe_list>(),
    function<"probe_rows(rows)", &probe_rows>(),
    function<"probe_texts(name_list)", &probe_texts>(),
    function<"binder(a, /, b=\"x\", **kwargs)", &binder>(),
    function<"broken_class()", &broken_class>(),
    function<"bind_only(row, col)", &bind_only>(),
    function<"live_cells()", &live_cells>(),
    function<"set_filer_delay(microseconds)", &set_filer_delay>(),
    {},
};

}  // namespace

PyMethodDef* binding_hooks() { return hooks; }

}  // namespace tbx::py
