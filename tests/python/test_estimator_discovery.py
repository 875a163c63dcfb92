"""QarnRegressor on users' data: the same formulas at any scale, reported in
the user's units; the operator choice; per-level beam widths; the row sample
for large data."""

import math
import pickle
import struct
import time

import pytest

pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")

import _qarn_sr_core as core  # noqa: E402
from qarn_sr_sklearn import QarnRegressor  # noqa: E402
from qarn_sr_sklearn._scaling import RescaledResult, Scales, power_of_two_scale  # noqa: E402


def bits(values):
    return [struct.pack("<d", v) for v in np.ravel(values)]


def summary(front):
    return [(r.formula, r.complexity, bits([r.error])) for r in front]


def test_power_of_two_scales_are_exact_and_leave_o1_data_alone():
    assert power_of_two_scale(np.array([0.003, -700.0])) == 1.0
    assert power_of_two_scale(np.zeros(3)) == 1.0
    for largest in (1e-300, 6.674e-11, 1e-6, 1e6, 1e25, 1e300):
        s = power_of_two_scale(np.array([largest, -largest / 3]))
        assert math.frexp(s)[0] == 0.5 and 1.0 <= largest * s < 2.0
    X = np.array([[1e24, 0.5], [3e20, 2.0]])
    scales = Scales.of(X, np.array([1e-7, 3e-6]))
    assert scales.x_scale[1] == 1.0 and scales.y_scale == 2.0**-19
    assert np.array_equal(scales.inputs(X) / np.asarray(scales.x_scale), X)


CASES = [
    # (formula, ranges of the variables, complexity) recovered at scale 1
    (lambda x: 2.5 * x[0] ** 2, [(0.5, 3.0)], 4),
    (lambda x: 0.7 * x[0] / x[1], [(0.5, 3.0), (1.0, 4.0)], 5),
]


@pytest.mark.parametrize("case", range(len(CASES)))
def test_the_same_formula_is_found_at_every_scale_and_reported_in_user_units(case):
    formula, ranges, complexity = CASES[case]
    rng = np.random.default_rng(case)
    X1 = np.column_stack([rng.uniform(lo, hi, 60) for lo, hi in ranges])
    sizes = set()
    for scale in (1e-30, 1e-25, 1e-9, 1.0, 1e9, 1e25, 1e30):
        X = X1 * scale
        y = formula(X.T) * scale  # both inputs and target far from 1
        model = QarnRegressor(max_complexity=complexity, beam_width=200, verbose=False).fit(X, y)
        best = model.best_
        sizes.add(best.complexity)
        prediction = model.predict(X)
        assert np.allclose(prediction, y, rtol=1e-9, atol=0.0)
        # the error is the mean squared error in the user's units
        mse = float(np.mean((prediction - y) ** 2))
        assert best.error == pytest.approx(mse, rel=1e-6, abs=1e-20 * np.mean(y**2))
        # every rendered form computes the user's values
        values = model.to_function()(*X.T)
        assert bits(values) == bits(prediction)
        sympy = pytest.importorskip("sympy")
        expression = model.to_sympy()
        f = sympy.lambdify(sorted(expression.free_symbols, key=lambda s: s.name), expression)
        assert np.allclose(np.real(f(*(X.T + 0j))), y, rtol=1e-9, atol=0.0)
        assert "0.0000" not in model.to_latex() or scale == 1.0
        assert "C" not in model.to_text()
        if scale != 1.0:
            assert bits(prediction) == bits(
                model.y_scale_ * np.asarray(best.result.predict(X * model.x_scale_)))
    # one minimal formula everywhere (its written form may differ: C·a/b, a/(b/C))
    assert sizes == {complexity}


def test_a_rescaled_model_pickles_with_its_scales():
    rng = np.random.default_rng(3)
    X = rng.uniform(1e20, 1e24, size=(50, 2))
    y = 6.674e-11 * X[:, 0] * X[:, 1] / 1e30
    model = QarnRegressor(max_complexity=5, beam_width=100, verbose=False).fit(X, y)
    assert isinstance(model.best_, RescaledResult)
    restored = pickle.loads(pickle.dumps(model))
    assert summary(restored.pareto_front_) == summary(model.pareto_front_)
    assert restored.best_.formula == model.best_.formula
    assert bits(restored.predict(X)) == bits(model.predict(X))
    assert model.score(X, y) == pytest.approx(1.0)


