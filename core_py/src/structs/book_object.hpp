#pragma once
#include "binding/types.hpp"
#include "structs/book.hpp"

namespace tbx::py {

// The workbook being built.
struct BookObject : PyClass<BookObject, BookHandle> {
  static constexpr const char* kClassName = "Book";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
