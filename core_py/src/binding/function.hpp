#pragma once
// Functions, methods, properties and constructors, each declared once with its signature text:
//
//   method<"cell($self, row, col, value=None)", &sheet_cell>()
//   function<"column_number_to_letter(col)", &column_letters, "doc text">()
//   property<"name", &get_name, &set_name, "name">()
//
// The text gives __text_signature__, the parameter names for keyword binding and the defaults.
// The C++ function's parameter types (Row, Col, Text, ...) give the conversions; a method's first
// parameter is its object (`SheetObject&`). Results go through to_py.
#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/params.hpp"
#include "binding/signature.hpp"

namespace tbx::py {

namespace detail {

template <size_t N>
struct Chars {
  std::array<char, N> data{};
  constexpr const char* c_str() const { return data.data(); }
};

// "name(...)\n--\n\n" followed by the documentation text: the interpreter's documentation record.
template <FixedString Sig, FixedString Doc>
struct DocRecord {
  static constexpr auto make() {
    constexpr size_t n = Sig.view().size() + 5 + Doc.view().size() + 1;
    Chars<n> c;
    size_t k = 0;
    for (char ch : Sig.view()) c.data[k++] = ch;
    for (char ch : std::string_view("\n--\n\n")) c.data[k++] = ch;
    for (char ch : Doc.view()) c.data[k++] = ch;
    c.data[k] = '\0';
    return c;
  }
  static constexpr auto value = make();
};

template <FixedString Sig>
struct NameOf {
  static constexpr auto make() {
    constexpr std::string_view name = sig::name_of(Sig.view());
    Chars<name.size() + 1> c;
    for (size_t i = 0; i < name.size(); ++i) c.data[i] = name[i];
    return c;
  }
  static constexpr auto value = make();
};

// Binds positional and keyword arguments to `n` parameter slots (filling defaults) and collects
// surplus keywords into `kwdict` when the signature has "**kwargs". Sets TypeError on failure.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots, size_t n, Ref& kwdict) noexcept;

// The signature of one declared member, parsed on first need (keywords, defaults, errors).
// It lives for the rest of the process (never destroyed: it holds Python objects, which must not
// be released after the interpreter has finalised).
template <FixedString Sig>
struct SignatureOf {
  static inline Signature* sig = nullptr;
  static const Signature* get() noexcept {
    if (!sig) {
      auto* s = new Signature;
      if (!s->parse(Sig.view())) {
        delete s;
        return nullptr;
      }
      sig = s;
    }
    return sig;
  }
};

template <class T>
struct IsKwargs : std::false_type {};
template <>
struct IsKwargs<Kwargs> : std::true_type {};

// Converts the slots into the typed arguments, in parameter order; the first failure stops.
template <FixedString Sig, class... A, size_t... I>
bool load_all(PyObject** slots, PyObject* kwdict, std::tuple<A...>& out,
              std::index_sequence<I...>) noexcept {
  [[maybe_unused]] auto one = [&]<size_t K>(std::integral_constant<size_t, K>) -> bool {
    using T = std::tuple_element_t<K, std::tuple<A...>>;
    if constexpr (IsKwargs<T>::value) {
      std::get<K>(out).v = kwdict;
      return true;
    } else {
      if (T::load(slots[K], std::get<K>(out))) return true;
      if (const Signature* s = SignatureOf<Sig>::get()) prefix_type_error(s->names[K].get());
      return false;
    }
  };
  return (one(std::integral_constant<size_t, I>{}) && ...);
}

template <class R, class F>
PyObject* finish(F&& f) noexcept {
  if constexpr (std::is_void_v<R>) {
    f();
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  } else {
    return to_py(f());
  }
}

template <class Self>
Self self_as(PyObject* self) noexcept {
  if constexpr (std::is_reference_v<Self>) return *reinterpret_cast<std::remove_reference_t<Self>*>(self);
  else return reinterpret_cast<Self>(self);
}

// SelfFirst: the C++ function takes the object (or, for constructors, the type) first.
template <FixedString Sig, auto Impl, bool SelfFirst = sig::has_self(Sig.view())>
struct Binder;

template <FixedString Sig, class R, class... P, R (*Impl)(P...), bool SelfFirst>
struct Binder<Sig, Impl, SelfFirst> {
  static constexpr bool kSelf = SelfFirst;
  static constexpr bool kVarKw = sig::has_varkw(Sig.view());
  using Params = std::conditional_t<kSelf, std::tuple<P...>, std::tuple<void*, P...>>;
  // The object parameter (when there is one) and the bound ones.
  template <class Tup>
  struct Split;
  template <class S, class... B>
  struct Split<std::tuple<S, B...>> {
    using Self = S;
    using Bound = std::tuple<std::remove_cvref_t<B>...>;
  };
  using Self = typename Split<Params>::Self;
  using Bound = typename Split<Params>::Bound;
  static constexpr size_t N = std::tuple_size_v<Bound>;
  static constexpr size_t kPositional = N - (kVarKw ? 1 : 0);
  static_assert(sig::bound_count(Sig.view()) == N,
                "the signature text and the C++ parameters do not match");

