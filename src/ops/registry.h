#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ops/operator.h"

namespace qarn {

// Registry metadata of one operator, copied at registration time.
struct OperatorEntry {
  std::string name;                 // registered name, as used in display texts
  bool commutative = false;         // Plus and Times: one operand order suffices
  std::uint8_t arity = 0;           // 0 for constants, 1 or 2 for operators
  Kernel kernel = Kernel::generic;  // arithmetic identity for fast dispatch
};

// The indexed vocabulary of a search. Formulas refer to operators by index,
// so the order of registration is part of the data model. Immutable once
// built and shared read-only by the search, its workers and its results.
class OperatorRegistry {
 public:
  // Appends `op` and its entry. (`register` itself is a reserved word.)
  void register_operator(std::unique_ptr<Operator> op);

  // Indices of all entries of arity k, ascending.
  std::vector<std::size_t> operators_with_arity(std::uint8_t k) const;

  std::size_t size() const { return operators.size(); }

  std::vector<std::unique_ptr<Operator>> operators;
  std::vector<OperatorEntry> entries;
};

// The five named constants then the eighteen operators, indices 0 to 22, in
// the order of QARN_CONSTANTS and QARN_OPERATORS.
OperatorRegistry builtin_registry();

// The built-in registry behind a shared handle, as searches and results hold it.
std::shared_ptr<const OperatorRegistry> make_builtin_registry();

}  // namespace qarn
