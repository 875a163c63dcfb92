"""Model files: a fitted estimator's formulas as JSON, read back into real
SearchResult objects that predict the same bits; every malformed file a
ValueError that names the file."""

import copy
import json

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import qarn_sr  # noqa: E402
from qarn_sr_sklearn import QarnRegressor, load_model, save_model  # noqa: E402


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.uniform(0.5, 3.0, size=(60, 2)), columns=["mass", "speed"])
    y = 0.5 * X["mass"] * X["speed"] ** 2 + 0.01 * rng.normal(size=60)
    return QarnRegressor(max_complexity=7, beam_width=100, full_fit=False,
                         verbose=False).fit(X, y), X


@pytest.fixture(scope="module")
def saved(fitted, tmp_path_factory):
    path = tmp_path_factory.mktemp("model") / "model.json"
    save_model(fitted[0], path)
    return path


def test_round_trip_is_bit_identical(fitted, saved):
    model, X = fitted
    loaded = load_model(saved)
    assert isinstance(loaded.best_, qarn_sr.SearchResult)
    assert loaded.best_ is loaded.pareto_front_[model.pareto_front_.index(model.best_)]
    for before, after in zip(model.pareto_front_, loaded.pareto_front_, strict=True):
        assert (after.formula, after.complexity) == (before.formula, before.complexity)
        assert after.error == before.error
        assert np.array_equal(np.asarray(after.predict(X.to_numpy())),
                              np.asarray(before.predict(X.to_numpy())), equal_nan=True)
    assert np.array_equal(loaded.predict(X), model.predict(X))
    assert list(loaded.feature_names_in_) == ["mass", "speed"]
    assert loaded.to_text() == model.to_text()
    assert loaded.get_params() == model.get_params()
    with pytest.raises(ValueError, match="feature names"):
        loaded.predict(X.rename(columns={"mass": "m"}))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(re_part=st.floats(), im_part=st.floats())
def test_parameters_round_trip_exactly(saved, tmp_path, re_part, im_part):
    """Any double, subnormal, huge, negative zero or not finite, comes back
    as the same bits (NaN as a NaN)."""
    import _qarn_sr_core

    content = json.loads(saved.read_text())
    entry = next(e for e in content["front"] if any("parameter" in t for t in e["tokens"]))
    as_json = [v if np.isfinite(v) else str(v) for v in (re_part, im_part)]
    for token in entry["tokens"]:
        if "parameter" in token:
            token["value"] = as_json
    path = tmp_path / "edited.json"
    path.write_text(json.dumps(content))
    loaded = load_model(path)
    result = loaded.pareto_front_[content["front"].index(entry)]
    values = [(t[3], t[4]) for t in _qarn_sr_core.result_state(result)[3] if t[0] == 3]
    expected = np.array([re_part, im_part])
    for value in values:
        got = np.array(value)
        assert np.array_equal(got.view(np.int64), expected.view(np.int64)) or (
            np.isnan(expected).any() and np.array_equal(got, expected, equal_nan=True))
    again = tmp_path / "again.json"
    save_model(loaded, again)
    assert json.loads(again.read_text())["front"] == json.loads(path.read_text())["front"]


def edit(content, change):
    content = copy.deepcopy(content)
    change(content)
    return content


def set_token(content, token):
    content["front"][0]["tokens"][0] = token


BAD = {
    "not a qarn_sr model file": lambda c: c.update(format="something.else"),
    "version 2 is not supported": lambda c: c.update(version=2, front="another layout"),
    "unknown operator": lambda c: c["front"][0]["tokens"].__setitem__(
        -1, {"operator": "Gamma", "arity": 2}),
    "takes 2 operands": lambda c: c["front"][0]["tokens"].__setitem__(
        -1, {"operator": "Times", "arity": 1}),
    "do not form one formula": lambda c: c["front"][0]["tokens"].pop(),
    "does not match the tokens": lambda c: c["front"][0].update(formula="Pi"),
    "does not match the 7 tokens": lambda c: c["front"][0].update(complexity=3),
    "outside 0..1": lambda c: set_token(c, {"variable": 2}),
    "unknown token": lambda c: set_token(c, {"code": "__import__('os')"}),
    "expected an integer": lambda c: set_token(c, {"variable": True}),
    "expected a number": lambda c: c["front"][0].update(error="0.1"),
    "outside 1..255": lambda c: c.update(n_features=10**12),
    "1 to 511 tokens": lambda c: c["front"][0].update(tokens=[{"variable": 0}] * 100_000),
    "1 to 100000 entries": lambda c: c.update(front=[]),
    "missing best": lambda c: c.pop("best"),
    "outside 0..": lambda c: c.update(best=99),
    "names repeat": lambda c: c.update(feature_names=["a", "a"]),
    "settings": lambda c: c["settings"].update(max_complexity=-3),
}


@pytest.mark.parametrize("message", BAD)
def test_bad_files_raise_value_error(saved, tmp_path, message):
    content = json.loads(saved.read_text())
    assert len(content["front"][0]["tokens"]) == 7  # the cases above assume it
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(edit(content, BAD[message])))
    with pytest.raises(ValueError, match=message) as raised:
        load_model(path)
    assert str(path) in str(raised.value)


def test_broken_json_raises_value_error(saved, tmp_path):
    text = saved.read_text()
    cases = {
        "truncated": text[: len(text) // 2],
        "not valid JSON": text.replace('"best"', "'best'"),
        "NaN is not valid JSON": text.replace('"timed_out": false', '"timed_out": NaN'),
        "nested too deeply": "[" * 100_000 + "]" * 100_000,
        "not UTF-8": b"\xff\xfe{",
        "expected an object": "[1, 2, 3]",
    }
    for message, body in cases.items():
        path = tmp_path / "broken.json"
        (path.write_bytes if isinstance(body, bytes) else path.write_text)(body)
        with pytest.raises(ValueError, match=message):
            load_model(path)


def test_unfitted_estimator_is_refused(tmp_path):
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError):
        save_model(QarnRegressor(), tmp_path / "m.json")
    assert not (tmp_path / "m.json").exists()
