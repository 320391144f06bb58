#include "testing/testing.hpp"

#include "binding/ref.hpp"

namespace tbx::py {

PyObject* make_testing_module() {
  Ref m = steal(PyModule_New("tabrix._testing"));
  if (!m) return nullptr;
  for (PyMethodDef* table : {binding_hooks(), value_hooks(), pool_hooks()}) {
    if (PyModule_AddFunctions(m.get(), table) < 0) return nullptr;
  }
  return m.release();
}

}  // namespace tbx::py
