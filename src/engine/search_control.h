#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/search_result.h"

namespace qarn {

// What a search does at the moment, as SearchControl::phase reports it.
enum class SearchPhase : std::uint8_t {
  Idle = 0,       // not started, or seeding level 1
  Expanding = 1,  // forming and deduplicating the children of `level`
  Scoring = 2,    // scoring the `total` new candidates of `level`
  Finished = 3,   // the front has been extracted (or the search failed)
};

// One completed level as a control records it: its candidates (level 1: its
// leaves), the seconds it took and the lowest loss found up to it.
struct LevelRecord {
  std::uint64_t level = 0;
  std::uint64_t candidates = 0;
  double seconds = 0.0;
  double best_loss = 0.0;
};

// Lets the caller of a search bound it in time, stop it from another thread,
// and watch its progress while it runs. A search given no control runs
// exactly as one whose control never expires: the same levels, the same
// results, the same console lines.
//
// The loops look at the control once per piece of work (a few candidates or
// a few thousand children), never once per candidate: the clock is read at
// most once per piece. Once expired, a control stays expired; the search then
// drops the level in progress and returns the front of the completed levels.
class SearchControl {
 public:
  using Clock = std::chrono::steady_clock;

  // The search expires at `when`. Set before the search starts.
  void set_deadline(Clock::time_point when) {
    deadline_ = when;
    has_deadline_ = true;
  }

  // Asks the running search to stop as if its deadline had passed.
  // Thread-safe; may be called before the search starts.
  void request_stop() noexcept { expired_.store(true, std::memory_order_relaxed); }

  // True once a stop was requested or the deadline has passed. Reads the
  // clock when a deadline is set: call at piece boundaries.
  bool expired() noexcept {
    if (expired_.load(std::memory_order_relaxed)) return true;
    if (has_deadline_ && Clock::now() >= deadline_) {
      expired_.store(true, std::memory_order_relaxed);
      return true;
    }
    return false;
  }

  // Whether the search returned without building every level it would have
  // built: set by the driver when it drops a level.
  bool cut_short() const noexcept { return cut_short_.load(std::memory_order_relaxed); }
  void mark_cut_short() noexcept { cut_short_.store(true, std::memory_order_relaxed); }

  // Bounds the memory of the search: before each level it estimates what the
  // level will need and, when that would pass `bytes`, stops there as if
  // expired, with memory_stopped() set. With a control, running out of memory
  // during a level (std::bad_alloc) ends the search the same way, keeping the
  // completed levels. 0: no bound. Set before the search starts.
  void set_memory_limit(std::size_t bytes) noexcept { memory_limit_ = bytes; }
  std::size_t memory_limit() const noexcept { return memory_limit_; }
  bool memory_stopped() const noexcept { return memory_stopped_.load(std::memory_order_relaxed); }
  void mark_memory_stopped() noexcept {
    memory_stopped_.store(true, std::memory_order_relaxed);
    request_stop();
  }

  // A file the search writes its state to after each completed level, and
  // continues from when it exists at the start (engine/checkpoint.h). Empty:
  // none. Set before the search starts.
  void set_checkpoint_path(std::string path) { checkpoint_path_ = std::move(path); }
  const std::string& checkpoint_path() const noexcept { return checkpoint_path_; }
  // The last failure to write the checkpoint; empty when none.
  void set_checkpoint_error(std::string text) {
    const std::lock_guard lock(records_mutex_);
    checkpoint_error_ = std::move(text);
  }
  std::string checkpoint_error() const {
    const std::lock_guard lock(records_mutex_);
    return checkpoint_error_;
  }

  // The completed levels, in order; readable from any thread.
  void record_level(const LevelRecord& record) {
    const std::lock_guard lock(records_mutex_);
    records_.push_back(record);
  }
  std::vector<LevelRecord> level_records() const {
    const std::lock_guard lock(records_mutex_);
    return records_;
  }

  // The lowest-loss formula of each complexity over the completed levels,
  // in ascending complexity, with the losses their scoring gave (the front's
  // refit comes only at the end): what a caller can work on while the next
  // level is built. Replaced after each level; readable from any thread.
  void record_best(std::vector<SearchResult> best) {
    const std::lock_guard lock(records_mutex_);
    best_ = std::move(best);
  }
  std::vector<SearchResult> best_so_far() const {
    const std::lock_guard lock(records_mutex_);
    return best_;
  }

  // Progress, written by the search and readable from any thread at any time
  // (each figure on its own; together they may be a moment apart).
  std::atomic<SearchPhase> phase{SearchPhase::Idle};
  std::atomic<std::uint64_t> level{0};             // level being built, 1 while seeding
  std::atomic<std::uint64_t> total{0};             // new candidates of `level` to score
  std::atomic<std::uint64_t> scored{0};            // of which scored so far
  std::atomic<std::uint64_t> completed_levels{0};  // highest level built completely

 private:
  Clock::time_point deadline_{};
  bool has_deadline_ = false;
  std::atomic<bool> expired_{false};
  std::atomic<bool> cut_short_{false};
  std::size_t memory_limit_ = 0;
  std::atomic<bool> memory_stopped_{false};
  mutable std::mutex records_mutex_;
  std::vector<LevelRecord> records_;
  std::vector<SearchResult> best_;
  std::string checkpoint_path_;
  std::string checkpoint_error_;
};

}  // namespace qarn
