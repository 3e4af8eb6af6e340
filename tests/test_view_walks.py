"""Strided views read and written in place, block by block: large views that cross blocks and
tiles, against NumPy (values, dtypes, writes reaching the base) and against the same
computation on a contiguous copy (the order-dependent sums and extremes, bit for bit)."""

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, assert_same_value, differential

RNG = np.random.default_rng(18)
NORMAL = RNG.standard_normal(60_000)
NORMAL[::97] = -0.0
NORMAL[::89] = 0.0
WHOLE = np.round(NORMAL * 100)  # integer values: every order of summation gives the same total


def as_strided(b, shape, strides):
    return np.lib.stride_tricks.as_strided(b, shape=shape, strides=strides)


# name -> (base shape, view of the base); each view crosses several blocks or tiles.
VIEWS = {
    "transpose": ((200, 300), lambda b: b.T),
    "transpose-13": ((1000, 13), lambda b: b.T),
    "transpose-long-rows": ((3, 20_000), lambda b: b.T),
    "reversed": ((50_001,), lambda b: b[::-1]),
    "step-2": ((60_000,), lambda b: b[1::2]),
    "step-minus-3": ((60_000,), lambda b: b[::-3]),
    "column-block": ((300, 100), lambda b: b[:, :37]),
    "stepped-columns": ((300, 101), lambda b: b[:, ::2]),
    "reversed-transpose": ((120, 250), lambda b: b.T[::-1]),
    "3d": ((30, 40, 50), lambda b: b.T[:, ::-1]),
    "view-of-view": ((300, 200), lambda b: b.T[::2, 1:][:, ::-1]),
    "length-1-axes": ((40, 1, 500), lambda b: b[::-1, :, ::3]),
}


def base_and_view(xp, name, values, numpy_made=False):
    shape, make = VIEWS[name]
    base = xp.asarray(values[: int(np.prod(shape))].reshape(shape).copy())
    if numpy_made:  # NumPy's view of the base's memory, taken back as a corvantile view
        view = cv._view_of(base, make(np.asarray(base)))
        assert view is not None
        return base, view
    return base, make(base)


def pairs(name, values=NORMAL, numpy_made=False):
    """(corvantile base, view), (NumPy base, view) over equal values."""
    return base_and_view(cv, name, values, numpy_made), base_and_view(np, name, values)


ELEMENTWISE = {
    "copy": lambda v, w: v.copy(), "add": lambda v, w: v + 1.0, "rsub": lambda v, w: 2.5 - v,
    "mul-int": lambda v, w: v * 3, "div": lambda v, w: v / 7.0, "pow": lambda v, w: v ** 2,
    "neg": lambda v, w: -v, "abs": lambda v, w: abs(v), "self": lambda v, w: v * v,
    "contiguous": lambda v, w: v - w, "reflected": lambda v, w: w / (v + 10.0),
    "compare": lambda v, w: v < 0.5, "broadcast": lambda v, w: v + w[..., :1], "row": lambda v, w: v * w[-1],
}


def each_view_and(operations):
    """Every view of VIEWS, sliced and made by NumPy, with every operation of the table."""
    def mark(test):
        test = pytest.mark.parametrize("name", list(VIEWS))(test)
        test = pytest.mark.parametrize("op", list(operations))(test)
        return pytest.mark.parametrize("numpy_made", [False, True], ids=["sliced", "numpy-view"])(test)
    return mark


@each_view_and(ELEMENTWISE)
def test_elementwise_reads_the_view_in_place(name, op, numpy_made):
    (_, v), (_, n) = pairs(name, numpy_made=numpy_made)
    other = RNG.standard_normal(n.shape)
    got = ELEMENTWISE[op](v, cv.asarray(other))
    # w[..., :1] is indexed by NumPy; the rest is native.
    assert_same_value(got, ELEMENTWISE[op](n, other), native=None if op == "broadcast" else True)


