#include "structs/readable/snapshot.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace tbx::py {
namespace {

struct Names {
  PyObject *name, *sheet_state, *merge_cells, *cells, *row, *column, *value, *formula, *data_type;
};

const Names* names() noexcept {
  static Names n{};
  static bool ready = false;
  if (!ready) {
    PyObject** slots[] = {&n.name, &n.sheet_state, &n.merge_cells, &n.cells, &n.row,
                          &n.column, &n.value, &n.formula, &n.data_type};
    const char* texts[] = {"name", "sheet_state", "merge_cells", "cells", "row",
                           "column", "value", "formula", "data_type"};
    for (size_t i = 0; i < std::size(slots); ++i) {
      *slots[i] = PyUnicode_InternFromString(texts[i]);  // kept for the process
      if (!*slots[i]) return nullptr;
    }
    ready = true;
  }
  return &n;
}

// Where a failure happened, for the PanicException message.
struct Place {
  size_t sheet;
  long long cell = -1;  // -1: a sheet field
  std::string describe(const char* field) const {
    std::string s = "sheet " + std::to_string(sheet);
    if (cell >= 0) s += ", cell " + std::to_string(cell);
    return s + ", field '" + field + "'";
  }
};

// Raises PanicException for `field`; a pending Python exception (from a property, __getattr__ or
// __getitem__ of the source) becomes its cause and is named in the message.
std::nullptr_t fail(const Place& at, const char* field, const char* why) noexcept {
  std::string message = "cannot read " + at.describe(field) + ": " + why;
  PyObject* cause = PyErr_GetRaisedException();
  if (cause) {
    Ref text = steal(PyObject_Str(cause));
    const char* t = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!t) PyErr_Clear();
    message += std::string(" (") + Py_TYPE(cause)->tp_name + (t && *t ? std::string(": ") + t : "") + ")";
  }
  raise_panic("tabrix.readable snapshot", message);
  if (cause) {
    PyObject* panic = PyErr_GetRaisedException();
    if (panic) {
      PyException_SetCause(panic, cause);  // steals cause
      PyErr_SetRaisedException(panic);
    } else {
      Py_DECREF(cause);
    }
  }
  return nullptr;
}

// The field lookup rule: an item of a dict (or dict subclass), otherwise an attribute.
Ref field(PyObject* holder, PyObject* name) noexcept {
  if (PyDict_Check(holder)) return steal(PyObject_GetItem(holder, name));
  return steal(PyObject_GetAttr(holder, name));
}

// The five cell fields are read a million times from objects of one or two types, so how each
// is read is worked out once per type. A field that the type declares in __slots__ (a member
// descriptor, which attribute lookup always prefers) is read straight from the object; any other
// field, or any type with its own attribute hook, goes through the ordinary lookup. An exact
// dict is read with a direct dict lookup. Each path gives what the lookup rule gives.
constexpr int kCellFields = 5;

struct TypePlan {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;
  // Per field: the offset of a __slots__ member; kInDict for a field that only an instance
  // dict at a fixed offset can hold (no class attribute of that name); kLookup otherwise.
  Py_ssize_t slot[kCellFields] = {};
};
constexpr Py_ssize_t kLookup = -1;
constexpr Py_ssize_t kInDict = -2;

class CellReader {
 public:
  explicit CellReader(const Names& nm) : names_{nm.row, nm.column, nm.value, nm.formula, nm.data_type} {}

