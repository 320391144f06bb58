#include "structs/readable/snapshot.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "structs/cell_filer.hpp"
#include "utils/memory.hpp"

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
  bool all_members = false;  // every field is a __slots__ member
  bool all_in_dict = false;  // every field can only be in the instance dict
};
constexpr Py_ssize_t kLookup = -1;
constexpr Py_ssize_t kInDict = -2;

// The object a __slots__ member at `offset` of `o` holds (borrowed), or null when unset.
PyObject* member_at(PyObject* o, Py_ssize_t offset) noexcept {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}

class CellReader {
 public:
  explicit CellReader(const Names& nm) : names_{nm.row, nm.column, nm.value, nm.formula, nm.data_type} {}

  // How fields of `src` are read: null for an exact dict, else the plan of its type. Worked out
  // once per cell, then passed to get() for each field.
  const TypePlan* plan_of(PyObject* src) noexcept {
    if (PyDict_CheckExact(src)) return nullptr;
    PyTypeObject* t = Py_TYPE(src);
    if (last_ && last_->type == t && last_->version != 0 && last_->version == t->tp_version_tag) return last_;
    last_ = &plan_for(t);
    return last_;
  }

  // Field k of `src` as a new reference, or null with the lookup's exception set.
  Ref get(PyObject* src, const TypePlan* plan, int k) noexcept {
    if (!plan) {
      PyObject* v = PyDict_GetItemWithError(src, names_[k]);
      if (v) return borrow(v);
      if (PyErr_Occurred()) return Ref();
      return field(src, names_[k]);  // raises the KeyError
    }
    // A lookup of an earlier field may have run Python code that changed the object's type or
    // the type itself: the plan then no longer describes it.
    if (plan->type != Py_TYPE(src) || plan->version != Py_TYPE(src)->tp_version_tag) plan = &plan_for(Py_TYPE(src));
    if (plan->slot[k] >= 0) {
      PyObject* v = member_at(src, plan->slot[k]);
      if (v) return borrow(v);
    } else if (plan->slot[k] == kInDict) {
      PyObject** dict = _PyObject_GetDictPtr(src);
      if (dict && *dict) {
        PyObject* v = PyDict_GetItemWithError(*dict, names_[k]);
        if (v) return borrow(v);
        if (PyErr_Occurred()) return Ref();
      }
    }
    return field(src, names_[k]);  // also raises the lookup's own error for a missing field
  }

  PyObject* const* names() const noexcept { return names_; }

 private:
  const TypePlan& plan_for(PyTypeObject* t) noexcept {
    // A plan is used while its type's version tag stands: any change to the type (a new
    // attribute, a changed descriptor) gives the type a new tag.
    for (const TypePlan& p : plans_)
      if (p.type == t && p.version != 0 && p.version == t->tp_version_tag) return p;
    TypePlan& p = plans_[next_++ % std::size(plans_)];
    p.type = t;
    p.version = PyUnstable_Type_AssignVersionTag(t) ? t->tp_version_tag : 0;
    // Objects whose dict the interpreter manages itself (plain classes) keep the ordinary
    // lookup: their attributes need not live in a dict at all.
    const bool plain_dict = t->tp_dictoffset != 0 && !PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT);
    // A dict subclass is read by items, whatever attributes its type declares.
    const bool items = PyType_IsSubtype(t, &PyDict_Type);
    for (int k = 0; k < kCellFields; ++k) {
      p.slot[k] = kLookup;
      if (items || p.version == 0 || t->tp_getattro != PyObject_GenericGetAttr) continue;
      PyObject* d = _PyType_Lookup(t, names_[k]);
      if (d && Py_IS_TYPE(d, &PyMemberDescr_Type)) {
        const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
        if (m->type == Py_T_OBJECT_EX && !(m->flags & Py_AUDIT_READ)) p.slot[k] = m->offset;
      } else if (!d && plain_dict) {
        p.slot[k] = kInDict;
      }
    }
    p.all_members = p.all_in_dict = true;
    for (int k = 0; k < kCellFields; ++k) {
      p.all_members = p.all_members && p.slot[k] >= 0;
      p.all_in_dict = p.all_in_dict && p.slot[k] == kInDict;
    }
    return p;
  }

  PyObject* names_[kCellFields];
  TypePlan plans_[4];
  size_t next_ = 0;
  const TypePlan* last_ = nullptr;
};

// The bytes of a compact ASCII str (its characters are its UTF-8 bytes), read without calling
// into the interpreter; false for anything else.
bool ascii_text(PyObject* o, std::string_view& out) noexcept {
  if (!PyUnicode_Check(o) || !PyUnicode_IS_COMPACT_ASCII(o)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)), static_cast<size_t>(PyUnicode_GET_LENGTH(o)));
  return true;
}

