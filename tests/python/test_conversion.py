"""How lists and NumPy arrays become vectors and rows, and how conversions
fail. Rows are read back through results whose value is one input variable;
vectors are checked by searching with targets equal to the expected values."""

import pytest

import qarn_sr
from conftest import XS, tiny

np = pytest.importorskip("numpy")

VECTOR_ERROR = "Input must be a 1D list or NumPy array of floats"
ROWS_ERROR = "Input must be a 2D list or 2D NumPy array of floats"
NOT_CONTIGUOUS = "The given array is not contiguous"


def converts_to(xs, expected):
    """True when `xs` converts to exactly `expected`: then y = x is an exact fit."""
    result = tiny(max_complexity=2).find_function(xs, expected)
    return result.formula == "v_{0}" and result.error == 0.0


def unaligned(values, shape=None):
    """A read-only float64 array whose data starts at an odd address."""
    raw = bytes(1) + np.asarray(values, dtype=np.float64).tobytes()
    array = np.frombuffer(raw, dtype=np.float64, offset=1)
    assert not array.flags.aligned
    return array if shape is None else array.reshape(shape)


class Float64Sub(np.ndarray):
    pass


@pytest.mark.parametrize(
    "make",
    [
        lambda v: v,
        lambda v: tuple(v),
        lambda v: [int(x) if x == int(x) else x for x in v],
        lambda v: np.array(v),
        lambda v: np.array(v, dtype=np.float32),
        lambda v: np.array(v, dtype=">f8"),
        lambda v: np.array(v).view(Float64Sub),
        lambda v: unaligned(v),
        lambda v: [np.float64(x) for x in v],
        lambda v: np.array(v, dtype=object),
    ],
    ids=["list", "tuple", "ints", "float64", "float32", "byteswapped", "subclass",
         "unaligned", "numpy-scalars", "object-array"],
)
def test_vector_sources_convert_in_order(make):
    assert converts_to(make(XS), XS)


def test_read_only_array_converts():
    array = np.array(XS)
    array.flags.writeable = False
    assert converts_to(array, XS)
    assert converts_to(XS, array)


def test_int_array_converts_through_the_sequence_path():
    ints = [1, 2, 3, 4]
    assert converts_to(np.array(ints), [1.0, 2.0, 3.0, 4.0])


@pytest.mark.parametrize(
    "make",
    [lambda: np.arange(10.0)[::2], lambda: np.arange(10.0)[::-1],
     lambda: np.arange(20.0).reshape(10, 2)[:, 0]],
    ids=["step-2", "reversed", "column"],
)
def test_strided_float64_vector_is_rejected(make):
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        tiny().find_function(make(), [0.0] * len(make()))
    # The same values as a list are fine.
    values = list(make())
    assert converts_to(values, values)


def test_strided_vector_of_another_type_takes_the_sequence_path():
    values = np.arange(10, dtype=np.int64)[::2]
    assert converts_to(values, [0.0, 2.0, 4.0, 6.0, 8.0])


@pytest.mark.parametrize(
    "bad",
    [
        "123",
        5.0,
        None,
        {1.0: 2.0},
        {1.0, 2.0},
        (x for x in XS),
        [1.0, "2.0"],
        [1.0, None],
        [[1.0], [2.0]],
        np.array(2.0),
        np.ones((2, 3)),
        np.array(["1.0", "2.0"]),
        [10**400],
    ],
    ids=["str", "float", "None", "dict", "set", "generator",
         "str-item", "None-item", "nested", "0-d", "2-d", "str-array", "huge-int"],
)
def test_unconvertible_vectors(bad):
    with pytest.raises(ValueError) as info:
        tiny().find_function(bad, XS)
    assert str(info.value) == VECTOR_ERROR
    with pytest.raises(ValueError, match=f"^{VECTOR_ERROR}$"):
        tiny().find_function(XS, bad)


