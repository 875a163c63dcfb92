#include "engine/wire.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qarn {
namespace {

class Writer {
 public:
  template <class T>
  void put(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    out_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void put_text(std::string_view s) {
    put<std::uint64_t>(s.size());
    out_.append(s);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads fixed-size values; once a read runs past the end every later read
// fails too and ok() stays false.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  template <class T>
  bool get(T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (!ok_ || in_.size() - at_ < sizeof v) return ok_ = false;
    std::memcpy(&v, in_.data() + at_, sizeof v);
    at_ += sizeof v;
    return true;
  }
  bool get_text(std::string& s) {
    std::uint64_t n = 0;
    if (!get(n) || in_.size() - at_ < n) return ok_ = false;
    s.assign(in_.data() + at_, n);
    at_ += n;
    return true;
  }
  // A count of items of at least `item_bytes` each that the rest can hold.
  bool get_count(std::uint64_t& n, std::size_t item_bytes) {
    if (!get(n)) return false;
    if (item_bytes != 0 && n > (in_.size() - at_) / item_bytes) return ok_ = false;
    return true;
  }
  bool finished() const { return ok_ && at_ == in_.size(); }

 private:
  std::string_view in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

void put_formula(Writer& w, const Formula& f) {
  w.put<std::uint64_t>(f.tokens.size());
  for (const Token& t : f.tokens) {
    w.put(static_cast<std::uint8_t>(t.kind));
    w.put(t.small);
    w.put(t.index);
    w.put(t.value.re);
    w.put(t.value.im);
  }
  w.put_text(f.text);
  w.put(f.complexity);
  w.put(f.var_count);
  w.put(f.param_count);
}

bool get_formula(Reader& r, Formula& f) {
  std::uint64_t n = 0;
  if (!r.get_count(n, 26)) return false;
  f.tokens.resize(n);
  for (Token& t : f.tokens) {
    std::uint8_t kind = 0;
    if (!r.get(kind) || kind > static_cast<std::uint8_t>(TokenKind::Apply)) return false;
    t.kind = static_cast<TokenKind>(kind);
    if (!r.get(t.small) || !r.get(t.index) || !r.get(t.value.re) || !r.get(t.value.im))
      return false;
  }
  return r.get_text(f.text) && r.get(f.complexity) && r.get(f.var_count) && r.get(f.param_count);
}

// Bytes of one child as put_child writes it.
constexpr std::size_t kChildBytes =
    sizeof(Child::left) + sizeof(Child::right) + sizeof(Child::split) + sizeof(Child::op);

void put_child(Writer& w, const Child& c) {
  w.put(c.left);
  w.put(c.right);
  w.put(c.split);
  w.put(c.op);
}

bool get_child(Reader& r, Child& c) {
  return r.get(c.left) && r.get(c.right) && r.get(c.split) && r.get(c.op);
}

void put_entry(Writer& w, const BeamEntry& e) {
  w.put(e.score);
  w.put(e.count);
  w.put(e.position);
}

bool get_entry(Reader& r, BeamEntry& e) {
  return r.get(e.score) && r.get(e.count) && r.get(e.position);
}

template <class T>
std::optional<T> finished(const Reader& r, T value) {
  if (!r.finished()) return std::nullopt;
  return value;
}

}  // namespace

std::string encode_data(const Rows& rows, std::span<const double> targets) {
  Writer w;
  w.put<std::uint64_t>(rows.size());
  for (const std::vector<double>& row : rows) {
    w.put<std::uint64_t>(row.size());
    for (double v : row) w.put(v);
  }
  w.put<std::uint64_t>(targets.size());
  for (double v : targets) w.put(v);
  return w.take();
}

std::optional<DataSet> decode_data(std::string_view bytes) {
  Reader r(bytes);
  DataSet d;
  std::uint64_t n = 0;
  if (!r.get_count(n, 8)) return std::nullopt;
  d.rows.resize(n);
  for (std::vector<double>& row : d.rows) {
    std::uint64_t m = 0;
    if (!r.get_count(m, 8)) return std::nullopt;
    row.resize(m);
    for (double& v : row) r.get(v);
  }
  if (!r.get_count(n, 8)) return std::nullopt;
  d.targets.resize(n);
  for (double& v : d.targets) r.get(v);
  return finished(r, std::move(d));
}

std::string encode_config(const SearchConfig& c) {
  Writer w;
  w.put(c.max_complexity);
  w.put(c.stop_threshold);
  w.put(c.beam_width);
  w.put(c.complexity_penalty);
  w.put(c.alpha);
  w.put(c.l1_ratio);
  w.put<std::uint8_t>(c.no_early_stop);
  w.put<std::uint8_t>(c.fit_constants);
  return w.take();
}

std::optional<SearchConfig> decode_config(std::string_view bytes) {
  Reader r(bytes);
  SearchConfig c;
  std::uint8_t no_early_stop = 0;
  std::uint8_t fit_constants = 0;
  r.get(c.max_complexity);
  r.get(c.stop_threshold);
  r.get(c.beam_width);
  r.get(c.complexity_penalty);
  r.get(c.alpha);
  r.get(c.l1_ratio);
  r.get(no_early_stop);
  r.get(fit_constants);
  c.no_early_stop = no_early_stop != 0;
  c.fit_constants = fit_constants != 0;
  return finished(r, c);
}

std::string encode_formulas(std::span<const Formula> formulas) {
  Writer w;
  w.put<std::uint64_t>(formulas.size());
  for (const Formula& f : formulas) put_formula(w, f);
  return w.take();
}

std::optional<std::vector<Formula>> decode_formulas(std::string_view bytes) {
  Reader r(bytes);
  std::uint64_t n = 0;
  if (!r.get_count(n, 8)) return std::nullopt;
  std::vector<Formula> out(n);
  for (Formula& f : out) {
    if (!get_formula(r, f)) return std::nullopt;
  }
  return finished(r, std::move(out));
}

std::string encode_children(std::span<const Child> children) {
  Writer w;
  w.put<std::uint64_t>(children.size());
  for (const Child& c : children) put_child(w, c);
  return w.take();
}

std::optional<std::vector<Child>> decode_children(std::string_view bytes) {
  Reader r(bytes);
  std::uint64_t n = 0;
  if (!r.get_count(n, kChildBytes)) return std::nullopt;
  std::vector<Child> out(n);
  for (Child& c : out) get_child(r, c);
  return finished(r, std::move(out));
}

std::string encode_scored(const ScoredLevel& scored) {
  Writer w;
  w.put<std::uint64_t>(scored.items.size());
  for (const ScoredChild& s : scored.items) {
    put_child(w, s.child);
    w.put(s.score);
    w.put(s.fitted);
  }
  w.put<std::uint64_t>(scored.fitted_values.size());
  for (double v : scored.fitted_values) w.put(v);
  return w.take();
}

std::optional<ScoredLevel> decode_scored(std::string_view bytes) {
  Reader r(bytes);
  ScoredLevel out;
  std::uint64_t n = 0;
  // A child, its score and its offset into the fitted values.
  if (!r.get_count(n, kChildBytes + 8 + 4)) return std::nullopt;
  out.items.resize(n);
  for (ScoredChild& s : out.items) {
    get_child(r, s.child);
    r.get(s.score);
    r.get(s.fitted);
  }
  if (!r.get_count(n, 8)) return std::nullopt;
  out.fitted_values.resize(n);
  for (double& v : out.fitted_values) r.get(v);
  // A fitted index must leave room for the child's parameters; the count is
  // checked where the values are read (scored_formula reads param_count).
  for (const ScoredChild& s : out.items) {
    if (s.fitted != ScoredChild::kUnfitted && s.fitted >= out.fitted_values.size()) {
      return std::nullopt;
    }
  }
  return finished(r, std::move(out));
}

std::string encode_summary(const RunSummary& s) {
  Writer w;
  w.put(s.winner.count);
  w.put<std::uint8_t>(s.winner.first_is_nan);
  w.put<std::uint8_t>(s.winner.has_number);
  w.put(s.winner.position);
  w.put(s.winner.loss);
  w.put(s.best.count);
  w.put<std::uint64_t>(s.best.entries.size());
  for (std::size_t i = 0; i < s.best.entries.size(); ++i) {
    put_entry(w, s.best.entries[i]);
    w.put_text(s.best.keys[i]);
  }
  return w.take();
}

std::optional<RunSummary> decode_summary(std::string_view bytes) {
  Reader r(bytes);
  RunSummary s;
  std::uint8_t first_is_nan = 0;
  std::uint8_t has_number = 0;
  r.get(s.winner.count);
  r.get(first_is_nan);
  r.get(has_number);
  r.get(s.winner.position);
  r.get(s.winner.loss);
  s.winner.first_is_nan = first_is_nan != 0;
  s.winner.has_number = has_number != 0;
  r.get(s.best.count);
  std::uint64_t n = 0;
  if (!r.get_count(n, 28)) return std::nullopt;
  s.best.entries.resize(n);
  s.best.keys.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!get_entry(r, s.best.entries[i]) || !r.get_text(s.best.keys[i])) return std::nullopt;
  }
  return finished(r, std::move(s));
}

std::string encode_entries(std::span<const BeamEntry> entries) {
  Writer w;
  w.put<std::uint64_t>(entries.size());
  for (const BeamEntry& e : entries) put_entry(w, e);
  return w.take();
}

std::optional<std::vector<BeamEntry>> decode_entries(std::string_view bytes) {
  Reader r(bytes);
  std::uint64_t n = 0;
  if (!r.get_count(n, 20)) return std::nullopt;
  std::vector<BeamEntry> out(n);
  for (BeamEntry& e : out) get_entry(r, e);
  return finished(r, std::move(out));
}

std::string encode_formed(const FormedRun& run) {
  Writer w;
  w.put(run.formed);
  w.put<std::uint64_t>(run.children.size());
  for (std::size_t i = 0; i < run.children.size(); ++i) {
    put_child(w, run.children[i]);
    w.put(run.buckets[i]);
  }
  return w.take();
}

std::optional<FormedRun> decode_formed(std::string_view bytes) {
  Reader r(bytes);
  FormedRun run;
  std::uint64_t n = 0;
  r.get(run.formed);
  // A child and its one-byte bucket.
  if (!r.get_count(n, kChildBytes + 1)) return std::nullopt;
  run.children.resize(n);
  run.buckets.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    get_child(r, run.children[i]);
    r.get(run.buckets[i]);
  }
  return finished(r, std::move(run));
}

