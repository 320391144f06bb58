#pragma once
#include "binding/types.hpp"

namespace tbx::py {

struct ServicePayload {
  Ref conn_db;
};

// Base class for report services; the only class Python code may subclass.
struct ServiceObject : PyClass<ServiceObject, ServicePayload> {
  static constexpr const char* kClassName = "Service";
  static const ClassSpec& spec();
};

}  // namespace tbx::py
