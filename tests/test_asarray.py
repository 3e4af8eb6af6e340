"""asarray() and array(): identity, dtype, copy, device and order rules, argument errors."""

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

NDARRAY = cv._core.ndarray
NO_COPY = "Unable to avoid copy while creating an array as requested."


def native(values, dtype):
    a = cv.array(np.array(values, dtype=dtype))
    assert type(a) is NDARRAY
    return a


@pytest.fixture(params=["float64", "int64", "bool"])
def kind(request):
    return request.param


def test_asarray_returns_the_array_itself(kind):
    a = native([1, 0, 1], kind)
    assert cv.asarray(a) is a
    assert cv.asarray(a, None) is a
    assert cv.asarray(a, copy=None) is a
    assert cv.asarray(a, copy=False) is a
    assert cv.asarray(a, device="cpu", order="F") is a


def test_asarray_copy_true_makes_a_new_array(kind):
    a = native([1, 0, 1], kind)
    for c in (True, np.True_):
        b = cv.asarray(a, copy=c)
        assert type(b) is NDARRAY and b is not a
        assert not np.shares_memory(np.asarray(a), np.asarray(b))
        np.testing.assert_array_equal(np.asarray(b), np.asarray(a))


SAME_DTYPES = {
    "float64": ["f8", ">f8", "<f8", "=f8", "d", "float", "double", "float64", float, np.float64,
                np.dtype("float64"), "Float64".lower()],
    # NumPy names ">i8" "int64" too: the name decides, not the byte order.
    "int64": ["i8", "int64", np.int64, np.dtype("int64"), "<i8", "q", ">i8"],
    "bool": [bool, "bool", "?", np.bool_, np.dtype(bool)],
}


@pytest.mark.parametrize("kind, dtype", [(k, d) for k, ds in SAME_DTYPES.items() for d in ds])
def test_asarray_matching_dtype_is_identity(kind, dtype):
    a = native([1, 0], kind)
    assert cv.asarray(a, dtype=dtype) is a
    assert cv.asarray(a, dtype) is a


CONVERTING = [
    ("int64", "float64"), ("bool", "float64"), ("int64", float), ("float64", "int64"), ("float64", "bool"),
    ("int64", "bool"), ("float64", "float32"), ("int64", "int32"), ("float64", "complex128"),
    ("bool", "uint8"), ("float64", np.dtype(">f8")),
]


@pytest.mark.parametrize("src, dtype", CONVERTING, ids=[f"{s}-{d}" for s, d in CONVERTING])
def test_asarray_with_other_dtype_matches_numpy(src, dtype):
    values = np.array([3, 0, 1], dtype=src)
    got = differential(lambda xp: xp.asarray(values if xp is np else native(values, src), dtype=dtype))
    want = np.asarray(values, dtype=dtype)
    native_kind = want.dtype.isnative and want.dtype.name in ("float64", "int64", "bool")
    assert (type(got) is NDARRAY) == native_kind


def test_asarray_float64_request_of_int_array_is_new_native():
    b = native([1, 2], "int64")
    f = cv.asarray(b, dtype="float64")
    assert type(f) is NDARRAY and f is not b
    assert np.asarray(f).dtype == np.float64


INPUTS = [[1, 2], [1.5, 2.5], [[True], [False]], 3, 2.5, np.arange(4), np.arange(4.0).reshape(2, 2),
          np.array([1.5], dtype=np.float32), (1, 2.5), "7", [1 + 1j], np.float64(2.0)]
DTYPES = [None, "float64", float, "int64", "bool", "float32", "int32", "complex128", "f8", np.dtype("i8"), "U3"]


