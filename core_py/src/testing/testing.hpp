#pragma once
// Private hooks for the test suite, reachable as the module "tabrix._testing" in sys.modules and
// from no public name. Each area keeps its hooks in its own file, as a null-terminated table.
#include "binding/python.hpp"

namespace tbx::py {

// Builds the hooks module; null with an exception on failure.
PyObject* make_testing_module();

PyMethodDef* binding_hooks();  // testing/binding_hooks.cpp
PyMethodDef* value_hooks();   // testing/value_hooks.cpp
PyMethodDef* pool_hooks();    // testing/pool_hooks.cpp

}  // namespace tbx::py
