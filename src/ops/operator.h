#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "ops/complex.h"
#include "ops/kernels.h"

namespace qarn {

// A named constant or operator of the formula vocabulary. Objects are
// immutable and read concurrently by every worker without locks.
class Operator {
 public:
  virtual ~Operator() = default;

  // Diagnostic dump (class name, plus the fields for constants).
  virtual void describe(std::ostream& out) const = 0;
  // Registered name, used in formula display texts.
  virtual std::string name() const = 0;
  // 0 for constants, 1 or 2 for operators.
  virtual std::uint8_t arity() const = 0;
  virtual bool is_commutative() const = 0;
  // Value at `args` (exactly arity() values, argument 0 pushed first); empty
  // where the operator has no value.
  virtual std::optional<Complex> eval(std::span<const Complex> args) const = 0;
  // LaTeX and Python/NumPy forms around the already rendered operands.
  virtual std::string latex(std::span<const std::string> args) const = 0;
  virtual std::string python(std::span<const std::string> args) const = 0;

  // Bracket form "Name[a, b]", or the bare name without arguments.
  std::string plain(std::span<const std::string> args) const;

  // Arithmetic identity for fast dispatch; `generic` evaluates through eval().
  virtual Kernel kernel() const { return Kernel::generic; }
};

}  // namespace qarn
