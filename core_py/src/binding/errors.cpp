#include "binding/errors.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "binding/ref.hpp"

namespace tbx::py {

bool raise_cannot_convert(PyObject* given, const char* expected) noexcept {
  // The type's own name ('date', 'Book'), as the interpreter's messages name types.
  const char* full = Py_TYPE(given)->tp_name;
  const char* dot = std::strrchr(full, '.');
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", dot ? dot + 1 : full,
               expected);
  return false;
}

bool raise_out_of_range() noexcept {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

void prefix_type_error(PyObject* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* exc = PyErr_GetRaisedException();
  Ref msg = steal(PyObject_Str(exc));
  if (!msg) {
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%U': %U", name, msg.get());
  // Keep the original as the cause so nothing of it is lost.
  PyObject* fresh = PyErr_GetRaisedException();
  PyException_SetCause(fresh, exc);  // steals exc
  PyErr_SetRaisedException(fresh);
}

void prefix_type_error(const char* name) noexcept {
  Ref n = steal(PyUnicode_FromString(name));
  if (n) prefix_type_error(n.get());
}

PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "tabrix.PanicException",
        "An internal failure reached from the input (an unreadable reference, a source object\n"
        "without a required field, an invalid sheet-name pattern). Derived from BaseException.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_panic(std::string_view place, std::string_view message) noexcept {
  std::fprintf(stderr, "tabrix: internal failure in %.*s: %.*s\n", static_cast<int>(place.size()),
               place.data(), static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (!type) return nullptr;  // the failure to make the class is the pending exception
  Ref msg = steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                       "replace"));
  if (!msg) return nullptr;
  PyErr_SetObject(type, msg.get());
  return nullptr;
}

std::string quoted(std::string_view text, size_t limit) {
  if (text.size() <= limit) return "'" + std::string(text) + "'";
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return "'" + std::string(text.substr(0, cut)) + "...' (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace tbx::py
