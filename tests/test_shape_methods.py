"""reshape, ravel, flatten, transpose, T and the shape setter: differential against NumPy,
memory sharing of the views, copies of strided views, and the module's own messages."""

import numpy as np
import pytest

from conftest import differential, native, sample, sample_array

DTYPES = [np.float64, np.int64, np.bool_]


# (shape, call); the first group is native, the second goes to NumPy.
NATIVE = {
    "reshape-args": ((2, 3), lambda a: a.reshape(3, 2)),
    "reshape-tuple": ((6,), lambda a: a.reshape((2, 3))),
    "reshape-list": ((6,), lambda a: a.reshape([2, 3])),
    "reshape-minus-one": ((2, 3), lambda a: a.reshape(-1)),
    "reshape-unknown-mid": ((2, 3, 4), lambda a: a.reshape(4, -1, 2)),
    "reshape-numpy-ints": ((2, 3), lambda a: a.reshape(np.int64(3), np.int64(2))),
    "reshape-8d": ((2, 2, 2), lambda a: a.reshape(1, 2, 1, 2, 1, 2, 1, 1)),
    "reshape-empty": ((0,), lambda a: a.reshape(0, 5)),
    "reshape-empty-unknown": ((0, 3), lambda a: a.reshape(5, -1)),
    "reshape-0d": ((1, 1), lambda a: a.reshape(())),
    "reshape-one-unknown": ((2, 3), lambda a: a.reshape(-1, -1)),
    "reshape-float-entry": ((2, 3), lambda a: a.reshape((2, 3.0))),
    "ravel": ((2, 3), lambda a: a.ravel()),
    "ravel-0d": ((), lambda a: a.ravel()),
    "ravel-k": ((2, 3), lambda a: a.ravel("k")),
    "ravel-order-a": ((2, 3), lambda a: a.ravel(order="A")),
    "flatten": ((2, 3), lambda a: a.flatten()),
    "flatten-0d": ((), lambda a: a.flatten("C")),
    "flatten-empty": ((2, 0), lambda a: a.flatten()),
    "transpose": ((2, 3), lambda a: a.transpose()),
    "transpose-none": ((2, 3, 4), lambda a: a.transpose(None)),
    "T": ((2, 3), lambda a: a.T),
    "T-0d": ((), lambda a: a.T),
    "T-row": ((1, 5), lambda a: a.T),
    "T-empty": ((0, 3), lambda a: a.T),
    "T-T": ((2, 3), lambda a: a.T.T),
    "T-reshape": ((2, 3), lambda a: a.T.reshape(-1)),
    "T-ravel": ((2, 3), lambda a: a.T.ravel()),
}
FORWARDED = {
    "reshape-order": ((2, 3), lambda a: a.reshape(3, 2, order="C")),
    "reshape-9": ((1,), lambda a: a.reshape(1, 1, 1, 1, 1, 1, 1, 1, 1)),
    "reshape-long-str": ((6,), lambda a: a.reshape("abcdefghi")),
    "ravel-f": ((2, 3), lambda a: a.ravel("F")),
    "ravel-none": ((2, 3), lambda a: a.ravel(order=None)),
    "ravel-cc": ((2, 3), lambda a: a.ravel("CC")),
    "ravel-two": ((2, 3), lambda a: a.ravel("C", order="C")),
    "flatten-f": ((2, 3), lambda a: a.flatten("F")),
    "transpose-axes": ((2, 3), lambda a: a.transpose(1, 0)),
    "transpose-tuple": ((2, 3), lambda a: a.transpose((1, 0))),
}


@pytest.mark.parametrize("name", list(NATIVE) + list(FORWARDED))
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("strided", [False, True], ids=["owned", "strided"])
def test_matches_numpy(name, dtype, strided):
    shape, call = NATIVE.get(name) or FORWARDED[name]
    if strided and not shape:
        pytest.skip("no strided 0-d view")
    got = differential(lambda xp: call(sample_array(xp, shape, dtype, strided)))
    if name in NATIVE:
        assert type(got) is not np.ndarray, "answered by NumPy"


def writes_through(result, root):
    before = np.asarray(root).copy()
    np.asarray(result)[...] = 1
    return not np.array_equal(np.asarray(root), before)


@pytest.mark.parametrize("call,view", [
    (lambda a: a.reshape(3, 2), True), (lambda a: a.ravel(), True), (lambda a: a.T, True),
    (lambda a: a.transpose(), True), (lambda a: a.flatten(), False),
])
def test_views_share_memory_with_the_root(call, view):
    a = native(sample((2, 3), np.float64))
    r = call(a)
    assert (r.base is a) == view and writes_through(r, a) == view
    assert (call(a[:]).base is a) == view  # a view of a view refers to the root


