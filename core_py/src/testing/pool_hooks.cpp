#include "binding/function.hpp"
#include "testing/testing.hpp"

namespace tbx::py {
namespace {

PyMethodDef hooks[] = {
    {},
};

}  // namespace

PyMethodDef* pool_hooks() { return hooks; }

}  // namespace tbx::py
