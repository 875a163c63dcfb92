"""Exact power-of-two rescaling of the data before a search, and the formulas
found on the rescaled data written back in the user's units.

The engine works best, and can only work, where values are O(1): its
evaluation fails at magnitudes of 1e15 and its exact-fit stop (loss <= 1e-10)
is absolute. The estimator therefore multiplies each input column by a power
of two, and divides the target by one, so that their largest magnitudes lie
in [1, 2), and searches there. Multiplying by a power of two is exact in
binary floating point (short of overflow and underflow), so the search sees
exactly the user's numbers, written in other units, and a formula f found
there predicts ``y_scale * f(X * x_scale)`` in the user's units with no
rounding added. Data whose largest magnitude already lies in [1/16, 1024)
are left as they are, so that such fits are exactly the plain search's; the
lower end keeps the absolute exact-fit threshold within 1e-8 of the target's
square.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

import _qarn_sr_core
from qarn_sr_sklearn._tokens import APPLY as _APPLY
from qarn_sr_sklearn._tokens import NAMED_CONSTANT as _NAMED_CONSTANT
from qarn_sr_sklearn._tokens import PARAMETER as _PARAMETER
from qarn_sr_sklearn._tokens import REAL_CONSTANT as _REAL_CONSTANT
from qarn_sr_sklearn._tokens import VARIABLE as _VARIABLE
from qarn_sr_sklearn._tokens import formula_text as _text

# Data whose largest magnitude lies in [2^-4, 2^10) are searched unscaled.
_LOW, _HIGH = 2.0**-4, 2.0**10


def power_of_two_scale(values: np.ndarray) -> float:
    """The power of two s with max |values| × s in [1, 2); 1.0 when that
    maximum is zero or already lies in [2^-4, 2^10). Bounded to the
    exponents of finite doubles."""
    largest = float(np.max(np.abs(values))) if values.size else 0.0
    if largest == 0.0 or _LOW <= largest < _HIGH or not math.isfinite(largest):
        return 1.0
    _, exponent = math.frexp(largest)  # largest = m × 2^exponent, m in [0.5, 1)
    return math.ldexp(1.0, max(-1022, min(1023, 1 - exponent)))


@dataclass(frozen=True)
class Scales:
    """The search ran on X × x_scale (column by column) and y / y_scale;
    a formula f found there predicts y_scale × f(X × x_scale)."""

    x_scale: tuple[float, ...]
    y_scale: float

    @classmethod
    def of(cls, X: np.ndarray, y: np.ndarray) -> Scales:
        return cls(tuple(power_of_two_scale(X[:, j]) for j in range(X.shape[1])),
                   1.0 / power_of_two_scale(y))

    @property
    def identity(self) -> bool:
        return self.y_scale == 1.0 and all(s == 1.0 for s in self.x_scale)

    def inputs(self, X: np.ndarray) -> np.ndarray:
        """X in the search's units (X itself for identity scales)."""
        if all(s == 1.0 for s in self.x_scale):
            return X
        return np.ascontiguousarray(X * np.asarray(self.x_scale, dtype=np.float64))

    def target(self, y: np.ndarray) -> np.ndarray:
        return y if self.y_scale == 1.0 else y * (1.0 / self.y_scale)


# -- a formula in the user's units -------------------------------------------

class _Node:
    __slots__ = ("token", "children")

    def __init__(self, token: list, children: list[_Node]):
        self.token = token  # [kind, small, name, re, im], mutable for folding
        self.children = children


def _tree(tokens: Sequence[tuple]) -> _Node:
    stack: list[_Node] = []
    for token in tokens:
        arity = token[1] if token[0] == _APPLY else 0
        children = stack[len(stack) - arity:] if arity else []
        del stack[len(stack) - arity:]
        stack.append(_Node(list(token), children))
    (root,) = stack
    return root


def _postfix(node: _Node, out: list[tuple]) -> list[tuple]:
    for child in node.children:
        _postfix(child, out)
    out.append(tuple(node.token))
    return out


def _real(value: float) -> _Node:
    return _Node([_REAL_CONSTANT, 0, None, value, 0.0], [])


def _apply(name: str, *children: _Node) -> _Node:
    return _Node([_APPLY, len(children), name, 0.0, 0.0], list(children))


