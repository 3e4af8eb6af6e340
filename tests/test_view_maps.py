"""Maps, copies and selection of strided views read where their elements lie: a differential
table of families x view kinds x element kinds x sizes around the walk's block sizes, with
the memory order of element-wise results where NumPy's is observable."""

import warnings

import numpy as np
import pytest

import corvantile as cv
from conftest import LIBRARY_ULPS, assert_same_array, assert_same_value, differential, run

# View sizes around IN_PLACE_FROM (16), KEEP_ORDER_FROM (256) and the walk's BLOCK (8192).
SIZES = {8: (2, 4), 15: (3, 5), 16: (4, 4), 255: (15, 17), 256: (16, 16), 300: (12, 25), 8190: (90, 91),
         8192: (64, 128), 9000: (90, 100)}
HUGE = 1 << 62
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def strided(b, shape, strides):
    """NumPy's view of b's memory under shape and byte strides (b: a NumPy array)."""
    return np.lib.stride_tricks.as_strided(b, shape=shape, strides=strides)


def numpy_made(make):
    """A view made by NumPy over the base's memory, taken back as a corvantile view."""
    return lambda b, p, q: cv._view_of(b, make(np.asarray(b), p, q)) if isinstance(b, cv.ndarray) else make(b, p, q)


# kind -> (base shape from the view's (p, q), view of the base with p * q elements).
KINDS = {
    "transpose": (lambda p, q: (q, p), lambda b, p, q: b.T),
    "reversed": (lambda p, q: (p * q,), lambda b, p, q: b[::-1]),
    "stepped": (lambda p, q: (2 * p * q,), lambda b, p, q: b[1::2]),
    "column-block": (lambda p, q: (p, q + 3), lambda b, p, q: b[:, 2:-1]),
    "both-reversed": (lambda p, q: (p, q), lambda b, p, q: b[::-1, ::-1]),
    "permuted-3d": (lambda p, q: (q, 1, p), numpy_made(lambda b, p, q: b.transpose(2, 1, 0))),
    "view-of-view": (lambda p, q: (2 * q, p), lambda b, p, q: b[::2].T[::-1]),
    "transposed-stepped": (lambda p, q: (p, 2 * q), lambda b, p, q: b.T[::2]),
    "zero-stride": (lambda p, q: (q,), numpy_made(lambda b, p, q: strided(b, (p, q), (0, b.itemsize)))),
    "huge-stride": (lambda p, q: (q, p), numpy_made(lambda b, p, q: strided(b, (p, 1, q), (b.itemsize, HUGE, b.strides[0])))),
    "numpy-transpose": (lambda p, q: (q, p), numpy_made(lambda b, p, q: b.T)),
}
# Kinds whose element-wise results NumPy lays out as corvantile does from KEEP_ORDER_FROM
# elements (in the view's memory order, or C order where that is NumPy's too).
SAME_ORDER = {"transpose", "reversed", "stepped", "column-block", "both-reversed", "permuted-3d", "huge-stride",
              "numpy-transpose", "zero-stride", "transposed-stepped", "view-of-view"}
DTYPES = [np.float64, np.int64, np.bool_]


def values(n, dtype):
    rng = np.random.default_rng(n)
    x = rng.standard_normal(n) * 4
    x[::7] = -0.0
    x[::11] = np.nan
    x[::13] = np.inf
    x[::17] = -np.inf
    if dtype is np.float64:
        return x
    if dtype is np.int64:
        return np.nan_to_num(x, nan=3, posinf=9, neginf=-9).astype(np.int64)
    return x > 0


def pair(kind, size, dtype):
    """(corvantile view, NumPy view) of the same values."""
    shape_of, make = KINDS[kind]
    shape = shape_of(*SIZES[size])
    base = values(int(np.prod(shape)), dtype).reshape(shape)
    cv_base, np_base = cv.asarray(base.copy()), base.copy()
    v, w = make(cv_base, *SIZES[size]), make(np_base, *SIZES[size])
    assert isinstance(v, cv.ndarray) and v.size == size
    return v, w


def check(fn, v, w, order=False, ulps=0):
    got, want = run(lambda xp: fn(xp, v), cv), run(lambda xp: fn(xp, w), np)
    if want[0] == "raise" or got[0] == "raise":
        assert (got[0], type(got[1]), str(got[1])) == (want[0], type(want[1]), str(want[1]))
        return
    assert_same_value(got[1], want[1], ulps=ulps)
    if ulps:
        # Against NumPy within an ulp; against the same function of a contiguous copy exactly.
        assert_same_value(got[1], np.asarray(fn(cv, v.copy())))
    if order and isinstance(want[1], np.ndarray):
        g, x = np.asarray(got[1]), want[1]
        long = [k for k in range(x.ndim) if x.shape[k] > 1]
        assert [g.strides[k] for k in long] == [x.strides[k] for k in long], (g.strides, x.strides)


