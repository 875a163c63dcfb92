"""A found formula written with the user's feature names: display text,
LaTeX and a SymPy expression (the Python source is _export's). Text and LaTeX
come from the engine's own renderers with the variables renamed; the SymPy expression
is built from the formula's tokens with the exact fitted constants."""

from __future__ import annotations

import re
from collections.abc import Sequence

import _qarn_sr_core

_VARIABLE = re.compile(r"v_\{(\d+)\}")
# A fitted constant in the display text: "C" on its own, not the first letter
# of an operator name such as Cos or Cube.
_PARAMETER = re.compile(r"(?<![A-Za-z0-9_])C(?![A-Za-z0-9_])")

# Token kinds of a result's state (see _qarn_sr_core.result_state).
_NAMED_CONSTANT, _REAL_CONSTANT, _VARIABLE_TOKEN, _PARAMETER_TOKEN, _APPLY = range(5)


def _rename(text: str, names: Sequence[str]) -> str:
    def replace(match: re.Match[str]) -> str:
        index = int(match.group(1))
        return names[index] if index < len(names) else match.group(0)

    return _VARIABLE.sub(replace, text)


def _state(result) -> tuple:
    """(version, text, loss, tokens) of a SearchResult, or of a formula in the
    user's units (see _scaling.RescaledResult)."""
    own = getattr(result, "state", None)
    return own() if own is not None else _qarn_sr_core.result_state(result)


def _parameters(result) -> list[float]:
    """Fitted constants in token order, which is also their order in the text."""
    _, _, _, tokens = _state(result)
    return [re_part for kind, _, _, re_part, _ in tokens if kind == _PARAMETER_TOKEN]


def display_text(result, names: Sequence[str]) -> str:
    """The display text (``Times(C, Square(v_{0}))``) with the fitted constants
    written out and the variables named: ``Times(2.5, Square(x))``."""
    values = iter(_parameters(result))
    text = _PARAMETER.sub(lambda _: repr(next(values)), result.formula)
    return _rename(text, names)


_LATEX_SPECIAL = {c: "\\" + c for c in "&%$#_{}"}
_LATEX_SPECIAL.update({"~": r"\textasciitilde{}", "^": r"\textasciicircum{}", "\\": r"\textbackslash{}"})
_INDEXED = re.compile(r"^([A-Za-z]+)_?(\d+)$")


def latex_name(name: str) -> str:
    """A feature name as LaTeX: ``x`` stays, ``x0`` and ``x_0`` become ``x_{0}``,
    longer names are set upright with their special characters escaped."""
    def upright(text: str) -> str:
        return text if len(text) == 1 else r"\mathrm{" + text + "}"

    indexed = _INDEXED.match(name)
    if indexed:
        return upright(indexed.group(1)) + "_{" + indexed.group(2) + "}"
    return upright("".join(_LATEX_SPECIAL.get(c, c) for c in name))


def latex(result, names: Sequence[str]) -> str:
    return _rename(result.to_latex(), [latex_name(n) for n in names])


def sympy_expression(result, names: Sequence[str]):
    """The formula as a SymPy expression in real symbols named after the
    features, with the exact fitted constants."""
    try:
        import sympy
    except ImportError as error:
        raise ImportError(
            "QarnRegressor.to_sympy needs SymPy; install it with: pip install sympy"
        ) from error

    symbols = [sympy.Symbol(n, real=True) for n in names]
    constants = {"0": sympy.Integer(0), "1": sympy.Integer(1), "I": sympy.I, "Pi": sympy.pi,
                 "E": sympy.E}
    unary = {
        "Neg": lambda a: -a, "Inv": lambda a: 1 / a, "Exp": sympy.exp, "Log": sympy.log,
        "Sqrt": sympy.sqrt, "Sin": sympy.sin, "Cos": sympy.cos, "Tan": sympy.tan,
        "ArcSin": sympy.asin, "ArcCos": sympy.acos, "ArcTan": sympy.atan,
        "Square": lambda a: a**2, "Cube": lambda a: a**3,
    }
    binary = {
        "QARN": lambda a, b: sympy.exp(a) - sympy.log(b), "Plus": lambda a, b: a + b,
        "Times": lambda a, b: a * b, "Subtract": lambda a, b: a - b,
        "Divide": lambda a, b: a / b,
    }

    # 17 significant digits: the Float holds the double exactly (60 bits) and
    # prints as text that reads back to the same double.
    def number(re_part: float, im_part: float):
        value = sympy.Float(re_part, 17)
        return value if im_part == 0.0 else value + sympy.I * sympy.Float(im_part, 17)

    _, _, _, tokens = _state(result)
    stack = []
    for kind, small, name, re_part, im_part in tokens:
        if kind == _NAMED_CONSTANT:
            stack.append(constants[name])
        elif kind == _VARIABLE_TOKEN:
            stack.append(symbols[small] if small < len(symbols) else sympy.Symbol(f"v_{small}"))
        elif kind in (_REAL_CONSTANT, _PARAMETER_TOKEN):
            stack.append(number(re_part, im_part))
        elif small == 1:
            stack.append(unary[name](stack.pop()))
        else:
            b = stack.pop()
            stack.append(binary[name](stack.pop(), b))
    (expression,) = stack
    # The engine's value is complex and its prediction the real part; the
    # expression is left complex (re() would be expanded by lambdify into
    # functions such as atan2 that complex inputs cannot take).
    return expression
