#pragma once

#include <string>

#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// LaTeX and Python/NumPy source of a formula, built from the operator
// templates alone (no precedence analysis, no simplification). Constants and
// parameters print with four decimals; an empty token list renders "".
std::string render_latex(const Formula& formula, const OperatorRegistry& registry);
std::string render_python(const Formula& formula, const OperatorRegistry& registry);

}  // namespace qarn
