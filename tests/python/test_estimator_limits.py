"""QarnRegressor at the engine's limits: too many features, values beyond the
magnitude bound, a budget too short for anything but level 1, a closed
standard output, and memory."""

import os
import pickle
import subprocess
import sys
import textwrap
import warnings
from types import SimpleNamespace

import pytest

pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")

from qarn_sr_sklearn import QarnRegressor  # noqa: E402
from qarn_sr_sklearn import _forecast, _growth_turns, _memory  # noqa: E402


def test_data_beyond_the_engines_limits_is_refused_before_the_search(capfd):
    rng = np.random.default_rng(0)
    X = rng.uniform(1, 2, size=(20, 256))
    with pytest.raises(ValueError, match="at most 255 features .* X has 256"):
        QarnRegressor(max_complexity=1).fit(X, 3 * X[:, 255])
    # The last feature that fits is searched like the first.
    model = QarnRegressor(max_complexity=1, verbose=False).fit(X[:, :255], X[:, 254])
    assert model.to_text() == "x254" and model.best_.error == 0.0
    assert capfd.readouterr().out == ""


def test_values_beyond_the_bound_are_searched_rescaled():
    # A target or input of 1e155 lies beyond the engine's magnitude bound;
    # rescaled by a power of two it is searched like any other value.
    rng = np.random.default_rng(0)
    X = rng.uniform(1, 2, size=(20, 2))
    y = X[:, 0].copy()
    y[7] = 1e155
    X[3, 1] = -3e16
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        model = QarnRegressor(max_complexity=3, verbose=False).fit(X, y)
    assert model.y_scale_ > 1e150 and model.x_scale_[1] < 1e-15
    assert np.isfinite(model.predict(X)).all()


def test_a_budget_too_short_for_level_two_keeps_level_one():
    rng = np.random.default_rng(1)
    X = rng.uniform(1, 2, size=(50, 2))
    model = QarnRegressor(time_limit=1e-9, verbose=False).fit(X, 2 * X[:, 1])
    assert model.timed_out_ and not model.interrupted_
    assert model.pareto_front_ and max(r.complexity for r in model.pareto_front_) == 1
    restored = pickle.loads(pickle.dumps(model))
    assert np.array_equal(restored.predict(X), model.predict(X))
    assert np.isfinite(model.predict(X)).all()


@pytest.mark.parametrize("rate, left, expected", [
    (100, 10_000, True),    # 100 s more at the measured rate, 50 s at twice it: past the deadline
    (100, 7_000, False),    # 35 s at twice the rate: it may still finish
    (100, 2_000, False),    # 20 s: it finishes
])
def test_a_level_is_given_up_only_when_it_cannot_finish(rate, left, expected):
    # Readings every quarter second of a level scored at `rate` candidates a
    # second with `left` still to score after one second, deadline 40 s on.
    forecast = _forecast.LevelForecast(deadline=40.0)
    total = left + rate
    reading = SimpleNamespace(phase="expanding", level=5, scored=0, total=0)
    assert not forecast.hopeless(reading, 0.0)
    verdicts = []
    for step in range(9):
        now = step / 4
        reading = SimpleNamespace(phase="scoring", level=5, scored=int(rate * now), total=total)
        verdicts.append(forecast.hopeless(reading, now))
    # Never before a second of measurements; then the verdict holds.
    assert verdicts == [False] * 4 + [expected] * 5
    # A new level is measured afresh.
    assert not forecast.hopeless(SimpleNamespace(phase="scoring", level=6, scored=0, total=10**9),
                                 2.5)


def test_a_level_is_given_up_when_it_needs_more_than_its_predecessors_time():
    # A level is hopeless if it cannot finish in the time the level before
    # it took, counted from its start: one opened at 5 s runs on.
    log = [(4, 10**6, 30.0, 0.1)]
    for opened, verdict in ((5.0, False), (15.0, True)):
        forecast = _forecast.LevelForecast(deadline=40.0)
        forming = SimpleNamespace(phase="expanding", level=5, scored=0, total=0, level_log=log)
        assert forecast.hopeless(forming, opened) is verdict
        assert forecast.hopeless(forming, opened + 20.0) is verdict


def test_a_level_that_cannot_finish_stops_the_search_for_growing(monkeypatch, capfd):
    # Level 5 declared hopeless at its first reading: the search ends with
    # levels 1 to 4, and growing finds the formula from them.
    monkeypatch.setattr(_forecast.LevelForecast, "hopeless",
                        lambda self, progress, now: progress.level >= 5)
    rng = np.random.default_rng(2)
    X = rng.uniform(1, 2, size=(1000, 5))
    y = X[:, 0] * X[:, 1] + X[:, 2]
    model = QarnRegressor(time_limit=60, max_complexity=7).fit(X, y)
    out = capfd.readouterr().out
    assert "level 5 cannot finish within the time limit" in out
    assert "level 4 done" in out and "level 5 done" not in out
    assert model.timed_out_ and model.search_time_ < 30
    assert model.best_.error < 1e-20
    # Without growing nothing would take the time: the search runs on.
    assert QarnRegressor(time_limit=60, max_complexity=4, grow=False,
                         verbose=False)._forecast(60) is None


