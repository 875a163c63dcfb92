#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qarn::py {

// The level steps of a search for a driver that spreads them over other
// processes: argument checks as qarn_sr.Searcher makes them, the driver's
// expansion, merges and front, the scorers' ranges, and the console lines.
// Not a documented interface; the table ends with a null entry.
extern PyMethodDef dask_step_methods[];

// Makes the search results of these functions qarn_sr.SearchResult objects;
// call once while the module is initialised. False with the Python error set
// when qarn_sr cannot be imported or is another build.
bool prepare_dask_steps();

}  // namespace qarn::py
