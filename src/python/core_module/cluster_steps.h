#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py::core {

// The steps of a search spread over processes, for qarn_sr_dask: argument
// checks as qarn_sr.Searcher makes them, the driver's side (seeding, the
// ranges of each level, the merges of the beam, the front), the scorers'
// side (forming, admitting, scoring and summarising runs) and the console
// lines. Null-terminated.
extern PyMethodDef cluster_functions[];

}  // namespace qarn::py::core
