"""Searcher: constructor conversions, argument binding, the order of errors,
search errors as exceptions, and what each search method returns."""

import math

import pytest

import qarn_sr
from conftest import XS, tiny

DIMENSION_MESSAGE = "Inputs and target vector must be non-empty and equal length."
SEARCH_METHODS = ["find_function", "find_multivariate", "fit", "find_candidates"]


def settings(searcher):
    return (searcher.max_complexity, searcher.complexity_penalty, searcher.beam_width,
            searcher.alpha, searcher.l1_ratio)


class TestConstructor:
    def test_defaults_and_types(self):
        searcher = qarn_sr.Searcher()
        assert settings(searcher) == (10, 0.1, 1000, 0.0, 0.5)
        assert [type(v) for v in settings(searcher)] == [int, float, int, float, float]

    def test_positional_and_keyword(self):
        assert settings(qarn_sr.Searcher(5, 0.2)) == (5, 0.2, 1000, 0.0, 0.5)
        assert settings(qarn_sr.Searcher(beam_width=50)) == (10, 0.1, 50, 0.0, 0.5)
        assert settings(qarn_sr.Searcher(1, 2, 3, 4, 5)) == (1, 2.0, 3, 4.0, 5.0)

    def test_values_are_not_range_checked(self):
        searcher = qarn_sr.Searcher(0, -1.5, 0, -3.0, 7)
        assert settings(searcher) == (0, -1.5, 0, -3.0, 7.0)
        top = 2**64 - 1
        assert qarn_sr.Searcher(max_complexity=top, beam_width=top).beam_width == top
        assert math.isnan(qarn_sr.Searcher(alpha=float("nan")).alpha)
        assert qarn_sr.Searcher(complexity_penalty=float("inf")).complexity_penalty == math.inf

    def test_index_objects_and_float_convertibles(self):
        class Index:
            def __index__(self):
                return 7

        class Floaty:
            def __float__(self):
                return 0.25

        searcher = qarn_sr.Searcher(Index(), Floaty(), True, Index(), Floaty())
        assert settings(searcher) == (7, 0.25, 1, 7.0, 0.25)

    @pytest.mark.parametrize(
        "kwargs, exc, message",
        [
            ({"max_complexity": 2.5}, TypeError,
             "argument 'max_complexity': 'float' object cannot be interpreted as an integer"),
            ({"max_complexity": 10.0}, TypeError,
             "argument 'max_complexity': 'float' object cannot be interpreted as an integer"),
            ({"beam_width": "5"}, TypeError,
             "argument 'beam_width': 'str' object cannot be interpreted as an integer"),
            ({"complexity_penalty": None}, TypeError,
             "argument 'complexity_penalty': must be real number, not NoneType"),
            ({"alpha": "x"}, TypeError, "argument 'alpha': must be real number, not str"),
            ({"l1_ratio": [0.5]}, TypeError, "argument 'l1_ratio': must be real number, not list"),
            ({"max_complexity": -1}, OverflowError, "can't convert negative int to unsigned"),
            ({"beam_width": 2**64}, OverflowError, "int too big to convert"),
            ({"alpha": 10**400}, OverflowError, "int too large to convert to float"),
        ],
    )
    def test_conversion_errors(self, kwargs, exc, message):
        with pytest.raises(exc) as info:
            qarn_sr.Searcher(**kwargs)
        assert type(info.value) is exc
        assert str(info.value) == message

    def test_first_failing_conversion_wins(self):
        # max_complexity is converted before alpha, beam_width before alpha.
        with pytest.raises(TypeError, match="^argument 'max_complexity'"):
            qarn_sr.Searcher(alpha="x", max_complexity="y")
        with pytest.raises(OverflowError):
            qarn_sr.Searcher(beam_width=-5, alpha="x")
        with pytest.raises(TypeError, match="^argument 'complexity_penalty'"):
            qarn_sr.Searcher(l1_ratio="x", beam_width="x", complexity_penalty="x")

    def test_errors_other_than_type_errors_pass_unchanged(self):
        class Exploding:
            def __float__(self):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError, match="^boom$"):
            qarn_sr.Searcher(alpha=Exploding())


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: qarn_sr.Searcher(1, 2, 3, 4, 5, 6), "Searcher() takes at most 5 arguments (6 given)"),
            (lambda: qarn_sr.Searcher(gamma=1), "'gamma' is an invalid keyword argument for Searcher()"),
            (lambda: qarn_sr.Searcher(3, max_complexity=4),
             "argument for Searcher() given by name ('max_complexity') and position (1)"),
            (lambda: tiny().find_function([1.0]), "find_function() missing required argument 'ys' (pos 2)"),
            (lambda: tiny().find_function(ys=[1.0]), "find_function() missing required argument 'xs' (pos 1)"),
            (lambda: tiny().find_function([1.0], [1.0], None, None, None),
             "find_function() takes at most 4 arguments (5 given)"),
            (lambda: tiny().fit([[1.0]], [1.0], inputs=[[1.0]]),
             "argument for fit() given by name ('inputs') and position (1)"),
            (lambda: tiny().find_candidates([[1.0]], [1.0], beta=0.1),
             "'beta' is an invalid keyword argument for find_candidates()"),
            (lambda: tiny().recognize_constant(), "recognize_constant() missing required argument 'value' (pos 1)"),
            (lambda: tiny().find_multivariate(), "find_multivariate() missing required argument 'inputs' (pos 1)"),
        ],
    )
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_every_argument_by_keyword(self):
        result = tiny(max_complexity=2).find_multivariate(
            l1_ratio=0.5, alpha=None, ys=XS, inputs=[[x] for x in XS])
        assert result.formula == "v_{0}"
        result = tiny(max_complexity=2).find_function(ys=XS, xs=XS)
        assert result.formula == "v_{0}"

    def test_binding_errors_come_before_conversions(self):
        # Bad data and a surplus keyword: the keyword is reported.
        with pytest.raises(TypeError, match="invalid keyword"):
            tiny().find_function("abc", "abc", other=1)


