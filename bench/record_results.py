"""Records the results of a fixed set of small seeded searches, and compares two records.

Every speed or layout change of the engine must leave results bit-identical. This tool runs
a fixed set of searches through every entry point (alpha on and off, one and several
variables), and writes, per search, the returned formulas with their complexities and the
exact bits of their errors, or the raised exception, plus the counts the search printed
("Level 1 seeded with N", "Retaining top N candidates" per level):

    python bench/record_results.py record before.json
    python bench/record_results.py compare before.json after.json

Run the record step once per thread count (for one thread: `taskset -c 0 python ...`; the
engine's pool follows the process's CPU affinity). `compare` prints each difference and exits
with status 1 when there is one.
"""

from __future__ import annotations

import json
import math
import os
import random
import re
import sys
import tempfile

import qarn_sr


def _rows(rng: random.Random, n: int, width: int, low: float, high: float) -> list[list[float]]:
    return [[rng.uniform(low, high) for _ in range(width)] for _ in range(n)]


TARGETS_1 = [
    lambda x: 2.5 * x * math.sin(x) + 0.3,
    lambda x: x * x * x - x,
    lambda x: math.exp(-x) + 1.7,
    lambda x: math.sqrt(abs(x)) * 3.1,
    lambda x: 1.0 / (1.0 + x * x),
    lambda x: math.log(abs(x) + 1.0) - 0.25 * x,
]

TARGETS_3 = [
    lambda v: v[0] * v[1] / (1.0 + v[2] * v[2]),
    lambda v: v[0] + 2.0 * v[1] - v[2],
    lambda v: math.sin(v[0]) * v[1],
    lambda v: math.cos(v[0] - v[1]) + 0.5,
]


def _cases() -> list[dict]:
    """The fixed search set: 40 searches of every entry point."""
    cases = []
    for i, target in enumerate(TARGETS_1):
        rng = random.Random(100 + i)
        xs = sorted(rng.uniform(-3.0, 3.0) for _ in range(30))
        ys = [target(x) * (1.0 + 0.01 * rng.gauss(0.0, 1.0)) for x in xs]
        for alpha in (None, 0.01):
            cases.append(dict(method="find_function", args=[xs, ys], alpha=alpha,
                              searcher=dict(max_complexity=5, beam_width=150)))
            cases.append(dict(method="find_candidates", args=[[[x] for x in xs], ys], alpha=alpha,
                              searcher=dict(max_complexity=5, beam_width=100)))
    for i, target in enumerate(TARGETS_3):
        rng = random.Random(200 + i)
        rows = _rows(rng, 40, 3, -2.0, 2.0)
        ys = [target(r) * (1.0 + 0.01 * rng.gauss(0.0, 1.0)) for r in rows]
        for alpha in (None, 0.05):
            cases.append(dict(method="find_multivariate", args=[rows, ys], alpha=alpha,
                              searcher=dict(max_complexity=5, beam_width=120)))
        cases.append(dict(method="fit", args=[rows, ys], alpha=None, l1_ratio=0.9,
                          searcher=dict(max_complexity=4, beam_width=80, complexity_penalty=0.3)))
    for value in (math.pi, math.e, 1.6180339887, 2.5, -0.75, 1e-3):
        for alpha in (None, 0.1):
            cases.append(dict(method="recognize_constant", args=[value], alpha=alpha,
                              searcher=dict(max_complexity=5, beam_width=150)))
    # Exact data stops early; NaN targets fail; a ragged row fails on variables it lacks.
    xs = [0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
    cases.append(dict(method="find_function", args=[xs, [x * x for x in xs]], alpha=None,
                      searcher=dict(max_complexity=6, beam_width=200)))
    cases.append(dict(method="find_function", args=[xs, [math.nan] * 6], alpha=None,
                      searcher=dict(max_complexity=3, beam_width=50)))
    cases.append(dict(method="find_candidates", args=[[[1.0, 2.0], [2.0], [3.0, 1.0], [4.0, 5.0]],
                                                      [3.0, 2.0, 4.0, 9.0]], alpha=None,
                      searcher=dict(max_complexity=4, beam_width=60)))
    return cases


def _result(r: qarn_sr.SearchResult) -> dict:
    return dict(formula=r.formula, complexity=r.complexity, error=float(r.error).hex(),
                python=r.to_python())


def _run_captured(fn):
    """Runs fn with file descriptor 1 sent to a file; returns (value or exception, output)."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as out:
        os.dup2(out.fileno(), 1)
        try:
            try:
                value = fn()
            except Exception as exc:  # noqa: BLE001 - recorded as part of the result
                value = exc
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        out.seek(0)
        return value, out.read().decode("utf-8", "replace")


def _printed_counts(text: str) -> list[str]:
    lines = []
    for m in re.finditer(r"Level 1 seeded with (\d+)|Level (\d+) processed in [^\r\n]*? "
                         r"Retaining top (\d+) candidates|L(\d+) Progress: \[[^\]]*\] \d+% "
                         r"\((\d+)/(\d+)\)", text):
        if m.group(1):
            lines.append(f"seeded {m.group(1)}")
        elif m.group(2):
            lines.append(f"level {m.group(2)} retained {m.group(3)}")
    # Only the final progress figure of each level is a count of the search (the redraws
    # before it depend on timing).
    finals = {}
    for m in re.finditer(r"L(\d+) Progress: \[[^\]]*\] \d+% \((\d+)/(\d+)\)", text):
        finals[m.group(1)] = m.group(3)
    lines += [f"level {k} total {v}" for k, v in sorted(finals.items(), key=lambda kv: int(kv[0]))]
    return lines


def record(path: str) -> None:
    records = []
    for case in _cases():
        searcher = qarn_sr.Searcher(**case["searcher"])
        kwargs = {}
        if case.get("alpha") is not None:
            kwargs["alpha"] = case["alpha"]
        if case.get("l1_ratio") is not None:
            kwargs["l1_ratio"] = case["l1_ratio"]
        method = getattr(searcher, case["method"])
        value, text = _run_captured(lambda: method(*case["args"], **kwargs))
        if isinstance(value, Exception):
            outcome = dict(error=f"{type(value).__name__}: {value}")
        elif isinstance(value, list):
            outcome = dict(front=[_result(r) for r in value])
        else:
            outcome = dict(best=_result(value))
        records.append(dict(case=f"{case['method']} {case['searcher']} alpha={case.get('alpha')}",
                            outcome=outcome, printed=_printed_counts(text)))
    with open(path, "w") as f:
        json.dump(records, f, indent=1)
    print(f"recorded {len(records)} searches to {path}")


def compare(path_a: str, path_b: str) -> int:
    with open(path_a) as f:
        a = json.load(f)
    with open(path_b) as f:
        b = json.load(f)
    differences = 0
    if len(a) != len(b):
        print(f"different numbers of searches: {len(a)} and {len(b)}")
        return 1
    for i, (ra, rb) in enumerate(zip(a, b)):
        if ra != rb:
            differences += 1
            print(f"search {i} ({ra['case']}) differs:")
            print(f"  {path_a}: {json.dumps(ra['outcome'])[:400]} {ra['printed']}")
            print(f"  {path_b}: {json.dumps(rb['outcome'])[:400]} {rb['printed']}")
    print(f"{len(a)} searches compared, {differences} differ")
    return 1 if differences else 0


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[1] == "record":
        record(argv[2])
        return 0
    if len(argv) == 4 and argv[1] == "compare":
        return compare(argv[2], argv[3])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
