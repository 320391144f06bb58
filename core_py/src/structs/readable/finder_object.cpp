#include "structs/readable/finder_object.hpp"

#include <mutex>
#include <shared_mutex>

#include "binding/errors.hpp"
#include "binding/function.hpp"
#include "binding/gil.hpp"
#include "search/sheet_select.hpp"
#include "structs/readable/readable_sheet.hpp"
#include "structs/readable/snapshot.hpp"

namespace tbx::py {
namespace {

// Snapshots of every element of `sheets`, walked by index while the index is below both the
// starting and the current length (Python code run by a field lookup may change the list).
// One filer serves every sheet, so that one helper thread makes the records of them all.
bool walk(PyObject* sheets, std::vector<SheetHandle>& out, CellFiler& filer) {
  const Py_ssize_t n0 = PyList_GET_SIZE(sheets);
  out.reserve(static_cast<size_t>(n0));
  for (Py_ssize_t i = 0; i < n0 && i < PyList_GET_SIZE(sheets); ++i) {
    Ref item = borrow(PyList_GET_ITEM(sheets, i));
    SheetHandle s = build_snapshot(item.get(), static_cast<size_t>(i), filer);
    if (!s) return false;
    out.push_back(std::move(s));
  }
  return true;
}

bool build_all(PyObject* sheets, std::vector<SheetHandle>& out) {
  CellFiler filer(true);
  const bool ok = walk(sheets, out, filer);
  finish_snapshots(filer);  // before any sheet is kept or dropped
  return ok;
}

PyObject* finder_new(PyTypeObject* type, List sheets) {
  std::vector<SheetHandle> built;
  if (!build_all(sheets.v, built)) return nullptr;
  return FinderObject::wrap_as(type, FinderHandle::adopt(new Finder(std::move(built))));
}

PyObject* get_sheets(FinderObject& f) {
  std::vector<SheetHandle> all;
  {
    std::shared_lock l(f.p->lock());
    all = f.p->sheets_locked();
  }
  return ReadableSheetObject::wrap_list(std::move(all));
}

PyObject* get_sheet_index(FinderObject& f, Int32 idx) {
  return ReadableSheetObject::wrap_or_none(select::sheet_at(*f.p, idx.v));
}

PyObject* get_sheets_without_names(FinderObject& f, const Seq<Text>& name_list) {
  return ReadableSheetObject::wrap_list(select::without_names(*f.p, name_list.v));
}

PyObject* get_sheets_with_names(FinderObject& f, const Seq<Text>& name_list) {
  return ReadableSheetObject::wrap_list(select::with_names(*f.p, name_list.v));
}

PyObject* find_sheet_by_name(FinderObject& f, Text name) {
  return ReadableSheetObject::wrap_or_none(select::by_name(*f.p, name.v));
}

PyObject* find_sheet_by_regex(FinderObject& f, Text pattern) {
  select::RegexResult r = select::by_regex(*f.p, pattern.v);
  if (!r.compiled)
    return raise_panic("Finder.find_sheet_by_regex",
                       "invalid sheet-name pattern " + quoted(pattern.v) + ": " + r.error);
  return ReadableSheetObject::wrap_or_none(std::move(r.sheet));
}

PyObject* repr(PyObject* self) {
  const Finder& f = *FinderObject::of(self);
  std::shared_lock l(f.lock());
  return PyUnicode_FromFormat("Finder, sheets: %zu", f.sheets_locked().size());
}

using Ctor = Constructor<"Finder(sheets)", &finder_new>;

PyMethodDef methods[] = {
    method<"get_sheet_index($self, idx)", &get_sheet_index>(),
    method<"get_sheets_without_names($self, name_list)", &get_sheets_without_names>(),
    method<"get_sheets_with_names($self, name_list)", &get_sheets_with_names>(),
    method<"find_sheet_by_name($self, name)", &find_sheet_by_name>(),
    method<"find_sheet_by_regex($self, pattern)", &find_sheet_by_regex>(),
    {},
};

PyGetSetDef getsets[] = {
    property<"sheets", &get_sheets>(),
    {},
};

}  // namespace

PyObject* create_finder_fn(List sheets) {
  std::vector<SheetHandle> built;
  if (!build_all(sheets.v, built)) return nullptr;
  FinderHandle finder = without_gil([&] { return FinderHandle::adopt(new Finder(std::move(built))); });
  return FinderObject::wrap(std::move(finder));
}

const ClassSpec& FinderObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.readable.Finder",
      .basicsize = sizeof(FinderObject),
      .methods = methods,
      .getsets = getsets,
      .tp_new = Ctor::tp_new,
      .doc = Ctor::doc,
      .dealloc = dealloc,
      .repr = repr,
  };
  return s;
}

}  // namespace tbx::py
