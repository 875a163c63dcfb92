#include "ops/batch_evaluate.h"

#include <algorithm>
#include <array>
#include <optional>

#include "ops/kernels.h"

namespace qarn {
namespace {

// The kernel is a template argument so that each operator gets its own
// inlined loop instead of an indirect call per row.
template <auto k>
inline void map_unary(Complex* x, std::uint8_t* ok, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    Complex out{};
    const bool good = k(x[i], out) && kernels::in_range(out);
    x[i] = out;
    ok[i] &= static_cast<std::uint8_t>(good);
  }
}

template <auto k>
inline void map_binary(Complex* a, const Complex* b, std::uint8_t* ok, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    Complex out{};
    const bool good = k(a[i], b[i], out) && kernels::in_range(out);
    a[i] = out;
    ok[i] &= static_cast<std::uint8_t>(good);
  }
}

// Kernel `fn` over n rows: a unary one in place on `args`, a binary one on
// `args` and the operand column `stride` values further, into `args`.
template <auto fn>
inline void map_kernel(Complex* args, std::size_t stride, std::uint8_t* ok, std::size_t n) {
  if constexpr (kernels::kArity<fn> == 1) {
    map_unary<fn>(args, ok, n);
  } else {
    map_binary<fn>(args, args + stride, ok, n);
  }
}

void apply_block(const Token& t, const OperatorRegistry& registry, Complex* args,
                 std::size_t stride, std::uint8_t* ok, std::size_t n) {
  const OperatorEntry& entry = registry.entries[t.index];
  if (entry.arity == t.small) {
    switch (entry.kernel) {
#define QARN_BLOCK_CASE(Class, kernel, name, arity, ...)                              \
  case Kernel::kernel:                                                                \
    if (t.small == (arity)) return map_kernel<&kernels::kernel>(args, stride, ok, n); \
    break;
      QARN_OPERATORS(QARN_BLOCK_CASE)
#undef QARN_BLOCK_CASE
      default:
        break;
    }
  }
  // Anything else: one virtual call per row, arguments gathered from the
  // per-token columns of the stack.
  const Operator& op = *registry.operators[t.index];
  std::array<Complex, kSmallValues> gathered;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t a = 0; a < t.small; ++a) gathered[a] = args[a * stride + i];
    const std::optional<Complex> v = op.eval({gathered.data(), t.small});
    const bool good = v.has_value() && kernels::in_range(*v);
    if (v) args[i] = *v;
    ok[i] &= static_cast<std::uint8_t>(good);
  }
}

}  // namespace

void BatchEvaluator::run(std::span<const Token> tokens, const DataColumns& data, std::size_t begin,
                         std::size_t count, std::span<const Complex> params,
                         const OperatorRegistry& registry, Complex* out, std::uint8_t* ok) {
  run_recorded(tokens, data, begin, count, params, registry, out, ok, nullptr, nullptr, nullptr);
}

void BatchEvaluator::run_recorded(std::span<const Token> tokens, const DataColumns& data,
                                  std::size_t begin, std::size_t count,
                                  std::span<const Complex> params, const OperatorRegistry& registry,
                                  Complex* out, std::uint8_t* ok, Complex* record,
                                  std::uint8_t* record_ok, const Reuse* reuse) {
  constexpr std::size_t B = kBlock;
  const auto fail_all = [&] { std::fill(ok, ok + count, std::uint8_t{0}); };
  if (stack_.size() < tokens.size() * B) {
    stack_.resize(tokens.size() * B);
    ok_stack_.resize(tokens.size() * B);
  }
  if (uniform_.size() < tokens.size()) uniform_.resize(tokens.size());
  // Each stack slot carries the values of one subtree and, per row, whether
  // every token of that subtree had a value there; and whether all rows hold
  // the same value and flag (a subtree of parameters and constants only).
  Complex* stack = stack_.data();
  std::uint8_t* oks = ok_stack_.data();
  std::uint8_t* uniform = uniform_.data();
  std::size_t depth = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    Complex* top = stack + depth * B;
    std::uint8_t* top_ok = oks + depth * B;
    if (reuse != nullptr && reuse->skip_to[i] != Reuse::kNone) {
      const std::size_t last = reuse->skip_to[i];
      std::copy(reuse->values + last * B, reuse->values + last * B + count, top);
      std::copy(reuse->ok + last * B, reuse->ok + last * B + count, top_ok);
      uniform[depth] = 0;
      ++depth;
      i = last;
      continue;
    }
    switch (t.kind) {
      case TokenKind::NamedConstant:
      case TokenKind::RealConstant: {
        const Complex v = t.kind == TokenKind::NamedConstant ? t.value : Complex{t.value.re, 0.0};
        std::fill(top, top + count, v);
        std::fill(top_ok, top_ok + count, std::uint8_t{1});
        uniform[depth] = 1;
        ++depth;
        break;
      }
      case TokenKind::Variable: {
        if (t.small >= data.vars()) return fail_all();
        const Complex* col = data.column(t.small, begin);
        std::copy(col, col + count, top);
        if (const std::uint8_t* valid = data.valid(t.small)) {
          std::copy(valid + begin, valid + begin + count, top_ok);
        } else {
          std::fill(top_ok, top_ok + count, std::uint8_t{1});
        }
        uniform[depth] = 0;
        ++depth;
        break;
      }
      case TokenKind::Parameter: {
        const Complex v = t.small < params.size() ? params[t.small] : t.value;
        std::fill(top, top + count, v);
        std::fill(top_ok, top_ok + count, std::uint8_t{1});
        uniform[depth] = 1;
        ++depth;
        break;
      }
      case TokenKind::Apply: {
        if (depth < t.small || t.index >= registry.size()) return fail_all();
        depth -= t.small;
        Complex* args = stack + depth * B;
        std::uint8_t* args_ok = oks + depth * B;
        if (t.small == 0) {
          // A constant applied as an operator: same value on every row.
          const std::optional<Complex> v = registry.operators[t.index]->eval({});
          if (!v || !kernels::in_range(*v)) return fail_all();
          std::fill(args, args + count, *v);
          std::fill(args_ok, args_ok + count, std::uint8_t{1});
          uniform[depth] = 1;
        } else {
          // A built-in kernel is a function of its operands alone, so on
          // operands that are the same on every row it is evaluated on the
          // first row and its value and flag copied to the others.
          bool same = count > 1 && registry.entries[t.index].kernel != Kernel::generic;
          for (std::size_t a = 0; a < t.small; ++a) same = same && uniform[depth + a] != 0;
          const std::size_t rows = same ? 1 : count;
          for (std::size_t a = 1; a < t.small; ++a) {
            const std::uint8_t* other = args_ok + a * B;
            for (std::size_t r = 0; r < rows; ++r) args_ok[r] &= other[r];
          }
          apply_block(t, registry, args, B, args_ok, rows);
          if (same) {
            std::fill(args + 1, args + count, args[0]);
            std::fill(args_ok + 1, args_ok + count, args_ok[0]);
          }
          uniform[depth] = same ? 1 : 0;
        }
        ++depth;
        break;
      }
    }
    if (record != nullptr) {
      const Complex* slot = stack + (depth - 1) * B;
      const std::uint8_t* slot_ok = oks + (depth - 1) * B;
      std::copy(slot, slot + count, record + i * B);
      std::copy(slot_ok, slot_ok + count, record_ok + i * B);
    }
  }
  if (depth != 1) return fail_all();
  std::copy(stack, stack + count, out);
  std::copy(oks, oks + count, ok);
}

}  // namespace qarn