class TestErrorOrder:
    def test_overrides_before_data(self):
        with pytest.raises(TypeError, match="^argument 'alpha': must be real number, not str$"):
            tiny().find_function([0, 1, 2], [1, 2, 3], alpha="x")
        with pytest.raises(TypeError, match="^argument 'alpha'"):
            tiny().find_function("abc", [1, 2, 3], alpha="x")
        with pytest.raises(TypeError, match="^argument 'l1_ratio'"):
            tiny().find_multivariate("abc", "abc", l1_ratio="x")

    def test_value_before_overrides(self):
        with pytest.raises(TypeError, match="^argument 'value': must be real number, not str$"):
            tiny().recognize_constant("3.14", alpha="x")
        with pytest.raises(TypeError, match="^argument 'alpha'"):
            tiny().recognize_constant(3.14, alpha="x")

    def test_first_data_argument_before_ys(self):
        with pytest.raises(ValueError, match="^Input must be a 1D"):
            tiny().find_function("abc", "abc")
        with pytest.raises(ValueError, match="^Input must be a 2D"):
            tiny().find_multivariate([1, 2, 3], "abc")
        with pytest.raises(ValueError, match="^Input must be a 1D"):
            tiny().find_multivariate([[1], [2]], "abc")

    def test_data_errors_before_the_search(self, capfd):
        with pytest.raises(ValueError):
            tiny().find_function([1.0, 2.0], [1.0, "x"])
        assert capfd.readouterr().out == ""


