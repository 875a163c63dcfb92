#include "ops/batch_evaluate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "ops/kernels.h"
#include "ops/kernels_simd.h"

namespace qarn {
namespace {

constexpr std::size_t B = BatchEvaluator::kBlock;

// Flags of a block whose rows all have a value.
constexpr std::array<std::uint8_t, B> kAllRows = [] {
  std::array<std::uint8_t, B> a{};
  a.fill(1);
  return a;
}();

using Operand = BatchEvaluator::Operand;

// Where an operator writes its values and flags; may be the storage of its
// first operand (each row is read before it is written).
struct Target {
  Complex* values;
  std::uint8_t* ok;
};

// The loops below take the strides of their operands as template arguments
// (kRows: one value per row; otherwise one value held for every row), so that
// each case is a loop of its own with the uniform value kept in registers.
// A uniform value is copied out before the loop: the target may be its
// storage. Each row is read before it is written, so the target may also be
// the storage of the first operand.

#if QARN_KERNELS_SSE2
// The flags of two rows as one 16-bit word (x86-64 is little-endian: row i
// in the low byte), so that the two-row loops combine them in one step.
inline std::uint16_t flags_of(const std::uint8_t* ok) {
  std::uint16_t v;
  std::memcpy(&v, ok, sizeof v);
  return v;
}

inline std::uint16_t flags_of(std::uint8_t uniform) {
  return static_cast<std::uint16_t>(uniform * 0x0101u);
}

// Writes the flags of rows i and i + 1: `operands` ANDed with the kernel's
// bits (bit 0 for row i, bit 1 for row i + 1).
inline void pair_flags(std::uint8_t* ok, std::uint16_t operands, unsigned good) {
  const auto v = static_cast<std::uint16_t>(operands & ((good & 1u) | ((good & 2u) << 7)));
  std::memcpy(ok, &v, sizeof v);
}
#endif

// The kernel is a template argument so that each operator gets its own
// inlined loop instead of an indirect call per row.
template <auto k, bool kRows>
inline void map_unary_as(const Operand& a, Target t, std::size_t n) {
  const Complex* const xs = a.values;
  const std::uint8_t* const xok = a.ok;
  const Complex x0 = kRows ? Complex{} : xs[0];
  const std::uint8_t x0ok = kRows ? 0 : xok[0];
  std::size_t i = 0;
#if QARN_KERNELS_SSE2
  if constexpr (kernels::pair::Of<k>::kHas) {
    // Two rows at a time, with the scalar loop below for an odd last row.
    namespace pair = kernels::pair;
    const pair::Pair px0 = pair::broadcast(x0);
    for (; i + 2 <= n; i += 2) {
      pair::Pair x = px0;
      if constexpr (kRows) x = pair::load(xs + i);
      const pair::Result r = pair::Of<k>::fn(x);
      const unsigned good = r.has_value & pair::in_range(r.value);
      pair::store(t.values + i, r.value);
      pair_flags(t.ok + i, kRows ? flags_of(xok + i) : flags_of(x0ok), good);
    }
  }
#endif
  for (; i < n; ++i) {
    Complex out{};
    const bool good = k(kRows ? xs[i] : x0, out) && kernels::in_range(out);
    t.values[i] = out;
    t.ok[i] = (kRows ? xok[i] : x0ok) & static_cast<std::uint8_t>(good);
  }
}

template <auto k>
inline void map_unary(const Operand& a, Target t, std::size_t n) {
  if (a.uniform) return map_unary_as<k, false>(a, t, n);
  map_unary_as<k, true>(a, t, n);
}

template <auto k, bool kRowsX, bool kRowsY>
inline void map_binary_as(const Operand& a, const Operand& b, Target t, std::size_t n) {
  const Complex* const xs = a.values;
  const std::uint8_t* const xok = a.ok;
  const Complex* const ys = b.values;
  const std::uint8_t* const yok = b.ok;
  const Complex x0 = kRowsX ? Complex{} : xs[0];
  const std::uint8_t x0ok = kRowsX ? 0 : xok[0];
  const Complex y0 = kRowsY ? Complex{} : ys[0];
  const std::uint8_t y0ok = kRowsY ? 0 : yok[0];
  std::size_t i = 0;
#if QARN_KERNELS_SSE2
  if constexpr (kernels::pair::Of<k>::kHas) {
    // Two rows at a time, with the scalar loop below for an odd last row.
    namespace pair = kernels::pair;
    const pair::Pair px0 = pair::broadcast(x0);
    const pair::Pair py0 = pair::broadcast(y0);
    for (; i + 2 <= n; i += 2) {
      pair::Pair x = px0;
      pair::Pair y = py0;
      if constexpr (kRowsX) x = pair::load(xs + i);
      if constexpr (kRowsY) y = pair::load(ys + i);
      const pair::Result r = pair::Of<k>::fn(x, y);
      const unsigned good = r.has_value & pair::in_range(r.value);
      pair::store(t.values + i, r.value);
      pair_flags(t.ok + i,
                 (kRowsX ? flags_of(xok + i) : flags_of(x0ok)) &
                     (kRowsY ? flags_of(yok + i) : flags_of(y0ok)),
                 good);
    }
  }
#endif
  for (; i < n; ++i) {
    Complex out{};
    const bool good = k(kRowsX ? xs[i] : x0, kRowsY ? ys[i] : y0, out) && kernels::in_range(out);
    t.values[i] = out;
    t.ok[i] =
        ((kRowsX ? xok[i] : x0ok) & (kRowsY ? yok[i] : y0ok)) & static_cast<std::uint8_t>(good);
  }
}

// Qarn(a, b) = exp(a) - ln(b) with one operand the same on every row: its
// exp or ln is computed once, the same values the per-row calls would give.
template <bool kRowsX>
inline void map_qarn_hoisted(const Operand& a, const Operand& b, Target t, std::size_t n) {
  const std::uint8_t x0ok = a.ok[0];
  const std::uint8_t y0ok = b.ok[0];
  if constexpr (kRowsX) {
    // b is the same on every row.
    const Complex y0 = b.values[0];
    if (is_zero(y0)) {
      for (std::size_t i = 0; i < n; ++i) t.values[i] = Complex{};
      std::fill(t.ok, t.ok + n, std::uint8_t{0});
      return;
    }
    const Complex lb = ln(y0);
    for (std::size_t i = 0; i < n; ++i) {
      const Complex out = kernels::qarn_with_ln(a.values[i], lb);
      const bool good = kernels::in_range(out);
      t.values[i] = out;
      t.ok[i] = (a.ok[i] & y0ok) & static_cast<std::uint8_t>(good);
    }
  } else {
    // a is the same on every row.
    const Complex ea = qarn::exp(a.values[0]);
    for (std::size_t i = 0; i < n; ++i) {
      Complex out{};
      const bool good = kernels::qarn_with_exp(ea, b.values[i], out) && kernels::in_range(out);
      t.values[i] = out;
      t.ok[i] = (x0ok & b.ok[i]) & static_cast<std::uint8_t>(good);
    }
  }
}

// Whether kernel `k` is Qarn's. A specialization rather than a comparison of
// the function pointers: compilers need not fold that comparison to a
// constant (GCC does not with the sanitizers on).
template <auto k>
inline constexpr bool kIsQarn = false;
template <>
inline constexpr bool kIsQarn<&kernels::qarn> = true;

template <auto k>
inline void map_binary(const Operand& a, const Operand& b, Target t, std::size_t n) {
  if constexpr (kIsQarn<k>) {
    if (a.uniform != b.uniform) {
      if (a.uniform) return map_qarn_hoisted<false>(a, b, t, n);
      return map_qarn_hoisted<true>(a, b, t, n);
    }
  }
  if (!a.uniform) {
    if (!b.uniform) return map_binary_as<k, true, true>(a, b, t, n);
    return map_binary_as<k, true, false>(a, b, t, n);
  }
  if (!b.uniform) return map_binary_as<k, false, true>(a, b, t, n);
  map_binary_as<k, false, false>(a, b, t, n);
}

// Kernel `fn` over n rows of its operands.
template <auto fn>
inline void map_kernel(const Operand* args, Target t, std::size_t n) {
  if constexpr (kernels::kArity<fn> == 1) {
    map_unary<fn>(args[0], t, n);
  } else {
    map_binary<fn>(args[0], args[1], t, n);
  }
}

void apply_block(const Token& t, const OperatorRegistry& registry, const Operand* args, Target out,
                 std::size_t n) {
  const OperatorEntry& entry = registry.entries[t.index];
  if (entry.arity == t.small) {
    switch (entry.kernel) {
#define QARN_BLOCK_CASE(Class, kernel, name, arity, ...)                       \
  case Kernel::kernel:                                                         \
    if (t.small == (arity)) return map_kernel<&kernels::kernel>(args, out, n); \
    break;
      QARN_OPERATORS(QARN_BLOCK_CASE)
#undef QARN_BLOCK_CASE
      default:
        break;
    }
  }
  // Anything else: one virtual call per row, arguments gathered from the
  // operands. Uniform operands are read once, before any row is written; a
  // row without a value keeps its first argument, as an in-place evaluation
  // would.
  const Operator& op = *registry.operators[t.index];
  std::array<Complex, kSmallValues> one;
  std::array<std::uint8_t, kSmallValues> one_ok;
  for (std::size_t a = 0; a < t.small; ++a) {
    if (!args[a].uniform) continue;
    one[a] = args[a].values[0];
    one_ok[a] = args[a].ok[0];
  }
  std::array<Complex, kSmallValues> gathered;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t flag = 1;
    for (std::size_t a = 0; a < t.small; ++a) {
      const bool u = args[a].uniform;
      gathered[a] = u ? one[a] : args[a].values[i];
      flag &= u ? one_ok[a] : args[a].ok[i];
    }
    const std::optional<Complex> v = op.eval({gathered.data(), t.small});
    const bool good = v.has_value() && kernels::in_range(*v);
    out.values[i] = v ? *v : gathered[0];
    out.ok[i] = flag & static_cast<std::uint8_t>(good);
  }
}

}  // namespace

