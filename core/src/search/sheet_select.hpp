#pragma once
// Choosing sheets of a finder: by position, by name lists, by exact name and by a regular
// expression on the name. Each holds the finder's read lock and reads each name under its
// sheet's read lock.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "structs/finder.hpp"

namespace tbx::select {

SheetHandle sheet_at(const Finder& f, int32_t idx);
std::vector<SheetHandle> with_names(const Finder& f, std::span<const std::string_view> names);
std::vector<SheetHandle> without_names(const Finder& f, std::span<const std::string_view> names);
SheetHandle by_name(const Finder& f, std::string_view name);

// The first sheet whose name holds a match of `pattern` (a real regular expression), or null.
// `compiled` is false, with the engine's message in `error`, when the pattern does not compile.
struct RegexResult {
  bool compiled;
  std::string error;
  SheetHandle sheet;
};
RegexResult by_regex(const Finder& f, std::string_view pattern);

}  // namespace tbx::select
