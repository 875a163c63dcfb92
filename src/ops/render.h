#pragma once

#include <string>

#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// LaTeX and Python/NumPy source of a formula, built from the operator
// templates alone (no precedence analysis, no simplification). Constants and
// parameters print with four decimals; in Python source, a constant whose four
// decimals are off by more than 1 % (0.0000 for 1.23456e-05) prints instead
// as the shortest text that reads back to the same double. An empty token
// list renders "".
std::string render_latex(const Formula& formula, const OperatorRegistry& registry);
std::string render_python(const Formula& formula, const OperatorRegistry& registry);

}  // namespace qarn
