"""Searcher: constructor conversions, binding, the order of errors, search
errors as exceptions, and what each search method returns."""

import math

import pytest

import qarn_sr
from conftest import XS, tiny

ROWS = [[x] for x in XS]
SQUARES = [x * x for x in XS]


def settings(s):
    return s.max_complexity, s.complexity_penalty, s.beam_width, s.alpha, s.l1_ratio


def test_constructor_values():
    assert settings(qarn_sr.Searcher()) == (10, 0.1, 1000, 0.0, 0.5)
    assert [type(v) for v in settings(qarn_sr.Searcher())] == [int, float, int, float, float]
    assert settings(qarn_sr.Searcher(5, 0.2)) == (5, 0.2, 1000, 0.0, 0.5)
    assert settings(qarn_sr.Searcher(beam_width=50)) == (10, 0.1, 50, 0.0, 0.5)
    # Nothing is range-checked; ints pass for floats, index objects for ints.
    assert settings(qarn_sr.Searcher(0, -1, True, -3.0, 7)) == (0, -1.0, 1, -3.0, 7.0)
    assert qarn_sr.Searcher(2**64 - 1, beam_width=2**64 - 1).beam_width == 2**64 - 1
    assert math.isnan(qarn_sr.Searcher(alpha=math.nan).alpha)


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"max_complexity": 2.5}, TypeError,
     "argument 'max_complexity': 'float' object cannot be interpreted as an integer"),
    ({"beam_width": "5"}, TypeError,
     "argument 'beam_width': 'str' object cannot be interpreted as an integer"),
    ({"complexity_penalty": None}, TypeError,
     "argument 'complexity_penalty': must be real number, not NoneType"),
    ({"l1_ratio": [0.5]}, TypeError, "argument 'l1_ratio': must be real number, not list"),
    ({"max_complexity": -1}, OverflowError, "argument 'max_complexity': can't convert negative int to unsigned"),
    ({"beam_width": 2**64}, OverflowError, "argument 'beam_width': int too big to convert"),
    ({"alpha": 10**400}, OverflowError, "argument 'alpha': int too large to convert to float"),
    # Conversion order: max_complexity, complexity_penalty, beam_width, alpha, l1_ratio.
    ({"alpha": "x", "max_complexity": "y"}, TypeError,
     "argument 'max_complexity': 'str' object cannot be interpreted as an integer"),
    ({"l1_ratio": "x", "beam_width": -1, "complexity_penalty": "x"}, TypeError,
     "argument 'complexity_penalty': must be real number, not str"),
])
def test_constructor_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        qarn_sr.Searcher(**kwargs)
    assert (type(info.value), str(info.value)) == (exc, message)


def test_overflow_names_the_argument():
    for call, name in [(lambda s: s.find_function(XS, XS, alpha=10**400), "alpha"),
                       (lambda s: s.find_candidates(ROWS, XS, l1_ratio=-(10**400)), "l1_ratio"),
                       (lambda s: s.recognize_constant(10**400), "value")]:
        with pytest.raises(OverflowError) as info:
            call(tiny())
        assert str(info.value) == f"argument '{name}': int too large to convert to float"