void BatchEvaluator::run(std::span<const Token> tokens, const DataColumns& data, std::size_t begin,
                         std::size_t count, std::span<const Complex> params,
                         const OperatorRegistry& registry, Complex* out, std::uint8_t* ok) {
  const Operand root =
      evaluate(tokens, data, begin, count, params, registry, nullptr, nullptr, nullptr, false);
  if (root.values == nullptr) {
    std::fill(ok, ok + count, std::uint8_t{0});
  } else if (root.uniform) {
    std::fill(out, out + count, root.values[0]);
    std::fill(ok, ok + count, root.ok[0]);
  } else {
    std::copy(root.values, root.values + count, out);
    std::copy(root.ok, root.ok + count, ok);
  }
}

BatchEvaluator::Operand BatchEvaluator::run_recorded(
    std::span<const Token> tokens, const DataColumns& data, std::size_t begin, std::size_t count,
    std::span<const Complex> params, const OperatorRegistry& registry, Complex* record,
    std::uint8_t* record_ok, const Reuse* reuse, bool continues) {
  const Operand root =
      evaluate(tokens, data, begin, count, params, registry, record, record_ok, reuse, continues);
  if (root.values != nullptr) return root;
  // No value on any row.
  static constexpr Complex kZero{};
  static constexpr std::uint8_t kFailed = 0;
  return {&kZero, &kFailed, true};
}

