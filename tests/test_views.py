"""Views sharing memory with their base: _view_of over NumPy views, and strided views kept in
step through their shadow."""

import copy

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, differential, native, sample


def as_strided(b, shape, strides, offset=0):
    return np.lib.stride_tricks.as_strided(b[offset:], shape=shape, strides=strides)


# (base shape, NumPy view of the base)
VIEWS = {
    "step": ((10,), lambda b: b[1::3]), "reversed-step": ((10,), lambda b: b[8:0:-3]),
    "row": ((3, 4), lambda b: b[1]), "column": ((3, 4), lambda b: b[:, 2]),
    "reversed-2d": ((3, 4), lambda b: b[::-1, ::-1]), "sub-block": ((4, 5), lambda b: b[1:3, 1:4]),
    "length-1-axis": ((3, 4), lambda b: b[:, 1:2]), "0d": ((6,), lambda b: b[4, ...]),
    "3d-transpose": ((2, 3, 4), lambda b: b.transpose(2, 0, 1)[::-1]),
    "8d": ((2,) * 8, lambda b: b[..., ::-1]),
    "zero-stride-2d": ((2, 3), lambda b: as_strided(b, (2, 4, 3), (b.strides[0], 0, b.strides[1]))),
}


@pytest.mark.parametrize("name", list(VIEWS))
@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.bool_], ids=["f8", "i8", "b"])
def test_view_follows_its_base(name, dtype):
    shape, fn = VIEWS[name]
    base = native(sample(shape, dtype))
    n = fn(np.asarray(base))
    v = cv._view_of(base, n)
    assert type(v) is cv.ndarray and v.base is base
    assert (v.shape, v.strides, v.dtype, v.size, v.nbytes) == (n.shape, n.strides, n.dtype, n.size, n.nbytes)
    assert np.shares_memory(np.asarray(v), np.asarray(base)) and repr(v) == repr(n)
    # Native reads go through the shadow; the first one fills it, later ones see base changes.
    unary = (lambda x: ~x) if dtype is np.bool_ else (lambda x: -x)
    assert_same_array(unary(v), unary(n))
    b = np.asarray(base)
    b[...] = ~b if b.dtype == bool else b * 2 + 1
    assert_same_array(unary(v), unary(n))
    at = (-1,) * v.ndim  # item writes land in the base
    v[at] = (not n[at]) if dtype is np.bool_ else -99
    assert_same_array(copy.copy(v), n.copy())


def test_view_of_a_view_uses_the_root_and_keeps_it_alive():
    base = native(np.arange(12.0))
    v = cv._view_of(base, np.asarray(base)[::-2])
    w = cv._view_of(v, np.asarray(base)[3:9])
    assert w.base is base and v.base is base and w.strides == (8,)
    # A contiguous view reads the base memory itself, with no shadow.
    np.asarray(base)[4] = 42.0
    assert float(w[1]) == 42.0
    assert cv._view_of(base, memoryview(base)[::-2]).strides == (-16,)
    del base
    assert_same_array(copy.copy(v), np.array([11.0, 9, 7, 5, 3, 1]))


REFUSALS = [
    lambda b: (lambda v: (setattr(v.flags, "writeable", False), v)[1])(b[::2]),  # read-only
    lambda b: b.view(np.int64), lambda b: b[3:3], lambda b: b.reshape(2, 4)[:, 4:], lambda b: np.zeros(8),
    lambda b: as_strided(b, (9,), (8,)), lambda b: as_strided(b[::-1], (9,), (-8,)),
    lambda b: b.view(np.uint8)[4:20].view(np.float64), lambda b: as_strided(b, (3,), (12,)),
    lambda b: b[:1].reshape((1,) * 9), lambda b: as_strided(b, (5,), (2**61,)),
    lambda b: as_strided(b, (5,), (-(2**61),)), lambda b: as_strided(b, (2, 2), (2**62, 2**62)),
    lambda b: bytearray(b.tobytes()), lambda b: None, lambda b: memoryview(bytearray(64)).cast("d"),
]


@pytest.mark.parametrize("fn", REFUSALS)
def test_refusals_give_none(fn):
    base = native(sample((8,), np.float64))
    assert cv._view_of(base, fn(np.asarray(base))) is None
    flags = native(sample((8,), np.bool_))
    assert cv._view_of(flags, np.asarray(flags).view(np.uint8)) is None


