"""Memory export of ndarray: the buffer protocol, __array__ and DLPack capsules."""

import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _probe
import corvantile as cv

NDARRAY = cv._core.ndarray
DTYPES = ["float64", "int64", "bool"]
FORMATS = {"float64": "d", "int64": "l", "bool": "?"}

# ---- making native arrays ---------------------------------------------------------------


def _fill(arr, want):
    if want.size:
        np.asarray(arr)[...] = want
    return arr


def native(values, dtype="float64"):
    """A native ndarray of corvantile's own type holding `values`, or a skip."""
    want = np.array(values, dtype=dtype)
    for make in (cv.array, cv.asarray):
        got = make(want)
        if type(got) is NDARRAY:
            return got
    try:
        return _fill(NDARRAY(want.shape, dtype=dtype), want)
    except TypeError:
        pytest.skip("no native arrays yet: array/asarray and the constructor still go to NumPy")


def any_native(values, dtype="float64"):
    """A native array (possibly of the test probe's own copy of the type)."""
    want = np.array(values, dtype=dtype)
    for make in (cv.array, cv.asarray):
        got = make(want)
        if type(got) is NDARRAY:
            return got
    try:
        return _fill(NDARRAY(want.shape, dtype=dtype), want)
    except TypeError:
        pass
    if dtype != "float64":
        pytest.skip("no native int64/bool arrays yet: array/asarray and the constructor still go to NumPy")
    probe = _probe.load()
    return _fill(probe.make_array(want.shape), want)


def strided_view(base, make_view):
    """A native view of `base` with the layout make_view gives NumPy's view of it."""
    view = cv._view_of(base, make_view(np.asarray(base)))
    if view is None:
        pytest.skip("_view_of does not make views yet")
    return view


SHAPES = [(), (0,), (5,), (2, 3), (1, 4), (2, 0, 3), (2, 1, 3, 1)]


def sample(shape, dtype):
    n = int(np.prod(shape))
    values = np.arange(n) - 2
    if dtype == "float64":
        values = values * 1.5
    return values.reshape(shape).astype(dtype)


# ---- raw buffer requests through the C API -------------------------------------------------

PyBUF_SIMPLE = 0
PyBUF_WRITABLE = 0x1
PyBUF_FORMAT = 0x4
PyBUF_ND = 0x8
PyBUF_STRIDES = 0x18
PyBUF_C_CONTIGUOUS = 0x38
PyBUF_F_CONTIGUOUS = 0x58
PyBUF_ANY_CONTIGUOUS = 0x98
PyBUF_FULL = 0x11D


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(PyBuffer)]
_release_buffer.restype = None


class Export:
    """One buffer export with the given request flags; released on exit."""

    def __init__(self, obj, flags):
        self.view = PyBuffer()
        _get_buffer(obj, ctypes.byref(self.view), flags)

    def __enter__(self):
        return self.view

    def __exit__(self, *exc):
        _release_buffer(ctypes.byref(self.view))

    @staticmethod
    def shape(view):
        return None if not view.shape else tuple(view.shape[i] for i in range(view.ndim))

    @staticmethod
    def strides(view):
        return None if not view.strides else tuple(view.strides[i] for i in range(view.ndim))


def c_element_strides(shape):
    """C strides in elements, unclamped: an axis of length 0 makes the earlier ones 0."""
    strides, step = [], 1
    for n in reversed(shape):
        strides.append(step)
        step *= n
    return tuple(reversed(strides))


def data_address(np_array):
    return np_array.__array_interface__["data"][0]


# ---- the buffer protocol ---------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", SHAPES)
def test_memoryview_matches_numpy(dtype, shape):
    want = sample(shape, dtype)
    a = any_native(want, dtype)
    m = memoryview(a)
    ref = memoryview(want)
    assert m.format == FORMATS[dtype]
    assert (m.itemsize, m.ndim, m.shape, m.strides, m.nbytes) == (
        ref.itemsize, ref.ndim, ref.shape, ref.strides, ref.nbytes)
    assert m.readonly is False
    assert m.tolist() == ref.tolist()
    assert m.obj is a


@pytest.mark.parametrize("dtype", DTYPES)
def test_writes_through_memoryview_reach_the_array(dtype):
    a = any_native(sample((2, 3), dtype), dtype)
    m = memoryview(a)
    value = {"float64": 9.25, "int64": -7, "bool": True}[dtype]
    m[1, 2] = value
    assert np.asarray(a)[1, 2] == value
    assert np.from_dlpack(a)[1, 2] == value


