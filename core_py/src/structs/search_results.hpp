#pragma once
// Search results to Python: found records become new objects of the surface's cell class
// (Obj::wrap_list, Obj::wrap_or_none); found texts become strs.
#include <string>
#include <vector>

#include "binding/convert.hpp"
#include "structs/cell.hpp"

namespace tbx::py {

// Takes a count on every found record (done while the searched sheet is still read-locked).
inline std::vector<CellHandle> share_all(const std::vector<Cell*>& found) {
  std::vector<CellHandle> out;
  out.reserve(found.size());
  for (Cell* c : found) out.push_back(CellHandle::share(c));
  return out;
}

// The display texts of found records, as a new list of str.
inline PyObject* text_list(std::vector<std::string>& texts) {
  return list_of(texts, [](std::string&& t) { return to_py(t); });
}

}  // namespace tbx::py
