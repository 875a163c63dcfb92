"""Growing the front's formulas past the levels a search completed.

On wide or long data a breadth-first search spends its budget on the first
few levels: with ten features the fifth level already forms 150,000
children. The formulas it keeps there are often the start of the answer (a
sum missing a term, a product missing a factor). Growing takes them further
by small local edits, each refitted with the engine's own fit:

- a variable leaf v becomes x, v + x, v - x, v * x, v / x or C * v, or an
  operator of one operand applied to v;
- a parameter leaf C becomes C * x;
- every operator's subtree s, the whole formula included, becomes s + x,
  s - x, s * x, s / x, s + C * x, C * s or s + C (C starting where it
  changes nothing, so the fit starts from the formula's own error), or
  s + u(x) or s * u(x) for an operator u of one operand and one of the best
  few features x (C + sin(x^2) grows into C + sin(x^2) * cos(x));

where x is one of the features that correlate most with what the formula
leaves unexplained. Before the edits, the simplest formulas f of the front
that read a feature get a second term: a short search on what f leaves
unexplained (y - f) finds terms g, and f + g joins the candidates, so that a
sum of two pieces the search would need many more levels to join (sin(x) +
sin(x + x^2)) is found from its first piece. Targets that are all positive
and span two decades or more also get a short search on log y, whose
formulas g join as exp(g) (all negative: log(-y) and -exp(g)):
A exp(-E / T) is log A - E / T there, a sum whose constants a fit on y
alone rarely reaches from its start at 1. Each round edits the best
formulas of the previous one (by error, a few per complexity), never past
``max_complexity`` tokens and for at most ``max_complexity`` rounds, and the
results join the front when they beat its entries; it stops once a formula
fits exactly. With a deadline, time left after these rounds goes to passes
that edit more of each round's formulas (three times as many each pass):
a right structure often starts from a formula that fits worse than its
neighbours. Without a deadline it is deterministic: the same front and data
give the same formulas.
"""

from __future__ import annotations

import itertools
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

import _qarn_sr_core
import qarn_sr
from qarn_sr_sklearn._tokens import APPLY as _APPLY
from qarn_sr_sklearn._tokens import PARAMETER as _PARAMETER
from qarn_sr_sklearn._tokens import STATE_VERSION, formula_text, operator_arities
from qarn_sr_sklearn._tokens import VARIABLE as _VARIABLE

# Features tried per formula and edit: those most correlated with its residual.
FEATURES_PER_FORMULA = 10
# Features an operator of one operand is applied to in a subtree edit.
WRAPPED_FEATURES = 3
# Formulas of each complexity a round edits further; with a deadline, each
# further pass keeps WIDENING times as many, up to WIDEST.
KEPT_PER_COMPLEXITY = 6
WIDENING = 3
WIDEST = 6 * WIDENING**4
# Candidates refitted per engine call: short calls, so that a deadline or
# Ctrl-C is seen within a fraction of a second.
_CHUNK = 256

_LEAF_EDITS = ("Plus", "Subtract", "Times", "Divide")

# The residual searches: how many of the simplest formulas get one, the size
# of the terms they look for, and their beam (also that of the log search).
RESIDUAL_PARENTS = 3
RESIDUAL_COMPLEXITY = 5
RESIDUAL_BEAM = 300

# The search on log |y|: for targets of one sign spanning at least LOG_SPAN
# (largest magnitude over smallest), formulas g of at most LOG_COMPLEXITY
# tokens, wrapped as exp(g) or -exp(g).
LOG_SPAN = 100.0
LOG_COMPLEXITY = 5
LOG_SHARE = 0.15  # of the time left
# The round that holds formulas fitted on the side, never edited further.
SIDE_ROUND = -1


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

    @classmethod
    def of(cls, operators, max_complexity: int, alpha: float, l1_ratio: float, full_fit: bool,
           exact_fit_loss: float) -> GrowSettings:
        """The settings for the allowed operator names (None: all of the
        engine's), their unary ones taken from the engine's registry."""
        arities = operator_arities()
        allowed = frozenset(arities if operators is None else operators)
        unary = tuple(name for name, arity in arities.items() if arity == 1 and name in allowed)
        return cls(allowed, unary, max_complexity, alpha, l1_ratio, full_fit, exact_fit_loss)


