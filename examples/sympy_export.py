"""A search result as a SymPy expression, in your own variable names.

Run with:  python examples/sympy_export.py
Finds the kinetic energy E = m v^2 / 2 from noisy samples, turns the result
into a simplified SymPy expression in the names "mass" and "speed", and shows
its values next to the result's own predictions. to_python() writes fitted
constants with four decimals, so the two differ by what that rounding costs;
the example prints the largest difference and the bound that the rounding
explains.
"""

import re
import types

import numpy as np
import sympy

import qarn_sr

# to_python() writes NumPy calls and constants; these are their SymPy
# counterparts. Imaginary literals such as 1j are read by SymPy itself.
_NUMPY_AS_SYMPY = types.SimpleNamespace(
    exp=sympy.exp, log=sympy.log, sqrt=sympy.sqrt, sin=sympy.sin, cos=sympy.cos, tan=sympy.tan,
    arcsin=sympy.asin, arccos=sympy.acos, arctan=sympy.atan, pi=sympy.pi, e=sympy.E)

_VARIABLE = re.compile(r"v_\{(\d+)\}")

# A constant written with four decimals is within half a unit of the fourth
# decimal of the fitted value.
FOUR_DECIMALS_HALF_UNIT = 0.5e-4


def to_sympy(result, names, simplify=True):
    """The result's formula as a SymPy expression: v_{i} becomes a real symbol
    named names[i]; fitted constants are the Floats that to_python() writes.
    With simplify=False the expression is the formula exactly as written, each
    constant where to_python() puts it (nothing combined or reordered).

    Raises ValueError when the formula reads a variable that `names` lacks.
    """
    symbols = [sympy.Symbol(name, real=True) for name in names]
    used = {int(i) for i in _VARIABLE.findall(result.to_python())}
    missing = sorted(i for i in used if i >= len(symbols))
    if missing:
        raise ValueError(f"the formula reads v_{{{missing[0]}}} but only {len(names)} names were given")
    # Placeholders rather than the names themselves, so that a name such as
    # "E" or "gamma" is never read as a SymPy constant or function.
    text = _VARIABLE.sub(lambda m: f"qarn_var_{m.group(1)}", result.to_python())
    local = {f"qarn_var_{i}": s for i, s in enumerate(symbols)}
    local["np"] = _NUMPY_AS_SYMPY
    expr = sympy.parse_expr(text, local_dict=local, evaluate=simplify)
    return sympy.simplify(expr) if simplify else expr


def evaluate(expr, names, rows):
    """The real part of `expr` at each row (columns in the order of `names`),
    as the module evaluates its formulas."""
    symbols = [sympy.Symbol(name, real=True) for name in names]
    f = sympy.lambdify(symbols, expr, modules="numpy")
    rows = np.asarray(rows, dtype=complex)  # principal branches, as the module's
    values = np.asarray(f(*rows.T), dtype=complex)
    return np.real(np.broadcast_to(values, rows.shape[:1]))


def rounding_bound(expr, names, rows):
    """Per row, the first-order change of `expr` when each of its Float
    constants moves by half a unit of the fourth decimal:
    sum over constants c of |d expr / d c| * 0.5e-4.

    Every occurrence of a Float counts as a constant of its own (two fitted
    constants may round to the same text), so `expr` should be the formula as
    written: to_sympy(result, names, simplify=False).
    """
    slots = []

    def free_constants(node):
        if isinstance(node, sympy.Float):
            slots.append((sympy.Symbol(f"qarn_c{len(slots)}"), node))
            return slots[-1][0]
        if not node.args:
            return node
        return node.func(*(free_constants(arg) for arg in node.args))

    with_slots = free_constants(expr)
    values = dict(slots)
    bound = np.zeros(len(rows))
    for slot, _ in slots:
        slope = with_slots.diff(slot).xreplace(values)
        bound += np.abs(evaluate(slope, names, rows)) * FOUR_DECIMALS_HALF_UNIT
    return bound


def kinetic_energy_samples(rows=60, noise=0.05, seed=3):
    rng = np.random.default_rng(seed)
    mass = rng.uniform(0.5, 3.0, rows)
    speed = rng.uniform(-4.0, 4.0, rows)
    energy = 0.5 * mass * speed**2 + rng.normal(0.0, noise, rows)
    return np.column_stack([mass, speed]), energy


def main():
    names = ["mass", "speed"]
    inputs, energy = kinetic_energy_samples()
    searcher = qarn_sr.Searcher(max_complexity=6, beam_width=200)
    print("Searching for energy = f(mass, speed)...", flush=True)
    result = searcher.find_multivariate(inputs, energy)

    expr = to_sympy(result, names)
    print()
    print("formula:      ", result.formula)
    print("to_python():  ", result.to_python())
    print("SymPy:        ", expr)
    print("SymPy LaTeX:  ", sympy.latex(expr))

    predicted = np.asarray(result.predict(inputs))
    from_sympy = evaluate(expr, names, inputs)
    difference = np.abs(predicted - from_sympy)
    # The bound is taken on the formula as written, constant by constant;
    # simplification may merge constants but computes the same function.
    bound = rounding_bound(to_sympy(result, names, simplify=False), names, inputs)

    print()
    print(f"{'mass':>8} {'speed':>8} {'predict':>12} {'SymPy':>12} {'difference':>11}")
    for row, p, s, d in zip(inputs[:5], predicted, from_sympy, difference):
        print(f"{row[0]:8.4f} {row[1]:8.4f} {p:12.6f} {s:12.6f} {d:11.3g}")
    worst = int(np.argmax(difference))
    print()
    print(f"largest difference over {len(inputs)} rows: {difference[worst]:.3g}")
    print(f"what four-decimal constants explain at that row: {bound[worst]:.3g}"
          f" (largest over all rows: {bound.max():.3g})")
    return result, expr, inputs, predicted, from_sympy, bound


if __name__ == "__main__":
    main()
