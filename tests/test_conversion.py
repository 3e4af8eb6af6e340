"""Python objects turned into arrays: array(), the conversions under it, and ndarray.copy."""

import array as pyarray
import ctypes
import decimal
import fractions
import struct

import numpy as np
import pytest

import corvantile as cv
from conftest import differential
from _probe import load

NDARRAY = cv._core.ndarray
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def nest(depth, leaf=1.0):
    x = leaf
    for _ in range(depth):
        x = [x]
    return x


class FloatSub(float):
    pass


class IntSub(int):
    pass


class ListSub(list):
    pass


def strided_np(dtype):
    return (np.arange(12).reshape(3, 4) % 3).astype(dtype)[:, ::2]


# Inputs whose array() result must equal NumPy's np.array(x) (value, dtype, shape), and
# whether the result is corvantile's ndarray (True) or NumPy's own object (False). Inputs
# the native side declines reach NumPy, whose arrays of native kinds come back native.
ARRAY_INPUTS = [
    ("ints", [1, 2, 3], True),
    ("floats", [1.5, -0.0, float("nan"), float("inf")], True),
    ("bools", [True, False], True),
    ("bool and int", [True, 2], True),
    ("int and float", [1, 2.5], True),
    ("bool and float", [True, 1.5], True),
    ("tuple of tuples", ((1, 2), (3, 4)), True),
    ("tuple of lists", ([1.0], [2.0]), True),
    ("list subclass", ListSub([1, 2]), True),
    ("empty", [], True),
    ("empty rows", [[], []], True),
    ("empty tuple", (), True),
    ("2-d", [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], True),
    ("8 levels", nest(8), True),
    ("int64 max", [I64_MAX, I64_MIN], True),
    ("float subclass elements", [FloatSub(1.5), np.float64(2.5)], True),
    ("int subclass elements", [IntSub(3), 4], True),
    ("large int to float", [1.5, 2**53 + 1], True),
    ("float scalar", 3.5, True),
    ("int scalar", -7, True),
    ("bool scalar", True, True),
    ("float subclass scalar", FloatSub(2.0), True),
    ("np float64 scalar", np.float64(1.25), True),
    ("np int64 scalar", np.int64(5), True),
    ("np bool scalar", np.bool_(True), True),
    ("np float64", np.array([[1.5, 2.5]]), True),
    ("np int64", np.array([1, 2], dtype=np.int64), True),
    ("np bool", np.array([True, False]), True),
    ("np 0-d float64", np.array(2.5), True),
    ("np 0-d int64", np.array(3), True),
    ("np 0-d bool", np.array(False), True),
    ("np strided float64", strided_np("float64"), True),
    ("np strided int64", strided_np("int64"), True),
    ("np strided bool", strided_np("bool"), False),
    ("np fortran", np.asfortranarray(np.arange(6.0).reshape(2, 3)), True),
    ("np 8-d", np.zeros((1,) * 8), True),
    ("memoryview d", memoryview(pyarray.array("d", [1.0, 2.0])), True),
    ("memoryview q", memoryview(pyarray.array("q", [1, -2])), True),
    ("memoryview l", memoryview(pyarray.array("l", [3, 4])), True),
    ("memoryview 2-d d", memoryview(struct.pack("4d", 1, 2, 3, 4)).cast("d", (2, 2)), True),
    ("memoryview strided", memoryview(pyarray.array("d", [1.0, 2.0, 3.0, 4.0]))[::2], True),
    ("memoryview bool", memoryview(struct.pack("3?", True, False, True)).cast("?"), True),
    ("np unaligned float64", np.frombuffer(bytearray(17), dtype=np.float64, offset=1), True),
    # NumPy decides these
    ("ragged", [[1, 2], [3]], False),
    ("ragged scalar and list", [[1], 2], False),
    ("ragged list after scalar", [1, [2]], False),
    ("ragged depth", [[1], [[2]]], False),
    ("9 levels", nest(9), False),
    ("beyond int64", [2**63], False),
    ("beyond int64 both ways", [I64_MIN, 2**64 - 1], True),
    ("int scalar beyond int64", 2**63, False),
    ("huge int", 2**70, False),
    ("string element", [1, "a"], False),
    ("np int64 elements", [np.int64(1), np.int64(2)], True),
    ("np bool elements", [np.True_, np.False_], True),
    ("complex", [1 + 2j], False),
    ("complex scalar", 1 + 2j, False),
    ("None", None, False),
    ("string", "abc", False),
    ("np float32", np.array([1.5], dtype=np.float32), False),
    ("np complex", np.array([1 + 1j]), False),
    ("np uint8", np.array([1, 2], dtype=np.uint8), False),
    ("np big-endian", np.array([1.0, 2.0], dtype=">f8"), False),
    ("np int32", np.array([1], dtype=np.int32), False),
    ("np 9-d", np.zeros((1,) * 9), False),
    ("np float32 scalar", np.float32(1.5), False),
    ("np uint64 scalar", np.uint64(7), False),
    ("memoryview B", memoryview(pyarray.array("B", [1, 2])), False),
    ("memoryview f", memoryview(pyarray.array("f", [1.0])), False),
    ("memoryview big-endian d", memoryview(np.array([1.0, 2.0], dtype=">f8")), False),
    ("ctypes little-endian d", memoryview((ctypes.c_double * 2)(1.0, 2.0)), True),
    ("ctypes big-endian d", memoryview((ctypes.c_double.__ctype_be__ * 2)(1.0, 2.0)), False),
    ("ctypes int64", memoryview((ctypes.c_int64 * 2)(1, -2)), True),
    ("bytes", b"ab", False),
    ("decimal", decimal.Decimal("1.5"), False),
]