def _structure(tokens: tuple) -> int:
    """A hash of a formula's tokens without its parameter values: equal for
    formulas that differ only in their fitted constants. Growing keeps one
    per formula it tried, hundreds of thousands of them, so it keeps the
    hash (two structures sharing one would skip an edit, never mislead it)."""
    return hash(tuple((kind, small, name) for kind, small, name, _re, _im in tokens))


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


def _subtree_starts(tokens: tuple) -> list[int]:
    """For each token, the index of the first token of the subtree it is the
    root of (postfix order: a subtree is a contiguous run ending at its
    root)."""
    starts: list[int] = []
    open_roots: list[int] = []  # starts of the subtrees not yet taken as operands
    for i, token in enumerate(tokens):
        arity = token[1] if token[0] == _APPLY else 0
        start = open_roots[-arity] if arity else i
        del open_roots[len(open_roots) - arity:]
        open_roots.append(start)
        starts.append(start)
    return starts


def _edits(tokens: tuple, features: list[int], settings: GrowSettings) -> list[tuple]:
    """The formulas one edit away from `tokens` (see the module's text)."""
    allowed = settings.operators
    out = []
    starts = _subtree_starts(tokens)
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
        elif token[0] == _APPLY:
            head, subtree = tokens[:starts[i]], tokens[starts[i]:i + 1]
            out.extend(head + edited + after
                       for edited in _subtree_edits(subtree, features, settings))
    if tokens[-1][0] != _APPLY:  # a lone leaf is a subtree too
        out.extend(_subtree_edits(tokens, features, settings))
    return out


def _subtree_edits(s: tuple, features: list[int], settings: GrowSettings) -> list[tuple]:
    """What an operator's subtree s becomes: s combined with a feature x (s + x,
    s - x, s * x, s / x, s + C * x), with an operator of one operand applied to
    one of the best few features (s + u(x), s * u(x)), or given a scale or an
    offset (C * s, s + C; C starting where it changes nothing, so the fit
    starts from the formula's own error)."""
    allowed = settings.operators
    out = []
    for op in _LEAF_EDITS:
        if op in allowed:
            out.extend(s + (_variable(j), _apply(op, 2)) for j in features)
    if "Times" in allowed:
        out.append((_parameter(1.0),) + s + (_apply("Times", 2),))
    if "Plus" in allowed:
        out.append(s + (_parameter(0.0), _apply("Plus", 2)))
        if "Times" in allowed:
            out.extend(s + (_parameter(0.0), _variable(j), _apply("Times", 2), _apply("Plus", 2))
                       for j in features)
    for op in ("Plus", "Times"):
        if op in allowed:
            out.extend(s + (_variable(j), _apply(u, 1), _apply(op, 2))
                       for u in settings.unary for j in features[:WRAPPED_FEATURES])
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


def _refit(candidates, X: np.ndarray, y: np.ndarray, settings: GrowSettings,
           pool: ThreadPoolExecutor, threads: int, deadline: float | None) -> list:
    """The candidates (any iterable, drawn as needed) refitted on the rows,
    in chunks spread over the pool's threads; stops at the deadline (the
    chunks started still finish)."""
    fitted: list = []
    candidates = iter(candidates)
    while deadline is None or time.monotonic() < deadline:
        chunks = [chunk for chunk in (list(itertools.islice(candidates, _CHUNK))
                                      for _ in range(threads)) if chunk]
        if not chunks:
            break
        futures = [pool.submit(_qarn_sr_core.refit, chunk, X, y, alpha=settings.alpha,
                               l1_ratio=settings.l1_ratio, full_fit=settings.full_fit)
                   for chunk in chunks]
        for future in futures:
            fitted.extend(future.result())
    return fitted


