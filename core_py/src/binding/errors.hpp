#pragma once
// Raising the module's errors with their exact texts.
#include <string>
#include <string_view>

#include "binding/python.hpp"

namespace tbx::py {

// "'<given type>' object cannot be converted to '<expected>'" as a TypeError; returns false.
bool raise_cannot_convert(PyObject* given, const char* expected) noexcept;

// OverflowError "out of range integral type conversion attempted"; returns false.
bool raise_out_of_range() noexcept;

// When the pending exception is a TypeError, replaces it by one whose message is
// "argument '<name>': <old message>"; any other exception is left as it is.
void prefix_type_error(PyObject* name) noexcept;
void prefix_type_error(const char* name) noexcept;

// The class through which internal failures reachable from input surface: derived from
// BaseException, made once on first use, added to no module. Null only if it cannot be made.
PyObject* panic_exception_type() noexcept;

// Raises PanicException with `message`, first writing one diagnostic line naming `place` to
// standard error. Returns nullptr so callers can `return raise_panic(...)`.
PyObject* raise_panic(std::string_view place, std::string_view message) noexcept;

// `text` quoted for a message, cut to its first `limit` bytes (at a character boundary) with
// "..." when longer: a message repeats the input that failed, not megabytes of it.
std::string quoted(std::string_view text, size_t limit = 200);

}  // namespace tbx::py
