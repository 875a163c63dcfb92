"""QarnRegressor beyond scikit-learn's generic checks: equality with the
engine's own searches, the time budget and its schedule, feature names,
formulas, the quiet mode, input errors and pickling."""

import copy
import math
import os
import pickle
import re
import struct
import sys
from types import SimpleNamespace

import pytest

pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")

from hypothesis import given, strategies as st  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import FunctionTransformer  # noqa: E402

import _qarn_sr_core as core  # noqa: E402
import qarn_sr  # noqa: E402
from qarn_sr_sklearn import QarnRegressor  # noqa: E402
from qarn_sr_sklearn._estimator import choose_best, merge_fronts, schedule_stages  # noqa: E402


def small(**kwargs):
    kwargs = {"max_complexity": 4, "beam_width": 30, "verbose": False, **kwargs}
    return QarnRegressor(**kwargs)


def data(n=40, seed=1, noise=0.0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.5, size=(n, 2))
    y = 2.5 * X[:, 0] ** 2 + X[:, 1] + noise * rng.normal(size=n)
    return X, y


def bits(values):
    return [struct.pack("<d", v) for v in np.ravel(values)]


def summary(front):
    return [(r.formula, r.complexity, bits([r.error])) for r in front]


def test_fit_equals_the_engines_search():
    X, y = data(noise=0.05)
    model = small(full_fit=False).fit(X, y)
    assert model.fit(X, y) is model
    front = qarn_sr.Searcher(max_complexity=4, beam_width=30).find_candidates(X, y)
    assert summary(model.pareto_front_) == summary(front)
    assert all(type(r) is qarn_sr.SearchResult for r in model.pareto_front_)
    assert model.best_ in model.pareto_front_
    assert (model.n_features_in_, model.timed_out_) == (2, False)
    assert model.search_time_ > 0 and len(model.searches_) == 1
    prediction = model.predict(X)
    assert isinstance(prediction, np.ndarray) and prediction.dtype == np.float64
    assert bits(prediction) == bits(model.best_.predict(X))
    assert not hasattr(model, "feature_names_in_")


def test_an_exact_formula_is_chosen_and_scored():
    X, y = data()
    model = small(max_complexity=7, beam_width=60).fit(X, y)
    assert model.best_.error <= 1e-10
    assert model.score(X, y) == pytest.approx(1.0)
    sympy = pytest.importorskip("sympy")
    x0, x1 = sympy.symbols("x0 x1", real=True)
    assert sympy.simplify(model.to_sympy() - (2.5 * x0**2 + x1)) == 0


def test_a_time_limit_returns_completed_levels_quickly():
    X, y = data(n=100, noise=0.3)
    model = QarnRegressor(time_limit=0.3, verbose=False).fit(X, y)
    # An unlimited default search takes minutes on this data.
    assert model.timed_out_ and model.search_time_ < 30.0
    assert model.pareto_front_ and np.isfinite(model.predict(X)).all()


@given(st.lists(st.tuples(st.integers(1, 8), st.sampled_from([0.0, 1e-12, 0.5, 1.0, 2.0, 3.0])),
                min_size=1, max_size=12),
       st.integers(1, 4))
def test_merged_fronts_are_pareto_fronts_of_the_union(entries, pieces):
    results = [SimpleNamespace(complexity=c, error=e) for c, e in entries]
    fronts = [results[i::pieces] for i in range(pieces)]
    merged = merge_fronts(fronts)
    # Most accurate first: errors strictly rise as complexity falls.
    assert [r.complexity for r in merged] == sorted({r.complexity for r in merged}, reverse=True)
    assert all(a.error < b.error for a, b in zip(merged, merged[1:]))
    # Nothing in the union is better at the same or lower complexity.
    for r in results:
        assert any(m.complexity <= r.complexity and m.error <= r.error for m in merged)
    for m in merged:
        assert not any(r.complexity <= m.complexity and r.error < m.error for r in results)
    best = choose_best(merged, 0.1)
    scores = [max(r.error, 1e-10) * (1 + 0.1 * r.complexity) for r in merged]
    assert max(best.error, 1e-10) * (1 + 0.1 * best.complexity) == min(scores)
    # Ties go to the simpler entry.
    assert best.complexity == min(r.complexity for r, s in zip(merged, scores) if s == min(scores))


