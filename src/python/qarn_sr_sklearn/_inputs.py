"""The engine's limits on what a search can take, checked before a fit starts."""

from __future__ import annotations

import numpy as np

# Formulas address their variables with 8-bit indices, and the search seeds
# variables 0 to 254 as leaves.
MAX_FEATURES = 255

# A formula's value (and every intermediate value) is kept only while both of
# its parts lie below this bound in magnitude; no formula can come near a
# target beyond it.
MAGNITUDE_BOUND = 1e15


def check_searchable(X: np.ndarray, y: np.ndarray) -> None:
    """Raises ValueError for data no search can use: more features than a
    formula can address, or values at or beyond the magnitude bound. (Finite
    values and matching lengths are checked by scikit-learn before.)"""
    if X.shape[1] > MAX_FEATURES:
        raise ValueError(
            f"QarnRegressor handles at most {MAX_FEATURES} features (formulas address "
            f"variables with 8-bit indices); X has {X.shape[1]}. Select or combine "
            "features first.")
    if y.size and np.max(np.abs(y)) >= MAGNITUDE_BOUND:
        at = int(np.argmax(np.abs(y)))
        raise ValueError(
            f"QarnRegressor cannot fit targets of magnitude {MAGNITUDE_BOUND:g} or more: "
            f"formula values beyond it have no value in the engine, so no formula can "
            f"represent y[{at}] = {float(y[at])!r}. Rescale y (for example divide it by a "
            "power of ten) and scale the predictions back.")
    if X.size and np.max(np.abs(X)) >= MAGNITUDE_BOUND:
        row, column = (int(i) for i in np.unravel_index(int(np.argmax(np.abs(X))), X.shape))
        raise ValueError(
            f"QarnRegressor cannot use inputs of magnitude {MAGNITUDE_BOUND:g} or more: "
            f"every formula using X[{row}, {column}] = {float(X[row, column])!r} would have no "
            "value there. Rescale that feature first.")
