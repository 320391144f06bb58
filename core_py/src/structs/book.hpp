#pragma once
#include "binding/types.hpp"

namespace tbx::py {

// The workbook being built.
struct BookObject : PyClass<BookObject, NoPayload> {
  static constexpr const char* kClassName = "Book";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
