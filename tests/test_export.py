"""Memory export of ndarray: the buffer protocol, __array__ and DLPack capsules."""

import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import threading
from collections import namedtuple

import numpy as np
import pytest

import corvantile as cv
from conftest import native

DTYPES = ["float64", "int64", "bool"]
FORMATS = {"float64": "d", "int64": "l", "bool": "?"}


def sample(shape, dtype="float64"):
    values = np.arange(int(np.prod(shape))) - 2
    if dtype == "float64":
        values = values * 1.5
    return values.reshape(shape).astype(dtype)


# ---- raw buffer requests through the C API -------------------------------------------------

PyBUF_SIMPLE, PyBUF_WRITABLE, PyBUF_FORMAT, PyBUF_ND, PyBUF_STRIDES = 0, 0x1, 0x4, 0x8, 0x18
PyBUF_C_CONTIGUOUS, PyBUF_F_CONTIGUOUS, PyBUF_ANY_CONTIGUOUS, PyBUF_FULL = 0x38, 0x58, 0x98, 0x11D
c = ctypes  # short name for the structure layouts below


def _api(name, argtypes, restype):
    f = getattr(c.pythonapi, name)
    f.argtypes, f.restype = argtypes, restype
    return f


class PyBuffer(c.Structure):
    _fields_ = [("buf", c.c_void_p), ("obj", c.c_void_p), ("len", c.c_ssize_t), ("itemsize", c.c_ssize_t),
                ("readonly", c.c_int), ("ndim", c.c_int), ("format", c.c_char_p),
                ("shape", c.POINTER(c.c_ssize_t)), ("strides", c.POINTER(c.c_ssize_t)),
                ("suboffsets", c.c_void_p), ("internal", c.c_void_p)]


_get_buffer = _api("PyObject_GetBuffer", [c.py_object, c.POINTER(PyBuffer), c.c_int], c.c_int)
_release_buffer = _api("PyBuffer_Release", [c.POINTER(PyBuffer)], None)


class Export:
    """One buffer export with the given request flags; released on exit."""

    def __init__(self, obj, flags):
        self.view = PyBuffer()
        _get_buffer(obj, c.byref(self.view), flags)

    def __enter__(self):
        return self.view

    def __exit__(self, *exc):
        _release_buffer(c.byref(self.view))

    @staticmethod
    def shape(view):
        return None if not view.shape else tuple(view.shape[i] for i in range(view.ndim))

    @staticmethod
    def strides(view):
        return None if not view.strides else tuple(view.strides[i] for i in range(view.ndim))


def c_element_strides(shape):
    """C strides in elements, unclamped: an axis of length 0 makes the earlier ones 0."""
    return tuple(int(np.prod(shape[k + 1:])) for k in range(len(shape)))


def data_address(np_array):
    return np_array.__array_interface__["data"][0]


# ---- the buffer protocol ---------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (2, 3), (2, 0, 3), (2, 1, 3, 1)])
def test_memoryview_and_numpy_read_the_arrays_memory(dtype, shape):
    want = sample(shape, dtype)
    a = native(want)
    m, ref = memoryview(a), memoryview(want)
    assert m.format == FORMATS[dtype] and m.readonly is False and m.obj is a
    assert (m.itemsize, m.ndim, m.shape, m.strides, m.nbytes) == (
        ref.itemsize, ref.ndim, ref.shape, ref.strides, ref.nbytes)
    assert m.tolist() == ref.tolist()
    n = np.asarray(a)
    assert type(n) is np.ndarray and n.dtype == want.dtype and n.flags.writeable and n.flags.c_contiguous
    np.testing.assert_array_equal(n, want)
    if want.size:
        assert np.shares_memory(n, np.asarray(a)) and np.shares_memory(n, np.from_dlpack(a))
        value = {"float64": 9.25, "int64": -7, "bool": True}[dtype]
        m[(-1,) * m.ndim] = value
        assert np.asarray(a)[(-1,) * m.ndim] == value and np.from_dlpack(a)[(-1,) * m.ndim] == value