  // Field k of `src` as a new reference, or null with the lookup's exception set.
  Ref get(PyObject* src, int k) noexcept {
    if (PyDict_CheckExact(src)) {
      PyObject* v = PyDict_GetItemWithError(src, names_[k]);
      if (v) return borrow(v);
      if (PyErr_Occurred()) return Ref();
      return field(src, names_[k]);  // raises the KeyError
    }
    const TypePlan& plan = plan_for(Py_TYPE(src));
    if (plan.slot[k] >= 0) {
      PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(src) + plan.slot[k]);
      if (v) return borrow(v);
    } else if (plan.slot[k] == kInDict) {
      PyObject** dict = _PyObject_GetDictPtr(src);
      if (dict && *dict) {
        PyObject* v = PyDict_GetItemWithError(*dict, names_[k]);
        if (v) return borrow(v);
        if (PyErr_Occurred()) return Ref();
      }
    }
    return field(src, names_[k]);  // also raises the lookup's own error for a missing field
  }

 private:
  const TypePlan& plan_for(PyTypeObject* t) noexcept {
    for (const TypePlan& p : plans_)
      if (p.type == t && p.version != 0 && p.version == t->tp_version_tag) return p;
    TypePlan& p = plans_[next_++ % std::size(plans_)];
    p.type = t;
    p.version = PyUnstable_Type_AssignVersionTag(t) ? t->tp_version_tag : 0;
    // Objects whose dict the interpreter manages itself (plain classes) keep the ordinary
    // lookup: their attributes need not live in a dict at all.
    const bool plain_dict = t->tp_dictoffset != 0 && !PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT);
    for (int k = 0; k < kCellFields; ++k) {
      p.slot[k] = kLookup;
      if (p.version == 0 || t->tp_getattro != PyObject_GenericGetAttr) continue;
      PyObject* d = _PyType_Lookup(t, names_[k]);
      if (d && Py_IS_TYPE(d, &PyMemberDescr_Type)) {
        const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
        if (m->type == Py_T_OBJECT_EX && !(m->flags & Py_AUDIT_READ)) p.slot[k] = m->offset;
      } else if (!d && plain_dict) {
        p.slot[k] = kInDict;
      }
    }
    return p;
  }

  PyObject* names_[kCellFields];
  TypePlan plans_[4];
  size_t next_ = 0;
};

bool text_of(PyObject* o, std::string_view& out) noexcept {
  if (!PyUnicode_Check(o)) return false;
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return false;
  out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

// An integer (int, bool, __index__) within [min, max].
bool int_of(PyObject* o, long long min, long long max, long long& out) noexcept {
  long v;
  if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o)))
    v = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
  else
    v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < min || v > max) return false;
  out = v;
  return true;
}

const char* kind_error(PyObject* o, const char* want) noexcept {
  static thread_local std::string s;
  s = std::string("expected ") + want + ", got '" + Py_TYPE(o)->tp_name + "'";
  return s.c_str();
}

bool read_merges(PyObject* merges, std::vector<MergeCell>& out, const Place& at) noexcept {
  if (merges == Py_None) return true;
  if (PyUnicode_Check(merges) || !PySequence_Check(merges)) {
    fail(at, "merge_cells", kind_error(merges, "None or a sequence of 4-number sequences"));
    return false;
  }
  // Tuples of the sequences, holding their items: an item's __index__ may change the lists.
  Ref seq = steal(PySequence_Tuple(merges));
  if (!seq) {
    fail(at, "merge_cells", "not a sequence");
    return false;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(seq.get(), i);
    if (PyUnicode_Check(item) || !PySequence_Check(item)) {
      fail(at, "merge_cells", kind_error(item, "a sequence of four integers"));
      return false;
    }
    Ref four = steal(PySequence_Tuple(item));
    if (!four || PyTuple_GET_SIZE(four.get()) != 4) {
      fail(at, "merge_cells", "a merged range must hold exactly four integers");
      return false;
    }
    long long v[4];
    for (int k = 0; k < 4; ++k) {
      PyObject* x = PyTuple_GET_ITEM(four.get(), k);
      if (!int_of(x, INT32_MIN, INT32_MAX, v[k])) {
        fail(at, "merge_cells", "each bound must be an integer within the signed 32-bit range");
        return false;
      }
    }
    // Rows are unsigned 32-bit and columns unsigned 16-bit: a bound outside them would turn into
    // a different range, so it is refused rather than wrapped.
    if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[2] > UINT16_MAX || v[3] < 0 || v[3] > UINT16_MAX) {
      fail(at, "merge_cells", "rows must lie in 0..4294967295 and columns in 0..65535");
      return false;
    }
    out.push_back({static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]),
                   static_cast<uint16_t>(v[2]), static_cast<uint16_t>(v[3])});
  }
  return true;
}

