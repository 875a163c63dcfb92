#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/level_loop.h"
#include "engine/search_config.h"
#include "engine/search_error.h"
#include "engine/search_result.h"
#include "engine/wire.h"
#include "ops/data_columns.h"

// A search whose levels are built by several processes: one driver and any
// number of scorers (scorer.h), which exchange only bytes (the messages of
// engine/wire.h). The driver runs the same LevelLoop as the local search; per
// level it cuts the expansion into consecutive runs, which scorers form,
// admit (bucket by bucket against the seen layers, seen_layer.h), score and
// summarise; the driver merges the runs' summaries into the level's winner
// and beam exactly as the local search chooses them, takes the retained
// formulas from the runs, and closes the level. Whatever the number of runs
// and scorers, the front is the local search's, bit for bit. A step given
// bytes it cannot use returns the reason instead.

namespace qarn {

class ClusterDriver {
 public:
  // The start checks of the local search (the same errors, in the same
  // order), then level 1 seeded. With a `checkpoint` path the search keeps
  // its state in that file (engine/checkpoint.h): when the file exists, the
  // search continues from the level it completed (its errors are the local
  // search's); else level 1 is written there.
  static Expected<std::unique_ptr<ClusterDriver>> start(const Rows& rows,
                                                        std::span<const double> targets,
                                                        const SearchConfig& config,
                                                        std::string checkpoint = {});

  // The level the checkpoint let the search continue from; 0 when it began
  // at level 1.
  std::uint64_t resumed_level() const { return resumed_; }

  // The seen fingerprints of a level the checkpoint restored (2 ..
  // resumed_level()), as one layer per bucket; nothing for another level.
  std::optional<std::vector<std::string>> seen_layers(std::uint64_t level,
                                                      std::size_t buckets) const;

  // With a checkpoint, writes it after the level just closed, given that
  // level's layers (one per bucket, as the admission made them). A failure
  // to write is kept in checkpoint_error(); the search goes on.
  Decoded<bool> save_checkpoint(std::span<const std::string_view> layers);
  const std::string& checkpoint_error() const { return checkpoint_error_; }

  // Opens the next level (LevelLoop::next_level): its number, or nothing
  // when the search is over.
  std::optional<std::uint64_t> next_level() { return loop_->next_level(); }

  // The retained formulas of `level` (1 .. the last closed level), for the
  // scorers; nothing for another level.
  std::optional<std::string> level_bytes(std::uint64_t level) const;

  // The fingerprints seen at level 1 (the seeds), as one layer per bucket.
  std::vector<std::string> first_layers(std::size_t buckets) const;

  // The open level's expansion items (engine/expand.h) cut into at most
  // `runs` consecutive runs [begin, end) of nearly equal numbers of children.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> expansion_runs(std::size_t runs) const;

  // The progress line of the open level, counted over the runs scored.
  void start_scoring(std::uint64_t total) { loop_->start_scoring(total); }
  void scored(std::uint64_t count) { loop_->scored(count); }
  void end_scoring() { loop_->end_scoring(); }

  // Merges the runs' summaries (in run order): the level's winner and the
  // first round of its beam. When not complete, each run must send its best
  // `rest` entries outside its elite positions by (elite count, score).
  struct FirstRound {
    bool complete = true;
    std::uint64_t rest = 0;
    std::vector<std::vector<std::size_t>> elite_positions;  // per run, ascending
    std::unordered_map<std::string, std::uint32_t> elite_counts;
  };
  Decoded<FirstRound> first_round(std::span<const std::string_view> summaries);

  // Completes the beam from the runs' answers (in run order); returns the
  // beam's size.
  Decoded<std::size_t> second_round(std::span<const std::string_view> rests);

  // Per run the ascending positions whose formulas the driver needs.
  std::vector<std::vector<std::size_t>> wanted(std::size_t runs) const;

  // Takes each run's wanted formulas (empty for a run with none), records the
  // level's winner and closes the level; returns the number retained.
  Decoded<std::size_t> accept(std::span<const std::optional<std::string_view>> formulas);

  // Drops the open level (LevelLoop::drop_level): nothing of it is kept, no
  // level follows, and the front is that of the levels closed before it.
  void drop_level() { loop_->drop_level(); }

  // The front, refitted once, or the search's error.
  Expected<std::vector<SearchResult>> front() { return loop_->front(); }

 private:
  explicit ClusterDriver(std::unique_ptr<LevelLoop> loop) : loop_(std::move(loop)) {}

  std::unique_ptr<LevelLoop> loop_;
  // The checkpoint: its path (empty: none), the data's digest, the last
  // failure to write it, and the seen digests of levels 2, 3, ... as stored.
  std::string checkpoint_;
  std::uint64_t data_hash_ = 0;
  std::uint64_t resumed_ = 0;
  std::string checkpoint_error_;
  std::vector<std::string> seen_levels_;
  // The selection of the open level.
  BeamFirstRound first_;
  std::vector<BeamEntry> kept_;  // the beam, in order
  bool has_winner_ = false;
  WinnerPlace winner_;
};

}  // namespace qarn
