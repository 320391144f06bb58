#pragma once
// Signature texts such as "cell($self, row, col, value=None)": the single declaration from which a
// member's __text_signature__, its parameter names for keyword binding and its defaults all come.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "binding/ref.hpp"

namespace tbx::py {

// A string literal usable as a template argument.
template <size_t N>
struct FixedString {
  char s[N];
  constexpr FixedString(const char (&a)[N]) { std::copy_n(a, N, s); }
  constexpr std::string_view view() const { return {s, N - 1}; }
  constexpr const char* c_str() const { return s; }
};

namespace sig {

// Splits the text between the parentheses at commas that are not inside a quoted default.
template <class F>
constexpr void for_each_param(std::string_view text, F&& f) {
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  std::string_view body = text.substr(open + 1, close - open - 1);
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= body.size(); ++i) {
    if (i < body.size() && body[i] == '"') quoted = !quoted;
    if (i == body.size() || (body[i] == ',' && !quoted)) {
      std::string_view p = body.substr(start, i - start);
      while (!p.empty() && p.front() == ' ') p.remove_prefix(1);
      while (!p.empty() && p.back() == ' ') p.remove_suffix(1);
      if (!p.empty()) f(p);
      start = i + 1;
    }
  }
}

constexpr bool is_marker(std::string_view p) {
  return p == "$self" || p == "/" || p == "*" || p.starts_with("**");
}

// Number of parameters that bind to C++ arguments (excluding $self and the "/" marker; a
// "**kwargs" parameter binds to one argument of type Kwargs).
constexpr size_t bound_count(std::string_view text) {
  size_t n = 0;
  for_each_param(text, [&](std::string_view p) {
    if (p.starts_with("**") || !is_marker(p)) ++n;
  });
  return n;
}

constexpr bool has_self(std::string_view text) {
  bool self = false;
  for_each_param(text, [&](std::string_view p) { self |= p == "$self"; });
  return self;
}

constexpr bool has_varkw(std::string_view text) {
  bool kw = false;
  for_each_param(text, [&](std::string_view p) { kw |= p.starts_with("**"); });
  return kw;
}

constexpr std::string_view name_of(std::string_view text) {
  return text.substr(0, text.find('('));
}

}  // namespace sig

// The run-time form of a signature, made once when the member is created.
struct Signature {
  std::string name;             // the function's name, for binding messages
  std::vector<Ref> names;       // interned parameter names, in order
  std::vector<Ref> defaults;    // per parameter: the default object, or null when required
  size_t positional_only = 0;   // parameters before "/"
  bool varkw = false;           // a trailing "**kwargs"

  // Parses the text; on failure sets a Python exception and returns false.
  bool parse(std::string_view text);
};

}  // namespace tbx::py
