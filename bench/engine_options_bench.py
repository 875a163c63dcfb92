"""Recovery and time of the engine options of _qarn_sr_core.search, side by side.

Runs a small fixed set of noise-free problems (1 to 3 variables, 100 rows, formulas with
constants that act together) under each variant of the engine options, with one time limit
per search, and prints per problem and variant whether the target was recovered (error at
most 1e-10 x the variance of the targets), the size of the most accurate formula, the
highest level completed and the seconds; then a summary per variant:

    python bench/engine_options_bench.py [--time-limit 20] [--variants base,full,affine,...]

Timings depend on the machine and on what else runs on it; compare variants of one run.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import _qarn_sr_core as core

VARIANTS = {
    "base": {},
    "full": {"full_fit": True},
    "affine": {"affine": True},
    "full+affine": {"full_fit": True, "affine": True},
}


def _problems():
    rng = np.random.default_rng(16)

    def one(low, high, f):
        x = rng.uniform(low, high, 100)
        return x[:, None], f(x)

    def many(k, low, high, f):
        X = rng.uniform(low, high, (100, k))
        return X, f(*X.T)

    return [
        ("3x+4", *one(-2, 3, lambda x: 3 * x + 4)),
        ("1.7exp(0.8x)", *one(-2, 3, lambda x: 1.7 * np.exp(0.8 * x))),
        ("gauss", *one(1, 3, lambda x: np.exp(-x * x / 2) / np.sqrt(2 * np.pi))),
        ("x^3-x+2", *one(-2, 2, lambda x: x**3 - x + 2)),
        ("2.5x sin x+0.3", *one(-3, 3, lambda x: 2.5 * x * np.sin(x) + 0.3)),
        ("3/(1+x^2)", *one(-3, 3, lambda x: 3 / (1 + x * x))),
        ("3.2cos(1.5x)+1", *one(-3, 3, lambda x: 3.2 * np.cos(1.5 * x) + 1)),
        ("2.3log(x+1)", *one(0, 5, lambda x: 2.3 * np.log(x + 1))),
        ("4x/(1+x)", *one(0.1, 5, lambda x: 4 * x / (1 + x))),
        ("0.5 m v^2", *many(2, 0.5, 3, lambda m, v: 0.5 * m * v * v)),
        ("1.5a-2.2b+0.7", *many(2, -2, 2, lambda a, b: 1.5 * a - 2.2 * b + 0.7)),
        ("9.81 a sin(2b)", *many(2, 0.2, 1.4, lambda a, b: 9.81 * a * np.sin(2 * b))),
        ("6.674 m1 m2/r^2", *many(3, 1, 3, lambda a, b, r: 6.674 * a * b / (r * r))),
        ("sqrt(a^2+b^2)", *many(2, 0.5, 3, lambda a, b: np.sqrt(a * a + b * b))),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--time-limit", type=float, default=20.0)
    parser.add_argument("--max-complexity", type=int, default=10)
    parser.add_argument("--beam-width", type=int, default=1000)
    parser.add_argument("--variants", default=",".join(VARIANTS))
    args = parser.parse_args()
    names = args.variants.split(",")
    totals = {name: [0, 0.0] for name in names}
    # The engine's progress goes to file descriptor 1; the figures go to stderr's copy of it.
    out = os.fdopen(os.dup(1), "w")
    devnull = os.open(os.devnull, os.O_WRONLY)
    print(f"time limit {args.time_limit:g} s, max_complexity {args.max_complexity}, "
          f"beam_width {args.beam_width}, {os.cpu_count()} CPUs", file=out)
    print(f"{'problem':18s}" + "".join(f"{n:>22s}" for n in names), file=out, flush=True)
    for label, X, y in _problems():
        cells = []
        for name in names:
            os.dup2(devnull, 1)
            monitor = core.SearchMonitor()
            start = time.perf_counter()
            front, _ = core.search(X, y, max_complexity=args.max_complexity,
                                   beam_width=args.beam_width, time_limit=args.time_limit,
                                   monitor=monitor,
                                   stop_threshold=1e-12 * float(np.var(y)), **VARIANTS[name])
            seconds = time.perf_counter() - start
            sys.stdout.flush()
            os.dup2(out.fileno(), 1)
            best = front[0]
            found = best.error <= 1e-10 * float(np.var(y))
            totals[name][0] += found
            totals[name][1] += seconds
            cells.append(f"{'yes' if found else 'no':>4s} {best.complexity:3d} "
                         f"L{monitor.completed_levels:<2d}{seconds:6.1f}s")
        print(f"{label:18s}" + "".join(f"{c:>22s}" for c in cells), file=out, flush=True)
    print(f"{'recovered / time':18s}" +
          "".join(f"{totals[n][0]:>10d} {totals[n][1]:9.1f}s" for n in names), file=out)


if __name__ == "__main__":
    main()
