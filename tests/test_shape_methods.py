"""reshape, ravel, flatten, transpose, T and the shape setter: differential against NumPy and the
module's own messages (their views of the root: test_indexing)."""

import numpy as np
import pytest

from conftest import differential, native, sample, sample_array, writes_through

# (shape, call, native?)
CASES = {
    "reshape-args": ((2, 3), lambda a: a.reshape(3, 2), True),
    "reshape-list": ((6,), lambda a: a.reshape([2, 3]), True),
    "reshape-tuple-unknown": ((2, 3), lambda a: a.reshape((-1, 2)), True),
    "reshape-range": ((6,), lambda a: a.reshape(range(2, 4)), True),
    "reshape-unknown-mid": ((2, 3, 4), lambda a: a.reshape(4, -1, 2), True),
    "reshape-unit-unknown": ((2, 3), lambda a: a.reshape(1, -1), True),
    "reshape-numpy-ints": ((2, 3), lambda a: a.reshape(np.int64(3), np.int64(2)), True),
    "reshape-8d": ((2, 2, 2), lambda a: a.reshape(1, 2, 1, 2, 1, 2, 1, 1), True),
    "reshape-empty-unknown": ((0, 3), lambda a: a.reshape(5, -1), True),
    "reshape-0d": ((1, 1), lambda a: a.reshape(()), True),
    "reshape-two-unknown": ((2, 3), lambda a: a.reshape(-1, -1), True),
    "reshape-float-entry": ((2, 3), lambda a: a.reshape((2, 3.0)), True),
    "ravel-0d": ((), lambda a: a.ravel(), True), "ravel-k": ((2, 3), lambda a: a.ravel("k"), True),
    "ravel-order-a": ((2, 3), lambda a: a.ravel(order="A"), True),
    "flatten-0d": ((), lambda a: a.flatten("C"), True),
    "flatten-empty": ((2, 0), lambda a: a.flatten(), True),
    "transpose-none": ((2, 3, 4), lambda a: a.transpose(None), True), "T-0d": ((), lambda a: a.T, True),
    "T-empty": ((0, 3), lambda a: a.T, True), "T-reshape": ((2, 3), lambda a: a.T.reshape(-1), True),
    "T-ravel": ((2, 3), lambda a: a.T.ravel(), True),
    "reshape-order": ((2, 3), lambda a: a.reshape(3, 2, order="C"), False),
    "reshape-9": ((1,), lambda a: a.reshape(1, 1, 1, 1, 1, 1, 1, 1, 1), False),
    "reshape-long-str": ((6,), lambda a: a.reshape("abcdefghi"), None),
    "ravel-f": ((2, 3), lambda a: a.ravel("F"), False), "ravel-cc": ((2, 3), lambda a: a.ravel("CC"), None),
    "flatten-f": ((2, 3), lambda a: a.flatten("F"), False),
    "transpose-axes": ((2, 3), lambda a: a.transpose(1, 0), False),
}


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.bool_], ids=["f8", "i8", "b"])
@pytest.mark.parametrize("strided", [False, True], ids=["owned", "strided"])
def test_matches_numpy(name, dtype, strided):
    shape, call, is_native = CASES[name]
    if strided and not shape:
        pytest.skip("no strided 0-d view")
    differential(lambda xp: call(sample_array(xp, shape, dtype, strided)), native=is_native)


@pytest.mark.parametrize("shape,call,message", [
    ((6,), lambda a: a.reshape(-5, 2), (3, 2)), ((1,), lambda a: a.reshape(), ()),
    ((1,), lambda a: a.reshape(True), (1,)),
    ((6,), lambda a: a.reshape(2**70), "Python int too large to convert to C long"),
    # NumPy's own refusal of the keyword (its text depends on how the method is called).
    ((2, 3), lambda a: a.transpose(axes=None), "ndarray.transpose() takes no keyword arguments"),
    ((6,), lambda a: a.reshape(), "cannot reshape array of size 6 into shape with 1 elements"),
    ((6,), lambda a: a.reshape(4, -1), "cannot reshape array of size 6 into shape [4, -1]"),
    ((0,), lambda a: a.reshape(0, -1), "cannot reshape array of size 0 into shape [0, -1]"),
    ((6,), lambda a: a.reshape(4, 2), "cannot reshape array of size 6 into shape with 8 elements"),
    ((6,), lambda a: a.reshape(2.0), "'float' object is not an instance of 'Sequence'"),
    ((6,), lambda a: a.reshape(None), "'None' is not an instance of 'Sequence'"),
    ((6,), lambda a: a.reshape("ab"), "Can't extract `str` to `Vec`"),
    # Products beyond 64 bits are refused, not wrapped into a matching size.
    ((0,), lambda a: a.reshape(2**32, 2**32, 0, -1),
     "cannot reshape array of size 0 into shape [4294967296, 4294967296, 0, -1]"),
    ((1,), lambda a: a.reshape(2**32, 2**32, 1), "cannot reshape array of size 1 into shape [4294967296, 4294967296, 1]"),
    ((6,), lambda a: a.reshape(2**62, 4, -1), "cannot reshape array of size 6 into shape [4611686018427387904, 4, -1]"),
])
def test_reshape_own_forms(shape, call, message):
    a = native(sample(shape, np.float64))
    if isinstance(message, tuple):
        r = call(a)
        assert r.shape == message and r.base is a
        return
    with pytest.raises((ValueError, TypeError, OverflowError)) as info:
        call(a)
    assert str(info.value) == message


@pytest.mark.parametrize("shape,value,result", [
    ((6,), [2, 3], (2, 3)), ((2, 3), (-1,), (6,)), ((6,), np.int64(6), (6,)), ((1,), (), ()),
    ((6,), True, None), ((6,), (-1, -1), "cannot reshape array of size 6 into shape [-1, -1]"),
    ((6,), (), "cannot reshape array of size 6 into shape with 1 elements"),
    ((1,), (1,) * 9, "corvantile supports at most 8 dimensions natively, got 9"),
    ((6,), 2**70, "'int' object is not an instance of 'Sequence'"),
    ((6,), (2**32, 2**32, 2**32), "cannot reshape array of size 6 into shape [4294967296, 4294967296, 4294967296]"),
])
def test_shape_setter(shape, value, result):
    a = native(sample(shape, np.float64))
    assert a.shape == shape  # read first: a kept shape tuple must not outlive the change
    before = a[...]
    if isinstance(result, tuple):
        a.shape = value
        assert a.shape == result and a.shape is a.shape and before.shape == shape and writes_through(before, a)
        return
    with pytest.raises((ValueError, TypeError)) as info:
        a.shape = value
    assert a.shape == shape and (result is None or str(info.value) == result)
    with pytest.raises(AttributeError, match="^Incompatible shape for in-place modification. Use `.reshape"):
        native(sample((2, 3), np.float64)).T.shape = 6
