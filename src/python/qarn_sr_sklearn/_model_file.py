"""Model files: a fitted QarnRegressor's formulas as JSON, loaded without
pickle.

A file holds the format name and version, the feature names, the estimator's
settings and, for each entry of the Pareto front, its postfix tokens
(operator and constant names, variable indices, fitted parameter values),
its error and its complexity. Formulas found on rescaled data are stored as
they were found, with the powers of two of the rescaling ("x_scale",
"y_scale"), and load as the same RescaledResult objects. Numbers are written with Python's shortest
round-trip form, so a loaded formula holds the same bits and predicts the
same values. Loading reads plain JSON values only, checks every field, and
rebuilds the results through the engine's own token check; nothing in the
file is ever executed.
"""

from __future__ import annotations

import json
import math
import os
from typing import Any

import numpy as np

import _qarn_sr_core
import qarn_sr  # noqa: F401  (its classes are the results' classes)
from qarn_sr_sklearn._tokens import APPLY as _APPLY
from qarn_sr_sklearn._tokens import NAMED_CONSTANT as _NAMED_CONSTANT
from qarn_sr_sklearn._tokens import PARAMETER as _PARAMETER
from qarn_sr_sklearn._tokens import REAL_CONSTANT as _REAL_CONSTANT
from qarn_sr_sklearn._tokens import VARIABLE as _VARIABLE
from qarn_sr_sklearn._tokens import formula_text as _text

FORMAT = "qarn_sr.model"
VERSION = 1

# Bounds that no real model file reaches; larger values are refused before
# anything is allocated for them.
MAX_FILE_BYTES = 64 * 1024 * 1024
MAX_FEATURES = 255  # the engine's variable indices are 8-bit
MAX_FRONT = 100_000
MAX_TOKENS = 511  # the largest formula the engine represents
MAX_NAME_CHARS = 10_000


_SETTING_TYPES = (bool, int, float, str, type(None))


def _number(value: float) -> float | str:
    """A float as JSON: itself when finite (json writes the shortest text that
    reads back to the same bits), else "nan", "inf" or "-inf"."""
    value = float(value)
    if math.isfinite(value):
        return value
    return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")


def _token_json(token: tuple) -> dict:
    kind, small, name, re_part, im_part = token
    if kind == _APPLY:
        return {"operator": name, "arity": small}
    if kind == _NAMED_CONSTANT:
        return {"constant": name}
    if kind == _VARIABLE:
        return {"variable": small}
    if kind == _PARAMETER:
        return {"parameter": small, "value": [_number(re_part), _number(im_part)]}
    return {"number": [_number(re_part), _number(im_part)]}


def model_dict(estimator) -> dict:
    """The model file's content for a fitted QarnRegressor, as plain JSON
    values."""
    from sklearn.utils.validation import check_is_fitted

    check_is_fitted(estimator)
    front = list(estimator.pareto_front_)
    best = next(i for i, r in enumerate(front) if r is estimator.best_)
    names = getattr(estimator, "feature_names_in_", None)
    settings = {k: v for k, v in estimator.get_params(deep=False).items()
                if isinstance(v, _SETTING_TYPES) or _is_name_list(v)}
    entries = []
    for result in front:
        _, text, loss, tokens = _qarn_sr_core.result_state(getattr(result, "result", result))
        entries.append({
            "formula": text,
            "error": _number(loss),
            "complexity": result.complexity,
            "tokens": [_token_json(t) for t in tokens],
        })
    return {
        "format": FORMAT,
        "version": VERSION,
        "qarn_sr_version": _package_version(),
        "n_features": int(estimator.n_features_in_),
        "feature_names": None if names is None else [str(n) for n in names],
        "settings": {k: list(v) if isinstance(v, tuple) else v for k, v in settings.items()},
        "search_time": _number(getattr(estimator, "search_time_", 0.0)),
        "timed_out": bool(getattr(estimator, "timed_out_", False)),
        "x_scale": [_number(v) for v in getattr(estimator, "x_scale_", ())] or None,
        "y_scale": _number(float(getattr(estimator, "y_scale_", 1.0))),
        "best": best,
        "front": entries,
    }