// The UTF-8 bytes of any str; false (with an exception set for text that has no UTF-8 form)
// otherwise.
bool text_of(PyObject* o, std::string_view& out) noexcept {
  if (ascii_text(o, out)) return true;
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

// Reads one source cell into `out`, or returns false with PanicException set. The objects whose
// text `out` views are added to `keep` (new references), so the views outlive any Python code
// that a later lookup runs.
bool read_cell(PyObject* src, CellReader& reader, const Place& at, CellFields& out, void** keep,
               size_t& n_keep) noexcept {
  long long row, col;
  const TypePlan* plan = reader.plan_of(src);
  Ref o = reader.get(src, plan, 0);
  if (!o) return fail(at, "row", "missing or unreadable"), false;
  if (!int_of(o.get(), 0, UINT32_MAX, row))
    return fail(at, "row", PyErr_Occurred() ? "not an integer" : "outside 0..4294967295"), false;
  o = reader.get(src, plan, 1);
  if (!o) return fail(at, "column", "missing or unreadable"), false;
  if (!int_of(o.get(), 0, UINT16_MAX, col))
    return fail(at, "column", PyErr_Occurred() ? "not an integer" : "outside 0..65535"), false;

  Ref value = reader.get(src, plan, 2);
  if (!value) return fail(at, "value", "missing or unreadable"), false;
  out.has_value = value.get() != Py_None;
  if (out.has_value && !text_of(value.get(), out.value))
    return fail(at, "value", PyErr_Occurred() ? "not valid UTF-8" : kind_error(value.get(), "None or a str")), false;

  Ref formula = reader.get(src, plan, 3);
  if (!formula) return fail(at, "formula", "missing or unreadable"), false;
  out.has_formula = formula.get() != Py_None;
  if (out.has_formula && !text_of(formula.get(), out.formula))
    return fail(at, "formula", PyErr_Occurred() ? "not valid UTF-8" : kind_error(formula.get(), "None or a str")), false;

  Ref dtype = reader.get(src, plan, 4);
  if (!dtype) return fail(at, "data_type", "missing or unreadable"), false;
  if (!text_of(dtype.get(), out.data_type))
    return fail(at, "data_type", PyErr_Occurred() ? "not valid UTF-8" : kind_error(dtype.get(), "a str")), false;

  out.row = static_cast<uint32_t>(row);
  out.col = static_cast<uint16_t>(col);
  out.read_value();
  if (out.has_value) keep[n_keep++] = value.release();
  if (out.has_formula) keep[n_keep++] = formula.release();
  keep[n_keep++] = dtype.release();
  return true;
}

// The fast read of a cell from its five field objects (borrowed, null where missing): exact
// ints and compact ASCII strs are read by plain loads, with no reference counts, and no Python
// code can run. Returns false for anything else (a missing field, another type, a value out of
// range, text that is not ASCII), which the general read then handles and reports.
bool take_fields(PyObject* const* v, CellFields& out) noexcept {
  for (int k = 0; k < kCellFields; ++k)
    if (!v[k]) return false;
  if (!PyLong_CheckExact(v[0]) || !PyLong_CheckExact(v[1])) return false;
  auto* rl = reinterpret_cast<PyLongObject*>(v[0]);
  auto* cl = reinterpret_cast<PyLongObject*>(v[1]);
  if (!PyUnstable_Long_IsCompact(rl) || !PyUnstable_Long_IsCompact(cl)) return false;
  const Py_ssize_t row = PyUnstable_Long_CompactValue(rl), col = PyUnstable_Long_CompactValue(cl);
  if (row < 0 || row > static_cast<Py_ssize_t>(UINT32_MAX) || col < 0 || col > UINT16_MAX) return false;
  out.has_value = v[2] != Py_None;
  out.has_formula = v[3] != Py_None;
  if (out.has_value && !ascii_text(v[2], out.value)) return false;
  if (out.has_formula && !ascii_text(v[3], out.formula)) return false;
  if (!ascii_text(v[4], out.data_type)) return false;
  out.row = static_cast<uint32_t>(row);
  out.col = static_cast<uint16_t>(col);
  out.read_value();
  return true;
}

// The fast read of a cell whose five fields are all __slots__ members (plan.all_members).
bool read_members(PyObject* src, const TypePlan& plan, CellFields& out) noexcept {
  PyObject* v[kCellFields];
  for (int k = 0; k < kCellFields; ++k)
    v[k] = member_at(src, plan.slot[k]);
  return take_fields(v, out);
}

// The fast read of a cell held in a dict (the cell itself, or its instance dict when the type
// leaves all five names to it): one walk over the entries, matching the keys by identity with
// the interned field names, as keyword arguments and attribute assignments in source code make
// them. PyDict_Next runs no Python code; a key that is an equal but distinct str is not matched,
// and the general read handles that cell.
bool read_dict(PyObject* dict, PyObject* const* names, CellFields& out) noexcept {
  if (PyDict_GET_SIZE(dict) > 16) return false;
  PyObject* v[kCellFields] = {};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    for (int k = 0; k < kCellFields; ++k) {
      if (key == names[k]) {
        v[k] = value;
        break;
      }
    }
  }
  return take_fields(v, out);
}

