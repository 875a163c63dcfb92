"""Closed forms for numeric constants with recognize_constant.

Run with:  python examples/constants.py
recognize_constant(value) searches formulas whose value at v_{0} = 0 is
`value`. A fitted constant C can match any value by itself, so without a
penalty the answer is always some function of C. An L1 penalty on the fitted
constants (alpha > 0, l1_ratio = 1) charges alpha * |C| for each of them, so a
formula without fitted constants that hits the value exactly wins. The example
prints, with and without the penalty, the formula with its fitted constants,
its value and its error, and the Python source of one of them: the engine
evaluates formulas in complex arithmetic (ArcCos(-1.5...) is pi there, NaN in
plain NumPy), and that source does the same.
"""

import math

import qarn_sr
from qarn_sr_sklearn import to_function, to_python, to_text

CONSTANTS = {
    "pi": math.pi,
    "e": math.e,
    "pi/2": math.pi / 2,
    "1/e": 1 / math.e,
    "sqrt(e)": math.sqrt(math.e),
    "sqrt(2)": math.sqrt(2.0),
}

L1_PENALTY = {"alpha": 0.01, "l1_ratio": 1.0}


def has_fitted_constant(result):
    # C is the only token spelled with the single letter C.
    return "C" in result.formula.replace("(", " ").replace(")", " ").replace(",", " ").split()


def recognize_all(searcher, **penalty):
    """{name: (result, value, error)} for every constant in CONSTANTS; the
    value is that of the formula's exported Python source at v_{0} = 0, which
    is the result's own."""
    found = {}
    for name, target in CONSTANTS.items():
        result = searcher.recognize_constant(target, **penalty)
        value = float(to_function(result, ["x"])(0.0))
        assert value == result.eval(0.0)
        found[name] = (result, value, value - target)
    return found


def show(title, found):
    print()
    print(title)
    print(f"  {'constant':<9} {'formula':<46} {'value':>19} {'error':>9}")
    for name, (result, value, error) in found.items():
        print(f"  {name:<9} {to_text(result, ['x']):<46} {value:>19.16g} {error:>9.2g}")


def main():
    searcher = qarn_sr.Searcher(max_complexity=5, beam_width=200)
    print("Searching closed forms for", ", ".join(CONSTANTS), flush=True)
    plain = recognize_all(searcher)
    penalized = recognize_all(searcher, **L1_PENALTY)
    show("Without a penalty: a fitted constant matches anything", plain)
    show(f"With the L1 penalty alpha={L1_PENALTY['alpha']}, l1_ratio={L1_PENALTY['l1_ratio']}",
         penalized)
    exact = [name for name, (result, _, error) in penalized.items()
             if not has_fitted_constant(result) and abs(error) <= 1e-12]
    print()
    print("(x is 0 in these formulas: ArcCos(x) is pi/2.)")
    print("Recognized exactly, without fitted constants:", ", ".join(exact))
    print()
    print("Python source of the formula for pi without the penalty; formula(0.0) is its value:")
    print(to_python(plain["pi"][0], ["x"]))
    return plain, penalized


if __name__ == "__main__":
    main()
