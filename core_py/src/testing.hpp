#pragma once
// Private hooks for the test suite, reachable as the module "tabrix._testing" in sys.modules and
// from no public name.
#include "binding/python.hpp"

namespace tbx::py {

// Builds the hooks module; null with an exception on failure.
PyObject* make_testing_module();

}  // namespace tbx::py