def test_the_growing_schedule_merges_its_searches():
    assert schedule_stages(1000, 10) == [(1000, 6), (4000, 6), (1000, 10), (4000, 10),
                                         (16000, 10)]
    assert schedule_stages(10, 3) == [(10, 3), (40, 3), (160, 3)]
    X, y = data(noise=0.05)
    model = small(max_complexity=3, beam_width=10, time_limit=600.0, schedule="growing").fit(X, y)
    stages = [(s["beam_width"], s["max_complexity"]) for s in model.searches_]
    assert stages == [(10, 3), (40, 3), (160, 3)]
    fronts = [core.search(X, y, max_complexity=c, beam_width=w, full_fit=True)[0]
              for w, c in stages]
    assert summary(model.pareto_front_) == summary(merge_fronts(fronts))
    # An exact fit ends the schedule; without a time limit there is one search.
    exact = small(max_complexity=6, beam_width=30, time_limit=600.0, schedule="growing")
    assert len(exact.fit(*data()).searches_) == 1
    assert len(small(schedule="growing").fit(X, y).searches_) == 1


def test_feature_names_reach_the_formulas():
    pd = pytest.importorskip("pandas")
    sympy = pytest.importorskip("sympy")
    X, y = data()
    frame = pd.DataFrame(X, columns=["mass", "speed_2"])
    model = small(max_complexity=7, beam_width=60).fit(frame, y)
    assert list(model.feature_names_in_) == ["mass", "speed_2"]
    expected = model.predict(frame)
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        assert bits(model.predict(X)) == bits(expected)
    text = model.to_text()
    assert "mass" in text and "speed_2" in text and "v_{" not in text and "C" not in text
    assert "\\mathrm{mass}" in model.to_latex() and "\\mathrm{speed}_{2}" in model.to_latex()
    namespace: dict = {}
    exec(model.to_python(), namespace)
    assert namespace["formula"](mass=X[:, 0], speed_2=X[:, 1]) == pytest.approx(expected, rel=1e-12)
    expression = model.to_sympy()
    assert {s.name for s in expression.free_symbols} <= {"mass", "speed_2"}
    function = sympy.lambdify(sorted(expression.free_symbols, key=lambda s: s.name), expression)
    assert function(X[:, 0], X[:, 1]) == pytest.approx(expected, rel=1e-12)
    # Names that collide once made identifiers, shadow the code's own names or
    # are no identifiers get unique safe ones, shown in the source.
    columns = ["a b", "a_b", "np", "for", "Plus", "2x"]
    odd = small(max_complexity=5).fit(pd.DataFrame(np.tile(X, 3), columns=columns), y)
    assert odd.feature_identifiers_ == ["a_b_1", "a_b", "np_1", "for_1", "Plus_1", "x2x"]
    assert all(odd.to_text(i) for i in range(len(odd.pareto_front_)))
    for i in range(len(odd.pareto_front_)):
        source = odd.to_python(i)
        assert "'a b' -> a_b_1" in source and "'np' -> np_1" in source
        assert odd.to_function(i)(*np.tile(X, 3).T) == pytest.approx(
            odd.pareto_front_[i].predict(np.tile(X, 3)), rel=1e-12, nan_ok=True)


def test_to_sympy_without_sympy(monkeypatch):
    model = small().fit(*data())
    monkeypatch.setitem(sys.modules, "sympy", None)
    with pytest.raises(ImportError, match="to_sympy needs SymPy; install it with: pip install sympy"):
        model.to_sympy()


