#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <string>

#include "api/entry_points.h"

// The search options of _qarn_sr_core.search, bound and converted the same way
// wherever a search is started with them (the module function, the cluster
// driver's "search" method). Each converter returns false with the Python
// error set, naming the argument.

namespace qarn::py::core {

// A truth value; absent (nullptr) leaves `out` unchanged.
bool convert_flag(PyObject* obj, bool& out);

// `operators`: None keeps every operator; else an iterable of operator names
// as the module writes them, each allowing that operator.
bool convert_operators(PyObject* obj, std::uint64_t& mask);

// `beam_widths`: None keeps `widths`; else 1 to kLevelBeamWidths integers
// >= 1, the beam widths of levels 2, 3, ...
bool convert_beam_widths(PyObject* obj, std::array<std::uint64_t, kLevelBeamWidths>& widths);

// `stop_threshold`: None keeps `out`; else a finite number >= 0.
bool convert_stop_threshold(PyObject* obj, double& out);

// `checkpoint`: None (or absent) leaves `out` empty; else a path-like
// object, as the file system's bytes.
bool convert_checkpoint(PyObject* obj, std::string& out);

// The options as bound, nullptr where not given.
struct SearchOptionArgs {
  PyObject* max_complexity = nullptr;
  PyObject* complexity_penalty = nullptr;
  PyObject* beam_width = nullptr;
  PyObject* alpha = nullptr;
  PyObject* l1_ratio = nullptr;
  PyObject* early_stop = nullptr;
  PyObject* full_fit = nullptr;
  PyObject* affine = nullptr;
  PyObject* operators = nullptr;
  PyObject* stop_threshold = nullptr;
  PyObject* beam_widths = nullptr;
};

// Converts the given options into `config` in the order above (the first
// failure ends it); early_stop (default True) sets config.no_early_stop.
bool convert_search_options(const SearchOptionArgs& args, SearchConfig& config);

}  // namespace qarn::py::core
