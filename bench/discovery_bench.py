"""Discovery benchmark: how often QarnRegressor recovers known formulas within a
time budget, against pyoperon (a genetic-programming peer, run as a black box
with max_time equal to the budget) and LinearRegression as the floor.

    python bench/discovery_bench.py                          # all problems, 60 s
    python bench/discovery_bench.py --budget 20 --only 1 5 diabetes
    python bench/discovery_bench.py --variants default growing --peers none
    python bench/discovery_bench.py --list

The problems are of our own making: physics formulas with their constants
(some in SI units, far from 1), polynomial and trigonometric benchmark
formulas, 1 to 5 variables, noise-free and with 1 % Gaussian noise, 100 to
5,000 rows, two targets at the scales 1e-6 and 1e6; plus scikit-learn's
bundled diabetes data with 25 % held out (train_test_split, random_state=0).

For each problem and system it prints whether the formula was recovered, the
held-out R², the formula size (tokens; for pyoperon its node count, for
LinearRegression the 4p + 1 tokens of a sum of p scaled features and an
intercept), the seconds used and the formula; then one summary line per
system. A formula counts as recovered when it predicts 1,000 fresh points of
the training range with a root-mean-square error against the noise-free
formula of at most 1e-6 (noise-free data) or 0.3 × the noise level (noisy
data) times the targets' standard deviation: the right structure with
well-fitted constants, whatever its written form.

Needs scikit-learn, and pyoperon==0.6.2 for the peer (skipped when missing).
Takes up to problems × (variants + 1) × budget seconds.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import platform
import sys
import time
from dataclasses import dataclass, field

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.linear_model import LinearRegression
from sklearn.model_selection import train_test_split

from qarn_sr_sklearn import QarnRegressor, _scaling

# Estimator variants by name: QarnRegressor keyword arguments. "before" is the
# estimator without the rescaling, the row sample and the full fit (the plain
# search); "unscaled" is a flag handled by run_qarn.
VARIANTS: dict[str, dict] = {
    "default": {},
    "before": {"max_samples": None, "full_fit": False, "grow": False, "unscaled": True},
    "no_grow": {"grow": False},
    "diagonal_fit": {"full_fit": False},
    "affine": {"affine": True},
    "diagonal_affine": {"full_fit": False, "affine": True},
    "growing": {"schedule": "growing"},
    # Per-level beam widths (levels 2, 3, ...; the last for every deeper
    # level): levels 2-4 hold at most a few thousand candidates (about 2,300
    # to 13,000 at level 4 for 1 to 5 variables) and are kept whole or
    # nearly so; levels 5 and up grow ten- to a hundredfold per level and are
    # narrowed, as each level's width multiplies the size of those built on it.
    "tapered": {"beam_width": [4000, 4000, 4000, 2000, 1000, 500]},
    # The growing schedule from a quarter of those widths: its second full-depth
    # search is "tapered".
    "tapered_growing": {"schedule": "growing", "beam_width": [1000, 1000, 1000, 500, 250, 125]},
    "all_rows": {"max_samples": None},
    "samples_500": {"max_samples": 500},
    "samples_2000": {"max_samples": 2000},
}

G, K_E, R_GAS, SIGMA_SB, G_EARTH = 6.674e-11, 8.988e9, 8.314, 5.670e-8, 9.81


@dataclass
class Problem:
    name: str
    formula: object  # f(columns) -> target
    ranges: list[tuple[float, float]]  # one (low, high) per variable
    rows: int = 100
    noise: float = 0.0  # Gaussian noise, as a fraction of the targets' standard deviation
    kind: str = "benchmark"
    seed: int = 0
    notes: str = field(default="")


def _problems() -> list[Problem]:
    u = (0.5, 3.0)
    p = [
        # Physics with constants; some in SI units.
        Problem("gravity SI: G m1 m2 / r^2", lambda x: G * x[0] * x[1] / x[2] ** 2,
                [(1e20, 1e24), (1e20, 1e24), (1e6, 1e8)], rows=500, kind="physics"),
        Problem("Coulomb SI: k q1 q2 / r^2", lambda x: K_E * x[0] * x[1] / x[2] ** 2,
                [(1e-9, 1e-6), (1e-9, 1e-6), (0.01, 1.0)], rows=300, kind="physics"),
        Problem("ideal gas: n R T / V", lambda x: R_GAS * x[0] * x[1] / x[2],
                [(1, 5), (250, 400), (0.01, 0.1)], rows=200, kind="physics"),
        Problem("kinetic energy: m v^2 / 2", lambda x: 0.5 * x[0] * x[1] ** 2,
                [(1, 10), (1, 30)], kind="physics"),
        Problem("pendulum: 2 pi sqrt(L / g)", lambda x: 2 * np.pi * np.sqrt(x[0] / G_EARTH),
                [(0.1, 2.0)], kind="physics"),
        Problem("projectile range: v^2 sin(2 th) / g",
                lambda x: x[0] ** 2 * np.sin(2 * x[1]) / G_EARTH, [(5, 30), (0.1, 1.4)],
                rows=200, kind="physics"),
        Problem("Gaussian density, 5,000 rows", lambda x: np.exp(-x[0] ** 2 / 2) / np.sqrt(2 * np.pi),
                [(1.0, 3.0)], rows=5000, kind="physics"),
        Problem("Gaussian density, 500 rows", lambda x: np.exp(-x[0] ** 2 / 2) / np.sqrt(2 * np.pi),
                [(1.0, 3.0)], rows=500, kind="physics"),
        Problem("damped oscillation: exp(-t/2) cos(3 t)", lambda x: np.exp(-0.5 * x[0]) * np.cos(3 * x[0]),
                [(0.0, 4.0)], rows=200, kind="physics"),
        Problem("Lorentz factor: 1 / sqrt(1 - b^2)", lambda x: 1 / np.sqrt(1 - x[0] ** 2),
                [(0.0, 0.9)], kind="physics"),
        Problem("Stefan-Boltzmann: sigma A T^4", lambda x: SIGMA_SB * x[0] * x[1] ** 4,
                [(0.5, 2.0), (200, 600)], rows=200, kind="physics"),
        Problem("decay: 100 exp(-0.3 t)", lambda x: 100 * np.exp(-0.3 * x[0]), [(0, 10)],
                kind="physics"),
        Problem("Arrhenius: 1e6 exp(-5000 / T)", lambda x: 1e6 * np.exp(-5000 / x[0]),
                [(300, 600)], kind="physics"),
        Problem("Kepler: sqrt(a^3)", lambda x: np.sqrt(x[0] ** 3), [(0.3, 30)], kind="physics"),
        Problem("Joule heating: V^2 / R", lambda x: x[0] ** 2 / x[1], [(1, 240), (10, 1000)],
                kind="physics"),
        Problem("line: 3 x + 4", lambda x: 3 * x[0] + 4, [u], rows=60),
        Problem("growth: 1.7 exp(0.8 x)", lambda x: 1.7 * np.exp(0.8 * x[0]), [u]),
        # Polynomial and trigonometric benchmark formulas.
        Problem("x^3 + x^2 + x", lambda x: x[0] ** 3 + x[0] ** 2 + x[0], [(-1, 1)]),
        Problem("x^4 + x^3 + x^2 + x", lambda x: x[0] ** 4 + x[0] ** 3 + x[0] ** 2 + x[0], [(-1, 1)]),
        Problem("sin(x^2) cos(x) - 1", lambda x: np.sin(x[0] ** 2) * np.cos(x[0]) - 1, [(-1, 1)]),
        Problem("sin(x) + sin(x + x^2)", lambda x: np.sin(x[0]) + np.sin(x[0] + x[0] ** 2), [(-1, 1)]),
        Problem("log(x + 1) + log(x^2 + 1)", lambda x: np.log(x[0] + 1) + np.log(x[0] ** 2 + 1),
                [(0, 2)]),
        Problem("sin(x) + sin(y^2)", lambda x: np.sin(x[0]) + np.sin(x[1] ** 2), [(-1, 1), (-1, 1)]),
        Problem("2 sin(x) cos(y)", lambda x: 2 * np.sin(x[0]) * np.cos(x[1]), [(-1, 1), (-1, 1)]),
        Problem("x^4 - x^3 + y^2 / 2 - y", lambda x: x[0] ** 4 - x[0] ** 3 + x[1] ** 2 / 2 - x[1],
                [(-1, 1), (-1, 1)]),
        Problem("0.3 x sin(2 pi x)", lambda x: 0.3 * x[0] * np.sin(2 * np.pi * x[0]), [(-1, 1)]),
        Problem("8 / (2 + x^2 + y^2)", lambda x: 8 / (2 + x[0] ** 2 + x[1] ** 2), [(-3, 3), (-3, 3)]),
        Problem("x0 x1 + sin(x2), 5,000 rows", lambda x: x[0] * x[1] + np.sin(x[2]), [u, u, u],
                rows=5000),
        Problem("x0 x1 + sin(x2), 500 rows", lambda x: x[0] * x[1] + np.sin(x[2]), [u, u, u],
                rows=500),
        Problem("x0 x1 / (x2 x3)", lambda x: x[0] * x[1] / (x[2] * x[3]), [u, u, u, u], rows=300),
        Problem("x0 x1 + x2 - x3 x4", lambda x: x[0] * x[1] + x[2] - x[3] * x[4], [u] * 5, rows=500),
        # Targets far from 1.
        Problem("1e-6 * 2.5 x^2", lambda x: 1e-6 * 2.5 * x[0] ** 2, [u], kind="scale"),
        Problem("1e6 * x0 exp(-x1)", lambda x: 1e6 * x[0] * np.exp(-x[1]), [u, u], kind="scale"),
        Problem("1e-6 * sin(x0) cos(x1)", lambda x: 1e-6 * np.sin(x[0]) * np.cos(x[1]), [u, u],
                kind="scale"),
        Problem("1e6 / (1 + x^2)", lambda x: 1e6 / (1 + x[0] ** 2), [u], kind="scale"),
    ]
    # The same formulas with 1 % noise.
    noisy = [("kinetic energy", 1), ("ideal gas", 2), ("decay", 3), ("Gaussian density, 500", 4),
             ("x^3 + x^2 + x", 5), ("2 sin(x) cos(y)", 6), ("8 / (2", 7), ("x0 x1 + sin(x2), 500", 8),
             ("1e6 * x0 exp", 9)]
    for prefix, seed in noisy:
        base = next(q for q in p if q.name.startswith(prefix))
        p.append(Problem(base.name + " + 1 % noise", base.formula, base.ranges, base.rows, 0.01,
                         base.kind, 100 + seed))
    for number, problem in enumerate(p, 1):
        if problem.seed == 0:
            problem.seed = number
    return p


PROBLEMS = _problems()


def sample(problem: Problem, rows: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    columns = [rng.uniform(low, high, rows) for low, high in problem.ranges]
    return np.column_stack(columns), np.asarray(problem.formula(columns), dtype=np.float64)


def r2(y: np.ndarray, prediction: np.ndarray) -> float:
    prediction = np.asarray(prediction, dtype=np.float64)
    if not np.all(np.isfinite(prediction)):
        return -math.inf
    return float(1.0 - np.sum((y - prediction) ** 2) / np.sum((y - np.mean(y)) ** 2))


@dataclass
class Outcome:
    recovered: bool | None
    r2: float
    size: int
    seconds: float
    formula: str


def run_qarn(options: dict, budget: float, X, y, seed: int):
    options = dict(options)
    unscaled = options.pop("unscaled", False)
    saved = (_scaling._LOW, _scaling._HIGH)
    if unscaled:  # every scale counts as O(1): no rescaling
        _scaling._LOW, _scaling._HIGH = 0.0, math.inf
    try:
        model = QarnRegressor(time_limit=budget, verbose=False, random_state=seed, **options)
        with _quiet_warnings():
            model.fit(X, y)
    finally:
        _scaling._LOW, _scaling._HIGH = saved
    return model, model.best_.complexity, model.to_text()


def run_operon(budget: float, X, y, seed: int):
    from pyoperon.sklearn import SymbolicRegressor

    model = SymbolicRegressor(max_time=max(1, int(round(budget))), n_threads=os.cpu_count() or 1,
                              random_state=seed)
    model.fit(X, y)
    return model, int(model.model_.Length), model.get_model_string(model.model_, 4)


def run_linear(budget: float, X, y, seed: int):
    model = LinearRegression().fit(X, y)
    terms = " + ".join(f"{c:.4g} x{i}" for i, c in enumerate(model.coef_))
    return model, 4 * X.shape[1] + 1, f"{model.intercept_:.4g} + {terms}"


@contextlib.contextmanager
def _quiet_warnings():
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def evaluate(system, budget, problem: Problem | None, data, seed) -> Outcome:
    X, y, X_test, y_test, truth = data
    started = time.monotonic()
    model, size, text = system(budget, X, y, seed)
    seconds = time.monotonic() - started
    prediction = np.asarray(model.predict(X_test), dtype=np.float64)
    recovered = None
    if problem is not None:
        scale = np.std(truth)
        limit = (0.3 * problem.noise if problem.noise else 1e-6) * scale
        error = np.sqrt(np.mean((prediction - truth) ** 2)) if np.all(np.isfinite(prediction)) else math.inf
        recovered = bool(error <= limit)
    return Outcome(recovered, r2(y_test, prediction), size, seconds, text)


def problem_data(problem: Problem):
    X, clean = sample(problem, problem.rows, problem.seed)
    X_test, truth = sample(problem, 1000, 10_000 + problem.seed)
    rng = np.random.default_rng(20_000 + problem.seed)
    sd = np.std(clean)
    y = clean + problem.noise * sd * rng.normal(size=clean.size)
    y_test = truth + problem.noise * sd * rng.normal(size=truth.size)
    return X, y, X_test, y_test, truth


def diabetes_data():
    X, y = load_diabetes(return_X_y=True)
    X, X_test, y, y_test = train_test_split(X, y, random_state=0, test_size=0.25)
    return X, y, X_test, y_test, y_test


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=60.0, help="seconds per problem and system")
    parser.add_argument("--only", nargs="*", help="problem numbers (from 1) and/or 'diabetes'")
    parser.add_argument("--variants", nargs="*", default=["default"], choices=sorted(VARIANTS),
                        help="QarnRegressor variants to run")
    parser.add_argument("--peers", nargs="*", default=["pyoperon", "linear"],
                        choices=["pyoperon", "linear", "none"])
    parser.add_argument("--list", action="store_true", help="list the problems and exit")
    args = parser.parse_args()

    if args.list:
        for number, problem in enumerate(PROBLEMS, 1):
            print(f"{number:2d} {problem.name:45s} {len(problem.ranges)} var, {problem.rows} rows")
        print("diabetes: sklearn's diabetes data, 25 % held out")
        return
    chosen: list = []
    for item in args.only or [str(i) for i in range(1, len(PROBLEMS) + 1)] + ["diabetes"]:
        chosen.append("diabetes" if item == "diabetes" else int(item))

    systems = {f"qarn:{name}": (lambda o: lambda b, X, y, s: run_qarn(o, b, X, y, s))(VARIANTS[name])
               for name in args.variants}
    if "pyoperon" in args.peers:
        try:
            import pyoperon  # noqa: F401

            systems["pyoperon"] = run_operon
        except ImportError:
            print("pyoperon is not installed: pip install pyoperon==0.6.2; skipping it")
    if "linear" in args.peers:
        systems["linear"] = run_linear

    print(f"budget {args.budget:g} s per problem and system; {platform.machine()}, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; python {sys.version.split()[0]}")
    print("problem | system: recovered, held-out R², size, seconds, formula")
    results: dict[str, list[tuple[object, Outcome]]] = {name: [] for name in systems}
    for item in chosen:
        problem = None if item == "diabetes" else PROBLEMS[item - 1]
        data = diabetes_data() if problem is None else problem_data(problem)
        label = "diabetes" if problem is None else f"{item:2d} {problem.name}"
        for name, system in systems.items():
            outcome = evaluate(system, args.budget, problem, data, seed=0)
            results[name].append((problem, outcome))
            mark = {None: "  -", True: "yes", False: " no"}[outcome.recovered]
            print(f"{label:50s} | {name:26s} {mark} R² {outcome.r2:9.6f} size {outcome.size:3d} "
                  f"{outcome.seconds:6.1f} s  {outcome.formula[:90]}", flush=True)

    print("\nsummary (recovered: noise-free / noisy / all; mean held-out R² over the problems; "
          "diabetes R²; seconds in all)")
    for name, rows in results.items():
        clean = [o.recovered for p, o in rows if p is not None and p.noise == 0.0]
        noisy = [o.recovered for p, o in rows if p is not None and p.noise > 0.0]
        r2s = [max(o.r2, -1.0) for p, o in rows if p is not None]
        diabetes = [o for p, o in rows if p is None]
        print(f"{name:26s} {sum(clean)}/{len(clean)} / {sum(noisy)}/{len(noisy)} / "
              f"{sum(clean) + sum(noisy)}/{len(clean) + len(noisy)}"
              f"  mean R² {np.mean(r2s) if r2s else float('nan'):.4f}"
              + (f"  diabetes R² {diabetes[0].r2:.3f} (size {diabetes[0].size})" if diabetes else "")
              + f"  {sum(o.seconds for _, o in rows):.0f} s")


if __name__ == "__main__":
    main()
