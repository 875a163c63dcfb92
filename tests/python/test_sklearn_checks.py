"""QarnRegressor against scikit-learn's own estimator checks.

Small settings keep every check to a fraction of a second. The second
instance goes through the time-limited schedule (a limit far above what the
tiny searches need, so results stay deterministic).

Checks that cannot apply:
- check_array_api_input: scikit-learn skips it unless SCIPY_ARRAY_API is set.
  The estimator converts every input to a float64 NumPy array before the
  search and declares no array-API support, so there is nothing to check.
Every other check runs and must pass.
"""

import pytest

sklearn = pytest.importorskip("sklearn")

from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from qarn_sr_sklearn import QarnRegressor  # noqa: E402

ESTIMATORS = [
    QarnRegressor(max_complexity=4, beam_width=20, verbose=False),
    QarnRegressor(max_complexity=3, beam_width=10, verbose=False, time_limit=600.0,
                  schedule="growing"),
]


@parametrize_with_checks(ESTIMATORS)
def test_scikit_learn_checks(estimator, check):
    check(estimator)
