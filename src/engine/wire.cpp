#include "engine/wire.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qarn {
namespace {

// The two sides of a field list: a Writer appends each field, a Reader reads
// it back. Both offer the same operations, so that one list, written once
// as a generic function of the side, encodes and decodes a message.

class Writer {
 public:
  template <class T>
  bool operator()(const T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    out_.append(reinterpret_cast<const char*>(&v), sizeof v);
    return true;
  }
  bool operator()(bool b) { return (*this)(static_cast<std::uint8_t>(b ? 1 : 0)); }
  bool operator()(const std::string& s) {
    (*this)(std::uint64_t{s.size()});
    out_.append(s);
    return true;
  }
  // An enumeration whose values run from 0 to `last`.
  template <class E>
  bool kind(const E& e, E) {
    return (*this)(static_cast<std::underlying_type_t<E>>(e));
  }
  // A count, then each item.
  template <class Items, class Each>
  bool list(const Items& items, std::size_t, Each each) {
    (*this)(std::uint64_t{items.size()});
    for (const auto& item : items) each(*this, item);
    return true;
  }
  // A count, then the items of two vectors of that length side by side.
  template <class A, class B, class Each>
  bool pairs(const A& a, const B& b, std::size_t, Each each) {
    (*this)(std::uint64_t{a.size()});
    for (std::size_t i = 0; i < a.size(); ++i) each(*this, a[i], b[i]);
    return true;
  }
  // A count, then the flags eight to a byte.
  bool bits(const std::vector<bool>& flags) {
    (*this)(std::uint64_t{flags.size()});
    for (std::size_t i = 0; i < flags.size(); i += 8) {
      std::uint8_t byte = 0;
      for (std::size_t k = 0; k < 8 && i + k < flags.size(); ++k) {
        if (flags[i + k]) byte = static_cast<std::uint8_t>(byte | (1u << k));
      }
      (*this)(byte);
    }
    return true;
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Once a read fails (the bytes end early or hold an impossible value) every
// later read fails too.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  template <class T>
  bool operator()(T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (!ok_ || left() < sizeof v) return ok_ = false;
    std::memcpy(&v, in_.data() + at_, sizeof v);
    at_ += sizeof v;
    return true;
  }
  bool operator()(bool& b) {
    std::uint8_t byte = 0;
    if (!(*this)(byte) || byte > 1) return ok_ = false;
    b = byte != 0;
    return true;
  }
  bool operator()(std::string& s) {
    std::uint64_t n = 0;
    if (!(*this)(n) || left() < n) return ok_ = false;
    s.assign(in_.data() + at_, n);
    at_ += n;
    return true;
  }
  template <class E>
  bool kind(E& e, E last) {
    std::underlying_type_t<E> raw{};
    if (!(*this)(raw) || raw > static_cast<std::underlying_type_t<E>>(last)) return ok_ = false;
    e = static_cast<E>(raw);
    return true;
  }
  template <class T, class Each>
  bool list(std::vector<T>& items, std::size_t item_bytes, Each each) {
    std::uint64_t n = 0;
    if (!count(n, item_bytes)) return false;
    items.resize(n);
    for (T& item : items) {
      if (!each(*this, item)) return ok_ = false;
    }
    return ok_;
  }
  template <class A, class B, class Each>
  bool pairs(std::vector<A>& a, std::vector<B>& b, std::size_t item_bytes, Each each) {
    std::uint64_t n = 0;
    if (!count(n, item_bytes)) return false;
    a.resize(n);
    b.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (!each(*this, a[i], b[i])) return ok_ = false;
    }
    return ok_;
  }
  bool bits(std::vector<bool>& flags) {
    std::uint64_t n = 0;
    if (!(*this)(n) || n / 8 > left()) return ok_ = false;
    flags.resize(n);
    for (std::size_t i = 0; i < n; i += 8) {
      std::uint8_t byte = 0;
      if (!(*this)(byte)) return false;
      for (std::size_t k = 0; k < 8 && i + k < n; ++k) flags[i + k] = (byte >> k) & 1u;
    }
    return true;
  }
  bool finished() const { return ok_ && at_ == in_.size(); }

 private:
  std::size_t left() const { return in_.size() - at_; }
  // A count of items of at least `item_bytes` each that the rest can hold.
  bool count(std::uint64_t& n, std::size_t item_bytes) {
    if (!(*this)(n)) return false;
    if (item_bytes != 0 && n > left() / item_bytes) return ok_ = false;
    return true;
  }

