"""The private extension module _qarn_sr_core: the search with a time limit
and the interpreter lock released, its monitor, and result states."""

import math
import pickle
import re
import struct
import threading
import time

import pytest

import _qarn_sr_core as core
import qarn_sr
from conftest import tiny

np = pytest.importorskip("numpy")


def noisy(n=60, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(n, 2))
    y = 1.7 * X[:, 0] * np.sin(X[:, 1]) + 0.3 + 0.01 * rng.normal(size=n)
    return X, y


def bits(x):
    return struct.pack("<d", x)


def same_results(a, b):
    assert [(r.formula, r.complexity, bits(r.error), r.to_python()) for r in a] == \
           [(r.formula, r.complexity, bits(r.error), r.to_python()) for r in b]


def level_lines(out):
    """The "[QARN-SR]" lines with their durations blanked out."""
    lines = [line.rsplit("\r", 1)[-1] for line in out.split("\n")]
    return [re.sub(r"processed in \S+\.", "processed in ?.", line) for line in lines
            if line.startswith("[QARN-SR]")]


def test_without_a_limit_results_and_lines_are_searchers(capfd):
    X, y = noisy()
    searcher = tiny(max_complexity=5, beam_width=60)
    expected = searcher.find_candidates(X, y)
    expected_lines = level_lines(capfd.readouterr().out)
    for time_limit in (None, 1e6, float("inf")):
        front, cut_short = core.search(X, y, max_complexity=5, beam_width=60,
                                       time_limit=time_limit, early_stop=False)
        assert cut_short is False
        same_results(front, expected)
        assert level_lines(capfd.readouterr().out) == expected_lines
    # With the early stop, the first entry is what Searcher.fit returns.
    xs = np.linspace(0.5, 3.0, 20)
    front, _ = core.search(xs[:, None], 2.5 * xs**2, max_complexity=5, beam_width=60)
    same_results(front[:1], [searcher.fit(xs[:, None], 2.5 * xs**2)])
    assert all(type(r) is qarn_sr.SearchResult for r in front)


def test_a_time_limit_keeps_the_front_of_completed_levels(capfd):
    X, y = noisy(n=100)
    monitor = core.SearchMonitor()
    started = time.monotonic()
    front, cut_short = core.search(X, y, time_limit=0.2, monitor=monitor)
    elapsed = time.monotonic() - started
    # The default search (ten levels, beam 1000) takes minutes here.
    assert cut_short and monitor.cut_short and elapsed < 30.0
    completed = monitor.completed_levels
    assert 1 <= completed < 10 and front
    assert f"Search stopped during level {completed + 1}; returning the front of levels " \
           f"1 to {completed}." in capfd.readouterr().out
    # Exactly the front of a search that ends at the last completed level.
    reference, _ = core.search(X, y, max_complexity=completed)
    same_results(front, reference)


def test_a_zero_limit_or_a_stop_keeps_level_one():
    X, y = noisy()
    reference, _ = core.search(X, y, max_complexity=1)
    for kwargs in ({"time_limit": 0.0}, {"time_limit": -5.0}):
        front, cut_short = core.search(X, y, max_complexity=6, **kwargs)
        assert cut_short
        same_results(front, reference)
    monitor = core.SearchMonitor()
    monitor.stop()
    front, cut_short = core.search(X, y, max_complexity=6, monitor=monitor)
    assert cut_short and monitor.completed_levels == 1
    same_results(front, reference)


def test_the_search_releases_the_interpreter_lock():
    X, y = noisy(n=100)
    monitor = core.SearchMonitor()
    result = {}
    worker = threading.Thread(target=lambda: result.update(
        value=core.search(X, y, max_complexity=6, beam_width=400, monitor=monitor)))
    worker.start()
    seen = set()
    polls = 0
    while worker.is_alive():
        polls += 1
        seen.add((monitor.phase, monitor.level))
        time.sleep(0.002)
    worker.join()
    # This thread kept running while the search did, and watched it advance.
    assert polls > 3 and len(seen) > 2
    assert monitor.phase == "finished" and monitor.completed_levels == 6
    assert monitor.scored == monitor.total > 0
    assert result["value"][1] is False


def test_arguments_are_checked_like_searchers():
    X, y = noisy()

    def error_of(call):
        with pytest.raises(Exception) as info:
            call()
        return type(info.value), str(info.value)

    cases = [
        (lambda: qarn_sr.Searcher(alpha="x"), lambda: core.search(X, y, alpha="x")),
        (lambda: qarn_sr.Searcher(max_complexity=-1), lambda: core.search(X, y, max_complexity=-1)),
        (lambda: qarn_sr.Searcher(beam_width=2.5), lambda: core.search(X, y, beam_width=2.5)),
        (lambda: tiny().fit([1.0, 2.0], [1.0, 2.0]), lambda: core.search([1.0, 2.0], [1.0, 2.0])),
        (lambda: tiny().fit([[1.0]], "ab"), lambda: core.search([[1.0]], "ab")),
        (lambda: tiny().fit([[1.0], [2.0]], [1.0]), lambda: core.search([[1.0], [2.0]], [1.0])),
        (lambda: tiny(max_complexity=3).fit([[1.0]], [math.nan]),
         lambda: core.search([[1.0]], [math.nan], max_complexity=3)),
    ]
    for searcher_call, core_call in cases:
        assert error_of(core_call) == error_of(searcher_call)
    with pytest.raises(TypeError, match="'monitor': must be SearchMonitor or None"):
        core.search(X, y, monitor=object())
    with pytest.raises(ValueError, match="'time_limit': must be a number of seconds, not nan"):
        core.search(X, y, time_limit=math.nan)
    with pytest.raises(TypeError, match="'wide' is an invalid keyword argument for search()"):
        core.search(X, y, wide=3)


