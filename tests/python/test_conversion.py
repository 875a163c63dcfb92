"""Lists and NumPy arrays as vectors and rows, and the conversion errors.
Vectors are checked by searching y = x with the expected values as targets;
rows are read back through the results v_{0} and v_{1}."""

import pytest

import qarn_sr
from conftest import XS, tiny

np = pytest.importorskip("numpy")

VECTOR_ERROR = "^Input must be a 1D list or NumPy array of floats$"
ROWS_ERROR = "^Input must be a 2D list or 2D NumPy array of floats$"


def converts_to(data, expected):
    result = tiny(max_complexity=2).find_function(data, expected)
    return (result.formula, result.error) == ("v_{0}", 0.0)


def unaligned(values):
    """Read-only float64 data starting at an odd address."""
    values = np.asarray(values, dtype=np.float64)
    raw = b"\0" + values.tobytes()
    return np.frombuffer(raw, dtype=np.float64, offset=1).reshape(values.shape)


class Sub(np.ndarray):
    pass


def read_only(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


VECTORS = [list, tuple, lambda v: [int(x) if x == int(x) else x for x in v], np.array, read_only,
           lambda v: np.array(v, dtype=np.float32), lambda v: np.array(v, dtype=">f8"),
           lambda v: np.array(v).view(Sub), unaligned, lambda v: [np.float64(x) for x in v],
           lambda v: np.array(v, dtype=object)]


@pytest.mark.parametrize("make", VECTORS)
def test_vectors_convert_in_order(make):
    assert converts_to(make(XS), XS) and converts_to(XS, make(XS))


def test_ints_and_strided_non_float64_arrays_take_the_sequence_path():
    assert converts_to(np.arange(10)[::2], [0.0, 2.0, 4.0, 6.0, 8.0])
    assert converts_to([1, 2, True], np.array([1.0, 2.0, 1.0]))


@pytest.mark.parametrize("strided", [np.arange(10.0)[::2], np.arange(5.0)[::-1],
                                     np.arange(10.0).reshape(5, 2)[:, 0]])
def test_strided_float64_vector_is_not_contiguous(strided, square):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        tiny().find_function(strided, list(strided))
    assert converts_to(list(strided), list(strided))
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        square.eval(strided)


@pytest.mark.parametrize("bad", ["123", 5.0, None, {1.0: 2.0}, {1.0}, (x for x in XS),
                                 [1.0, "2.0"], [1.0, None], [[1.0]], [10**400],
                                 np.array(2.0), np.ones((2, 3)), np.array(["1.0"])])
def test_unconvertible_vectors(bad):
    with pytest.raises(ValueError, match=VECTOR_ERROR):
        tiny().find_function(bad, XS)
    with pytest.raises(ValueError, match=VECTOR_ERROR):
        tiny().find_function(XS, bad)


B = np.arange(1.0, 13.0).reshape(4, 3)


@pytest.mark.parametrize("array", [
    B, np.asfortranarray(B), B[::-1], B[:, ::-1], B[::-1, ::-1], B[::2, ::2], B.T, B.T[::-1],
    B.view(Sub), read_only(B), B.astype(">f8"), B.astype(np.float32), B.astype(np.int64),
    unaligned(B), unaligned(B).T, np.array(B.tolist(), dtype=object)])
def test_rows_follow_logical_order(array, var0, var1):
    assert var0.eval_batch(array) == [row[0] for row in array.tolist()]
    assert var1.predict(array) == [row[1] for row in array.tolist()]


def test_rows_from_sequences_and_edge_shapes(var0, var1):
    assert var1.eval_batch(((1, 2), [3, 4], np.array([5.0, 6.0]))) == [2.0, 4.0, 6.0]
    ragged = var1.eval_batch([[1.0], [2.0, 3.0], []])
    assert ragged[1] == 3.0 and ragged[0] != ragged[0] and ragged[2] != ragged[2]
    # Items are converted as sequences: a strided row is fine.
    assert var0.eval_batch([np.arange(6.0)[::2]]) == [0.0]
    assert var0.eval_batch(np.empty((0, 3))) == [] == var0.eval_batch([])
    assert all(v != v for v in var0.eval_batch(np.empty((2, 0))))
    result = tiny(max_complexity=2).find_multivariate(np.asfortranarray(B), B[:, 2].copy())
    assert (result.formula, result.error) == ("v_{2}", 0.0)


@pytest.mark.parametrize("bad", ["12", [1.0, 2.0], [[1.0], "2.0"], [[1.0], 2.0], [[1.0, "x"]],
                                 np.array([1.0, 2.0]), np.ones((2, 2, 2)), np.array(3.0), None,
                                 (row for row in [[1.0]])])
def test_unconvertible_rows(bad, var0):
    with pytest.raises(ValueError, match=ROWS_ERROR):
        var0.eval_batch(bad)
    with pytest.raises(ValueError, match=ROWS_ERROR):
        tiny().find_multivariate(bad, [1.0, 2.0])


def test_empty_data_reaches_the_dimension_check():
    for xs, ys in [([], []), (np.array([]), []), ((), np.empty(0))]:
        with pytest.raises(qarn_sr.QarnDimensionError):
            tiny().find_function(xs, ys)
    with pytest.raises(qarn_sr.QarnDimensionError):
        tiny().find_multivariate(np.empty((0, 2)), [])


def test_buffer_format_decides_not_the_claimed_dtype(var0, var1):
    """A subclass may report float64 for data that is not: its values are read
    as what they are, never as reinterpreted bits."""
    lying = type("Lying", (np.ndarray,), {"dtype": property(lambda self: np.dtype(np.float64))})
    ints = np.arange(1, 7, dtype=np.int64)
    assert converts_to(ints.view(lying), [float(v) for v in ints])
    rows = np.arange(12, dtype=np.int64).reshape(6, 2).view(lying)
    assert var0.eval_batch(rows) == [float(v) for v in range(0, 12, 2)]
    assert var1.predict(rows) == [float(v) for v in range(1, 12, 2)]
    assert var0.eval(np.array([5, 6], dtype=np.int64).view(lying)) == 5.0
