#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace qarn {

// Progress of one level's scoring loop, shared by reference with its workers.
struct ProgressState {
  std::uint64_t total = 0;                        // candidates handed to the scoring loop
  std::atomic<std::uint64_t> done{0};             // candidates started so far
  std::atomic<std::uint64_t> last{0};             // last percentage printed
  std::mutex print;                               // held to claim and print a percentage
  std::chrono::steady_clock::time_point start{};  // taken just before the scoring loop
  std::uint64_t level = 0;                        // complexity being scored
};

// Counts `count` candidates and, when they are the first to reach a new
// whole percentage, rewrites the progress line on standard output.
// Thread-safe; each percentage is printed at most once, in increasing order,
// and nothing after 100; the count that reaches the total prints 100 % last.
// The local driver counts each candidate as its scoring starts, the cluster
// driver each run as its scoring ends.
void progress_add(ProgressState& state, std::uint64_t count);
inline void progress_step(ProgressState& state) { progress_add(state, 1); }

// "\r  [QARN] L{level} Progress: [{bar}] {pct}% ({done}/{total}) | {elapsed:.1f}s (Est:
// {remaining:.1f}s)   " with a bar of pct / 10 full cells and the rest empty, ten cells in all.
std::string progress_text(std::uint64_t level, std::uint64_t pct, std::uint64_t done_now,
                          std::uint64_t total, double elapsed, double remaining);

// Writes to the process's standard output through C stdio (under the stream's
// lock, then flushed; failures ignored), never through the Python objects.
void write_stdout(std::string_view text);

}  // namespace qarn