def test_a_monitor_serves_one_search():
    X, y = noisy()
    monitor = core.SearchMonitor()
    # A call that fails before searching leaves the monitor free.
    with pytest.raises(ValueError):
        core.search("abc", y, monitor=monitor)
    front, _ = core.search(X, y, max_complexity=3, monitor=monitor)
    with pytest.raises(ValueError, match="serves one search only"):
        core.search(X, y, max_complexity=2, monitor=monitor)
    # The best formula of each complexity, as scored; the front is their
    # refit, each kept where it beats every simpler one.
    best = monitor.best_so_far
    assert [r.complexity for r in best] == [1, 2, 3]
    assert min(r.error for r in best) == monitor.level_log[-1][3]
    refitted = {r.formula: r.error for r in core.refit(best, X, y)}
    assert {r.formula: r.error for r in front}.items() <= refitted.items()
    fresh = core.SearchMonitor()
    assert (fresh.phase, fresh.level, fresh.total, fresh.scored, fresh.completed_levels,
            fresh.cut_short, fresh.best_so_far) == ("idle", 0, 0, 0, 0, False, [])


def test_result_states_round_trip():
    X, y = noisy()
    front, _ = core.search(X, y, max_complexity=5, beam_width=60, alpha=0.01)
    xs = [0.1, 0.5, 1.0]
    constant = tiny(max_complexity=3).recognize_constant(math.pi)
    for result in front + [constant]:
        state = core.result_state(result)
        restored = core.result_from_state(pickle.loads(pickle.dumps(state)))
        assert type(restored) is qarn_sr.SearchResult
        assert (restored.formula, bits(restored.error), restored.complexity, restored.to_latex(),
                repr(restored)) == (result.formula, bits(result.error), result.complexity,
                                    result.to_latex(), repr(result))
        assert [bits(v) for v in restored.predict(X)] == [bits(v) for v in result.predict(X)]
        assert bits(restored.eval(xs[:2])) == bits(result.eval(xs[:2]))
        assert core.result_state(restored) == state


def test_malformed_states_are_refused():
    good = core.result_state(tiny(max_complexity=3).fit([[1.0], [2.0], [3.0]], [2.0, 4.0, 6.0]))
    version, text, loss, tokens = good
    variable, parameter, times = (2, 0, None, 0.0, 0.0), (3, 0, None, 2.0, 0.0), \
        (4, 2, "Times", 0.0, 0.0)
    bad = [
        (2, text, loss, tokens),                               # unknown version
        (version, text, loss, ()),                             # no tokens
        (version, text, loss, (variable, times)),              # operand missing
        (version, text, loss, (variable, parameter)),          # two values left
        (version, text, loss, (variable, (3, 1, None, 2.0, 0.0), times)),  # slot 1 first
        (version, text, loss, (variable, parameter, (4, 2, "Sin", 0.0, 0.0))),  # arity
        (version, text, loss, (variable, parameter, (4, 2, "Nope", 0.0, 0.0))),
        (version, text, loss, (variable, (0, 0, "Times", 0.0, 0.0), times)),  # not a constant
        (version, text, loss, ((9, 0, None, 0.0, 0.0),)),      # unknown kind
        (version, text, loss, ((2, 256, None, 0.0, 0.0),)),    # variable index too large
        (version, text, loss, [variable]),                     # tokens not a tuple
        "not a tuple",
    ]
    for state in bad:
        with pytest.raises(ValueError, match="not the state of a SearchResult"):
            core.result_from_state(state)
    with pytest.raises(TypeError, match="must be qarn_sr.SearchResult, not str"):
        core.result_state("Times(C, v_{0})")
    assert dict(core.operator_names())["QARN"] == 2


def test_search_makes_the_searcher_checks(capfd):
    X, y = noisy(n=20)
    X[7, 1] = math.inf
    calls = [(lambda: core.search(X, y, max_complexity=4), "Input values must be finite numbers: "
              "row 7, column 1 is inf"),
             (lambda: core.search(X[:5], y[:5], max_complexity=511),
              "max_complexity must be at most 510 (the largest formula size the engine "
              "represents), got 511"),
             (lambda: core.search(X[:5], y[:5], alpha=math.nan), "alpha must be a finite number, got nan")]
    for call, message in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    assert capfd.readouterr().out == ""
