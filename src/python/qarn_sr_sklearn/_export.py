"""Runnable forms of a found formula that compute what ``predict`` computes.

The engine evaluates every formula in complex arithmetic: each operator works
on (real, imaginary) pairs with its own principal branches, a result is kept
only when both parts lie below 1e15 in magnitude (and a division by zero, the
logarithm of zero and their kin have no value), and the prediction is the real
part of the final value, NaN where the formula has none. The Python source
written here carries that arithmetic along as a few NumPy helpers over pairs
of float64 arrays, in the engine's order of operations, so that its values
agree with ``predict`` to rounding of the elementary functions. Constants are
written with ``repr``, which reads back to the same double.
"""

from __future__ import annotations

import textwrap
from collections.abc import Sequence

import _qarn_sr_core

# Token kinds of a result's state (see _qarn_sr_core.result_state).
_NAMED_CONSTANT, _REAL_CONSTANT, _VARIABLE, _PARAMETER, _APPLY = range(5)

# The helpers, each with the names of the helpers it calls. Each one mirrors
# the engine's operator of the same name; `_c` checks the magnitude bound.
_HELPERS: dict[str, tuple[str, tuple[str, ...]]] = {
    "_c": ("""
        def _c(re, im, ok=True):
            # A value is kept only where both parts lie below 1e15 in magnitude.
            ok = ok & (np.abs(re) < 1e15) & (np.abs(im) < 1e15)
            return np.where(ok, re, np.nan), np.where(ok, im, np.nan)
        """, ()),
    "_nonzero": ("""
        def _nonzero(z):
            return (z[0] != 0.0) | (z[1] != 0.0)
        """, ()),
    "_mul": ("""
        def _mul(a, b):
            return a[0] * b[0] - a[1] * b[1], a[0] * b[1] + a[1] * b[0]
        """, ()),
    "_div": ("""
        def _div(a, b):
            d = b[0] * b[0] + b[1] * b[1]
            return (a[0] * b[0] + a[1] * b[1]) / d, (a[1] * b[0] - a[0] * b[1]) / d
        """, ()),
    "_arg": ("""
        def _arg(z):
            re, im = z
            on_re = (im == 0.0) & ~np.isnan(re)
            positive = (re > 0.0) | ((re == 0.0) & ~np.signbit(re))
            real_axis = np.where(positive, im, np.copysign(np.pi, im))
            imag_axis = np.copysign(np.pi / 2, im)
            return np.where(on_re, real_axis,
                            np.where((re == 0.0) & ~np.isnan(im), imag_axis, np.arctan2(im, re)))
        """, ()),
    "_mod": ("""
        def _mod(z):
            re, im = z
            return np.where(im == 0.0, np.abs(re),
                            np.where((re == 0.0) & ~np.isnan(im), np.abs(im), np.hypot(re, im)))
        """, ()),
    "_ln": ("""
        def _ln(z):
            r = _mod(z)
            return np.where(r == 1.0, 0.0, np.log(r)), _arg(z)
        """, ("_mod", "_arg")),
    "_exp_": ("""
        def _exp_(z):
            r = np.exp(z[0])
            real = z[1] == 0.0
            return (np.where(real, r, np.cos(z[1]) * r),
                    np.where(real, z[1] * r, np.sin(z[1]) * r))
        """, ()),
    "_sqrt_": ("""
        def _sqrt_(z):
            x, y = z
            s_axis = np.sqrt(np.abs(x))
            s_imag = np.sqrt(np.abs(y) * 0.5)
            sr = np.sqrt(_mod(z))
            half = _arg(z) * 0.5
            neg_y = np.signbit(y)
            re = np.where(y == 0.0, np.where(np.signbit(x), 0.0, s_axis),
                          np.where(x == 0.0, s_imag, np.cos(half) * sr))
            im = np.where(y == 0.0,
                          np.where(np.signbit(x), np.where(neg_y, -s_axis, s_axis), y),
                          np.where(x == 0.0, np.where(neg_y, -s_imag, s_imag), np.sin(half) * sr))
            return re, im
        """, ("_mod", "_arg")),
    "_sin_": ("""
        def _sin_(z):
            real = z[1] == 0.0
            return (np.where(real, np.sin(z[0]), np.sin(z[0]) * np.cosh(z[1])),
                    np.where(real, np.cos(z[0]) * z[1], np.cos(z[0]) * np.sinh(z[1])))
        """, ()),
    "_cos_": ("""
        def _cos_(z):
            real = z[1] == 0.0
            return (np.where(real, np.cos(z[0]), np.cos(z[0]) * np.cosh(z[1])),
                    np.where(real, (-np.sin(z[0])) * z[1], (-np.sin(z[0])) * np.sinh(z[1])))
        """, ()),
    "_arc_w": ("""
        def _arc_w(z):
            iz = _mul((0.0, 1.0), z)
            zz = _mul(z, z)
            root = _sqrt_((1.0 - zz[0], 0.0 - zz[1]))
            return iz[0] + root[0], iz[1] + root[1]
        """, ("_mul", "_sqrt_")),
    "QARN": ("""
        def QARN(a, b):
            ea = _exp_(a)
            lb = _ln(b)
            return _c(ea[0] - lb[0], ea[1] - lb[1], _nonzero(b))
        """, ("_c", "_exp_", "_ln", "_nonzero")),
    "Neg": ("""
        def Neg(z):
            return _c(-z[0], -z[1])
        """, ("_c",)),
    "Inv": ("""
        def Inv(z):
            return _c(*_div((1.0, 0.0), z), _nonzero(z))
        """, ("_c", "_div", "_nonzero")),
    "Plus": ("""
        def Plus(a, b):
            return _c(a[0] + b[0], a[1] + b[1])
        """, ("_c",)),
    "Times": ("""
        def Times(a, b):
            return _c(*_mul(a, b))
        """, ("_c", "_mul")),
    "Subtract": ("""
        def Subtract(a, b):
            return _c(a[0] - b[0], a[1] - b[1])
        """, ("_c",)),
    "Divide": ("""
        def Divide(a, b):
            return _c(*_div(a, b), _nonzero(b))
        """, ("_c", "_div", "_nonzero")),
    "Exp": ("""
        def Exp(z):
            return _c(*_exp_(z))
        """, ("_c", "_exp_")),
    "Log": ("""
        def Log(z):
            return _c(*_ln(z), _nonzero(z))
        """, ("_c", "_ln", "_nonzero")),
    "Sqrt": ("""
        def Sqrt(z):
            return _c(*_sqrt_(z))
        """, ("_c", "_sqrt_")),
    "Sin": ("""
        def Sin(z):
            return _c(*_sin_(z))
        """, ("_c", "_sin_")),
    "Cos": ("""
        def Cos(z):
            return _c(*_cos_(z))
        """, ("_c", "_cos_")),
    "Tan": ("""
        def Tan(z):
            c = _cos_(z)
            return _c(*_div(_sin_(z), c), _nonzero(c))
        """, ("_c", "_div", "_sin_", "_cos_", "_nonzero")),
    "ArcSin": ("""
        def ArcSin(z):
            w = _arc_w(z)
            return _c(*_mul((-0.0, -1.0), _ln(w)), _nonzero(w))
        """, ("_c", "_arc_w", "_mul", "_ln", "_nonzero")),
    "ArcCos": ("""
        def ArcCos(z):
            w = _arc_w(z)
            t = _mul((0.0, 1.0), _ln(w))
            return _c(np.pi / 2 + t[0], 0.0 + t[1], _nonzero(w))
        """, ("_c", "_arc_w", "_mul", "_ln", "_nonzero")),
    "ArcTan": ("""
        def ArcTan(z):
            iz = _mul((0.0, 1.0), z)
            u = (1.0 - iz[0], 0.0 - iz[1])
            v = (iz[0] + 1.0, iz[1] + 0.0)
            lu, lv = _ln(u), _ln(v)
            return _c(*_mul((0.0, 0.5), (lu[0] - lv[0], lu[1] - lv[1])),
                      _nonzero(u) & _nonzero(v))
        """, ("_c", "_mul", "_ln", "_nonzero")),
    "Square": ("""
        def Square(z):
            return _c(*_mul(z, z))
        """, ("_c", "_mul")),
    "Cube": ("""
        def Cube(z):
            return _c(*_mul(_mul(z, z), z))
        """, ("_c", "_mul")),
}


