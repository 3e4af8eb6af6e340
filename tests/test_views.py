"""Views sharing memory with their base: _view_of over NumPy views, strided views kept in
step through their shadow, their buffer export, and the layouts behind basic selection
(through the test probe, whose ndarray type is built from the same code)."""

import copy

import numpy as np
import pytest

import corvantile as cv
import _probe
from conftest import assert_same_array

p = _probe.load()

PyBUF_SIMPLE = 0
PyBUF_FORMAT = 0x4
PyBUF_ND = 0x8
PyBUF_STRIDES = 0x18
PyBUF_C_CONTIGUOUS = 0x38
PyBUF_F_CONTIGUOUS = 0x58
PyBUF_ANY_CONTIGUOUS = 0x98
PyBUF_FULL_RO = 0x11C

DTYPES = [np.float64, np.int64, np.bool_]


def data(shape, dtype):
    n = int(np.prod(shape))
    values = np.arange(n, dtype=np.int64).reshape(shape)
    if dtype is np.bool_:
        return values % 3 == 1
    if dtype is np.int64:
        return values * 3 - 7
    return (values * 3 - 7) / 2.0


def native(x):
    a = cv.array(np.asarray(x))
    assert type(a) is cv.ndarray
    return a


def changed(x):
    """Other values of x's dtype and shape."""
    return ~x if x.dtype == bool else x * 2 + 1


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
    "zero-stride": ((5,), lambda b: np.lib.stride_tricks.as_strided(b[2:], shape=(4,), strides=(0,))),
    "zero-stride-2d": ((2, 3), lambda b: np.lib.stride_tricks.as_strided(b, shape=(2, 4, 3),
                                                                          strides=(b.strides[0], 0, b.strides[1]))),
}


def make_view(name, dtype):
    shape, fn = VIEWS[name]
    base = native(data(shape, dtype))
    numpy_view = fn(np.asarray(base))
    view = cv._view_of(base, numpy_view)
    assert type(view) is cv.ndarray
    return base, numpy_view, view


views = pytest.mark.parametrize("name", list(VIEWS))
dtypes = pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)


@views
@dtypes
def test_view_matches_numpy_view(name, dtype):
    base, n, v = make_view(name, dtype)
    assert v.shape == n.shape and v.dtype == n.dtype and v.ndim == n.ndim
    assert v.base is base
    assert_same_array(np.asarray(v), n)
    assert np.shares_memory(np.asarray(v), np.asarray(base))
    # Native reads go through the shadow.
    assert_same_array(copy.copy(v), n.copy())
    if dtype is not np.bool_:
        assert_same_array(-v, -n)


@views
@dtypes
def test_reads_follow_the_base(name, dtype):
    base, n, v = make_view(name, dtype)
    -v if dtype is not np.bool_ else ~v  # a first native read fills the shadow
    b = np.asarray(base)
    b[...] = changed(b)
    assert_same_array(copy.copy(v), n.copy())
    assert_same_array(~v if dtype is not np.float64 else -v, ~n if dtype is not np.float64 else -n)
    assert repr(v) == repr(n)


@views
@dtypes
def test_item_writes_land_in_the_base(name, dtype):
    base, n, v = make_view(name, dtype)
    at = (-1,) * v.ndim
    value = (not n[at]) if dtype is np.bool_ else -99
    v[at] = value
    assert n[at] == value  # n reads the base memory
    assert_same_array(copy.copy(v), n.copy())


def test_strided_view_attributes():
    base = native(np.arange(12.0).reshape(3, 4))
    v = cv._view_of(base, np.asarray(base)[::-1, 1::2])
    assert v.strides == (-32, 16)
    assert v.shape == (3, 2) and v.size == 6 and v.nbytes == 48 and len(v) == 3
    t = cv._view_of(base, np.asarray(base).T)
    assert t.strides == (8, 32) and t.base is base


def test_view_of_a_view_uses_the_root():
    base = native(np.arange(12.0))
    v = cv._view_of(base, np.asarray(base)[::-2])
    w = cv._view_of(v, np.asarray(base)[3:9])
    assert w.base is base and v.base is base
    assert w.strides == (8,)  # the layout of the NumPy view over the root's memory
    w[0] = -1.0
    assert np.asarray(base)[3] == -1.0