# Computed through the C library (see conftest.LIBRARY_ULPS).
LIBRARY = {"exp"}
MAPS = {
    "sqrt": lambda xp, v: xp.sqrt(v),
    "exp": lambda xp, v: xp.exp(v),
    "floor": lambda xp, v: xp.floor(v),
    "negative": lambda xp, v: xp.negative(v),
    "isnan": lambda xp, v: xp.isnan(v),
    "isfinite": lambda xp, v: xp.isfinite(v),
    "isinf": lambda xp, v: xp.isinf(v),
    "signbit": lambda xp, v: xp.signbit(v),
    "as-int64": lambda xp, v: v.astype("int64"),
    "as-float64": lambda xp, v: v.astype("float64"),
    "as-bool": lambda xp, v: v.astype(bool),
    "clip": lambda xp, v: v.clip(-1.5, 2.0),
    "clip-low": lambda xp, v: v.clip(0.5, None),
    "round": lambda xp, v: v.round(),
    "round-1": lambda xp, v: v.round(1),
    "abs": lambda xp, v: abs(v),
    "abs-function": lambda xp, v: xp.abs(v),
    "neg": lambda xp, v: -v,
    "pos": lambda xp, v: +v,
    "invert": lambda xp, v: ~v,
}

COPIES = {
    "copy": lambda xp, v: v.copy(),
    "ravel": lambda xp, v: v.ravel(),
    "flatten": lambda xp, v: v.flatten(),
    "reshape": lambda xp, v: v.reshape(-1),
    "reshape-2": lambda xp, v: v.reshape(2, -1),
    "concatenate": lambda xp, v: xp.concatenate([v, v]),
    "concatenate-last": lambda xp, v: xp.concatenate([v, v[..., :1]], axis=-1),
    "concatenate-flat": lambda xp, v: xp.concatenate([v, v], axis=None),
    "concatenate-mixed": lambda xp, v: xp.concatenate([xp.asarray(np.asarray(v).copy()), v]),
    "stack": lambda xp, v: xp.stack([v, v]),
    "stack-last": lambda xp, v: xp.stack([v, v], axis=-1),
    "stack-middle": lambda xp, v: xp.stack([v, v[::-1]], axis=1),
    "nonzero": lambda xp, v: v.nonzero(),
    "mask": lambda xp, v: v[xp.asarray(np.arange(v.size).reshape(v.shape) % 3 == 0)],
    "rows": lambda xp, v: v[xp.asarray(np.array([0, -1, 1, 0], dtype=np.int64) % v.shape[0])],
    "row-out-of-range": lambda xp, v: v[xp.asarray(np.array([0, v.shape[0]], dtype=np.int64))],
    "sort": lambda xp, v: xp.sort(v.ravel()[::-1]),
    "copy-module": lambda xp, v: __import__("copy").copy(v),
}


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", MAPS)
def test_maps_of_views(name, kind, size, dtype):
    v, w = pair(kind, size, dtype)
    # NumPy's casts put a zero-stride axis innermost; corvantile's keep C order there.
    same_order = kind in SAME_ORDER and not (name.startswith("as-") and kind == "zero-stride")
    check(MAPS[name], v, w, order=size >= 256 and same_order, ulps=LIBRARY_ULPS if name in LIBRARY else 0)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("size", [8, 16, 256, 8192, 9000])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", COPIES)
def test_copies_and_selection_of_views(name, kind, size, dtype):
    v, w = pair(kind, size, dtype)
    # NumPy lays a join out in the memory order its items share.
    joined = name.startswith(("concatenate", "stack"))
    check(COPIES[name], v, w, order=size >= 256 and joined and kind in SAME_ORDER)


