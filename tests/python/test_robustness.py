"""Hostile inputs, extreme settings, reference counts, memory, fork and
threads: nothing may crash, leak or hang."""

import gc
import math
import multiprocessing
import os
import subprocess
import sys
import threading
import time

import pytest

import qarn_sr
from conftest import XS, tiny

QARN_ERRORS = (qarn_sr.QarnComplexityError, qarn_sr.QarnDimensionError)


class Failing:
    """A sequence whose items raise from index `at` on."""

    def __init__(self, values, at, error=RuntimeError):
        self.values, self.at, self.error = values, at, error

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i >= self.at:
            raise self.error(i)
        return self.values[i]


class BadFloat:
    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        if isinstance(self.outcome, type):
            raise self.outcome("float")
        return self.outcome


@pytest.mark.parametrize("bad", [Failing(XS, 3), Failing(XS, 0, KeyError), [1.0, BadFloat(ValueError)],
                                 [1.0, BadFloat("str")]])
def test_failing_items_become_conversion_errors(bad, square):
    with pytest.raises(ValueError, match="^Input must be a 1D"):
        tiny().find_function(bad, XS)
    with pytest.raises(ValueError, match="^Input must be a 2D"):
        tiny().find_multivariate([[1.0], bad], [1.0, 2.0])
    with pytest.raises(ValueError, match="^Input must be a float or a 1D"):
        square.eval(bad)
    with pytest.raises(ValueError, match="^Input must be a 2D"):
        square.eval_batch(Failing([[1.0], [2.0]], 1))
    assert square.eval_batch(Failing([[1.0], [2.0]], 5)) == [1.0, 4.0]


