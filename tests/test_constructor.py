"""The ndarray constructor: zero-filled arrays, copies of buffers, refusals and their order."""

import struct

import numpy as np
import pytest

import corvantile as cv

UNSUPPORTED = ("corvantile.ndarray holds contiguous float64, int64 or bool data; "
               "use numpy.ndarray for other dtypes or strides")
TOO_BIG = "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size."
SHAPE_TEXT = "shape must be an int or a sequence of ints"
DATA = struct.pack("5d", 1.0, 2.0, 3.0, 4.0, 5.0)


class IndexLike:
    def __index__(self):
        return 3


def check_array(got, want):
    assert type(got) is cv.ndarray
    n = np.asarray(got)
    assert n.dtype == want.dtype and n.shape == want.shape and np.array_equal(n, want)


@pytest.mark.parametrize("shape, dtype", [
    ((2, 3), None), (4, "int64"), ((), bool), ([], None), (0, None), ((2, 0, 3), "int64"), ((1,) * 8, None),
    (True, "bool"), (np.int64(3), "f8"), ((np.int64(2), IndexLike()), None), (range(1, 4), float), ((2,), "=i8"),
], ids=repr)
def test_zero_filled(shape, dtype):
    want = np.zeros(1 if shape is True else shape, dtype=dtype)
    check_array(cv.ndarray(shape, dtype), want)
    check_array(cv.ndarray(shape=shape, dtype=dtype, order="F"), want)  # the order is ignored


@pytest.mark.parametrize("shape, buffer, offset, want", [
    ((2, 2), DATA, 0, [[1.0, 2.0], [3.0, 4.0]]), ((1,), DATA, np.int64(8), [2.0]), ((), DATA, 16, 3.0),
    ((0,), DATA, 0, np.zeros(0)), ((1,), bytearray(DATA), 32, [5.0]), ((2,), memoryview(DATA), 24, [4.0, 5.0]),
    ((2,), b"\x00" * 3 + DATA[:16], 3, [1.0, 2.0]),  # unaligned data is copied too
    ((1,), np.array([1], dtype=np.int64), 0, [5e-324]),  # the bytes are read as float64 whatever the format
])
def test_buffer_is_copied(shape, buffer, offset, want):
    check_array(cv.ndarray(shape, buffer=buffer, offset=offset), np.array(want, dtype=float))
    raw = bytearray(DATA)
    a = cv.ndarray((5,), buffer=raw)
    raw[0:8] = struct.pack("d", -1.0)
    assert np.asarray(a)[0] == 1.0 and not np.shares_memory(np.asarray(a), np.frombuffer(raw))


@pytest.mark.parametrize("shape, buffer, offset, text", [
    ((2,), bytes(12), 0, None), ((2,), bytes(16), 24, None), ((2,), [1.0, 2.0], 0, None),  # NumPy's errors
    (4, bytes(16), 0, "cannot reshape array of size 2 into shape with 4 elements"),
    ((3, 2), DATA, 8, "cannot reshape array of size 4 into shape with 6 elements"),
])
def test_buffer_errors(shape, buffer, offset, text):
    with pytest.raises(Exception) as got:
        cv.ndarray(shape, buffer=buffer, offset=offset)
    if text is None:
        with pytest.raises(Exception) as want:
            np.frombuffer(buffer, dtype="float64", offset=offset)
        assert type(got.value) is type(want.value) and str(got.value) == str(want.value)
    else:
        assert type(got.value) is ValueError and str(got.value) == text


@pytest.mark.parametrize("call, exc, text", [
    *[(lambda k=k: cv.ndarray((2,), **k), TypeError, UNSUPPORTED) for k in [
        {"dtype": "float32"}, {"dtype": "uint8"}, {"dtype": np.complex64}, {"dtype": object}, {"dtype": ">f8"},
        {"dtype": "uint64"}, {"strides": (8,)}, {"dtype": "int64", "buffer": bytes(16)}]],
    *[(lambda s=s: cv.ndarray(s, "int64"), exc, text) for s, exc, text in [
        (-1, OverflowError, None), ((2.5,), TypeError, None), ([-1], TypeError, SHAPE_TEXT), ("3", TypeError, SHAPE_TEXT),
        (None, TypeError, SHAPE_TEXT), ((1,) * 9, ValueError, "corvantile supports at most 8 dimensions natively, got 9"),
        ((2**32, 2**32), ValueError, TOO_BIG), ((2**63,), ValueError, TOO_BIG), ((2**64 - 1, 2**64 - 1, 0), ValueError, TOO_BIG),
        ((2**62, 2), ValueError, TOO_BIG)]],
    (lambda: cv.ndarray((2**61, 8), buffer=bytes(16)), ValueError, TOO_BIG),  # refused before reading
    (lambda: cv.ndarray((1,), buffer=bytes(16), offset=-1), OverflowError, None),
    (lambda: cv.ndarray(), TypeError, "ndarray.__new__() missing 1 required positional argument: 'shape'"),
    (lambda: cv.ndarray(1, None, None, 0, None, None, None), TypeError,
     "ndarray.__new__() takes from 1 to 6 positional arguments but 7 were given"),
    (lambda: cv.ndarray(1, foo=2), TypeError, "ndarray.__new__() got an unexpected keyword argument 'foo'"),
    (lambda: cv.ndarray(2, "no such"), TypeError, "data type 'no such' not understood"),  # NumPy's text
    # offset before dtype, dtype before strides, strides before shape, shape before kind, kind before buffer
    (lambda: cv.ndarray("x", "no such", offset=-1), OverflowError, None),
    (lambda: cv.ndarray("x", "no such", strides=(8,)), TypeError, "data type 'no such' not understood"),
    (lambda: cv.ndarray("x", strides=(8,)), TypeError, UNSUPPORTED),
    (lambda: cv.ndarray("x", "float32"), TypeError, SHAPE_TEXT),
    (lambda: cv.ndarray((1,) * 9, "float32"), TypeError, UNSUPPORTED),
    (lambda: cv.ndarray(2, "int32", buffer="not a buffer"), TypeError, UNSUPPORTED),
])
def test_refusals_and_their_order(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and (text is None or str(info.value) == text)


def test_offset_errors_name_the_argument_and_subclasses():
    for offset, buffer in [(None, None), (1.5, bytes(16)), ("8", bytes(16))]:
        with pytest.raises(TypeError) as info:
            cv.ndarray((1,), buffer=buffer, offset=offset)
        assert "while processing 'offset'" in info.value.__notes__

    class S(cv.ndarray):
        pass

    assert type(S((2,), dtype="int64")) is S
    t = S(3, buffer=DATA)
    assert type(t) is S and np.asarray(t).tolist() == [1.0, 2.0, 3.0]
