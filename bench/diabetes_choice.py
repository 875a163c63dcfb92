"""Diabetes: can any rule of choice reach LinearRegression's held-out R²?

    python bench/diabetes_choice.py --budget 60 --max-complexity 10
    python bench/diabetes_choice.py --budget 60 --max-complexity 15 --per-size 30

Fits QarnRegressor (defaults otherwise) on scikit-learn's diabetes data with
25 % held out (train_test_split, random_state=0, as discovery_bench.py), and
keeps every formula that growing refits on the way. For each size it prints
the held-out R² of three choices among them:

- the formula that fits the training rows best (what a front holds);
- the formula with the lowest five-fold cross-validated error on the
  training rows, among the `--per-size` best on the training rows (constants
  refitted on each fold's four fifths);
- the formula best on the held-out rows themselves (hindsight: no rule that
  sees only the training rows can do better).

Needs scikit-learn. Takes the budget plus a few seconds per fold.
"""

from __future__ import annotations

import argparse

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.model_selection import KFold, train_test_split

import _qarn_sr_core
from qarn_sr_sklearn import QarnRegressor, _grow


def fitted_by_growing(X, y, budget: float, max_complexity: int):
    """The estimator fitted on (X, y) and every formula its growing refitted
    (in the search's units), by wrapping growing's refit step."""
    collected: list = []
    refit = _grow._refit

    def keeping(*args, **kwargs):
        results = refit(*args, **kwargs)
        collected.extend(results)
        return results

    _grow._refit = keeping
    try:
        model = QarnRegressor(time_limit=budget, max_complexity=max_complexity,
                              random_state=0, verbose=False).fit(X, y)
    finally:
        _grow._refit = refit
    return model, collected


def cross_validated_errors(candidates: list, X, y, folds: int = 5) -> np.ndarray:
    """Mean squared error on each fold's held-out fifth, constants refitted on
    the rest; +inf where a prediction is not finite."""
    errors = np.zeros(len(candidates))
    for train, test in KFold(folds, shuffle=True, random_state=0).split(X):
        refitted = _qarn_sr_core.refit(candidates, np.ascontiguousarray(X[train]),
                                       np.ascontiguousarray(y[train]), full_fit=True)
        for i, result in enumerate(refitted):
            prediction = np.asarray(result.eval_batch(np.ascontiguousarray(X[test])), dtype=float)
            errors[i] += (np.mean((y[test] - prediction) ** 2) if np.all(np.isfinite(prediction))
                          else np.inf)
    return errors / folds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=60.0)
    parser.add_argument("--max-complexity", type=int, default=10)
    parser.add_argument("--per-size", type=int, default=30,
                        help="formulas of each size (best on the training rows) compared by "
                             "cross-validation")
    args = parser.parse_args()

    X, y = load_diabetes(return_X_y=True)
    X, X_test, y, y_test = train_test_split(X, y, random_state=0, test_size=0.25)
    model, collected = fitted_by_growing(X, y, args.budget, args.max_complexity)
    # Growing works in the search's units (exact power-of-two rescaling).
    x_scale, y_scale = np.asarray(model.x_scale_), model.y_scale_
    X_search, y_search, X_held = X * x_scale, y / y_scale, X_test * x_scale

    def held_out_r2(result) -> float:
        prediction = np.asarray(result.eval_batch(X_held), dtype=float) * y_scale
        return 1.0 - np.sum((y_test - prediction) ** 2) / np.sum((y_test - y_test.mean()) ** 2)

    by_size: dict[int, dict[str, object]] = {}
    for result in collected:
        if np.isfinite(result.error):
            by_size.setdefault(result.complexity, {}).setdefault(result.formula, result)
    print(f"diabetes, {args.budget:g} s, max_complexity {args.max_complexity}: the estimator "
          f"chose {model.to_text()} (held-out R² {model.score(X_test, y_test):.3f}); growing "
          f"refitted {len(collected):,} formulas")
    print("size | formulas | best on training rows | cross-validated choice | hindsight")
    chosen = []  # (cross-validated error, formula) of each size's choice
    for size in sorted(by_size):
        results = sorted(by_size[size].values(), key=lambda r: r.error)
        compared = results[:args.per_size]
        cv = cross_validated_errors(compared, X_search, y_search)
        best = int(np.argmin(cv))
        chosen.append((cv[best], compared[best]))
        hindsight = max(held_out_r2(r) for r in results)
        print(f"{size:4d} | {len(results):8,d} | {held_out_r2(results[0]):21.3f} | "
              f"{held_out_r2(compared[best]):22.3f} | {hindsight:9.3f}")
    _, overall = min(chosen, key=lambda pair: pair[0])
    print(f"cross-validated choice over all sizes: {overall.complexity} tokens, held-out R² "
          f"{held_out_r2(overall):.3f}, {overall.formula}")


if __name__ == "__main__":
    main()
