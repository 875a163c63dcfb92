"""Growing the front's formulas past the levels a search completed.

On wide or long data a breadth-first search spends its budget on the first
few levels: with ten features the fifth level already forms 150,000
children. The formulas it keeps there are often the start of the answer (a
sum missing a term, a product missing a factor). Growing takes them further
by small local edits, each refitted with the engine's own fit:

- a variable leaf v becomes x, v + x, v - x, v * x, v / x or C * v, or an
  operator of one operand applied to v;
- a parameter leaf C becomes C * x;
- the whole formula f becomes f + x, f - x, f + C * x, C * f or f + C (C
  starting where it changes nothing, so the fit starts from f's own error);

where x is one of the features that correlate most with what the formula
leaves unexplained. Before the edits, the simplest formulas f of the front
that read a feature get a second term: a short search on what f leaves
unexplained (y - f) finds terms g, and f + g joins the candidates, so that a
sum of two pieces the search would need many more levels to join (sin(x) +
sin(x + x^2)) is found from its first piece. Each round edits the best
formulas of the previous one (by error, a few per complexity), never past
``max_complexity`` tokens and for at most ``max_complexity`` rounds, and the
results join the front when they beat its entries; it stops once a formula
fits exactly. It is deterministic: the same front and data give the same
formulas, unless a deadline cuts it short.
"""

from __future__ import annotations

import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

import _qarn_sr_core
import qarn_sr
from qarn_sr_sklearn._tokens import APPLY as _APPLY
from qarn_sr_sklearn._tokens import PARAMETER as _PARAMETER
from qarn_sr_sklearn._tokens import STATE_VERSION, formula_text
from qarn_sr_sklearn._tokens import VARIABLE as _VARIABLE

# Features tried per formula and edit: those most correlated with its residual.
FEATURES_PER_FORMULA = 10
# Formulas of each complexity a round edits further.
KEPT_PER_COMPLEXITY = 6
# Candidates refitted per engine call: short calls, so that a deadline or
# Ctrl-C is seen within a fraction of a second.
_CHUNK = 256

_LEAF_EDITS = ("Plus", "Subtract", "Times", "Divide")

# The residual searches: how many of the simplest formulas get one, the size
# of the terms they look for, and their beam.
RESIDUAL_PARENTS = 3
RESIDUAL_COMPLEXITY = 5
RESIDUAL_BEAM = 300


@dataclass(frozen=True)
class GrowSettings:
    """What growing may build and how it fits: the operators allowed (names),
    those of one operand among them (in registry order), the largest formula,
    the fit's settings, and the error at which it stops (an exact fit)."""

    operators: frozenset
    unary: tuple
    max_complexity: int
    alpha: float
    l1_ratio: float
    full_fit: bool
    exact_fit_loss: float


def _structure(tokens: tuple) -> tuple:
    """A formula's tokens without its parameter values: equal for formulas
    that differ only in their fitted constants."""
    return tuple((kind, small, name) for kind, small, name, _re, _im in tokens)


def _result(tokens: tuple):
    """A SearchResult for the tokens, parameter slots numbered in token
    order."""
    numbered = []
    slot = 0
    for kind, small, name, re_part, im_part in tokens:
        if kind == _PARAMETER:
            small, slot = slot, slot + 1
        numbered.append((kind, small, name, re_part, im_part))
    numbered = tuple(numbered)
    return _qarn_sr_core.result_from_state((STATE_VERSION, formula_text(numbered), float("inf"),
                                            numbered))


def _variable(j: int) -> tuple:
    return (_VARIABLE, j, None, 0.0, 0.0)


def _parameter(value: float) -> tuple:
    return (_PARAMETER, 0, None, value, 0.0)


def _apply(name: str, arity: int) -> tuple:
    return (_APPLY, arity, name, 0.0, 0.0)