@pytest.mark.parametrize("dtype", DTYPES)
def test_numpy_reads_without_copying(dtype):
    a = any_native(sample((3, 4), dtype), dtype)
    n = np.asarray(a)
    assert type(n) is np.ndarray and n.dtype == np.dtype(dtype) and n.shape == (3, 4)
    assert n.flags.writeable and n.flags.c_contiguous
    np.testing.assert_array_equal(n, sample((3, 4), dtype))
    assert np.shares_memory(n, np.asarray(a))
    assert np.shares_memory(n, np.from_dlpack(a))
    n[0, 0] = 1
    assert np.asarray(a)[0, 0] == 1


@pytest.mark.parametrize(
    "flags, ndim, has_shape, has_strides, has_format",
    [
        (PyBUF_SIMPLE, 1, False, False, False),
        (PyBUF_WRITABLE, 1, False, False, False),
        (PyBUF_FORMAT, 1, False, False, True),
        (PyBUF_ND, 2, True, False, False),
        (PyBUF_ND | PyBUF_FORMAT, 2, True, False, True),
        (PyBUF_STRIDES, 2, True, True, False),
        (PyBUF_C_CONTIGUOUS, 2, True, True, False),
        (PyBUF_ANY_CONTIGUOUS, 2, True, True, False),
        (PyBUF_FULL, 2, True, True, True),
    ],
)
def test_buffer_request_flags(flags, ndim, has_shape, has_strides, has_format):
    a = any_native(sample((2, 3), "float64"))
    with Export(a, flags) as view:
        assert view.obj == id(a)
        assert view.buf == data_address(np.asarray(a))
        assert (view.len, view.itemsize, view.readonly, view.ndim) == (48, 8, 0, ndim)
        assert Export.shape(view) == ((2, 3) if has_shape else None)
        assert Export.strides(view) == ((24, 8) if has_strides else None)
        assert view.format == (b"d" if has_format else None)
        assert not view.suboffsets


def test_zero_dim_export():
    a = any_native(2.5)
    with Export(a, PyBUF_FULL) as view:
        assert (view.ndim, view.len, view.itemsize) == (0, 8, 8)
        assert not view.shape and not view.strides
    with Export(a, PyBUF_SIMPLE) as view:
        assert (view.ndim, view.len) == (1, 8)
        assert not view.shape and not view.strides
    assert memoryview(a).tolist() == 2.5


def test_export_keeps_the_array_alive_and_releases_it():
    a = any_native(sample((4,), "float64"))
    before = sys.getrefcount(a)
    m = memoryview(a)
    assert sys.getrefcount(a) == before + 1
    m.release()
    assert sys.getrefcount(a) == before
    m = memoryview(a)
    del a
    gc.collect()
    assert m.tolist() == [-3.0, -1.5, 0.0, 1.5]


# ---- mends -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, refused",
    [((2, 3), True), ((2, 1, 3), True), ((1, 3), False), ((3, 1), False), ((4,), False), ((), False),
     ((0, 3, 4), False)],
)
def test_fortran_demand(shape, refused):
    a = any_native(sample(shape, "float64"))
    if refused:
        with pytest.raises(BufferError, match="^ndarray is not Fortran contiguous$"):
            Export(a, PyBUF_F_CONTIGUOUS)
        return
    with Export(a, PyBUF_F_CONTIGUOUS) as view:
        if int(np.prod(shape)):
            assert view.buf == data_address(np.asarray(a))
        assert view.len == 8 * int(np.prod(shape))


def test_each_export_owns_its_shape_and_strides():
    a = any_native(sample((2, 3), "float64"))
    start, end = id(a), id(a) + sys.getsizeof(a)
    with Export(a, PyBUF_FULL) as first, Export(a, PyBUF_FULL) as second:
        pointers = [ctypes.addressof(v.shape.contents) for v in (first, second)]
        pointers += [ctypes.addressof(v.strides.contents) for v in (first, second)]
        assert len(set(pointers)) == 4
        assert not any(start <= p < end for p in pointers)
        try:
            a.shape = (3, 2)
        except (AttributeError, TypeError):
            return  # no in-place reshape yet; the separate records above still hold
        assert np.asarray(a).shape == (3, 2)
        assert (Export.shape(first), Export.strides(first)) == ((2, 3), (24, 8))


