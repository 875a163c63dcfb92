"""What importing the module exposes: names, docstrings, signatures,
read-only attributes and the exception classes."""

import importlib
import inspect
import os
import subprocess
import sys

import pytest

import qarn_sr
from conftest import tiny

SEARCHER_METHODS = {
    "find_function": (
        "(self, /, xs, ys, alpha=None, l1_ratio=None)",
        "Finds a univariate function f(x) \u2248 y.\nSupports both Python lists and NumPy arrays.",
    ),
    "find_multivariate": (
        "(self, /, inputs, ys, alpha=None, l1_ratio=None)",
        "Finds a multivariate function f(x0, x1, ...) \u2248 y.\n"
        "Inputs should be a 2D array-like structure.",
    ),
    "fit": (
        "(self, /, inputs, ys, alpha=None, l1_ratio=None)",
        "Alias for find_multivariate (Scikit-Learn style).",
    ),
    "find_candidates": (
        "(self, /, inputs, ys, alpha=None, l1_ratio=None)",
        "Returns the Pareto-front of all candidate formulas found.",
    ),
    "recognize_constant": (
        "(self, /, value, alpha=None, l1_ratio=None)",
        "Identifies a closed-form expression for a scalar constant.",
    ),
}

RESULT_METHODS = {
    "to_latex": ("(self, /)", "Returns the formula in LaTeX format for academic reporting."),
    "to_python": ("(self, /)", "Returns the formula in Python/NumPy format for immediate use."),
    "eval": (
        "(self, /, x)",
        "Evaluates the discovered formula for a given input (float or list/array).",
    ),
    "eval_batch": (
        "(self, /, inputs)",
        "Evaluates the formula for a batch of inputs (list of lists or 2D array).",
    ),
    "predict": ("(self, /, inputs)", "Alias for eval_batch (Scikit-Learn style)."),
}


def _names_of_kind(cls, kind):
    return [name for name, value in vars(cls).items() if type(value).__name__ == kind]


def test_module_docstring_and_attribute_order():
    assert qarn_sr.__doc__ == "The main Python module entry point."
    public = [name for name in vars(qarn_sr) if not name.startswith("__")]
    assert public == [
        "Searcher",
        "SearchResult",
        "QarnDimensionError",
        "QarnComplexityError",
        "QarnRuntimeError",
    ]


def test_class_docstrings_and_constructor_signature():
    assert qarn_sr.Searcher.__doc__ == "The core QARN-SR search engine exposed to Python."
    assert qarn_sr.SearchResult.__doc__ == "A high-performance symbolic regression result."
    assert str(inspect.signature(qarn_sr.Searcher)) == (
        "(max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, l1_ratio=0.5)"
    )


@pytest.mark.parametrize(
    "cls, table",
    [(qarn_sr.Searcher, SEARCHER_METHODS), (qarn_sr.SearchResult, RESULT_METHODS)],
)
def test_method_signatures_and_docstrings(cls, table):
    assert _names_of_kind(cls, "method_descriptor") == list(table)
    for name, (signature, doc) in table.items():
        method = getattr(cls, name)
        assert str(inspect.signature(method)) == signature, name
        assert method.__doc__ == doc, name


def test_attribute_order_and_docstrings():
    searcher_attrs = _names_of_kind(qarn_sr.Searcher, "getset_descriptor")
    assert searcher_attrs == ["max_complexity", "beam_width", "complexity_penalty", "alpha", "l1_ratio"]
    for name in searcher_attrs:
        assert getattr(qarn_sr.Searcher, name).__doc__ is None
    result_attrs = _names_of_kind(qarn_sr.SearchResult, "getset_descriptor")
    assert result_attrs == ["formula", "error", "complexity"]
    docs = [getattr(qarn_sr.SearchResult, n).__doc__ for n in result_attrs]
    assert docs == [
        "The discovered mathematical formula as a string.",
        "The residual error (Mean Squared Error) of the formula.",
        "The structural complexity of the formula.",
    ]


def test_attributes_are_read_only(square):
    searcher = qarn_sr.Searcher()
    for name in ["max_complexity", "beam_width", "complexity_penalty", "alpha", "l1_ratio", "other"]:
        with pytest.raises(AttributeError):
            setattr(searcher, name, 1)
    for name in ["formula", "error", "complexity", "other"]:
        with pytest.raises(AttributeError):
            setattr(square, name, 1)
    with pytest.raises(AttributeError):
        del searcher.alpha
    assert searcher.alpha == 0.0


def test_search_result_cannot_be_constructed():
    with pytest.raises(TypeError):
        qarn_sr.SearchResult()
    with pytest.raises(TypeError):
        qarn_sr.SearchResult.__new__(qarn_sr.SearchResult)


@pytest.mark.parametrize(
    "name", ["QarnDimensionError", "QarnComplexityError", "QarnRuntimeError"]
)
def test_exception_classes(name):
    cls = getattr(qarn_sr, name)
    assert cls.__bases__ == (Exception,)
    assert cls.__module__ == "qarn_sr"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None


def test_raised_exception_is_the_exported_class():
    with pytest.raises(qarn_sr.QarnDimensionError) as info:
        tiny().find_function([1.0, 2.0, 3.0], [2.0, 4.0])
    assert type(info.value) is qarn_sr.QarnDimensionError
    assert info.value.args == ("Inputs and target vector must be non-empty and equal length.",)


def test_reimport_yields_the_same_classes():
    old = sys.modules.pop("qarn_sr")
    try:
        fresh = importlib.import_module("qarn_sr")
        assert fresh is not old
        for name in ["Searcher", "SearchResult", "QarnDimensionError", "QarnComplexityError", "QarnRuntimeError"]:
            assert getattr(fresh, name) is getattr(old, name)
    finally:
        sys.modules["qarn_sr"] = old


def _subinterpreters():
    for name in ("_xxsubinterpreters", "_interpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.skip("no sub-interpreter support in this Python")


def test_import_in_sub_interpreter_fails_with_import_error():
    interpreters = _subinterpreters()
    read_fd, write_fd = os.pipe()
    code = (
        "import os\n"
        "try:\n"
        "    import qarn_sr\n"
        "    outcome = b'imported'\n"
        "except ImportError:\n"
        "    outcome = b'ImportError'\n"
        f"os.write({write_fd}, outcome)\n"
    )
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
        os.close(write_fd)
    with os.fdopen(read_fd, "rb") as pipe:
        assert pipe.read() == b"ImportError"
    # The main interpreter's module is untouched.
    assert qarn_sr.Searcher().max_complexity == 10


def test_lists_work_without_importing_numpy():
    code = (
        "import sys, qarn_sr\n"
        "r = qarn_sr.Searcher(max_complexity=2).find_function([1.0, 2.0], [1.0, 2.0])\n"
        "assert r.eval_batch([[3.0]]) == [3.0]\n"
        "assert 'numpy' not in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, timeout=120)
