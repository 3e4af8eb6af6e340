"""Python objects turned into arrays by array()/asarray(), operand classification, ndarray.copy."""

import array as pyarray
import ctypes
import decimal
import fractions
import struct

import numpy as np
import pytest

import corvantile as cv
from conftest import differential, load_probe

NDARRAY = cv._core.ndarray
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


def nest(depth, leaf=1.0):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


FloatSub, IntSub, ListSub = (type(f"{t.__name__.title()}Sub", (t,), {}) for t in (float, int, list))


class RaisingFloat(float):
    def __float__(self):
        raise ZeroDivisionError("bad float")


def mv(values, fmt, cast=None):
    m = memoryview(pyarray.array(fmt, values))
    return m.cast("B").cast(cast) if cast else m


def strided_np(dtype):
    return (np.arange(12).reshape(3, 4) % 3).astype(dtype)[:, ::2]


# Inputs whose array()/asarray() result must equal NumPy's (value, dtype, shape), and whether
# the result is corvantile's ndarray. Inputs the native side declines reach NumPy, whose
# results of native kinds come back native.
ARRAY_INPUTS = [
    ("ints", [1, 2, 3], True), ("floats", [1.5, -0.0, float("nan"), float("inf")], True),
    ("int and float", [1, 2.5], True), ("list subclass", ListSub([1, 2]), True), ("empty", [], True),
    ("tuple of tuples", ((1, 2), (3, 4)), True), ("empty rows", [[], []], True), ("8 levels", nest(8), True),
    ("int64 limits", [I64_MAX, I64_MIN], True),
    ("float subclass elements", [FloatSub(1.5), np.float64(2.5)], True),
    ("int subclass elements", [IntSub(3), 4], True), ("large int to float", [1.5, 2**53 + 1], True),
    ("float scalar", 3.5, True), ("np float64 scalar", np.float64(1.25), True),
    ("np int64 scalar", np.int64(5), True), ("np float64", np.array([[1.5, 2.5]]), True),
    ("np 0-d float64", np.array(2.5), True), ("np strided float64", strided_np("float64"), True),
    ("np strided int64", strided_np("int64"), True), ("np strided bool", strided_np("bool"), False),
    ("np fortran", np.asfortranarray(np.arange(6.0).reshape(2, 3)), True),
    ("np 8-d", np.zeros((1,) * 8), True),
    ("np unaligned float64", np.frombuffer(bytearray(17), dtype=np.float64, offset=1), True),
    ("memoryview d", mv([1.0, 2.0], "d"), True), ("memoryview q", mv([1, -2], "q"), True),
    ("memoryview n", mv([5], "q", "n"), True), ("memoryview @d", mv([5.0], "d", "@d"), True),
    ("memoryview 2-d d", memoryview(struct.pack("4d", 1, 2, 3, 4)).cast("d", (2, 2)), True),
    ("memoryview strided", mv([1.0, 2.0, 3.0, 4.0], "d")[::2], True),
    ("memoryview bool", memoryview(struct.pack("3?", True, False, True)).cast("?"), True),
    ("ctypes little-endian d", memoryview((ctypes.c_double * 2)(1.0, 2.0)), True),
    ("beyond int64 both ways", [I64_MIN, 2**64 - 1], True),
    # NumPy decides these
    ("ragged", [[1, 2], [3]], False), ("ragged list after scalar", [1, [2]], False),
    ("ragged depth", [[1], [[2]]], False), ("ragged float after an empty row", [[], FloatSub(2.0)], False),
    ("ragged bool after a row", [[True, False], True], False), ("ragged bool before a row", [True, [False]], False),
    ("9 levels", nest(9), False), ("beyond int64", [2**63], False), ("below int64", [[-2**64, 1]], False),
    ("int scalar beyond int64", 2**63, False), ("string element", [1, "a"], False),
    ("complex", [1 + 2j], False), ("None", None, False), ("string", "abc", False),
    ("np float32", np.array([1.5], dtype=np.float32), False),
    ("np uint8", np.array([1, 2], dtype=np.uint8), False),
    ("np big-endian", np.array([1.0, 2.0], dtype=">f8"), False), ("np 9-d", np.zeros((1,) * 9), False),
    ("np uint64 scalar", np.uint64(7), False), ("memoryview B", mv([1, 2], "B"), False),
    ("memoryview N", mv([5], "q", "N"), False),
    ("memoryview big-endian d", memoryview(np.array([1.0, 2.0], dtype=">f8")), False),
    ("ctypes big-endian d", memoryview((ctypes.c_double.__ctype_be__ * 2)(1.0, 2.0)), False),
]


@pytest.mark.parametrize("fn", ["array", "asarray"])
@pytest.mark.parametrize("label, x, native", ARRAY_INPUTS, ids=[c[0] for c in ARRAY_INPUTS])
def test_array_matches_numpy(fn, label, x, native):
    differential(lambda xp: getattr(xp, fn)(x), native=native)


def test_values_read_by_python_conversion():
    # A 0-d NumPy object is read through its Python conversion, whatever its byte order; the
    # interpreter's float conversion takes a float subclass's stored value without calling its
    # __float__ (NumPy calls it).
    for x, want in [(np.array(2.5, dtype=">f8"), 2.5), (np.array(-3, dtype=">i8"), -3), ([RaisingFloat(1.0)], [1.0]),
                    ([[RaisingFloat(1.0)], [2.0]], [[1.0], [2.0]])]:
        got = cv.array(x)
        assert type(got) is NDARRAY and np.asarray(got).dtype.isnative and np.asarray(got).tolist() == want


