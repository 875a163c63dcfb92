#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/level_steps.h"
#include "engine/search_config.h"
#include "engine/search_control.h"
#include "engine/search_error.h"

// A search's state between levels in a file, so that a search that was
// stopped, killed or crashed continues from its last completed level: the
// retained formulas of every level, the best formula of each complexity with
// its loss, the seen fingerprints' tables, the settings and a digest of the
// data. A search continued from it gives the bits of the search that was
// never stopped.
//
// The file is written after each completed level to a temporary file beside
// it, flushed to disk and renamed over it, so that it always holds one
// complete state. It ends with a checksum of everything before it.

namespace qarn {

// The digest of a data set that a checkpoint is checked against.
std::uint64_t data_digest(const Rows& rows, std::span<const double> targets);

// With a checkpoint path on `control` and a file there, restores `s` (after
// load_search_data) from it and returns the level it completed; 0 when there
// is nothing to resume (no path, or no file yet). A file written for other
// data or settings, or one that is truncated or corrupted, is an
// InvalidArgument error that says so.
Expected<std::uint64_t> resume_from_checkpoint(SearchState& s, std::uint64_t data_hash,
                                               const SearchConfig& config,
                                               const SearchControl* control);

// Writes the state after `level` when `control` has a checkpoint path. A
// failure to write is recorded on the control (checkpoint_error); the search
// goes on.
void save_checkpoint(const SearchState& s, std::uint64_t data_hash, const SearchConfig& config,
                     std::uint64_t level, SearchControl* control);

// The checkpoint of a search over processes (cluster/driver.h), whose seen
// fingerprints are `seen_levels`: per level after the first, the digests
// first seen there (FingerprintDigest's a and b, 16 bytes each).
// resume_cluster_checkpoint restores `s` (after LevelLoop::start, without the
// levels' columns) from the file at `path` and returns the level it completed
// with `seen_levels` filled, or 0 when there is no file. Its errors are those
// of resume_from_checkpoint; each of the two refuses the other's files.
// write_cluster_checkpoint returns why the file could not be written, empty
// when it was.
Expected<std::uint64_t> resume_cluster_checkpoint(SearchState& s, const std::string& path,
                                                  std::uint64_t data_hash,
                                                  const SearchConfig& config,
                                                  std::vector<std::string>& seen_levels);
std::string write_cluster_checkpoint(const SearchState& s, const std::string& path,
                                     std::uint64_t data_hash, const SearchConfig& config,
                                     std::uint64_t level, std::span<const std::string> seen_levels);

}  // namespace qarn