@pytest.mark.parametrize("label, x, native", ARRAY_INPUTS, ids=[c[0] for c in ARRAY_INPUTS])
def test_array_matches_numpy(label, x, native):
    got = differential(lambda xp: xp.array(x))
    assert (type(got) is NDARRAY) == native, f"{label}: {type(got)}"


@pytest.mark.parametrize("label, x, native", ARRAY_INPUTS, ids=[c[0] for c in ARRAY_INPUTS])
def test_asarray_matches_numpy(label, x, native):
    got = differential(lambda xp: xp.asarray(x))
    assert (type(got) is NDARRAY) == native, f"{label}: {type(got)}"


def test_zero_dim_numpy_objects_are_read_by_value():
    # A 0-d NumPy object is read through its Python conversion, whatever its byte order.
    for x, want in [(np.array(2.5, dtype=">f8"), 2.5), (np.array(-3, dtype=">i8"), -3)]:
        got = cv.array(x)
        assert type(got) is NDARRAY
        assert np.asarray(got).dtype.isnative and np.asarray(got) == want


def test_array_copies_never_share():
    n = np.arange(4.0)
    a = cv.array(n)
    assert not np.shares_memory(np.asarray(a), n)
    b = cv.array(a)
    assert b is not a
    assert not np.shares_memory(np.asarray(a), np.asarray(b))
    n[0] = 100.0
    assert np.asarray(a)[0] == 0.0


def test_nested_conversion_reads_current_list():
    # A float subclass whose conversion empties the outer list: the walk stops safely.
    outer = []

    class Shrinking(float):
        def __float__(self):
            outer.clear()
            return 1.0

    outer.extend([Shrinking(1.0), 2.0, 3.0])
    cv.array(outer)  # declines or converts; must not read freed items


# ---- conversions reached through the test probe ----------------------------------------


@pytest.fixture(scope="module")
def probe():
    return load()


