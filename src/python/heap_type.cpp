#include "python/heap_type.h"

namespace qarn::py {

PyObject* allocate(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
}

PyObject* LazyType::get() {
  if (type_ == nullptr) {
    type_ = PyType_FromSpec(&type_spec_);
  }
  return type_;
}

}  // namespace qarn::py