def test_a_target_no_formula_explains_warns():
    rng = np.random.default_rng(0)
    X = rng.uniform(size=(40, 1))
    y = 1e20 + 1e6 * rng.normal(size=40)  # varies by 1e-14 of its size
    with pytest.warns(UserWarning, match="better than its mean"):
        QarnRegressor(max_complexity=1, verbose=False).fit(X, y)


def test_operators_limit_the_formulas_and_unknown_names_are_listed():
    X = np.random.default_rng(2).uniform(0.5, 2.0, size=(40, 2))
    y = np.sin(X[:, 0]) + X[:, 1] ** 2
    with pytest.raises(ValueError, match="Nope.*known: QARN, .*Plus"):
        QarnRegressor(operators=["Plus", "Nope"], verbose=False).fit(X, y)
    if "operators" not in core.search.__doc__:
        pytest.skip("the engine has no operator choice")
    model = QarnRegressor(operators=["Plus", "Times"], max_complexity=5, beam_width=50,
                          verbose=False).fit(X, y)
    allowed = {"Plus", "Times"}
    for result in model.pareto_front_:
        _, _, _, tokens = core.result_state(result)
        assert {name for kind, _, name, _, _ in tokens if kind == 4} <= allowed
    default = QarnRegressor(max_complexity=4, beam_width=30, verbose=False).fit(X, y)
    every = [name for name, arity in core.operator_names() if arity > 0]
    named = QarnRegressor(operators=every, max_complexity=4, beam_width=30, verbose=False).fit(X, y)
    assert summary(named.pareto_front_) == summary(default.pareto_front_)


