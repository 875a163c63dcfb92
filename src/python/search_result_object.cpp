#include "python/search_result_object.h"

#include <utility>

namespace qarn::py {

PyObject* new_search_result(PyTypeObject* type, SearchResult&& record) {
  return new_holder<SearchResult>(type, std::move(record));
}

}  // namespace qarn::py