def _needed(operators: set[str]) -> list[str]:
    """The helpers the operators need, in the table's order."""
    wanted: set[str] = set()
    pending = list(operators)
    while pending:
        name = pending.pop()
        if name not in wanted:
            wanted.add(name)
            pending.extend(_HELPERS[name][1])
    return [name for name in _HELPERS if name in wanted]


def _pair(re: float, im: float) -> str:
    return f"({re!r}, {im!r})"


# Names the exported source defines at module level: a feature's argument
# must not shadow them.
RESERVED = tuple(name for name in _HELPERS if not name.startswith("_"))


def python_function(result, identifiers: Sequence[str], names: Sequence[str],
                    title: str | None = None, function_name: str = "formula") -> str:
    """Python source of a module-level function ``formula(<features>)`` that
    returns the result's values as a float64 array, NaN where it has none:
    the same values as the result's ``predict`` on the same columns.

    `identifiers` are the argument names, one per feature (every feature is
    an argument, used or not, so that ``formula(*X.T)`` works); `names` the
    features' own names, listed in a comment where they differ.

    A formula found on rescaled data (a RescaledResult) is written as it was
    found, with the inputs multiplied by its x_scale and the value by its
    y_scale: powers of two, so the function computes exactly what its
    ``predict`` computes, in the user's units."""
    x_scale, y_scale = getattr(result, "x_scale", ()), getattr(result, "y_scale", 1.0)
    _, _, _, tokens = _qarn_sr_core.result_state(getattr(result, "result", result))
    stack: list[str] = []
    operators: set[str] = set()
    for kind, small, name, re_part, im_part in tokens:
        if kind == _NAMED_CONSTANT:
            stack.append(_pair(re_part, im_part))
        elif kind == _REAL_CONSTANT:
            stack.append(_pair(re_part, 0.0))
        elif kind == _PARAMETER:
            stack.append(_pair(re_part, im_part))
        elif kind == _VARIABLE:
            stack.append(f"(_{small}, 0.0)")
        else:
            if name not in _HELPERS or name.startswith("_"):
                raise ValueError(f"operator {name!r} has no Python form")
            operators.add(name)
            operands = stack[len(stack) - small:]
            del stack[len(stack) - small:]
            stack.append(f"{name}({', '.join(operands)})")
    (expression,) = stack
    used = sorted({small for kind, small, *_ in tokens if kind == _VARIABLE})

    lines = ["import numpy as np", ""]
    for helper in _needed(operators):
        lines.append(textwrap.dedent(_HELPERS[helper][0]).strip("\n"))
        lines.append("")
    renamed = [(n, i) for n, i in zip(names, identifiers) if n != i]
    lines.append(f"def {function_name}({', '.join(identifiers)}):")
    doc = f"{title or result.formula}: its values in the engine's complex arithmetic, the real part."
    lines.append(f"    {doc!r}")
    if renamed:
        lines.append("    # Features renamed to identifiers: "
                     + ", ".join(f"{n!r} -> {i}" for n, i in renamed))
    lines.append("    with np.errstate(all='ignore'):")
    for index in used:
        scale = x_scale[index] if index < len(x_scale) else 1.0
        factor = "" if scale == 1.0 else f" * {scale!r}"
        lines.append(f"        _{index} = np.asarray({identifiers[index]}, dtype=np.float64){factor}")
    lines.append(f"        value = {expression}")
    if y_scale != 1.0:
        lines.append(f"        value = (value[0] * {float(y_scale)!r}, value[1])")
    shape = f"np.shape({identifiers[0]})" if identifiers else "()"
    lines.append(f"        return np.broadcast_to(np.where(np.isnan(value[1]), np.nan, value[0]), "
                 f"{shape}).astype(np.float64)")
    return "\n".join(lines) + "\n"