std::string encode_digests(std::span<const FingerprintDigest> digests) {
  Writer w;
  w.put<std::uint64_t>(digests.size());
  for (const FingerprintDigest& d : digests) {
    w.put(d.a);
    w.put(d.b);
  }
  return w.take();
}

std::optional<std::vector<FingerprintDigest>> decode_digests(std::string_view bytes) {
  Reader r(bytes);
  std::uint64_t n = 0;
  if (!r.get_count(n, 16)) return std::nullopt;
  std::vector<FingerprintDigest> out(n);
  for (FingerprintDigest& d : out) {
    r.get(d.a);
    r.get(d.b);
  }
  return finished(r, std::move(out));
}

std::string encode_flags(std::span<const std::vector<bool>> runs) {
  Writer w;
  w.put<std::uint64_t>(runs.size());
  for (const std::vector<bool>& flags : runs) {
    w.put<std::uint64_t>(flags.size());
    for (std::size_t i = 0; i < flags.size(); i += 8) {
      std::uint8_t byte = 0;
      for (std::size_t k = 0; k < 8 && i + k < flags.size(); ++k) {
        if (flags[i + k]) byte = static_cast<std::uint8_t>(byte | (1u << k));
      }
      w.put(byte);
    }
  }
  return w.take();
}

std::optional<std::vector<std::vector<bool>>> decode_flags(std::string_view bytes) {
  Reader r(bytes);
  std::uint64_t runs = 0;
  if (!r.get_count(runs, 8)) return std::nullopt;
  std::vector<std::vector<bool>> out(runs);
  for (std::vector<bool>& flags : out) {
    std::uint64_t n = 0;
    if (!r.get(n) || n / 8 > bytes.size()) return std::nullopt;
    flags.resize(n);
    for (std::size_t i = 0; i < n; i += 8) {
      std::uint8_t byte = 0;
      if (!r.get(byte)) return std::nullopt;
      for (std::size_t k = 0; k < 8 && i + k < n; ++k) flags[i + k] = (byte >> k) & 1u;
    }
  }
  return finished(r, std::move(out));
}

}  // namespace qarn
