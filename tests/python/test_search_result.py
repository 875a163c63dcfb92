"""SearchResult: attributes, representation, rendering and evaluation."""

import math
import re

import pytest

import qarn_sr
from conftest import XS, tiny

EVAL_ERROR = "Input must be a float or a 1D list/array"
ROWS_ERROR = "Input must be a 2D list or 2D NumPy array of floats"


class TestAttributes:
    def test_values_and_types(self, square):
        assert (square.formula, square.complexity) == ("Square(v_{0})", 2)
        assert type(square.formula) is str
        assert type(square.error) is float
        assert type(square.complexity) is int

    def test_formula_is_a_fresh_string_each_time(self, square):
        first, second = square.formula, square.formula
        assert first == second
        assert first is not second


class TestRepr:
    def test_format(self, square, sum_of_inputs):
        assert repr(square) == "SearchResult(formula='Square(v_{0})', error=0.000000, complexity=2)"
        assert str(square) == repr(square)
        assert re.fullmatch(
            r"SearchResult\(formula='Plus\(v_\{0\}, v_\{1\}\)', error=\d+\.\d{6}, complexity=3\)",
            repr(sum_of_inputs))

    def test_error_printed_with_six_decimals_and_no_exponent(self):
        ys = [1e3 * x**5 + 7.0 for x in XS]
        result = tiny(max_complexity=1).find_function(XS, ys)
        text = repr(result)
        printed = text.split("error=")[1].split(",")[0]
        assert re.fullmatch(r"\d+\.\d{6}", printed)
        assert float(printed) == pytest.approx(result.error, abs=5e-7)


class TestRendering:
    def test_square(self, square):
        assert square.to_latex() == "{v_{0}}^2"
        assert square.to_python() == "(v_{0})**2"

    def test_fitted_parameter_prints_with_four_decimals(self):
        result = tiny(max_complexity=3).find_function(XS, [x + 1.25 for x in XS])
        assert result.formula in ("Plus(C, v_{0})", "Plus(v_{0}, C)")
        assert "1.2500" in result.to_python()
        assert "1.2500" in result.to_latex()

    def test_rendered_python_evaluates_like_eval(self, sum_of_inputs):
        np = pytest.importorskip("numpy")
        source = sum_of_inputs.to_python()
        expression = source.replace("v_{0}", "a").replace("v_{1}", "b")
        assert eval(expression, {"np": np, "a": 2.0, "b": 0.5}) == sum_of_inputs.eval([2.0, 0.5])  # noqa: S307


class TestEval:
    def test_scalar_and_list_forms_agree(self, square):
        assert square.eval(2.0) == 4.0
        assert square.eval(2) == 4.0
        assert square.eval([2.0]) == 4.0
        assert square.eval((2,)) == 4.0
        assert square.eval_batch([[2.0]]) == [4.0]

    def test_numpy_inputs(self, square):
        np = pytest.importorskip("numpy")
        assert square.eval(np.float64(3.0)) == 9.0
        assert square.eval(np.float32(3.0)) == 9.0
        assert square.eval(np.array(3.0)) == 9.0
        assert square.eval(np.array([3.0])) == 9.0
        assert square.eval(np.array([3], dtype=np.int8)) == 9.0

    def test_list_is_one_point_with_several_variables(self, sum_of_inputs):
        assert math.isnan(sum_of_inputs.eval(2.0))
        assert sum_of_inputs.eval([2.0, 3.0]) == 5.0
        assert sum_of_inputs.eval([2.0, 3.0, 99.0]) == 5.0
        assert math.isnan(sum_of_inputs.eval([]))

    def test_imaginary_part_is_dropped(self):
        result = tiny(max_complexity=2).find_function(XS, [math.sqrt(x) for x in XS])
        assert result.formula == "Sqrt(v_{0})"
        assert result.eval(-4.0) == 0.0
        assert result.eval(4.0) == 2.0

    def test_failing_points_give_nan(self, square):
        assert math.isnan(square.eval(math.nan))
        assert math.isnan(square.eval(1e300))  # the square overflows the evaluator's bound
        assert square.eval(-1e7) == 1e14

    @pytest.mark.parametrize(
        "bad", ["2.0", None, [1.0, "x"], {"x": 1.0}, [[1.0]], object()],
        ids=["str", "None", "str-item", "dict", "nested", "object"])
    def test_unconvertible_inputs(self, square, bad):
        with pytest.raises(ValueError) as info:
            square.eval(bad)
        assert str(info.value) == EVAL_ERROR

    def test_strided_array_becomes_the_eval_error(self, square):
        np = pytest.importorskip("numpy")
        with pytest.raises(ValueError, match=f"^{re.escape(EVAL_ERROR)}$"):
            square.eval(np.arange(6.0)[::2])

    def test_binding(self, square):
        assert square.eval(x=3.0) == 9.0
        with pytest.raises(TypeError, match=r"^eval\(\) missing required argument 'x' \(pos 1\)$"):
            square.eval()
        with pytest.raises(TypeError, match=r"^eval\(\) takes at most 1 argument \(2 given\)$"):
            square.eval(1.0, 2.0)
        # As for built-ins, a missing argument is reported before an unknown one.
        with pytest.raises(TypeError, match=r"^eval\(\) missing required argument 'x'"):
            square.eval(y=1.0)
        with pytest.raises(TypeError):
            square.to_latex(1)
        with pytest.raises(TypeError):
            square.to_python(x=1)


class TestEvalBatch:
    def test_rows_in_order_with_nan_for_failures(self, square):
        values = square.eval_batch([[1.0], [math.nan], [-3.0], [], [2.0, 7.0]])
        assert values[0] == 1.0 and values[2] == 9.0 and values[4] == 4.0
        assert math.isnan(values[1]) and math.isnan(values[3])

    def test_predict_equals_eval_batch(self, sum_of_inputs):
        rows = [[float(i), 0.5 * i] for i in range(50)]
        assert sum_of_inputs.predict(rows) == sum_of_inputs.eval_batch(rows)
        assert sum_of_inputs.predict(inputs=rows) == sum_of_inputs.eval_batch(inputs=rows)

    def test_matches_eval_point_by_point(self):
        ys = [math.sin(x) * x for x in XS]
        result = tiny(max_complexity=4).find_function(XS, ys)
        points = [0.1 * i - 3.0 for i in range(61)]
        assert result.eval_batch([[p] for p in points]) == [result.eval(p) for p in points]

    def test_errors(self, square):
        with pytest.raises(ValueError, match=f"^{ROWS_ERROR}$"):
            square.eval_batch([1.0, 2.0])
        with pytest.raises(ValueError, match=f"^{ROWS_ERROR}$"):
            square.predict("ab")
        assert square.eval_batch([]) == []
        with pytest.raises(TypeError, match=r"^predict\(\) missing required argument 'inputs'"):
            square.predict()


def test_result_outlives_its_searcher():
    results = tiny(max_complexity=3).find_candidates([[x] for x in XS], [x * x + 1 for x in XS])
    import gc

    gc.collect()
    first = results[0]
    del results
    gc.collect()
    assert isinstance(first.to_python(), str)
    assert first.eval_batch([[1.0]]) == [first.eval(1.0)]
