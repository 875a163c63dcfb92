#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "api/entry_points.h"
#include "python/py_ref.h"

namespace qarn::py {

// Error messages of the data conversions.
inline constexpr const char* kVectorError = "Input must be a 1D list or NumPy array of floats";
inline constexpr const char* kRowsError = "Input must be a 2D list or 2D NumPy array of floats";
inline constexpr const char* kNotContiguous = "The given array is not contiguous";

// Both conversions report a failure of the data (text, that is a str, bytes
// or bytearray; a non-sequence; an item that does not convert; an error
// raised while reading an item) as ValueError with their message. An
// interrupt, SystemExit or MemoryError raised meanwhile (see
// `ordinary_error_pending`) passes through unchanged; so does a pending
// Ctrl-C noticed while a long sequence is read. Nothing is kept of a failed
// conversion. `obj` is borrowed.

// One-dimensional data as an owned vector (never aliasing `obj`): a C- or
// Fortran-contiguous 1-D float64 array is copied in one block; a strided one
// raises TypeError kNotContiguous. Anything else must be a non-text sequence
// of float-convertible items, else ValueError `message`. Empty with the
// Python error set on failure.
std::optional<std::vector<double>> extract_vector(PyObject* obj,
                                                  const char* message = kVectorError);

// Two-dimensional, sample-major data as owned rows: a 2-D float64 array of
// any memory layout gives one row per index of its first axis; anything else
// must be a non-text sequence of non-text sequences of float-convertible items
// (rows may differ in length), else ValueError kRowsError.
std::optional<Rows> extract_rows(PyObject* obj);

// The host's float conversion of argument `name`. A TypeError or
// OverflowError is re-raised as the same class with the message
// "argument '<name>': <original message>"; other errors pass unchanged.
bool convert_double(const char* name, PyObject* obj, double& out);

// An unsigned 64-bit integer from an int or an object usable as an index:
// floats and negative values are refused. Errors are prefixed as above.
bool convert_u64(const char* name, PyObject* obj, std::uint64_t& out);

// A per-call override: absent (nullptr) or None leaves `out` empty, anything
// else goes through convert_double.
bool convert_override(const char* name, PyObject* obj, std::optional<double>& out);

// The settings a searcher is constructed with, in positional order.
inline constexpr const char* kSettingNames[] = {"max_complexity", "complexity_penalty",
                                                "beam_width", "alpha", "l1_ratio"};

// Converts the bound settings (one slot per name of kSettingNames, empty where
// not given) into `config`, in that order; the first failure ends it with the
// Python error set. No value is range-checked.
bool convert_settings(std::span<const PyRef> bound, SearchConfig& config);

}  // namespace qarn::py