# ---- __array__ ---------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
def test_array_protocol_shares_memory(dtype):
    a = any_native(sample((2, 3), dtype), dtype)
    n = a.__array__()
    assert type(n) is np.ndarray and n.dtype == np.dtype(dtype) and n.flags.writeable
    assert np.shares_memory(n, np.asarray(a))
    shared = a.__array__(copy=False)
    assert np.shares_memory(shared, np.asarray(a))
    copied = a.__array__(None, True)
    assert not np.shares_memory(copied, np.asarray(a))
    np.testing.assert_array_equal(copied, sample((2, 3), dtype))


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"dtype": "float32"}, {"dtype": np.int64}, {"dtype": "int8", "copy": True}, {"copy": np.True_},
     {"dtype": "float32", "copy": False}, {"dtype": "float64", "copy": False}, {"dtype": "no such type"}],
)
def test_array_protocol_against_numpy(kwargs):
    """ndarray.__array__ gives NumPy's np.asarray(x, **kwargs) result or exception."""
    want = sample((2, 3), "float64")
    a = any_native(want)
    try:
        expected = np.asarray(want, **kwargs)
    except Exception as exc:  # noqa: BLE001
        with pytest.raises(type(exc)) as info:
            a.__array__(**kwargs)
        assert str(info.value) == str(exc)
        return
    got = a.__array__(**kwargs)
    assert got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)


def test_array_protocol_argument_errors():
    a = any_native([1.0])
    with pytest.raises(TypeError) as info:
        a.__array__(copy=1)
    assert str(info.value) == "'int' object is not an instance of 'bool'"
    assert info.value.__notes__ == ["while processing 'copy'"]
    with pytest.raises(TypeError, match=r"^ndarray\.__array__\(\) takes from 0 to 2 positional arguments "
                                        r"but 3 were given$"):
        a.__array__(None, None, None)
    with pytest.raises(TypeError, match=r"^ndarray\.__array__\(\) got an unexpected keyword argument 'order'$"):
        a.__array__(order="C")


# ---- DLPack ------------------------------------------------------------------------------


class DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class DLTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", DLDevice),
        ("ndim", ctypes.c_int32),
        ("dtype", DLDataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


class DLManagedTensor(ctypes.Structure):
    pass


DLManagedTensor._fields_ = [
    ("dl_tensor", DLTensor),
    ("manager_ctx", ctypes.c_void_p),
    ("deleter", ctypes.CFUNCTYPE(None, ctypes.POINTER(DLManagedTensor))),
]


class DLManagedTensorVersioned(ctypes.Structure):
    pass


DLManagedTensorVersioned._fields_ = [
    ("version_major", ctypes.c_uint32),
    ("version_minor", ctypes.c_uint32),
    ("manager_ctx", ctypes.c_void_p),
    ("deleter", ctypes.CFUNCTYPE(None, ctypes.POINTER(DLManagedTensorVersioned))),
    ("flags", ctypes.c_uint64),
    ("dl_tensor", DLTensor),
]

_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.argtypes = [ctypes.py_object]
_capsule_name.restype = ctypes.c_char_p
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_pointer.restype = ctypes.c_void_p
_capsule_set_name = ctypes.pythonapi.PyCapsule_SetName
_capsule_set_name.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_set_name.restype = ctypes.c_int

# The consumer's side: a taken capsule is renamed; its name must outlive the capsule.
USED = {b"dltensor": ctypes.c_char_p(b"used_dltensor"),
        b"dltensor_versioned": ctypes.c_char_p(b"used_dltensor_versioned")}


def managed_of(capsule):
    name = _capsule_name(capsule)
    kind = DLManagedTensorVersioned if name == b"dltensor_versioned" else DLManagedTensor
    return name, kind.from_address(_capsule_pointer(capsule, name))


def take(capsule):
    """Take the tensor as a consumer does: rename the capsule and keep the deleter duty."""
    name, managed = managed_of(capsule)
    assert _capsule_set_name(capsule, USED[name]) == 0
    return managed


def tensor_fields(t):
    shape = tuple(t.shape[i] for i in range(t.ndim))
    strides = tuple(t.strides[i] for i in range(t.ndim))
    return t.data, (t.device.device_type, t.device.device_id), t.ndim, (
        t.dtype.code, t.dtype.bits, t.dtype.lanes), shape, strides, t.byte_offset


DL_DTYPES = {"float64": (2, 64, 1), "int64": (0, 64, 1), "bool": (6, 8, 1)}


@pytest.mark.parametrize(
    "kwargs, name",
    [({}, b"dltensor"), ({"max_version": None}, b"dltensor"), ({"max_version": (0, 5)}, b"dltensor"),
     ({"max_version": (1, 0)}, b"dltensor_versioned"), ({"max_version": (1, 3)}, b"dltensor_versioned"),
     ({"max_version": (2, 0)}, b"dltensor_versioned"), ({"dl_device": (1, 0)}, b"dltensor"),
     ({"stream": None, "copy": False}, b"dltensor"), ({"copy": np.False_}, b"dltensor")],
)
def test_capsule_names(kwargs, name):
    a = any_native(sample((2, 3), "float64"))
    capsule = a.__dlpack__(**kwargs)
    assert _capsule_name(capsule) == name


@pytest.mark.parametrize("versioned", [False, True])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (5,), (2, 3), (2, 1, 4)])
def test_dlpack_tensor_fields(versioned, dtype, shape):
    want = sample(shape, dtype)
    a = any_native(want, dtype)
    capsule = a.__dlpack__(max_version=(1, 0)) if versioned else a.__dlpack__()
    name, managed = managed_of(capsule)
    strides = c_element_strides(shape)
    fields = tensor_fields(managed.dl_tensor)
    assert fields[1:] == ((1, 0), len(shape), DL_DTYPES[dtype], shape, strides, 0)
    if want.size:
        assert fields[0] == data_address(np.asarray(a))
    if versioned:
        assert (managed.version_major, managed.version_minor, managed.flags) == (1, 0, 0)
        assert managed.manager_ctx == ctypes.addressof(managed)
    else:
        assert managed.manager_ctx is None


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (4,), (2, 3), (3, 1, 2)])
def test_from_dlpack_round_trip(dtype, shape):
    want = sample(shape, dtype)
    a = any_native(want, dtype)
    got = np.from_dlpack(a)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    if want.size:
        assert np.shares_memory(got, np.asarray(a))
        got.reshape(-1)[0] = want.reshape(-1)[-1]
        assert np.asarray(a).reshape(-1)[0] == want.reshape(-1)[-1]


def test_dlpack_copy_is_private():
    want = sample((2, 3), "float64")
    a = any_native(want)
    capsule = a.__dlpack__(copy=True, max_version=(1, 0))
    _, managed = managed_of(capsule)
    assert managed.flags == 0
    assert managed.dl_tensor.data != data_address(np.asarray(a))
    got = np.from_dlpack(a, copy=True)
    got[0, 0] = 100.0
    assert np.asarray(a)[0, 0] == want[0, 0]
    np.testing.assert_array_equal(got[0, 1:], want[0, 1:])


def test_dlpack_device():
    a = any_native([1.0, 2.0])
    assert a.__dlpack_device__() == (1, 0)
    with pytest.raises(TypeError):
        a.__dlpack_device__(0)


def test_docs():
    assert NDARRAY.__dlpack__.__text_signature__ == (
        "($self, *, stream=None, max_version=None, dl_device=None, copy=None)")
    assert NDARRAY.__dlpack__.__doc__ == (
        "DLPack export: versioned (protocol 1.0) when the consumer passes\n"
        "`max_version`, the legacy unversioned capsule otherwise.")
    assert NDARRAY.__array__.__text_signature__ == "($self, dtype=None, copy=None)"
    assert NDARRAY.__array__.__doc__ == (
        "NumPy's `__array__` protocol. NumPy normally takes the zero-copy\n"
        "buffer-protocol route first; this exists for libraries that call\n"
        "`__array__` directly. `copy=False` is honoured (the view is writable).")
    assert NDARRAY.__dlpack_device__.__text_signature__ == "($self)"


NOTE = object()  # marks a case whose error carries the argument note


