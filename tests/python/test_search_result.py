"""SearchResult: attributes, representation, rendering and evaluation."""

import copy
import copyreg
import gc
import math
import pickle
import re
import struct
import subprocess
import sys

import pytest

import qarn_sr
from conftest import XS, tiny

EVAL_ERROR = "^Input must be a float or a 1D list/array$"


def test_attributes_and_repr(square, plus):
    assert (type(square.formula), type(square.error), type(square.complexity)) == (str, float, int)
    assert square.formula == square.formula and square.formula is not square.formula
    assert repr(square) == str(square) == (
        "SearchResult(formula='Square(v_{0})', error=0.000000, complexity=2)")
    assert re.fullmatch(r"SearchResult\(formula='Plus\(v_\{0\}, v_\{1\}\)', error=\d+\.\d{6}, "
                        r"complexity=3\)", repr(plus))


def test_repr_error_has_six_decimals_and_no_exponent():
    result = tiny(max_complexity=1).find_function(XS, [1e3 * x**5 for x in XS])
    printed = repr(result).split("error=")[1].split(",")[0]
    assert re.fullmatch(r"\d+\.\d{6}", printed) and abs(float(printed) - result.error) <= 5e-7


def test_rendering(square):
    assert (square.to_latex(), square.to_python()) == ("{v_{0}}^2", "(v_{0})**2")
    shifted = tiny(max_complexity=3).find_function(XS, [x + 1.25 for x in XS])
    assert shifted.formula in ("Plus(C, v_{0})", "Plus(v_{0}, C)")
    assert "1.2500" in shifted.to_python() and "1.2500" in shifted.to_latex()


def test_eval_forms(square, plus):
    np = pytest.importorskip("numpy")
    for x in (2.0, 2, [2.0], (2,), np.float32(2.0), np.array(2.0), np.array([2.0]),
              np.array([2], dtype=np.int8)):
        assert square.eval(x) == 4.0
    assert square.eval(x=3.0) == 9.0 and square.eval_batch([[2.0]]) == [4.0]
    # A list is one point with several variables, not several points.
    assert math.isnan(plus.eval(2.0)) and math.isnan(plus.eval([]))
    assert plus.eval([2.0, 3.0]) == 5.0 == plus.eval([2.0, 3.0, 99.0])


def test_real_part_and_failing_points():
    root = tiny(max_complexity=2).find_function(XS, [math.sqrt(x) for x in XS])
    assert root.formula == "Sqrt(v_{0})"
    assert (root.eval(-4.0), root.eval(4.0)) == (0.0, 2.0)
    square = tiny().find_function(XS, [x * x for x in XS])
    values = square.eval_batch([[1.0], [math.nan], [-3.0], [], [2.0, 7.0], [1e300]])
    assert [v for i, v in enumerate(values) if i in (0, 2, 4)] == [1.0, 9.0, 4.0]
    assert all(math.isnan(values[i]) for i in (1, 3, 5))


@pytest.mark.parametrize("bad", ["2.0", None, [1.0, "x"], {"x": 1.0}, [[1.0]], object()])
def test_eval_errors(square, bad):
    with pytest.raises(ValueError, match=EVAL_ERROR):
        square.eval(bad)


def test_batch_and_binding(square, plus):
    rows = [[float(i), 0.5 * i] for i in range(50)]
    assert plus.predict(rows) == plus.eval_batch(inputs=rows) == [plus.eval(r) for r in rows]
    with pytest.raises(ValueError, match="^Input must be a 2D list or 2D NumPy array of floats$"):
        square.eval_batch([1.0, 2.0])
    for call, message in [(square.eval, r"eval\(\) missing required argument 'x' \(pos 1\)"),
                          (lambda: square.eval(1.0, 2.0), r"eval\(\) takes at most 1 argument \(2 given\)"),
                          (lambda: square.eval(y=1.0), r"eval\(\) missing required argument 'x'"),
                          (square.predict, r"predict\(\) missing required argument 'inputs'"),
                          (lambda: square.to_latex(1), "takes no arguments")]:
        with pytest.raises(TypeError, match=message):
            call()