  std::string_view in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// ---------------------------------------------------------------------------
// Field lists: the one declaration of each message's layout. `io` is a
// Writer or a Reader; `v` the value written or read.

constexpr auto kDoubleField = [](auto& io, auto& v) { return io(v); };

constexpr std::size_t kTokenBytes = 1 + 1 + 8 + 8 + 8;
constexpr auto kTokenFields = [](auto& io, auto& t) {
  return io.kind(t.kind, TokenKind::Apply) && io(t.small) && io(t.index) && io(t.value.re) &&
         io(t.value.im);
};

constexpr std::size_t kFormulaBytes = 8 + 8 + 8 + 1 + 1;  // empty tokens and text
constexpr auto kFormulaFields = [](auto& io, auto& f) {
  return io.list(f.tokens, kTokenBytes, kTokenFields) && io(f.text) && io(f.complexity) &&
         io(f.var_count) && io(f.param_count);
};

constexpr std::size_t kChildBytes =
    sizeof(Child::left) + sizeof(Child::right) + sizeof(Child::split) + sizeof(Child::op);
constexpr auto kChildFields = [](auto& io, auto& c) {
  return io(c.left) && io(c.right) && io(c.split) && io(c.op);
};

constexpr std::size_t kEntryBytes = 8 + 4 + 8;
constexpr auto kEntryFields = [](auto& io, auto& e) {
  return io(e.score) && io(e.count) && io(e.position);
};

constexpr auto kDigestFields = [](auto& io, auto& d) { return io(d.a) && io(d.b); };

// The data set: rows of input values, then the targets.
constexpr auto kDataFields = [](auto& io, auto& d) {
  return io.list(d.rows, 8, [](auto& io, auto& row) { return io.list(row, 8, kDoubleField); }) &&
         io.list(d.targets, 8, kDoubleField);
};

// Every field of SearchConfig, so that a setting reaches every process of a
// search. A field added to SearchConfig is added here too (the size check
// below is a reminder).
static_assert(
    sizeof(SearchConfig) == 64 + 8 * kLevelBeamWidths,
    "a new SearchConfig field must be added to kSettingsFields (and kWireVersion raised)");
constexpr auto kSettingsFields = [](auto& io, auto& c) {
  return io(c.max_complexity) && io(c.stop_threshold) && io(c.beam_width) &&
         io(c.complexity_penalty) && io(c.alpha) && io(c.l1_ratio) && io(c.no_early_stop) &&
         io(c.fit_constants) && io(c.full_fit) && io(c.affine_rank) && io(c.operator_mask) &&
         io(c.level_beam_widths);
};

constexpr auto kFormulasFields = [](auto& io, auto& formulas) {
  return io.list(formulas, kFormulaBytes, kFormulaFields);
};

// Each scored child with its score, its beam rank and its offset into the fitted values,
// then the fitted values.
constexpr auto kScoredFields = [](auto& io, auto& s) {
  return io.list(s.items, kChildBytes + 8 + 8 + 4, [](auto& io, auto& item) {
    return kChildFields(io, item.child) && io(item.score) && io(item.rank) && io(item.fitted);
  }) && io.list(s.fitted_values, 8, kDoubleField);
};

constexpr auto kSummaryFields = [](auto& io, auto& s) {
  return io(s.winner.count) && io(s.winner.first_is_nan) && io(s.winner.has_number) &&
         io(s.winner.position) && io(s.winner.loss) && io(s.best.count) &&
         io.pairs(
             s.best.entries, s.best.keys, kEntryBytes + 8,
             [](auto& io, auto& entry, auto& key) { return kEntryFields(io, entry) && io(key); });
};

constexpr auto kEntriesFields = [](auto& io, auto& entries) {
  return io.list(entries, kEntryBytes, kEntryFields);
};

// Each child with its one-byte bucket.
constexpr auto kFormedFields = [](auto& io, auto& run) {
  return io(run.formed) && io.pairs(run.children, run.buckets, kChildBytes + 1,
                                    [](auto& io, auto& child, auto& bucket) {
                                      return kChildFields(io, child) && io(bucket);
                                    });
};

constexpr auto kDigestsFields = [](auto& io, auto& digests) {
  return io.list(digests, 16, kDigestFields);
};

constexpr auto kFlagsFields = [](auto& io, auto& runs) {
  return io.list(runs, 8, [](auto& io, auto& flags) { return io.bits(flags); });
};

// ---------------------------------------------------------------------------
// The envelope: tag, format version, then the fields.

const char* message_name(WireTag tag) {
  switch (tag) {
    case WireTag::DataSet:
      return "data set";
    case WireTag::Settings:
      return "settings";
    case WireTag::Formulas:
      return "formulas";
    case WireTag::ScoredRun:
      return "scored run";
    case WireTag::RunSummary:
      return "run summary";
    case WireTag::BeamEntries:
      return "beam entries";
    case WireTag::FormedRun:
      return "formed run";
    case WireTag::Digests:
      return "digests";
    case WireTag::Flags:
      return "flags";
  }
  return "unknown";
}

template <class Value, class Fields>
std::string encode_message(WireTag tag, const Value& value, Fields fields) {
  Writer w;
  w(static_cast<std::uint8_t>(tag));
  w(kWireVersion);
  fields(w, value);
  return w.take();
}

template <class Value, class Fields>
Decoded<Value> decode_message(WireTag tag, std::string_view bytes, Fields fields) {
  const std::string name = message_name(tag);
  Reader r(bytes);
  std::uint8_t got_tag = 0;
  std::uint8_t version = 0;
  if (!r(got_tag) || !r(version)) {
    return Decoded<Value>::refused("malformed " + name + " message: it ends within its header");
  }
  if (got_tag != static_cast<std::uint8_t>(tag)) {
    return Decoded<Value>::refused("expected a " + name + " message, got message tag " +
                                   std::to_string(got_tag));
  }
  if (version != kWireVersion) {
    return Decoded<Value>::refused(name + " message in format version " + std::to_string(version) +
                                   "; this build reads version " + std::to_string(kWireVersion));
  }
  Value value{};
  if (!fields(r, value) || !r.finished()) {
    return Decoded<Value>::refused("malformed " + name +
                                   " message: it ends early, runs on or holds an impossible value");
  }
  return value;
}

// The data set as encode_data takes it.
struct DataView {
  const Rows& rows;
  std::span<const double> targets;
};

}  // namespace

std::string encode_data(const Rows& rows, std::span<const double> targets) {
  return encode_message(WireTag::DataSet, DataView{rows, targets}, kDataFields);
}

Decoded<DataSet> decode_data(std::string_view bytes) {
  return decode_message<DataSet>(WireTag::DataSet, bytes, kDataFields);
}

std::string encode_config(const SearchConfig& config) {
  return encode_message(WireTag::Settings, config, kSettingsFields);
}

Decoded<SearchConfig> decode_config(std::string_view bytes) {
  return decode_message<SearchConfig>(WireTag::Settings, bytes, kSettingsFields);
}

std::string encode_formulas(std::span<const Formula> formulas) {
  return encode_message(WireTag::Formulas, formulas, kFormulasFields);
}

Decoded<std::vector<Formula>> decode_formulas(std::string_view bytes) {
  return decode_message<std::vector<Formula>>(WireTag::Formulas, bytes, kFormulasFields);
}

std::string encode_scored(const ScoredLevel& scored) {
  return encode_message(WireTag::ScoredRun, scored, kScoredFields);
}

Decoded<ScoredLevel> decode_scored(std::string_view bytes) {
  Decoded<ScoredLevel> out = decode_message<ScoredLevel>(WireTag::ScoredRun, bytes, kScoredFields);
  if (!out) return out;
  // A fitted index must point into the store; whether it leaves room for the
  // child's parameters is checked where the child's parents are known.
  for (const ScoredChild& s : out->items) {
    if (s.fitted != ScoredChild::kUnfitted && s.fitted >= out->fitted_values.size()) {
      return Decoded<ScoredLevel>::refused(
          "malformed scored run message: a fitted index lies outside its values");
    }
  }
  return out;
}

std::string encode_summary(const RunSummary& summary) {
  return encode_message(WireTag::RunSummary, summary, kSummaryFields);
}

Decoded<RunSummary> decode_summary(std::string_view bytes) {
  return decode_message<RunSummary>(WireTag::RunSummary, bytes, kSummaryFields);
}

std::string encode_entries(std::span<const BeamEntry> entries) {
  return encode_message(WireTag::BeamEntries, entries, kEntriesFields);
}

Decoded<std::vector<BeamEntry>> decode_entries(std::string_view bytes) {
  return decode_message<std::vector<BeamEntry>>(WireTag::BeamEntries, bytes, kEntriesFields);
}

std::string encode_formed(const FormedRun& run) {
  return encode_message(WireTag::FormedRun, run, kFormedFields);
}

Decoded<FormedRun> decode_formed(std::string_view bytes) {
  return decode_message<FormedRun>(WireTag::FormedRun, bytes, kFormedFields);
}

std::string encode_digests(std::span<const FingerprintDigest> digests) {
  return encode_message(WireTag::Digests, digests, kDigestsFields);
}

Decoded<std::vector<FingerprintDigest>> decode_digests(std::string_view bytes) {
  return decode_message<std::vector<FingerprintDigest>>(WireTag::Digests, bytes, kDigestsFields);
}

std::string encode_flags(std::span<const std::vector<bool>> runs) {
  return encode_message(WireTag::Flags, runs, kFlagsFields);
}

Decoded<std::vector<std::vector<bool>>> decode_flags(std::string_view bytes) {
  return decode_message<std::vector<std::vector<bool>>>(WireTag::Flags, bytes, kFlagsFields);
}

}  // namespace qarn