@pytest.mark.parametrize("flags, ndim, has_shape, has_strides, has_format", [
    (PyBUF_SIMPLE, 1, False, False, False), (PyBUF_WRITABLE, 1, False, False, False),
    (PyBUF_FORMAT, 1, False, False, True), (PyBUF_ND, 2, True, False, False),
    (PyBUF_ND | PyBUF_FORMAT, 2, True, False, True), (PyBUF_STRIDES, 2, True, True, False),
    (PyBUF_C_CONTIGUOUS, 2, True, True, False), (PyBUF_ANY_CONTIGUOUS, 2, True, True, False),
    (PyBUF_FULL, 2, True, True, True),
])
def test_buffer_request_flags(flags, ndim, has_shape, has_strides, has_format):
    a = native(sample((2, 3)))
    with Export(a, flags) as view:
        assert (view.obj, view.buf) == (id(a), data_address(np.asarray(a)))
        assert (view.len, view.itemsize, view.readonly, view.ndim) == (48, 8, 0, ndim)
        assert Export.shape(view) == ((2, 3) if has_shape else None)
        assert Export.strides(view) == ((24, 8) if has_strides else None)
        assert view.format == (b"d" if has_format else None)
        assert not view.suboffsets
    zero_dim = native(2.5)
    with Export(zero_dim, flags) as view:
        assert (view.ndim, view.len, view.itemsize) == (0 if has_shape else 1, 8, 8)
        assert not view.shape and not view.strides


def test_export_keeps_the_array_alive_and_releases_it():
    a = native(sample((4,)))
    before = sys.getrefcount(a)
    m = memoryview(a)
    assert sys.getrefcount(a) == before + 1
    m.release()
    assert sys.getrefcount(a) == before
    m = memoryview(a)
    del a
    gc.collect()
    assert m.tolist() == [-3.0, -1.5, 0.0, 1.5]


@pytest.mark.parametrize("shape, refused", [((2, 3), True), ((2, 1, 3), True), ((3, 1), False), ((0, 3, 4), False)])
def test_fortran_demand(shape, refused):
    a = native(sample(shape))
    if refused:
        with pytest.raises(BufferError, match="^ndarray is not Fortran contiguous$"):
            Export(a, PyBUF_F_CONTIGUOUS)
        return
    with Export(a, PyBUF_F_CONTIGUOUS) as view:
        assert view.len == 8 * int(np.prod(shape))


def test_each_export_owns_its_shape_and_strides():
    a = native(sample((2, 3)))
    with Export(a, PyBUF_FULL) as first, Export(a, PyBUF_FULL) as second:
        pointers = [c.addressof(v.shape.contents) for v in (first, second)]
        assert len(set(pointers + [c.addressof(v.strides.contents) for v in (first, second)])) == 4
        a.shape = (3, 2)
        assert (Export.shape(first), Export.strides(first)) == ((2, 3), (24, 8))


# ---- __array__ ---------------------------------------------------------------------------


@pytest.mark.parametrize("kwargs", [{}, {"copy": False}, {"dtype": "float64", "copy": False}, {"dtype": "float32"},
                                    {"dtype": "int8", "copy": True}, {"copy": np.True_},
                                    {"dtype": "float32", "copy": False}, {"dtype": "no such type"}])
def test_array_protocol_against_numpy(kwargs):
    """ndarray.__array__ gives NumPy's np.asarray(x, **kwargs) result or exception, sharing unless copying."""
    want = sample((2, 3))
    a = native(want)
    try:
        expected = np.asarray(want, **kwargs)
    except Exception as exc:  # noqa: BLE001
        with pytest.raises(type(exc)) as info:
            a.__array__(**kwargs)
        assert str(info.value) == str(exc)
        return
    got = a.__array__(**kwargs)
    assert type(got) is np.ndarray and got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)
    assert got.flags.writeable
    assert np.shares_memory(got, np.asarray(a)) == (expected is want)


def test_array_protocol_argument_errors():
    a = native([1.0])
    assert not np.shares_memory(a.__array__(None, True), np.asarray(a))
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


class DLTensor(c.Structure):
    _fields_ = [("data", c.c_void_p), ("device_type", c.c_int32), ("device_id", c.c_int32), ("ndim", c.c_int32),
                ("code", c.c_uint8), ("bits", c.c_uint8), ("lanes", c.c_uint16),
                ("shape", c.POINTER(c.c_int64)), ("strides", c.POINTER(c.c_int64)), ("byte_offset", c.c_uint64)]


