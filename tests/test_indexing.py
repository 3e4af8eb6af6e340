"""a[key]: differential against NumPy for every native key form, on owned arrays and on
strided views; views (of selections and shape methods) share memory with their root; the few
deliberate message differences."""

import sys

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_outcome, differential, native, run, sample, sample_array, writes_through

DTYPES = [np.float64, np.int64, np.bool_]


# (shape, key as a function of xp) -- keys that are native.
KEYS = {
    "int": ((5,), lambda xp: 3), "negative": ((3, 4), lambda xp: -1), "out-of-bounds": ((3, 4), lambda xp: 3),
    "negative-out": ((5,), lambda xp: -6), "tuple-full": ((3, 4), lambda xp: (1, 2)),
    "tuple-negative": ((3, 4), lambda xp: (-1, -4)), "tuple-partial": ((2, 3, 4), lambda xp: (1, 2)),
    "tuple-out": ((3, 4), lambda xp: (1, 4)), "tuple-too-many": ((3, 4), lambda xp: (0, 0, 0)),
    "empty-tuple": ((3, 4), lambda xp: ()), "empty-tuple-0d": ((), lambda xp: ()),
    "ellipsis-0d": ((), lambda xp: ...), "none-0d": ((), lambda xp: None), "int-0d": ((), lambda xp: 0),
    "slice": ((3, 4), lambda xp: slice(1, 3)), "step": ((3, 4), lambda xp: slice(None, None, 2)),
    "reverse": ((6,), lambda xp: slice(None, None, -1)), "empty-slice": ((6,), lambda xp: slice(0, 0)),
    "slice-clipped": ((6,), lambda xp: slice(-100, 100, 3)), "column": ((3, 4), lambda xp: (slice(None), 1)),
    "reverse-stop": ((6,), lambda xp: slice(4, 0, -2)), "reverse-rows": ((3, 4), lambda xp: slice(None, None, -1)),
    "one-row-back": ((3, 4), lambda xp: slice(2, 0, -5)), "zero-step": ((6,), lambda xp: slice(None, None, 0)),
    "huge-bounds": ((6,), lambda xp: slice(-2**70, 2**70, 2)), "float-bound": ((6,), lambda xp: slice(1.5, None)),
    "tuple-float-bound": ((3, 4), lambda xp: (0, slice(None, "2"))),
    "block": ((4, 5), lambda xp: (slice(1, 3), slice(1, 4))),
    "rows-whole": ((4, 5), lambda xp: (slice(1, 3), slice(None))),
    "unit-then-slice": ((4, 5), lambda xp: (slice(2, 3), slice(1, 4))),
    "int-none": ((3, 4), lambda xp: (1, None)),
    "none-slice-none": ((3, 4), lambda xp: (None, slice(None), None)),
    "none-late": ((3, 4), lambda xp: (slice(None), slice(None), None, None)),
    "none": ((3, 4), lambda xp: None), "ellipsis": ((3, 4), lambda xp: ...),
    "none-to-8d": ((2, 1, 2, 1, 2, 1, 2), lambda xp: (slice(None), None)),
    "whole-empty-axis": ((2, 0), lambda xp: slice(None)), "ellipsis-empty-axis": ((2, 0), lambda xp: ...),
    "int-empty-axis": ((2, 0), lambda xp: 0), "list": ((3, 4), lambda xp: [2, 0, -1, 0]),
    "list-empty": ((3, 4), lambda xp: []), "list-empty-1d": ((5,), lambda xp: []),
    "list-out": ((5,), lambda xp: [1, 5]), "list-0d": ((), lambda xp: [0]),
    "int64-array": ((5, 2), lambda xp: xp.asarray(np.array([4, -1, 0]))),
    "int64-array-out": ((5,), lambda xp: xp.asarray(np.array([0, -6]))),
    "mask": ((3, 4), lambda xp: xp.asarray(sample((3, 4), np.int64) % 2 == 0)),
    "numpy-mask": ((5,), lambda xp: np.array([True, False, True, True, False])),
    "numpy-int": ((5,), lambda xp: np.int64(-2)), "numpy-int-2d": ((3, 4), lambda xp: np.int64(1)),
    "0d-int-array": ((5,), lambda xp: xp.asarray(np.array(2))),
    "0d-int-array-2d": ((3, 4), lambda xp: xp.asarray(np.array(-1))),
    # a slice, then integers past the last axis: the plan's count of indices
    "slice-then-int": ((5,), lambda xp: (slice(None), 1)), "slice-then-ints": ((3, 4), lambda xp: (slice(None), 0, 1)),
    "none-slice-int-int": ((3,), lambda xp: (None, slice(1, 2), 0, -1)),
}

