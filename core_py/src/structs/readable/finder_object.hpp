#pragma once
#include "binding/params.hpp"
#include "binding/types.hpp"
#include "structs/finder.hpp"

namespace tbx::py {

// The read side's entry point: snapshots of the worksheets it was given, and sheet selection.
struct FinderObject : PyClass<FinderObject, FinderHandle> {
  static constexpr const char* kClassName = "Finder";
  static const ClassSpec& spec();
};

// create_finder(sheets): as Finder(sheets); the finder record is made without the interpreter
// lock, once every snapshot is built.
PyObject* create_finder_fn(List sheets);

}  // namespace tbx::py