class Raising:
    """Raises `error` (an instance) from float() or from reading an item."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), MemoryError()])
def test_interrupts_and_fatal_errors_pass_through_conversion(error, square, capfd):
    np = pytest.importorskip("numpy")
    item = Raising(error)
    broken_array = type("BrokenArray", (np.ndarray,), {"ndim": property(lambda self: item.__float__())})
    calls = [lambda: tiny().find_function([1.0, item], XS[:2]),
             lambda: tiny().find_function(XS[:2], item),
             lambda: tiny().find_multivariate([[1.0], item], XS[:2]),
             lambda: tiny().find_multivariate([[1.0], [item]], XS[:2]),
             lambda: tiny().fit(np.array(XS).view(broken_array), XS),
             lambda: square.eval(item), lambda: square.eval([2.0, item]),
             lambda: square.eval_batch([[item]]), lambda: square.predict(item)]
    for call in calls:
        with pytest.raises(type(error)) as info:
            call()
        assert info.value is error
    assert capfd.readouterr().out == ""


def test_signal_during_a_long_conversion_stops_it(square):
    """A signal that arrives while plain floats are read (no Python code runs)
    is noticed before the conversion ends."""
    signal = pytest.importorskip("signal")
    if not hasattr(signal, "setitimer"):
        pytest.skip("needs setitimer")
    reached_end = []

    class Last:
        def __float__(self):
            reached_end.append(True)
            return 0.0

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    data = [1.5] * 4_000_000 + [Last()]
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        with pytest.raises(KeyboardInterrupt):
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            square.eval_batch([data])
            time.sleep(5)  # without the check the signal is handled here
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert reached_end == []


def test_list_changing_during_conversion(square):
    data = [1.0, 2.0, 3.0]

    class Shrinking:
        def __float__(self):
            data.clear()
            return 5.0

    data.insert(1, Shrinking())
    assert square.eval(data) == 1.0  # the point became [1.0, 5.0]


def test_array_subclass_with_broken_attributes_takes_the_fallback():
    np = pytest.importorskip("numpy")
    broken = {"dtype": property(lambda self: 1 / 0), "ndim": property(lambda self: "one")}
    for name, attribute in broken.items():
        cls = type("Broken" + name, (np.ndarray,), {name: attribute})
        result = tiny(max_complexity=2).find_function(np.array(XS).view(cls), XS)
        assert (result.formula, result.error) == ("v_{0}", 0.0)


@pytest.mark.parametrize("settings", [
    {"beam_width": 2**64 - 1}, {"beam_width": 0}, {"beam_width": 1}, {"max_complexity": 0},
    {"complexity_penalty": -5.0}, {"complexity_penalty": math.nan},
    {"alpha": math.inf, "l1_ratio": -2.0}, {"alpha": math.nan}])
@pytest.mark.parametrize("xs, ys", [
    (XS, XS), (XS, [x * x for x in XS]), (XS, [math.inf] * 6), ([math.nan] * 6, XS),
    ([math.inf, -math.inf, 0.0], [1.0, 2.0, 3.0]), ([1e308, -1e308, 5e-324], [1e308, 0.0, -1e308])])
def test_extreme_settings_and_values_do_not_crash(settings, xs, ys):
    try:
        result = qarn_sr.Searcher(**{"max_complexity": 3, "beam_width": 20, **settings}).find_function(xs, ys)
    except (*QARN_ERRORS, ValueError):  # ValueError: non-finite settings or inputs
        return
    assert all(isinstance(v, float) for v in result.eval_batch([[x] for x in xs]))
    assert isinstance(repr(result), str)


def test_largest_max_complexity_with_an_exact_fit(capfd):
    result = qarn_sr.Searcher(max_complexity=510, beam_width=2**64 - 1).find_function(XS, XS)
    assert (result.formula, result.error) == ("v_{0}", 0.0)
    with pytest.raises(ValueError, match="^max_complexity must be at most 510 "):
        qarn_sr.Searcher(max_complexity=2**64 - 1, beam_width=2**64 - 1).find_function(XS, XS)
    assert capfd.readouterr().out == ""


def test_one_non_finite_input_is_named_not_searched_around(capfd):
    xs = [0.001 * i for i in range(1, 2001)]
    for bad in (math.nan, math.inf, -math.inf):
        data = xs[:1234] + [bad] + xs[1235:]
        with pytest.raises(ValueError) as info:
            tiny().find_function(data, [2 * x for x in xs])
        assert str(info.value) == (f"Input values must be finite numbers: row 1234, column 0 is {bad}")
    rows = [[x, 1.0] for x in XS]
    rows[3] = [XS[3], math.nan]
    for method in ("find_multivariate", "fit", "find_candidates"):
        with pytest.raises(ValueError, match="^Input values must be finite numbers: row 3, column 1 is nan$"):
            getattr(tiny(), method)(rows, XS)
    assert capfd.readouterr().out == ""
    # Ragged rows, NaN targets and evaluation keep their behaviour.
    ragged = tiny(max_complexity=2).find_multivariate([[x, 2.0][: 1 + i % 2] for i, x in enumerate(XS)], XS)
    assert ragged.formula == "v_{0}"
    with pytest.raises(qarn_sr.QarnComplexityError):
        tiny(max_complexity=2).find_function(XS, [math.nan] * len(XS))
    values = ragged.eval_batch([[math.nan], [math.inf], [1.0]])
    assert math.isnan(values[0]) and values[1:] == [math.inf, 1.0]
    assert math.isnan(ragged.eval(math.nan)) and math.isnan(ragged.predict([[math.nan]])[0])


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves more address space")
def test_one_long_row_does_not_widen_the_search():
    """2,000 one-value rows and one row of 200,000 values: padding every row
    to the widest would take 6 GiB; the search needs a few MiB."""
    code = ("import resource, qarn_sr\n"
            "resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
            "rows = [[0.001 * i] for i in range(1, 2001)] + [[0.5] * 200000]\n"
            "r = qarn_sr.Searcher(3, beam_width=20).find_multivariate(rows, [2 * r[0] for r in rows])\n"
            "print(r.error < 1e-10)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines()[-1] == "True"


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan aborts on huge allocations")
def test_failed_allocation_becomes_memory_error(square):
    np = pytest.importorskip("numpy")
    huge = np.empty((2**40, 0))  # no data, but 2**40 rows to allocate
    with pytest.raises(MemoryError):
        square.eval_batch(huge)
    with pytest.raises(MemoryError, match="out of memory"):
        tiny().find_multivariate(huge, [1.0])


def test_reference_counts_balance(square):
    np = pytest.importorskip("numpy")
    searcher = tiny(max_complexity=2)
    xs = [x + 0.125 for x in XS]
    ys, rows, alpha = [x * x for x in xs], [[x] for x in xs], 0.5 + 0.25
    arrays = [np.array(xs), np.array(rows), np.array(rows).T, np.arange(10.0)[::2],
              np.array(xs, dtype=">f8"), np.array(xs, dtype=np.int32)]
    tracked = [xs, ys, rows, alpha, searcher, square, *xs, *ys, *rows, *arrays,
               qarn_sr.Searcher, qarn_sr.SearchResult, qarn_sr.QarnDimensionError]
    failing = [lambda: searcher.find_function(xs, ys[:-1]), lambda: searcher.find_function(xs, ys, "x"),
               lambda: searcher.find_function(xs + ["x"], ys), lambda: searcher.fit(xs, ys),
               lambda: square.eval("x"), lambda: square.eval_batch(xs),
               lambda: qarn_sr.Searcher(alpha="x")]
    failing += [lambda a=a: f(a) for a in arrays for f in (
        lambda a: searcher.find_function(a, a), lambda a: searcher.find_multivariate(a, xs),
        square.eval, square.eval_batch)]

    def exercise():
        searcher.find_function(xs, ys, alpha, alpha)
        searcher.find_candidates(rows, ys, alpha=alpha)
        searcher.recognize_constant(alpha, alpha=alpha)
        for call in failing:
            try:
                call()
            except (TypeError, ValueError, *QARN_ERRORS):
                pass
        square.eval(xs), square.eval(alpha), square.predict(rows), repr(square), square.formula
        square.to_latex(), square.to_python(), qarn_sr.Searcher(3, xs[0], 7, alpha, xs[1])

    exercise()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(5):
        exercise()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == before


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan quarantines frees")
def test_repeated_searches_do_not_grow_memory(capfd):
    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    # Big enough data that leaking any per-call copy, list or result shows.
    xs = [0.001 * i for i in range(1, 2001)]
    ys, rows = [x * x for x in xs], [[x] for x in xs]
    searcher = tiny(max_complexity=2, beam_width=10)

    def one_round():
        result = searcher.find_function(xs, ys)
        result.eval_batch(rows), result.eval(xs[:3]), repr(result), result.to_latex()
        searcher.find_multivariate(rows, xs)
        for bad in (ys[:-1], ys + ["x"]):
            try:
                searcher.find_function(xs, bad)
            except (ValueError, qarn_sr.QarnDimensionError):
                pass

    for i in range(1100):
        if i == 100:
            gc.collect()
            start = resident()
        one_round()
        if i % 100 == 0:
            capfd.readouterr()
    gc.collect()
    growth = resident() - start
    assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


def front(n=200):
    """A search large enough to run on several worker threads."""
    xs = [0.01 * i for i in range(1, n + 1)]
    results = tiny(beam_width=100).find_candidates([[x] for x in xs], [math.sin(x) + x * x for x in xs])
    return [(r.formula, r.error) for r in results]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_search_in_child_forked_after_a_search():
    expected = front()
    with multiprocessing.get_context("fork").Pool(1) as pool:
        assert pool.apply_async(front).get(timeout=300) == expected


def test_searches_from_several_threads():
    cases = {"Square(v_{0})": lambda x: x * x, "Sqrt(v_{0})": math.sqrt, "Exp(v_{0})": math.exp,
             "Cube(v_{0})": lambda x: x**3, "Sin(v_{0})": math.sin}
    reference = front(100)
    barrier, outcomes = threading.Barrier(len(cases)), {}

    def run(name, function):
        barrier.wait()
        found = [tiny(max_complexity=3).find_function(XS, [function(x) for x in XS]) for _ in range(3)]
        outcomes[name] = [(r.formula, r.error < 1e-10) for r in found] + [front(100)]

    threads = [threading.Thread(target=run, args=case) for case in cases.items()]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert outcomes == {name: [(name, True)] * 3 + [reference] for name in cases}
