"""Hostile inputs, extreme settings, reference counts, memory, fork and
threads: nothing may crash, leak or hang."""

import gc
import math
import multiprocessing
import os
import sys
import threading

import pytest

import qarn_sr
from conftest import XS, tiny

QARN_ERRORS = (qarn_sr.QarnComplexityError, qarn_sr.QarnDimensionError)


class FailingSequence:
    """A sequence whose items fail from index `fail_at` on."""

    def __init__(self, values, fail_at, error=RuntimeError):
        self.values, self.fail_at, self.error = values, fail_at, error

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i >= self.fail_at:
            raise self.error("item")
        return self.values[i]


class BadFloat:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("float")
        return self.result


@pytest.mark.parametrize(
    "bad",
    [
        FailingSequence(XS, 3),
        FailingSequence(XS, 0, KeyError),
        [1.0, BadFloat(ValueError)],
        [1.0, BadFloat("not a float")],
        [1.0, BadFloat(MemoryError)],
    ],
    ids=["getitem-raises", "first-item-raises", "float-raises", "float-returns-str",
         "float-memoryerror"],
)
def test_failing_items_become_conversion_errors(bad, square):
    with pytest.raises(ValueError, match="^Input must be a 1D"):
        tiny().find_function(bad, XS)
    with pytest.raises(ValueError, match="^Input must be a 2D"):
        tiny().find_multivariate([[1.0], bad], [1.0, 2.0])
    with pytest.raises(ValueError, match="^Input must be a float or a 1D list/array$"):
        square.eval(bad)
    with pytest.raises(ValueError, match="^Input must be a 2D"):
        square.eval_batch(FailingSequence([[1.0], [2.0]], 1))


def test_sequence_without_failures_converts(square):
    assert square.eval_batch(FailingSequence([[1.0], [2.0]], 5)) == [1.0, 4.0]
    assert square.eval(FailingSequence([3.0], 5)) == 9.0


def test_list_shrinking_during_conversion(square):
    data = [1.0, 2.0, 3.0, 4.0]

    class Shrinking:
        def __float__(self):
            data.clear()
            return 5.0

    data.insert(1, Shrinking())
    assert square.eval(data) == 1.0  # the point is [1.0, 5.0]; variable 0 is 1.0


def test_odd_array_subclasses_take_the_fallback():
    np = pytest.importorskip("numpy")

    class NoDtype(np.ndarray):
        @property
        def dtype(self):
            raise RuntimeError("no dtype")

    class StrangeNdim(np.ndarray):
        @property
        def ndim(self):
            return "one"

    for cls in (NoDtype, StrangeNdim):
        xs = np.array(XS).view(cls)
        result = tiny(max_complexity=2).find_function(xs, XS)
        assert (result.formula, result.error) == ("v_{0}", 0.0)


@pytest.mark.parametrize(
    "settings",
    [
        {"max_complexity": 2**64 - 1, "beam_width": 2**64 - 1},
        {"max_complexity": 3, "beam_width": 0},
        {"max_complexity": 3, "beam_width": 1},
        {"max_complexity": 3, "complexity_penalty": -5.0},
        {"max_complexity": 3, "complexity_penalty": math.nan},
        {"max_complexity": 3, "alpha": math.inf, "l1_ratio": -2.0},
        {"max_complexity": 3, "alpha": math.nan},
    ],
)
def test_extreme_settings_do_not_crash(settings):
    searcher = qarn_sr.Searcher(**settings)
    for ys in (XS, [x * x for x in XS]):
        try:
            result = searcher.find_function(XS, ys)
        except QARN_ERRORS:
            continue
        assert isinstance(result.formula, str)
        result.eval_batch([[1.0], [-1.0]])


@pytest.mark.parametrize(
    "xs, ys",
    [
        (XS, [math.inf] * len(XS)),
        ([math.nan] * len(XS), XS),
        ([math.inf, -math.inf, 0.0, 1.0], [1.0, 2.0, 3.0, 4.0]),
        ([1e308, -1e308, 5e-324], [1e308, 0.0, -1e308]),
    ],
    ids=["inf-targets", "nan-inputs", "inf-inputs", "extreme-values"],
)
def test_special_values_in_data(xs, ys):
    try:
        result = tiny(max_complexity=3).find_function(xs, ys)
    except QARN_ERRORS:
        return
    assert math.isfinite(result.error) or math.isnan(result.error) or result.error == math.inf
    for value in result.eval_batch([[x] for x in xs]):
        assert isinstance(value, float)


def test_recognize_constant_special_values():
    for value in (math.nan, math.inf, -1e300):
        with pytest.raises(qarn_sr.QarnComplexityError):
            tiny(max_complexity=2).recognize_constant(value)