@pytest.mark.parametrize(
    "kwargs, exc, message, note",
    [
        ({"stream": 0}, ValueError, "stream is not supported for CPU arrays", None),
        ({"stream": 1, "dl_device": (2, 0)}, ValueError, "stream is not supported for CPU arrays", None),
        ({"dl_device": (2, 0)}, BufferError, "corvantile arrays live on the CPU; cannot export to another device",
         None),
        ({"dl_device": (1, 1)}, BufferError, "corvantile arrays live on the CPU; cannot export to another device",
         None),
        ({"max_version": (1,)}, ValueError, "expected tuple of length 2, but got tuple of length 1", "max_version"),
        ({"max_version": (1, 0, 0)}, ValueError, "expected tuple of length 2, but got tuple of length 3",
         "max_version"),
        ({"max_version": [1, 0]}, TypeError, "'list' object is not an instance of 'tuple'", "max_version"),
        ({"max_version": (2**32, 0)}, OverflowError, "Python int too large to convert to C uint32_t",
         "max_version"),
        ({"max_version": (-1, 0)}, ValueError, "Cannot convert negative int", "max_version"),
        ({"max_version": (1.5, 0)}, TypeError, "'float' object cannot be interpreted as an integer",
         "max_version"),
        ({"dl_device": (1,)}, ValueError, "expected tuple of length 2, but got tuple of length 1", "dl_device"),
        ({"dl_device": (1, 2**31)}, OverflowError, "Python int too large to convert to C int32_t", "dl_device"),
        ({"dl_device": "cpu"}, TypeError, "'str' object is not an instance of 'tuple'", "dl_device"),
        ({"copy": 1}, TypeError, "'int' object is not an instance of 'bool'", "copy"),
        ({"stream": 0, "max_version": [1]}, TypeError, "'list' object is not an instance of 'tuple'",
         "max_version"),
        ({"device": None}, TypeError, "ndarray.__dlpack__() got an unexpected keyword argument 'device'", None),
    ],
)
def test_dlpack_argument_errors(kwargs, exc, message, note):
    a = any_native([1.0, 2.0])
    with pytest.raises(exc) as info:
        a.__dlpack__(**kwargs)
    assert type(info.value) is exc and str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


def test_dlpack_takes_no_positional_arguments_like_numpy():
    a = any_native([1.0])
    with pytest.raises(TypeError) as info:
        a.__dlpack__(None)
    with pytest.raises(TypeError) as numpy_info:
        np.ones(1).__dlpack__(None)
    assert str(info.value) == "ndarray." + str(numpy_info.value)


def test_dlpack_accepts_tuple_subclasses_and_numpy_ints():
    from collections import namedtuple

    Version = namedtuple("Version", "major minor")
    a = any_native([1.0])
    assert _capsule_name(a.__dlpack__(max_version=Version(1, 0))) == b"dltensor_versioned"
    assert _capsule_name(a.__dlpack__(max_version=(np.int64(1), np.uint8(0)),
                                      dl_device=(np.int32(1), 0))) == b"dltensor_versioned"


@pytest.mark.parametrize("versioned", [False, True])
def test_untaken_capsule_releases_the_array(versioned):
    a = any_native(sample((3,), "float64"))
    before = sys.getrefcount(a)
    capsule = a.__dlpack__(max_version=(1, 0) if versioned else None)
    assert sys.getrefcount(a) == before + 1
    del capsule
    gc.collect()
    assert sys.getrefcount(a) == before


@pytest.mark.parametrize("versioned", [False, True])
@pytest.mark.parametrize("where", ["here", "thread"])
def test_taken_capsule_is_freed_by_the_deleter(versioned, where):
    """The deleter runs detached (ctypes drops the interpreter for the call) and attaches itself."""
    a = any_native(sample((3,), "float64"))
    before = sys.getrefcount(a)
    capsule = a.__dlpack__(max_version=(1, 0) if versioned else None)
    managed = take(capsule)
    del capsule
    gc.collect()
    assert sys.getrefcount(a) == before + 1  # the taken tensor still holds the array
    if where == "here":
        managed.deleter(ctypes.pointer(managed))
    else:
        worker = threading.Thread(target=managed.deleter, args=(ctypes.pointer(managed),))
        worker.start()
        worker.join()
    assert sys.getrefcount(a) == before


def test_dlpack_outlives_the_array_reference():
    a = any_native(sample((2, 2), "float64"))
    capsule = a.__dlpack__()
    del a
    gc.collect()
    np.testing.assert_array_equal(np.from_dlpack(_CapsuleHolder(capsule)), sample((2, 2), "float64"))


