#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/level_steps.h"
#include "engine/search_config.h"
#include "engine/wire.h"

// The scorers' side of a search over processes (driver.h): a scorer holds the
// data set and the retained levels, no seen set, and serves the steps of a
// level on runs of its children. Every step takes and returns bytes; given
// bytes it cannot use, or a level it cannot serve, it returns the reason.

namespace qarn {

class ClusterScorer {
 public:
  static Decoded<std::unique_ptr<ClusterScorer>> create(std::string_view data,
                                                        std::string_view config);

  // Retained levels held: 1 .. loaded().
  std::uint64_t loaded() const { return loaded_; }

  // Loads the next retained level (its formulas keep their values on the
  // data, as in the local search); returns its size.
  Decoded<std::size_t> add_level(std::string_view formulas);

  // Each step below needs the levels under `level` loaded.

  // Forms the children of the expansion items [begin, end) of `level` in
  // loop order: the formed run (children with the bucket of each
  // fingerprint), then for each of `buckets` buckets the run's fingerprint
  // digests in it.
  Decoded<std::vector<std::string>> form(std::uint64_t level, std::uint64_t begin,
                                         std::uint64_t end, std::size_t buckets) const;

  // Admits one bucket of a level: the layers of the earlier levels for the
  // bucket and each run's digests in it (in run order). Returns the level's
  // layer for the bucket and, per run, which digests were admitted (flags)
  // and how many.
  struct Admission {
    std::string layer;
    std::string flags;
    std::vector<std::uint64_t> admitted;  // per run
  };
  static Decoded<Admission> admit(std::span<const std::string_view> earlier_layers,
                                  std::span<const std::string_view> runs);

  // Scores the admitted children of a formed run (run `run` of the level),
  // given every bucket's flags in bucket order: the scored run.
  Decoded<std::string> score(std::uint64_t level, std::string_view formed, std::size_t run,
                             std::span<const std::string_view> flags) const;

  // The scored run's level winner and its best beam_width entries by score
  // with keys.
  Decoded<std::string> summary(std::uint64_t level, std::string_view scored) const;

  // The scored run's best `rest` entries outside `elite` (its elite positions,
  // ascending) by (elite count of their key, score).
  Decoded<std::string> rest(std::uint64_t level, std::string_view scored,
                            std::span<const std::size_t> elite,
                            const std::unordered_map<std::string, std::uint32_t>& counts,
                            std::uint64_t rest) const;

  // The formulas of the scored run's entries at `positions`, in that order.
  Decoded<std::string> formulas(std::uint64_t level, std::string_view scored,
                                std::span<const std::size_t> positions) const;

 private:
  ClusterScorer() = default;

  // Why `level` cannot be served, or empty: children of a level read only the
  // levels below it.
  std::string unserved(std::uint64_t level) const;
  // A child of `level` whose parents and operator exist.
  bool valid(std::uint64_t level, const Child& c) const;
  // A scored run of `level` whose children are valid and whose fitted values
  // are all in its store.
  bool valid(std::uint64_t level, const ScoredLevel& scored) const;
  // The scored run of `level` in `bytes`, checked.
  Decoded<ScoredLevel> scored_run(std::uint64_t level, std::string_view bytes) const;

  SearchConfig config_;
  SearchState s_;
  std::uint64_t loaded_ = 0;
};

}  // namespace qarn
