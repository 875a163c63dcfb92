#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "api/entry_points.h"

namespace qarn::py {

// Error messages of the data conversions.
inline constexpr const char* kVectorError = "Input must be a 1D list or NumPy array of floats";
inline constexpr const char* kRowsError = "Input must be a 2D list or 2D NumPy array of floats";
inline constexpr const char* kNotContiguous = "The given array is not contiguous";

// One-dimensional data as an owned vector (never aliasing `obj`): a C- or
// Fortran-contiguous 1-D float64 array is copied in one block; a strided one
// raises TypeError kNotContiguous. Anything else must be a non-str sequence
// of float-convertible items, else ValueError kVectorError. Empty with the
// Python error set on failure. `obj` is borrowed.
std::optional<std::vector<double>> extract_vector(PyObject* obj);

// Two-dimensional, sample-major data as owned rows: a 2-D float64 array of
// any memory layout gives one row per index of its first axis; anything else
// must be a non-str sequence of non-str sequences of float-convertible items
// (rows may differ in length), else ValueError kRowsError.
std::optional<Rows> extract_rows(PyObject* obj);

// The host's float conversion of argument `name`; a TypeError is re-raised as
// TypeError "argument '<name>': <original message>", other errors unchanged.
bool convert_double(const char* name, PyObject* obj, double& out);

// An unsigned 64-bit integer from an int or an object usable as an index:
// floats and negative values are refused. TypeErrors are prefixed as above.
bool convert_u64(const char* name, PyObject* obj, std::uint64_t& out);

// A per-call override: absent (nullptr) or None leaves `out` empty, anything
// else goes through convert_double.
bool convert_override(const char* name, PyObject* obj, std::optional<double>& out);

}  // namespace qarn::py
