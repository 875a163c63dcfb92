"""The main Python module entry point."""

from typing import Any, Sequence, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

# Anything the float conversion accepts: floats, ints, NumPy scalars, objects
# with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex
# One-dimensional data: a sequence of numbers (not a str) or a 1-D array.
_Vector = Sequence[_Float] | npt.NDArray[Any]
# Two-dimensional, sample-major data: a sequence of rows or a 2-D array.
_Rows = Sequence[Sequence[_Float]] | npt.NDArray[Any]

@final
class Searcher:
    """The core QARN-SR search engine exposed to Python."""

    def __new__(
        cls,
        max_complexity: SupportsIndex = 10,
        complexity_penalty: _Float = 0.1,
        beam_width: SupportsIndex = 1000,
        alpha: _Float = 0.0,
        l1_ratio: _Float = 0.5,
    ) -> Searcher: ...
    @property
    def max_complexity(self) -> int: ...
    @property
    def beam_width(self) -> int: ...
    @property
    def complexity_penalty(self) -> float: ...
    @property
    def alpha(self) -> float: ...
    @property
    def l1_ratio(self) -> float: ...
    def find_function(
        self,
        xs: _Vector,
        ys: _Vector,
        alpha: _Float | None = None,
        l1_ratio: _Float | None = None,
    ) -> SearchResult:
        """Finds a univariate function f(x) ≈ y.
        Supports both Python lists and NumPy arrays."""
    def find_multivariate(
        self,
        inputs: _Rows,
        ys: _Vector,
        alpha: _Float | None = None,
        l1_ratio: _Float | None = None,
    ) -> SearchResult:
        """Finds a multivariate function f(x0, x1, ...) ≈ y.
        Inputs should be a 2D array-like structure."""
    def fit(
        self,
        inputs: _Rows,
        ys: _Vector,
        alpha: _Float | None = None,
        l1_ratio: _Float | None = None,
    ) -> SearchResult:
        """Alias for find_multivariate (Scikit-Learn style)."""
    def find_candidates(
        self,
        inputs: _Rows,
        ys: _Vector,
        alpha: _Float | None = None,
        l1_ratio: _Float | None = None,
    ) -> list[SearchResult]:
        """Returns the Pareto-front of all candidate formulas found."""
    def recognize_constant(
        self,
        value: _Float,
        alpha: _Float | None = None,
        l1_ratio: _Float | None = None,
    ) -> SearchResult:
        """Identifies a closed-form expression for a scalar constant."""

@final
class SearchResult:
    """A high-performance symbolic regression result."""

    @property
    def formula(self) -> str:
        """The discovered mathematical formula as a string."""
    @property
    def error(self) -> float:
        """The residual error (Mean Squared Error) of the formula."""
    @property
    def complexity(self) -> int:
        """The structural complexity of the formula."""
    def to_latex(self) -> str:
        """Returns the formula in LaTeX format for academic reporting."""
    def to_python(self) -> str:
        """Returns the formula in Python/NumPy format for immediate use."""
    def eval(self, x: _Float | _Vector) -> float:
        """Evaluates the discovered formula for a given input (float or list/array)."""
    def eval_batch(self, inputs: _Rows) -> list[float]:
        """Evaluates the formula for a batch of inputs (list of lists or 2D array)."""
    def predict(self, inputs: _Rows) -> list[float]:
        """Alias for eval_batch (Scikit-Learn style)."""

class QarnDimensionError(Exception): ...
class QarnComplexityError(Exception): ...
class QarnRuntimeError(Exception): ...
