"""Folds of strided views read in place: every fold family over many kinds of view, element
kinds and sizes around the walks' block sizes. Folds whose value does not depend on the
order are checked against NumPy; the 8-lane sums, products, variances and dots against the
same fold of a contiguous copy, bit for bit."""

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, assert_same_value

RNG = np.random.default_rng(27)


def same(got, want, path="result"):
    """assert_same_value, where want may also be a corvantile array (a contiguous copy's result)."""
    if isinstance(want, cv.ndarray):
        assert type(got) is type(want), f"{path}: type {type(got).__name__} != {type(want).__name__}"
        assert_same_array(got, np.asarray(want), path)
    else:
        assert_same_value(got, want, path)


def numpy_view(make):
    """A view NumPy makes of the base's memory, taken back as a corvantile view."""
    return lambda b: make(b) if type(b) is np.ndarray else cv._view_of(b, make(np.asarray(b)))


def zero_stride(b):
    flat = b.reshape(-1)
    return np.lib.stride_tricks.as_strided(flat, shape=(3, flat.shape[0]), strides=(0, flat.strides[0]))


# name -> (base shape from (r, c), view of the base); the view has about r * c elements.
VIEWS = {
    "transpose": (lambda r, c: (c, r), lambda b: b.T),
    "reversed": (lambda r, c: (r, c), lambda b: b[::-1, ::-1]),
    "reversed-1d": (lambda r, c: (r * c,), lambda b: b[::-1]),
    "reversed-rows": (lambda r, c: (r, c), lambda b: b[:, ::-1]),
    "stepped-back-1d": (lambda r, c: (3 * r * c,), lambda b: b[::-3]),
    "stepped": (lambda r, c: (2 * r, c), lambda b: b[::2]),
    "stepped-columns": (lambda r, c: (r, 3 * c), lambda b: b[:, 1::3]),
    "column-block": (lambda r, c: (r, c + 5), lambda b: b[:, :-5]),
    "permuted-3d": (lambda r, c: (2, r, c), numpy_view(lambda b: b.transpose(1, 2, 0))),
    "view-of-view": (lambda r, c: (2 * c, r + 1), lambda b: b.T[1:, ::2][::-1]),
    "numpy-transpose": (lambda r, c: (c, r), numpy_view(lambda b: b.T)),
    "zero-stride": (lambda r, c: (r, c), numpy_view(zero_stride)),
    "transpose-3d": (lambda r, c: (r, 3, c), lambda b: b.T),
    "permuted-4d": (lambda r, c: (2, r, 3, c), numpy_view(lambda b: b.transpose(0, 3, 2, 1))),
    # rows two elements apart, the last one ending at its base row's end
    "stepped-transpose": (lambda r, c: (c, 2 * r - 1), lambda b: b.T[::2]),
    # rows side by side downward, their elements forward or backward
    "reversed-transpose": (lambda r, c: (c, r), lambda b: b.T[::-1]),
    "reversed-both-transpose": (lambda r, c: (c, r), lambda b: b[::-1, ::-1].T),
}
# (rows, columns): around 8-lane bodies, the small-view gather (64), the blocks (8192); a
# 3-D transpose's slabs of an odd length (9x17), transposes in two or more tiled blocks,
# the last not a whole number of 64-element runs (264x36, 400x40).
SIZES = [(1, 3), (2, 4), (3, 3), (4, 4), (3, 7), (5, 13), (8, 8), (7, 9), (16, 33), (90, 91), (92, 90), (300, 41),
         (9, 17), (264, 36), (400, 40)]
SIZE_IDS = [f"{r}x{c}" for r, c in SIZES]


def values(shape, kind):
    n = int(np.prod(shape))
    if kind == "f8":
        v = RNG.standard_normal(n)
        v[::7] = -0.0
        v[3::11] = 0.0
        v[5::13] = v[2]  # ties for argmax/argmin
    elif kind == "i8":
        v = RNG.integers(-50, 50, n)
        v[::9] = 2**62  # wrapping totals
    else:
        v = RNG.random(n) < 0.3
    return v.reshape(shape)