def test_beam_width_takes_per_level_widths():
    X = np.random.default_rng(4).uniform(0.5, 2.0, size=(40, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.2 * X[:, 1] ** 2

    def fit(beam_width, **kwargs):
        return QarnRegressor(max_complexity=5, beam_width=beam_width, verbose=False,
                             **kwargs).fit(X, y)

    assert summary(fit([30, 30, 30]).pareto_front_) == summary(fit(30).pareto_front_)
    # The growing schedule multiplies every level's width alike.
    growing = fit(np.array([30, 4]), schedule="growing", time_limit=60)
    assert [s["beam_width"] for s in growing.searches_][:3] == [(30, 4), (120, 16), (480, 64)]
    for bad in ([], [30, 0], [30, 2.5], [True], list(range(1, 19))):
        with pytest.raises(ValueError, match="beam_width"):
            fit(bad)


def test_large_data_are_searched_on_a_seeded_sample_and_refitted_on_all_rows():
    rng = np.random.default_rng(5)
    X = rng.uniform(0.5, 3.0, size=(400, 2))
    y = X[:, 0] * X[:, 1] + 0.01 * rng.normal(size=400)

    def fit(**kwargs):
        kwargs = {"max_complexity": 4, "beam_width": 40, "verbose": False, **kwargs}
        return QarnRegressor(**kwargs).fit(X, y)

    whole = fit(max_samples=None)
    assert whole.n_samples_searched_ == 400
    assert summary(fit(max_samples=400).pareto_front_) == summary(whole.pareto_front_)
    first, again = fit(max_samples=100, random_state=7), fit(max_samples=100, random_state=7)
    assert first.n_samples_searched_ == 100
    assert summary(first.pareto_front_) == summary(again.pareto_front_)
    for result in first.pareto_front_:  # errors measured on every row
        mse = float(np.mean((np.asarray(result.predict(X)) - y) ** 2))
        assert result.error == pytest.approx(mse, rel=1e-9)
    errors = [r.error for r in first.pareto_front_]
    assert errors == sorted(errors)  # still a Pareto front, most accurate first


def test_growing_the_front_reaches_what_a_narrow_search_misses():
    rng = np.random.default_rng(3)
    X = rng.uniform(-2.0, 2.0, (80, 5))
    y = X[:, 0] * X[:, 1] + X[:, 2] - 2.5 * X[:, 4]
    settings = dict(max_complexity=9, beam_width=10, verbose=False)
    plain = QarnRegressor(grow=False, **settings).fit(X, y)
    assert plain.best_.error > 1.0
    grown = QarnRegressor(**settings).fit(X, y)
    assert grown.best_.error < 1e-20 and grown.best_.complexity <= 9
    again = QarnRegressor(**settings).fit(X, y)
    assert summary(again.pareto_front_) == summary(grown.pareto_front_)
    # Edits use only the chosen operators and stay within max_complexity.
    chosen = {"Plus", "Times", "Square"}
    limited = QarnRegressor(operators=sorted(chosen), **settings).fit(X, y + np.sin(X[:, 3]))
    for result in limited.pareto_front_:
        assert result.complexity <= 9
        names = {name for kind, _, name, _, _ in core.result_state(result)[3] if kind == 4}
        assert names <= chosen, result.formula


def _grown_exactly(y_of, tokens: tuple, max_complexity: int, low: float = -1.0,
                   high: float = 1.0) -> list:
    """Sizes of the exact fits grown from the single formula `tokens` on
    60 rows of y_of(X), X drawn from [low, high]."""
    from qarn_sr_sklearn import _grow

    X = np.random.default_rng(4).uniform(low, high, (60, 1))
    y = y_of(X)
    start = core.refit([_grow._result(tokens)], X, y)
    settings = _growing_settings(max_complexity)
    return sorted(r.complexity for r in _grow.grow(start, X, y, settings).best
                  if r.error < 1e-20)


def _growing_settings(max_complexity: int):
    from qarn_sr_sklearn import _grow

    return _grow.GrowSettings.of(None, max_complexity, 0.0, 0.5, True, 1e-10)


x0, c0 = (2, 0, None, 0.0, 0.0), (3, 0, None, 0.0, 0.0)  # variable 0, a parameter


def test_growing_adds_a_term_searched_on_the_residual():
    sizes = _grown_exactly(lambda X: np.sin(X[:, 0]) + np.sin(X[:, 0] + X[:, 0] ** 2),
                           (x0, (4, 1, "Sin", 0.0, 0.0)), 8)
    assert sizes and sizes[0] == 8, sizes


@pytest.mark.parametrize("sign, size", [(1.0, 6), (-1.0, 7)])
def test_growing_searches_log_y_for_targets_spanning_decades(sign, size):
    # exp(1 - 9 / x) spans 2.6 decades on [1, 3]: on the log scale it is the
    # 5-token 1 - 9 / x, whose exp fits y exactly in 6 tokens (-exp(...) in
    # 7 for the negative targets). The edits of x alone reach no exact fit
    # within 7 tokens (checked, for both signs).
    sizes = _grown_exactly(lambda X: sign * np.exp(1.0 - 9.0 / X[:, 0]), (x0,), 7, 1.0, 3.0)
    assert sizes and sizes[0] == size, sizes


def test_growing_edits_inner_subtrees():
    # C + sin(x^2) becomes C + sin(x^2) * cos(x): the factor joins a subtree
    # below the root, which neither a leaf edit nor the residual term reaches
    # in 8 tokens.
    sin_square = (c0, x0, (4, 1, "Square", 0.0, 0.0), (4, 1, "Sin", 0.0, 0.0),
                  (4, 2, "Plus", 0.0, 0.0))
    sizes = _grown_exactly(lambda X: np.sin(X[:, 0] ** 2) * np.cos(X[:, 0]) - 1.0, sin_square, 8)
    assert sizes and sizes[0] == 8, sizes


def test_growing_spends_time_left_on_wider_rounds():
    from qarn_sr_sklearn import _grow

    rng = np.random.default_rng(5)
    X = rng.uniform(-1.0, 1.0, (50, 2))
    y = np.exp(X[:, 0]) * np.cos(3 * X[:, 1]) + 0.05 * rng.normal(size=50)  # never exact
    front = core.refit([_grow._result((x0,))], X, y)
    settings = _growing_settings(7)
    one_pass = _grow.grow(front, X, y, settings)
    assert one_pass.fitted == _grow.grow(front, X, y, settings).fitted  # deterministic
    wider = _grow.grow(front, X, y, settings, deadline=time.monotonic() + 3.0)
    assert wider.fitted > one_pass.fitted
    # The first pass is the same, so more time never loses a formula.
    best = {r.complexity: r.error for r in wider.best}
    assert all(best[r.complexity] <= r.error for r in one_pass.best)
