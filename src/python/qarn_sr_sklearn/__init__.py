"""A scikit-learn regressor backed by the qarn_sr search engine.

    from qarn_sr_sklearn import QarnRegressor

    model = QarnRegressor(max_complexity=8, time_limit=60).fit(X, y)
    model.predict(X_new)
    print(model.to_text())       # formula with your feature names
    print(model.to_python())     # runnable source computing what predict computes
    save_model(model, "model.json")  # the formulas as JSON; load_model reads them back

``to_text``, ``to_python`` and ``to_function`` (each ``(result, names=None)``)
do the same for any ``qarn_sr.SearchResult``, also one from ``qarn_sr.Searcher``.

Needs scikit-learn (``pip install "qarn_sr[sklearn]"``); SymPy only for
``QarnRegressor.to_sympy``.
"""

try:
    import sklearn  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "qarn_sr_sklearn needs scikit-learn; install it with: pip install 'qarn_sr[sklearn]'"
    ) from error

from qarn_sr_sklearn._estimator import QarnRegressor
from qarn_sr_sklearn._export import to_function, to_python, to_text
from qarn_sr_sklearn._model_file import load_model, save_model
from qarn_sr_sklearn._scaling import RescaledResult

__all__ = ["QarnRegressor", "RescaledResult", "load_model", "save_model", "to_function",
           "to_python", "to_text"]