def test_a_growing_turn_follows_each_long_level_once():
    turns = _growth_turns.GrowthTurns(grow=None, deadline=100.0, longest=30.0)

    def reading(level, log, phase="expanding"):
        return SimpleNamespace(phase=phase, level=level, level_log=log)

    log = [(1, 3, 0.01, 1.0), (2, 40, 1.0, 0.5)]
    assert turns.due(reading(3, log), 10.0) is None  # level 2 took under 2 s
    log.append((3, 500, 5.0, 0.1))
    assert turns.due(reading(4, log, "finished"), 10.0) is None  # the search is over
    assert turns.due(reading(4, log), 10.0) == 20.0  # twice level 3's time
    assert turns.due(reading(4, log, "scoring"), 11.0) is None  # once per level
    log.append((4, 10**5, 25.0, 0.05))
    assert turns.due(reading(6, log), 50.0) is None  # level 5's record is missing
    assert turns.due(reading(5, log), 50.0) == 80.0  # at most `longest`
    log.append((5, 10**6, 40.0, 0.01))
    assert turns.due(reading(6, log), 95.0) == 100.0  # never past the deadline


def test_a_growing_turn_that_fits_exactly_ends_the_search(monkeypatch, capfd):
    # Turns after every level, as long as the time limit allows: one grows
    # the formula from an early front within a second, and the search stops
    # before its level 5, which would hold the formula too.
    monkeypatch.setattr(_growth_turns, "MIN_LEVEL_SECONDS", 0.0)
    monkeypatch.setattr(_growth_turns, "FACTOR", 1e6)
    rng = np.random.default_rng(2)
    X = rng.uniform(1, 2, size=(1000, 5))
    model = QarnRegressor(time_limit=60, max_complexity=7).fit(X, X[:, 0] * X[:, 1] + X[:, 2])
    out = capfd.readouterr().out
    assert "QarnRegressor: growing the front of levels 1 to " in out
    assert "level 5 done" not in out
    assert model.best_.error < 1e-20 and not model.timed_out_


def test_fits_with_file_descriptor_1_closed(tmp_path):
    script = textwrap.dedent("""
        import os, sys
        import numpy as np
        from qarn_sr_sklearn import QarnRegressor
        X = np.linspace(1, 2, 40)[:, None]
        for verbose in (False, True):
            QarnRegressor(max_complexity=4, beam_width=20, verbose=verbose).fit(X, 3 * X[:, 0])
        # Descriptor 1 is closed again: the next file opened takes it, and
        # nothing of the searches reaches it.
        fd = os.open("after.txt", os.O_WRONLY | os.O_CREAT)
        print(fd, file=sys.stderr)
    """)
    run = subprocess.run(f"{sys.executable} -c '{script}' >&-", shell=True, cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stderr.split() == ["1"]
    assert (tmp_path / "after.txt").read_text() == ""


def test_memory_limit_texts_and_the_default():
    assert _memory.parse("2GB") == 2 * 10**9 and _memory.parse("512 MiB") == 512 * 2**20
    assert _memory.parse("1.5e9") == 1_500_000_000 and _memory.parse(4096) == 4096
    for bad in ("two gigabytes", "2 parsecs", "0"):
        with pytest.raises(ValueError, match="memory_limit"):
            _memory.parse(bad)
    available = _memory.available_bytes()
    assert _memory.limit_bytes(None) == (None if available is None else available // 2)
    with pytest.raises(ValueError, match="memory_limit"):
        QarnRegressor(memory_limit="lots").fit([[1.0], [2.0]], [1.0, 2.0])


def test_a_level_over_the_memory_limit_ends_the_search_with_its_front():
    rng = np.random.default_rng(2)
    X = rng.uniform(-2, 2, size=(200, 3))
    y = np.sin(X[:, 0]) * X[:, 1] + X[:, 2] ** 3
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = QarnRegressor(max_complexity=9, beam_width=300, memory_limit="4MB",
                              verbose=False).fit(X, y)
    assert [w.category for w in caught] == [RuntimeWarning]
    assert "memory limit (0.00 GiB)" in str(caught[0].message)
    assert model.stopped_for_memory_ and not model.timed_out_
    # The front of the levels built before the limit, usable as always.
    roomy = QarnRegressor(max_complexity=5, beam_width=300, verbose=False, memory_limit="64GB")
    assert not roomy.fit(X, y).stopped_for_memory_
    assert 1 <= model.best_.complexity < 9 and np.isfinite(model.predict(X)).all()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator cannot work under an address-space limit")
def test_running_out_of_memory_keeps_the_completed_levels(tmp_path):
    """Under an address-space limit the search outgrows memory in a level: the
    estimator keeps the front of the levels before it, with a warning, and the
    interpreter goes on."""
    script = textwrap.dedent("""
        import resource, warnings
        import numpy as np
        from qarn_sr_sklearn import QarnRegressor
        rng = np.random.default_rng(2)
        X = rng.uniform(-2, 2, size=(30, 3))
        y = np.sin(X[:, 0]) * X[:, 1] + X[:, 2] ** 3 + 0.1 * rng.normal(size=30)
        QarnRegressor(max_complexity=3, verbose=False).fit(X, y)  # threads and caches up
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (40 << 20), size + (40 << 20)))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            model = QarnRegressor(max_complexity=12, beam_width=3000, memory_limit="1TB",
                                  verbose=False).fit(X, y)
        print(model.stopped_for_memory_, [w.category.__name__ for w in caught],
              model.best_.complexity, np.isfinite(model.predict(X)).all())
        try:
            bytearray(1 << 40)
        except MemoryError:
            print("usable")
    """)
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    stopped, warned, best, finite, *_ = run.stdout.split()
    assert (stopped, warned, finite) == ("True", "['RuntimeWarning']", "True")
    assert run.stdout.splitlines()[-1] == "usable"
