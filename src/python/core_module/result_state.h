#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py::core {

// Module functions of this file (null-terminated): `result_state`,
// `result_from_state` (what pickling a SearchResult needs) and
// `operator_names`.
extern PyMethodDef state_functions[];

}  // namespace qarn::py::core
