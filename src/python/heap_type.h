#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace qarn::py {

// The memory layout of a class whose instances hold one C++ value. The value
// is constructed in place right after allocation and destroyed by
// `dealloc_holder`; in between it is never replaced.
template <class Value>
struct Holder {
  PyObject ob_base;  // what PyObject_HEAD declares
  Value value;
};

template <class Value>
Value& held(PyObject* self) {
  return reinterpret_cast<Holder<Value>*>(self)->value;
}

// The type's allocator (tp_alloc), looked up through the limited API.
PyObject* allocate(PyTypeObject* type);

// Releases the memory of an instance of a heap type and the reference every
// such instance holds to its type.
void free_instance(PyObject* self);

// A new instance of `type` holding a Value built from `args`; new reference,
// or nullptr with the Python error set.
template <class Value, class... Args>
PyObject* new_holder(PyTypeObject* type, Args&&... args) {
  PyObject* self = allocate(type);
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<Holder<Value>*>(self)->value) Value(std::forward<Args>(args)...);
  return self;
}

// tp_dealloc of a Holder<Value> class.
template <class Value>
void dealloc_holder(PyObject* self) {
  reinterpret_cast<Holder<Value>*>(self)->value.~Value();
  free_instance(self);
}

// A class created from its PyType_Spec on first need and kept for the rest of the
// process (one strong reference, never released; the interpreter lock is held
// for all access), so that every import sees the same class object.
class LazyType {
 public:
  explicit constexpr LazyType(PyType_Spec& type_spec) : type_spec_(type_spec) {}
  // Borrowed reference, or nullptr with the Python error set.
  PyObject* get();

 private:
  PyType_Spec& type_spec_;
  PyObject* type_ = nullptr;
};

// A method table entry's function pointer, whatever its calling convention.
template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace qarn::py
