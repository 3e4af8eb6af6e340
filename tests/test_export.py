"""Memory export of ndarray: the buffer protocol, __array__ and DLPack capsules."""

import ctypes as c
import gc
import os
import subprocess
import sys
import threading
from collections import namedtuple

import numpy as np
import pytest

import corvantile as cv
from conftest import native, sample

DTYPES = [np.float64, np.int64, np.bool_]
FORMATS = {np.float64: "d", np.int64: "l", np.bool_: "?"}
DL_DTYPES = {np.float64: (2, 64, 1), np.int64: (0, 64, 1), np.bool_: (6, 8, 1)}


def _api(name, argtypes, restype):
    f = getattr(c.pythonapi, name)
    f.argtypes, f.restype = argtypes, restype
    return f


def address(n):
    return n.__array_interface__["data"][0]


def axes(pointer, n):
    return tuple(pointer[i] for i in range(n)) if pointer else None


# ---- the buffer protocol ---------------------------------------------------------------


class PyBuffer(c.Structure):
    _fields_ = [("buf", c.c_void_p), ("obj", c.c_void_p), ("len", c.c_ssize_t), ("itemsize", c.c_ssize_t),
                ("readonly", c.c_int), ("ndim", c.c_int), ("format", c.c_char_p),
                ("shape", c.POINTER(c.c_ssize_t)), ("strides", c.POINTER(c.c_ssize_t)),
                ("suboffsets", c.c_void_p), ("internal", c.c_void_p)]


_get_buffer = _api("PyObject_GetBuffer", [c.py_object, c.POINTER(PyBuffer), c.c_int], c.c_int)
_release_buffer = _api("PyBuffer_Release", [c.POINTER(PyBuffer)], None)
SIMPLE, WRITABLE, FORMAT, ND, STRIDES, C_CONTIGUOUS, F_CONTIGUOUS, ANY_CONTIGUOUS, FULL = (
    0, 0x1, 0x4, 0x8, 0x18, 0x38, 0x58, 0x98, 0x11D)


class Export:
    """One buffer export with the given request flags; released on exit."""

    def __init__(self, obj, flags):
        self.view = PyBuffer()
        _get_buffer(obj, c.byref(self.view), flags)

    def __enter__(self):
        return self.view

    def __exit__(self, *exc):
        _release_buffer(c.byref(self.view))


@pytest.mark.parametrize("flags, ndim, has_shape, has_strides, has_format", [
    (SIMPLE, 1, False, False, False), (WRITABLE, 1, False, False, False), (FORMAT, 1, False, False, True),
    (ND, 2, True, False, False), (STRIDES, 2, True, True, False), (C_CONTIGUOUS, 2, True, True, False),
    (ANY_CONTIGUOUS, 2, True, True, False), (FULL, 2, True, True, True),
])
def test_buffer_request_flags(flags, ndim, has_shape, has_strides, has_format):
    a = native(sample((2, 3), np.float64))
    with Export(a, flags) as view:
        assert (view.obj, view.buf, view.len, view.itemsize, view.readonly, view.ndim) == (
            id(a), address(np.asarray(a)), 48, 8, 0, ndim)
        assert axes(view.shape, 2) == ((2, 3) if has_shape else None) and not view.suboffsets
        assert axes(view.strides, 2) == ((24, 8) if has_strides else None)
        assert view.format == (b"d" if has_format else None)
    with Export(native(2.5), flags) as view:
        assert (view.ndim, view.len, view.itemsize) == (0 if has_shape else 1, 8, 8)
        assert not view.shape and not view.strides


def test_exports_hold_the_array_and_own_their_shapes():
    a = native(sample((4,), np.float64))
    before = sys.getrefcount(a)
    m = memoryview(a)
    assert sys.getrefcount(a) == before + 1
    m.release()
    assert sys.getrefcount(a) == before
    m = memoryview(a)
    del a
    gc.collect()
    assert m.tolist() == [-7.0, -4.0, -1.0, 2.0]
    a = native(sample((2, 3), np.float64))
    with Export(a, FULL) as first, Export(a, FULL) as second:
        assert c.addressof(first.shape.contents) != c.addressof(second.shape.contents)
        a.shape = (3, 2)
        assert (axes(first.shape, 2), axes(first.strides, 2)) == ((2, 3), (24, 8))
    for shape, refused in [((2, 3), True), ((2, 1, 3), True), ((3, 1), False), ((0, 3, 4), False)]:
        if refused:
            with pytest.raises(BufferError, match="^ndarray is not Fortran contiguous$"):
                Export(native(np.zeros(shape)), F_CONTIGUOUS)
        else:
            with Export(native(np.zeros(shape)), F_CONTIGUOUS) as view:
                assert view.len == 8 * int(np.prod(shape))


# ---- __array__ ---------------------------------------------------------------------------


@pytest.mark.parametrize("kwargs", [{}, {"copy": False}, {"dtype": "float64", "copy": False}, {"dtype": "float32"},
                                    {"dtype": "int8", "copy": True}, {"copy": np.True_}, {"dtype": None, "copy": True},
                                    {"dtype": "float32", "copy": False}, {"dtype": "no such type"}])