CLASSIFY = [
    (True, ("BoolScalar", True)),
    (False, ("BoolScalar", False)),
    (1, ("IntScalar", 1)),
    (IntSub(-5), ("IntScalar", -5)),
    (I64_MIN, ("IntScalar", I64_MIN)),
    (1.5, ("FloatScalar", 1.5, False)),
    (FloatSub(2.5), ("FloatScalar", 2.5, False)),
    (np.float64(0.25), ("FloatScalar", 0.25, False)),
    (2**63, ("FloatScalar", 9.223372036854776e18, True)),
    (-(2**70), ("FloatScalar", -float(2**70), True)),
    (10**400, ("Unsupported", None)),
    (np.int64(3), ("IntScalar", 3)),
    (np.int32(-3), ("IntScalar", -3)),
    (np.True_, ("FloatScalar", 1.0, False)),
    (decimal.Decimal("2.5"), ("FloatScalar", 2.5, False)),
    (fractions.Fraction(1, 4), ("FloatScalar", 0.25, False)),
    ("3", ("Unsupported", None)),
    (None, ("Unsupported", None)),
    ([1.0], ("Unsupported", None)),
    ((1.0,), ("Unsupported", None)),
    ({}, ("Unsupported", None)),
    (np.array(1.0), ("Unsupported", None)),
    (np.array([1.0]), ("Unsupported", None)),
    (1 + 2j, ("Unsupported", None)),
    (np.complex128(1 + 2j), ("Unsupported", None)),
    (np.complex64(1 + 2j), ("Unsupported", None)),
    (np.uint64(3), ("Unsupported", None)),
    (np.uint8(3), ("Unsupported", None)),
    (np.float32(1.5), ("FloatScalar", 1.5, False)),
    (np.float16(0.5), ("FloatScalar", 0.5, False)),
    (np.int8(-2), ("IntScalar", -2)),
    (np.longdouble(1.5), ("Unsupported", None)),
    (object(), ("Unsupported", None)),
]


@pytest.mark.parametrize("obj, want", CLASSIFY, ids=[repr(c[0])[:30] for c in CLASSIFY])
def test_classify(probe, obj, want):
    assert probe.classify(obj) == want


class RaisingLen:
    def __getattr__(self, name):
        raise RuntimeError(name)


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_classify_never_raises(probe):
    assert probe.classify(RaisingLen()) == ("Unsupported", None)
    assert probe.classify(IndexLike(7)) == ("IntScalar", 7)
    # An __index__ beyond int64 is read by the float conversion (through __index__).
    assert probe.classify(IndexLike(2**64)) == ("FloatScalar", float(2**64), False)


def test_classify_arrays(probe):
    t = probe.ndarray_type()
    assert probe.classify(t((2,))) == ("F64Array", None)
    assert probe.classify(t((2,), dtype="int64")) == ("OtherArray", "int64")
    assert probe.classify(t((), dtype=bool)) == ("OtherArray", "bool")


NUMPY_HANDLES = [
    (1 + 2j, True), ([1], True), ((1,), True), (ListSub(), True), (np.array([1.0]), True),
    (np.uint64(1), True), (np.complex64(1), True), (None, False), ("ab", False), ({}, False),
    (object(), False), (RaisingLen(), False), (memoryview(b"a"), False),
]


@pytest.mark.parametrize("obj, want", NUMPY_HANDLES, ids=[repr(c[0])[:30] for c in NUMPY_HANDLES])
def test_numpy_handles(probe, obj, want):
    assert probe.numpy_handles(obj) is want


def test_bool_mask(probe):
    t = probe.ndarray_type()
    assert probe.bool_mask(t((2,))) is None
    assert probe.bool_mask(t((2,), dtype="int64")) is None
    assert probe.bool_mask(t((2, 1), dtype=bool)) == ([False, False], [2, 1])
    m = np.array([[True, False, True], [False, False, True]])
    assert probe.bool_mask(m) == (m.ravel().tolist(), [2, 3])
    assert probe.bool_mask(m[:, ::2]) is None
    assert probe.bool_mask(np.array(True)) is None
    assert probe.bool_mask(np.array([1, 0], dtype=np.uint8)) is None
    assert probe.bool_mask([True]) is None
    # Any non-zero byte is true.
    raw = memoryview(bytes([0, 2, 255])).cast("?")
    assert probe.bool_mask(raw) == ([False, True, True], [3])


