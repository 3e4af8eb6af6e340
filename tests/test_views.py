"""Views sharing memory with their base: _view_of over NumPy views, strided views kept in
step through their shadow (their export is tested with the other exports), and the layouts
behind basic selection (through the test probe, whose ndarray type is built from the same code)."""

import copy

import numpy as np
import pytest

import corvantile as cv
import _probe
from conftest import assert_same_array, differential, native

p = _probe.load()

DTYPES = [np.float64, np.int64, np.bool_]


def data(shape, dtype):
    values = np.arange(int(np.prod(shape)), dtype=np.int64).reshape(shape)
    if dtype is np.bool_:
        return values % 3 == 1
    if dtype is np.int64:
        return values * 3 - 7
    return (values * 3 - 7) / 2.0


def as_strided(b, shape, strides, offset=0):
    return np.lib.stride_tricks.as_strided(b[offset:], shape=shape, strides=strides)


# ---- _view_of over NumPy views ----------------------------------------------------------

# (base shape, NumPy view of the base as a function of the base)
VIEWS = {
    "slice": ((10,), lambda b: b[2:7]),
    "step": ((10,), lambda b: b[1::3]),
    "reversed": ((10,), lambda b: b[::-1]),
    "reversed-step": ((10,), lambda b: b[8:0:-3]),
    "row": ((3, 4), lambda b: b[1]),
    "column": ((3, 4), lambda b: b[:, 2]),
    "transpose": ((3, 4), lambda b: b.T),
    "reversed-2d": ((3, 4), lambda b: b[::-1, ::-1]),
    "inner-reversed": ((3, 4), lambda b: b[:, ::-1]),
    "sub-block": ((4, 5), lambda b: b[1:3, 1:4]),
    "length-1-axis": ((3, 4), lambda b: b[:, 1:2]),
    "0d": ((6,), lambda b: b[4, ...]),
    "whole": ((2, 3), lambda b: b),
    "3d-transpose": ((2, 3, 4), lambda b: b.transpose(2, 0, 1)[::-1]),
    "8d": ((2,) * 8, lambda b: b[..., ::-1]),
    "zero-stride": ((5,), lambda b: as_strided(b, (4,), (0,), 2)),
    "zero-stride-2d": ((2, 3), lambda b: as_strided(b, (2, 4, 3), (b.strides[0], 0, b.strides[1]))),
}


@pytest.mark.parametrize("name", list(VIEWS))
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_view_follows_its_base(name, dtype):
    shape, fn = VIEWS[name]
    base = native(data(shape, dtype))
    n = fn(np.asarray(base))
    v = cv._view_of(base, n)
    assert type(v) is cv.ndarray and v.base is base
    assert (v.shape, v.strides, v.dtype, v.ndim, v.size, v.nbytes) == (n.shape, n.strides, n.dtype, n.ndim, n.size,
                                                                       n.nbytes)
    assert_same_array(np.asarray(v), n)
    assert np.shares_memory(np.asarray(v), np.asarray(base))
    # Native reads go through the shadow; the first one fills it, later ones see base changes.
    unary = (lambda x: ~x) if dtype is np.bool_ else (lambda x: -x)
    assert_same_array(unary(v), unary(n))
    b = np.asarray(base)
    b[...] = ~b if b.dtype == bool else b * 2 + 1
    assert_same_array(copy.copy(v), n.copy())
    assert_same_array(unary(v), unary(n))
    assert repr(v) == repr(n)
    # Item writes land in the base.
    at = (-1,) * v.ndim
    value = (not n[at]) if dtype is np.bool_ else -99
    v[at] = value
    assert n[at] == value
    assert_same_array(copy.copy(v), n.copy())


def test_view_of_a_view_uses_the_root():
    base = native(np.arange(12.0))
    v = cv._view_of(base, np.asarray(base)[::-2])
    w = cv._view_of(v, np.asarray(base)[3:9])
    assert w.base is base and v.base is base and base.base is None
    assert w.strides == (8,)  # the layout of the NumPy view over the root's memory
    w[0] = -1.0
    assert np.asarray(base)[3] == -1.0
    # A contiguous view reads the base memory itself, with no shadow.
    assert np.asarray(w).__array_interface__["data"][0] == np.asarray(base)[3:].__array_interface__["data"][0]
    np.asarray(base)[4] = 42.0
    assert float(w[1]) == 42.0


