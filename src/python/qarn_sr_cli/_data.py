"""Reading a data file into named numeric columns, with errors that name the
file, the column and the row."""

from __future__ import annotations

import os

import numpy as np

SUFFIXES = (".csv", ".tsv", ".tab", ".txt", ".parquet", ".pq", ".npy", ".npz")


class DataError(Exception):
    """A problem with a data or model file: exit status 1, one line."""


class UsageError(Exception):
    """A problem with the command line: exit status 2, one line."""


def check_readable(path: str) -> None:
    if not os.path.exists(path):
        raise DataError(f"{path}: no such file")
    if os.path.isdir(path):
        raise DataError(f"{path}: is a folder, not a file")


def read_table(path: str):
    """The file as a pandas DataFrame with string column names. CSV (also
    .txt), TSV (.tsv, .tab), Parquet (.parquet, .pq, needs pyarrow), a NumPy
    array (.npy: two-dimensional, columns x0, x1, ...) or archive (.npz: each
    one-dimensional array a column named after it, a two-dimensional array
    NAME one column NAME0, NAME1, ... per column)."""
    import pandas as pd

    suffix = os.path.splitext(path)[1].lower()
    if suffix not in SUFFIXES:
        raise UsageError(f"{path}: unknown file type '{suffix}' (expected one of "
                         f"{', '.join(SUFFIXES)})")
    check_readable(path)
    try:
        if suffix in (".csv", ".txt"):
            frame = pd.read_csv(path, sep=None if suffix == ".txt" else ",",
                                engine="python" if suffix == ".txt" else "c")
        elif suffix in (".tsv", ".tab"):
            frame = pd.read_csv(path, sep="\t")
        elif suffix in (".parquet", ".pq"):
            try:
                import pyarrow  # noqa: F401
            except ImportError:
                raise DataError(f"{path}: reading Parquet needs pyarrow "
                                "(pip install pyarrow)") from None
            frame = pd.read_parquet(path)
        elif suffix == ".npy":
            frame = _array_frame(np.load(path, allow_pickle=False), "x", path)
        else:
            frame = _archive_frame(path)
    except DataError:
        raise
    except (ValueError, OSError, UnicodeDecodeError, pd.errors.ParserError,
            pd.errors.EmptyDataError) as error:
        raise DataError(f"{path}: cannot be read: {_one_line(error)}") from None
    frame.columns = [str(c) for c in frame.columns]
    if len(set(frame.columns)) != len(frame.columns):
        raise DataError(f"{path}: column names repeat")
    if len(frame) == 0:
        raise DataError(f"{path}: no rows")
    return frame


def _one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


def _array_frame(array, prefix: str, path: str):
    import pandas as pd

    if array.ndim == 1:
        return pd.DataFrame({prefix: array})
    if array.ndim != 2:
        raise DataError(f"{path}: array '{prefix}' has {array.ndim} dimensions (expected 1 or 2)")
    return pd.DataFrame(array, columns=[f"{prefix}{j}" for j in range(array.shape[1])])


def _archive_frame(path: str):
    import pandas as pd

    with np.load(path, allow_pickle=False) as archive:
        parts = [_array_frame(archive[name], name, path) for name in archive.files]
    if not parts:
        raise DataError(f"{path}: the archive holds no arrays")
    lengths = {len(p) for p in parts}
    if len(lengths) != 1:
        raise DataError(f"{path}: the arrays differ in length ({sorted(lengths)})")
    return pd.concat(parts, axis=1)


def numeric_column(frame, name: str, path: str) -> np.ndarray:
    """The column as float64; DataError naming the first row (counted from 1,
    the header not counted) that is missing, not a number or not finite."""
    import pandas as pd

    column = frame[name]
    values = pd.to_numeric(column, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    bad = ~np.isfinite(values)
    if bad.any():
        row = int(np.argmax(bad))
        original = column.iloc[row]
        if pd.isna(original):
            what = "a missing value"
        elif isinstance(original, str):
            what = f"'{original[:40]}', not a number"
        else:
            what = f"{original}, not a finite number"
        raise DataError(f"{path}: column '{name}', row {row + 1}: {what}")
    return values


def select_column(frame, wanted: str, path: str) -> str:
    """The column named `wanted`, or at 0-based position `wanted` when no column
    has that name."""
    if wanted in frame.columns:
        return wanted
    if wanted.isdigit() and int(wanted) < len(frame.columns):
        return frame.columns[int(wanted)]
    shown = ", ".join(frame.columns[:20]) + (", ..." if len(frame.columns) > 20 else "")
    raise DataError(f"{path}: no column '{wanted}' (columns: {shown})")