def _scaled_parameter(node: _Node, factor: float) -> bool:
    """Multiplies the parameter leaf `node` by `factor` where the product is
    a normal double; False (and `node` unchanged) otherwise."""
    if node.token[0] != _PARAMETER:
        return False
    re_part, im_part = node.token[3] * factor, node.token[4] * factor
    for before, after in ((node.token[3], re_part), (node.token[4], im_part)):
        if not math.isfinite(after) or (before != 0.0 and abs(after) < 2.0**-1022):
            return False
    node.token[3], node.token[4] = re_part, im_part
    return True


# How a power of two 2^e on each operand passes through an operator: the
# exponent of the factor on its value, or None where it does not pass exactly.
_PASS_THROUGH = {
    "Times": lambda e: e[0] + e[1],
    "Divide": lambda e: e[0] - e[1],
    "Neg": lambda e: e[0],
    "Inv": lambda e: -e[0],
    "Square": lambda e: 2 * e[0],
    "Cube": lambda e: 3 * e[0],
    "Sqrt": lambda e: e[0] // 2 if e[0] % 2 == 0 else None,
    "Plus": lambda e: e[0] if e[0] == e[1] else None,
    "Subtract": lambda e: e[0] if e[0] == e[1] else None,
}
# Factors stay within the exponents of normal doubles.
_MAX_EXPONENT = 1000


def _exponent(power_of_two: float) -> int:
    return math.frexp(power_of_two)[1] - 1


def _lift(node: _Node, x_exponents: Sequence[int]) -> tuple[_Node, int]:
    """`node` written in the user's variables, and the exponent e of the
    factor 2^e its value still needs: a variable v_j stands for
    2^x_exponents[j] × v_j, and its factor is carried up through products,
    quotients, powers and sums of equal factors, then multiplied into the
    subtree below the first operator it does not pass (Sin, Exp, …)."""
    kind, small, name = node.token[0], node.token[1], node.token[2]
    if kind == _VARIABLE:
        return node, (x_exponents[small] if small < len(x_exponents) else 0)
    if kind != _APPLY:
        return node, 0
    lifted = [_lift(child, x_exponents) for child in node.children]
    rule = _PASS_THROUGH.get(name)
    exponent = rule([e for _, e in lifted]) if rule is not None else None
    if exponent is not None and abs(exponent) <= _MAX_EXPONENT:
        node.children = [child for child, _ in lifted]
        return node, exponent
    node.children = [_with_factor(child, e) for child, e in lifted]
    return node, 0


def _with_factor(node: _Node, exponent: int) -> _Node:
    """`node` times 2^exponent: folded into its parameters where possible,
    else as an explicit factor."""
    if exponent == 0:
        return node
    factor = math.ldexp(1.0, exponent)
    return node if _fold_output(node, factor) else _apply("Times", _real(factor), node)