def test_results_outlive_the_search_and_each_other():
    front = tiny(max_complexity=3).find_candidates([[x] for x in XS], [x * x + 1 for x in XS])
    last = front[-1]
    del front
    gc.collect()
    assert last.to_python() and last.eval_batch([[1.0]]) == [last.eval(1.0)]


def observed(result):
    """Everything a result shows, floats as bits (NaN included)."""
    points = [0.0, -1.5, 0.75, 2.0, 1e-3, 7.25]
    bits = lambda v: struct.pack("<d", v)
    return (result.formula, bits(result.error), result.complexity, repr(result), result.to_latex(),
            result.to_python(), [bits(result.eval(x)) for x in points],
            [bits(v) for v in result.eval_batch([[x, 1.0 - x] for x in points])])


@pytest.fixture(scope="module")
def various(square, plus):
    """Results with fitted constants, named constants and several variables."""
    fitted = tiny(max_complexity=4).find_candidates([[x] for x in XS], [2.3 * x * x + 1.1 for x in XS])
    return [square, plus, *fitted, tiny(max_complexity=3).recognize_constant(math.pi + 1.0)]


def test_results_pickle_and_copy_under_every_protocol(various):
    copies = [pickle.loads(pickle.dumps(r, protocol)) for r in various
              for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    copies += [copy.copy(r) for r in various] + [copy.deepcopy(r) for r in various]
    originals = [r for r in various for _ in range(pickle.HIGHEST_PROTOCOL + 1)] + various + various
    assert all(type(c) is qarn_sr.SearchResult for c in copies)
    assert [observed(c) for c in copies] == [observed(r) for r in originals]
    assert [observed(c) for c in copy.deepcopy(various)] == [observed(r) for r in various]


def test_pickled_result_loads_in_a_fresh_interpreter(various):
    code = ("import pickle, struct, sys\n"
            "r = pickle.load(sys.stdin.buffer)\n"
            "sys.stdout.write(repr((r.formula, struct.pack('<d', r.eval(1.25)), r.to_python())))\n")
    for result in various[:3]:
        done = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(result, 0),
                              capture_output=True, check=True, timeout=120)
        assert done.stdout.decode() == repr(
            (result.formula, struct.pack("<d", result.eval(1.25)), result.to_python()))


def test_pickling_refuses_a_malformed_state(square):
    """The state format and its checks are shared with the private module,
    whose tests go through the malformed cases."""
    rebuild, (state,) = copyreg.dispatch_table[qarn_sr.SearchResult](square)
    version, text, loss, tokens = state
    assert rebuild == getattr(qarn_sr.SearchResult, "_from_state")
    assert observed(rebuild((version, text, loss, tokens))) == observed(square)
    for state in [None, (version, text, loss, tokens[1:]), (version + 1, text, loss, tokens)]:
        with pytest.raises(ValueError, match="^argument 'state': not the state of a SearchResult$"):
            rebuild(state)


def run_python_text(result, x):
    """The value of the result's to_python() text at v_{0} = x, as a user runs it."""
    np = pytest.importorskip("numpy")
    return float(eval(result.to_python().replace("v_{0}", "x"), {"np": np, "x": x}))


def test_python_text_computes_what_eval_computes():
    tiny_slope = tiny(max_complexity=3).find_function(XS, [1.23456e-5 * x for x in XS])
    assert tiny_slope.formula in ("Times(C, v_{0})", "Times(v_{0}, C)")
    assert "e-05" in tiny_slope.to_python() and "0.0000" in tiny_slope.to_latex()
    shifted = tiny(max_complexity=3).find_function(XS, [x + 0.0012345 for x in XS])
    assert shifted.formula in ("Plus(C, v_{0})", "Plus(v_{0}, C)")
    for result in (tiny_slope, shifted):
        for x in XS:
            assert run_python_text(result, x) == pytest.approx(result.eval(x), rel=1e-12, abs=0)
    # Where four decimals keep the constant, the text keeps them.
    assert "1.2500" in tiny(max_complexity=3).find_function(XS, [x + 1.25 for x in XS]).to_python()