# Keys that go to NumPy unchanged.
FALLBACK_KEYS = {
    "int-ellipsis": ((3, 4), lambda xp: (0, Ellipsis)), "float": ((5,), lambda xp: 1.5),
    "str": ((5,), lambda xp: "x"), "nested-list": ((5,), lambda xp: [0, [1]]),
    "float-list": ((5,), lambda xp: [1.0]),
    "2d-int-array": ((5,), lambda xp: xp.asarray(np.array([[0, 1], [2, 3]]))),
    "wrong-mask": ((3, 4), lambda xp: xp.asarray(np.array([True, False, True]))),
    "float-array": ((5,), lambda xp: xp.asarray(np.array([1.0]))), "true": ((3, 4), lambda xp: True),
    "false": ((3, 4), lambda xp: False), "numpy-true": ((3, 4), lambda xp: np.True_),
    "bool-list": ((3,), lambda xp: [True, False, True]), "int-bool-list": ((3, 4), lambda xp: [0, True]),
    "tuple-int-bool": ((3, 4), lambda xp: (True, -1)),
    "tuple-slice-false": ((3, 4), lambda xp: (slice(None), False)),
    "tuple-numpy-bool": ((3, 4), lambda xp: (1, np.False_)),
    "1x1-int-array": ((2, 3), lambda xp: xp.asarray(np.array([[1]]))),
    "1-int-array-2d": ((2, 3), lambda xp: xp.asarray(np.array([1]))),
}


@pytest.mark.parametrize("name", list(KEYS) + list(FALLBACK_KEYS))
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("strided", [False, True], ids=["owned", "strided"])
def test_getitem_matches_numpy(name, dtype, strided):
    shape, key = KEYS.get(name) or FALLBACK_KEYS[name]
    if strided and not shape:
        pytest.skip("no strided 0-d view")
    differential(lambda xp: sample_array(xp, shape, dtype, strided)[key(xp)], native=name in KEYS or None)


@pytest.mark.parametrize("call, view", [
    *[(lambda a, k=k: a[k], True) for k in (1, (slice(1, 3),), (slice(None), 1), slice(None, None, 2), (1, None), ...,
                                            (None, slice(None), None))],
    (lambda a: a.reshape(6, 2), True), (lambda a: a.ravel(), True), (lambda a: a.T, True),
    (lambda a: a.transpose(), True), (lambda a: a.flatten(), False),
])
def test_selections_and_shape_methods_view_the_root(call, view):
    a = native(sample((3, 4), np.float64))
    r = call(a)
    assert r.shape == call(sample((3, 4), np.float64)).shape
    assert (r.base is a) == view and writes_through(r, a) == view
    assert (call(a[:]).base is a) == view  # a view of a view refers to the root


def test_copies_and_empty_selections_have_no_base():
    a = native(sample((3, 4), np.float64))
    for key in ([0, 1], native(np.array([1])), a > 2.0, slice(0, 0)):
        assert a[key].base is None
    assert native(sample((2, 0), np.float64))[:].base is None
    assert native(sample((2, 0), np.float64))[0].base is not None  # zero-size view


@pytest.mark.parametrize("make_array,key,exc,message", [
    (lambda: native(np.array(1.0)), slice(None), IndexError,
     "too many indices for array: array is 0-dimensional"),
    (lambda: native(sample((3, 4), np.float64)), (0, 0, slice(None)), IndexError, "too many indices for array"),
    (lambda: native(sample((5,), np.float64)), (slice(None), 0, slice(None)), IndexError, "too many indices for array"),
    (lambda: native(sample((1,) * 8, np.float64)), None, ValueError,
     "corvantile supports at most 8 dimensions natively, got 9"),
    (lambda: native(sample((2,) * 8, np.float64)), (slice(None, None, 2), None), ValueError,
     "corvantile supports at most 8 dimensions natively, got 9"),
    (lambda: native(sample((4,) + (2,) * 7, np.float64))[::2], None, ValueError,
     "at most 8 dimensions are supported"),
    (lambda: native(sample((5,), np.float64)), 2**70, OverflowError, None),
    (lambda: native(sample((5,), np.float64)), slice(None, None, 0), ValueError, "slice step cannot be zero"),
])
def test_own_errors(make_array, key, exc, message):
    a = make_array()
    with pytest.raises(exc) as info:
        a[key]
    if message is not None:
        assert str(info.value) == message


# Slice bounds and keys whose __index__ reshapes the array while the key is read: every
# item is read first, then the key applies to the array as it then stands.
@pytest.mark.parametrize("key", [
    lambda I: slice(I(1), 3), lambda I: slice(None, None, I(1)), lambda I: slice(None, None, I(5)),
    lambda I: slice(I(5), None, 2), lambda I: (0, slice(I(1), 3)), lambda I: (slice(None), slice(I(5), None)),
    lambda I: (slice(None, I(1)), None, -1), lambda I: I(1), lambda I: I(2),
])
def test_key_reshaping_the_array_while_read(key):
    a = cv.arange(12.0)

    class I:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            a.shape = (2, 6)
            return self.v

    def plain(k):
        if isinstance(k, tuple):
            return tuple(plain(x) for x in k)
        if isinstance(k, slice):
            return slice(plain(k.start), plain(k.stop), plain(k.step))
        return k.v if isinstance(k, I) else k

    assert_same_outcome(run(lambda _: a[key(I)], None), run(lambda _: np.arange(12.0).reshape(2, 6)[plain(key(I))], None))
    before = sys.getrefcount(a), sys.getrefcount(I)
    for _ in range(50):
        a.shape = (12,)
        run(lambda _: a[key(I)], None)
    assert (sys.getrefcount(a), sys.getrefcount(I)) == before
