#include "python/core_module/qarn_classes.h"

#include <string>
#include <utility>

#include "python/exceptions.h"
#include "python/py_ref.h"
#include "python/search_result_object.h"

namespace qarn::py::core {

namespace {

// Strong references, never released: qarn_sr's classes live as long as the
// process. All access happens with the interpreter lock held.
PyTypeObject* result_type = nullptr;
PyObject* dimension_error = nullptr;
PyObject* complexity_error = nullptr;

PyObject* attribute(PyObject* module, const char* name) {
  return PyObject_GetAttrString(module, name);
}

}  // namespace

bool load_qarn_classes() {
  if (result_type != nullptr) {
    return true;
  }
  PyRef module = PyRef::steal(PyImport_ImportModule("qarn_sr"));
  if (!module) {
    return false;
  }
  PyRef type = PyRef::steal(attribute(module.get(), "SearchResult"));
  PyRef dimension = type ? PyRef::steal(attribute(module.get(), "QarnDimensionError")) : PyRef();
  PyRef complexity =
      dimension ? PyRef::steal(attribute(module.get(), "QarnComplexityError")) : PyRef();
  if (!complexity) {
    return false;
  }
  // The instances are filled here and destroyed by qarn_sr: both must agree
  // on their size, which they do when both come from one build.
  PyRef size =
      PyType_Check(type.get()) ? PyRef::steal(attribute(type.get(), "__basicsize__")) : PyRef();
  if (!size ||
      PyLong_AsSsize_t(size.get()) != static_cast<Py_ssize_t>(sizeof(SearchResultObject))) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError,
                    "_qarn_sr_core does not match the installed qarn_sr (different builds)");
    return false;
  }
  result_type = reinterpret_cast<PyTypeObject*>(type.release());
  dimension_error = dimension.release();
  complexity_error = complexity.release();
  return true;
}

PyObject* wrap_result(SearchResult&& record) {
  return new_search_result(result_type, std::move(record));
}

const SearchResult* result_record(const char* name, PyObject* obj) {
  if (!Py_IS_TYPE(obj, result_type)) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "argument '%s': must be qarn_sr.SearchResult, not %S", name,
                 type_name ? type_name.get() : Py_None);
    return nullptr;
  }
  return &held<SearchResult>(obj);
}

PyObject* result_list(std::vector<SearchResult>& records) {
  return list_of(records.size(), [&](std::size_t i) { return wrap_result(std::move(records[i])); });
}

void raise_error(const SearchError& error) {
  raise_search_error(error, dimension_error, complexity_error);
}

}  // namespace qarn::py::core
