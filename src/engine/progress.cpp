#include "engine/progress.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "ops/decimal.h"

namespace qarn {

namespace {

constexpr std::string_view kFull = "\u2588";   // █
constexpr std::string_view kEmpty = "\u2591";  // ░
constexpr std::uint64_t kCells = 10;

void append_uint(std::string& out, std::uint64_t v) {
  std::array<char, 24> buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  out.append(buf.data(), r.ptr);
}

}  // namespace

std::string progress_text(std::uint64_t level, std::uint64_t pct, std::uint64_t done_now,
                          std::uint64_t total, double elapsed, double remaining) {
  const std::uint64_t filled = pct / 10 < kCells ? pct / 10 : kCells;
  std::string out;
  out.reserve(128);
  out += "\r  [QARN] L";
  append_uint(out, level);
  out += " Progress: [";
  for (std::uint64_t i = 0; i < kCells; ++i) out += i < filled ? kFull : kEmpty;
  out += "] ";
  append_uint(out, pct);
  out += "% (";
  append_uint(out, done_now);
  out += "/";
  append_uint(out, total);
  out += ") | ";
  append_fixed(out, elapsed, 1);
  out += "s (Est: ";
  append_fixed(out, remaining, 1);
  out += "s)   ";
  return out;
}

void write_stdout(std::string_view text) {
  // One lock around write and flush, so that a line from another thread
  // cannot land between them. Errors are not reported: the search must go
  // on whether or not anyone reads the console.
  flockfile(stdout);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  funlockfile(stdout);
}

void progress_add(ProgressState& state, std::uint64_t count) {
  const std::uint64_t total = state.total;
  if (total == 0) return;
  const std::uint64_t done_now = state.done.fetch_add(count) + count;
  const std::uint64_t pct = done_now * 100 / total;
  const auto printed = [&] {
    const std::uint64_t last = state.last.load();
    return last > 99 || pct <= last;
  };
  // Most steps reach no new percentage: a look without the lock.
  if (printed()) return;

  // Claiming a percentage and writing its line happen under one lock, so the
  // lines reach the console in the order of their percentages: the line only
  // moves forward, a percentage overtaken by a higher one is never printed,
  // nor anything after 100, and the 100 % line (drawn by the step that
  // reaches the total) is the last.
  const std::lock_guard<std::mutex> lock(state.print);
  if (printed()) return;
  state.last.store(pct);

  const auto since = std::chrono::steady_clock::now() - state.start;
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(since);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since - whole);
  const double elapsed =
      static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
  const double remaining = elapsed * 100.0 / static_cast<double>(pct) - elapsed;
  write_stdout(progress_text(state.level, pct, done_now, total, elapsed, remaining));
}

}  // namespace qarn
