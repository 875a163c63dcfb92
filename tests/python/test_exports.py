"""The estimator's code forms compute what predict computes, front entry by
front entry, on searches over random data with negative and positive inputs
(complex intermediate values, operators beyond the magnitude bound)."""

import pytest

pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")

from qarn_sr_sklearn import QarnRegressor  # noqa: E402

# Targets whose good formulas pass through logarithms, roots and powers of
# negative values.
SHAPES = [
    lambda a, b, c: a * np.log(np.abs(b)) + c,
    lambda a, b, c: np.sqrt(np.abs(a)) * b - c,
    lambda a, b, c: np.exp(a) / (1 + b * b) + np.cos(c),
    lambda a, b, c: a / b + np.arctan(c),
    lambda a, b, c: np.arcsin(np.clip(a / 3, -1, 1)) * c + b ** 3,
]


def agree(exported, predicted, rel):
    both_missing = ~np.isfinite(exported) & ~np.isfinite(predicted)
    close = np.abs(exported - predicted) <= rel * np.abs(predicted)
    return both_missing | close


def fronts(count):
    for seed in range(count):
        rng = np.random.default_rng(seed)
        U = rng.uniform(-3, 3, size=(40, 3))
        X = U * rng.choice([1e-3, 1.0, 1e3], size=3)
        y = SHAPES[seed % len(SHAPES)](*U.T) + 0.1 * rng.normal(size=40)
        model = QarnRegressor(max_complexity=6 + seed % 2, beam_width=40, complexity_penalty=0.0,
                              verbose=False).fit(X, y)
        # Checked at other rows than the fitted ones, zeros and large values too.
        X_new = np.vstack([rng.uniform(-4, 4, size=(60, 3)) * X.std(axis=0),
                           np.zeros((1, 3)), np.full((1, 3), 1e8), np.full((1, 3), -1e8)])
        yield model, X_new


def test_python_and_sympy_forms_compute_predict():
    sympy = pytest.importorskip("sympy")
    entries = sympy_checked = 0
    for model, X in fronts(45):
        for i, result in enumerate(model.pareto_front_):
            predicted = np.asarray(result.predict(X), dtype=np.float64)
            exported = model.to_function(i)(*X.T)
            assert exported.dtype == np.float64 and exported.shape == predicted.shape
            assert agree(exported, predicted, 1e-12).all(), model.to_python(i)
            # The SymPy form is the same formula, rearranged by SymPy: the
            # same values up to the rounding of that rearrangement.
            expression = model.to_sympy(i)
            symbols = sympy.symbols("x0 x1 x2", real=True)
            function = sympy.lambdify(symbols, expression, "numpy")
            with np.errstate(all="ignore"):
                values = np.broadcast_to(function(*(X.T + 0j)), predicted.shape)
            # Relative to the modulus: SymPy writes sqrt(x^3) as x^(3/2), whose
            # real part for x < 0 is the rounding of cos(3 pi / 2), not 0.
            finite = np.isfinite(predicted)
            error = np.abs(np.real(values[finite]) - predicted[finite])
            # NumPy's inverse trigonometric functions far outside [-1, 1]
            # (rows at 1e8) differ from the engine's in the ninth digit.
            assert (error <= 1e-7 * np.abs(values[finite])).all(), str(expression)
            entries += 1
            sympy_checked += finite.any()
    assert entries >= 200 and sympy_checked >= 200


def test_constants_read_back_exactly():
    X = np.linspace(1, 2, 30)[:, None]
    y = -0.014430296123456789 * X[:, 0] ** 2 + 1.0 / 3.0
    # The diagonal fit keeps the two constants apart, which SymPy would not
    # merge into a product.
    model = QarnRegressor(max_complexity=5, beam_width=30, full_fit=False,
                          verbose=False).fit(X, y)
    source = model.to_python()
    for result_constant in model.to_sympy().atoms(__import__("sympy").Float):
        assert repr(float(result_constant)) in source
    namespace: dict = {}
    exec(source, namespace)
    assert np.array_equal(namespace["formula"](X[:, 0]), model.predict(X))
