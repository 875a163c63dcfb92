#include "ops/builtin.h"

#include <utility>

namespace qarn {

ConstOp::ConstOp(std::string name, std::string latex, std::string python, Complex value)
    : name_(std::move(name)), latex_(std::move(latex)), python_(std::move(python)), value_(value) {}

void ConstOp::describe(std::ostream& out) const {
  out << "ConstOp { name: \"" << name_ << "\", latex: \"" << latex_ << "\", python: \"" << python_
      << "\", value: Complex { re: " << value_.re << ", im: " << value_.im << " } }";
}

std::optional<Complex> ConstOp::eval(std::span<const Complex>) const { return value_; }

std::string ConstOp::latex(std::span<const std::string>) const { return latex_; }

std::string ConstOp::python(std::span<const std::string>) const { return python_; }

std::optional<Complex> BuiltinOperator::eval(std::span<const Complex> args) const {
  if (args.size() < info_.arity) return std::nullopt;
  Complex out;
  if (!kernels::apply(info_.kernel, info_.arity, args.data(), out)) return std::nullopt;
  return out;
}

std::string BuiltinOperator::fill(const Template& t, std::span<const std::string> args) const {
  if (args.size() < info_.arity) return {};
  std::string out = t.before;
  out += args[0];
  if (info_.arity == 2) {
    out += t.between;
    out += args[1];
  }
  out += t.after;
  return out;
}

std::string BuiltinOperator::latex(std::span<const std::string> args) const {
  return fill(info_.latex, args);
}

std::string BuiltinOperator::python(std::span<const std::string> args) const {
  return fill(info_.python, args);
}

namespace {

#define QARN_TEMPLATE(before, between, after) \
  Template { before, between, after }
#define QARN_DESCRIBE_OPERATOR(Class, kernel, name, arity, commutative, latex, python) \
  constexpr BuiltinInfo k##Class{#Class,                                               \
                                 name,                                                 \
                                 arity,                                                \
                                 commutative,                                          \
                                 Kernel::kernel,                                       \
                                 QARN_TEMPLATE latex,                                  \
                                 QARN_TEMPLATE python};
QARN_OPERATORS(QARN_DESCRIBE_OPERATOR)
#undef QARN_DESCRIBE_OPERATOR
#undef QARN_TEMPLATE

}  // namespace

#define QARN_DEFINE_OPERATOR(Class, ...) \
  Class::Class() : BuiltinOperator(k##Class) {}
QARN_OPERATORS(QARN_DEFINE_OPERATOR)
#undef QARN_DEFINE_OPERATOR

}  // namespace qarn