def test_memoryview_of_a_view_is_accepted():
    base = native(np.arange(8.0))
    v = cv._view_of(base, memoryview(base)[::-2])
    assert v.strides == (-16,)
    assert_same_array(copy.copy(v), np.arange(8.0)[::-2])


def test_view_keeps_the_root_alive():
    base = native(np.arange(6.0))
    v = cv._view_of(base, np.asarray(base)[::-1])
    w = cv._view_of(base, np.asarray(base)[2:])
    del base
    assert_same_array(copy.copy(v), np.arange(6.0)[::-1])
    assert_same_array(np.asarray(w), np.arange(2.0, 6.0))


# ---- refusals ---------------------------------------------------------------------------


def readonly(b):
    v = b[::2]
    v.flags.writeable = False
    return v


REFUSALS = {
    "readonly": (np.float64, readonly),
    "other-dtype": (np.float64, lambda b: b.view(np.int64)),
    "int-as-float": (np.int64, lambda b: b.view(np.float64)),
    "bool-as-uint8": (np.bool_, lambda b: b.view(np.uint8)),
    "empty": (np.float64, lambda b: b[3:3]),
    "empty-2d": (np.float64, lambda b: b.reshape(2, 4)[:, 4:]),
    "elsewhere": (np.float64, lambda b: np.zeros(8)),
    "past-the-end": (np.float64, lambda b: as_strided(b, (9,), (8,))),
    "before-the-start": (np.float64, lambda b: as_strided(b[::-1], (9,), (-8,))),
    "misaligned": (np.float64, lambda b: b.view(np.uint8)[4:20].view(np.float64)),
    "odd-stride": (np.float64, lambda b: as_strided(b, (3,), (12,))),
    "nine-dims": (np.float64, lambda b: b[:1].reshape((1,) * 9)),
    "stride-overflow": (np.float64, lambda b: as_strided(b, (5,), (2**61,))),
    "negative-stride-overflow": (np.float64, lambda b: as_strided(b, (5,), (-(2**61),))),
    "stride-sum-overflow": (np.float64, lambda b: as_strided(b, (2, 2), (2**62, 2**62))),
    "bytearray": (np.float64, lambda b: bytearray(b.tobytes())),
    "none": (np.float64, lambda b: None),
    "memoryview-of-bytes": (np.float64, lambda b: memoryview(bytearray(64)).cast("d")),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_refusals_give_none(case):
    dtype, fn = REFUSALS[case]
    base = native(data((8,), dtype))
    assert cv._view_of(base, fn(np.asarray(base))) is None


def test_view_of_arguments():
    with pytest.raises(TypeError) as e:
        cv._view_of(np.zeros(3), np.zeros(3))
    assert str(e.value) == "'ndarray' object is not an instance of 'ndarray'"  # NumPy's, by its type name
    assert e.value.__notes__ == ["while processing 'source'"]
    with pytest.raises(TypeError) as e:
        cv._view_of(5, np.zeros(3))
    assert str(e.value) == "'int' object is not an instance of 'ndarray'"
    with pytest.raises(TypeError):
        cv._view_of(native([1.0]))
    with pytest.raises(TypeError):
        cv._view_of(source=native([1.0]), numpy_view=None, other=1)
    assert cv._view_of(numpy_view=None, source=native([1.0])) is None


# ---- layouts, shadows and commits (probe arrays) ----------------------------------------


def probe_array(x):
    return p.native_copy(np.ascontiguousarray(x))


SELECTIONS = {
    "int": (2,),
    "negative-int": (-1,),
    "slice": (slice(1, 4),),
    "reversed": (slice(None, None, -1),),
    "step": (slice(0, None, 2),),
    "int-then-slice": (1, slice(None, None, -2)),
    "slice-then-int": (slice(None, None, -1), 2),
    "both-ints": (1, 3),
    "empty-slice": (slice(2, 2),),
    "empty-reversed": (slice(None, None, -1), slice(3, 1)),
    "outer-step": (slice(0, None, 2), slice(1, 3)),
}


@pytest.mark.parametrize("name", list(SELECTIONS))
@pytest.mark.parametrize("shape", [(5, 4), (4, 5, 2)])
def test_selection_layouts(name, shape):
    key = SELECTIONS[name]
    source = data(shape, np.float64)
    a = probe_array(source)
    v = p.select_view(a, key)
    want = source[key]
    assert v.shape == want.shape
    assert_same_array(copy.copy(v), np.asarray(want))
    if want.size == 0:
        assert v.base is None  # a new empty array, not a view
    else:
        assert v.base is a
        if want.flags.c_contiguous:
            assert v.strides == tuple(np.empty(want.shape).strides) or want.ndim == 0
        else:
            assert v.strides == want.strides


def test_selection_of_a_strided_view_refers_to_the_root():
    source = np.arange(20.0).reshape(4, 5)
    a = probe_array(source)
    v = p.select_view(a, (slice(None, None, -1),))
    w = p.select_view(v, (slice(1, None, 2), slice(None, None, -2)))
    assert w.base is a
    assert_same_array(copy.copy(w), source[::-1][1::2, ::-2])
    assert w.strides == source[::-1][1::2, ::-2].strides


def test_commit_writes_back_in_order():
    a = probe_array(np.arange(6.0))
    p.write_flat(p.select_view(a, (slice(None, None, -1),)), [10.0, 11.0, 12.0, 13.0, 14.0, 15.0])
    assert_same_array(a, np.array([15.0, 14.0, 13.0, 12.0, 11.0, 10.0]))
    m = probe_array(np.arange(12).reshape(3, 4))
    p.write_flat(p.layout_view(m, 0, (4, 3), (8, 32)), list(range(100, 112)))  # the transpose
    assert_same_array(m, np.arange(100, 112).reshape(4, 3).T)
    # Zero strides: the last element written wins.
    z = probe_array(np.zeros(3))
    v = p.layout_view(z, 8, (4,), (0,))
    assert v.strides == (0,)
    p.write_flat(v, [1.0, 2.0, 3.0, 4.0])
    assert_same_array(z, np.array([0.0, 4.0, 0.0]))
    b = probe_array(np.zeros((2,), dtype=bool))
    p.write_flat(p.layout_view(b, 0, (2, 3), (1, 0)), [True, True, False, False, False, True])
    assert_same_array(b, np.array([False, True]))


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
}