@dataclass
class Grown:
    """What growing found: the lowest-error formula of each complexity among
    all it fitted (the caller merges them with the front), and how many it
    fitted."""

    best: list
    fitted: int


class _Rounds:
    """The formulas fitted so far, kept per round and complexity, best first:
    the best WIDEST of each, which is all the parents of a round can need
    (and the best of a complexity over all rounds leads one of them)."""

    def __init__(self) -> None:
        self._by_round: dict[int, dict[int, list]] = {}
        self.fitted = 0

    def add(self, round_number: int, results: list) -> None:
        self.fitted += len(results)
        by_complexity = self._by_round.setdefault(round_number, {})
        touched = set()
        for result in results:
            if np.isfinite(result.error):
                by_complexity.setdefault(result.complexity, []).append(result)
                touched.add(result.complexity)
        for complexity in touched:
            ranked = by_complexity[complexity]
            ranked.sort(key=_rank)
            del ranked[WIDEST:]

    def parents(self, round_number: int, kept: int) -> list:
        """The `kept` lowest-error results of each complexity of a round, with
        their tokens, in a fixed order."""
        by_complexity = self._by_round.get(round_number, {})
        return [(r, _qarn_sr_core.result_state(r)[3])
                for complexity in sorted(by_complexity) for r in by_complexity[complexity][:kept]]

    def best(self) -> list:
        """The lowest-error result of each complexity over all rounds."""
        leaders: dict[int, object] = {}
        for by_complexity in self._by_round.values():
            for complexity, ranked in by_complexity.items():
                if complexity not in leaders or _rank(ranked[0]) < _rank(leaders[complexity]):
                    leaders[complexity] = ranked[0]
        return [leaders[c] for c in sorted(leaders)]


def _rank(result) -> tuple:
    """Lower error first; the formula text breaks ties, for a fixed order."""
    return (result.error, result.formula)


def grow(front: list, X: np.ndarray, y: np.ndarray, settings: GrowSettings,
         deadline: float | None = None, threads: int = 1) -> Grown:
    """Formulas grown from `front` on the rows X, y (see the module's text).
    Without a deadline one pass keeps KEPT_PER_COMPLEXITY formulas of each
    complexity per round; with one, further passes keep WIDENING times as
    many as the last, up to WIDEST, while time is left."""
    seen = set()
    start = []
    for result in front:
        tokens = _qarn_sr_core.result_state(result)[3]
        seen.add(_structure(tokens))
        if result.complexity <= settings.max_complexity and np.isfinite(result.error):
            start.append((result, tokens))
    rounds = _Rounds()
    expanded: set = set()  # structures of the parents edited so far
    logs = _log_fits(X, y, settings, deadline)
    sums = _residual_sums(front, X, y, settings, deadline)
    for tokens in logs + sums:
        seen.add(_structure(tokens))
    ranking = _FeatureRanking(X, y)
    threads = max(1, threads)
    with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="qarn-grow") as pool:
        def refit(candidates) -> list:
            return _refit(candidates, X, y, settings, pool, threads, deadline)

        def exact(results: list) -> bool:
            return any(r.error <= settings.exact_fit_loss for r in results)

        # The log fits are candidates of their own, not parents: where the
        # log scale does not hold the answer, editing them would take the
        # time of the front's own edits. The sums are round 0's parents.
        for round_number, found in ((SIDE_ROUND, logs), (0, sums)):
            if found:
                fitted = refit([_result(t) for t in found])
                rounds.add(round_number, fitted)
                if exact(fitted):
                    return Grown(rounds.best(), rounds.fitted)
        kept = KEPT_PER_COMPLEXITY
        while True:
            parents = start + rounds.parents(0, kept)
            # Edits that keep the size (a leaf replaced) let rounds go on at
            # one complexity; the cap bounds them.
            for round_number in range(1, settings.max_complexity + 1):
                if not parents or (deadline is not None and time.monotonic() >= deadline):
                    break
                fitted = refit(_new_edits(parents, ranking, settings, seen, expanded))
                rounds.add(round_number, fitted)
                if exact(fitted):
                    return Grown(rounds.best(), rounds.fitted)
                parents = rounds.parents(round_number, kept)
            kept *= WIDENING
            if deadline is None or time.monotonic() >= deadline or kept > WIDEST:
                return Grown(rounds.best(), rounds.fitted)