def pair(name, size, v=None, kind="f8"):
    """(corvantile view, NumPy view) over equal bases."""
    base_shape, make = VIEWS[name]
    shape = base_shape(*size)
    base = values(shape, kind) if v is None else v.reshape(shape)
    return make(cv.asarray(base.copy())), make(base.copy())


ORDER_FREE = {  # NumPy's values exactly
    "max": lambda v: v.max(), "min": lambda v: v.min(), "argmax": lambda v: v.argmax(),
    "argmin": lambda v: v.argmin(), "any": lambda v: v.any(), "all": lambda v: v.all(),
    "min-tuple": lambda v: v.min(axis=(0, 1)),
}
ORDERED = {  # the bits of the same fold over a contiguous copy
    "sum": lambda v: v.sum(), "mean": lambda v: v.mean(), "prod": lambda v: v.prod(), "var": lambda v: v.var(),
    "std": lambda v: v.std(), "cumsum": lambda v: v.cumsum(), "cumprod": lambda v: v.cumprod(),
    "sum-0": lambda v: v.sum(axis=0), "sum-1": lambda v: v.sum(axis=1), "mean-last": lambda v: v.mean(axis=-1),
    "prod-0": lambda v: v.prod(axis=0), "max-1": lambda v: v.max(axis=1), "min-0": lambda v: v.min(axis=0),
    "max-last": lambda v: v.max(axis=-1), "min-1": lambda v: v.min(axis=1),
    "dot": lambda v: v[0].dot(v[-1]) if v.ndim == 2 else v.reshape(-1)[::-1].dot(v.reshape(-1)),
}


@pytest.mark.parametrize("size", SIZES, ids=SIZE_IDS)
@pytest.mark.parametrize("name", list(VIEWS))
def test_float_folds(name, size):
    v, n = pair(name, size)
    c = v.copy()
    for op, fn in ORDER_FREE.items():
        if v.ndim == 1 and op == "min-tuple":
            continue
        assert_same_value(fn(v), fn(n), path=op)
    for op, fn in ORDERED.items():
        if v.ndim == 1 and op in ("sum-1", "max-1", "min-1"):
            continue
        same(fn(v), fn(c), path=op)


@pytest.mark.parametrize("size", SIZES, ids=SIZE_IDS)
@pytest.mark.parametrize("name", list(VIEWS))
@pytest.mark.parametrize("kind", ["i8", "b"])
def test_int_and_bool_folds(name, size, kind):
    v, n = pair(name, size, kind=kind)
    for op in ("sum", "max", "min", "any", "all", "argmax"):
        assert_same_value(getattr(v, op)(), getattr(n, op)(), path=op)
    assert_same_value(v.mean(), v.copy().mean())
    assert_same_value(v.sum(axis=0), n.sum(axis=0))


@pytest.mark.parametrize("fill", ["nan-early", "nan-late", "zeros", "negative-zeros"])
@pytest.mark.parametrize("size", [(3, 5), (16, 33), (90, 91)], ids=["15", "528", "8190"])
@pytest.mark.parametrize("name", ["transpose", "reversed", "stepped-columns", "permuted-3d", "transpose-3d",
                                  "reversed-1d", "stepped-transpose", "reversed-transpose", "reversed-rows",
                                  "column-block"])