def test_underlying_error_is_replaced():
    class Exploding:
        def __float__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ValueError) as info:
        tiny().find_function([1.0, Exploding()], [1.0, 2.0])
    assert str(info.value) == VECTOR_ERROR
    assert not isinstance(info.value, ZeroDivisionError)


def test_empty_inputs_reach_the_dimension_check():
    for empty in ([], (), np.array([]), np.empty((0,))):
        with pytest.raises(qarn_sr.QarnDimensionError):
            tiny().find_function(empty, empty)
    with pytest.raises(qarn_sr.QarnDimensionError):
        tiny().find_multivariate(np.empty((0, 2)), [])


# Two-dimensional data, read back through v_{1} (and v_{0}).

BASE = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0], [10.0, 11.0, 12.0]])


@pytest.mark.parametrize(
    "array",
    [
        BASE,
        np.asfortranarray(BASE),
        BASE[::-1],
        BASE[:, ::-1],
        BASE[::-1, ::-1],
        BASE[::2, ::2],
        BASE.T,
        BASE.T[::-1],
        BASE.view(Float64Sub),
        BASE.astype(">f8"),
        BASE.astype(np.float32),
        BASE.astype(np.int64),
        unaligned(BASE, BASE.shape),
        unaligned(BASE, BASE.shape).T,
    ],
    ids=["c", "fortran", "rows-reversed", "cols-reversed", "both-reversed", "step-2",
         "transposed", "transposed-reversed", "subclass", "byteswapped", "float32",
         "int64", "unaligned", "unaligned-transposed"],
)
def test_rows_follow_logical_order(array, first_input, second_input):
    expected = array.tolist()
    assert first_input.eval_batch(array) == [row[0] for row in expected]
    assert second_input.eval_batch(array) == [row[1] for row in expected]


def test_rows_from_sequences(second_input, first_input):
    assert second_input.eval_batch([[1.0, 2.0], [3.0, 4.0]]) == [2.0, 4.0]
    assert second_input.eval_batch(((1, 2), [3, 4], np.array([5.0, 6.0]))) == [2.0, 4.0, 6.0]
    # Rows may differ in length; a row without variable 1 gives NaN.
    ragged = second_input.eval_batch([[1.0], [2.0, 3.0], []])
    assert ragged[0] != ragged[0] and ragged[1] == 3.0 and ragged[2] != ragged[2]
    # Items are not tried on the array fast path: a strided row is fine here.
    assert first_input.eval_batch([np.arange(6.0)[::2]]) == [0.0]


def test_array_shapes_at_the_edges(first_input):
    assert first_input.eval_batch(np.empty((0, 3))) == []
    assert first_input.eval_batch([]) == []
    nan_rows = first_input.eval_batch(np.empty((2, 0)))
    assert len(nan_rows) == 2 and all(v != v for v in nan_rows)
    assert first_input.eval_batch(np.array([[5.0]])) == [5.0]


def test_multivariate_search_reads_rows_sample_major():
    data = np.array([[0.5, 9.0], [1.0, 7.0], [1.5, 3.0], [2.0, 1.0]])
    result = tiny(max_complexity=2).find_multivariate(data.T.copy().T, data[:, 1].copy())
    assert result.formula == "v_{1}"
    assert result.error == 0.0


@pytest.mark.parametrize(
    "bad",
    [
        "12",
        [1.0, 2.0],
        [[1.0], "2.0"],
        [[1.0], 2.0],
        [[1.0, "x"]],
        np.array([1.0, 2.0]),
        np.ones((2, 2, 2)),
        np.array(3.0),
        None,
        42,
        (row for row in [[1.0]]),
    ],
    ids=["str", "flat-list", "str-row", "number-row", "str-item", "1-d-array",
         "3-d-array", "0-d-array", "None", "int", "generator"],
)
def test_unconvertible_rows(bad, first_input):
    with pytest.raises(ValueError) as info:
        first_input.eval_batch(bad)
    assert str(info.value) == ROWS_ERROR
    with pytest.raises(ValueError, match=f"^{ROWS_ERROR}$"):
        tiny().find_multivariate(bad, [1.0, 2.0])