def test_view_of_arguments():
    with pytest.raises(TypeError) as e:
        cv._view_of(np.zeros(3), np.zeros(3))
    assert str(e.value) == "'ndarray' object is not an instance of 'ndarray'"  # NumPy's, by its type name
    assert e.value.__notes__ == ["while processing 'source'"]
    with pytest.raises(TypeError):
        cv._view_of(source=native([1.0]), numpy_view=None, other=1)
    assert cv._view_of(numpy_view=None, source=native([1.0])) is None


# Each is the first native read of a fresh strided view: every reader must fill its shadow.
FIRST_READS = {
    "neg": lambda xp, v: -v, "add": lambda xp, v: v + 1.0, "radd": lambda xp, v: 1.0 + v, "eq": lambda xp, v: v == v,
    "lt-array": lambda xp, v: xp.asarray([0.0] * v.shape[-1]) < v, "iadd": lambda xp, v: v.__iadd__(1.0),
    "sum": lambda xp, v: v.sum(), "mean": lambda xp, v: v.mean(), "max": lambda xp, v: v.max(),
    "argmax": lambda xp, v: v.argmax(), "cumsum": lambda xp, v: v.cumsum(), "any": lambda xp, v: v.any(),
    "copy": lambda xp, v: v.copy(), "astype": lambda xp, v: v.astype(np.int64), "round": lambda xp, v: v.round(),
    "clip": lambda xp, v: v.clip(0.0, 5.0), "reshape": lambda xp, v: v.reshape(-1), "ravel": lambda xp, v: v.ravel(),
    "flatten": lambda xp, v: v.flatten(), "nonzero": lambda xp, v: v.nonzero(), "list": lambda xp, v: list(v),
    "take": lambda xp, v: v[[0, 1]], "sin": lambda xp, v: xp.sin(v), "maximum": lambda xp, v: xp.maximum(v, 2.0),
    "isnan": lambda xp, v: xp.isnan(v), "concatenate": lambda xp, v: xp.concatenate([v, v]),
    "sort": lambda xp, v: xp.sort(v), "sum-fn": lambda xp, v: xp.sum(v), "export": lambda xp, v: np.asarray(v),
    "fill": lambda xp, v: (v.fill(2.0), v)[1], "dot": lambda xp, v: v.dot(v[0]) if v.ndim == 1 else v.dot(v.T),
    "abs": lambda xp, v: xp.abs(v), "argsort": lambda xp, v: v.argsort(), "isclose": lambda xp, v: xp.isclose(v, 2.0),
}


@pytest.mark.parametrize("make", [lambda xp: xp.asarray(np.arange(6.0))[::-1],
                                  lambda xp: xp.asarray(np.arange(6.0)).reshape(2, 3).T], ids=["reversed", "T"])
@pytest.mark.parametrize("name", list(FIRST_READS))
def test_first_read_of_a_strided_view(make, name):
    differential(lambda xp: FIRST_READS[name](xp, make(xp)))


# A slice step far beyond the axis leaves a length-1 axis with a huge (wrapped) stride; the
# view must still read, write back and report NumPy's strides.
@pytest.mark.parametrize("key", [(slice(1, 2, 2**63 - 1), slice(None, None, 2)), (slice(None, None, 2),
                                 slice(1, 2, 2**60 - 1)), (slice(None, None, -(2**62)), slice(None, None, -2))])
def test_huge_slice_steps(key):
    source = np.arange(12.0).reshape(3, 4)
    base = native(source)
    view = base[key]
    want = source.copy()[key]
    assert view.shape == want.shape and view.strides == want.strides
    assert_same_array(view.copy(), want)
    view.fill(-1.0)
    expected = source.copy()
    expected[key] = -1.0
    assert_same_array(base, expected)


# A view's shadow lives in its own object up to 128 bytes and on the heap above: views on
# both sides of that size (and of the size from which copies read the base in place) read,
# copy, write back and follow later writes to the base.
@pytest.mark.parametrize("dtype,length", [(np.float64, n) for n in (1, 15, 16, 17, 40)] +
                         [(np.int64, 16), (np.int64, 17), (np.bool_, 128), (np.bool_, 129)])
def test_views_around_the_shadow_size(dtype, length):
    def run(xp):
        base = xp.asarray(sample((2 * length + 1,), dtype))
        v = base[::-2]
        first = (v.copy(), v.sum(), ~v if dtype is np.bool_ else v * 3)
        base[...] = sample((2 * length + 1,), dtype)[::-1]
        if dtype is not np.bool_:
            v += 1
        return first, v.copy(), v.sum(), base
    differential(run)