@pytest.mark.parametrize("name", list(VIEWS))
def test_reductions_match_numpy_and_the_contiguous_order(name):
    (_, v), (_, n) = pairs(name, values=WHOLE)
    for method in ("sum", "mean", "max", "min"):
        assert_same_value(getattr(v, method)(), getattr(n, method)())
    # Random values: the view's sums and extremes have the very bits of its contiguous copy's.
    (_, v), _ = pairs(name)
    c = v.copy()
    for method in ("sum", "mean", "max", "min", "prod"):
        assert_same_value(getattr(v, method)(), getattr(c, method)())
    assert_same_value(cv.sum(v), c.sum())


@pytest.mark.parametrize("fill", [np.nan, 0.0, -0.0], ids=["nan", "zero", "negative-zero"])
@pytest.mark.parametrize("name", ["transpose", "reversed", "3d"])
def test_extremes_keep_their_nan_and_zero_rules(name, fill):
    values = np.full(60_000, fill)
    values[::7] = -0.0 if fill == 0.0 else 0.0  # zeros of the other sign, the last one decides
    values[12_345] = 1.0 if np.isnan(fill) else values[12_345]
    (_, v), (_, n) = pairs(name, values=values)
    c = v.copy()
    for method in ("max", "min"):
        assert_same_value(getattr(v, method)(), getattr(c, method)())
        if np.isnan(fill):
            assert_same_value(getattr(v, method)(), getattr(n, method)())


INPLACE = {
    "iadd": lambda v, w: v.__iadd__(1.5), "imul-int": lambda v, w: v.__imul__(2),
    "ipow": lambda v, w: v.__ipow__(2.0), "itruediv": lambda v, w: v.__itruediv__(4.0),
    "iadd-array": lambda v, w: v.__iadd__(w), "isub-broadcast": lambda v, w: v.__isub__(w[..., :1]),
}


@each_view_and(INPLACE)
def test_inplace_operators_write_the_base(name, op, numpy_made):
    (b, v), (nb, n) = pairs(name, numpy_made=numpy_made)
    other = RNG.standard_normal(n.shape)
    assert INPLACE[op](v, cv.asarray(other)) is v
    INPLACE[op](n, other)
    assert_same_array(b, nb)
    assert_same_array(v.copy(), n.copy())


@pytest.mark.parametrize("name", ["transpose", "reversed", "stepped-columns"])
def test_a_view_sees_later_writes_to_its_base(name):
    (b, v), (nb, n) = pairs(name)
    first = v.sum()
    b *= 2.0
    nb *= 2.0
    assert_same_value(v + 1.0, n + 1.0)
    assert_same_value(v.copy(), n.copy())
    assert v.sum() != first
    # A write through a second view of the same base shows in the first.
    b[...] = 0.0
    b.T.__iadd__(3.0)
    assert_same_value(v.max(), np.float64(3.0))


def test_zero_stride_views_read_every_element():
    base = cv.asarray(NORMAL[:4_000].copy())
    n = as_strided(np.asarray(base), (50, 4_000), (0, 8))
    v = cv._view_of(base, n)
    assert v.strides == (0, 8)
    for fn in (lambda x: x.copy(), lambda x: x * 2.0, lambda x: -x, lambda x: x.max(), lambda x: x.min()):
        assert_same_value(fn(v), fn(n))
    assert_same_value(v.sum(), v.copy().sum())
    # The elements overlap: an in-place update takes the shadow's road, once per element.
    v += 1.0
    assert_same_array(base, NORMAL[:4_000] + 1.0)


@pytest.mark.parametrize("dtype", [np.int64, np.bool_], ids=["i8", "b"])
def test_other_element_kinds(dtype):
    values = (WHOLE % 7).astype(dtype)
    for name in ("transpose", "reversed", "stepped-columns"):
        differential(lambda xp: (lambda bv: (bv[1].copy(), bv[1] + 1.5, bv[1].sum(), -bv[1] if dtype is np.int64
                                             else ~bv[1]))(base_and_view(xp, name, values)))


