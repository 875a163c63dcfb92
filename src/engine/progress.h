#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace qarn {

// Progress of one level's scoring loop, shared by reference with its workers.
struct ProgressState {
  std::uint64_t total = 0;                        // candidates handed to the scoring loop
  std::atomic<std::uint64_t> done{0};             // candidates started so far
  std::atomic<std::uint64_t> last{0};             // last percentage claimed for printing
  std::chrono::steady_clock::time_point start{};  // taken just before the scoring loop
  std::uint64_t level = 0;                        // complexity being scored
};

// Counts one candidate and, when it is the first to reach a new whole
// percentage, rewrites the progress line on standard output. Thread-safe;
// each percentage is printed at most once and nothing after 100.
void progress_step(ProgressState& state);

// "\r  [QARN] L{level} Progress: [{bar}] {pct}% ({done}/{total}) | {elapsed:.1f}s (Est:
// {remaining:.1f}s)   " with a bar of pct / 10 full cells and the rest empty, ten cells in all.
std::string progress_text(std::uint64_t level, std::uint64_t pct, std::uint64_t done_now,
                          std::uint64_t total, double elapsed, double remaining);

// Writes to the process's standard output through C stdio (under the stream's
// lock, then flushed; failures ignored), never through the Python objects.
void write_stdout(std::string_view text);

}  // namespace qarn
