"""Model files: a fitted estimator's formulas as JSON, read back into real
SearchResult objects that predict the same bits; every malformed file a
ValueError that names the file."""

import copy
import json

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

import qarn_sr  # noqa: E402
from qarn_sr_sklearn import QarnRegressor, load_model, save_model  # noqa: E402


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.uniform(0.5, 3.0, size=(60, 2)), columns=["mass", "speed"])
    y = 0.5 * X["mass"] * X["speed"] ** 2 + 0.01 * rng.normal(size=60)
    return QarnRegressor(max_complexity=7, beam_width=100, verbose=False).fit(X, y), X


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


def test_parameters_round_trip_exactly(fitted, tmp_path):
    """Shortest round-trip decimals: awkward doubles (subnormal, huge,
    negative zero) come back as the same bits; non-finite ones as strings."""
    model, X = fitted
    values = [5e-324, -0.0, 1.7976931348623157e308, 0.1 + 0.2, float("nan"), float("inf")]
    content = json.loads(saved_text(model, tmp_path))
    entry = next(e for e in content["front"] if any("parameter" in t for t in e["tokens"]))
    for value in values:
        for token in entry["tokens"]:
            if "parameter" in token:
                token["value"] = [value if np.isfinite(value) else str(value), -value
                                  if np.isfinite(value) else 0.0]
        path = tmp_path / "edited.json"
        path.write_text(json.dumps(content))
        loaded = load_model(path)
        again = tmp_path / "again.json"
        save_model(loaded, again)
        assert json.loads(again.read_text())["front"] == json.loads(path.read_text())["front"]


def saved_text(model, tmp_path):
    path = tmp_path / "m.json"
    save_model(model, path)
    return path.read_text()


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
