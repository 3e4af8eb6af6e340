"""asarray() and array(): identity, dtype, copy, device and order rules, argument errors."""

import numpy as np
import pytest

import corvantile as cv
from conftest import differential, native

NDARRAY = cv._core.ndarray


class Device:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize("kind", ["float64", "int64", "bool"])
def test_identity_and_copies(kind):
    a = native([1, 0, 1], kind)
    for kwargs in ({}, {"copy": None}, {"copy": False}, {"device": "cpu", "order": "F"},
                   {"device": Device("cpu")}, {"device": None}):
        assert cv.asarray(a, **kwargs) is a
    assert cv.asarray(a, None) is a
    # asarray(copy=True) and array() always give a new native array with memory of its own.
    for b in (cv.asarray(a, copy=True), cv.asarray(a, copy=np.True_), cv.array(a)):
        assert type(b) is NDARRAY and b is not a
        assert not np.shares_memory(np.asarray(a), np.asarray(b))
        np.testing.assert_array_equal(np.asarray(b), np.asarray(a))
    n = np.asarray(a).copy()
    c = cv.array(n)
    assert not np.shares_memory(np.asarray(c), n)


SAME_DTYPES = {
    "float64": ["f8", "<f8", "=f8", "|f8", "d", "float", "double", "float64", float, np.float64, np.dtype("=f8")],
    "int64": ["i8", "int64", np.int64, np.dtype("int64"), "<i8", "q", "l", "int", np.dtype("q")],
    "bool": [bool, "bool", "?", "|b1", np.bool_, np.dtype(bool)],
}


@pytest.mark.parametrize("kind, dtype", [(k, d) for k, ds in SAME_DTYPES.items() for d in ds])
def test_asarray_matching_dtype_is_identity(kind, dtype):
    a = native([1, 0], kind)
    assert cv.asarray(a, dtype=dtype) is a
    assert cv.asarray(a, dtype) is a


INPUTS = [[1, 2], [1.5, 2.5], [[True], [False]], 3, 2.5, 2**64, "7", (1, 2.5), [1 + 1j], [[1], [2, 3]],
          np.float64(2.0), np.arange(4), np.arange(4.0).reshape(2, 2), np.array([1.5], dtype=np.float32),
          cv.array([3.0, 0.0, 1.0]), cv.array([3, 0, 1]), cv.array([True, False])]
F64 = ["float64", float, np.float64, "f8", np.dtype("float64")]
DTYPES = [None, *F64, "int64", np.dtype("i8"), "bool", "float32", "int32", "uint8", "complex128", "U3", "no such",
          ">f8", np.dtype(">f8"), ">i8", "=f8", "|b1"]


@pytest.mark.parametrize("fn", ["array", "asarray"])
@pytest.mark.parametrize("dtype", DTYPES, ids=repr)
@pytest.mark.parametrize("x", INPUTS, ids=repr)
def test_dtype_table(fn, x, dtype):
    got = differential(lambda xp: getattr(xp, fn)(x, dtype=dtype))
    if isinstance(got, Exception):
        return
    if fn == "array" and any(dtype is d for d in F64):
        assert type(got) is NDARRAY
    if fn == "asarray" and type(x) is NDARRAY:  # a native array converted: native when NumPy's kind is
        want = np.asarray(x, dtype=dtype)
        assert (type(got) is NDARRAY) == (want.dtype.isnative and want.dtype.name in ("float64", "int64", "bool"))


@pytest.mark.parametrize("copy", [None, True])
@pytest.mark.parametrize("order", [None, "C", "F", "k", "Q", "CC", "", 1, "\ud800"])
@pytest.mark.parametrize("dtype", [None, "float64", "int32"])
@pytest.mark.parametrize("given", [np.int64, np.int32])
def test_asarray_copy_order_combinations(copy, order, dtype, given):
    x = np.arange(6, dtype=given).reshape(2, 3)
    got = differential(lambda xp: xp.asarray(x, dtype=dtype, copy=copy, order=order))
    assert not np.shares_memory(np.asarray(got), x) or (copy is None and np.dtype(dtype or given) == x.dtype == np.int32)
    if type(got) is np.ndarray:  # the order reaches NumPy
        want = np.asarray(x, dtype=dtype, copy=copy, order=order)
        assert (got.flags.c_contiguous, got.flags.f_contiguous) == (want.flags.c_contiguous, want.flags.f_contiguous)


# ---- copy=False never copies privately --------------------------------------------------------


class Exposing:
    """NumPy's array protocol without the buffer protocol: __array__ hands out the array it holds."""

    def __init__(self, n):
        self.n = n

    def __array__(self, dtype=None, copy=None):
        return self.n


