#include "binding/signature.hpp"

#include <charconv>

namespace tbx::py {
namespace {

// The default literals a signature may carry: None, True, False, a decimal integer, "text".
Ref parse_default(std::string_view lit) {
  if (lit == "None") return borrow(Py_None);
  if (lit == "True") return borrow(Py_True);
  if (lit == "False") return borrow(Py_False);
  if (lit.size() >= 2 && lit.front() == '"' && lit.back() == '"') {
    lit = lit.substr(1, lit.size() - 2);
    Ref s = steal(PyUnicode_FromStringAndSize(lit.data(), static_cast<Py_ssize_t>(lit.size())));
    if (s) {
      PyObject* o = s.release();
      PyUnicode_InternInPlace(&o);
      s = steal(o);
    }
    return s;
  }
  long long v = 0;
  auto [ptr, ec] = std::from_chars(lit.data(), lit.data() + lit.size(), v);
  if (ec == std::errc() && ptr == lit.data() + lit.size()) return steal(PyLong_FromLongLong(v));
  PyErr_Format(PyExc_SystemError, "unsupported default in signature: %.*s",
               static_cast<int>(lit.size()), lit.data());
  return Ref();
}

}  // namespace

bool Signature::parse(std::string_view text) {
  name = std::string(sig::name_of(text));
  bool ok = true;
  sig::for_each_param(text, [&](std::string_view p) {
    if (!ok || p == "$self") return;
    if (p == "/") {
      positional_only = names.size();
      return;
    }
    if (p.starts_with("**")) {
      varkw = true;
      return;
    }
    std::string_view pname = p;
    Ref deflt;
    if (size_t eq = p.find('='); eq != std::string_view::npos) {
      pname = p.substr(0, eq);
      deflt = parse_default(p.substr(eq + 1));
      if (!deflt) { ok = false; return; }
    }
    PyObject* n = PyUnicode_InternFromString(std::string(pname).c_str());
    if (!n) { ok = false; return; }
    names.push_back(steal(n));
    defaults.push_back(std::move(deflt));
  });
  return ok;
}

}  // namespace tbx::py
