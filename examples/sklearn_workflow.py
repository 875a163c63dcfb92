"""qarn_sr inside a scikit-learn workflow.

Run with:  python examples/sklearn_workflow.py
Splits noisy samples of y = 1.5 x0 x1 into training and test rows, fits
qarn_sr_sklearn.QarnRegressor on the training rows, scores R^2 on the test
rows with sklearn.metrics, and chooses max_complexity by cross-validation.
`verbose=False` keeps every search's progress lines off the console.
"""

import numpy as np
from sklearn.metrics import r2_score
from sklearn.model_selection import GridSearchCV, KFold, train_test_split

from qarn_sr_sklearn import QarnRegressor


def samples(rows=120, noise=0.05, seed=11):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.5, size=(rows, 2))
    y = 1.5 * X[:, 0] * X[:, 1] + rng.normal(0.0, noise, rows)
    return X, y


def main():
    X, y = samples()
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, random_state=0)

    # One fit with fixed settings, scored on rows it has not seen.
    model = QarnRegressor(max_complexity=5, beam_width=150, verbose=False).fit(X_train, y_train)
    test_r2 = r2_score(y_test, model.predict(X_test))
    print(f"fit on {len(X_train)} rows: {model.to_text()}  ->  {model.to_python()}")
    print(f"R^2 on {len(X_test)} test rows: {test_r2:.6f}")

    # Cross-validated choice of max_complexity (3-fold, R^2).
    grid = GridSearchCV(QarnRegressor(beam_width=150, verbose=False),
                        {"max_complexity": [1, 2, 3, 4, 5]},
                        cv=KFold(n_splits=3, shuffle=True, random_state=0), scoring="r2")
    grid.fit(X_train, y_train)
    print()
    print("max_complexity  mean R^2 (3-fold)")
    for params, score in zip(grid.cv_results_["params"], grid.cv_results_["mean_test_score"]):
        print(f"{params['max_complexity']:>14}  {score:.6f}")
    best = grid.best_estimator_
    chosen_r2 = best.score(X_test, y_test)
    print(f"chosen max_complexity: {grid.best_params_['max_complexity']}, "
          f"formula {best.to_text()}, R^2 on the test rows {chosen_r2:.6f}")
    return test_r2, grid, chosen_r2


if __name__ == "__main__":
    main()
