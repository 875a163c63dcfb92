#include "ops/render.h"

#include <span>
#include <vector>

#include "ops/decimal.h"

namespace qarn {
namespace {

enum class Form { latex, python };

std::string call(const Operator& op, Form form, std::span<const std::string> args) {
  return form == Form::latex ? op.latex(args) : op.python(args);
}

std::string render(const Formula& formula, const OperatorRegistry& registry, Form form) {
  std::vector<std::string> stack;
  stack.reserve(formula.tokens.size());
  for (const Token& t : formula.tokens) {
    switch (t.kind) {
      case TokenKind::NamedConstant:
        stack.push_back(t.index < registry.size() ? call(*registry.operators[t.index], form, {})
                                                  : std::string{});
        break;
      case TokenKind::RealConstant:
      case TokenKind::Parameter:
        stack.push_back(four_decimals(t.value.re));
        break;
      case TokenKind::Variable:
        stack.push_back("v_{" + std::to_string(t.small) + "}");
        break;
      case TokenKind::Apply: {
        const std::size_t k = std::min<std::size_t>(t.small, stack.size());
        const std::span<const std::string> args(stack.data() + (stack.size() - k), k);
        std::string text = t.index < registry.size()
                               ? call(*registry.operators[t.index], form, args)
                               : std::string{};
        stack.resize(stack.size() - k);
        stack.push_back(std::move(text));
        break;
      }
    }
  }
  return stack.empty() ? std::string{} : std::move(stack.back());
}

}  // namespace

std::string render_latex(const Formula& formula, const OperatorRegistry& registry) {
  return render(formula, registry, Form::latex);
}

std::string render_python(const Formula& formula, const OperatorRegistry& registry) {
  return render(formula, registry, Form::python);
}

}  // namespace qarn