def test_contiguous_views_share_memory_without_shadow():
    base = native(np.arange(6.0).reshape(2, 3))
    v = cv._view_of(base, np.asarray(base)[1:])
    assert v.strides == (24, 8)
    np.asarray(base)[1, 0] = 42.0
    assert float(v[0, 0]) == 42.0
    view_buffer = np.asarray(v)
    assert view_buffer.__array_interface__["data"][0] == np.asarray(base)[1:].__array_interface__["data"][0]


# ---- refusals ---------------------------------------------------------------------------


def refusal_cases():
    def as_strided(b, shape, strides, offset=0):
        return np.lib.stride_tricks.as_strided(b[offset:], shape=shape, strides=strides)

    def readonly(b):
        v = b[::2]
        v.flags.writeable = False
        return v

    return {
        "readonly": readonly,
        "other-dtype": lambda b: b.view(np.int64),
        "empty": lambda b: b[3:3],
        "empty-2d": lambda b: b.reshape(2, 4)[:, 4:],
        "elsewhere": lambda b: np.zeros(8),
        "past-the-end": lambda b: as_strided(b, (9,), (8,)),
        "before-the-start": lambda b: as_strided(b[::-1], (9,), (-8,)),
        "misaligned": lambda b: b.view(np.uint8)[4:20].view(np.float64),
        "odd-stride": lambda b: as_strided(b, (3,), (12,)),
        "nine-dims": lambda b: b[:1].reshape((1,) * 9),
        "stride-overflow": lambda b: as_strided(b, (5,), (2**61,)),
        "negative-stride-overflow": lambda b: as_strided(b, (5,), (-(2**61),)),
        "stride-sum-overflow": lambda b: as_strided(b, (2, 2), (2**62, 2**62)),
        "bytes": lambda b: b.tobytes(),
        "bytearray": lambda b: bytearray(b.tobytes()),
        "no-buffer": lambda b: [1.0, 2.0],
        "none": lambda b: None,
        "memoryview-of-bytes": lambda b: memoryview(bytearray(64)).cast("d"),
    }


@pytest.mark.parametrize("case", list(refusal_cases()))
def test_refusals_give_none(case):
    base = native(np.arange(8.0))
    numpy_view = refusal_cases()[case](np.asarray(base))
    assert cv._view_of(base, numpy_view) is None


def test_bool_and_int_formats_must_match():
    ints = native(np.arange(8))
    assert cv._view_of(ints, np.asarray(ints).view(np.float64)) is None
    assert cv._view_of(ints, np.asarray(ints).view(np.uint64)) is None
    flags = native(np.arange(8) % 2 == 0)
    assert cv._view_of(flags, np.asarray(flags).view(np.uint8)) is None
    assert cv._view_of(flags, np.asarray(flags).view(np.int8)) is None
    assert type(cv._view_of(flags, np.asarray(flags)[::-1])) is cv.ndarray


def test_memoryview_of_a_view_is_accepted():
    base = native(np.arange(8.0))
    v = cv._view_of(base, memoryview(base)[::-2])
    assert v.strides == (-16,)
    assert_same_array(copy.copy(v), np.arange(8.0)[::-2])


def test_source_must_be_an_ndarray():
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


def test_view_keeps_the_root_alive():
    base = native(np.arange(6.0))
    v = cv._view_of(base, np.asarray(base)[::-1])
    w = cv._view_of(base, np.asarray(base)[2:])
    del base
    assert_same_array(copy.copy(v), np.arange(6.0)[::-1])
    assert_same_array(np.asarray(w), np.arange(2.0, 6.0))


# ---- buffer export of strided views -----------------------------------------------------


def test_strided_export_honours_strides():
    base = native(np.arange(12.0).reshape(3, 4))
    v = cv._view_of(base, np.asarray(base)[::-1, ::2])
    m = memoryview(v)
    assert m.strides == (-32, 16) and m.shape == (3, 2) and not m.readonly and m.format == "d"
    assert m.tolist() == np.arange(12.0).reshape(3, 4)[::-1, ::2].tolist()
    assert p.buffer_info(v, PyBUF_STRIDES) == (2, (3, 2), (-32, 16), 0, None)
    assert p.buffer_info(v, PyBUF_FULL_RO) == (2, (3, 2), (-32, 16), 0, "d")
    m[0, 0] = -5.0
    assert np.asarray(base)[2, 0] == -5.0


