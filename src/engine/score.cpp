#include "engine/score.h"

#include <cmath>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

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

// Loss of one child, fitted when it has parameters and fitting is on. A kept
// fit leaves its values in the Parameter tokens of ws.tokens.
Optimizer::Score score_child(Workspace& ws, const Levels& levels, std::uint64_t level,
                             const Child& child, const DataColumns& data,
                             std::span<const double> targets, const OperatorRegistry& registry,
                             const SearchConfig& config, bool rank_affine = false) {
  const Formula& a = left_parent(levels, level, child);
  const Formula* b = child.unary() ? nullptr : &right_parent(levels, level, child);
  child_tokens(a, b, child.op, ws.tokens);
  KnownColumn known[2];
  std::size_t known_count = 0;
  OperandColumns operands;
  add_parent(levels[left_level(level, child)], child.left, 0, a.tokens.size(), known, known_count,
             operands);
  if (b != nullptr) {
    add_parent(levels[right_level(level, child)], child.right, a.tokens.size(),
               a.tokens.size() + b->tokens.size(), known, known_count, operands);
  }
  const bool has_parameters = child_param_count(a, b) != 0;
  const std::size_t fit_iterations = config.full_fit ? kFullScoreIterations : 10;
  const std::size_t iterations = config.fit_constants && has_parameters ? fit_iterations : 0;
  return ws.optimizer.score(ws.tokens, data, targets, registry, config.alpha, config.l1_ratio,
                            iterations, {known, known_count}, &operands,
                            {.full_fit = config.full_fit, .affine = rank_affine});
}

// Appends the values of the Parameter tokens of `tokens`, in token order.
void append_parameters(const std::vector<Token>& tokens, std::vector<double>& out) {
  for (const Token& t : tokens) {
    if (t.kind == TokenKind::Parameter) out.push_back(t.value.re);
  }
}

constexpr std::size_t kCandidatesPerPiece = 16;

}  // namespace

void store_parameters(Formula& formula, const double* values) {
  std::size_t k = 0;
  for (Token& t : formula.tokens) {
    if (t.kind == TokenKind::Parameter) t.value = Complex{values[k++], 0.0};
  }
}

std::vector<double> score_losses(const Candidates& candidates, const Levels& levels,
                                 std::uint64_t level, ProgressState& progress,
                                 const DataColumns& data, std::span<const double> targets,
                                 const OperatorRegistry& registry, const SearchConfig& config,
                                 SearchControl* control, std::vector<double>* ranks) {
  std::vector<double> losses(candidates.size());
  if (ranks != nullptr) ranks->assign(candidates.size(), 0.0);
  tbb::enumerable_thread_specific<Workspace> workspaces;
  const auto score_one = [&](Workspace& ws, std::size_t i) {
    const Optimizer::Score scored = score_child(ws, levels, level, candidates[i], data, targets,
                                                registry, config, ranks != nullptr);
    losses[i] = scored.loss;
    // An affine loss that overflowed ranks the candidate by its loss.
    if (ranks != nullptr) (*ranks)[i] = std::isfinite(scored.affine) ? scored.affine : scored.loss;
  };
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, candidates.size(), kCandidatesPerPiece),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      if (control != nullptr && control->expired()) return;
                      Workspace& ws = workspaces.local();
                      for (std::size_t i = r.begin(); i != r.end(); ++i) {
                        progress_step(progress);
                        score_one(ws, i);
                      }
                      if (control != nullptr)
                        control->scored.fetch_add(r.size(), std::memory_order_relaxed);
                    });
  return losses;
}

std::vector<Formula> scored_formulas(std::span<const Child> children, const Levels& levels,
                                     std::uint64_t level, const DataColumns& data,
                                     std::span<const double> targets,
                                     const OperatorRegistry& registry, const SearchConfig& config) {
  std::vector<Formula> out(children.size());
  tbb::enumerable_thread_specific<Workspace> workspaces;
  tbb::parallel_for(std::size_t{0}, children.size(), [&](std::size_t k) {
    Workspace& ws = workspaces.local();
    out[k] = materialize(levels, level, children[k], registry);
    if (score_child(ws, levels, level, children[k], data, targets, registry, config).fitted) {
      std::vector<double> values;
      append_parameters(ws.tokens, values);
      store_parameters(out[k], values.data());
    }
  });
  return out;
}

ScoredLevel score_candidates(const std::vector<Child>& candidates, const Levels& levels,
                             std::uint64_t level, const DataColumns& data,
                             std::span<const double> targets, const OperatorRegistry& registry,
                             const SearchConfig& config) {
  const double factor = score_factor(config, level);
  tbb::enumerable_thread_specific<Workspace> workspaces;
  std::vector<ScoredLevel> parts = parallel_pieces<ScoredLevel>(
      candidates.size(), kCandidatesPerPiece,
      [&](std::size_t begin, std::size_t end, ScoredLevel& part) {
        Workspace& ws = workspaces.local();
        for (std::size_t i = begin; i < end; ++i) {
          const Child& child = candidates[i];
          const Optimizer::Score result =
              score_child(ws, levels, level, child, data, targets, registry, config);
          if (!std::isfinite(result.loss)) continue;
          ScoredChild scored{child, result.loss * factor};
          if (result.fitted) {
            scored.fitted = static_cast<std::uint32_t>(part.fitted_values.size());
            append_parameters(ws.tokens, part.fitted_values);
          }
          part.items.push_back(scored);
        }
      });

  ScoredLevel out;
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
