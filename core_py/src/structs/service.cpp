#include "structs/service.hpp"

#include "binding/function.hpp"

namespace tbx::py {
namespace {

PyObject* service_new(PyTypeObject* type, Any conn_db) {
  return ServiceObject::wrap_as(type, ServicePayload{borrow(conn_db.v)});
}

PyObject* get_conn_db(ServiceObject& self) { return Py_NewRef(self.p.conn_db.get()); }

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(ServiceObject::of(self).conn_db.get());
  return 0;
}

int clear(PyObject* self) {
  ServiceObject::of(self).conn_db = Ref();
  return 0;
}

using Ctor = Constructor<"Service(conn_db)", &service_new>;

PyGetSetDef getsets[] = {
    property<"_conn_db", &get_conn_db>(),
    {},
};

}  // namespace

const ClassSpec& ServiceObject::spec() {
  static const ClassSpec s{
      .name = "tabrix.Service",
      .basicsize = sizeof(ServiceObject),
      .extra_flags = Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
      .methods = nullptr,
      .getsets = getsets,
      .tp_new = Ctor::tp_new,
      .doc = Ctor::doc,
      .dealloc = dealloc,
      .repr = nullptr,
      .traverse = traverse,
      .clear = clear,
  };
  return s;
}

}  // namespace tbx::py
