#include "binding/function.hpp"
#include "testing/testing.hpp"

namespace tbx::py {
namespace {

PyMethodDef hooks[] = {
    {},
};

}  // namespace

PyMethodDef* value_hooks() { return hooks; }

}  // namespace tbx::py
