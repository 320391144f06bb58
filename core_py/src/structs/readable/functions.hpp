#pragma once
// The module-level searches of `readable`, over any sequence of ReadableCell objects; the
// engine work runs without the interpreter lock.
#include "binding/python.hpp"

namespace tbx::py {

// The functions, in registration order (after create_finder), null-terminated.
PyMethodDef* readable_search_functions();

}  // namespace tbx::py