def test_nan_and_signed_zero_rules(name, size, fill):
    shape = VIEWS[name][0](*size)
    m = int(np.prod(shape))
    v = np.full(m, -0.0 if fill == "zeros" else 0.0)
    if fill.startswith("nan"):
        v = RNG.standard_normal(m)
        v[1 if fill == "nan-early" else m - 2] = np.nan
    else:
        v[::5] = 0.0 if fill == "zeros" else -0.0
    cvv, npv = pair(name, size, v)
    c = cvv.copy()
    for op in ("argmax", "argmin", "any", "all"):
        assert_same_value(getattr(cvv, op)(), getattr(npv, op)(), path=op)
    same(cvv.cumsum(), c.cumsum())
    for op in ("max", "min", "sum"):
        same(getattr(cvv, op)(), getattr(c, op)(), path=op)
        for axis in (0, -1):
            same(getattr(cvv, op)(axis=axis), getattr(c, op)(axis=axis), path=f"{op}-{axis}")


# Column blocks' rows are scanned where they lie, in vectors of 32 lanes, then of 8, then
# one by one: widths around those, and a NaN or the only extreme in each part of a row.
@pytest.mark.parametrize("width", [16, 23, 32, 33, 47, 91, 511])
@pytest.mark.parametrize("col", [0, 35, -1])
@pytest.mark.parametrize("special", [np.nan, 1e300, -0.0])
def test_extremes_of_column_blocks_in_lanes(width, col, special):
    base = RNG.standard_normal((37, width + 3))
    if special == -0.0:
        base = np.where(base > 0, 0.0, base)  # zero the largest; one of them negative
    base[20, 1 + min(col % width, width - 1)] = special
    v, n = cv.asarray(base)[:, 1 : width + 1], base[:, 1 : width + 1]
    for view, numpy_view in ((v, n), (v.T, n.T)):
        c = view.copy()
        for op in ("max", "min"):
            same(getattr(view, op)(), getattr(c, op)(), path=op)
            if special != 0.0:  # the sign of a zero extreme is the system's own rule
                assert_same_value(getattr(view, op)(), getattr(numpy_view, op)(), path=op)
        for op in ("argmax", "argmin"):
            assert_same_value(getattr(view, op)(), getattr(numpy_view, op)(), path=op)


@pytest.mark.parametrize("width", [16, 17, 23, 40, 91, 255])
@pytest.mark.parametrize("col", [0, 9, -2, -1])
@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.bool_])
def test_any_and_all_of_column_blocks(width, col, dtype):
    # Rows tested in overlapping pieces of 16: the deciding element in each part of a row.
    for background, mark in ((0, 1), (1, 0), (0, None)):
        base = np.full((40, width + 2), background, dtype=dtype)
        base[:, 0] = base[:, -1] = 1 - background  # outside the block: must not count
        if mark is not None:
            base[25, 1 + col % width] = mark
        elif dtype is np.float64:
            base[25, 1 + col % width] = np.nan  # counts as true
        v, n = cv.asarray(base)[:, 1:-1], base[:, 1:-1]
        for op in ("any", "all"):
            assert_same_value(getattr(v, op)(), getattr(n, op)(), path=f"{background}-{mark}-{op}")


@pytest.mark.parametrize("kind", ["f8", "i8", "b"])
@pytest.mark.parametrize("at", ["first", "middle", "last", "none"])
@pytest.mark.parametrize("name", ["transpose", "reversed-1d", "stepped", "permuted-3d", "zero-stride",
                                  "stepped-columns", "stepped-back-1d", "column-block"])
