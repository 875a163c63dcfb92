#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/bfs.h"
#include "engine/search_config.h"
#include "engine/search_error.h"
#include "engine/search_result.h"

// A search whose levels are built by several processes: one driver and any
// number of scorers, which exchange only bytes (the forms of engine/wire.h).
// Per level the driver forms and deduplicates the children in the local loop
// order and cuts them into consecutive runs; a scorer scores a run and keeps
// it; the runs' summaries and the driver's merges choose the level's winner
// and beam exactly as the local search does; the runs build the retained
// formulas, which every scorer then loads. Whatever the number of runs and
// scorers, the front is the local search's, bit for bit.

namespace qarn {

// The data set and settings as bytes, for both sides.
std::string encode_search_data(const Rows& rows, std::span<const double> targets);
std::string encode_search_config(const SearchConfig& config);

class ClusterDriver {
 public:
  // Makes the entry points' checks (checks.h) and checks the data set as
  // run_search does (the same errors, in the same order), then seeds
  // level 1. Empty (no error) when the bytes are malformed.
  static std::optional<Expected<std::unique_ptr<ClusterDriver>>> start(std::string_view data,
                                                                       std::string_view config);
  ~ClusterDriver();

  bool should_stop();

  // Formulas retained at `level` (1 .. built), or empty for another level.
  std::optional<std::size_t> level_size(std::uint64_t level) const;
  std::optional<std::string> level_bytes(std::uint64_t level) const;

  // The admitted children of the next level in loop order, cut into at most
  // `runs` consecutive runs of nearly equal length (none when nothing was
  // admitted). Empty when `level` is not the next level.
  struct Runs {
    std::vector<std::string> children;  // one byte string per run
    std::vector<std::size_t> lengths;   // children per run
    std::uint64_t formed = 0;           // children formed before deduplication
  };
  std::optional<Runs> expand(std::uint64_t level, std::size_t runs);

  // Expansion and deduplication on the scorers instead: the level's
  // expansion items (engine/expand.h) cut into at most `runs` consecutive
  // ranges [begin, end) of nearly equal numbers of children. Empty when
  // `level` is not the next level.
  std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>> expansion_ranges(
      std::uint64_t level, std::size_t runs) const;

  // The fingerprints seen at level 1 (the seeds), as one layer per bucket.
  std::vector<std::string> first_layers(std::size_t buckets) const;

  // Merges the runs' summaries (in run order): the level's winner and the
  // first round of its beam. When not complete, each run must send its best
  // `rest` entries outside its elite positions by (elite count, score).
  struct FirstRound {
    bool complete = true;
    std::uint64_t rest = 0;
    std::vector<std::vector<std::size_t>> elite_positions;  // per run, ascending
    std::unordered_map<std::string, std::uint32_t> elite_counts;
  };
  std::optional<FirstRound> first_round(std::span<const std::string_view> summaries);

  // Completes the beam from the runs' answers (in run order).
  bool second_round(std::span<const std::string_view> rests);

  // Per run the ascending positions whose formulas the driver needs.
  std::vector<std::vector<std::size_t>> wanted(std::size_t runs) const;

  // Takes each run's wanted formulas (empty for a run with none), records the
  // level's winner and appends the retained level; returns its size.
  std::optional<std::size_t> accept(std::span<const std::optional<std::string_view>> formulas);

  // The front, refitted once, or the search's error.
  Expected<std::vector<SearchResult>> front();

 private:
  ClusterDriver();
  struct State;
  std::unique_ptr<State> state_;
};

class ClusterScorer {
 public:
  // Empty when the bytes are malformed.
  static std::unique_ptr<ClusterScorer> create(std::string_view data, std::string_view config);
  ~ClusterScorer();

  // Retained levels held: 1 .. loaded().
  std::uint64_t loaded() const;

  // Loads the next retained level (its parameter-free formulas keep their
  // values on the data from level 2 on, as in the local search).
  bool add_level(std::string_view formulas);

  // Each step below needs the levels under `level` loaded, and returns
  // nothing for malformed bytes or a level it cannot serve.

  // Forms the children of the expansion items [begin, end) of `level` in
  // loop order: the run (children with the bucket of each fingerprint), then
  // for each of `buckets` buckets the run's fingerprint digests in it.
  std::optional<std::vector<std::string>> form(std::uint64_t level, std::uint64_t begin,
                                               std::uint64_t end, std::size_t buckets) const;

  // Admits one bucket of a level: the layers of the earlier levels for the
  // bucket and each run's digests in it (in run order). Returns the level's
  // layer for the bucket and, per run, which digests were admitted (flags).
  struct Admission {
    std::string layer;
    std::string flags;
    std::vector<std::uint64_t> admitted;  // per run
  };
  static std::optional<Admission> admit(std::span<const std::string_view> earlier_layers,
                                        std::span<const std::string_view> runs);

  // Scores the admitted children of a formed run (run `run` of the level),
  // given every bucket's flags in bucket order.
  std::optional<std::string> score_admitted(std::uint64_t level, std::string_view formed,
                                            std::size_t run,
                                            std::span<const std::string_view> flags) const;

  // Scores a run of children of `level`.
  std::optional<std::string> score(std::uint64_t level, std::string_view children) const;

  // The run's level winner and its best beam_width entries by score with keys.
  std::optional<std::string> summary(std::uint64_t level, std::string_view scored) const;

  // The run's best `rest` entries outside `elite` (its elite positions) by
  // (elite count of their key, score).
  std::optional<std::string> rest(std::uint64_t level, std::string_view scored,
                                  std::span<const std::size_t> elite,
                                  const std::unordered_map<std::string, std::uint32_t>& counts,
                                  std::uint64_t rest) const;

  // The formulas of the run's entries at `positions`, in that order.
  std::optional<std::string> formulas(std::uint64_t level, std::string_view scored,
                                      std::span<const std::size_t> positions) const;

 private:
  ClusterScorer();
  struct State;
  std::unique_ptr<State> state_;
};

// The console lines of a search, as the local search writes them.
std::string exploration_started_line(std::size_t seeded);
std::string level_finished_line(std::uint64_t level, std::chrono::nanoseconds elapsed,
                                std::size_t retained);
std::string scoring_progress_line(std::uint64_t level, std::uint64_t pct, std::uint64_t done,
                                  std::uint64_t total, double elapsed, double remaining);
void write_console(std::string_view text);

}  // namespace qarn
