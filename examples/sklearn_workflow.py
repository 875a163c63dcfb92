"""qarn_sr inside a scikit-learn workflow.

Run with:  python examples/sklearn_workflow.py
Splits noisy samples of y = 1.5 x0 x1 into training and test rows, fits on the
training rows, scores R^2 on the test rows with sklearn.metrics, and chooses
max_complexity by cross-validation. The estimator is a small wrapper written
here; the module itself has no scikit-learn dependency.
"""

import contextlib
import os
import sys

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.metrics import r2_score
from sklearn.model_selection import GridSearchCV, KFold, train_test_split
from sklearn.utils.validation import check_array, check_is_fitted, check_X_y

import qarn_sr


@contextlib.contextmanager
def silenced_stdout_fd():
    """Send what is written to file descriptor 1 (the search's progress lines)
    to the null device while the block runs."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as devnull:
            os.dup2(devnull.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


class QarnEstimator(RegressorMixin, BaseEstimator):
    """A scikit-learn regressor around qarn_sr.Searcher.

    BaseEstimator supplies get_params/set_params from the constructor's
    arguments (so clone() and GridSearchCV work), RegressorMixin supplies
    score (R^2). fit runs one search and keeps the best formula in `result_`.
    `verbose=False` keeps the search's progress lines off the console.
    """

    def __init__(self, max_complexity=6, beam_width=200, complexity_penalty=0.1,
                 alpha=0.0, l1_ratio=0.5, verbose=False):
        self.max_complexity = max_complexity
        self.beam_width = beam_width
        self.complexity_penalty = complexity_penalty
        self.alpha = alpha
        self.l1_ratio = l1_ratio
        self.verbose = verbose

    def fit(self, X, y):
        X, y = check_X_y(X, y, dtype=np.float64, y_numeric=True)
        searcher = qarn_sr.Searcher(max_complexity=self.max_complexity,
                                    complexity_penalty=self.complexity_penalty,
                                    beam_width=self.beam_width, alpha=self.alpha,
                                    l1_ratio=self.l1_ratio)
        quiet = contextlib.nullcontext() if self.verbose else silenced_stdout_fd()
        with quiet:
            self.result_ = searcher.find_multivariate(X, y)
        self.n_features_in_ = X.shape[1]
        return self

    def predict(self, X):
        check_is_fitted(self, "result_")
        X = check_array(X, dtype=np.float64)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {X.shape[1]} features, but the estimator was fitted "
                             f"with {self.n_features_in_}")
        return np.asarray(self.result_.predict(X), dtype=np.float64)


def samples(rows=120, noise=0.05, seed=11):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.5, size=(rows, 2))
    y = 1.5 * X[:, 0] * X[:, 1] + rng.normal(0.0, noise, rows)
    return X, y


def main():
    X, y = samples()
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, random_state=0)

    # One fit with fixed settings, scored on rows it has not seen.
    model = QarnEstimator(max_complexity=5, beam_width=150).fit(X_train, y_train)
    test_r2 = r2_score(y_test, model.predict(X_test))
    print(f"fit on {len(X_train)} rows: {model.result_.formula}  ->  {model.result_.to_python()}")
    print(f"R^2 on {len(X_test)} test rows: {test_r2:.6f}")

    # Cross-validated choice of max_complexity (3-fold, R^2).
    grid = GridSearchCV(QarnEstimator(beam_width=150), {"max_complexity": [1, 2, 3, 4, 5]},
                        cv=KFold(n_splits=3, shuffle=True, random_state=0), scoring="r2")
    grid.fit(X_train, y_train)
    print()
    print("max_complexity  mean R^2 (3-fold)")
    for params, score in zip(grid.cv_results_["params"], grid.cv_results_["mean_test_score"]):
        print(f"{params['max_complexity']:>14}  {score:.6f}")
    best = grid.best_estimator_
    chosen_r2 = best.score(X_test, y_test)
    print(f"chosen max_complexity: {grid.best_params_['max_complexity']}, "
          f"formula {best.result_.formula}, R^2 on the test rows {chosen_r2:.6f}")
    return test_r2, grid, chosen_r2


if __name__ == "__main__":
    main()
