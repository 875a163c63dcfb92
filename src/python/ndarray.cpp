#include "python/ndarray.h"

#include <bit>
#include <string_view>

#include "python/exceptions.h"
#include "python/py_ref.h"

namespace qarn::py {

namespace {

// numpy.ndarray and numpy.dtype('float64'), looked up once NumPy has been
// imported by someone. An object can only be an array if NumPy is already in
// sys.modules, so the binding never imports NumPy itself: lists work without
// it, and no import side effects happen inside a conversion. Once found, both
// objects are kept for the rest of the process (single interpreter only).
struct NumpyTypes {
  PyTypeObject* ndarray = nullptr;
  PyObject* float64 = nullptr;
};

// The types, or nullptr when NumPy is not (fully) imported: then an ordinary
// error of the lookup is cleared, any other left pending.
const NumpyTypes* numpy_types() {
  static NumpyTypes types;
  if (types.ndarray != nullptr) {
    return &types;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
  PyRef module = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
  PyRef ndarray = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "ndarray")) : PyRef();
  PyRef dtype = ndarray ? PyRef::steal(PyObject_GetAttrString(module.get(), "dtype")) : PyRef();
  PyRef float64 =
      dtype ? PyRef::steal(PyObject_CallFunction(dtype.get(), "s", "float64")) : PyRef();
  if (!float64 || !PyType_Check(ndarray.get())) {
    // Not imported, or only partly (an import in progress): not an array now.
    clear_ordinary_error();
    return nullptr;
  }
  types.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());
  types.float64 = float64.release();
  return &types;
}

// The array's `ndim`, or -1 when it cannot be read (the error left pending).
long array_ndim(PyObject* obj) {
  PyRef ndim = PyRef::steal(PyObject_GetAttrString(obj, "ndim"));
  if (!ndim) {
    return -1;
  }
  return PyLong_AsLong(ndim.get());
}

// A buffer format of one native-order double. The dtype alone does not prove
// it: a subclass may report any dtype for its data.
bool is_native_double(const char* format) {
  if (format == nullptr) {
    return false;  // an unspecified format means unsigned bytes
  }
  std::string_view f(format);
  const char native = std::endian::native == std::endian::little ? '<' : '>';
  if (f.size() == 2 && (f[0] == '@' || f[0] == '=' || f[0] == native)) {
    f.remove_prefix(1);
  }
  return f == "d";
}

}  // namespace

Float64Array::~Float64Array() {
  if (held_) {
    PyBuffer_Release(&view_);
  }
}

Float64Array::Acquired Float64Array::acquire(PyObject* obj, int ndim) {
  // An attribute that cannot be read makes the object take the fallback,
  // unless what it raised must reach the caller.
  const auto not_taken = [] { return clear_ordinary_error() ? Acquired::other : Acquired::raised; };
  // Plain lists and tuples are the common fallback case: skip the lookups.
  if (held_ || PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    return Acquired::other;
  }
  const NumpyTypes* numpy = numpy_types();
  // The real type is checked, not __class__, and no Python code runs for it.
  if (numpy == nullptr || !PyObject_TypeCheck(obj, numpy->ndarray)) {
    return not_taken();
  }
  if (array_ndim(obj) != ndim) {
    return not_taken();
  }
  // dtype equality is NumPy's equivalence: kind, size and byte order, so a
  // byte-swapped float64 array is not taken here and converts element-wise.
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(obj, "dtype"));
  if (!dtype || PyObject_RichCompareBool(dtype.get(), numpy->float64, Py_EQ) != 1) {
    return not_taken();
  }
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
    return not_taken();
  }
  held_ = true;
  if (view_.ndim != ndim || view_.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
      !is_native_double(view_.format) || view_.shape == nullptr || view_.strides == nullptr) {
    PyBuffer_Release(&view_);
    held_ = false;
    return Acquired::other;
  }
  return Acquired::array;
}

}  // namespace qarn::py