BUFFER_ANY = [
    (np.array([[1.5, 2.5]]), ("float64", (1, 2), [1.5, 2.5])),
    (np.array([1, -2]), ("int64", (2,), [1, -2])),
    (np.array([True]), ("bool", (1,), [True])),
    (np.array(2.5), ("float64", (), [2.5])),
    (np.array(2, dtype=">i8"), ("int64", (), [2])),
    (np.float32(1.5), None),
    (np.array(1.5, dtype=np.float32), None),
    (np.array([1.5], dtype=np.float32), None),
    (np.array([1.5], dtype="<f8"), ("float64", (1,), [1.5])),
    (np.array([1.5], dtype=">f8"), None),
    (np.zeros((1,) * 9), None),
    (memoryview(pyarray.array("d", [1.0])), ("float64", (1,), [1.0])),
    (memoryview((ctypes.c_int64 * 1)(5)), ("int64", (1,), [5])),
    (memoryview((ctypes.c_double * 1)(0.5)), ("float64", (1,), [0.5])),
    (memoryview((ctypes.c_double.__ctype_be__ * 1)(0.5)), None),
    (memoryview((ctypes.c_int64.__ctype_be__ * 1)(5)), None),
    (memoryview(pyarray.array("l", [5])).cast("B").cast("@l"), ("int64", (1,), [5])),
    (memoryview(pyarray.array("q", [5])).cast("B").cast("n"), ("int64", (1,), [5])),
    (memoryview(pyarray.array("d", [5])).cast("B").cast("@d"), ("float64", (1,), [5.0])),
    (memoryview(pyarray.array("q", [5])).cast("B").cast("N"), None),
    (memoryview(pyarray.array("B", [1])), None),
    (b"12345678", None),
    ([1.0], None),
]


@pytest.mark.parametrize("obj, want", BUFFER_ANY, ids=[repr(c[0])[:40] for c in BUFFER_ANY])
def test_from_buffer_any(probe, obj, want):
    assert probe.from_buffer_any(obj) == want


def test_buffer_byte_order_prefixes_are_honoured(probe):
    big = np.array([1.0, 2.0], dtype=">f8")
    assert memoryview(big).format == ">d"
    assert probe.from_buffer_any(memoryview(big)) is None
    assert probe.native_array(memoryview(big)) is None
    little = (ctypes.c_double * 1)(1.0)
    assert memoryview(little).format == "<d"
    assert probe.native_array(memoryview(little)) == ("float64", (1,), [1.0])


def test_from_f64_buffer(probe):
    assert probe.from_f64_buffer(np.array(1.5, dtype=np.float32)) == ("float64", (), [1.5])
    assert probe.from_f64_buffer(np.array([1, 2])) == ("float64", (2,), [1.0, 2.0])
    assert probe.from_f64_buffer(np.array([True])) == ("float64", (1,), [1.0])
    assert probe.from_f64_buffer(np.array([1.5], dtype=np.float32)) is None
    assert probe.from_f64_buffer(np.array("a")) is None


def test_array_from_any(probe):
    assert probe.array_from_any([1, 2]) == ("float64", (2,), [1.0, 2.0])
    assert probe.array_from_any(np.array([1.5], dtype=np.float32)) == ("float64", (1,), [1.5])
    assert probe.array_from_any(2**64) == ("float64", (), [float(2**64)])
    with pytest.raises(ValueError):
        probe.array_from_any("abc")
    with pytest.raises(TypeError):
        probe.array_from_any(1 + 2j)


NATIVE_ARRAY = [
    (3.5, ("float64", (), [3.5])),
    (True, ("bool", (), [True])),
    (-4, ("int64", (), [-4])),
    (2**63, None),
    ([], ("float64", (0,), [])),
    ([[], []], ("float64", (2, 0), [])),
    ([1, 2], ("int64", (2,), [1, 2])),
    ([True, False], ("bool", (2,), [True, False])),
    ([True, 2], ("int64", (2,), [1, 2])),
    ([1, 2.5], ("float64", (2,), [1.0, 2.5])),
    ([True, 1.5], ("float64", (2,), [1.0, 1.5])),
    ([[1, 2], [3]], None),
    ([[1], 2], None),
    ([1, [2]], None),
    ([[1], [[2]]], None),
    ([2**63], None),
    ([1, "a"], None),
    (nest(8, 2), ("int64", (1,) * 8, [2])),
    (nest(9, 2), None),
    (((1, 2), (3, 4)), ("int64", (2, 2), [1, 2, 3, 4])),
    ("abc", None),
]


@pytest.mark.parametrize("obj, want", NATIVE_ARRAY, ids=[repr(c[0])[:30] for c in NATIVE_ARRAY])
def test_native_array(probe, obj, want):
    assert probe.native_array(obj) == want