def test_array_protocol_against_numpy(kwargs):
    want = sample((2, 3), np.float64)
    a = native(want)
    try:
        expected = np.asarray(want, **kwargs)
    except Exception as exc:  # noqa: BLE001
        with pytest.raises(type(exc)) as info:
            a.__array__(**kwargs)
        assert str(info.value) == str(exc)
        return
    for got in (a.__array__(**kwargs), a.__array__(kwargs.get("dtype"), kwargs.get("copy"))):
        assert type(got) is np.ndarray and got.dtype == expected.dtype and np.array_equal(got, expected)
        assert got.flags.writeable and np.shares_memory(got, np.asarray(a)) == (expected is want)


@pytest.mark.parametrize("call, exc, message, note", [
    (lambda a: a.__array__(copy=1), TypeError, "'int' object is not an instance of 'bool'", "copy"),
    (lambda a: a.__array__(None, None, None), TypeError,
     "ndarray.__array__() takes from 0 to 2 positional arguments but 3 were given", None),
    (lambda a: a.__array__(order="C"), TypeError, "ndarray.__array__() got an unexpected keyword argument 'order'", None),
    (lambda a: a.__dlpack__(stream=0), ValueError, "stream is not supported for CPU arrays", None),
    (lambda a: a.__dlpack__(dl_device=(2, 0)), BufferError,
     "corvantile arrays live on the CPU; cannot export to another device", None),
    (lambda a: a.__dlpack__(max_version=[1, 0]), TypeError, "'list' object is not an instance of 'tuple'", "max_version"),
    (lambda a: a.__dlpack__(max_version=(2**32, 0)), OverflowError, "Python int too large to convert to C uint32_t",
     "max_version"),
    (lambda a: a.__dlpack__(max_version=(1.5, 0)), TypeError, "'float' object cannot be interpreted as an integer",
     "max_version"),
    (lambda a: a.__dlpack__(dl_device=(1,)), ValueError, "expected tuple of length 2, but got tuple of length 1",
     "dl_device"),
    (lambda a: a.__dlpack__(copy=1), TypeError, "'int' object is not an instance of 'bool'", "copy"),
    (lambda a: a.__dlpack__(stream=0, max_version=[1]), TypeError, "'list' object is not an instance of 'tuple'",
     "max_version"),
    (lambda a: a.__dlpack__(device=None), TypeError, "ndarray.__dlpack__() got an unexpected keyword argument 'device'",
     None),
    (lambda a: a.__dlpack__(None), TypeError, "ndarray.__dlpack__() takes 0 positional arguments but 1 was given", None),
])
def test_argument_errors(call, exc, message, note):
    with pytest.raises(exc) as info:
        call(native([1.0, 2.0]))
    assert type(info.value) is exc and str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


# ---- DLPack ------------------------------------------------------------------------------


class DLTensor(c.Structure):
    _fields_ = [("data", c.c_void_p), ("device_type", c.c_int32), ("device_id", c.c_int32), ("ndim", c.c_int32),
                ("code", c.c_uint8), ("bits", c.c_uint8), ("lanes", c.c_uint16),
                ("shape", c.POINTER(c.c_int64)), ("strides", c.POINTER(c.c_int64)), ("byte_offset", c.c_uint64)]


class DLManaged(c.Structure):
    pass


class DLManagedVersioned(c.Structure):
    pass


DLManaged._fields_ = [("dl_tensor", DLTensor), ("manager_ctx", c.c_void_p),
                      ("deleter", c.CFUNCTYPE(None, c.POINTER(DLManaged)))]
DLManagedVersioned._fields_ = [("version_major", c.c_uint32), ("version_minor", c.c_uint32),
                               ("manager_ctx", c.c_void_p), ("deleter", c.CFUNCTYPE(None, c.POINTER(DLManagedVersioned))),
                               ("flags", c.c_uint64), ("dl_tensor", DLTensor)]
_capsule_name = _api("PyCapsule_GetName", [c.py_object], c.c_char_p)
_capsule_pointer = _api("PyCapsule_GetPointer", [c.py_object, c.c_char_p], c.c_void_p)
_capsule_set_name = _api("PyCapsule_SetName", [c.py_object, c.c_char_p], c.c_int)
# The consumer's side: a taken capsule is renamed; its name must outlive the capsule.
USED = {b"dltensor": c.c_char_p(b"used_dltensor"), b"dltensor_versioned": c.c_char_p(b"used_dltensor_versioned")}


def managed_of(capsule):
    name = _capsule_name(capsule)
    kind = DLManagedVersioned if name == b"dltensor_versioned" else DLManaged
    return name, kind.from_address(_capsule_pointer(capsule, name))


def tensor_fields(t):
    return (t.data, (t.device_type, t.device_id), (t.code, t.bits, t.lanes), axes(t.shape, t.ndim) or (),
            axes(t.strides, t.ndim) or (), t.byte_offset)