class DLManagedTensor(c.Structure):
    pass


class DLManagedTensorVersioned(c.Structure):
    pass


DLManagedTensor._fields_ = [("dl_tensor", DLTensor), ("manager_ctx", c.c_void_p),
                            ("deleter", c.CFUNCTYPE(None, c.POINTER(DLManagedTensor)))]
DLManagedTensorVersioned._fields_ = [
    ("version_major", c.c_uint32), ("version_minor", c.c_uint32), ("manager_ctx", c.c_void_p),
    ("deleter", c.CFUNCTYPE(None, c.POINTER(DLManagedTensorVersioned))), ("flags", c.c_uint64),
    ("dl_tensor", DLTensor)]

_capsule_name = _api("PyCapsule_GetName", [c.py_object], c.c_char_p)
_capsule_pointer = _api("PyCapsule_GetPointer", [c.py_object, c.c_char_p], c.c_void_p)
_capsule_set_name = _api("PyCapsule_SetName", [c.py_object, c.c_char_p], c.c_int)

# The consumer's side: a taken capsule is renamed; its name must outlive the capsule.
USED = {b"dltensor": c.c_char_p(b"used_dltensor"), b"dltensor_versioned": c.c_char_p(b"used_dltensor_versioned")}


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
    return (t.data, (t.device_type, t.device_id), t.ndim, (t.code, t.bits, t.lanes), shape, strides,
            t.byte_offset)


DL_DTYPES = {"float64": (2, 64, 1), "int64": (0, 64, 1), "bool": (6, 8, 1)}


@pytest.mark.parametrize("kwargs, name", [
    ({}, b"dltensor"), ({"max_version": None}, b"dltensor"), ({"max_version": (0, 5)}, b"dltensor"),
    ({"max_version": (1, 0)}, b"dltensor_versioned"), ({"max_version": (2, 0)}, b"dltensor_versioned"),
    ({"dl_device": (1, 0), "stream": None, "copy": np.False_}, b"dltensor"),
    # Tuple subclasses and NumPy integers are taken.
    ({"max_version": namedtuple("Version", "major minor")(1, 0)}, b"dltensor_versioned"),
    ({"max_version": (np.int64(1), np.uint8(0)), "dl_device": (np.int32(1), 0)}, b"dltensor_versioned"),
])
def test_capsule_names(kwargs, name):
    a = native(sample((2, 3)))
    assert _capsule_name(a.__dlpack__(**kwargs)) == name
    assert a.__dlpack_device__() == (1, 0)


@pytest.mark.parametrize("versioned", [False, True])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (2, 3), (2, 1, 4)])
def test_dlpack_tensor_fields_and_round_trip(versioned, dtype, shape):
    want = sample(shape, dtype)
    a = native(want)
    capsule = a.__dlpack__(max_version=(1, 0)) if versioned else a.__dlpack__()
    name, managed = managed_of(capsule)
    fields = tensor_fields(managed.dl_tensor)
    assert fields[1:] == ((1, 0), len(shape), DL_DTYPES[dtype], shape, c_element_strides(shape), 0)
    if versioned:
        assert (managed.version_major, managed.version_minor, managed.flags) == (1, 0, 0)
        assert managed.manager_ctx == c.addressof(managed)
    else:
        assert managed.manager_ctx is None
    got = np.from_dlpack(a)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    if want.size:
        assert fields[0] == data_address(np.asarray(a))
        assert np.shares_memory(got, np.asarray(a))
        got.reshape(-1)[0] = want.reshape(-1)[-1]
        assert np.asarray(a).reshape(-1)[0] == want.reshape(-1)[-1]


def test_dlpack_copy_is_private():
    a = native(sample((2, 3)))
    _, managed = managed_of(a.__dlpack__(copy=True, max_version=(1, 0)))
    assert managed.flags == 0 and managed.dl_tensor.data != data_address(np.asarray(a))
    got = np.from_dlpack(a, copy=True)
    got[0, 0] = 100.0
    np.testing.assert_array_equal(a, sample((2, 3)))


OTHER_DEVICE = "corvantile arrays live on the CPU; cannot export to another device"