@pytest.mark.parametrize("call", [lambda v: v.reshape(-1), lambda v: v.ravel(), lambda v: v.flatten()])
def test_strided_views_give_current_copies(call):
    a = native(sample((2, 3), np.float64))
    np.asarray(a)[0, 1] = 50.0
    r = call(a.T)
    assert r.base is None and r[2] == 50.0
    np.asarray(a)[...] = 0
    assert r[2] == 50.0


def test_empty_transpose_has_no_base():
    assert native(sample((0,), np.float64)).T.base is None
    assert native(sample((4,), np.float64)).T.base is not None


@pytest.mark.parametrize("shape,call,exc,message", [
    ((6,), lambda a: a.reshape(-5, 2), None, (3, 2)),
    ((1,), lambda a: a.reshape(), None, ()),
    ((1,), lambda a: a.reshape(True), None, (1,)),
    ((6,), lambda a: a.reshape(2**70), OverflowError, "Python int too large to convert to C long"),
    # NumPy's own refusal of the keyword (its text depends on how the method is called).
    ((2, 3), lambda a: a.transpose(axes=None), TypeError, "ndarray.transpose() takes no keyword arguments"),
    ((6,), lambda a: a.reshape(), ValueError, "cannot reshape array of size 6 into shape with 1 elements"),
    ((6,), lambda a: a.reshape(4, -1), ValueError, "cannot reshape array of size 6 into shape [4, -1]"),
    ((0,), lambda a: a.reshape(0, -1), ValueError, "cannot reshape array of size 0 into shape [0, -1]"),
    ((6,), lambda a: a.reshape(4, 2), ValueError, "cannot reshape array of size 6 into shape with 8 elements"),
    ((6,), lambda a: a.reshape(2.0), TypeError, "'float' object is not an instance of 'Sequence'"),
    ((6,), lambda a: a.reshape(None), TypeError, "'None' is not an instance of 'Sequence'"),
    ((6,), lambda a: a.reshape("ab"), TypeError, "Can't extract `str` to `Vec`"),
    # Products beyond 64 bits are refused, not wrapped into a matching size.
    ((0,), lambda a: a.reshape(2**32, 2**32, 0, -1), ValueError,
     "cannot reshape array of size 0 into shape [4294967296, 4294967296, 0, -1]"),
    ((1,), lambda a: a.reshape(2**32, 2**32, 1), ValueError,
     "cannot reshape array of size 1 into shape [4294967296, 4294967296, 1]"),
    ((6,), lambda a: a.reshape(2**62, 4, -1), ValueError,
     "cannot reshape array of size 6 into shape [4611686018427387904, 4, -1]"),
])
def test_reshape_own_forms(shape, call, exc, message):
    a = native(sample(shape, np.float64))
    if exc is None:
        r = call(a)
        assert r.shape == message and r.base is a
        return
    with pytest.raises(exc) as info:
        call(a)
    assert str(info.value) == message


@pytest.mark.parametrize("shape,value,result", [
    ((6,), 6, (6,)), ((6,), [2, 3], (2, 3)), ((2, 3), (-1,), (6,)), ((6,), np.int64(6), (6,)),
    ((1,), (), ()), ((1,), (1,) * 8, (1,) * 8), ((6,), True, None),
    ((6,), (-1, -1), "cannot reshape array of size 6 into shape [-1, -1]"),
    ((6,), (4, -1), "cannot reshape array of size 6 into shape [4, -1]"),
    ((6,), (), "cannot reshape array of size 6 into shape with 1 elements"),
    ((1,), (1,) * 9, "corvantile supports at most 8 dimensions natively, got 9"),
    ((6,), 2.5, "'float' object is not an instance of 'Sequence'"),
    ((6,), 2**70, "'int' object is not an instance of 'Sequence'"),
    ((6,), (2**32, 2**32, 2**32), "cannot reshape array of size 6 into shape [4294967296, 4294967296, 4294967296]"),
])
def test_shape_setter(shape, value, result):
    a = native(sample(shape, np.float64))
    assert a.shape == shape  # read first: a kept shape tuple must not outlive the change
    before = a[...]
    if isinstance(result, tuple):
        a.shape = value
        assert a.shape == result and before.shape == shape and writes_through(before, a)
        return
    with pytest.raises((ValueError, TypeError)) as info:
        a.shape = value
    assert a.shape == shape
    if result is not None:
        assert str(info.value) == result


def test_shape_setter_refusals():
    a = native(sample((2, 3), np.float64))
    with pytest.raises(AttributeError, match="^Incompatible shape for in-place modification. Use `.reshape"):
        a.T.shape = 6
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del a.shape
    assert type(a).shape.__doc__.startswith("`a.shape = new_shape` reshapes in place")