def _edits(tokens: tuple, features: list[int], settings: GrowSettings) -> list[tuple]:
    """The formulas one edit away from `tokens` (see the module's text)."""
    allowed = settings.operators
    out = []
    for i, token in enumerate(tokens):
        before, after = tokens[:i], tokens[i + 1:]
        if token[0] == _VARIABLE:
            out.extend(before + (_variable(j),) + after for j in features if j != token[1])
            for op in _LEAF_EDITS:
                if op in allowed:
                    out.extend(before + (token, _variable(j), _apply(op, 2)) + after
                               for j in features)
            out.extend(before + (token, _apply(op, 1)) + after for op in settings.unary)
            if "Times" in allowed:
                out.append(before + (_parameter(1.0), token, _apply("Times", 2)) + after)
        elif token[0] == _PARAMETER and "Times" in allowed:
            out.extend(before + (token, _variable(j), _apply("Times", 2)) + after
                       for j in features)
    for op in ("Plus", "Subtract"):
        if op in allowed:
            out.extend(tokens + (_variable(j), _apply(op, 2)) for j in features)
    # A scale and an offset, starting where they change nothing.
    if "Times" in allowed:
        out.append((_parameter(1.0),) + tokens + (_apply("Times", 2),))
    if "Plus" in allowed:
        out.append(tokens + (_parameter(0.0), _apply("Plus", 2)))
    if "Plus" in allowed and "Times" in allowed:
        out.extend(tokens + (_parameter(0.0), _variable(j), _apply("Times", 2), _apply("Plus", 2))
                   for j in features)
    return out


class _FeatureRanking:
    """Ranks the features by how much they correlate (in absolute value) with
    what a formula leaves unexplained. The centred columns and their norms
    are the same for every formula of a run, so they are computed once."""

    def __init__(self, X: np.ndarray, y: np.ndarray) -> None:
        self._X, self._y = X, y
        self._centred = X - X.mean(axis=0)
        self._norms = np.linalg.norm(self._centred, axis=0)

    def best(self, result) -> list[int]:
        """The FEATURES_PER_FORMULA features most correlated with the
        residual of `result`, best first; the lower index on ties."""
        residual = self._y - np.real(result.eval_batch(self._X))
        if not np.all(np.isfinite(residual)):
            residual = self._y - np.mean(self._y)
        residual = residual - residual.mean()
        with np.errstate(invalid="ignore", divide="ignore"):
            scores = np.abs(self._centred.T @ residual) / (
                self._norms * (np.linalg.norm(residual) or 1.0))
        scores = np.nan_to_num(scores, nan=0.0)
        return np.argsort(-scores, kind="stable")[:FEATURES_PER_FORMULA].tolist()


def _refit(candidates: list, X: np.ndarray, y: np.ndarray, settings: GrowSettings,
           pool: ThreadPoolExecutor, threads: int, deadline: float | None) -> list:
    """The candidates refitted on the rows, in chunks spread over the pool's
    threads; stops at the deadline (the chunks started still finish)."""
    fitted: list = []
    step = _CHUNK * threads
    for start in range(0, len(candidates), step):
        if deadline is not None and time.monotonic() >= deadline:
            break
        chunks = [candidates[k:k + _CHUNK]
                  for k in range(start, min(start + step, len(candidates)), _CHUNK)]
        futures = [pool.submit(_qarn_sr_core.refit, chunk, X, y, alpha=settings.alpha,
                               l1_ratio=settings.l1_ratio, full_fit=settings.full_fit)
                   for chunk in chunks]
        for future in futures:
            fitted.extend(future.result())
    return fitted


