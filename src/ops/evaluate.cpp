#include "ops/evaluate.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace qarn {

bool apply_operator(const OperatorRegistry& registry, std::uint64_t index, std::uint8_t arity,
                    const Complex* args, Complex& out) {
  if (index >= registry.size()) return false;
  const OperatorEntry& entry = registry.entries[index];
  bool ok;
  if ((arity == 1 || arity == 2) && entry.arity == arity && entry.kernel != Kernel::generic) {
    ok = kernels::apply(entry.kernel, arity, args, out);
  } else {
    const std::optional<Complex> v = registry.operators[index]->eval({args, arity});
    ok = v.has_value();
    if (ok) out = *v;
  }
  return ok && kernels::in_range(out);
}

namespace {

// The evaluator proper over a stack with room for one value per token.
std::optional<Complex> run_tokens(std::span<const Token> tokens, std::span<const Complex> inputs,
                                  std::span<const Complex> params,
                                  const OperatorRegistry& registry, Complex* stack) {
  std::size_t depth = 0;
  for (const Token& t : tokens) {
    switch (t.kind) {
      case TokenKind::NamedConstant:
      case TokenKind::RealConstant:
        stack[depth++] = t.kind == TokenKind::NamedConstant ? t.value : Complex{t.value.re, 0.0};
        break;
      case TokenKind::Variable:
        if (t.small >= inputs.size()) return std::nullopt;
        stack[depth++] = inputs[t.small];
        break;
      case TokenKind::Parameter:
        stack[depth++] = t.small < params.size() ? params[t.small] : t.value;
        break;
      case TokenKind::Apply: {
        if (depth < t.small) return std::nullopt;
        depth -= t.small;
        Complex out;
        if (!apply_operator(registry, t.index, t.small, stack + depth, out)) return std::nullopt;
        stack[depth++] = out;
        break;
      }
    }
  }
  if (depth != 1) return std::nullopt;
  return stack[0];
}

constexpr std::size_t kInlineStack = 32;

}  // namespace

std::optional<Complex> evaluate(std::span<const Token> tokens, std::span<const Complex> inputs,
                                std::span<const Complex> params,
                                const OperatorRegistry& registry) {
  if (tokens.size() <= kInlineStack) {
    std::array<Complex, kInlineStack> stack;
    return run_tokens(tokens, inputs, params, registry, stack.data());
  }
  std::vector<Complex> stack(tokens.size());
  return run_tokens(tokens, inputs, params, registry, stack.data());
}

std::optional<Complex> evaluate(std::span<const Token> tokens, std::span<const Complex> inputs,
                                std::span<const Complex> params, const OperatorRegistry& registry,
                                std::vector<Complex>& stack) {
  if (stack.size() < tokens.size()) stack.resize(tokens.size());
  return run_tokens(tokens, inputs, params, registry, stack.data());
}

double evaluate_real(const Formula& formula, const OperatorRegistry& registry,
                     std::span<const double> xs, std::vector<Complex>& inputs,
                     std::vector<Complex>& stack) {
  inputs.resize(xs.size());
  for (std::size_t i = 0; i < xs.size(); ++i) inputs[i] = Complex{xs[i], 0.0};
  const std::optional<Complex> v = evaluate(formula.tokens, inputs, {}, registry, stack);
  return v ? v->re : std::nan("");
}

double evaluate_real(const Formula& formula, const OperatorRegistry& registry,
                     std::span<const double> xs) {
  std::vector<Complex> inputs;
  std::vector<Complex> stack;
  return evaluate_real(formula, registry, xs, inputs, stack);
}

