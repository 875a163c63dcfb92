"""How many known formulas QarnRegressor recovers exactly within a time budget:
one search at the given width (schedule="single") against the "growing"
schedule, on a fixed set of noise-free problems of one to three variables.

    python bench/schedule_bench.py                 # 20 s per problem and schedule
    python bench/schedule_bench.py --budget 60 --only 3 7

A problem counts as recovered when the chosen formula (best_) predicts 200
fresh points of the same range with a root-mean-square error at most 1e-6
times the targets' standard deviation. Prints one line per problem and the
totals; takes up to 2 × budget × problems seconds.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from qarn_sr_sklearn import QarnRegressor

# (name, number of variables, formula) with its complexity in tokens.
PROBLEMS = [
    ("x0^3 - x0 (4)", 1, lambda x: x[0] ** 3 - x[0]),
    ("3.1 sqrt(x0) (4)", 1, lambda x: 3.1 * np.sqrt(x[0])),
    ("log(x0 + x1) (4)", 2, lambda x: np.log(x[0] + x[1])),
    ("arctan(x1 / x0) (4)", 2, lambda x: np.arctan(x[1] / x[0])),
    ("1 / (1 + x0^2) (5)", 1, lambda x: 1.0 / (1.0 + x[0] ** 2)),
    ("sin(x0) cos(x1) (5)", 2, lambda x: np.sin(x[0]) * np.cos(x[1])),
    ("x0 exp(-x1) (5)", 2, lambda x: x[0] * np.exp(-x[1])),
    ("exp(-0.5 x0^2) (5)", 1, lambda x: np.exp(-0.5 * x[0] ** 2)),
    ("sqrt(x0^2 + x1^2) (6)", 2, lambda x: np.sqrt(x[0] ** 2 + x[1] ** 2)),
    ("exp(-x0) cos(x1) (6)", 2, lambda x: np.exp(-x[0]) * np.cos(x[1])),
    ("x0 x1 + sin(x2) (6)", 3, lambda x: x[0] * x[1] + np.sin(x[2])),
    ("x0^2 x1 / x2 (6)", 3, lambda x: x[0] ** 2 * x[1] / x[2]),
    ("2.5 x0 sin(x0) + 0.3 (7)", 1, lambda x: 2.5 * x[0] * np.sin(x[0]) + 0.3),
    ("(x0 - x1) / (x0 + x1) (7)", 2, lambda x: (x[0] - x[1]) / (x[0] + x[1])),
    ("x0 x1 / (1 + x2^2) (8)", 3, lambda x: x[0] * x[1] / (1.0 + x[2] ** 2)),
    ("1.5 x0 + 0.8 x1^2 (8)", 2, lambda x: 1.5 * x[0] + 0.8 * x[1] ** 2),
]


def sample(variables: int, formula, rows: int, seed: int):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(rows, variables))
    return X, formula(X.T)


def recovered(model, X, y) -> bool:
    error = np.sqrt(np.mean((model.predict(X) - y) ** 2))
    return bool(error <= 1e-6 * np.std(y))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=20.0, help="seconds per problem")
    parser.add_argument("--only", type=int, nargs="*", help="problem numbers (from 1)")
    args = parser.parse_args()
    chosen = args.only or range(1, len(PROBLEMS) + 1)

    totals = {"single": [0, 0.0], "growing": [0, 0.0]}
    print(f"budget {args.budget:g}s per problem; recovered (seconds used, formula found)")
    for number in chosen:
        name, variables, formula = PROBLEMS[number - 1]
        X, y = sample(variables, formula, 100, seed=number)
        X_test, y_test = sample(variables, formula, 200, seed=1000 + number)
        cells = []
        for schedule in ("single", "growing"):
            started = time.monotonic()
            model = QarnRegressor(time_limit=args.budget, schedule=schedule, verbose=False)
            model.fit(X, y)
            seconds = time.monotonic() - started
            hit = recovered(model, X_test, y_test)
            totals[schedule][0] += hit
            totals[schedule][1] += seconds
            cells.append(f"{schedule}: {'yes' if hit else 'no '} {seconds:5.1f}s {model.to_text()}")
        print(f"{number:2d} {name:28s} | " + " | ".join(cells), flush=True)
    for schedule, (hits, seconds) in totals.items():
        print(f"{schedule}: {hits}/{len(chosen)} recovered, {seconds:.0f}s in all")


if __name__ == "__main__":
    main()