@pytest.mark.parametrize("dtype", DTYPES, ids=repr)
@pytest.mark.parametrize("x", INPUTS, ids=repr)
def test_asarray_table(x, dtype):
    differential(lambda xp: xp.asarray(x, dtype=dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=repr)
@pytest.mark.parametrize("x", INPUTS, ids=repr)
def test_array_table(x, dtype):
    differential(lambda xp: xp.array(x, dtype=dtype))


@pytest.mark.parametrize("copy", [None, True])
@pytest.mark.parametrize("order", [None, "C", "F", "K"])
@pytest.mark.parametrize("dtype", [None, "float64", "int32"])
def test_asarray_copy_order_combinations(copy, order, dtype):
    x = np.arange(6).reshape(2, 3)
    got = differential(lambda xp: xp.asarray(x, dtype=dtype, copy=copy, order=order))
    assert not np.shares_memory(np.asarray(got), x) or (copy is None and dtype == "int32")


def test_asarray_order_reaches_numpy():
    got = cv.asarray(np.arange(6).reshape(2, 3), dtype="int32", order="F")
    assert type(got) is np.ndarray and got.flags.f_contiguous and not got.flags.c_contiguous


def test_asarray_copy_true_of_foreign_array_copies():
    x = np.array([1 + 1j])
    got = cv.asarray(x, copy=True)
    assert got is not x and not np.shares_memory(got, x)
    np.testing.assert_array_equal(got, x)
    got = cv.asarray(x, dtype="complex128", copy=True)
    assert got is not x and not np.shares_memory(got, x)


# ---- copy=False never copies privately --------------------------------------------------------


def test_asarray_copy_false_refuses_plain_python_objects():
    for x in ([1.0, 2.0], 3.0, (1,), "ab"):
        with pytest.raises(ValueError) as info:
            cv.asarray(x, copy=False)
        assert str(info.value) == NO_COPY


def test_asarray_copy_false_shares_numpy_memory():
    n = np.arange(3.0)
    assert cv.asarray(n, copy=False) is n
    assert cv.asarray(n, dtype="float64", copy=False) is n
    m = np.arange(3)
    assert cv.asarray(m, copy=False) is m
    view = cv.asarray(n[::2], copy=False)
    assert np.shares_memory(view, n)


@pytest.mark.parametrize("make", [
    lambda n: memoryview(n),
    lambda n: bytearray(n.tobytes()),
])
def test_asarray_copy_false_shares_buffer_exporters(make):
    # Objects without __array_interface__ that NumPy can still view are shared, not refused.
    n = np.arange(4.0)
    x = make(n)
    got = cv.asarray(x, copy=False)
    assert np.shares_memory(got, np.asarray(x))


@pytest.mark.parametrize("make, dtype", [
    (lambda: np.arange(3.0), "float32"),
    (lambda: np.arange(3), "float64"),
    (lambda: native([1, 2], "int64"), "float64"),
    (lambda: native([1.5], "float64"), "int64"),
    (lambda: native([True], "bool"), "int32"),
])
def test_asarray_copy_false_that_needs_a_copy_raises_numpy_error(make, dtype):
    want = run_raises(lambda: np.asarray(np.asarray(make()), dtype=dtype, copy=False))
    got = run_raises(lambda: cv.asarray(make(), dtype=dtype, copy=False))
    assert type(got) is type(want) and str(got) == str(want)


def run_raises(fn):
    with pytest.raises(Exception) as info:
        fn()
    return info.value


# ---- device -------------------------------------------------------------------------------------


class Device:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_asarray_device_cpu():
    a = native([1.0], "float64")
    assert cv.asarray(a, device="cpu") is a
    assert cv.asarray(a, device=Device("cpu")) is a
    assert cv.asarray(a, device=None) is a


@pytest.mark.parametrize("device, shown", [
    ("CPU", '"CPU"'),
    ("cuda:0", '"cuda:0"'),
    ('a"b\\c', '"a\\"b\\\\c"'),
    ("t\tn\nr\r0\0", '"t\\tn\\nr\\r0\\0"'),
    ("\x07é", '"\\u{7}é"'),
    (Device("gpu"), '"gpu"'),
    (1, '"1"'),
])
def test_asarray_other_device_raises(device, shown):
    with pytest.raises(ValueError) as info:
        cv.asarray([1.0], device=device)
    assert str(info.value) == f"Unsupported device {shown}: corvantile arrays live on the CPU"


def test_device_is_checked_first():
    with pytest.raises(ValueError, match="Unsupported device"):
        cv.asarray([1.0], dtype="no such dtype", device="gpu")


# ---- argument errors ------------------------------------------------------------------------------


@pytest.mark.parametrize("call, exc, text", [
    (lambda: cv.asarray(), TypeError, "asarray() missing 1 required positional argument: 'object'"),
    (lambda: cv.asarray(1, None, None), TypeError,
     "asarray() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: cv.asarray(a=[1]), TypeError, "asarray() got an unexpected keyword argument 'a'"),
    (lambda: cv.asarray([1], like=None), TypeError, "asarray() got an unexpected keyword argument 'like'"),
    (lambda: cv.array(), TypeError, "array() missing 1 required positional argument: 'object'"),
    (lambda: cv.array(1, None, None), TypeError,
     "array() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize("copy", [1, 0, "yes", [], np.int64(1)])
def test_asarray_copy_must_be_a_bool(copy):
    with pytest.raises(TypeError) as info:
        cv.asarray([1.0], copy=copy)
    assert "while processing 'copy'" in getattr(info.value, "__notes__", [])


def test_unknown_dtype_raises_numpy_error():
    a = native([1, 2], "int64")
    for fn in (lambda xp: xp.asarray([1], dtype="no such"), lambda xp: xp.array([1], dtype="no such"),
               lambda xp: xp.asarray(a if xp is cv else np.asarray(a), dtype="no such")):
        differential(fn)


# ---- array() --------------------------------------------------------------------------------------


def test_array_never_returns_its_argument(kind):
    a = native([1, 0], kind)
    b = cv.array(a)
    assert b is not a and type(b) is NDARRAY
    assert not np.shares_memory(np.asarray(a), np.asarray(b))


@pytest.mark.parametrize("x", [[1, 2], [True], np.arange(3), [1.5], 2, "1.5"], ids=repr)
@pytest.mark.parametrize("dtype", [float, "float64", "f8", np.float64, np.dtype("float64")], ids=repr)
def test_array_float64_dtype_is_native(x, dtype):
    got = differential(lambda xp: xp.array(x, dtype=dtype))
    assert type(got) is NDARRAY


@pytest.mark.parametrize("kwargs", [{"copy": False}, {"copy": True}, {"ndmin": 2}, {"order": "F"},
                                    {"subok": True}, {"copy": True, "dtype": "int32"}])
def test_array_extra_keywords_go_to_numpy(kwargs):
    for x in ([1.0, 2.0], np.arange(4.0)):
        got = differential(lambda xp: xp.array(x, **kwargs))
        assert type(got) is np.ndarray or isinstance(got, ValueError)


def test_array_copy_false_returns_numpy_result_unchanged():
    n = np.arange(3.0)
    assert cv.array(n, copy=False) is n


def test_array_big_endian_float_request_is_native_float64():
    # Any dtype of NumPy's float64 type number counts as float64, whatever its byte order.
    got = cv.array([1, 2], dtype=">f8")
    assert type(got) is NDARRAY and np.asarray(got).dtype == np.dtype("float64")


def test_array_float64_of_unconvertible_input():
    differential(lambda xp: xp.array(1 + 2j, dtype=float))
    differential(lambda xp: xp.array("abc", dtype=float))
    differential(lambda xp: xp.array([[1], [2, 3]], dtype=float))


# ---- the patch switch ------------------------------------------------------------------------------


@pytest.fixture
def patched():
    cv._core._set_patch_active(True)
    try:
        yield
    finally:
        cv._core._set_patch_active(False)


def test_patch_switch_inside_dunder_array(patched):
    x = [1.0, 2.0]

    def __array__(fn, **kwargs):
        return fn(x, **kwargs)

    for fn, kwargs in [(cv.array, {}), (cv.array, {"copy": True}), (cv.asarray, {}), (cv.asarray, {"copy": True}),
                       (cv.asarray, {"dtype": "int64"}), (cv.array, {"dtype": "int64", "ndmin": 3})]:
        got = __array__(fn, **kwargs)
        assert type(got) is np.ndarray
        np.testing.assert_array_equal(got, np.asarray(x, dtype=kwargs.get("dtype")))


def test_patch_switch_elsewhere(patched):
    assert type(cv.array([1.0])) is NDARRAY
    assert type(cv.array([1.0], dtype=float)) is NDARRAY
    assert type(cv.asarray([1.0], copy=True)) is NDARRAY
