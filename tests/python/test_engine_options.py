"""Engine options of _qarn_sr_core.search (full_fit, affine, operators,
stop_threshold, beam_widths) and _qarn_sr_core.refit: off they give Searcher's bits; on
they do what they say."""

import os
import pickle
import re
import struct
import subprocess
import sys

import pytest

import _qarn_sr_core as core

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

PARAMETER, VARIABLE, APPLY = 3, 2, 4


def bits(x):
    return struct.pack("<d", x)


def summary(front):
    return [(r.formula, r.complexity, bits(r.error), r.to_python()) for r in front]


def operators_used(result):
    _, _, _, tokens = core.result_state(result)
    return {name for kind, _, name, _, _ in tokens if kind == APPLY}


def parameters(result):
    _, _, _, tokens = core.result_state(result)
    return [re for kind, _, _, re, _ in tokens if kind == PARAMETER]


def formula(text, tokens):
    """A SearchResult holding `tokens` (kind, small, name, re), error unset."""
    return core.result_from_state((1, text, 0.0, tuple((*t, 0.0) for t in tokens)))


LINE = [(PARAMETER, 0, None, 0.1), (PARAMETER, 1, None, 0.1), (VARIABLE, 0, None, 0.0),
        (APPLY, 2, "Times", 0.0), (APPLY, 2, "Plus", 0.0)]
GROWTH = [(PARAMETER, 0, None, 1.0), (PARAMETER, 1, None, 0.1), (VARIABLE, 0, None, 0.0),
          (APPLY, 2, "Times", 0.0), (APPLY, 1, "Exp", 0.0), (APPLY, 2, "Times", 0.0)]


def data(n=60, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(n, 2))
    return X, 1.7 * X[:, 0] * np.sin(X[:, 1]) + 0.3 + 0.01 * rng.normal(size=n)


def test_defaults_and_every_operator_give_the_searchs_bits():
    X, y = data()
    plain, _ = core.search(X, y, max_complexity=5, beam_width=60, early_stop=False)
    every = [name for name, arity in core.operator_names() if arity > 0]
    for options in (dict(full_fit=False, affine=False, operators=None, stop_threshold=None),
                    dict(operators=every), dict(operators=tuple(reversed(every)) + ("Plus",)),
                    dict(stop_threshold=1e-10)):
        front, _ = core.search(X, y, max_complexity=5, beam_width=60, early_stop=False, **options)
        assert summary(front) == summary(plain), options


def test_operator_mask_limits_the_expansion_and_names_are_checked():
    X, y = data()
    front, _ = core.search(X, y, max_complexity=6, beam_width=100, early_stop=False,
                           operators=["Plus", "Times", "Sin"])
    assert front and set().union(*map(operators_used, front)) <= {"Plus", "Times", "Sin"}
    # No operator: the seeds alone.
    front, _ = core.search(X, y, max_complexity=4, operators=[])
    assert all(r.complexity == 1 for r in front)
    with pytest.raises(ValueError) as info:
        core.search(X, y, operators=["Plus", "Sine"])
    assert "'Sine'" in str(info.value) and "'QARN'" in str(info.value) and "'Cube'" in str(info.value)
    # Named constants are not operators.
    with pytest.raises(ValueError, match="'Pi'"):
        core.search(X, y, operators=["Pi"])
    with pytest.raises(TypeError, match="single string"):
        core.search(X, y, operators="Plus")
    with pytest.raises(TypeError, match="must be str, not int"):
        core.search(X, y, operators=["Plus", 3])


def test_full_fit_recovers_formulas_whose_constants_act_together(capfd):
    x = np.linspace(-2.0, 3.0, 60)
    front, _ = core.search(x[:, None], 3 * x + 4, max_complexity=5, full_fit=True)
    best = front[0]
    assert best.complexity == 5 and operators_used(best) == {"Plus", "Times"}
    assert best.error < 1e-24
    assert sorted(parameters(best)) == pytest.approx([3.0, 4.0], rel=1e-12)

    front, _ = core.search(x[:, None], 1.7 * np.exp(0.8 * x), max_complexity=6, full_fit=True)
    assert front[0].complexity <= 6 and front[0].error < 1e-20
    assert np.allclose(front[0].predict(x[:, None]), 1.7 * np.exp(0.8 * x), rtol=1e-9)

    # The parameter leaf is fitted too: a constant target is C.
    front, _ = core.search(x[:, None], np.full(60, 3.7), max_complexity=3, full_fit=True)
    assert front[0].formula == "C" and parameters(front[0]) == [pytest.approx(3.7, rel=1e-14)]
    capfd.readouterr()


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(5, 200),
       a=st.floats(-50, 50), b=st.floats(-50, 50), noise=st.sampled_from([0.0, 0.1]))