def _fold_output(node: _Node, y_scale: float) -> bool:
    """Multiplies the value of `node` by the power of two y_scale by scaling
    its parameters where the scale passes exactly to one (through Neg, Inv,
    Sqrt, Square and Cube, sums, and either factor of a product or quotient);
    False, with `node` unchanged, where that is not possible."""
    kind, name = node.token[0], node.token[2]
    if kind == _PARAMETER:
        return _scaled_parameter(node, y_scale)
    if kind != _APPLY:
        return False
    children = node.children
    exponent = math.frexp(y_scale)[1] - 1  # y_scale = 2^exponent
    if name == "Neg":
        return _fold_output(children[0], y_scale)
    if name == "Inv":
        return _fold_output(children[0], 1.0 / y_scale)
    if name == "Sqrt":
        return abs(exponent) < 512 and _fold_output(children[0], y_scale * y_scale)
    if name in ("Square", "Cube"):
        root = 2 if name == "Square" else 3
        return exponent % root == 0 and _fold_output(children[0], math.ldexp(1.0, exponent // root))
    if name in ("Times", "Divide"):
        a, b = children
        return _fold_output(a, y_scale) or _fold_output(
            b, y_scale if name == "Times" else 1.0 / y_scale)
    if name in ("Plus", "Subtract"):
        saved = [list(t) for t in _postfix(node, [])]
        if _fold_output(children[0], y_scale) and _fold_output(children[1], y_scale):
            return True
        restored = _tree(saved)  # undo a half-done fold
        node.token, node.children = restored.token, restored.children
    return False


def latex_number(value: float) -> str:
    """Four decimals, as the engine writes constants, where they keep the
    value to 1 %; else four decimals of the mantissa times a power of ten."""
    if value == 0.0 or 1e-2 <= abs(value) < 1e6 or not math.isfinite(value):
        return f"{value:.4f}"
    mantissa, exponent = f"{value:.4e}".split("e")
    return rf"{mantissa} \cdot 10^{{{int(exponent)}}}"


class RescaledResult:
    """A formula found on rescaled data, in the user's units.

    Answers what a ``qarn_sr.SearchResult`` answers: ``formula``, ``error``
    (mean squared error in the target's units), ``complexity`` (the size of
    the formula as searched), ``eval``, ``eval_batch`` and ``predict``
    (values ``y_scale * f(X * x_scale)``, computed in the search's units, so
    that they exist wherever the formula had values in the search), and
    ``to_latex``/``to_python`` with the scales folded into the fitted
    constants where a constant multiplies or divides the scaled quantity, and
    written as factors elsewhere.

    Attributes
    ----------
    result : qarn_sr.SearchResult
        The formula as found, in the search's units.
    x_scale : tuple of float
        Powers of two the search multiplied the input columns by.
    y_scale : float
        Power of two the search divided the target by.
    """

    __slots__ = ("result", "x_scale", "y_scale", "_state")

    def __init__(self, result, x_scale: Sequence[float], y_scale: float):
        self.result = result
        self.x_scale = tuple(float(s) for s in x_scale)
        self.y_scale = float(y_scale)
        version, _, loss, tokens = _qarn_sr_core.result_state(result)
        root, exponent = _lift(_tree(tokens), [_exponent(s) for s in self.x_scale])
        total = exponent + _exponent(self.y_scale)
        if abs(total) <= _MAX_EXPONENT:
            root = _with_factor(root, total)
        else:
            root = _with_factor(_with_factor(root, exponent), _exponent(self.y_scale))
        user_tokens = tuple(_postfix(root, []))
        self._state = (version, _text(user_tokens), loss * self.y_scale * self.y_scale, user_tokens)

    def state(self) -> tuple:
        """The formula in the user's units in the form of
        ``_qarn_sr_core.result_state``: (version, text, error, tokens)."""
        return self._state

    @property
    def formula(self) -> str:
        return self._state[1]

    @property
    def error(self) -> float:
        return self._state[2]

    @property
    def complexity(self) -> int:
        return self.result.complexity

    def _rows(self, inputs) -> np.ndarray:
        rows = np.asarray(inputs, dtype=np.float64)
        if rows.ndim == 1:
            rows = rows.reshape(-1, 1) if len(self.x_scale) == 1 else rows.reshape(1, -1)
        width = min(rows.shape[1], len(self.x_scale))
        scaled = rows.copy()
        scaled[:, :width] *= np.asarray(self.x_scale[:width])
        return scaled

    def eval_batch(self, inputs) -> list[float]:
        values = np.asarray(self.result.eval_batch(self._rows(inputs)), dtype=np.float64)
        return (values * self.y_scale).tolist()

    def predict(self, inputs) -> list[float]:
        return self.eval_batch(inputs)

    def eval(self, x) -> float:
        point = np.atleast_1d(np.asarray(x, dtype=np.float64))
        scales = np.asarray(self.x_scale[:point.size] + (1.0,) * (point.size - len(self.x_scale)))
        scaled = point * scales
        return float(self.result.eval(float(scaled[0]) if np.ndim(x) == 0 else scaled)) * self.y_scale

    def _rendered(self, render, write) -> str:
        """The engine's rendering (`render` of a SearchResult) of the formula
        in the user's units with every constant written by `write`: the
        engine writes four decimals, which read 0.0000 for 6.674e-11, so it
        renders stand-ins that are then replaced."""
        version, text, _, tokens = self._state
        values: dict[str, float] = {}
        standins = []
        for kind, small, name, re_part, im_part in tokens:
            if kind in (_REAL_CONSTANT, _PARAMETER):
                standin = 7_300_000.0 + len(values)
                values[f"{standin:.4f}"] = re_part
                standins.append((kind, small, name, standin, 0.0))
            else:
                standins.append((kind, small, name, re_part, im_part))
        rendered = render(_qarn_sr_core.result_from_state((version, text, 0.0, tuple(standins))))
        for key, value in values.items():
            rendered = rendered.replace(key, write(value))
        return rendered

    def to_python(self) -> str:
        return self._rendered(lambda r: r.to_python(),
                              lambda v: f"({v!r})" if v < 0 else repr(v))

    def to_latex(self) -> str:
        return self._rendered(lambda r: r.to_latex(), latex_number)

    def __repr__(self) -> str:
        return f"RescaledResult({self.formula!r}, error={self.error!r}, complexity={self.complexity})"
