#include "engine/checkpoint.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/wire.h"

namespace qarn {
namespace {

constexpr std::string_view kMagic = "QARNCKPT";
constexpr std::uint64_t kVersion = 3;

// Which search wrote a checkpoint. The local search and the cluster search
// keep their seen fingerprints in forms that do not convert into each other
// (the local set keeps only part of each digest), so each continues only its
// own checkpoints.
enum class CheckpointKind : std::uint64_t { Local = 1, Cluster = 2 };

std::uint64_t fnv1a(std::string_view bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

void put_u64(std::string& out, std::uint64_t v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void put_bytes(std::string& out, std::string_view bytes) {
  put_u64(out, bytes.size());
  out.append(bytes);
}

// Reads what put_u64 and put_bytes wrote; every read after the first that
// runs past the end fails.
class Cursor {
 public:
  explicit Cursor(std::string_view in) : in_(in) {}
  bool u64(std::uint64_t& v) {
    if (!ok_ || in_.size() - at_ < sizeof v) return ok_ = false;
    std::memcpy(&v, in_.data() + at_, sizeof v);
    at_ += sizeof v;
    return true;
  }
  bool bytes(std::string_view& v) {
    std::uint64_t n = 0;
    if (!u64(n) || in_.size() - at_ < n) return ok_ = false;
    v = in_.substr(at_, n);
    at_ += n;
    return true;
  }
  bool finished() const { return ok_ && at_ == in_.size(); }

 private:
  std::string_view in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace

std::uint64_t data_digest(const Rows& rows, std::span<const double> targets) {
  return fnv1a(encode_data(rows, targets));
}

namespace {

// The first setting in which two configurations differ, as text.
std::string config_difference(const SearchConfig& a, const SearchConfig& b) {
  const auto text = [](auto x) {
    if constexpr (std::is_same_v<decltype(x), bool>)
      return std::string(x ? "True" : "False");
    else
      return std::to_string(x);
  };
  const auto diff = [&](const char* name, auto x, auto y) {
    return std::string(name) + " " + text(x) + " (the checkpoint's " + text(y) + ")";
  };
  if (a.max_complexity != b.max_complexity)
    return diff("max_complexity", a.max_complexity, b.max_complexity);
  if (a.beam_width != b.beam_width) return diff("beam_width", a.beam_width, b.beam_width);
  for (std::uint64_t level = 2; level < 2 + kLevelBeamWidths; ++level) {
    const std::uint64_t x = beam_width_at(a, level);
    const std::uint64_t y = beam_width_at(b, level);
    if (x != y) return diff(("beam width at level " + std::to_string(level)).c_str(), x, y);
  }
  if (a.complexity_penalty != b.complexity_penalty)
    return diff("complexity_penalty", a.complexity_penalty, b.complexity_penalty);
  if (a.alpha != b.alpha) return diff("alpha", a.alpha, b.alpha);
  if (a.l1_ratio != b.l1_ratio) return diff("l1_ratio", a.l1_ratio, b.l1_ratio);
  if (a.no_early_stop != b.no_early_stop)
    return diff("early stop", !a.no_early_stop, !b.no_early_stop);
  return "the search settings";
}

std::string encode_state(const SearchState& s, std::uint64_t data_hash, const SearchConfig& config,
                         std::uint64_t level, CheckpointKind kind,
                         std::span<const std::string> seen_levels) {
  std::string out(kMagic);
  put_u64(out, kVersion);
  put_u64(out, data_hash);
  put_bytes(out, encode_config(config));
  put_u64(out, level);
  put_u64(out, static_cast<std::uint64_t>(kind));
  for (std::uint64_t k = 1; k <= level; ++k) put_bytes(out, encode_formulas(s.levels[k].formulas));
  std::vector<Formula> best;
  put_u64(out, s.best.entries.size());
  for (const auto& [complexity, entry] : s.best.entries) {
    put_u64(out, std::bit_cast<std::uint64_t>(entry.loss));
    best.push_back(entry.candidate);
  }
  put_bytes(out, encode_formulas(best));
  // The local search keeps its seen set's tables, the cluster search the
  // digests of each level after the first.
  if (kind == CheckpointKind::Local) {
    put_u64(out, 1);
    put_bytes(out, s.seen.save());
  } else {
    put_u64(out, seen_levels.size());
    for (const std::string& part : seen_levels) put_bytes(out, part);
  }
  put_u64(out, fnv1a(out));
  return out;
}

std::string errno_text() { return std::strerror(errno); }

// Writes `bytes` to `path` through a temporary file beside it: written,
// flushed to disk, then renamed over `path`. An error message, empty on
// success.
std::string write_atomically(const std::string& path, std::string_view bytes) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return "cannot create " + temporary + ": " + errno_text();
  std::size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string message = "cannot write " + temporary + ": " + errno_text();
      ::close(fd);
      ::unlink(temporary.c_str());
      return message;
    }
    at += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const std::string message = "cannot flush " + temporary + ": " + errno_text();
    ::unlink(temporary.c_str());
    return message;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string message = "cannot rename " + temporary + ": " + errno_text();
    ::unlink(temporary.c_str());
    return message;
  }
  return {};
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

SearchError unusable(const std::string& path, const std::string& why) {
  return SearchError::invalid_argument("checkpoint " + path + " " + why +
                                       "; remove it (or give another path) to start afresh");
}

std::string kind_text(CheckpointKind kind) {
  return kind == CheckpointKind::Cluster ? "a search on a Dask cluster" : "a local search";
}

// Restores `s` from the checkpoint at `path` written by a search of `kind`
// and returns the level it completed, 0 when there is no file. `take_seen`
// gets the stored seen fingerprints and the level before anything of `s`
// changes, and says whether it could use them.
Expected<std::uint64_t> restore(
    SearchState& s, const std::string& path, std::uint64_t data_hash, const SearchConfig& config,
    CheckpointKind kind, bool keep_columns,
    const std::function<bool(std::span<const std::string_view>, std::uint64_t)>& take_seen) {
  if (::access(path.c_str(), F_OK) != 0) return std::uint64_t{0};
  const std::optional<std::string> file = read_file(path);
  if (!file) return unusable(path, "cannot be read");
  const std::string_view bytes(*file);
  const auto damaged = [&] { return unusable(path, "is truncated or corrupted"); };
  if (bytes.size() < kMagic.size() + 16 || bytes.substr(0, kMagic.size()) != kMagic) {
    return unusable(path, "is not a qarn_sr checkpoint");
  }
  std::uint64_t checksum = 0;
  std::memcpy(&checksum, bytes.data() + bytes.size() - 8, 8);
  if (fnv1a(bytes.substr(0, bytes.size() - 8)) != checksum) return damaged();

  Cursor in(bytes.substr(kMagic.size(), bytes.size() - 8 - kMagic.size()));
  std::uint64_t version = 0;
  std::uint64_t digest = 0;
  std::string_view config_bytes;
  std::uint64_t level = 0;
  std::uint64_t stored_kind = 0;
  if (!in.u64(version) || version != kVersion) {
    return unusable(path, "was written by another version of qarn_sr");
  }
  if (!in.u64(digest) || !in.bytes(config_bytes) || !in.u64(level) || !in.u64(stored_kind)) {
    return damaged();
  }
  if (digest != data_hash) {
    return unusable(path, "was written for other data (X or y differ)");
  }
  const Decoded<SearchConfig> stored = decode_config(config_bytes);
  if (!stored) return damaged();
  if (config_bytes != encode_config(config)) {
    return unusable(path, "was written with other settings: " + config_difference(config, *stored));
  }
  if (level < 1 || level > config.max_complexity) return damaged();
  if (stored_kind != static_cast<std::uint64_t>(kind)) {
    const CheckpointKind other =
        kind == CheckpointKind::Local ? CheckpointKind::Cluster : CheckpointKind::Local;
    if (stored_kind != static_cast<std::uint64_t>(other)) return damaged();
    // The two keep their seen fingerprints in forms that do not convert.
    return unusable(path, "was written by " + kind_text(other) + ", which only " +
                              kind_text(other) + " can continue");
  }
  std::vector<Level> levels;
  for (std::uint64_t k = 1; k <= level; ++k) {
    std::string_view formulas;
    if (!in.bytes(formulas)) return damaged();
    Decoded<std::vector<Formula>> decoded = decode_formulas(formulas);
    if (!decoded) return damaged();
    Level restored;
    for (Formula& f : *decoded) restored.add(std::move(f), *s.registry);
    levels.push_back(std::move(restored));
  }
  std::uint64_t best_count = 0;
  if (!in.u64(best_count) || best_count > level) return damaged();
  std::vector<double> losses(best_count);
  for (double& loss : losses) {
    std::uint64_t bits = 0;
    if (!in.u64(bits)) return damaged();
    loss = std::bit_cast<double>(bits);
  }
  std::string_view best_bytes;
  std::uint64_t seen_count = 0;
  if (!in.bytes(best_bytes) || !in.u64(seen_count) || seen_count > level) return damaged();
  std::vector<std::string_view> seen(seen_count);
  for (std::string_view& part : seen) {
    if (!in.bytes(part)) return damaged();
  }
  if (!in.finished()) return damaged();
  Decoded<std::vector<Formula>> best = decode_formulas(best_bytes);
  if (!best || best->size() != best_count || !take_seen(seen, level)) return damaged();

  // The levels are stored as the search stored them: level 1 with its
  // columns, every later one with them unless it is the last.
  s.levels[1] = std::move(levels[0]);
  if (keep_columns) cache_columns(s, s.levels[1]);
  for (std::uint64_t k = 2; k <= level; ++k) {
    add_level(s, std::move(levels[k - 1]), keep_columns && k < config.max_complexity);
  }
  for (std::size_t i = 0; i < best_count; ++i) record_best(s.best, (*best)[i], losses[i]);
  return level;
}

std::string write_checkpoint(const SearchState& s, const std::string& path, std::uint64_t data_hash,
                             const SearchConfig& config, std::uint64_t level, CheckpointKind kind,
                             std::span<const std::string> seen_levels) {
  try {
    return write_atomically(path, encode_state(s, data_hash, config, level, kind, seen_levels));
  } catch (const std::bad_alloc&) {
    // The state is built in memory before it is written: a search that
    // fills the memory may have no room left for a copy of it.
    return "out of memory while preparing the checkpoint of level " + std::to_string(level);
  }
}

}  // namespace

Expected<std::uint64_t> resume_from_checkpoint(SearchState& s, std::uint64_t data_hash,
                                               const SearchConfig& config,
                                               const SearchControl* control) {
  if (control == nullptr || control->checkpoint_path().empty()) return std::uint64_t{0};
  return restore(s, control->checkpoint_path(), data_hash, config, CheckpointKind::Local, true,
                 [&](std::span<const std::string_view> seen, std::uint64_t) {
                   return seen.size() == 1 && s.seen.load(seen[0]);
                 });
}

void save_checkpoint(const SearchState& s, std::uint64_t data_hash, const SearchConfig& config,
                     std::uint64_t level, SearchControl* control) {
  if (control == nullptr || control->checkpoint_path().empty()) return;
  const std::string error = write_checkpoint(s, control->checkpoint_path(), data_hash, config,
                                             level, CheckpointKind::Local, {});
  if (!error.empty()) control->set_checkpoint_error(error);
}

Expected<std::uint64_t> resume_cluster_checkpoint(SearchState& s, const std::string& path,
                                                  std::uint64_t data_hash,
                                                  const SearchConfig& config,
                                                  std::vector<std::string>& seen_levels) {
  return restore(s, path, data_hash, config, CheckpointKind::Cluster, false,
                 [&](std::span<const std::string_view> seen, std::uint64_t level) {
                   const auto digests = [](std::string_view b) { return b.size() % 16 == 0; };
                   if (seen.size() + 1 != level || !std::all_of(seen.begin(), seen.end(), digests))
                     return false;
                   seen_levels.assign(seen.begin(), seen.end());
                   return true;
                 });
}

std::string write_cluster_checkpoint(const SearchState& s, const std::string& path,
                                     std::uint64_t data_hash, const SearchConfig& config,
                                     std::uint64_t level,
                                     std::span<const std::string> seen_levels) {
  return write_checkpoint(s, path, data_hash, config, level, CheckpointKind::Cluster, seen_levels);
}

}  // namespace qarn
