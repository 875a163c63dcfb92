#include "engine/level_loop.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string>

#include "engine/best.h"
#include "engine/checkpoint.h"
#include "engine/checks.h"
#include "engine/duration.h"

namespace qarn {
namespace {

using Clock = std::chrono::steady_clock;

std::string started_text(std::size_t seeded) {
  return "[QARN-SR] Started search space exploration. Level 1 seeded with " +
         std::to_string(seeded) + " primary nodes.\n";
}

std::string level_done_text(std::uint64_t level, std::chrono::nanoseconds elapsed,
                            std::size_t retained) {
  return "[QARN-SR]   -> Level " + std::to_string(level) + " processed in " +
         format_duration(elapsed) + ". Retaining top " + std::to_string(retained) +
         " candidates.\n";
}

// Order-sensitive hash of a retained level (texts and parameter bits), so that
// runs can be compared without keeping every formula.
std::uint64_t digest(const Level& level) {
  std::uint64_t h = 1469598103934665603ull;
  const auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
  for (const Formula& f : level.formulas) {
    mix(std::hash<std::string>{}(f.text));
    for (const Token& t : f.tokens) {
      if (t.kind == TokenKind::Parameter) mix(std::bit_cast<std::uint64_t>(t.value.re));
    }
  }
  return h;
}

}  // namespace

Expected<std::unique_ptr<LevelLoop>> LevelLoop::start(const Rows& rows,
                                                      std::span<const double> targets,
                                                      const SearchConfig& config,
                                                      SearchControl* control, bool keep_columns) {
  if (auto error = check_start(config, rows, targets)) return *std::move(error);
  std::unique_ptr<LevelLoop> loop(new LevelLoop(config, control, keep_columns));
  SearchState& s = loop->s_;
  loop->began_ = Clock::now();
  load_search_data(s, rows, targets);
  if (control != nullptr) control->level.store(1, std::memory_order_relaxed);
  if (control != nullptr && !control->checkpoint_path().empty()) {
    loop->data_digest_ = data_digest(rows, targets);
  }
  // A checkpoint, when there is one, gives the levels it completed.
  const Expected<std::uint64_t> resumed =
      resume_from_checkpoint(s, loop->data_digest_, config, control);
  if (const SearchError* error = std::get_if<SearchError>(&resumed)) return *error;
  loop->level_ = std::max<std::uint64_t>(std::get<std::uint64_t>(resumed), 1);
  if (std::get<std::uint64_t>(resumed) == 0) {
    seed_level(s, rows[0].size(), config);
    if (keep_columns) cache_columns(s, s.levels[1]);
    save_checkpoint(s, loop->data_digest_, config, 1, control);
  }
  if (control != nullptr) {
    control->completed_levels.store(loop->level_, std::memory_order_relaxed);
    loop->report_level({loop->level_, s.levels[loop->level_].size(),
                        std::chrono::duration<double>(Clock::now() - loop->began_).count(),
                        lowest_loss(s.best)});
  }
  return loop;
}

std::optional<std::uint64_t> LevelLoop::next_level() {
  if (should_stop(s_.best, config_.stop_threshold, config_.no_early_stop)) return std::nullopt;
  if (!started_) {
    started_ = true;
    write_stdout(started_text(s_.levels[1].size()));
  }
  if (level_ + 1 > config_.max_complexity) return std::nullopt;
  ++level_;
  opened_ = Clock::now();
  if (control_ != nullptr) {
    control_->total.store(0, std::memory_order_relaxed);
    control_->scored.store(0, std::memory_order_relaxed);
    control_->level.store(level_, std::memory_order_relaxed);
    control_->phase.store(SearchPhase::Expanding, std::memory_order_relaxed);
  }
  return level_;
}

ProgressState& LevelLoop::start_scoring(std::uint64_t total) {
  if (control_ != nullptr) {
    control_->total.store(total, std::memory_order_relaxed);
    control_->phase.store(SearchPhase::Scoring, std::memory_order_relaxed);
  }
  progress_.total = total;
  progress_.done.store(0);
  progress_.last.store(0);
  progress_.level = level_;
  progress_.start = Clock::now();
  return progress_;
}

void LevelLoop::end_scoring() {
  if (progress_.total > 0) write_stdout("\n");
}

LevelStats LevelLoop::close_level(Level kept, LevelStats stats) {
  // The last level has no children, so its values on the data are not stored.
  add_level(s_, std::move(kept), keep_columns_ && level_ < config_.max_complexity);
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - opened_);
  write_stdout(level_done_text(level_, elapsed, s_.levels[level_].size()));
  stats.level = level_;
  stats.retained = s_.levels[level_].size();
  stats.retained_digest = digest(s_.levels[level_]);
  stats.seen_bytes = s_.seen.memory_bytes();
  stats.seconds = std::chrono::duration<double>(elapsed).count();
  if (stats.formed > 0) {
    admit_ratio_ = static_cast<double>(stats.admitted) / static_cast<double>(stats.formed);
  }
  if (control_ != nullptr) {
    control_->completed_levels.store(level_, std::memory_order_relaxed);
    report_level({level_, stats.admitted, stats.seconds, lowest_loss(s_.best)});
    save_checkpoint(s_, data_digest_, config_, level_, control_);
  }
  return stats;
}

void LevelLoop::report_level(const LevelRecord& record) {
  control_->record_level(record);
  control_->record_best(best_results(s_.best, s_.registry));
}

void LevelLoop::drop_level() {
  if (control_ != nullptr) control_->mark_cut_short();
  const bool out_of_memory = control_ != nullptr && control_->memory_stopped();
  write_stdout((out_of_memory ? "[QARN-SR] Out of memory for level "
                              : "[QARN-SR] Search stopped during level ") +
               std::to_string(level_) + "; returning the front of levels 1 to " +
               std::to_string(level_ - 1) + ".\n");
  // Nothing follows a dropped level.
  level_ = config_.max_complexity;
}

Expected<std::vector<SearchResult>> LevelLoop::front() {
  auto front = extract_front(s_.best, s_.registry, config_, s_.data, s_.targets);
  if (control_ != nullptr) control_->phase.store(SearchPhase::Finished, std::memory_order_relaxed);
  return front;
}

}  // namespace qarn
