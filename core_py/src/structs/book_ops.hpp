#pragma once
// The workbook operations that Book and Service both offer, over an engine book.
#include "binding/params.hpp"
#include "structs/book.hpp"

namespace tbx::py::book_ops {

PyObject* sheets(const Book& b);
PyObject* add_sheet(Book& b, Text name, Text state);
PyObject* copy_sheet(Book& b, PyObject* sheet_object);
PyObject* sheet_at(const Book& b, Int32 idx);
PyObject* sheet_named(const Book& b, Text name);
PyObject* to_json(const Book& b);
PyObject* to_dict(const Book& b);
// json.loads of a document text (null passes an error through); called with no engine lock held.
PyObject* loads(Ref text);

}  // namespace tbx::py::book_ops