DataColumns::DataColumns(std::span<const std::vector<Complex>> rows) : rows_(rows.size()) {
  std::size_t vars = 0;
  for (const std::vector<Complex>& row : rows) vars = std::max(vars, row.size());
  values_.assign(vars * rows_, Complex{});
  std::vector<bool> partial(vars, false);
  for (std::size_t r = 0; r < rows_; ++r) {
    for (std::size_t v = 0; v < rows[r].size(); ++v) values_[v * rows_ + r] = rows[r][v];
    for (std::size_t v = rows[r].size(); v < vars; ++v) partial[v] = true;
  }
  std::size_t partial_count = 0;
  for (bool p : partial) partial_count += p ? 1 : 0;
  masks_.assign(partial_count * rows_, std::uint8_t{0});
  std::size_t m = 0;
  for (std::size_t v = 0; v < vars; ++v) {
    columns_.push_back(values_.data() + v * rows_);
    if (!partial[v]) {
      valid_.push_back(nullptr);
      continue;
    }
    std::uint8_t* mask = masks_.data() + m++ * rows_;
    for (std::size_t r = 0; r < rows_; ++r) mask[r] = v < rows[r].size() ? 1 : 0;
    valid_.push_back(mask);
  }
}

void DataColumns::view_of(const DataColumns& base) {
  rows_ = base.rows_;
  columns_.assign(base.columns_.begin(), base.columns_.end());
  valid_.assign(base.valid_.begin(), base.valid_.end());
  values_.clear();
  masks_.clear();
}

void DataColumns::add_column(const Complex* values, const std::uint8_t* valid) {
  columns_.push_back(values);
  valid_.push_back(valid);
}

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
#define QARN_BLOCK_CASE(Class, kernel, name, arity, ...)                          \
  case Kernel::kernel:                                                          \
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
  std::array<Complex, 256> gathered;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t a = 0; a < t.small; ++a) gathered[a] = args[a * stride + i];
    const std::optional<Complex> v = op.eval({gathered.data(), t.small});
    const bool good = v.has_value() && kernels::in_range(*v);
    if (v) args[i] = *v;
    ok[i] &= static_cast<std::uint8_t>(good);
  }
}

}  // namespace

void BatchEvaluator::run(std::span<const Token> tokens, const DataColumns& data,
                         std::size_t begin, std::size_t count, std::span<const Complex> params,
                         const OperatorRegistry& registry, Complex* out, std::uint8_t* ok) {
  run_recorded(tokens, data, begin, count, params, registry, out, ok, nullptr, nullptr, nullptr);
}

void BatchEvaluator::run_recorded(std::span<const Token> tokens, const DataColumns& data,
                                  std::size_t begin, std::size_t count,
                                  std::span<const Complex> params,
                                  const OperatorRegistry& registry, Complex* out,
                                  std::uint8_t* ok, Complex* record, std::uint8_t* record_ok,
                                  const Reuse* reuse) {
  constexpr std::size_t B = kBlock;
  const auto fail_all = [&] { std::fill(ok, ok + count, std::uint8_t{0}); };
  if (stack_.size() < tokens.size() * B) {
    stack_.resize(tokens.size() * B);
    ok_stack_.resize(tokens.size() * B);
  }
  // Each stack slot carries the values of one subtree and, per row, whether
  // every token of that subtree had a value there.
  Complex* stack = stack_.data();
  std::uint8_t* oks = ok_stack_.data();
  std::size_t depth = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    Complex* top = stack + depth * B;
    std::uint8_t* top_ok = oks + depth * B;
    if (reuse != nullptr && reuse->skip_to[i] != Reuse::kNone) {
      const std::size_t last = reuse->skip_to[i];
      std::copy(reuse->values + last * B, reuse->values + last * B + count, top);
      std::copy(reuse->ok + last * B, reuse->ok + last * B + count, top_ok);
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
        ++depth;
        break;
      }
      case TokenKind::Parameter: {
        const Complex v = t.small < params.size() ? params[t.small] : t.value;
        std::fill(top, top + count, v);
        std::fill(top_ok, top_ok + count, std::uint8_t{1});
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
        } else {
          for (std::size_t a = 1; a < t.small; ++a) {
            const std::uint8_t* other = args_ok + a * B;
            for (std::size_t r = 0; r < count; ++r) args_ok[r] &= other[r];
          }
          apply_block(t, registry, args, B, args_ok, count);
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