def test_full_fit_reaches_the_least_squares_solution(seed, n, a, b, noise):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3.0, 3.0, n)
    y = a + b * x + noise * rng.normal(size=n)
    (line,) = core.refit([formula("Plus(C, Times(C, v_{0}))", LINE)], x[:, None], y,
                         full_fit=True)
    design = np.column_stack([np.ones(n), x])
    solution, *_ = np.linalg.lstsq(design, y, rcond=None)
    best = np.mean((design @ solution - y) ** 2)
    assert parameters(line) == pytest.approx(list(solution), rel=1e-7, abs=1e-7)
    assert line.error <= best * (1 + 1e-9) + 1e-24


def gauss_newton(x, y, theta, steps=100):
    """Reference fit of theta0 * exp(theta1 * x) with the exact Jacobian."""
    theta = np.array(theta, dtype=float)
    for _ in range(steps):
        e = np.exp(theta[1] * x)
        r = theta[0] * e - y
        jac = np.column_stack([e, theta[0] * x * e])
        step, *_ = np.linalg.lstsq(jac, -r, rcond=None)
        theta = theta + step
    return theta, np.mean((theta[0] * np.exp(theta[1] * x) - y) ** 2)


@settings(max_examples=15, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), scale=st.floats(0.5, 3.0), rate=st.floats(-1.0, 1.0))
def test_full_fit_matches_gauss_newton_on_a_nonlinear_formula(seed, scale, rate):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 2.0, 40)
    y = scale * np.exp(rate * x) * (1 + 0.01 * rng.normal(size=40))
    theta, best = gauss_newton(x, y, [scale * 1.1, rate + 0.05])
    start = [(PARAMETER, 0, None, scale * 1.1), (PARAMETER, 1, None, rate + 0.05)] + GROWTH[2:]
    (fitted,) = core.refit([formula("Times(C, Exp(Times(C, v_{0})))", start)], x[:, None], y,
                           full_fit=True)
    assert fitted.error <= best * (1 + 1e-8) + 1e-24
    assert parameters(fitted) == pytest.approx(list(theta), rel=1e-5, abs=1e-6)


def test_refit_measures_and_fits_on_the_given_rows(capfd):
    rng = np.random.default_rng(3)
    x = rng.uniform(-2.0, 3.0, 300)
    y = 3 * x + 4 + 0.05 * rng.normal(size=300)
    front, _ = core.search(x[:40, None], y[:40], max_complexity=5, beam_width=200)
    for full in (False, True):
        again = core.refit(front, x[:, None], y, full_fit=full)
        assert [r.formula for r in again] == [r.formula for r in front]
        assert [r.complexity for r in again] == [r.complexity for r in front]
        for r in again:
            assert r.error == pytest.approx(np.mean((r.predict(x[:, None]) - y) ** 2), rel=1e-12)
        assert again[0].error <= core.refit(front[:1], x[:, None], y)[0].error * (1 + 1e-12)
    # The originals are untouched, and a refit on the search's own rows keeps
    # what the search's refit already reached.
    assert front[0].error == pytest.approx(np.mean((front[0].predict(x[:40, None]) - y[:40]) ** 2))
    # The penalty enters the error as in the search.
    plain, penalised = (core.refit(front[:1], x[:, None], y, alpha=a)[0] for a in (None, 1.0))
    assert penalised.error > plain.error
    with pytest.raises(ValueError, match="variables"):
        core.refit(front, np.zeros((300, 0)).tolist(), y)
    with pytest.raises(ValueError, match="finite"):
        core.refit(front, x[:, None], np.where(x > 0, np.nan, y))
    with pytest.raises(Exception, match="equal length"):
        core.refit(front, x[:10, None], y)
    with pytest.raises(TypeError, match="SearchResult"):
        core.refit([1.0], x[:, None], y)
    capfd.readouterr()


