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
  r.register_operator(std::make_unique<ConstOp>("0", "0", "0", Complex{0.0, 0.0}));
  r.register_operator(std::make_unique<ConstOp>("1", "1", "1", Complex{1.0, 0.0}));
  r.register_operator(std::make_unique<ConstOp>("I", "i", "1j", Complex{0.0, 1.0}));
  r.register_operator(std::make_unique<ConstOp>("Pi", "\\pi", "np.pi", Complex{kernels::kPi, 0.0}));
  r.register_operator(std::make_unique<ConstOp>("E", "e", "np.e", Complex{kernels::kE, 0.0}));
  r.register_operator(std::make_unique<Qarn>());
  r.register_operator(std::make_unique<Neg>());
  r.register_operator(std::make_unique<Inv>());
  r.register_operator(std::make_unique<Plus>());
  r.register_operator(std::make_unique<Times>());
  r.register_operator(std::make_unique<Subtract>());
  r.register_operator(std::make_unique<Divide>());
  r.register_operator(std::make_unique<Exp>());
  r.register_operator(std::make_unique<Log>());
  r.register_operator(std::make_unique<Sqrt>());
  r.register_operator(std::make_unique<Sin>());
  r.register_operator(std::make_unique<Cos>());
  r.register_operator(std::make_unique<Tan>());
  r.register_operator(std::make_unique<ArcSin>());
  r.register_operator(std::make_unique<ArcCos>());
  r.register_operator(std::make_unique<ArcTan>());
  r.register_operator(std::make_unique<Square>());
  r.register_operator(std::make_unique<Cube>());
  return r;
}

std::shared_ptr<const OperatorRegistry> make_builtin_registry() {
  return std::make_shared<const OperatorRegistry>(builtin_registry());
}

}  // namespace qarn