def test_reference_counts_balance(square):
    searcher = tiny(max_complexity=2)
    xs = [x + 0.125 for x in XS]
    ys = [x * x for x in xs]
    rows = [[x] for x in xs]
    alpha = 0.5 + 0.25  # a float object of this test only
    tracked = [xs, ys, rows, alpha, searcher, square, *xs, *ys, *rows,
               qarn_sr.Searcher, qarn_sr.SearchResult, qarn_sr.QarnDimensionError]

    def exercise():
        searcher.find_function(xs, ys, alpha, alpha)
        searcher.find_candidates(rows, ys, alpha=alpha)
        searcher.recognize_constant(alpha, alpha=alpha)
        for call in (lambda: searcher.find_function(xs, ys[:-1]),
                     lambda: searcher.find_function(xs, ys, "x"),
                     lambda: searcher.find_function(xs + ["x"], ys),
                     lambda: searcher.fit(xs, ys),
                     lambda: square.eval("x"),
                     lambda: square.eval_batch(xs),
                     lambda: qarn_sr.Searcher(alpha="x")):
            with pytest.raises((TypeError, ValueError, qarn_sr.QarnDimensionError)):
                call()
        square.eval(xs)
        square.eval(alpha)
        square.eval_batch(rows)
        square.predict(rows)
        square.formula, square.error, square.complexity, repr(square)
        square.to_latex(), square.to_python()
        qarn_sr.Searcher(3, xs[0], 7, alpha, xs[1])

    exercise()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(5):
        exercise()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == before


def test_reference_counts_balance_for_arrays(square):
    np = pytest.importorskip("numpy")
    arrays = [np.array(XS), np.array([[x] for x in XS]), np.array([[x] for x in XS]).T,
              np.arange(10.0)[::2], np.array(XS, dtype=">f8"), np.array(XS, dtype=np.int32)]

    def exercise(a):
        for call in (lambda: tiny(max_complexity=2).find_function(a, a),
                     lambda: tiny(max_complexity=2).find_multivariate(a, XS),
                     lambda: square.eval(a), lambda: square.eval_batch(a)):
            try:
                call()
            except (TypeError, ValueError, *QARN_ERRORS):
                pass

    before = [sys.getrefcount(a) for a in arrays]
    for array in arrays:
        exercise(array)
    del array
    assert [sys.getrefcount(a) for a in arrays] == before


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_repeated_searches_do_not_grow_memory(capfd):
    page = os.sysconf("SC_PAGE_SIZE")

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * page

    # Large enough data that leaking any per-call copy, list or result would
    # show up over a thousand calls.
    xs = [0.001 * i for i in range(1, 2001)]
    ys = [x * x for x in xs]
    rows = [[x] for x in xs]
    searcher = tiny(max_complexity=2, beam_width=10)

    def one_round():
        result = searcher.find_function(xs, ys)
        result.eval_batch(rows)
        result.eval(xs[:3])
        repr(result), result.to_latex()
        searcher.find_multivariate(rows, xs)
        try:
            searcher.find_function(xs, ys[:-1])
        except qarn_sr.QarnDimensionError:
            pass
        try:
            searcher.find_function(xs, ys + ["x"])
        except ValueError:
            pass

    for _ in range(100):
        one_round()
    capfd.readouterr()
    gc.collect()
    start = resident()
    for i in range(1000):
        one_round()
        if i % 100 == 0:
            capfd.readouterr()
    capfd.readouterr()
    gc.collect()
    growth = resident() - start
    assert growth < 16 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"


def _front(n_points=200):
    """A search big enough for the worker pool to run on several threads."""
    xs = [0.01 * i for i in range(1, n_points + 1)]
    front = tiny(max_complexity=4, beam_width=100).find_candidates(
        [[x] for x in xs], [math.sin(x) + x * x for x in xs])
    return [(r.formula, r.error) for r in front]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.skipif(sys.platform == "win32", reason="fork is POSIX only")
def test_search_in_forked_child_after_parent_searched():
    expected = _front()
    context = multiprocessing.get_context("fork")
    with context.Pool(1) as pool:
        assert pool.apply_async(_front).get(timeout=300) == expected
    assert _front() == expected


def test_searches_from_several_threads():
    cases = {
        "Square(v_{0})": lambda x: x * x,
        "Sqrt(v_{0})": math.sqrt,
        "Exp(v_{0})": math.exp,
        "Cube(v_{0})": lambda x: x**3,
        "Sin(v_{0})": math.sin,
    }
    start = threading.Barrier(len(cases) + 1)
    outcomes = {}

    def run(name, function):
        start.wait()
        found = []
        for _ in range(3):
            result = tiny(max_complexity=3).find_function(XS, [function(x) for x in XS])
            found.append((result.formula, result.error < 1e-10))
        found.append(_front(100)[-1][0])
        outcomes[name] = found

    threads = [threading.Thread(target=run, args=item) for item in cases.items()]
    for thread in threads:
        thread.start()
    start.wait()
    for thread in threads:
        thread.join(timeout=300)
    reference = _front(100)[-1][0]
    assert outcomes == {name: [(name, True)] * 3 + [reference] for name in cases}
