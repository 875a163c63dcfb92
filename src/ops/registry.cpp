#include "ops/registry.h"

#include "ops/builtin.h"

namespace qarn {

void OperatorRegistry::register_operator(std::unique_ptr<Operator> op) {
  entries.push_back(OperatorEntry{op->name(), op->is_commutative(), op->arity(), op->kernel()});
  operators.push_back(std::move(op));
}

std::vector<std::size_t> OperatorRegistry::operators_with_arity(std::uint8_t k) const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].arity == k) out.push_back(i);
  }
  return out;
}

OperatorRegistry builtin_registry() {
  OperatorRegistry r;
#define QARN_REGISTER_CONSTANT(name, latex, python, re, im) \
  r.register_operator(std::make_unique<ConstOp>(name, latex, python, Complex{re, im}));
  QARN_CONSTANTS(QARN_REGISTER_CONSTANT)
#undef QARN_REGISTER_CONSTANT
#define QARN_REGISTER_OPERATOR(Class, ...) r.register_operator(std::make_unique<Class>());
  QARN_OPERATORS(QARN_REGISTER_OPERATOR)
#undef QARN_REGISTER_OPERATOR
  return r;
}

std::shared_ptr<const OperatorRegistry> make_builtin_registry() {
  return std::make_shared<const OperatorRegistry>(builtin_registry());
}

}  // namespace qarn