@pytest.mark.parametrize("kwargs, exc, message, note", [
    ({"stream": 0}, ValueError, "stream is not supported for CPU arrays", None),
    ({"dl_device": (2, 0)}, BufferError, OTHER_DEVICE, None),
    ({"max_version": [1, 0]}, TypeError, "'list' object is not an instance of 'tuple'", "max_version"),
    ({"max_version": (2**32, 0)}, OverflowError, "Python int too large to convert to C uint32_t", "max_version"),
    ({"max_version": (1.5, 0)}, TypeError, "'float' object cannot be interpreted as an integer", "max_version"),
    ({"dl_device": (1,)}, ValueError, "expected tuple of length 2, but got tuple of length 1", "dl_device"),
    ({"copy": 1}, TypeError, "'int' object is not an instance of 'bool'", "copy"),
    ({"stream": 0, "max_version": [1]}, TypeError, "'list' object is not an instance of 'tuple'", "max_version"),
    ({"device": None}, TypeError, "ndarray.__dlpack__() got an unexpected keyword argument 'device'", None),
])
def test_dlpack_argument_errors(kwargs, exc, message, note):
    a = native([1.0, 2.0])
    with pytest.raises(exc) as info:
        a.__dlpack__(**kwargs)
    assert type(info.value) is exc and str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


def test_dlpack_positional_arguments_are_refused_like_numpy():
    a = native([1.0])
    with pytest.raises(TypeError) as info:
        a.__dlpack__(None)
    with pytest.raises(TypeError) as numpy_info:
        np.ones(1).__dlpack__(None)
    assert str(info.value) == "ndarray." + str(numpy_info.value)
    with pytest.raises(TypeError):
        a.__dlpack_device__(0)


@pytest.mark.parametrize("versioned", [False, True])
@pytest.mark.parametrize("where", [None, "here", "thread"])
def test_capsule_releases_the_array(versioned, where):
    """An untaken capsule frees its tensor when it dies; a taken one when the consumer calls the deleter,
    which runs detached (ctypes drops the interpreter for the call) and attaches itself."""
    a = native(sample((3,)))
    before = sys.getrefcount(a)
    capsule = a.__dlpack__(max_version=(1, 0) if versioned else None)
    assert sys.getrefcount(a) == before + 1
    managed = take(capsule) if where else None
    del capsule
    gc.collect()
    if where is None:
        assert sys.getrefcount(a) == before
        return
    assert sys.getrefcount(a) == before + 1  # the taken tensor still holds the array
    if where == "here":
        managed.deleter(c.pointer(managed))
    else:
        worker = threading.Thread(target=managed.deleter, args=(c.pointer(managed),))
        worker.start()
        worker.join()
    assert sys.getrefcount(a) == before


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


# ---- strided views (their contiguity refusals are tested with the views) ------------------

VIEWS = [
    ("reversed", (5,), lambda n: n[::-1]),
    ("transposed", (2, 3), lambda n: n.T),
    ("reversed rows", (3, 4), lambda n: n[::-1, 1::2]),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("label, shape, make_view", VIEWS, ids=[v[0] for v in VIEWS])
def test_strided_view_exports(dtype, label, shape, make_view):
    base = native(sample(shape, dtype))
    want = make_view(np.asarray(base))
    view = cv._view_of(base, want)
    m = memoryview(view)
    assert (m.format, m.shape, m.strides, m.readonly) == (FORMATS[dtype], want.shape, want.strides, False)
    assert m.tolist() == want.tolist()
    for n in (np.asarray(view), view.__array__(), np.from_dlpack(view)):
        assert n.strides == want.strides and np.shares_memory(n, np.asarray(base))
        np.testing.assert_array_equal(n, want)
    capsule = view.__dlpack__()
    _, managed = managed_of(capsule)
    data, _, _, _, shape_out, strides, _ = tensor_fields(managed.dl_tensor)
    assert (data, shape_out, strides) == (data_address(want), want.shape, tuple(s // want.itemsize for s in want.strides))
    copied = np.from_dlpack(view, copy=True)
    np.testing.assert_array_equal(copied, want)
    assert copied.flags.c_contiguous and not np.shares_memory(copied, np.asarray(base))
    n = np.asarray(view)
    n[(0,) * n.ndim] = n[(-1,) * n.ndim]
    assert want[(0,) * n.ndim] == want[(-1,) * n.ndim]