// One source cell into a new record (count 1), or null with PanicException set.
Cell* read_cell(PyObject* src, CellReader& reader, const Place& at) noexcept {
  long long row, col;
  Ref o = reader.get(src, 0);
  if (!o) return fail(at, "row", "missing or unreadable");
  if (!int_of(o.get(), 0, UINT32_MAX, row))
    return fail(at, "row", PyErr_Occurred() ? "not an integer" : "outside 0..4294967295");
  o = reader.get(src, 1);
  if (!o) return fail(at, "column", "missing or unreadable");
  if (!int_of(o.get(), 0, UINT16_MAX, col))
    return fail(at, "column", PyErr_Occurred() ? "not an integer" : "outside 0..65535");

  Ref value = reader.get(src, 2);
  if (!value) return fail(at, "value", "missing or unreadable");
  std::string_view value_text;
  const bool has_value = value.get() != Py_None;
  if (has_value && !text_of(value.get(), value_text))
    return fail(at, "value", PyErr_Occurred() ? "not valid UTF-8" : kind_error(value.get(), "None or a str"));

  Ref formula = reader.get(src, 3);
  if (!formula) return fail(at, "formula", "missing or unreadable");
  std::string_view formula_text;
  const bool has_formula = formula.get() != Py_None;
  if (has_formula && !text_of(formula.get(), formula_text))
    return fail(at, "formula", PyErr_Occurred() ? "not valid UTF-8" : kind_error(formula.get(), "None or a str"));

  Ref dtype = reader.get(src, 4);
  if (!dtype) return fail(at, "data_type", "missing or unreadable");
  std::string_view dtype_text;
  if (!text_of(dtype.get(), dtype_text))
    return fail(at, "data_type", PyErr_Occurred() ? "not valid UTF-8" : kind_error(dtype.get(), "a str"));

  Cell* c = Cell::create(static_cast<uint32_t>(row), static_cast<uint16_t>(col));
  if (has_value) {
    // Text typed "s" stays text; any other type reads the text by the value-from-text rule.
    if (dtype_text == "s") {
      ParsedValue p;
      p.kind = Kind::Text;
      c->set_parsed(p, value_text);
    } else {
      c->set_parsed(value_from_text(value_text), value_text);
    }
  }
  if (has_formula) c->set_formula(formula_text);
  c->set_data_type_text(dtype_text);
  return c;
}

}  // namespace

SheetHandle build_snapshot(PyObject* source, size_t index) noexcept {
  const Names* nm = names();
  if (!nm) return {};
  Place at{index};

  Ref name = field(source, nm->name);
  std::string_view name_text, state_text;
  if (!name) return fail(at, "name", "missing or unreadable");
  if (!text_of(name.get(), name_text))
    return fail(at, "name", PyErr_Occurred() ? "not valid UTF-8" : kind_error(name.get(), "a str"));
  Ref state = field(source, nm->sheet_state);
  if (!state) return fail(at, "sheet_state", "missing or unreadable");
  if (!text_of(state.get(), state_text))
    return fail(at, "sheet_state", PyErr_Occurred() ? "not valid UTF-8" : kind_error(state.get(), "a str"));
  Ref merges = field(source, nm->merge_cells);
  if (!merges) return fail(at, "merge_cells", "missing or unreadable");
  std::vector<MergeCell> merge_list;
  if (!read_merges(merges.get(), merge_list, at)) return {};

  Ref cells = steal(PyObject_GetAttr(source, nm->cells));  // always an attribute
  if (!cells) return fail(at, "cells", "missing or unreadable");
  if (!PyList_Check(cells.get())) return fail(at, "cells", kind_error(cells.get(), "a list"));

  auto sheet = SheetHandle::adopt(new Sheet(name_text, state_text));
  // The name and state views die with their str objects: the sheet has copied them above.
  CellTable& table = sheet->table_locked();  // not yet visible to any other thread
  const Py_ssize_t n0 = PyList_GET_SIZE(cells.get());
  table.reserve(static_cast<size_t>(n0));
  // Field lookups may run Python code that changes the list: the walk stops at the shorter of
  // its starting and current lengths, and holds each element while reading it.
  CellReader reader(*nm);
  for (Py_ssize_t i = 0; i < n0 && i < PyList_GET_SIZE(cells.get()); ++i) {
    Ref item = borrow(PyList_GET_ITEM(cells.get(), i));
    at.cell = i;
    Cell* c = read_cell(item.get(), reader, at);
    if (!c) return {};
    table.insert_or_replace(c);  // the last cell with given coordinates wins
  }
  sheet->merges_locked() = std::move(merge_list);
  return sheet;
}

}  // namespace tbx::py