void let_go(CellFiler::Batch& b) noexcept {
  for (size_t i = 0; i < b.n_keep; ++i) Py_DECREF(static_cast<PyObject*>(b.keep[i]));
  b.n_keep = 0;
  b.n = 0;
}

}  // namespace

void finish_snapshots(CellFiler& filer) noexcept {
  filer.finish();
  for (size_t k = 0; k < CellFiler::kSlots; ++k) let_go(filer.batches()[k]);
}

SheetHandle build_snapshot(PyObject* source, size_t index, CellFiler& filer) noexcept {
  const Names* nm = names();
  if (!nm) return {};
  // The lookups below may run Python code, and batches of earlier sheets may still view texts
  // that they hold no reference to: those are filed first.
  filer.drain();
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
  // Field lookups may run Python code that changes the list: the walk stops at the shorter of
  // its starting and current lengths, and holds each element while reading it.
  CellReader reader(*nm);
  // This thread reads the source objects (only it may, holding the interpreter lock) while a
  // helper makes the records and files them; the helper touches no Python object, only the
  // UTF-8 bytes of texts that this thread keeps alive until their batch is filed.
  filer.expect(static_cast<size_t>(n0));
  bool sized = false;
  auto fresh_batch = [&] {
    CellFiler::Batch* b = &filer.next();
    let_go(*b);
    b->table = &table;
    b->reserve = sized ? 0 : static_cast<size_t>(n0);  // the first batch sizes the table
    sized = true;
    return b;
  };
  // While every cell so far was read by plain loads, no Python code has run, so the texts in
  // flight need no references: nothing can free them. Before the first general read (which may
  // run a property, __getattr__ or __index__) the filer is drained, and from then on each
  // batch holds references to the objects whose texts it views.
  bool unguarded = true;
  bool ok = true;
  constexpr Py_ssize_t kAhead = 8;
  for (Py_ssize_t i = 0; i < n0 && i < PyList_GET_SIZE(cells.get());) {
    CellFiler::Batch* b = fresh_batch();
    for (; b->n < CellFiler::kBatch && i < n0 && i < PyList_GET_SIZE(cells.get()); ++i) {
      if (i + kAhead < PyList_GET_SIZE(cells.get())) memory::prefetch(PyList_GET_ITEM(cells.get(), i + kAhead));
      PyObject* src = PyList_GET_ITEM(cells.get(), i);
      if (unguarded) {
        const TypePlan* plan = reader.plan_of(src);
        bool read;
        if (!plan) {
          read = read_dict(src, reader.names(), b->cells[b->n]);
        } else if (plan->all_members) {
          // The row and the value of a cell a few places ahead live in objects of their own:
          // start loading them now (its own object was prefetched further ahead still).
          constexpr Py_ssize_t kNear = kAhead / 2;
          if (i + kNear < PyList_GET_SIZE(cells.get())) {
            PyObject* near = PyList_GET_ITEM(cells.get(), i + kNear);
            if (Py_TYPE(near) == plan->type) {
              for (int k : {0, 2})
                if (PyObject* f = member_at(near, plan->slot[k]))
                  memory::prefetch(f);
            }
          }
          read = read_members(src, *plan, b->cells[b->n]);
        } else if (plan->all_in_dict) {
          PyObject** dict = _PyObject_GetDictPtr(src);
          read = dict && *dict && PyDict_CheckExact(*dict) && read_dict(*dict, reader.names(), b->cells[b->n]);
        } else {
          read = false;
        }
        if (read) {
          ++b->n;
          continue;
        }
        unguarded = false;
        if (b->n) {  // hand over what was read so far, and go on in a fresh batch
          filer.submit();
          b = fresh_batch();
        }
        filer.drain();
      }
      Ref item = borrow(src);
      at.cell = i;
      if (!read_cell(item.get(), reader, at, b->cells[b->n], b->keep, b->n_keep)) {
        ok = false;
        break;
      }
      ++b->n;
    }
    filer.submit();  // what was read before a failure is filed too, and dropped with the sheet
    if (!ok) break;
  }
  if (!ok) {
    filer.drain();  // nothing may still be filing into this sheet's table when it goes
    return {};
  }
  sheet->merges_locked() = std::move(merge_list);
  return sheet;
}

}  // namespace tbx::py