def _new_edits(parents: list, ranking: _FeatureRanking, settings: GrowSettings, seen: set,
               expanded: set):
    """The edits of each parent in turn (see _edits) not tried before and
    within max_complexity, as results to refit; made as they are drawn, so
    that a deadline also cuts the making short. A parent edited in an
    earlier pass (its structure in `expanded`) has nothing new to give."""
    for result, tokens in parents:
        parent = _structure(tokens)
        if parent in expanded:
            continue
        expanded.add(parent)
        for edited in _edits(tokens, ranking.best(result), settings):
            key = _structure(edited)
            if len(edited) <= settings.max_complexity and key not in seen:
                seen.add(key)
                yield _result(edited)


def _log_fits(X: np.ndarray, y: np.ndarray, settings: GrowSettings,
              deadline: float | None) -> list[tuple]:
    """The tokens of exp(g) for each g of the front of a search on log y,
    when every target is positive and they span LOG_SPAN or more (of -exp(g)
    and log(-y) when every target is negative): a law such as A exp(-E / T),
    whose constants a fit on y alone rarely finds from its start at 1, is a
    short sum on the log scale (log A - E / T), and exp(g) is refitted on y
    from g's constants. LOG_SHARE of the time left goes to this search."""
    negative = bool(np.all(y < 0.0))
    magnitude = -y if negative else y
    if not (np.all(np.isfinite(y)) and np.all(magnitude > 0.0)
            and np.max(magnitude) >= LOG_SPAN * np.min(magnitude)):
        return []
    outer = ("Exp", "Neg") if negative else ("Exp",)
    if not set(outer) <= settings.operators or settings.max_complexity <= len(outer):
        return []
    time_limit = None
    if deadline is not None:
        time_limit = LOG_SHARE * (deadline - time.monotonic())
        if time_limit <= 0.0:
            return []
    terms = _short_search(X, np.log(magnitude),
                          min(LOG_COMPLEXITY, settings.max_complexity - len(outer)), settings,
                          time_limit)
    wrap = tuple(_apply(name, 1) for name in outer)
    return [_qarn_sr_core.result_state(term)[3] + wrap for term in terms]


def _short_search(X: np.ndarray, target: np.ndarray, max_complexity: int,
                  settings: GrowSettings, time_limit: float | None) -> list:
    """The front of a small search (beam RESIDUAL_BEAM, stopping at an exact
    fit) on `target`; empty where the engine cannot search it."""
    try:
        front, _ = _qarn_sr_core.search(
            X, target, max_complexity=max_complexity, beam_width=RESIDUAL_BEAM,
            alpha=settings.alpha, l1_ratio=settings.l1_ratio, time_limit=time_limit,
            early_stop=True, full_fit=settings.full_fit, operators=sorted(settings.operators))
    except (ValueError, qarn_sr.QarnComplexityError, qarn_sr.QarnRuntimeError):
        return []
    return front


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
        terms = _short_search(
            X, residual, min(RESIDUAL_COMPLEXITY, settings.max_complexity - parent.complexity - 1),
            settings, time_limit)
        head = _qarn_sr_core.result_state(parent)[3]
        sums.extend(head + _qarn_sr_core.result_state(term)[3] + (_apply("Plus", 2),)
                    for term in terms)
    return sums