class TestSearchErrors:
    @pytest.mark.parametrize("method", SEARCH_METHODS)
    def test_unequal_and_empty_data(self, method):
        searcher = tiny()
        search = getattr(searcher, method)
        wrap = (lambda v: v) if method == "find_function" else (lambda v: [[x] for x in v])
        for xs, ys in [([1.0, 2.0, 3.0], [2.0, 4.0]), ([], []), ([1.0], [])]:
            with pytest.raises(qarn_sr.QarnDimensionError) as info:
                search(wrap(xs), ys)
            assert info.value.args == (DIMENSION_MESSAGE,)

    def test_nothing_found_names_max_complexity(self):
        nan_targets = [math.nan] * len(XS)
        with pytest.raises(qarn_sr.QarnComplexityError) as info:
            tiny(max_complexity=3).find_function(XS, nan_targets)
        assert info.value.args == ("No formula found up to complexity 3",)
        with pytest.raises(qarn_sr.QarnComplexityError, match="^No formula found up to complexity 0$"):
            tiny(max_complexity=0).find_function(XS, XS)

    def test_failed_call_leaves_the_searcher_unchanged(self):
        searcher = tiny(alpha=0.25)
        before = settings(searcher)
        with pytest.raises(qarn_sr.QarnDimensionError):
            searcher.find_function([1.0], [], alpha=3.0, l1_ratio=0.0)
        assert settings(searcher) == before


class TestSearches:
    def test_find_function_square(self, square):
        assert square.formula == "Square(v_{0})"
        assert square.error < 1e-10
        assert square.complexity == 2

    def test_multivariate_alias_and_one_variable_rows(self):
        rows = [[x] for x in XS]
        ys = [x * x for x in XS]
        by_rows = tiny().find_multivariate(rows, ys)
        by_fit = tiny().fit(rows, ys)
        by_function = tiny().find_function(XS, ys)
        assert by_rows.formula == by_fit.formula == by_function.formula == "Square(v_{0})"
        assert by_rows.error == by_fit.error == by_function.error

    def test_two_variables(self, sum_of_inputs):
        assert sum_of_inputs.formula == "Plus(v_{0}, v_{1})"
        assert sum_of_inputs.error < 1e-10

    def test_find_candidates_is_a_pareto_front(self):
        ys = [x * x + 1.0 for x in XS]
        front = tiny(max_complexity=3).find_candidates([[x] for x in XS], ys)
        assert type(front) is list and len(front) >= 2
        assert all(type(r) is qarn_sr.SearchResult for r in front)
        errors = [r.error for r in front]
        complexities = [r.complexity for r in front]
        assert errors == sorted(errors) and len(set(errors)) == len(errors)
        assert complexities == sorted(complexities, reverse=True)
        assert len(set(complexities)) == len(complexities)

    def test_find_candidates_does_not_stop_early(self, capfd):
        front = tiny(max_complexity=3).find_candidates([[x] for x in XS], XS)
        assert "Level 3 processed" in capfd.readouterr().out
        assert front[-1].formula == "v_{0}"
        single = tiny(max_complexity=3).find_multivariate([[x] for x in XS], XS)
        assert single.formula == "v_{0}"
        assert capfd.readouterr().out == ""

    def test_recognize_constant(self):
        result = tiny(max_complexity=3).recognize_constant(2.5)
        assert result.error < 1e-10
        assert result.eval(0.0) == pytest.approx(2.5, abs=1e-9)

    def test_alpha_override_holds_for_one_call(self):
        searcher = tiny(max_complexity=3)
        plain = searcher.recognize_constant(2.5)
        penalised = searcher.recognize_constant(2.5, alpha=1.0)
        assert plain.error < 1e-10 < penalised.error
        assert searcher.alpha == 0.0
        again = searcher.recognize_constant(2.5, alpha=None)
        assert (again.formula, again.error) == (plain.formula, plain.error)

    def test_override_back_to_zero(self):
        searcher = tiny(max_complexity=3, alpha=1.0)
        assert searcher.recognize_constant(2.5).error > 1e-10
        assert searcher.recognize_constant(2.5, 0.0).error < 1e-10
        assert searcher.alpha == 1.0

    def test_same_search_twice_gives_the_same_result(self):
        ys = [math.sin(x) + x for x in XS]
        first = tiny(max_complexity=4).find_function(XS, ys)
        second = tiny(max_complexity=4).find_function(XS, ys)
        assert (first.formula, first.error, first.to_python()) == (
            second.formula, second.error, second.to_python())
