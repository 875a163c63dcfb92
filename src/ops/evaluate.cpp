#include "ops/evaluate.h"

#include <array>
#include <cmath>

#include "ops/kernels.h"

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
                                  std::span<const Complex> params, const OperatorRegistry& registry,
                                  Complex* stack) {
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
                                std::span<const Complex> params, const OperatorRegistry& registry) {
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

}  // namespace qarn
