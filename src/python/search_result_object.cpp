#include "python/search_result_object.h"

#include <new>
#include <utility>

namespace qarn::py {

PyObject* new_search_result(PyTypeObject* type, SearchResult&& record) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  // The record is constructed in place right after allocation and never
  // changed afterwards; the class's dealloc destroys it.
  new (&reinterpret_cast<SearchResultObject*>(self)->record) SearchResult(std::move(record));
  return self;
}

}  // namespace qarn::py