  static PyObject* invoke(PyObject* self, Bound& args) noexcept {
    return finish<R>([&]() -> decltype(auto) {
      if constexpr (kSelf) {
        return std::apply([&](auto&... a) { return Impl(self_as<Self>(self), a...); }, args);
      } else {
        (void)self;
        return std::apply([&](auto&... a) { return Impl(a...); }, args);
      }
    });
  }

  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    PyObject* slots[kPositional + 1];
    Ref kwdict;
    if (!kwnames && nargs == static_cast<Py_ssize_t>(kPositional) && !kVarKw) {
      for (size_t i = 0; i < kPositional; ++i) slots[i] = args[i];
    } else {
      const Signature* s = SignatureOf<Sig>::get();
      if (!s) return nullptr;
      if (!(kwnames && bind_every_keyword_by_identity(*s, args, nargs, kwnames, slots)) &&
          !bind_arguments(*s, args, nargs, kwnames, slots, kPositional, kwdict))
        return nullptr;
    }
    Bound bound;
    if (!load_all<Sig>(slots, kwdict.get(), bound, std::make_index_sequence<N>{})) return nullptr;
    return invoke(self, bound);
  }

  // The common keyword call: every parameter given once, each keyword the interned name itself.
  // Anything else (defaults, surplus keywords, errors) takes the general binder.
  static bool bind_every_keyword_by_identity(const Signature& s, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames,
                                             PyObject** slots) noexcept {
    if constexpr (kVarKw) {
      return false;
    } else {
      const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      if (s.positional_only != 0 || nargs + nkw != static_cast<Py_ssize_t>(kPositional))
        return false;
      for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
      for (size_t i = static_cast<size_t>(nargs); i < kPositional; ++i) slots[i] = nullptr;
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t j = static_cast<size_t>(nargs);
        while (j < kPositional && s.names[j].get() != key) ++j;
        if (j == kPositional || slots[j]) return false;
        slots[j] = args[nargs + k];
      }
      return true;
    }
  }

  static PyObject* call_noargs(PyObject* self, PyObject*) noexcept {
    Bound bound;
    return invoke(self, bound);
  }

  static constexpr bool kNoArgs = N == 0 && !kVarKw;
  static constexpr int kFlags = kNoArgs ? METH_NOARGS : (METH_FASTCALL | METH_KEYWORDS);
  static constexpr PyCFunction entry() {
    if constexpr (kNoArgs) return call_noargs;
    else return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call));
  }
};

template <auto Get>
struct Getter;
template <class Obj, class R, R (*Get)(Obj&)>
struct Getter<Get> {
  static PyObject* get(PyObject* self, void*) noexcept {
    return finish<R>([&]() -> decltype(auto) { return Get(*reinterpret_cast<Obj*>(self)); });
  }
};

template <auto Set, FixedString Param>
struct Setter;
template <class Obj, class T, void (*Set)(Obj&, T), FixedString Param>
struct Setter<Set, Param> {
  static int set(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      return -1;
    }
    std::remove_cvref_t<T> arg;
    if (!std::remove_cvref_t<T>::load(value, arg)) {
      prefix_type_error(Param.c_str());
      return -1;
    }
    Set(*reinterpret_cast<Obj*>(self), arg);
    return PyErr_Occurred() ? -1 : 0;
  }
};

}  // namespace detail

// A module-level function; `Doc` is the documentation text after the signature.
template <FixedString Sig, auto Impl, FixedString Doc = "">
constexpr PyMethodDef function() {
  using B = detail::Binder<Sig, Impl>;
  return {detail::NameOf<Sig>::value.c_str(), B::entry(), B::kFlags,
          detail::DocRecord<Sig, Doc>::value.c_str()};
}

// A method: its signature text starts with "$self" and its C++ function takes the object first.
template <FixedString Sig, auto Impl>
constexpr PyMethodDef method() {
  static_assert(sig::has_self(Sig.view()), "a method's signature starts with $self");
  return function<Sig, Impl>();
}

// A property; without a setter it is read-only. `Param` names the value in setter errors.
template <FixedString Name, auto Get>
constexpr PyGetSetDef property() {
  return {Name.c_str(), detail::Getter<Get>::get, nullptr, nullptr, nullptr};
}
template <FixedString Name, auto Get, auto Set, FixedString Param>
constexpr PyGetSetDef property() {
  return {Name.c_str(), detail::Getter<Get>::get, detail::Setter<Set, Param>::set, nullptr,
          nullptr};
}

// A constructor "Book()" / "Service(conn_db)": Impl takes the type (for subclasses) and the bound
// arguments and returns the new object. The same text is the class's __text_signature__.
template <FixedString Sig, auto Impl>
struct Constructor;
template <FixedString Sig, class R, class... A, R (*Impl)(PyTypeObject*, A...)>
struct Constructor<Sig, Impl> {
  static PyObject* type_call(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    // Bind through a function whose "object" is the type itself.
    return detail::Binder<Sig, Impl, true>::call(reinterpret_cast<PyObject*>(type), args, nargs,
                                                 kwnames);
  }
  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
  static constexpr const char* doc = detail::DocRecord<Sig, "">::value.c_str();
};

// tp_new from a tuple and a dict, through the vectorcall binder.
PyObject* call_with_tuple(PyObject* (*vc)(PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*),
                          PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

template <FixedString Sig, class R, class... A, R (*Impl)(PyTypeObject*, A...)>
PyObject* Constructor<Sig, Impl>::tp_new(PyTypeObject* type, PyObject* args,
                                         PyObject* kwargs) noexcept {
  return call_with_tuple(type_call, type, args, kwargs);
}

}  // namespace tbx::py