@pytest.mark.parametrize("make", [lambda xp: xp.asarray(np.arange(6.0))[::-1],
                                  lambda xp: xp.asarray(np.arange(6.0)).reshape(2, 3).T], ids=["reversed", "T"])
@pytest.mark.parametrize("name", list(FIRST_READS))
def test_first_read_of_a_strided_view(make, name):
    differential(lambda xp: FIRST_READS[name](xp, make(xp)))


def test_special_layouts():
    a = probe_array(np.arange(6.0))
    # Length-1 axes may carry any stride: a contiguous view, with the C strides of its shape.
    v = p.layout_view(a, 16, (1, 3, 1), (999, 8, -5))
    assert v.strides == (24, 8, 8) and v.base is a
    np.asarray(v)[0, 1, 0] = -1.0
    assert np.asarray(a)[3] == -1.0
    s = p.layout_view(a, 40, (), ())
    assert s.shape == () and s.base is a and float(s) == 5.0
    e = p.layout_view(a, 0, (3, 0), (16, 8))
    assert e.shape == (3, 0) and e.base is None


# A slice step far beyond the axis leaves a length-1 axis with a huge (wrapped) stride; the
# view must still read, write back and report NumPy's strides.
@pytest.mark.parametrize(
    "key",
    [
        (slice(1, 2, 2**63 - 1), slice(None, None, 2)),
        (slice(None, None, 2), slice(1, 2, 2**60 - 1)),
        (slice(None, None, -(2**62)), slice(None, None, -2)),
    ],
    ids=["wrapping-outer", "huge-inner", "wrapping-reversed"],
)
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