class _CapsuleHolder:
    """Hands a ready capsule to np.from_dlpack."""

    def __init__(self, capsule):
        self.capsule = capsule

    def __dlpack__(self, **kwargs):
        return self.capsule

    def __dlpack_device__(self):
        return (1, 0)


def test_capsules_alive_at_exit():
    """Untaken and taken-but-never-freed capsules at interpreter exit end the process cleanly."""
    script = textwrap.dedent(
        """
        import ctypes, sys
        sys.path.insert(0, {path!r})
        import numpy as np, corvantile as cv
        a = cv.array(np.arange(4.0))
        if type(a) is not cv._core.ndarray:
            raise SystemExit("no native array")
        keep = [a.__dlpack__(), a.__dlpack__(max_version=(1, 0))]
        taken = a.__dlpack__()
        set_name = ctypes.pythonapi.PyCapsule_SetName
        set_name.argtypes = [ctypes.py_object, ctypes.c_char_p]
        name = ctypes.c_char_p(b"used_dltensor")
        set_name(taken, name)
        del taken
        print("ok")
        """
    ).format(path=os.path.dirname(os.path.dirname(cv.__file__)))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok", "corvantile.array gave no native array"


# ---- strided views -----------------------------------------------------------------------

VIEWS = [
    ("every second", (6,), lambda n: n[::2]),
    ("reversed", (5,), lambda n: n[::-1]),
    ("transposed", (2, 3), lambda n: n.T),
    ("column step", (3, 4), lambda n: n[:, ::2]),
    ("reversed rows", (3, 4), lambda n: n[::-1, 1:]),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("label, shape, make_view", VIEWS, ids=[v[0] for v in VIEWS])
def test_strided_view_buffer(dtype, label, shape, make_view):
    base = native(sample(shape, dtype), dtype)
    want = make_view(np.asarray(base))
    view = strided_view(base, make_view)
    m = memoryview(view)
    assert (m.format, m.shape, m.strides, m.readonly) == (FORMATS[dtype], want.shape, want.strides, False)
    assert m.tolist() == want.tolist()
    n = np.asarray(view)
    assert n.strides == want.strides and np.shares_memory(n, np.asarray(base))
    np.testing.assert_array_equal(n, want)
    n[(0,) * n.ndim] = n[(-1,) * n.ndim]
    assert want[(0,) * n.ndim] == want[(-1,) * n.ndim]


@pytest.mark.parametrize(
    "flags", [PyBUF_SIMPLE, PyBUF_ND, PyBUF_ND | PyBUF_FORMAT, PyBUF_C_CONTIGUOUS, PyBUF_F_CONTIGUOUS,
              PyBUF_ANY_CONTIGUOUS]
)
def test_strided_view_refuses_contiguous_requests(flags):
    base = native(sample((6,), "float64"))
    view = strided_view(base, lambda n: n[::2])
    with pytest.raises(BufferError, match="^ndarray is not C-contiguous$"):
        Export(view, flags)
    with Export(view, PyBUF_STRIDES) as exported:
        assert Export.strides(exported) == (16,)


@pytest.mark.parametrize("label, shape, make_view", VIEWS, ids=[v[0] for v in VIEWS])
def test_strided_view_dlpack(label, shape, make_view):
    base = native(sample(shape, "int64"), "int64")
    want = make_view(np.asarray(base))
    view = strided_view(base, make_view)
    capsule = view.__dlpack__()
    _, managed = managed_of(capsule)
    data, _, _, _, shape_out, strides, _ = tensor_fields(managed.dl_tensor)
    assert data == data_address(want)
    assert (shape_out, strides) == (want.shape, tuple(s // 8 for s in want.strides))
    got = np.from_dlpack(view)
    np.testing.assert_array_equal(got, want)
    assert np.shares_memory(got, np.asarray(base))
    copied = np.from_dlpack(view, copy=True)
    np.testing.assert_array_equal(copied, want)
    assert copied.flags.c_contiguous and not np.shares_memory(copied, np.asarray(base))


def test_strided_view_array_protocol():
    base = native(sample((6,), "float64"))
    view = strided_view(base, lambda n: n[::-1])
    got = view.__array__()
    np.testing.assert_array_equal(got, sample((6,), "float64")[::-1])
    assert got.strides == (-8,) and np.shares_memory(got, np.asarray(base))