@pytest.mark.parametrize("make", [
    lambda n: n, lambda n: n[::2], lambda n: n.astype(np.int64), memoryview, lambda n: bytearray(n.tobytes()),
    Exposing,
], ids=["float64", "strided", "int64", "memoryview", "bytearray", "__array__"])
def test_copy_false_shares_memory(make):
    # Objects without __array_interface__ that NumPy can still view are shared, not refused.
    x = make(np.arange(4.0))
    got = cv.asarray(x, copy=False)
    assert np.shares_memory(got, np.asarray(x))
    if isinstance(x, np.ndarray):
        assert got is x and cv.array(x, copy=False) is x
        assert cv.asarray(x, dtype=x.dtype, copy=False) is x


def test_copy_false_refuses_plain_python_objects():
    for x in ([1.0, 2.0], 3.0, (1,), "ab"):
        with pytest.raises(ValueError) as info:
            cv.asarray(x, copy=False)
        assert str(info.value) == "Unable to avoid copy while creating an array as requested."


@pytest.mark.parametrize("x, dtype", [
    (np.arange(3.0), "float32"), (np.arange(3), "float64"), (cv.array([1, 2]), "float64"),
    (cv.array([1.5]), "int64"), (cv.array([True]), "int32"),
], ids=repr)
def test_copy_false_that_needs_a_copy_raises_numpy_error(x, dtype):
    got = differential(lambda xp: xp.asarray(np.asarray(x) if xp is np else x, dtype=dtype, copy=False))
    assert type(got) is ValueError


# ---- device and argument errors -------------------------------------------------------------------


@pytest.mark.parametrize("device, shown", [
    ("CPU", '"CPU"'), ("cuda:0", '"cuda:0"'), ('a"b\\c', '"a\\"b\\\\c"'),
    ("t\tn\nr\r0\0", '"t\\tn\\nr\\r0\\0"'), ("\x07é", '"\\u{7}é"'), ("雪🌍", '"雪🌍"'), (Device("gpu"), '"gpu"'),
    ("\u07ff\u0800", '"\u07ff\u0800"'), (1, '"1"'),
])
def test_asarray_other_device_raises(device, shown):
    for dtype in (None, "no such dtype"):  # the device is checked first
        with pytest.raises(ValueError) as info:
            cv.asarray([1.0], dtype=dtype, device=device)
        assert str(info.value) == f"Unsupported device {shown}: corvantile arrays live on the CPU"


@pytest.mark.parametrize("call, text", [
    (lambda: cv.asarray(), "asarray() missing 1 required positional argument: 'object'"),
    (lambda: cv.asarray(1, None, None), "asarray() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: cv.asarray(a=[1]), "asarray() got an unexpected keyword argument 'a'"),
    (lambda: cv.asarray([1], like=None), "asarray() got an unexpected keyword argument 'like'"),
    (lambda: cv.array(), "array() missing 1 required positional argument: 'object'"),
    (lambda: cv.array(1, None, None), "array() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize("copy", [1, 0, "yes", [], np.int64(1)])
def test_asarray_copy_must_be_a_bool(copy):
    with pytest.raises(TypeError) as info:
        cv.asarray([1.0], copy=copy)
    assert "while processing 'copy'" in getattr(info.value, "__notes__", [])


# ---- array() --------------------------------------------------------------------------------------


@pytest.mark.parametrize("kwargs", [{"copy": False}, {"copy": True}, {"ndmin": 2}, {"order": "F"},
                                    {"subok": True}, {"copy": True, "dtype": "int32"}])
def test_array_extra_keywords_go_to_numpy(kwargs):
    for x in ([1.0, 2.0], np.arange(4.0)):
        got = differential(lambda xp: xp.array(x, **kwargs))
        assert type(got) is np.ndarray or isinstance(got, ValueError)


# ---- the patch switch ------------------------------------------------------------------------------


def test_patch_switch():
    # Called from a function named __array__, the functions answer with NumPy arrays.
    x = [1.0, 2.0]

    def __array__(fn, *args, **kwargs):
        return fn(*(args or (x,)), **kwargs)

    cv._core._set_patch_active(True)
    try:
        for fn, kwargs in [(cv.array, {}), (cv.array, {"copy": True}), (cv.asarray, {}), (cv.asarray, {"copy": True}),
                           (cv.asarray, {"dtype": "int64"}), (cv.array, {"dtype": "int64", "ndmin": 3})]:
            got = __array__(fn, **kwargs)
            assert type(got) is np.ndarray
            np.testing.assert_array_equal(got, np.asarray(x, dtype=kwargs.get("dtype")))
        for fn, args in [(cv.zeros, (2,)), (cv.full, (2, 1)), (cv.arange, (3,)), (cv.arange, (1.0,)),
                         (cv.linspace, (0, 1, 3))]:
            assert type(__array__(fn, *args)) is np.ndarray
        assert type(cv.array([1.0])) is NDARRAY
        assert type(cv.array([1.0], dtype=float)) is NDARRAY
        assert type(cv.asarray([1.0], copy=True)) is NDARRAY
    finally:
        cv._core._set_patch_active(False)
    # With the switch off, the name of the calling function does not matter.
    assert type(__array__(cv.asarray)) is NDARRAY and type(__array__(cv.zeros, 2)) is NDARRAY
