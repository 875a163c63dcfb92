"""Properties over random data: conversions give exactly NumPy's float64
values or the documented error, and eval, eval_batch and predict agree bit for
bit on formulas from small searches."""

import math
import struct
import warnings

import pytest

import qarn_sr
from conftest import tiny

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

VECTOR_ERROR = "Input must be a 1D list or NumPy array of floats"
ROWS_ERROR = "Input must be a 2D list or 2D NumPy array of floats"
EVAL_ERROR = "Input must be a float or a 1D list/array"
NOT_CONTIGUOUS = "The given array is not contiguous"
WIDTH = 5  # longest row drawn; the reader of variable WIDTH shows a row's length

PROPERTY = settings(deadline=None, database=None, max_examples=150,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


@pytest.fixture(scope="module")
def readers():
    """readers[j] is the formula v_{j}: evaluating it shows input j as converted."""
    rows = [[float((i + 2) ** (j + 1)) for j in range(WIDTH + 1)] for i in range(4)]
    found = [tiny(max_complexity=1).find_multivariate(rows, [row[j] for row in rows])
             for j in range(WIDTH + 1)]
    assert [r.formula for r in found] == [f"v_{{{j}}}" for j in range(WIDTH + 1)]
    return found


def bits(x):
    """A float's bits; every NaN the same (a missing variable reads as NaN)."""
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def numpy_float64(obj):
    """NumPy's float64 values for `obj`, or None where NumPy refuses it."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return np.asarray(obj).astype(np.float64) if isinstance(obj, np.ndarray) else (
                np.array(obj, dtype=np.float64))
        except (TypeError, ValueError, OverflowError):
            return None


# Items the float conversion and NumPy both accept, and items either may refuse.
numbers = st.one_of(
    st.floats(allow_subnormal=True), st.integers(-(2**70), 2**70), st.booleans(),
    st.builds(np.float32, st.floats(width=32)), st.builds(np.float16, st.floats(width=16)),
    st.builds(np.int8, st.integers(-128, 127)), st.builds(np.uint64, st.integers(0, 2**64 - 1)),
    st.builds(np.bool_, st.booleans()))
others = st.one_of(st.just(10**400), st.text(max_size=3), st.binary(max_size=3),
                   st.sampled_from(["1.5", "nan", None, bytearray(b"1")]), st.complex_numbers(max_magnitude=10),
                   st.lists(st.floats(), max_size=2))
items = st.one_of(numbers, numbers, numbers, others)


class Float64Claimed(np.ndarray):
    """Reports float64 whatever its data is."""

    dtype = property(lambda self: np.dtype(np.float64))


def layouts(array):
    """The array, or a view of it in another memory layout."""
    return st.sampled_from([
        lambda a: a, np.asfortranarray, lambda a: a[::-1], lambda a: a[::2],
        lambda a: a[..., ::-1], lambda a: a.T,
        lambda a: a.view(type("Sub", (np.ndarray,), {})), lambda a: a.view(Float64Claimed),
        lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=a.dtype, offset=1).reshape(a.shape),
    ]).map(lambda layout: layout(array))


dtypes = st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(max_len=3),
                   hnp.unicode_string_dtypes(max_len=3), st.just(np.dtype(">f8")))


def arrays(ndim, min_side=0):
    shapes = hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=min_side, max_side=WIDTH)
    return hnp.arrays(dtypes, shapes).flatmap(layouts)


def real_dtype(array):
    """The dtype of the data, whatever the array reports."""
    return np.asarray(array).dtype


def numeric(array):
    """Real numbers that convert one by one exactly as NumPy casts them."""
    return real_dtype(array).kind in "biuf"


def sequences(item):
    return st.one_of(st.lists(item, max_size=WIDTH), st.lists(item, max_size=WIDTH).map(tuple))


# (data, whether it must convert, whether it must fail)
VECTORS = st.one_of(
    sequences(numbers).map(lambda v: (v, True, False)),
    sequences(items).map(lambda v: (v, False, False)),
    arrays(1).map(lambda a: (a, numeric(a) and real_dtype(a) != np.float64, False)),
    arrays(2, min_side=1).map(lambda a: (a, False, True)),
    st.sampled_from(["", "12", b"12", bytearray(b"12"), None]).map(lambda v: (v, False, True)))


@PROPERTY
@given(case=VECTORS)
def test_one_dimensional_data_converts_like_numpy_or_fails_as_documented(case, readers):
    data, must_convert, must_fail = case
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = [bits(r.eval(data)) for r in readers]
    except TypeError as error:
        assert str(error) == NOT_CONTIGUOUS
        assert real_dtype(data) == np.float64 and not (data.flags.c_contiguous or data.flags.f_contiguous)
        return
    except ValueError as error:
        assert str(error) == EVAL_ERROR and not must_convert
        return
    expected = numpy_float64(data)
    assert not must_fail and expected is not None and expected.ndim == 1, data
    assert got == [bits(v) for v in expected] + ["nan"] * (WIDTH + 1 - len(expected))


ROWS = st.one_of(
    sequences(sequences(numbers)).map(lambda v: (v, True, False)),
    sequences(st.one_of(sequences(items), arrays(1))).map(lambda v: (v, False, False)),
    arrays(2).map(lambda a: (a, numeric(a), False)),
    st.one_of(arrays(1, min_side=1), arrays(3, min_side=1)).map(lambda a: (a, False, True)),
    st.sampled_from(["", "ab", [b"12"], [bytearray(b"1")], ["12"], [[1.0], 2.0], 3.5]).map(
        lambda v: (v, False, True)))


@PROPERTY
@given(case=ROWS)
def test_two_dimensional_data_converts_like_numpy_row_by_row_or_fails_as_documented(case, readers):
    data, must_convert, must_fail = case
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            columns = [[bits(v) for v in r.eval_batch(data)] for r in readers]
            assert [[bits(v) for v in r.predict(data)] for r in readers] == columns
    except ValueError as error:
        assert str(error) == ROWS_ERROR and not must_convert
        return
    rows = list(numpy_float64(data)) if isinstance(data, np.ndarray) else [numpy_float64(row) for row in data]
    assert not must_fail and all(row is not None and row.ndim == 1 for row in rows), data
    assert columns == [[bits(row[j]) if j < len(row) else "nan" for row in rows] for j in range(WIDTH + 1)]


@pytest.fixture(scope="module")
def searched():
    """Results memoised by search, so that shrinking does not search again."""
    return {}


points = st.lists(st.one_of(st.floats(-4, 4), st.floats(), st.sampled_from([0.0, -0.0, 1e15, -1e-300])),
                  min_size=0, max_size=3)


@PROPERTY
@given(variables=st.integers(1, 2), target=st.integers(0, 5), level=st.integers(2, 4),
       batch=st.lists(points, min_size=1, max_size=6))
def test_eval_eval_batch_and_predict_agree_bit_for_bit(variables, target, level, batch, searched):
    key = (variables, target, level)
    if key not in searched:
        xs = [0.3 + 0.45 * i for i in range(8)]
        rows = [[x, 2.0 - x][:variables] for x in xs]
        functions = [lambda r: r[0] ** 2 + 1.5, lambda r: math.sin(r[0]) * r[-1], lambda r: 3.0 / (r[0] + r[-1]),
                     lambda r: math.exp(-r[0]) - 0.25, lambda r: math.sqrt(r[0]) * 2.5, lambda r: r[0] - r[-1] ** 3]
        searched[key] = tiny(max_complexity=level, beam_width=12).find_candidates(
            rows, [functions[target](r) for r in rows])
    width = max(len(p) for p in batch)
    matrix = np.array([p + [0.0] * (width - len(p)) for p in batch])
    for result in searched[key]:
        one_by_one = [bits(result.eval(p)) for p in batch]
        assert [bits(v) for v in result.eval_batch(batch)] == one_by_one
        assert [bits(v) for v in result.predict(tuple(batch))] == one_by_one
        assert [bits(v) for v in result.predict(matrix)] == [bits(result.eval(list(row))) for row in matrix]
        assert [bits(result.eval(p[0])) for p in batch if p] == [bits(result.eval(p[:1])) for p in batch if p]
        assert [bits(result.eval(np.array(p))) for p in batch] == one_by_one