# Views of several megabytes: many tiled blocks, whose lane sums overlap the next gather.
LARGE = {
    "transpose": ((800, 808), lambda b: b.T),
    "transpose-odd": ((810, 801), lambda b: b.T),
    "step-2": ((1_200_002,), lambda b: b[1::2]),
}


@pytest.mark.parametrize("name", list(LARGE))
def test_large_results_match_numpy(name):
    shape, make = LARGE[name]
    values = np.random.default_rng(7).standard_normal(shape)
    v, n = make(cv.asarray(values)), make(values)
    for fn in (lambda x: x.copy(), lambda x: x + 1.0, lambda x: x * 2.0, lambda x: x < 0.0):
        assert_same_value(fn(v), fn(n))
    assert_same_value(v.sum(), v.copy().sum())


# Views whose elements fill their memory going forward (transposes of whole arrays): from
# 256 elements their element-wise results keep the view's memory order, as NumPy's do.
def permuted(*axes):
    """The view with its axes in this order, made by NumPy and taken back for corvantile."""
    return lambda b: cv._view_of(b, np.asarray(b).transpose(axes)) if isinstance(b, cv.ndarray) else b.transpose(axes)


DENSE = {
    "transpose": ((40, 30), lambda b: b.T),
    "3d-reversed": ((6, 7, 9), lambda b: b.T),
    "3d-rolled": ((6, 7, 9), permuted(1, 2, 0)),
    "length-1-axes": ((40, 1, 30), permuted(1, 2, 0)),
}
KEEPING = {
    "add": lambda v: v + 1.0, "rsub": lambda v: 2.5 - v, "mul-int": lambda v: v * 3, "div": lambda v: v / 4.0,
    "neg": lambda v: -v, "abs": abs,
}


@pytest.mark.parametrize("op", list(KEEPING))
@pytest.mark.parametrize("name", list(DENSE))
def test_results_of_transposes_keep_numpys_layout_and_own_their_memory(name, op):
    shape, make = DENSE[name]
    values = NORMAL[: int(np.prod(shape))].reshape(shape)
    b, nb = cv.asarray(values.copy()), values.copy()
    r, w = KEEPING[op](make(b)), KEEPING[op](make(nb))
    assert_same_value(r, w, native=True)
    assert (r.strides, r.base, np.asarray(r).flags.f_contiguous) == (w.strides, None, w.flags.f_contiguous)
    # Writes to the result stay in it; further operations and reshapes see them.
    r[0] = 7.0
    w[0] = 7.0
    r += 1.0
    w += 1.0
    assert_same_array(b, values)
    for fn in (lambda x: x * 2.0, lambda x: x.reshape(-1), lambda x: x.T, lambda x: x[1:, ::2], lambda x: x.copy()):
        assert_same_value(fn(r), fn(w))
    assert_same_value(r.sum(), r.copy().sum())
    differential(lambda xp: setattr(r if xp is cv else w, "shape", (-1,)))


@pytest.mark.parametrize("dtype", [np.int64, np.bool_], ids=["i8", "b"])
def test_other_kinds_keep_the_layout_too(dtype):
    values = (WHOLE[:1200] % 7).astype(dtype).reshape(30, 40)
    neg = (lambda x: -x) if dtype is np.int64 else (lambda x: ~x)
    r, w = neg(cv.asarray(values).T), neg(values.T)
    assert_same_value(r, w, native=True)
    assert (r.strides, r.base) == (w.strides, None)


# Passes in place split where the memory reaches a 64-byte line: slices starting at every
# element of a line, of lengths around the size from which they split, touch exactly their
# own elements.
@pytest.mark.parametrize("length", [63, 64, 65, 1000])
@pytest.mark.parametrize("start", range(9))
def test_inplace_passes_on_slices_at_every_offset_into_a_line(start, length):
    def run(xp):
        base = xp.asarray(NORMAL[:1_100].copy())
        s = base[start:start + length]
        s += 1.5
        s *= xp.asarray(WHOLE[:length])
        return base
    differential(run)