def grow(front: list, X: np.ndarray, y: np.ndarray, settings: GrowSettings,
         deadline: float | None = None, threads: int = 1) -> list:
    """Formulas grown from `front` on the rows X, y (see the module's text),
    fitted, every one of them; the caller merges them with the front."""
    seen = set()
    parents = []
    for result in front:
        tokens = _qarn_sr_core.result_state(result)[3]
        seen.add(_structure(tokens))
        if result.complexity <= settings.max_complexity and np.isfinite(result.error):
            parents.append((result, tokens))
    grown: list = []
    sums = _residual_sums(front, X, y, settings, deadline)
    for tokens in sums:
        seen.add(_structure(tokens))
    ranking = _FeatureRanking(X, y)
    threads = max(1, threads)
    with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="qarn-grow") as pool:
        if sums:
            fitted = _refit([_result(t) for t in sums], X, y, settings, pool, threads, deadline)
            grown.extend(fitted)
            if any(r.error <= settings.exact_fit_loss for r in fitted):
                return grown
            parents.extend(_best_per_complexity(fitted))
        # Edits that keep the size (a leaf replaced) let rounds go on at one
        # complexity; the cap bounds them.
        for _ in range(settings.max_complexity):
            if not parents:
                break
            if deadline is not None and time.monotonic() >= deadline:
                break
            candidates = []
            for result, tokens in parents:
                features = ranking.best(result)
                for edited in _edits(tokens, features, settings):
                    key = _structure(edited)
                    if len(edited) > settings.max_complexity or key in seen:
                        continue
                    seen.add(key)
                    candidates.append(_result(edited))
            fitted = _refit(candidates, X, y, settings, pool, threads, deadline)
            grown.extend(fitted)
            if any(r.error <= settings.exact_fit_loss for r in fitted):
                break
            parents = _best_per_complexity(fitted)
    return grown


def _residual_sums(front: list, X: np.ndarray, y: np.ndarray, settings: GrowSettings,
                   deadline: float | None) -> list[tuple]:
    """The tokens of f + g for the RESIDUAL_PARENTS simplest formulas f of the
    front that read a feature and leave room for a term, each g of the front
    of a search on y - f (at most RESIDUAL_COMPLEXITY tokens, the remaining
    time shared between the searches)."""
    if "Plus" not in settings.operators:
        return []
    parents = [r for r in sorted(front, key=lambda r: r.complexity)
               if r.complexity + 2 <= settings.max_complexity and r.error > settings.exact_fit_loss
               and any(t[0] == _VARIABLE for t in _qarn_sr_core.result_state(r)[3])]
    parents = parents[:RESIDUAL_PARENTS]
    sums = []
    for number, parent in enumerate(parents):
        time_limit = None
        if deadline is not None:
            # A quarter of what is left goes to these searches, shared evenly;
            # the edits keep the rest.
            time_limit = 0.25 * (deadline - time.monotonic()) / (len(parents) - number)
            if time_limit <= 0.0:
                break
        residual = y - np.real(parent.eval_batch(X))
        if not np.all(np.isfinite(residual)):
            continue
        try:
            terms, _ = _qarn_sr_core.search(
                X, residual, max_complexity=min(RESIDUAL_COMPLEXITY,
                                                settings.max_complexity - parent.complexity - 1),
                beam_width=RESIDUAL_BEAM, alpha=settings.alpha, l1_ratio=settings.l1_ratio,
                time_limit=time_limit, early_stop=True, full_fit=settings.full_fit,
                operators=sorted(settings.operators))
        except (ValueError, qarn_sr.QarnComplexityError, qarn_sr.QarnRuntimeError):
            continue  # a residual the engine cannot search: no term
        head = _qarn_sr_core.result_state(parent)[3]
        sums.extend(head + _qarn_sr_core.result_state(term)[3] + (_apply("Plus", 2),)
                    for term in terms)
    return sums


def _best_per_complexity(results: list) -> list:
    """The KEPT_PER_COMPLEXITY lowest-error results of each complexity, with
    their tokens, in a fixed order."""
    by_complexity: dict[int, list] = {}
    for result in results:
        if np.isfinite(result.error):
            by_complexity.setdefault(result.complexity, []).append(result)
    chosen = []
    for complexity in sorted(by_complexity):
        ranked = sorted(by_complexity[complexity], key=lambda r: (r.error, r.formula))
        chosen.extend((r, _qarn_sr_core.result_state(r)[3])
                      for r in ranked[:KEPT_PER_COMPLEXITY])
    return chosen