def _is_name_list(value: Any) -> bool:
    return isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value)


def _package_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("qarn_sr")
    except metadata.PackageNotFoundError:  # pragma: no cover - a build tree on sys.path
        return "unknown"


def model_json(estimator) -> str:
    """The model file's text: JSON with one line per token."""
    content = model_dict(estimator)
    front = content.pop("front")

    def dump(value) -> str:
        return json.dumps(value, allow_nan=False, ensure_ascii=False)

    entries = []
    for entry in front:
        head = ", ".join(f"{dump(k)}: {dump(v)}" for k, v in entry.items() if k != "tokens")
        tokens = ",\n".join("    " + dump(t) for t in entry["tokens"])
        entries.append(f"  {{{head},\n   \"tokens\": [\n{tokens}\n   ]}}")
    top = json.dumps(content, indent=1, allow_nan=False, ensure_ascii=False)
    return top[:-2] + ',\n "front": [\n' + ",\n".join(entries) + "\n ]\n}\n"


def save_model(estimator, path: str | os.PathLike) -> None:
    """Writes a fitted QarnRegressor's formulas to `path` as a JSON model
    file (read it back with ``load_model``). The file is written next to its
    destination and renamed into place, so a crash never leaves half a file
    under the name."""
    text = model_json(estimator)
    path = os.fspath(path)
    partial = f"{path}.partial"
    with open(partial, "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(partial, path)


# -- loading ------------------------------------------------------------------


class _Refused(ValueError):
    pass


def _fail(where: str, message: str):
    raise _Refused(f"{where}: {message}")


def _integer(value: Any, where: str, low: int, high: int) -> int:
    if type(value) is not int:
        _fail(where, f"expected an integer, got {json.dumps(value)[:40]}")
    if not low <= value <= high:
        _fail(where, f"{value} is outside {low}..{high}")
    return value


def _float(value: Any, where: str) -> float:
    if isinstance(value, str) and value in ("nan", "inf", "-inf"):
        return float(value)
    if type(value) not in (int, float):
        _fail(where, f"expected a number, got {json.dumps(value)[:40]}")
    return float(value)


def _keys(entry: Any, where: str, required: set[str], optional: set[str] = frozenset()) -> dict:
    if not isinstance(entry, dict):
        _fail(where, "expected an object")
    missing = required - entry.keys()
    if missing:
        _fail(where, f"missing {', '.join(sorted(missing))}")
    extra = entry.keys() - required - optional
    if extra:
        _fail(where, f"unexpected {', '.join(sorted(extra))}")
    return entry


def _operators() -> dict[str, int]:
    return dict(_qarn_sr_core.operator_names())


def _state_token(token: Any, where: str, operators: dict[str, int], n_features: int) -> tuple:
    if not isinstance(token, dict) or not token:
        _fail(where, "expected a token object")
    if "operator" in token:
        _keys(token, where, {"operator", "arity"})
        name = token["operator"]
        if not isinstance(name, str) or operators.get(name, 0) == 0:
            _fail(where, f"unknown operator {json.dumps(name)[:60]}")
        arity = _integer(token["arity"], where + ".arity", 1, 255)
        if arity != operators[name]:
            _fail(where, f"{name} takes {operators[name]} operands, not {arity}")
        return (_APPLY, arity, name, 0.0, 0.0)
    if "constant" in token:
        _keys(token, where, {"constant"})
        name = token["constant"]
        if not isinstance(name, str) or operators.get(name) != 0:
            _fail(where, f"unknown constant {json.dumps(name)[:60]}")
        return (_NAMED_CONSTANT, 0, name, 0.0, 0.0)
    if "variable" in token:
        _keys(token, where, {"variable"})
        index = _integer(token["variable"], where + ".variable", 0, n_features - 1)
        return (_VARIABLE, index, None, 0.0, 0.0)
    if "parameter" in token:
        _keys(token, where, {"parameter", "value"})
        slot = _integer(token["parameter"], where + ".parameter", 0, 254)
        re_part, im_part = _pair(token["value"], where + ".value")
        return (_PARAMETER, slot, None, re_part, im_part)
    if "number" in token:
        _keys(token, where, {"number"})
        re_part, im_part = _pair(token["number"], where + ".number")
        return (_REAL_CONSTANT, 0, None, re_part, im_part)
    _fail(where, f"unknown token {json.dumps(token)[:60]}")
    raise AssertionError  # unreachable


def _pair(value: Any, where: str) -> tuple[float, float]:
    if not isinstance(value, list) or len(value) != 2:
        _fail(where, "expected [real, imaginary]")
    return _float(value[0], where + "[0]"), _float(value[1], where + "[1]")


def _result(entry: Any, where: str, operators: dict[str, int], n_features: int):
    _keys(entry, where, {"formula", "error", "complexity", "tokens"})
    tokens = entry["tokens"]
    if not isinstance(tokens, list) or not 1 <= len(tokens) <= MAX_TOKENS:
        _fail(where + ".tokens", f"expected a list of 1 to {MAX_TOKENS} tokens")
    state_tokens = tuple(_state_token(t, f"{where}.tokens[{i}]", operators, n_features)
                         for i, t in enumerate(tokens))
    complexity = _integer(entry["complexity"], where + ".complexity", 1, MAX_TOKENS)
    error = _float(entry["error"], where + ".error")
    text = entry["formula"]
    if not isinstance(text, str):
        _fail(where + ".formula", "expected a string")
    try:
        result = _qarn_sr_core.result_from_state((1, text, error, state_tokens))
    except ValueError:
        _fail(where + ".tokens", "the tokens do not form one formula")
    if result.complexity != complexity:
        _fail(where + ".complexity", f"{complexity} does not match the {len(tokens)} tokens")
    if text != _text(state_tokens):
        _fail(where + ".formula", f"{text[:60]!r} does not match the tokens")
    return result


def estimator_from_dict(content: Any, source: str = "model"):
    """A fitted QarnRegressor from a model file's parsed content; ValueError
    naming the field when anything is missing, of the wrong type, out of
    range, or does not form a formula."""
    from qarn_sr_sklearn._estimator import QarnRegressor

    # The format and version first: a later version may hold other fields.
    others = set(content) if isinstance(content, dict) else set()
    _keys(content, source, {"format", "version"}, others)
    if content["format"] != FORMAT:
        _fail(source, f"not a qarn_sr model file (format {json.dumps(content['format'])[:60]})")
    if content["version"] != VERSION:
        _fail(source, f"model file version {json.dumps(content['version'])[:20]} is not supported "
                      f"(this qarn_sr reads version {VERSION})")
    top = _keys(content, source, {"format", "version", "n_features", "feature_names", "settings",
                                  "best", "front"},
                {"qarn_sr_version", "search_time", "timed_out", "x_scale", "y_scale"})
    n_features = _integer(top["n_features"], source + ".n_features", 1, MAX_FEATURES)
    names = top["feature_names"]
    if names is not None:
        if (not isinstance(names, list) or len(names) != n_features
                or not all(isinstance(n, str) and 0 < len(n) <= MAX_NAME_CHARS for n in names)):
            _fail(source + ".feature_names", f"expected null or {n_features} non-empty names")
        if len(set(names)) != len(names):
            _fail(source + ".feature_names", "names repeat")
    front = top["front"]
    if not isinstance(front, list) or not 1 <= len(front) <= MAX_FRONT:
        _fail(source + ".front", f"expected a list of 1 to {MAX_FRONT} entries")
    operators = _operators()
    results = [_result(e, f"{source}.front[{i}]", operators, n_features)
               for i, e in enumerate(front)]
    best = _integer(top["best"], source + ".best", 0, len(results) - 1)

    settings = top["settings"]
    if not isinstance(settings, dict):
        _fail(source + ".settings", "expected an object")
    model = QarnRegressor()
    known = model.get_params(deep=False)
    # Settings of a newer qarn_sr that this one does not know are left out:
    # they shape a search, not the formulas' values.
    model.set_params(**{k: v for k, v in settings.items()
                        if k in known and (isinstance(v, _SETTING_TYPES) or _is_name_list(v))})
    try:
        model._validate_params()
    except ValueError as error:
        _fail(source + ".settings", str(error))

    model.n_features_in_ = n_features
    if names is not None:
        model.feature_names_in_ = np.asarray(names, dtype=object)
    x_scale, y_scale = _scales(top, source, n_features)
    model.x_scale_ = np.asarray(x_scale, dtype=np.float64)
    model.y_scale_ = y_scale
    if y_scale != 1.0 or any(v != 1.0 for v in x_scale):
        from qarn_sr_sklearn._scaling import RescaledResult

        results = [RescaledResult(r, x_scale, y_scale) for r in results]
    model.pareto_front_ = results
    model.best_ = results[best]
    model.search_time_ = _float(top.get("search_time", 0.0), source + ".search_time")
    model.timed_out_ = bool(top.get("timed_out", False))
    model.searches_ = []
    return model


def _power_of_two(value: Any, where: str) -> float:
    number = _float(value, where)
    if not (math.isfinite(number) and number > 0.0 and math.frexp(number)[0] == 0.5):
        _fail(where, "expected a positive power of two")
    return number


def _scales(top: dict, source: str, n_features: int) -> tuple[list[float], float]:
    """The rescaling's powers of two (all 1.0 in a file without them)."""
    x_scale = top.get("x_scale")
    if x_scale is None:
        x_values = [1.0] * n_features
    else:
        if not isinstance(x_scale, list) or len(x_scale) != n_features:
            _fail(source + ".x_scale", f"expected null or {n_features} numbers")
        x_values = [_power_of_two(v, f"{source}.x_scale[{i}]") for i, v in enumerate(x_scale)]
    return x_values, _power_of_two(top.get("y_scale", 1.0), source + ".y_scale")


def _reject_constant(name: str):
    raise _Refused(f"{name} is not valid JSON")


def load_model(path: str | os.PathLike):
    """A fitted QarnRegressor from a model file written by ``save_model``.

    Its ``pareto_front_`` holds real ``qarn_sr.SearchResult`` objects with the
    saved tokens and constants, so ``predict`` gives the same bits as the
    estimator that was saved. Raises ValueError, naming the file and the
    field, for a file that is not a complete model file of a version this
    qarn_sr reads (truncated, unknown version or operator, tokens that do
    not form a formula, sizes out of range); OSError when it cannot be read.
    """
    path = os.fspath(path)
    with open(path, "rb") as source:
        raw = source.read(MAX_FILE_BYTES + 1)
    if len(raw) > MAX_FILE_BYTES:
        raise ValueError(f"{path}: larger than {MAX_FILE_BYTES // (1024 * 1024)} MiB, "
                         "not a model file")
    try:
        text = raw.decode("utf-8")
        content = json.loads(text, parse_constant=_reject_constant)
    except UnicodeDecodeError as error:
        raise ValueError(f"{path}: not a model file (not UTF-8 at byte {error.start})") from None
    except json.JSONDecodeError as error:
        # A model file ends with its closing brace: a text cut anywhere
        # before it (inside a string too) reads as truncated.
        stripped = text.rstrip()
        hint = " (truncated?)" if error.pos >= len(stripped) or not stripped.endswith("}") else ""
        raise ValueError(f"{path}: not valid JSON{hint}: {error.msg} at line {error.lineno}, "
                         f"column {error.colno}") from None
    except RecursionError:
        raise ValueError(f"{path}: JSON nested too deeply, not a model file") from None
    except _Refused as error:
        raise ValueError(f"{path}: {error}") from None
    try:
        return estimator_from_dict(content, path)
    except _Refused as error:
        raise ValueError(str(error)) from None