def test_stop_threshold_sets_the_exact_fit_stop(capfd):
    x = np.linspace(0.5, 3.0, 30)
    y = 1e-6 * 2.5 * x**2
    plain, _ = core.search(x[:, None], y, max_complexity=5, beam_width=100)
    # At this scale a fitted formula of level 2 is already below 1e-10.
    assert max(r.complexity for r in plain) <= 2 and plain[0].error > 1e-3 * np.var(y)
    scaled, _ = core.search(x[:, None], y, max_complexity=5, beam_width=100,
                            stop_threshold=1e-10 * np.var(y))
    assert scaled[0].error < 1e-10 * np.var(y) and scaled[0].complexity == 4
    for bad in (-1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="stop_threshold"):
            core.search(x[:, None], y, stop_threshold=bad)
    capfd.readouterr()


def test_affine_ranking_reports_real_formulas_and_errors(capfd):
    X, y = data(seed=5)
    plain, _ = core.search(X, y, max_complexity=6, beam_width=40, early_stop=False)
    front, _ = core.search(X, y, max_complexity=6, beam_width=40, early_stop=False, affine=True)
    for r in front:
        assert r.error == pytest.approx(np.mean((r.predict(X) - y) ** 2), rel=1e-9)
    # Levels 1 and 2 are not narrowed by a beam of 40, so their best formulas agree.
    assert [s for s in summary(front) if s[1] <= 2] == [s for s in summary(plain) if s[1] <= 2]
    capfd.readouterr()


def test_level_beam_widths_set_what_each_level_retains(capfd, tmp_path):
    X, y = data(seed=3)
    capfd.readouterr()
    narrow, _ = core.search(X, y, max_complexity=6, beam_width=60, early_stop=False,
                            beam_widths=[60, 60, 15])
    assert re.findall(r"Retaining top (\d+)", capfd.readouterr().out) == ["39", "60", "15", "60",
                                                                           "60"]
    # Widths of every level built, whatever beam_width says, act as that width.
    plain, _ = core.search(X, y, max_complexity=6, beam_width=60, early_stop=False)
    every, _ = core.search(X, y, max_complexity=6, beam_width=7, early_stop=False,
                           beam_widths=np.full(5, 60))
    assert summary(every) == summary(plain)
    # Levels up to the narrowed one are found alike.
    assert [s for s in summary(narrow) if s[1] <= 4] == [s for s in summary(plain) if s[1] <= 4]

    # A checkpoint written with other widths is refused.
    path = tmp_path / "state"
    core.search(X, y, max_complexity=4, beam_width=60, beam_widths=[60, 20], checkpoint=path)
    with pytest.raises(ValueError, match=r"beam width at level 3 30 \(the checkpoint's 20\)"):
        core.search(X, y, max_complexity=4, beam_width=60, beam_widths=[60, 30], checkpoint=path)

    for bad in ([], [60, 0], [-1], [60] * 17):
        with pytest.raises(ValueError, match="beam_widths"):
            core.search(X, y, max_complexity=3, beam_widths=bad)
    for bad in ("60", 60, {60}, [60, 1.5]):
        with pytest.raises(TypeError, match="beam_widths"):
            core.search(X, y, max_complexity=3, beam_widths=bad)
    capfd.readouterr()


ONE_THREAD = """
import os, pickle, struct, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import numpy as np
import _qarn_sr_core as core
X, y = np.load(sys.argv[1]), np.load(sys.argv[2])
front, _ = core.search(X, y, max_complexity=6, beam_width=80, early_stop=False, full_fit=True,
                       affine=True, operators=["Plus", "Times", "Sin", "Exp", "Divide"])
with open(sys.argv[3], "wb") as out:
    pickle.dump([(r.formula, r.complexity, struct.pack("<d", r.error), r.to_python())
                 for r in front], out)
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two CPUs and CPU affinity")
def test_options_give_the_same_bits_on_one_thread(tmp_path, capfd):
    X, y = data(seed=8)
    np.save(tmp_path / "X.npy", X)
    np.save(tmp_path / "y.npy", y)
    subprocess.run([sys.executable, "-c", ONE_THREAD, str(tmp_path / "X.npy"),
                    str(tmp_path / "y.npy"), str(tmp_path / "out.pickle")], check=True,
                   stdout=subprocess.DEVNULL)
    front, _ = core.search(X, y, max_complexity=6, beam_width=80, early_stop=False, full_fit=True,
                           affine=True, operators=["Plus", "Times", "Sin", "Exp", "Divide"])
    with open(tmp_path / "out.pickle", "rb") as f:
        assert pickle.load(f) == summary(front)
    capfd.readouterr()
