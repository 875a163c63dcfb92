#pragma once

// Counts the engine's calls of the C library's transcendental functions.
//
// The benchmark is linked with `--wrap` for each function below, so every call
// the engine makes reaches a wrapper here first. While counting is on, each
// worker thread counts its calls in a private block and keeps a spread sample
// of their arguments; afterwards `measure_costs` times the real functions on
// those arguments, which gives the cost of the calls the search really made.

#include <array>
#include <cstddef>
#include <cstdint>

namespace libm_count {

enum Function : std::size_t { atan2, hypot, log, exp, sin, cos, sincos, sinh, cosh, kCount };

inline constexpr std::array<const char*, kCount> kNames = {"atan2", "hypot",  "log",  "exp", "sin",
                                                           "cos",   "sincos", "sinh", "cosh"};

// Starts (or stops) counting; the counts and samples are kept.
void set_counting(bool on);

// Calls of each function, summed over all threads since the start.
std::array<std::uint64_t, kCount> totals();

// CPU nanoseconds per call of each function, measured on the sampled
// arguments (0 for a function that was never called).
std::array<double, kCount> measure_costs();

}  // namespace libm_count
