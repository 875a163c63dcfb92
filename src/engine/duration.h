#pragma once

#include <chrono>
#include <string>

namespace qarn {

// A duration as the level line shows it: the largest unit among s, ms, µs and
// ns in which it is at least 1, with the exact fraction of that unit (up to
// 9, 6, 3 digits) and trailing zeros removed: 1.5s, 2s, 12.345678ms, 850ns.
// Negative durations (which a monotonic clock never yields) print as 0ns.
std::string format_duration(std::chrono::nanoseconds d);

}  // namespace qarn