def test_any_and_all_decide_at_every_position(name, at, kind):
    size = (90, 91)
    shape = VIEWS[name][0](*size)
    m = int(np.prod(shape))
    dtype = {"f8": np.float64, "i8": np.int64, "b": np.bool_}[kind]
    for background, mark in ((0, 1), (1, 0)):
        v = np.full(m, background, dtype=dtype)
        if at != "none":
            v[{"first": 0, "middle": m // 2, "last": m - 1}[at]] = mark
        cvv, npv = pair(name, size, v)
        for op in ("any", "all"):
            assert_same_value(getattr(cvv, op)(), getattr(npv, op)(), path=op)
    if kind == "f8":  # NaN counts as true
        v = np.zeros(m)
        v[m // 3] = np.nan
        cvv, npv = pair(name, size, v)
        assert_same_value(cvv.any(), npv.any())


@pytest.mark.parametrize("name", ["transpose", "stepped", "column-block"])
def test_folds_see_later_writes_to_the_base(name):
    base_shape, make = VIEWS[name]
    for size in ((3, 4), (40, 50)):
        b = cv.asarray(values(base_shape(*size), "f8"))
        v = make(b)
        first = v.sum()
        assert_same_value(v.any(), np.True_)
        b[...] = 2.0
        assert_same_value(v.max(), np.float64(2.0))
        assert_same_value(v.all(), np.True_)
        assert v.sum() != first
        b[...] = 0.0
        assert_same_value(v.any(), np.False_)
        same(v.sum(axis=0), v.copy().sum(axis=0))


DOTS = {
    "reversed": lambda b: (b[::-1], b),
    "stepped": lambda b: (b[::2], b[1::2]),
    "column": lambda b: (b.reshape(-1, 4)[:, 1], b.reshape(-1, 4)[:, 3]),
    "overlapping": lambda b: (b[1:], b[:-1]),
}


@pytest.mark.parametrize("n", [8, 24, 68, 8200, 20_004])
@pytest.mark.parametrize("name", list(DOTS))
def test_dot_of_views(name, n):
    base = RNG.standard_normal(n)
    x, y = DOTS[name](cv.asarray(base))
    assert_same_value(x.dot(y), x.copy().dot(y.copy()))
    assert_same_value(cv.dot(x, y), x.copy().dot(y.copy()))
    with pytest.raises(ValueError, match="not aligned"):
        x.dot(cv.asarray(base)[:3])


@pytest.mark.parametrize("make", [lambda b: b.T[:1], lambda b: b.T[:, :1], lambda b: b[:1, ::-1], lambda b: b.T[::-1]],
                         ids=["length-1-axis", "length-1-last", "one-reversed-row", "reversed-transpose"])
def test_axis_of_length_one_or_small_stride(make):
    base = cv.asarray(RNG.standard_normal((100, 2)))
    v = make(base)
    c = v.copy()
    for op in ("sum", "prod", "mean", "max", "min"):
        for axis in (0, 1, -1):
            same(getattr(v, op)(axis=axis), getattr(c, op)(axis=axis), path=f"{op}-{axis}")


@pytest.mark.parametrize("axis", [0, 1, 2, -1, 3, -4])
def test_axis_of_a_permuted_view(axis):
    base = RNG.standard_normal((6, 70, 9))
    b = cv.asarray(base)
    v = cv._view_of(b, np.asarray(b).transpose(2, 0, 1))
    if axis in (3, -4):
        with pytest.raises(ValueError, match="out of bounds"):
            v.sum(axis=axis)
        return
    c = v.copy()
    for op in ("sum", "prod", "mean", "max", "min"):
        same(getattr(v, op)(axis=axis), getattr(c, op)(axis=axis), path=op)


# Views whose neighbours in memory lie along an outer axis (base shape, view): eight steps
# of that axis at a time, the rest of them, last rows of 8 or more elements and not, and
# around 32768 elements after that axis.
OUTER_UNIT = {
    "13-rows-of-11": ((11, 7, 13), lambda b: b.T),
    "8x8x8": ((8, 8, 8), lambda b: b.T),
    "reversed-last": ((9, 4, 17), numpy_view(lambda b: b.T[:, :, ::-1])),
    "4d": ((3, 10, 2, 9), numpy_view(lambda b: b.transpose(0, 3, 2, 1))),
    "short-last": ((5, 6, 12), lambda b: b.T),
    "at-limit": ((8, 4096, 8), lambda b: b.T),
    "past-limit": ((9, 3700, 9), lambda b: b.T),
    # Planes past 4096 elements, gathered four at a time: whole slabs, 1-3 planes left over,
    # an odd plane (slabs starting inside a lane run), a last axis of exactly 8, four axes.
    "four-planes": ((65, 64, 12), lambda b: b.T),
    "four-planes-odd": ((67, 63, 11), lambda b: b.T),
    "four-planes-last-8": ((8, 600, 9), lambda b: b.T),
    "four-planes-4d": ((2, 100, 50, 9), numpy_view(lambda b: b.transpose(0, 3, 2, 1))),
    "cube-100": ((100, 100, 100), lambda b: b.T),
    # Slabs of 32 planes with four left, taken as the last eight.
    "slabs-of-32": ((20, 50, 100), lambda b: b.T),
    # That axis stepping back, or forward by two (the last slab's last plane ending at its
    # base row's end, where a tile must read nothing past it).
    "reversed-planes": ((11, 7, 13), lambda b: b.T[::-1]),
    "reversed-4d": ((2, 10, 5, 9), numpy_view(lambda b: b.transpose(0, 3, 2, 1)[:, ::-1])),
    "four-planes-reversed": ((65, 64, 12), lambda b: b.T[::-1]),
    "stepped-planes": ((11, 7, 26), lambda b: b.T[::2]),
    "stepped-planes-odd-start": ((11, 7, 17), lambda b: b.T[1::2]),
    "stepped-planes-to-the-end": ((9, 6, 15), lambda b: b.T[::2]),
    "four-planes-stepped": ((65, 64, 24), lambda b: b.T[::2]),
    "stepped-planes-and-one": ((10, 3, 17), lambda b: b.T[::2]),
    "stepped-planes-last-8": ((8, 5, 16), lambda b: b.T[::2]),
}


@pytest.mark.parametrize("fill", ["random", "nan", "zeros"])
@pytest.mark.parametrize("name", list(OUTER_UNIT))
def test_folds_of_views_with_an_outer_unit_axis(name, fill):
    shape, make = OUTER_UNIT[name]
    base = values(shape, "f8")
    if fill == "nan":
        base.reshape(-1)[base.size // 3] = np.nan
    elif fill == "zeros":
        base[...] = 0.0
        base.reshape(-1)[::3] = -0.0
    v, n = make(cv.asarray(base.copy())), make(base.copy())
    c = v.copy()
    for op in ("argmax", "argmin", "max", "min"):
        assert_same_value(getattr(v, op)(), getattr(n, op)(), path=op)
    for op in ("sum", "mean", "prod", "var", "std", "cumsum", "cumprod"):
        same(getattr(v, op)(), getattr(c, op)(), path=op)
    for axis in range(v.ndim):
        for op in ("sum", "max", "min", "mean"):
            same(getattr(v, op)(axis=axis), getattr(c, op)(axis=axis), path=f"{op}-{axis}")
    i = make(cv.asarray(values(shape, "i8")))
    for op in ("sum", "max", "min"):
        assert_same_value(getattr(i, op)(), getattr(np.asarray(i), op)(), path=op)
    same(i.mean(), i.copy().mean(), path="int mean")


@pytest.mark.parametrize("n", [0, 4, 12, 8200])
@pytest.mark.parametrize("name", list(DOTS))
def test_int_dot_of_views(name, n):
    base = RNG.integers(-(2**40), 2**40, n + 4)  # products wrap
    x, y = DOTS[name](cv.asarray(base))
    nx, ny = DOTS[name](base)
    assert_same_value(cv.dot(x, y), np.dot(nx, ny))
    assert_same_value(x.dot(y), nx.dot(ny))
    with pytest.raises(ValueError, match="not aligned"):
        x.dot(cv.asarray(base)[:3] if len(x) != 3 else cv.asarray(base)[:2])


@pytest.mark.parametrize("n", [33, 8191, 8193, 20_000])
@pytest.mark.parametrize("fill", ["ties", "nan", "zeros"])
def test_extremes_of_reversed_rows(n, fill):
    v = -np.abs(RNG.standard_normal((2, n))) - 1.0
    spots = [1, n // 2, n - 2]
    if fill == "ties":
        v[:, spots] = 7.0
        v[:, [0, n // 2 + 1, n - 1]] = -9.0
    elif fill == "nan":
        v[0, spots[1:]] = np.nan
        v[1, spots[0]] = np.nan
    else:
        v[0, spots] = [0.0, -0.0, 0.0]
        v[1, spots] = [-0.0, 0.0, -0.0]
    base = cv.asarray(v)
    for make in (lambda b: b[::-1, ::-1], lambda b: b[0, ::-1], lambda b: b[1, ::-1]):
        got, want = make(base), make(v)
        for op in ("argmax", "argmin"):
            assert_same_value(getattr(got, op)(), getattr(want, op)(), path=op)
        c = got.copy()
        for op in ("max", "min"):
            same(getattr(got, op)(axis=-1), getattr(c, op)(axis=-1), path=op)


# max/min/argmax/argmin along rows of other steps: rows shorter than the whole-row scan's by
# the row groups, longer ones scanned alone; NaNs of both signs, zeros of both as the extreme.
STEPPED_ROWS = {  # base width from the row length n, view of three rows of n
    "every other": (lambda n: 2 * n, lambda b: b[:, ::2]), "odd, rows back": (lambda n: 2 * n + 1, lambda b: b[::-1, 1::2]),
    "every third back": (lambda n: 3 * n, lambda b: b[:, ::-3]),
}


@pytest.mark.parametrize("fill", ["random", "nan", "zeros"])
@pytest.mark.parametrize("n", [15, 16, 17, 16383, 16384, 16385])
@pytest.mark.parametrize("name", list(STEPPED_ROWS))
def test_extremes_of_stepped_rows(name, n, fill):
    width, make = STEPPED_ROWS[name]
    for sign, op in ((-1.0, "max"), (1.0, "min")):
        v = sign * (np.abs(RNG.standard_normal((3, width(n)))) + 1.0)
        want, spots = make(v), [0, n // 2, n - 1]
        if fill == "nan":
            want[0, spots[1:]], want[2, [0, n - 1]] = [np.nan, -np.nan], [np.inf, np.nan]
        elif fill == "zeros":
            want[0, spots], want[1, spots], want[2, spots[1:]] = [0.0, -0.0, 0.0], [-0.0, 0.0, -0.0], -0.0
        got = make(cv.asarray(v))
        c = got.copy()
        for axis in (1, -1, 0):
            r = getattr(got, op)(axis=axis)
            same(r, getattr(c, op)(axis=axis), path=f"{op}-{axis}")
            if fill != "zeros":  # NumPy's NaN keeps its sign or not by layout
                np.testing.assert_array_equal(np.asarray(r), getattr(want, op)(axis=axis))
            arg = "arg" + op
            assert_same_value(getattr(got, arg)(axis=axis), getattr(want, arg)(axis=axis), path=f"{arg}-{axis}")


# Whole-view argmax/argmin over rows of every other element, each row's extreme found where
# it lies and the first row to reach the view's searched: ties at the end of one row and the
# start of the next, a NaN in a row after the extreme's, zeros of both signs as the extreme.
EVERY_OTHER_ROWS = {  # base shape from the row length n, the view
    "rows": (lambda n: (5, 2 * n), lambda b: b[:, ::2]),
    "odd, rows stepped": (lambda n: (10, 2 * n + 1), lambda b: b[::2, 1::2]),
    "rows back": (lambda n: (5, 2 * n), lambda b: b[::-1, ::2]),
    "3-d": (lambda n: (3, 8, 2 * n), lambda b: b[:, ::2, ::2]),
    "one row": (lambda n: (2 * n,), lambda b: b[::2]),
}


@pytest.mark.parametrize("fill", ["ties", "nan", "zeros"])
@pytest.mark.parametrize("n", [64, 65, 1000])
@pytest.mark.parametrize("name", list(EVERY_OTHER_ROWS))
def test_arg_extremes_of_every_other_rows(name, n, fill):
    shape, make = EVERY_OTHER_ROWS[name]
    for sign in (1.0, -1.0):
        v = sign * RNG.standard_normal(shape(n))
        w = make(v)
        at = lambda k: np.unravel_index(k % w.size, w.shape)
        if fill == "zeros":
            w[...] = -sign * (np.abs(w) + 1.0)
            w[at(n - 1)], w[at(n)], w[at(-1)] = -0.0, 0.0, -0.0
        else:
            w[at(n - 1)], w[at(n)], w[at(-1)] = 9.0 * sign, 9.0 * sign, 9.0 * sign
            if fill == "nan":
                w[at(n + 1)], w[at(-2)] = np.nan, -np.nan
        got = make(cv.asarray(v))
        for op in ("argmax", "argmin"):
            assert_same_value(getattr(got, op)(), getattr(w, op)(), path=f"{op}{sign}")


# argmax/argmin of views whose rows are short and contiguous (column blocks): the rows are
# joined into runs before one scan. Rows about the joining length, runs filled exactly and
# not, the extreme or the first NaN in the first, a middle or the last row, ties between rows.
@pytest.mark.parametrize("rows, width", [(3, 5), (9, 255), (9, 256), (130, 100), (327, 100), (328, 100),
                                          (40, 1000), (300, 255)])
@pytest.mark.parametrize("fill", ["ties", "nan", "inf"])
def test_extremes_of_column_blocks(rows, width, fill):
    v = RNG.standard_normal((rows, 3 * width + 3))
    spots = [(0, 1), (rows // 2, width - 1), (rows - 1, 0)]
    for k, (r, c) in enumerate(spots):
        v[r, c] = {"ties": 9.0, "nan": [np.nan, -np.nan, np.nan][k], "inf": [np.inf, -np.inf, np.inf][k]}[fill]
    base = cv.asarray(v)
    for make in (lambda b: b[:, :width], lambda b: b[::-1, 2:width + 2], lambda b: b[::2, 1:width + 1]):
        for op in ("argmax", "argmin"):
            assert_same_value(getattr(make(base), op)(), getattr(make(v), op)(), path=op)


# Rows about the lengths where the walks change road: under 16 elements (many rows read at
# a time), under 32 (the whole max and min take each row in one masked pass), under 512
# (they join rows into one scan; along the rows sixteen are folded at once), and beyond;
# over several 8192-element blocks. Float folds whose bits depend on the order against a
# contiguous copy, the others against NumPy.
@pytest.mark.parametrize("rows, width", [(3000, 3), (700, 15), (600, 16), (500, 23), (400, 31), (60, 200), (17, 511),
                                         (17, 512), (9, 513)])
@pytest.mark.parametrize("fill", ["plain", "nan", "zeros"])
def test_folds_of_rows_where_the_road_changes(rows, width, fill):
    v = RNG.standard_normal((rows, width + 3))
    if fill == "zeros":
        v = np.where(RNG.random(v.shape) < 0.5, 0.0, -0.0)
    for r, c in [(0, 1), (rows // 2, width), (rows - 1, 2)]:
        v[r, c] = {"plain": 9.0, "nan": np.nan, "zeros": v[r, c]}[fill]
    bases = [(cv.asarray(w), w) for w in (v, (np.nan_to_num(v) * 50).astype(np.int64), v > 1.5)]
    for make in (lambda b: b[:, 1:width + 1], lambda b: b[::-1, width + 1:1:-1], lambda b: b[::2, 2:width + 2],
                 lambda b: b[:, 3 * width + 2:1:-3]):
        x, n = (make(b) for b in bases[0])
        c = x.copy()
        for op in ("argmax", "argmin", "any", "all"):
            assert_same_value(getattr(x, op)(), getattr(n, op)(), path=op)
        for op in ("max", "min", "prod"):
            same(getattr(x, op)(), getattr(c, op)(), path=op)
            same(getattr(x, op)(axis=-1), getattr(c, op)(axis=-1), path=f"{op}-rows")
        for ours, theirs in bases[1:]:
            for op in ("sum", "max", "min", "any", "all"):
                assert_same_value(getattr(make(ours), op)(), getattr(make(theirs), op)(), path=op)


# argmax/argmin where logical order crosses memory order (found in memory order, the match's
# address turned back into its position), and whole max/min of long every-other rows (each
# vector read whole, the odd elements dropped): a few or many ties (past the matches the
# memory-order search keeps), NaNs and zeros of both signs, and NaNs and infinities in the
# base's elements between the view's, which must not count.
CROSSING = {
    "transpose": ((70, 90), lambda b: b.T),
    "reversed-transpose": ((70, 90), lambda b: b[::-1].T[::-1]),
    "stepped-transpose": ((64, 130), lambda b: b.T[::2]),
    "transpose-3d": ((6, 7, 65), lambda b: b.T),
    "permuted-4d": ((3, 4, 5, 66), numpy_view(lambda b: b.transpose(3, 1, 0, 2))),
    "every-other-rows": ((5, 129), lambda b: b[:, ::2]),
    "every-other-back": ((4, 256), lambda b: b[::-1, ::-2]),
    "every-other-1d": ((1001,), lambda b: b[1::2]),
}


@pytest.mark.parametrize("fill", ["random", "few-ties", "many-ties", "nan", "zeros", "between"])
@pytest.mark.parametrize("name", list(CROSSING))
def test_extremes_found_in_memory_order(name, fill):
    shape, make = CROSSING[name]
    base = RNG.standard_normal(shape)
    flat = base.reshape(-1)
    if fill == "few-ties":
        flat[[5, flat.size // 2, -3]] = 9.0
        flat[[7, flat.size // 3, -1]] = -9.0
    elif fill == "many-ties":
        base = np.round(base)
    elif fill == "nan":
        flat[[flat.size // 4, flat.size // 2, -2]] = [np.nan, -np.nan, np.nan]
    elif fill == "zeros":
        base = -np.abs(np.round(base / 4))
        base[base == 0] = RNG.choice([0.0, -0.0], size=int((base == 0).sum()))
    want = make(base)
    if fill == "between":
        hole = np.ones(base.shape, bool)
        np.asarray(make(hole))[...] = False  # the view's own elements
        base[hole] = RNG.choice([np.nan, np.inf, -np.inf], size=int(hole.sum()))
        want = make(base)
    got = make(cv.asarray(base))
    for op in ("argmax", "argmin", "max", "min"):
        if op in ("max", "min") and fill == "zeros":
            # The sign of a zero extreme is the system's own rule (NumPy's follows its walk).
            same(getattr(got, op)(), getattr(got.copy(), op)(), path=op)
            continue
        assert_same_value(getattr(got, op)(), getattr(want, op)(), path=op)


# 8-lane sums of every other float64 from each start within a line of a large base (lined):
# lengths about the octets, runs ending at the base's last element, and rows whose logical
# positions start the octets mid-row. Bit for bit the sum of a contiguous copy.
@pytest.mark.parametrize("start", range(9))
@pytest.mark.parametrize("n", [8, 9, 16, 17, 63, 64, 65, 1000, 8193])
def test_sums_of_every_other_float64(start, n):
    base = cv.asarray(RNG.standard_normal(2 * 8193 + 40) * 1e3)
    for view in (base[start : start + 2 * n : 2], base[base.size - 2 * n + 1 - start % 2 :: 2]):
        same(view.sum(), view.copy().sum())
        same(view.mean(), view.copy().mean())
    for width in (26, 34):
        rows = base[start : start + (2 * n // width + 1) * width].reshape(-1, width)[:, ::2]
        same(rows.sum(), rows.copy().sum())