@pytest.mark.parametrize("kind", ["transpose", "stepped", "view-of-view", "huge-stride"])
def test_single_elements_and_failed_casts(kind):
    v, w = pair(kind, 8190, np.float64)
    one_v, one_w = v[tuple(slice(n // 2, n // 2 + 1) for n in v.shape)], w[tuple(slice(n // 2, n // 2 + 1) for n in w.shape)]
    for fn in (bool, lambda x: x.ravel(), lambda x: -x):
        differential(lambda xp: fn(one_v if xp is cv else one_w))
    # NaN cannot become int64: NumPy's cast (its warning and value) rather than a native one.
    with np.errstate(invalid="ignore"):
        differential(lambda xp: (v if xp is cv else w).astype(np.int64))


@pytest.mark.parametrize("kind", ["transpose", "stepped", "both-reversed", "numpy-transpose"])
@pytest.mark.parametrize("size", [8, 300, 9000])
def test_results_do_not_share_or_change_the_base(kind, size):
    v, w = pair(kind, size, np.float64)
    before = np.asarray(v).copy()
    for fn in (MAPS["sqrt"], MAPS["as-int64"], MAPS["isnan"], COPIES["ravel"], COPIES["concatenate"]):
        with np.errstate(invalid="ignore"):
            r = fn(cv, v)
        assert not np.shares_memory(np.asarray(r), np.asarray(v))
        np.asarray(r)[...] = 0
    assert_same_array(v, before)


@pytest.mark.parametrize("kind", ["transpose", "stepped", "column-block", "view-of-view", "numpy-transpose"])
@pytest.mark.parametrize("size", [8, 16, 300, 9000])
def test_selection_writes_reach_the_base(kind, size):
    shape_of, make = KINDS[kind]
    base = values(int(np.prod(shape_of(*SIZES[size]))), np.float64).reshape(shape_of(*SIZES[size]))
    cb, nb = cv.asarray(base.copy()), base.copy()
    v, w = make(cb, *SIZES[size]), make(nb, *SIZES[size])
    mask = np.arange(w.size).reshape(w.shape) % 4 == 1
    v[cv.asarray(mask)] = 7.5
    w[mask] = 7.5
    v[(0,) * v.ndim] = -1.0
    w[(0,) * w.ndim] = -1.0
    rows = np.array([0, w.shape[0] - 1], dtype=np.int64)
    v[cv.asarray(rows)] = 2.0
    w[rows] = 2.0
    assert_same_array(cb, nb)
    assert_same_array(v, w)
    # A later native read of the view sees the writes.
    assert_same_array(v.ravel(), w.ravel())
    assert_same_array(cv.sqrt(v), np.sqrt(w))


@pytest.mark.parametrize("dtype", [np.float64, np.int64], ids=["float64", "int64"])
@pytest.mark.parametrize("size", [8, 16, 300, 9000])
@pytest.mark.parametrize("make", [lambda b: b[::-1], lambda b: b[1::3], lambda b: b.reshape(-1, 2).T[1]],
                         ids=["reversed", "stepped", "transposed-row"])
def test_sort_input_of_views(make, size, dtype):
    # Distinct values, so that every sort order is the same.
    base = np.random.default_rng(size).permutation(3 * size).astype(dtype) - size
    v, w = make(cv.asarray(base.copy())), make(base.copy())
    differential(lambda xp: xp.sort(v if xp is cv else w))
    differential(lambda xp: (v if xp is cv else w).argsort())
    differential(lambda xp: xp.argsort(v if xp is cv else w))


def test_fill_of_a_view_writes_the_base():
    cb, nb = cv.asarray(values(9000, np.float64).reshape(90, 100)), values(9000, np.float64).reshape(90, 100)
    cb.T[::2].fill(3.0)
    nb.T[::2].fill(3.0)
    assert_same_array(cb, nb)


# float64 -> int64 edge values: exact halves and neighbours of 2^31, 2^32, 2^52, 2^53, the
# largest values cast natively (below 9.2e18), zeros, subnormals.
CAST_EDGES = [0.0, -0.0, 0.5, -0.5, 0.9999999999999999, -1.5, 2.5, 5e-324, -5e-324, 2.0**31 - 0.5, -(2.0**31) - 0.5,
              2.0**32 - 0.5, 2.0**32 + 0.5, -(2.0**32) - 1.5, 2.0**51 - 0.5, -(2.0**51) + 0.5, 2.0**51 + 1,
              2.0**52 - 0.5, 2.0**52 + 1, -(2.0**52) - 2, 2.0**53 - 1, 2.0**53 + 2, -(2.0**53), 2.0**62 + 2.0**10,
              9.199999999999999e18, -9.199999999999999e18, 123456789.987654321, -987654321012.75]
# Each forces NumPy's cast (and its warning) for the whole array.
CAST_OUTSIDE = [np.nan, np.inf, -np.inf, 2.0**63, -(2.0**63), 9.2e18, -9.2e18, 1e300]


@pytest.mark.parametrize("size", [8, 16, 256, 8192, 9000])
@pytest.mark.parametrize("kind", ["contiguous", "transpose", "reversed", "transposed-stepped", "view-of-view"])
@pytest.mark.parametrize("outside", [None] + CAST_OUTSIDE, ids=repr)
def test_float_to_int_casts_at_the_edges(outside, kind, size):
    x = np.resize(np.array(CAST_EDGES), size)
    x[::3] = -x[::3]
    y = x[1::5]
    x[1::5] = np.where(np.abs(y) < 2.0**51, y * np.linspace(0.25, 3.75, len(y)), y)
    if outside is not None:
        x[size // 2] = outside
    if kind == "contiguous":
        v, w = cv.asarray(x.copy()), x.copy()
    else:
        shape_of, make = KINDS[kind]
        base = np.zeros(shape_of(*SIZES[size]))
        w = make(base, *SIZES[size])
        w[...] = x.reshape(w.shape)
        v = make(cv.asarray(base), *SIZES[size])
    with np.errstate(invalid="ignore"):
        check(lambda xp, a: a.astype(np.int64), v, w, order=size >= 256 and kind != "view-of-view")
    assert warnings_of(lambda: v.astype(np.int64)) == warnings_of(lambda: w.astype(np.int64))


def warnings_of(fn):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fn()
    return [(w.category, str(w.message)) for w in caught]


# int64 -> float64 rounds to nearest (ties to even) from 2^53 on.
INT_EDGES = [0, 1, -1, 2**31 - 1, -(2**31), 2**32 + 1, 2**52 + 1, 2**53 - 1, 2**53 + 1, -(2**53) - 1, 2**53 + 3,
             2**62 + 2**9, 2**62 + 2**9 + 1, 2**62 + 3 * 2**9, 2**63 - 1, -(2**63), -(2**63) + 1, 123456789012345679]


@pytest.mark.parametrize("size", [8, 16, 256, 9000])
@pytest.mark.parametrize("kind", ["contiguous", "transpose", "reversed", "stepped", "transposed-stepped", "view-of-view"])
@pytest.mark.parametrize("name", ["as-float64", "sqrt"])
def test_int_to_float_at_the_edges(name, kind, size):
    x = np.resize(np.array(INT_EDGES, dtype=np.int64), size)
    x[::7] = np.arange(len(x[::7])) * -(2**40 + 1)
    if kind == "contiguous":
        v, w = cv.asarray(x.copy()), x.copy()
    else:
        shape_of, make = KINDS[kind]
        base = np.zeros(shape_of(*SIZES[size]), dtype=np.int64)
        w = make(base, *SIZES[size])
        w[...] = x.reshape(w.shape)
        v = make(cv.asarray(base), *SIZES[size])
    check(MAPS[name], v, w, order=size >= 256)


# Views gathered block by block for the cast and test kernels: 1-D steps around the gathered
# block (1024), tiles of rows around eight rows of 128 and 1024 elements, rows left over.
BLOCK_SHAPES = [(1023, 1), (1024, 1), (1025, 1), (683, 3), (129, 9), (127, 17), (1100, 20)]
# All truncated by the fast route (below 2^51), then values past it, one per case.
FAST_EDGES = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 0.9999999999999999, -0.9999999999999999, 1.5,
              -2.5, 2.0**51 - 0.5, -(2.0**51) + 0.5, 2.0**51 - 1, -(2.0**51) + 1, 2.0**50 + 0.75, -(2.0**50) - 0.25]
PAST_FAST = [None, 2.0**51, -(2.0**51), 2.0**51 + 0.5, -(2.0**51) - 0.5, 2.0**52 - 0.5, 2.0**52, 2.0**53 + 2,
             -(2.0**62), 9.199999999999999e18, np.nan, -np.inf, 2.0**63]


def block_pair(kind, p, q, x):
    """(corvantile view, NumPy view) of kind, with p * q elements holding x."""
    shape_of, make = KINDS[kind]
    base = np.zeros(shape_of(p, q), dtype=x.dtype)
    w = make(base, p, q)
    w[...] = x.reshape(w.shape)
    return make(cv.asarray(base), p, q), w


@pytest.mark.parametrize("past", PAST_FAST, ids=repr)
@pytest.mark.parametrize("where", ["first", "middle", "last"])
@pytest.mark.parametrize("shape", BLOCK_SHAPES, ids=str)
@pytest.mark.parametrize("kind", ["stepped", "transposed-stepped", "view-of-view", "transpose"])
def test_float_to_int_casts_by_blocks(kind, shape, where, past):
    p, q = shape if kind == "stepped" or shape[1] > 1 else shape[::-1]
    x = np.resize(np.array(FAST_EDGES), p * q) * np.resize([1.0, -1.0, 1.0], p * q)
    if past is not None:
        x[{"first": 0, "middle": p * q // 2, "last": -1}[where]] = past
    v, w = block_pair(kind, p, q, x)
    with np.errstate(invalid="ignore"):
        check(lambda xp, a: a.astype(np.int64), v, w, order=kind != "view-of-view")
    assert warnings_of(lambda: v.astype(np.int64)) == warnings_of(lambda: w.astype(np.int64))


@pytest.mark.parametrize("shape", BLOCK_SHAPES, ids=str)
@pytest.mark.parametrize("kind", ["stepped", "transposed-stepped", "view-of-view", "reversed"])
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("name", ["isnan", "signbit", "as-int64", "as-float64", "as-bool", "sqrt"])
def test_maps_of_views_by_blocks(name, dtype, kind, shape):
    p, q = shape if kind == "stepped" or shape[1] > 1 else shape[::-1]
    v, w = block_pair(kind, p, q, values(p * q, dtype))
    check(MAPS[name], v, w, order=kind != "view-of-view", ulps=LIBRARY_ULPS if name in LIBRARY else 0)


@pytest.mark.parametrize("n", [256, 1023, 1024, 1025, 3000])
@pytest.mark.parametrize("make", [lambda b: b[::2], lambda b: b[1::2], lambda b: b.reshape(-1, 2)[:, 1:], lambda b: b[::-2]],
                         ids=["even", "odd", "column", "reversed"])
@pytest.mark.parametrize("name", ["isnan", "isfinite", "isinf", "signbit"])
def test_float_tests_of_every_other_element(name, make, n):
    x = values(2 * n, np.float64)
    x[[0, 1, -2, -1]] = [np.nan, -np.inf, -0.0, np.nan]
    check(MAPS[name], make(cv.asarray(x.copy())), make(x.copy()), order=True)


# Float tests of every k-th float64, read in place for k up to 4 and back (5: gathered):
# runs from the base's first element and to its last, forward and back, lengths about the
# kernel's blocks of 64.
@pytest.mark.parametrize("n", [2, 63, 64, 65, 66, 129, 1023, 1025, 3001])
@pytest.mark.parametrize("k", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("name", ["isnan", "isfinite", "isinf", "signbit"])
def test_float_tests_of_every_kth_element(name, k, n):
    x = values(k * n, np.float64)
    x[[0, 1, -2, -1]] = [np.nan, -np.inf, -0.0, np.nan]
    for make in (lambda b: b[::k], lambda b: b[k - 1::k], lambda b: b[::-k], lambda b: b[-2::-k],
                 lambda b: b[k * (n - 1)::-k]):
        check(MAPS[name], make(cv.asarray(x.copy())), make(x.copy()), order=True)


# Runs long enough (over a megabyte) to be read from the first element whose vector can
# start on a vector boundary: every start within a line, the parts before and after it.
@pytest.mark.parametrize("k", [2, 3, 4])
def test_float_tests_of_long_runs_from_every_start(k):
    n = (1 << 20) // (8 * k) + 77
    x = values(k * n + 16, np.float64)
    x[: 16 * k + 16] = [np.nan, -np.inf, -0.0, 1.0] * (4 * k + 4)
    x[-k * 40:] = [-np.inf, np.nan, -0.0, 2.0] * (10 * k)
    ours = cv.asarray(x.copy())
    for start in range(9):
        for name in ("isnan", "signbit"):
            check(MAPS[name], ours[start::k][:n], x[start::k][:n], order=True)


# Casts to int64 of long runs of every other float64 (over a megabyte), from each start
# within a line: the part before the first load from a boundary and the part after, a
# value out of range in either.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NaN cast to int64, on NumPy's side
@pytest.mark.parametrize("bad", [None, 1, -3, -21])
def test_casts_of_long_runs_from_every_start(bad):
    n = (1 << 20) // 16 + 77
    x = np.round(values(2 * n + 16, np.float64) * 1e6)
    x[~np.isfinite(x)] = -3.5e15
    if bad is not None:
        x[bad] = np.nan
    ours = cv.asarray(x.copy())
    for start in range(9):
        check(lambda xp, v: v.astype("int64"), ours[start::2][:n], x[start::2][:n])


def _factor(n):
    return 4 if n % 4 == 0 else 1


# Views over every other float64 of a stretch (n elements of x[:2n]), some ending at the
# base's last element, others stepping back; lengths around the vector blocks of the tests
# (32 a block) and of the casts (8 a pass).
EVERY_OTHER = {
    "even-to-end": lambda x, n: x[: 2 * n - 1][::2],
    "odd": lambda x, n: x[: 2 * n][1::2],
    "backward": lambda x, n: x[: 2 * n - 1][::-2],
    "stepped-reversed": lambda x, n: x[: 2 * n][::2][::-1],
    "column-step": lambda x, n: x[: 2 * n].reshape(-1, 2 * _factor(n))[:, 1::2],
    "transposed-stepped": lambda x, n: x[: 2 * n].reshape(_factor(n), -1).T[::2],
}
EVERY_OTHER_SIZES = [16, 17, 31, 32, 33, 40, 64, 65, 96, 257, 1028, 4099]


@pytest.mark.parametrize("n", EVERY_OTHER_SIZES)
@pytest.mark.parametrize("make", EVERY_OTHER)
@pytest.mark.parametrize("name", ["isnan", "isfinite", "isinf", "signbit", "as-int64"])
def test_every_other_element_in_place(name, make, n):
    x = values(2 * n, np.float64)
    if name == "as-int64":
        x = np.resize(np.array(FAST_EDGES), 2 * n) * np.resize([1.0, -1.0, 1.0], 2 * n)
    x[[0, -1]] = [-0.0, np.nan] if name != "as-int64" else [-2.5, 2.0**51 + 0.5]
    v, w = EVERY_OTHER[make](cv.asarray(x.copy()), n), EVERY_OTHER[make](x.copy(), n)
    check(MAPS[name], v, w, order=n >= 256)


@pytest.mark.parametrize("where", [0, 31, 32, -9, -1])
@pytest.mark.parametrize("outside", [np.nan, -np.inf, 9.2e18, 2.0**63], ids=repr)
@pytest.mark.parametrize("make", EVERY_OTHER)
def test_every_other_element_cast_outside_int64(make, outside, where):
    x = np.resize(np.array(CAST_EDGES), 2 * 300)
    w = EVERY_OTHER[make](x, 300)
    w[np.unravel_index(where % w.size, w.shape)] = outside
    v = EVERY_OTHER[make](cv.asarray(x.copy()), 300)
    with np.errstate(invalid="ignore"):
        check(lambda xp, a: a.astype(np.int64), v, w, order=True)
    assert warnings_of(lambda: v.astype(np.int64)) == warnings_of(lambda: w.astype(np.int64))


@pytest.mark.parametrize("n", EVERY_OTHER_SIZES)
@pytest.mark.parametrize("make", EVERY_OTHER)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("name", ["copy", "ravel", "as-same"])
def test_every_other_element_copied(name, dtype, make, n):
    # Copies, and casts to the view's own kind, of every other element either way.
    fn = (lambda xp, v: v.astype(np.dtype(dtype).name)) if name == "as-same" else COPIES[name]
    x = values(2 * n, dtype)
    v, w = EVERY_OTHER[make](cv.asarray(x.copy()), n), EVERY_OTHER[make](x.copy(), n)
    check(fn, v, w, order=n >= 256 and name == "as-same")


# Past a few megabytes the cast writes its result in small parts, each of which may read one
# element beyond its own run; the run's two ends and the parts' joins hold the odd values.
@pytest.mark.parametrize("outside", [None, 0, 63, 64, -64, -1], ids=repr)
@pytest.mark.parametrize("make", ["even-to-end", "odd", "backward", "stepped-reversed", "reversed"])
def test_every_other_element_cast_of_a_long_view(make, outside):
    n = (1 << 20) + 37
    x = np.resize(np.array(FAST_EDGES + CAST_EDGES), 2 * n) * np.resize([1.0, -1.0, 1.0, 1.0, -1.0], 2 * n)
    form = (lambda b, n: b[n - 3 : 2 * n - 3][::-1]) if make == "reversed" else EVERY_OTHER[make]
    w = form(x, n)
    if outside is not None:
        w[outside] = np.nan
    v = form(cv.asarray(x.copy()), n)
    with np.errstate(invalid="ignore"):
        check(lambda xp, a: a.astype(np.int64), v, w, order=True)
    assert warnings_of(lambda: v.astype(np.int64)) == warnings_of(lambda: w.astype(np.int64))
