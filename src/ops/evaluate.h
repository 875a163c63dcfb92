#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ops/formula.h"
#include "ops/registry.h"

namespace qarn {

// Applies operator `index` of the registry to `arity` values at `args` and
// screens the result: false when the operator has no value there, or when a
// part of the result is not finite or reaches 1e15 in magnitude.
bool apply_operator(const OperatorRegistry& registry, std::uint64_t index, std::uint8_t arity,
                    const Complex* args, Complex& out);

// Complex value of `tokens` at one data point, or empty where the formula has
// no value there. `params`, when non-empty, overrides the stored values of the
// Parameter tokens whose slot it covers. Operator results that are not finite
// or reach 1e15 in either part fail the evaluation; leaves are pushed as is.
std::optional<Complex> evaluate(std::span<const Token> tokens, std::span<const Complex> inputs,
                                std::span<const Complex> params, const OperatorRegistry& registry);

// Same, with a caller-owned stack reused across calls (rows of one data set).
std::optional<Complex> evaluate(std::span<const Token> tokens, std::span<const Complex> inputs,
                                std::span<const Complex> params, const OperatorRegistry& registry,
                                std::vector<Complex>& stack);

// Real part of the value at the real point `xs` (stored parameter values), or
// NaN when the evaluation fails.
double evaluate_real(const Formula& formula, const OperatorRegistry& registry,
                     std::span<const double> xs);

// Same, reusing `inputs` and `stack` as scratch across calls.
double evaluate_real(const Formula& formula, const OperatorRegistry& registry,
                     std::span<const double> xs, std::vector<Complex>& inputs,
                     std::vector<Complex>& stack);

}  // namespace qarn