# ---- operand classification (test probe) ---------------------------------------------------


@pytest.fixture(scope="module")
def probe():
    return load_probe()


class RaisingAttr:
    def __getattr__(self, name):
        raise RuntimeError(name)


class MissingAttr:
    def __getattr__(self, name):
        raise AttributeError(name)


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# The operator tests compare the common operands with NumPy; these are the rarer ones and
# the mends (big ints flagged, complex and unsigned scalars unsupported).
UNSUPPORTED = ("Unsupported", None)
CLASSIFY = [
    (True, ("BoolScalar", True)), (IntSub(-5), ("IntScalar", -5)), (I64_MIN, ("IntScalar", I64_MIN)),
    (np.int8(-2), ("IntScalar", -2)), (FloatSub(2.5), ("FloatScalar", 2.5, False)),
    (FloatSub(-1.0), ("FloatScalar", -1.0, False)),  # the value that also marks a failed conversion
    # numbers of other kinds are NumPy's, whatever they convert to
    (IndexLike(7), UNSUPPORTED), (IndexLike(-1), UNSUPPORTED),
    (type("DtypeNumber", (), {"__float__": lambda s: 2.5, "dtype": np.dtype("complex64")})(), UNSUPPORTED),
    (np.True_, ("FloatScalar", 1.0, False)), (decimal.Decimal("2.5"), UNSUPPORTED),
    (fractions.Fraction(1, 4), UNSUPPORTED), (type("NumpySub", (np.float32,), {})(1.5), ("FloatScalar", 1.5, False)),
    # ints beyond int64 keep a flag so that int operands can send them to NumPy
    (2**63, ("FloatScalar", 9.223372036854776e18, True)), (-(2**70), ("FloatScalar", -float(2**70), True)),
    (IndexLike(2**64), UNSUPPORTED), (10**400, UNSUPPORTED), (1 + 2j, UNSUPPORTED),
    (type("FloatingComplex", (complex,), {"__float__": lambda self: self.real})(1 + 2j), UNSUPPORTED),
    (np.complex64(1 + 2j), UNSUPPORTED), (np.uint64(3), UNSUPPORTED), (np.longdouble(1.5), UNSUPPORTED),
    ([1.0], UNSUPPORTED), (MissingAttr(), UNSUPPORTED),
]


@pytest.mark.parametrize("obj, want", CLASSIFY, ids=[repr(c[0])[:30] for c in CLASSIFY])
def test_classify(probe, obj, want):
    assert probe.classify(obj) == want


# A value stored into an array takes any number, as NumPy converts it.
CLASSIFY_STORED = [
    (IndexLike(7), ("IntScalar", 7)), (IndexLike(-1), ("IntScalar", -1)),
    (type("DtypeNumber", (), {"__float__": lambda s: 2.5, "dtype": np.dtype("complex64")})(), ("FloatScalar", 2.5, False)),
    (decimal.Decimal("2.5"), ("FloatScalar", 2.5, False)), (fractions.Fraction(1, 4), ("FloatScalar", 0.25, False)),
    (IndexLike(2**64), ("FloatScalar", float(2**64), False)), (np.int8(-2), ("IntScalar", -2)), (2.5, ("FloatScalar", 2.5, False)),
    (1 + 2j, UNSUPPORTED), (np.uint64(3), UNSUPPORTED), ([1.0], UNSUPPORTED), (MissingAttr(), UNSUPPORTED),
]


@pytest.mark.parametrize("obj, want", CLASSIFY_STORED, ids=[repr(c[0])[:30] for c in CLASSIFY_STORED])
def test_classify_stored(probe, obj, want):
    assert probe.classify_stored(obj) == want


def test_classify_arrays_and_numpy_handles(probe):
    t = probe.ndarray_type()
    assert [probe.classify(t((2,), dtype=d)) for d in (None, "int64", bool)] == [
        ("F64Array", None), ("OtherArray", "int64"), ("OtherArray", "bool")]
    # The operator tests compare the common operands with NumPy; these are the odd ones.
    odd = [ListSub(), np.complex64(1), (1,), {}, MissingAttr(), memoryview(b"a"), object(), IndexLike(1),
           decimal.Decimal(1), fractions.Fraction(1, 2), None, "x"]
    assert [probe.numpy_handles(x) for x in odd] == [True, True, True, False, False, False, False, True, True,
                                                     True, False, False]
    # Only a failed lookup counts as absent; any other error is passed on. classify asks
    # nothing of an object that is not a NumPy scalar.
    assert probe.classify(RaisingAttr()) == UNSUPPORTED
    for f in (probe.classify_stored, probe.numpy_handles):
        with pytest.raises(RuntimeError):
            f(RaisingAttr())


# ---- ndarray.copy --------------------------------------------------------------------------

COPY_ARGS = [((), {}), (("C",), {}), (("a",), {}), ((), {"order": "k"})]
COPY_NUMPY = [(("F",), {}), (("CC",), {}), ((None,), {}), (("C",), {"order": "C"}), ((), {"order": "C", "subok": True})]


@pytest.mark.parametrize("dtype", ["float64", "int64", "bool"])
@pytest.mark.parametrize("args, kwargs", COPY_ARGS + COPY_NUMPY)
def test_copy_method(dtype, args, kwargs):
    values = (np.arange(6).reshape(2, 3) % 2).astype(dtype)
    differential(lambda xp: xp.array(values).copy(*args, **kwargs), native=(args, kwargs) in COPY_ARGS or None)