BatchEvaluator::Operand BatchEvaluator::evaluate(std::span<const Token> tokens,
                                                 const DataColumns& data, std::size_t begin,
                                                 std::size_t count, std::span<const Complex> params,
                                                 const OperatorRegistry& registry, Complex* record,
                                                 std::uint8_t* record_ok, const Reuse* reuse,
                                                 bool continues) {
  const Operand failed{};
  // The values kept from the last call serve only a call over the same tokens.
  continues = continues && tokens.data() == last_tokens_ && tokens.size() == last_size_;
  last_tokens_ = tokens.data();
  last_size_ = tokens.size();
  if (uniform_values_.size() < tokens.size()) {
    uniform_values_.resize(tokens.size());
    uniform_ok_.resize(tokens.size());
  }
  if (stack_.size() < tokens.size() * B) {
    stack_.resize(tokens.size() * B);
    ok_stack_.resize(tokens.size() * B);
  }
  if (operands_.size() < tokens.size()) operands_.resize(tokens.size());
  // The stack holds operands: where the values of a subtree lie (a data
  // column, an earlier record, the record being written, or the scratch
  // block of its stack position) and, per row, whether every token of that
  // subtree had a value there. A subtree of parameters and constants only is
  // uniform: its value and flag are held once, for every row.
  Operand* stack = operands_.data();
  std::size_t depth = 0;
  // Gives the operand its own storage: token i's record, or else the scratch
  // block of stack position `depth`.
  const auto storage = [&](std::size_t i, std::size_t at) -> Target {
    if (record != nullptr) return {record + i * B, record_ok + i * B};
    return {stack_.data() + at * B, ok_stack_.data() + at * B};
  };
  // A uniform value is held at row 0 of its storage, recorded or not.
  const auto push_uniform = [&](Target t, Complex v, std::uint8_t flag) {
    t.values[0] = v;
    t.ok[0] = flag;
    stack[depth++] = {t.values, t.ok, true};
  };
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (reuse != nullptr && reuse->skip_to[i] != Reuse::kNone) {
      const std::size_t last = reuse->skip_to[i];
      stack[depth++] = {reuse->values + last * B, reuse->ok + last * B, false};
      i = last;
      continue;
    }
    switch (t.kind) {
      case TokenKind::NamedConstant:
      case TokenKind::RealConstant: {
        const Complex v = t.kind == TokenKind::NamedConstant ? t.value : Complex{t.value.re, 0.0};
        push_uniform(storage(i, depth), v, 1);
        break;
      }
      case TokenKind::Variable: {
        if (t.small >= data.vars()) return failed;
        const Complex* col = data.column(t.small, begin);
        const std::uint8_t* valid = data.valid(t.small);
        const std::uint8_t* flags = valid != nullptr ? valid + begin : kAllRows.data();
        stack[depth++] = {col, flags, false};
        break;
      }
      case TokenKind::Parameter: {
        const Complex v = t.small < params.size() ? params[t.small] : t.value;
        push_uniform(storage(i, depth), v, 1);
        break;
      }
      case TokenKind::Apply: {
        if (depth < t.small || t.index >= registry.size()) return failed;
        depth -= t.small;
        const Target s = storage(i, depth);
        if (t.small == 0) {
          // A constant applied as an operator: same value on every row.
          const std::optional<Complex> v = registry.operators[t.index]->eval({});
          if (!v || !kernels::in_range(*v)) return failed;
          push_uniform(s, *v, 1);
          break;
        }
        // A built-in kernel is a function of its operands alone, so on
        // operands that are the same on every row it is evaluated once.
        bool same = registry.entries[t.index].kernel != Kernel::generic;
        for (std::size_t a = 0; a < t.small; ++a) same = same && stack[depth + a].uniform;
        if (same) {
          if (continues) {
            s.values[0] = uniform_values_[i];
            s.ok[0] = uniform_ok_[i];
          } else {
            apply_block(t, registry, stack + depth, s, 1);
            uniform_values_[i] = s.values[0];
            uniform_ok_[i] = s.ok[0];
          }
          push_uniform(s, s.values[0], s.ok[0]);
        } else {
          apply_block(t, registry, stack + depth, s, count);
          stack[depth++] = {s.values, s.ok, false};
        }
        break;
      }
    }
  }
  if (depth != 1) return failed;
  return stack[0];
}

}  // namespace qarn
