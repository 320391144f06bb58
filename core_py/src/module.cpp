// PyInit__tabrix: builds the module `_tabrix` and its submodule `readable` once per process, in
// the order in which their `__all__` lists the names.
#include <cstdint>

#include "binding/function.hpp"
#include "binding/ref.hpp"
#include "module_functions.hpp"
#include "structs/book_object.hpp"
#include "structs/cell_object.hpp"
#include "structs/comment_object.hpp"
#include "structs/readable/finder_object.hpp"
#include "structs/readable/functions.hpp"
#include "structs/readable/readable_cell.hpp"
#include "structs/readable/readable_sheet.hpp"
#include "structs/service_object.hpp"
#include "structs/sheet_object.hpp"
#include "testing/testing.hpp"

namespace tbx::py {
namespace {

constexpr double kDefaultRowHeight = 20.0;
constexpr double kDefaultColumnWidth = 22.5;

// m_size 0 (no per-module state) rather than -1: the interpreter then calls PyInit__tabrix on
// every import instead of copying a cached dict, so a re-import gets the very same module object
// and a second interpreter meets the refusal below.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tabrix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef module_functions[] = {
    function<"version()", &version_fn,
             "Returns the version of the underlying corvane library.\n\n"
             "Returns\n-------\nversion : str\n  The version of the underlying corvane library.\n">(),
    function<"column_number_to_letter(col)", &column_number_to_letter_fn,
             "Преобразование номера колонки в букву.">(),
    function<"get_letter_coordinate(row, col)", &get_letter_coordinate_fn,
             "Преобразование номера колонки в координату.">(),
    {},
};

// create_finder leads the functions of `readable`; the searches follow in their own order.
PyMethodDef readable_create_finder[] = {
    function<"create_finder(sheets)", &create_finder_fn>(),
    {},
};

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
bool add(PyObject* module, const char* name, Ref value) {
  if (!value) return false;
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (!all) {
    Ref fresh = steal(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return false;
    all = fresh.get();
  }
  Ref n = steal(PyUnicode_InternFromString(name));
  if (!n || PyList_Append(all, n.get()) < 0) return false;
  return PyObject_SetAttr(module, n.get(), value.get()) == 0;
}

bool add_class(PyObject* module, PyTypeObject* type, const char* name) {
  return add(module, name, borrow(reinterpret_cast<PyObject*>(type)));
}

// Adds every function of a null-terminated table.
bool add_functions(PyObject* module, PyMethodDef* defs) {
  Ref modname = steal(PyModule_GetNameObject(module));
  if (!modname) return false;
  for (size_t i = 0; defs[i].ml_name; ++i) {
    if (!add(module, defs[i].ml_name, steal(PyCFunction_NewEx(&defs[i], nullptr, modname.get()))))
      return false;
  }
  return true;
}

PyObject* build_readable() {
  Ref m = steal(PyModule_New("readable"));
  if (!m) return nullptr;
  PyObject* r = m.get();
  if (!add_class(r, FinderObject::type(), "Finder") ||
      !add_class(r, ReadableSheetObject::type(), "ReadableSheet") ||
      !add_class(r, ReadableCellObject::type(), "ReadableCell") ||
      !add_functions(r, readable_create_finder) ||
      !add_functions(r, readable_search_functions()))
    return nullptr;
  return m.release();
}

PyObject* build_module() {
  Ref m = steal(PyModule_Create(&module_def));
  if (!m) return nullptr;
  PyObject* t = m.get();
  if (!add(t, "__version__", steal(PyUnicode_FromString(kVersion))) ||
      !add_class(t, ServiceObject::type(), "Service") ||
      !add_class(t, BookObject::type(), "Book") ||
      !add_class(t, SheetObject::type(), "Sheet") ||
      !add_class(t, CellObject::type(), "Cell") ||
      !add_class(t, CommentObject::type(), "Comment") ||
      !add_functions(t, module_functions) ||
      !add(t, "DEFAULT_ROW_HEIGHT", steal(PyFloat_FromDouble(kDefaultRowHeight))) ||
      !add(t, "DEFAULT_COLUMN_WIDTH", steal(PyFloat_FromDouble(kDefaultColumnWidth))))
    return nullptr;
  Ref readable = steal(build_readable());
  if (!add(t, "readable", readable)) return nullptr;

  Ref sys = steal(PyImport_ImportModule("sys"));
  if (!sys) return nullptr;
  Ref modules = steal(PyObject_GetAttrString(sys.get(), "modules"));
  if (!modules || PyObject_SetItem(modules.get(), Ref(steal(PyUnicode_FromString("tabrix.readable"))).get(),
                                   readable.get()) < 0)
    return nullptr;
  Ref hooks = steal(make_testing_module());
  if (!hooks || PyMapping_SetItemString(modules.get(), "tabrix._testing", hooks.get()) < 0)
    return nullptr;
  return m.release();
}

int64_t first_interpreter = -1;
PyObject* built_module = nullptr;

}  // namespace
}  // namespace tbx::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tabrix() {
  using namespace tbx::py;
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (first_interpreter < 0) first_interpreter = id;
  if (id != first_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_tabrix does not support sub-interpreters: it can be imported only in the "
                    "interpreter that first imported it in this process");
    return nullptr;
  }
  if (!built_module) built_module = build_module();
  return Py_XNewRef(built_module);
}