# Contiguous rows short enough to be copied together into blocks rather than read one by
# one: widths around the bounds for 8-byte elements (32) and bytes (511), and the inline
# copy's pieces (32, 64 bytes, 512 in all), rows starting off a line.
SHORT_ROWS = {
    "f8": (np.float64, [16, 17, 31, 32, 33, 65]),
    "i8": (np.int64, [16, 32, 33, 64]),
    "b": (np.bool_, [16, 31, 32, 63, 64, 65, 200, 511, 512, 513]),
}
SHORT_ROW_OPS = {
    "map": lambda xp, v, u: xp.isnan(v) if v.dtype == np.float64 else (-v if v.dtype == np.int64 else ~v),
    "cast": lambda xp, v, u: v.astype("float64" if v.dtype != np.float64 else "int64"),
    "zip": lambda xp, v, u: v + u if v.dtype != np.bool_ else v & u,
    "compare": lambda xp, v, u: v > u,
    "with-contiguous": lambda xp, v, u: v == u.copy(),
    "where": lambda xp, v, u: xp.where(v > u, v, u),
    "sum": lambda xp, v, u: v.sum(),
    "copy": lambda xp, v, u: v.copy(),
    "concatenate": lambda xp, v, u: xp.concatenate([v, u]),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NaN cast to int64, on NumPy's side
@pytest.mark.parametrize("op", list(SHORT_ROW_OPS))
@pytest.mark.parametrize("kind", list(SHORT_ROWS))
def test_short_contiguous_rows_copied_together(kind, op):
    dtype, widths = SHORT_ROWS[kind]
    for width in widths:
        rows = max(3, 20_000 // width)
        base = (WHOLE[:2 * rows * (width + 3)] % 50).reshape(2 * rows, width + 3)
        if dtype is np.bool_:
            base = base > 20
        base = base.astype(dtype)
        if dtype is np.float64:
            base[::7, ::5] = np.nan
        # The rows read backward: a zip walks them forward and writes its result backward.
        for view in (lambda b: b[:rows, 1:-2], lambda b: b[rows - 1::-1, 1:-2], lambda b: b[rows::-1],
                     lambda b: b.reshape(2, rows, -1)[:, ::2, 2:-1]):
            differential(lambda xp: SHORT_ROW_OPS[op](xp, view(xp.asarray(base)), view(xp.asarray(base[::-1].copy()))))


# Runs of elements five or more apart, gathered four a round from offsets of the round's
# address: lengths about the round, steps either way, huge; every operation of the table.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NaN cast to int64, on NumPy's side
@pytest.mark.parametrize("step", [5, -5, 7, -33, 1000])
@pytest.mark.parametrize("n", [1, 3, 4, 5, 7, 1023, 1026])
@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.bool_], ids=["f8", "i8", "b"])
def test_far_apart_runs_gathered(dtype, n, step):
    base = WHOLE[: n * abs(step)] % 50
    base = base > 20 if dtype is np.bool_ else base.astype(dtype)
    if dtype is np.float64:
        base[::3] = np.nan
    for op in SHORT_ROW_OPS.values():
        differential(lambda xp: op(xp, xp.asarray(base)[::step][:n], xp.asarray(base[::-1].copy())[::step][:n]))


# Runs of every third or fourth 8-byte element, gathered by loads that start on a vector
# boundary once one is reached: each start within a line, lengths about the vector and
# its loose ends.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NaN cast to int64, on NumPy's side
@pytest.mark.parametrize("step", [3, 4])
@pytest.mark.parametrize("dtype", [np.float64, np.int64], ids=["f8", "i8"])
def test_stepped_runs_gathered_from_every_start(dtype, step):
    base = (WHOLE[:6000] % 50).astype(dtype)
    if dtype is np.float64:
        base[::7] = np.nan
    other = base[::-1].copy()
    ops = [SHORT_ROW_OPS[k] for k in ("copy", "cast", "zip", "where", "concatenate")]
    for start in range(9):
        for n in (32, 33, 39, 40, 41, 47, 1029):
            for op in ops:
                differential(lambda xp: op(xp, xp.asarray(base)[start::step][:n], xp.asarray(other)[start::step][:n]))