def test_native_array_of_ndarray_is_a_deep_copy(probe):
    t = probe.ndarray_type()
    a = t((3,), dtype="int64")
    assert probe.native_array(a) == ("int64", (3,), [0, 0, 0])


def test_nested_element_conversion_errors_pass_through(probe):
    class Bad(float):
        def __float__(self):
            raise ZeroDivisionError("bad float")

    # A float subclass is read through its stored value, not __float__.
    assert probe.native_array([Bad(1.0)]) == ("float64", (1,), [1.0])


EXTRACT_SHAPE = [
    (3, (3,)),
    ((2, 3), (2, 3)),
    ([2, 3], (2, 3)),
    ((), ()),
    ([], ()),
    (True, (1,)),
    (np.int64(4), (4,)),
    ((np.int64(2), IndexLike(3)), (2, 3)),
    (range(3), (0, 1, 2)),
    (tuple(range(10)), tuple(range(10))),
]


@pytest.mark.parametrize("obj, want", EXTRACT_SHAPE, ids=[repr(c[0])[:30] for c in EXTRACT_SHAPE])
def test_extract_shape(probe, obj, want):
    assert probe.extract_shape(obj) == want


SHAPE_TEXT = "shape must be an int or a sequence of ints"
EXTRACT_SHAPE_ERRORS = [
    (-1, OverflowError, None),
    ((-1,), OverflowError, None),
    ((2.5,), TypeError, None),
    ([-1], TypeError, SHAPE_TEXT),
    ("3", TypeError, SHAPE_TEXT),
    (2.5, TypeError, SHAPE_TEXT),
    ([1.5], TypeError, SHAPE_TEXT),
    (None, TypeError, SHAPE_TEXT),
    ({1: 2}, TypeError, SHAPE_TEXT),
]


@pytest.mark.parametrize("obj, exc, text", EXTRACT_SHAPE_ERRORS, ids=[repr(c[0]) for c in EXTRACT_SHAPE_ERRORS])
def test_extract_shape_errors(probe, obj, exc, text):
    with pytest.raises(exc) as info:
        probe.extract_shape(obj)
    if text is not None:
        assert str(info.value) == text


# ---- ndarray.copy --------------------------------------------------------------------------

COPY_ARGS = [((), {}), (("C",), {}), (("a",), {}), ((), {"order": "k"}), ((), {"order": "K"})]
COPY_NUMPY = [(("F",), {}), ((), {"order": "F"}), (("CC",), {}), ((None,), {}), (("C",), {"order": "C"}),
              ((), {"order": "C", "subok": True})]


@pytest.mark.parametrize("dtype", ["float64", "int64", "bool"])
@pytest.mark.parametrize("args, kwargs", COPY_ARGS + COPY_NUMPY)
def test_copy_method(dtype, args, kwargs):
    values = (np.arange(6).reshape(2, 3) % 2).astype(dtype)
    got = differential(lambda xp: xp.array(values).copy(*args, **kwargs))
    if (args, kwargs) in COPY_ARGS:
        assert type(got) is NDARRAY


def test_copy_owns_its_memory():
    a = cv.array([[1.0, 2.0], [3.0, 4.0]])
    b = a.copy()
    assert b is not a and type(b) is NDARRAY
    assert not np.shares_memory(np.asarray(a), np.asarray(b))
    np.asarray(b)[0, 0] = 9.0
    assert np.asarray(a)[0, 0] == 1.0
    z = cv.array(5).copy()
    assert type(z) is NDARRAY and np.asarray(z).shape == ()


def test_copy_of_strided_view_is_contiguous():
    base = cv.array(np.arange(12.0).reshape(3, 4))
    view = cv._view_of(base, np.asarray(base)[:, ::2])
    if view is None:
        pytest.skip("_view_of does not make views yet")
    c = view.copy()
    assert type(c) is NDARRAY
    np.testing.assert_array_equal(np.asarray(c), np.arange(12.0).reshape(3, 4)[:, ::2])
    np.asarray(base)[0, 0] = -1.0
    assert np.asarray(view.copy())[0, 0] == -1.0
    assert np.asarray(c)[0, 0] == 0.0