@pytest.mark.parametrize("flags", [PyBUF_SIMPLE, PyBUF_ND, PyBUF_FORMAT, PyBUF_C_CONTIGUOUS, PyBUF_F_CONTIGUOUS,
                                   PyBUF_ANY_CONTIGUOUS, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT])
def test_strided_export_refuses_contiguity_demands(flags):
    base = native(np.arange(12.0).reshape(3, 4))
    v = cv._view_of(base, np.asarray(base).T)
    with pytest.raises(BufferError) as e:
        p.buffer_info(v, flags)
    assert str(e.value) == "ndarray is not C-contiguous"
    # A 1-D contiguous view satisfies every request.
    w = cv._view_of(base, np.asarray(base)[1])
    assert p.buffer_info(w, flags)[0] in (0, 1)


def test_contiguity_refusal_through_python_consumers():
    import hashlib

    base = native(np.arange(4.0))
    v = cv._view_of(base, np.asarray(base)[::-1])
    with pytest.raises(BufferError, match="ndarray is not C-contiguous"):
        hashlib.sha256(v)
    hashlib.sha256(cv._view_of(base, np.asarray(base)[1:]))


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
    source = np.arange(6.0)
    a = probe_array(source)
    v = p.select_view(a, (slice(None, None, -1),))
    p.write_flat(v, [10.0, 11.0, 12.0, 13.0, 14.0, 15.0])
    assert_same_array(a, np.array([15.0, 14.0, 13.0, 12.0, 11.0, 10.0]))
    m = probe_array(np.arange(12).reshape(3, 4))
    t = p.layout_view(m, 0, (4, 3), (8, 32))  # the transpose
    p.write_flat(t, list(range(100, 112)))
    assert_same_array(m, np.arange(100, 112).reshape(4, 3).T)


def test_commit_with_zero_stride_keeps_the_last_element():
    a = probe_array(np.zeros(3))
    v = p.layout_view(a, 8, (4,), (0,))
    assert v.strides == (0,)
    p.write_flat(v, [1.0, 2.0, 3.0, 4.0])
    assert_same_array(a, np.array([0.0, 4.0, 0.0]))
    b = probe_array(np.zeros((2,), dtype=bool))
    w = p.layout_view(b, 0, (2, 3), (1, 0))
    p.write_flat(w, [True, True, False, False, False, True])
    assert_same_array(b, np.array([False, True]))


def test_length_one_axes_may_carry_any_stride():
    a = probe_array(np.arange(6.0))
    v = p.layout_view(a, 16, (1, 3, 1), (999, 8, -5))
    assert v.strides == (24, 8, 8)  # a contiguous view: C strides of its shape
    assert v.base is a
    np.asarray(v)[0, 1, 0] = -1.0
    assert np.asarray(a)[3] == -1.0


def test_0d_and_empty_layouts():
    a = probe_array(np.arange(6.0))
    s = p.layout_view(a, 40, (), ())
    assert s.shape == () and s.base is a and float(s) == 5.0
    e = p.layout_view(a, 0, (3, 0), (16, 8))
    assert e.shape == (3, 0) and e.base is None


def test_refresh_reads_the_current_base():
    a = probe_array(np.arange(4, dtype=np.int64))
    v = p.layout_view(a, 24, (4,), (-8,))
    assert_same_array(-v, np.array([-3, -2, -1, 0]))
    np.asarray(a)[:] = [7, 8, 9, 10]
    assert_same_array(+v, np.array([10, 9, 8, 7]))


def test_strided_element_addresses():
    a = probe_array(np.arange(20.0).reshape(4, 5))
    v = p.layout_view(a, 0, (4, 5), (40, 8))  # contiguous: not strided
    with pytest.raises(ValueError):
        p.element_address(v, [0, 0])
    s = p.layout_view(a, 32, (4, 2), (40, -16))
    assert p.element_address(s, [0, 0]) == 0
    assert p.element_address(s, [-1, -1]) == 3 * 40 - 16
    assert p.element_address(s, [1]) is None
    assert p.element_address(s, [1, 1, 1]) is None
    with pytest.raises(IndexError) as e:
        p.element_address(s, [-5, 0])
    assert str(e.value) == "index -5 is out of bounds for axis 0 with size 4"
    with pytest.raises(IndexError) as e:
        p.element_address(s, [0, 2])
    assert str(e.value) == "index 2 is out of bounds for axis 1 with size 2"
    r = p.layout_view(a, 24, (4,), (-8,))
    assert p.element_address(r, [-1]) == -24
