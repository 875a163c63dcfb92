"""What the import exposes: names, docstrings, signatures, read-only
attributes, exception classes, and where the module may be imported."""

import importlib
import inspect
import os
import subprocess
import sys

import pytest

import qarn_sr

A = "(self, /, inputs, ys, alpha=None, l1_ratio=None)"
METHODS = {
    qarn_sr.Searcher: [
        ("find_function", "(self, /, xs, ys, alpha=None, l1_ratio=None)",
         "Finds a univariate function f(x) \u2248 y.\nSupports both Python lists and NumPy arrays."),
        ("find_multivariate", A, "Finds a multivariate function f(x0, x1, ...) \u2248 y.\n"
         "Inputs should be a 2D array-like structure."),
        ("fit", A, "Alias for find_multivariate (Scikit-Learn style)."),
        ("find_candidates", A, "Returns the Pareto-front of all candidate formulas found."),
        ("recognize_constant", "(self, /, value, alpha=None, l1_ratio=None)",
         "Identifies a closed-form expression for a scalar constant."),
    ],
    qarn_sr.SearchResult: [
        ("to_latex", "(self, /)", "Returns the formula in LaTeX format for academic reporting."),
        ("to_python", "(self, /)", "Returns the formula in Python/NumPy format for immediate use."),
        ("eval", "(self, /, x)",
         "Evaluates the discovered formula for a given input (float or list/array)."),
        ("eval_batch", "(self, /, inputs)",
         "Evaluates the formula for a batch of inputs (list of lists or 2D array)."),
        ("predict", "(self, /, inputs)", "Alias for eval_batch (Scikit-Learn style)."),
    ],
}
ATTRIBUTES = {
    qarn_sr.Searcher: [(n, None) for n in
                       ["max_complexity", "beam_width", "complexity_penalty", "alpha", "l1_ratio"]],
    qarn_sr.SearchResult: [
        ("formula", "The discovered mathematical formula as a string."),
        ("error", "The residual error (Mean Squared Error) of the formula."),
        ("complexity", "The structural complexity of the formula."),
    ],
}


def of_kind(cls, kind):
    return [name for name, value in vars(cls).items() if type(value).__name__ == kind]


def test_module_and_class_texts():
    assert qarn_sr.__doc__ == "The main Python module entry point."
    assert [n for n in vars(qarn_sr) if not n.startswith("__")] == [
        "Searcher", "SearchResult", "QarnDimensionError", "QarnComplexityError", "QarnRuntimeError"]
    assert qarn_sr.Searcher.__doc__ == "The core QARN-SR search engine exposed to Python."
    assert qarn_sr.SearchResult.__doc__ == "A high-performance symbolic regression result."
    assert str(inspect.signature(qarn_sr.Searcher)) == (
        "(max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, l1_ratio=0.5)")


@pytest.mark.parametrize("cls", [qarn_sr.Searcher, qarn_sr.SearchResult])
def test_methods_and_attributes_in_order(cls):
    assert of_kind(cls, "method_descriptor") == [name for name, _, _ in METHODS[cls]]
    for name, signature, doc in METHODS[cls]:
        assert (str(inspect.signature(getattr(cls, name))), getattr(cls, name).__doc__) == (signature, doc)
    assert of_kind(cls, "getset_descriptor") == [name for name, _ in ATTRIBUTES[cls]]
    assert [getattr(cls, name).__doc__ for name, _ in ATTRIBUTES[cls]] == [d for _, d in ATTRIBUTES[cls]]


def test_instances_are_read_only_and_results_not_constructible(square):
    for obj, cls in ((qarn_sr.Searcher(), qarn_sr.Searcher), (square, qarn_sr.SearchResult)):
        for name in [n for n, _ in ATTRIBUTES[cls]] + ["other"]:
            with pytest.raises(AttributeError):
                setattr(obj, name, 1)
            with pytest.raises(AttributeError):
                delattr(obj, name)
    with pytest.raises(TypeError):
        qarn_sr.SearchResult()


@pytest.mark.parametrize("name", ["QarnDimensionError", "QarnComplexityError", "QarnRuntimeError"])
def test_exception_classes(name):
    cls = getattr(qarn_sr, name)
    assert (cls.__bases__, cls.__module__, cls.__qualname__, cls.__doc__) == (
        (Exception,), "qarn_sr", name, None)


def test_reimport_yields_the_same_classes():
    old = sys.modules.pop("qarn_sr")
    try:
        fresh = importlib.import_module("qarn_sr")
        assert fresh is not old
        assert all(getattr(fresh, n) is getattr(old, n) for n in dir(old) if not n.startswith("__"))
    finally:
        sys.modules["qarn_sr"] = old


def test_sub_interpreter_import_fails_with_import_error():
    try:
        interpreters = importlib.import_module("_xxsubinterpreters")
    except ImportError:
        pytest.skip("no sub-interpreter support")
    read_fd, write_fd = os.pipe()
    code = ("import os\ntry:\n    import qarn_sr\n    r = b'imported'\n"
            f"except ImportError:\n    r = b'ImportError'\nos.write({write_fd}, r)\n")
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
        os.close(write_fd)
    with os.fdopen(read_fd, "rb") as pipe:
        assert pipe.read() == b"ImportError"


def test_lists_work_without_numpy_being_imported():
    code = ("import sys, qarn_sr\n"
            "r = qarn_sr.Searcher(max_complexity=2).find_function([1.0, 2.0], [1.0, 2.0])\n"
            "assert r.eval_batch([[3.0]]) == [3.0] and 'numpy' not in sys.modules\n")
    subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, timeout=120)
