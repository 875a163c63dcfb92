#include "engine/score.h"

#include <cmath>

#include <tbb/enumerable_thread_specific.h>

#include "engine/optimizer.h"
#include "engine/parallel.h"

namespace qarn {
namespace {

// Scratch of one worker: reused for every candidate it scores.
struct Workspace {
  Optimizer optimizer;
  std::vector<Token> tokens;
};

// The cached values of a parent: as the known subtree tokens [begin, end)
// when they hold for every pass, and as the parent's operand columns.
void add_parent(const Level& level, std::size_t index, std::size_t begin, std::size_t end,
                KnownColumn* known, std::size_t& known_count, OperandColumns& operands) {
  OperandColumns::Operand& operand = operands.operands[operands.count++];
  if (index >= level.columns.size() || level.columns[index].values.empty()) return;
  const Level::Column& c = level.columns[index];
  if (c.fixed) known[known_count++] = {begin, end, c.values.data(), c.ok.data()};
  operand = {c.values.data(), c.ok.data(), c.raised};
}

constexpr std::size_t kCandidatesPerPiece = 16;

}  // namespace

void store_parameters(Formula& formula, const double* values) {
  std::size_t k = 0;
  for (Token& t : formula.tokens) {
    if (t.kind == TokenKind::Parameter) t.value = Complex{values[k++], 0.0};
  }
}

ScoredLevel score_candidates(std::vector<Child> candidates, const Levels& levels,
                             std::uint64_t level, ProgressState& progress, const DataColumns& data,
                             std::span<const double> targets, const OperatorRegistry& registry,
                             const SearchConfig& config, SearchControl* control) {
  const double factor = score_factor(config, level);
  tbb::enumerable_thread_specific<Workspace> workspaces;
  std::vector<ScoredLevel> parts = parallel_pieces<ScoredLevel>(
      candidates.size(), kCandidatesPerPiece,
      [&](std::size_t begin, std::size_t end, ScoredLevel& part) {
        if (control != nullptr && control->expired()) return;
        Workspace& ws = workspaces.local();
        for (std::size_t i = begin; i < end; ++i) {
          const Child& child = candidates[i];
          progress_step(progress);
          const Formula& a = left_parent(levels, level, child);
          const Formula* b = child.unary() ? nullptr : &right_parent(levels, level, child);
          child_tokens(a, b, child.op, ws.tokens);
          KnownColumn known[2];
          std::size_t known_count = 0;
          OperandColumns operands;
          add_parent(levels[left_level(level, child)], child.left, 0, a.tokens.size(), known,
                     known_count, operands);
          if (b != nullptr) {
            add_parent(levels[right_level(level, child)], child.right, a.tokens.size(),
                       a.tokens.size() + b->tokens.size(), known, known_count, operands);
          }
          const bool has_parameters = child_param_count(a, b) != 0;
          const std::size_t iterations = config.fit_constants && has_parameters ? 10 : 0;
          const Optimizer::Score result =
              ws.optimizer.score(ws.tokens, data, targets, registry, config.alpha, config.l1_ratio,
                                 iterations, {known, known_count}, &operands);
          if (!std::isfinite(result.loss)) continue;
          ScoredChild scored{child, result.loss * factor};
          if (result.fitted) {
            scored.fitted = static_cast<std::uint32_t>(part.fitted_values.size());
            for (const Token& t : ws.tokens) {
              if (t.kind == TokenKind::Parameter) part.fitted_values.push_back(t.value.re);
            }
          }
          part.items.push_back(scored);
        }
        if (control != nullptr) control->scored.fetch_add(end - begin, std::memory_order_relaxed);
      });

  ScoredLevel out;
  std::size_t items = 0;
  std::size_t values = 0;
  for (const ScoredLevel& part : parts) {
    items += part.items.size();
    values += part.fitted_values.size();
  }
  out.items.reserve(items);
  out.fitted_values.reserve(values);
  for (ScoredLevel& part : parts) {
    const auto offset = static_cast<std::uint32_t>(out.fitted_values.size());
    for (ScoredChild s : part.items) {
      if (s.fitted != ScoredChild::kUnfitted) s.fitted += offset;
      out.items.push_back(s);
    }
    out.fitted_values.insert(out.fitted_values.end(), part.fitted_values.begin(),
                             part.fitted_values.end());
    part = ScoredLevel{};
  }
  return out;
}

}  // namespace qarn
