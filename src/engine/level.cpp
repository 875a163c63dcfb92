#include "engine/level.h"

#include <utility>

namespace qarn {

void Level::add(Formula formula, const OperatorRegistry& registry) {
  probes.push_back(probe_values(formula.tokens, formula.var_count, registry));
  keys.push_back(structure_key(formula));
  formulas.push_back(std::move(formula));
}

const Formula& left_parent(const Levels& levels, std::uint64_t level, const Child& child) {
  return levels[left_level(level, child)].formulas[child.left];
}

const Formula& right_parent(const Levels& levels, std::uint64_t level, const Child& child) {
  return levels[right_level(level, child)].formulas[child.right];
}

Formula materialize(const Levels& levels, std::uint64_t level, const Child& child,
                    const OperatorRegistry& registry) {
  const Formula& a = left_parent(levels, level, child);
  const Formula* b = child.unary() ? nullptr : &right_parent(levels, level, child);
  return child_formula(a, b, child.op, registry);
}

}  // namespace qarn