@pytest.mark.parametrize("kwargs, name", [
    ({}, b"dltensor"), ({"max_version": (0, 5)}, b"dltensor"), ({"max_version": (2, 0)}, b"dltensor_versioned"),
    ({"dl_device": (1, 0), "stream": None, "copy": np.False_}, b"dltensor"),
    # Tuple subclasses and NumPy integers are taken.
    ({"max_version": namedtuple("Version", "major minor")(1, 0)}, b"dltensor_versioned"),
    ({"max_version": (np.int64(1), np.uint8(0)), "dl_device": (np.int32(1), 0)}, b"dltensor_versioned"),
])
def test_capsule_names(kwargs, name):
    a = native(sample((2, 3), np.float64))
    assert _capsule_name(a.__dlpack__(**kwargs)) == name and a.__dlpack_device__() == (1, 0)


# (base shape, view of the base): owned arrays and strided views
LAYOUTS = [((), None), ((0,), None), ((2, 3), None), ((2, 0, 3), None), ((2, 1, 4), None),
           ((5,), lambda n: n[::-1]), ((2, 3), lambda n: n.T), ((3, 4), lambda n: n[::-1, 1::2])]


@pytest.mark.parametrize("versioned", [False, True])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape, take", LAYOUTS)
def test_dlpack_and_strided_exports(versioned, dtype, shape, take):
    base = native(sample(shape, dtype))
    want = take(np.asarray(base)) if take else np.asarray(base)
    a = cv._view_of(base, want) if take else base
    capsule = a.__dlpack__(max_version=(1, 0)) if versioned else a.__dlpack__()
    _, managed = managed_of(capsule)
    fields = tensor_fields(managed.dl_tensor)
    strides = tuple(s // want.itemsize for s in want.strides) if want.size else tuple(
        int(np.prod(shape[k + 1:])) for k in range(len(shape)))  # C strides in elements, unclamped
    assert fields[1:] == ((1, 0), DL_DTYPES[dtype], want.shape, strides, 0)
    if versioned:
        assert (managed.version_major, managed.version_minor, managed.flags) == (1, 0, 0)
        assert managed.manager_ctx == c.addressof(managed)
    else:
        assert managed.manager_ctx is None
    m = memoryview(a)
    assert (m.format, m.itemsize, m.shape, m.strides, m.readonly, m.obj, m.tolist()) == (
        FORMATS[dtype], want.itemsize, want.shape, want.strides, False, a, want.tolist())
    for n in (np.asarray(a), a.__array__(), np.from_dlpack(a)):
        assert n.strides == want.strides and np.array_equal(n, want) and n.flags.writeable
        assert not want.size or np.shares_memory(n, np.asarray(base))
    copied = np.from_dlpack(a, copy=True)
    assert copied.flags.c_contiguous and np.array_equal(copied, want)
    if want.size:
        assert fields[0] == address(want) and not np.shares_memory(copied, np.asarray(base))
        first, last = (0,) * want.ndim, (-1,) * want.ndim
        old = want[first].item(), want[last].item()
        m[first], np.from_dlpack(a)[last] = old[1], old[0]  # writes through both exports
        assert (want[first], want[last]) == (old[1], old[0])


@pytest.mark.parametrize("versioned", [False, True])
@pytest.mark.parametrize("where", [None, "here", "thread"])
def test_capsule_releases_the_array(versioned, where):
    """An untaken capsule frees its tensor when it dies; a taken one when the consumer calls the deleter,
    which runs detached (ctypes drops the interpreter for the call) and attaches itself."""
    a = native(sample((3,), np.float64))
    before = sys.getrefcount(a)
    capsule = a.__dlpack__(max_version=(1, 0) if versioned else None)
    assert sys.getrefcount(a) == before + 1
    name, managed = managed_of(capsule)
    if where:
        assert _capsule_set_name(capsule, USED[name]) == 0
    del capsule
    gc.collect()
    if where:
        assert sys.getrefcount(a) == before + 1  # the taken tensor still holds the array
        worker = threading.Thread(target=managed.deleter, args=(c.pointer(managed),))
        worker.run() if where == "here" else (worker.start(), worker.join())
    assert sys.getrefcount(a) == before


def test_capsules_alive_at_exit():
    """Untaken and taken-but-never-freed capsules at interpreter exit end the process cleanly."""
    script = f"""if 1:
        import ctypes, sys
        sys.path.insert(0, {os.path.dirname(os.path.dirname(cv.__file__))!r})
        import numpy as np, corvantile as cv
        a = cv.array(np.arange(4.0))
        assert type(a) is cv._core.ndarray
        keep, taken = [a.__dlpack__(), a.__dlpack__(max_version=(1, 0))], a.__dlpack__()
        ctypes.pythonapi.PyCapsule_SetName.argtypes = [ctypes.py_object, ctypes.c_char_p]
        name = ctypes.c_char_p(b"used_dltensor")
        ctypes.pythonapi.PyCapsule_SetName(taken, name)
        del taken
        print("ok")
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
