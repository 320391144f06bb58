#pragma once
#include <shared_mutex>

#include "binding/types.hpp"
#include "structs/book.hpp"

namespace tbx::py {

struct ServicePayload {
  Ref conn_db;
  BookHandle book;           // the service's own workbook, never shared with a Book object
  std::shared_mutex lock{};  // taken before the book's own lock
};

// Base class for report services; the only class Python code may subclass.
struct ServiceObject : PyClass<ServiceObject, ServicePayload> {
  static constexpr const char* kClassName = "Service";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