def compile_function(source: str, function_name: str = "formula"):
    """The function defined by `source` (as written by python_function)."""
    namespace: dict = {}
    exec(compile(source, "<qarn formula>", "exec"), namespace)
    return namespace[function_name]


def to_python(result, names: Sequence[str] | None = None) -> str:
    """Python source of a function ``formula(...)`` computing what
    ``result.predict`` computes, for any ``qarn_sr.SearchResult`` (from
    ``qarn_sr.Searcher`` too): constants that read back to the same doubles,
    the engine's complex arithmetic, NaN where the formula has no value.
    `names`: one per variable, made into unique identifiers (default ``x0``,
    ``x1``, … up to the highest variable the formula reads)."""
    from qarn_sr_sklearn import _formula, _names

    names = _default_names(result, names)
    return python_function(result, _names.safe_identifiers(names, RESERVED), names,
                           _formula.display_text(result, names))


def to_text(result, names: Sequence[str] | None = None) -> str:
    """The formula's text with its fitted constants written out in full
    (``Times(2.5, Square(x0))``) and the variables named by `names` (as in
    ``to_python``)."""
    from qarn_sr_sklearn import _formula

    return _formula.display_text(result, _default_names(result, names))


def _default_names(result, names: Sequence[str] | None) -> list[str]:
    if names is not None:
        return [str(n) for n in names]
    _, _, _, tokens = _qarn_sr_core.result_state(getattr(result, "result", result))
    count = 1 + max((small for kind, small, *_ in tokens if kind == _VARIABLE), default=-1)
    return [f"x{i}" for i in range(count)]


def to_function(result, names: Sequence[str] | None = None):
    """The function whose source ``to_python(result, names)`` returns."""
    return compile_function(to_python(result, names))