@pytest.mark.parametrize("name", ["complexity_penalty", "alpha", "l1_ratio"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_settings_are_refused_when_a_search_starts(name, value, capfd):
    message = f"^{name} must be a finite number, got {value}$"
    searcher = tiny(**{name: value})
    assert str(getattr(searcher, name)) == str(value)  # stored as given
    calls = [lambda s, **kw: s.find_function(XS, SQUARES, **kw),
             lambda s, **kw: s.find_candidates(ROWS, SQUARES, **kw),
             lambda s, **kw: s.recognize_constant(2.5, **kw)]
    for call in calls:
        with pytest.raises(ValueError, match=message):
            call(searcher)
        if name != "complexity_penalty":  # the per-call overrides too
            with pytest.raises(ValueError, match=message):
                call(tiny(), **{name: value})
    assert capfd.readouterr().out == ""


def test_max_complexity_beyond_the_engine_is_refused(capfd):
    with pytest.raises(ValueError, match="got 511$"):
        tiny(max_complexity=511).recognize_constant(2.5)
    message = ("max_complexity must be at most 510 (the largest formula size the engine represents), "
               "got 1000000000")
    for searcher in (qarn_sr.Searcher(max_complexity=10**9, beam_width=0), tiny(max_complexity=10**9)):
        with pytest.raises(ValueError) as info:
            searcher.find_function([0.5, 1, 1.5, 2], [1, 5, 2, 7])
        assert str(info.value) == message
    assert capfd.readouterr().out == ""
    # At the limit every empty level still prints its line.
    with pytest.raises(qarn_sr.QarnComplexityError, match="^No formula found up to complexity 510$"):
        qarn_sr.Searcher(max_complexity=510, beam_width=0).find_function(XS, [math.nan] * len(XS))
    lines = [line for line in capfd.readouterr().out.splitlines() if "processed in" in line]
    assert [int(line.split("Level ")[1].split()[0]) for line in lines] == list(range(2, 511))


def test_non_type_errors_pass_unchanged():
    class Exploding:
        def __float__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        qarn_sr.Searcher(alpha=Exploding())
    with pytest.raises(ZeroDivisionError, match="^boom$"):
        tiny().find_function(XS, XS, l1_ratio=Exploding())


@pytest.mark.parametrize("call, message", [
    (lambda s: qarn_sr.Searcher(1, 2, 3, 4, 5, 6), "Searcher() takes at most 5 arguments (6 given)"),
    (lambda s: qarn_sr.Searcher(gamma=1), "'gamma' is an invalid keyword argument for Searcher()"),
    (lambda s: qarn_sr.Searcher(3, max_complexity=4),
     "argument for Searcher() given by name ('max_complexity') and position (1)"),
    (lambda s: s.find_function([1.0]), "find_function() missing required argument 'ys' (pos 2)"),
    (lambda s: s.find_function([1.0], [1.0], None, None, None),
     "find_function() takes at most 4 arguments (5 given)"),
    (lambda s: s.fit(XS, XS, inputs=XS), "argument for fit() given by name ('inputs') and position (1)"),
    (lambda s: s.find_candidates(ROWS, XS, beta=0.1),
     "'beta' is an invalid keyword argument for find_candidates()"),
    (lambda s: s.recognize_constant(), "recognize_constant() missing required argument 'value' (pos 1)"),
    (lambda s: s.find_multivariate(ys=1), "find_multivariate() missing required argument 'inputs' (pos 1)"),
    # Binding, then value/alpha/l1_ratio, then the data in argument order.
    (lambda s: s.find_function("a", "b", other=1), "'other' is an invalid keyword argument for find_function()"),
    (lambda s: s.find_function("a", "b", alpha="x"), "argument 'alpha': must be real number, not str"),
    (lambda s: s.find_multivariate("a", "b", l1_ratio="x"), "argument 'l1_ratio': must be real number, not str"),
    (lambda s: s.recognize_constant("3.14", alpha="x"), "argument 'value': must be real number, not str"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(tiny())
    assert str(info.value) == message


def test_data_conversion_order_and_nothing_searched(capfd):
    with pytest.raises(ValueError, match="^Input must be a 1D"):
        tiny().find_function("abc", XS[:2])
    with pytest.raises(ValueError, match="^Input must be a 2D"):
        tiny().find_multivariate(XS, "abc")
    with pytest.raises(ValueError, match="^Input must be a 1D"):
        tiny().fit(ROWS, "abc")
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("method", ["find_function", "find_multivariate", "fit", "find_candidates"])
def test_unequal_or_empty_data(method):
    search = getattr(tiny(alpha=0.25), method)
    shape = (lambda v: v) if method == "find_function" else (lambda v: [[x] for x in v])
    for xs, ys in [([1.0, 2.0, 3.0], [2.0, 4.0]), ([], []), ([1.0], [])]:
        with pytest.raises(qarn_sr.QarnDimensionError) as info:
            search(shape(xs), ys, alpha=3.0)
        assert info.value.args == ("Inputs and target vector must be non-empty and equal length.",)
    assert search.__self__.alpha == 0.25


def test_nothing_found():
    with pytest.raises(qarn_sr.QarnComplexityError) as info:
        tiny(max_complexity=3).find_function(XS, [math.nan] * len(XS))
    assert info.value.args == ("No formula found up to complexity 3",)


def test_search_methods(square, plus):
    assert (square.formula, square.complexity) == ("Square(v_{0})", 2) and square.error < 1e-10
    assert plus.formula == "Plus(v_{0}, v_{1})" and plus.error < 1e-10
    for result in (tiny().find_multivariate(ROWS, SQUARES), tiny().fit(ROWS, SQUARES)):
        assert (result.formula, result.error) == (square.formula, square.error)
    constant = tiny(max_complexity=3).recognize_constant(2.5)
    assert constant.error < 1e-10 and abs(constant.eval(0.0) - 2.5) < 1e-9


def test_find_candidates_front(capfd):
    front = tiny(max_complexity=3).find_candidates(ROWS, [x * x + 1.0 for x in XS])
    assert type(front) is list and len(front) >= 2
    assert all(type(r) is qarn_sr.SearchResult for r in front)
    errors, sizes = [r.error for r in front], [r.complexity for r in front]
    assert errors == sorted(set(errors)) and sizes == sorted(set(sizes), reverse=True)
    # No early stop: every level is built even though v_{0} fits exactly.
    capfd.readouterr()
    assert tiny(max_complexity=3).find_candidates(ROWS, XS)[-1].formula == "v_{0}"
    assert "Level 3 processed" in capfd.readouterr().out


def test_per_call_alpha():
    searcher = tiny(max_complexity=3)
    plain = searcher.recognize_constant(2.5)
    assert plain.error < 1e-10 < searcher.recognize_constant(2.5, alpha=1.0).error
    again = searcher.recognize_constant(2.5, alpha=None)
    assert (again.formula, again.error, searcher.alpha) == (plain.formula, plain.error, 0.0)
    penalised = tiny(max_complexity=3, alpha=1.0)
    assert penalised.recognize_constant(2.5, 0.0).error < 1e-10 < penalised.recognize_constant(2.5).error