def test_quiet_mode_writes_nothing_and_restores_fd1(capfd, monkeypatch):
    X, y = data(noise=0.05)
    before = os.fstat(1)
    small(verbose=False).fit(X, y)
    assert capfd.readouterr().out == ""
    # Progress to a file (as here) or a pipe: one line per completed level,
    # then one for growing the front.
    model = small(verbose=True, max_complexity=6).fit(X, y)
    out = capfd.readouterr().out
    lines = out.splitlines()
    assert "\r" not in out and 2 <= len(lines) <= 7
    assert re.fullmatch(r"QarnRegressor grew the front: [\d,]+ formulas fitted, \d+\.\d\ds, "
                        r"best error so far \S+", lines[-1]), lines[-1]
    for level, line in enumerate(lines[:-1], 1):
        assert re.fullmatch(rf"QarnRegressor level {level} done: [\d,]+ candidates, "
                            r"\d+\.\d\ds, best error so far \S+", line), line
    assert float(lines[-1].rsplit(" ", 1)[1]) == pytest.approx(model.pareto_front_[0].error,
                                                               rel=1e-5)
    # A fit that fails inside the search still gives fd 1 back.
    def failing(*args, **kwargs):
        raise qarn_sr.QarnComplexityError("no formula")

    monkeypatch.setattr(core, "search", failing)
    with pytest.raises(qarn_sr.QarnComplexityError):
        small(verbose=False).fit(X, y)
    monkeypatch.undo()
    after = os.fstat(1)
    assert (before.st_dev, before.st_ino) == (after.st_dev, after.st_ino)
    os.write(1, b"still here\n")
    assert capfd.readouterr().out == "still here\n"


@pytest.mark.parametrize("X, y, message", [
    ([[1.0, math.nan], [2.0, 3.0]], [1.0, 2.0], "NaN"),
    ([[1.0, math.inf], [2.0, 3.0]], [1.0, 2.0], "infinity"),
    ([[1.0, 2.0], [2.0, 3.0]], [1.0, math.nan], "NaN"),
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], "Expected 2D array"),
    ([[1.0], [2.0]], [1.0, 2.0, 3.0], "inconsistent numbers of samples"),
    (np.empty((0, 2)), [], "0 sample"),
    ([["a", "b"]], [1.0], "could not convert"),
])
def test_bad_input_fails_before_any_search(capfd, X, y, message):
    with pytest.raises(ValueError, match=message):
        QarnRegressor(max_complexity=3, beam_width=10).fit(X, y)
    assert capfd.readouterr().out == ""


def test_bad_parameters_and_prediction_input(capfd):
    for params in ({"max_complexity": 0}, {"beam_width": 2.5}, {"l1_ratio": 2.0},
                   {"time_limit": 0}, {"schedule": "other"}):
        with pytest.raises(ValueError, match="parameter of QarnRegressor"):
            QarnRegressor(**params).fit([[1.0]], [1.0])
    assert capfd.readouterr().out == ""
    model = small().fit(*data())
    with pytest.raises(ValueError, match="expecting 2 features"):
        model.predict([[1.0, 2.0, 3.0]])


def test_pickled_and_copied_estimators_predict_the_same():
    X, y = data(noise=0.05)
    model = small().fit(X, y)
    for restored in (pickle.loads(pickle.dumps(model)), copy.deepcopy(model)):
        assert summary(restored.pareto_front_) == summary(model.pareto_front_)
        assert restored.best_ in restored.pareto_front_
        assert restored.best_.formula == model.best_.formula
        assert bits(restored.predict(X)) == bits(model.predict(X))
        assert restored.to_text() == model.to_text()
    assert model.pareto_front_[0] is not None  # the original is untouched
    assert pickle.loads(pickle.dumps(small())).get_params() == small().get_params()


def test_pipelines_cross_validation_and_grid_search():
    X, y = data()
    pipeline = make_pipeline(FunctionTransformer(), small(max_complexity=6, beam_width=40))
    scores = cross_val_score(pipeline, X, y, cv=3)
    assert scores == pytest.approx([1.0, 1.0, 1.0])
    grid = GridSearchCV(small(beam_width=40), {"max_complexity": [2, 6]}, cv=3).fit(X, y)
    assert grid.best_params_ == {"max_complexity": 6}
    assert grid.best_estimator_.best_.error <= 1e-10
