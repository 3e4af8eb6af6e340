"""Every kernel family over every kind of view, against NumPy: maps, zips, folds, copies,
selection and sorting, for float64, int64 and bool, at sizes on either side of the sizes where
the kernels change their road (16 elements: small views read their shadow; 256: results keep
a transpose's layout; 8192: one gathered block; the 8-lane sums). Also overlapping operands,
in-place updates of one view of a base by another, zero, negative and huge strides, and views
of memory NumPy owns. Float sums keep a fixed order of additions: there a view must give the
bits its contiguous copy gives."""

import numpy as np
import pytest

import corvantile as cv
from conftest import LIBRARY_ULPS, assert_same_array, assert_same_outcome, run


def align(got, want):
    """got with its 0-d arrays made scalars where NumPy gives a scalar (corvantile gives a
    reduction to no axis, x.sum(axis=0) of one axis say, as a 0-d array)."""
    if isinstance(got, cv.ndarray) and got.ndim == 0 and isinstance(want, np.generic):
        return np.asarray(got)[()]
    if type(got) in (tuple, list) and type(want) is type(got) and len(got) == len(want):
        return type(got)(align(g, w) for g, w in zip(got, want))
    return got


def differential(fn, ulps=0):
    """fn(xp) for corvantile and NumPy: the same values, or the same error."""
    got, want = run(fn, cv), run(fn, np)
    assert_same_outcome((got[0], align(got[1], want[1])), want, ulps=ulps)


def outcome(fn):
    try:
        return fn()
    except Exception as e:  # noqa: BLE001 - the error is the outcome compared
        return type(e).__name__, str(e)


# size -> (length of a 1-D view, shape of a 2-D view, shape of a 3-D view)
SIZES = {
    "8": (8, (2, 4), (2, 2, 2)),
    "15": (15, (3, 5), (3, 1, 5)),
    "16": (16, (4, 4), (2, 2, 4)),
    "17": (17, (3, 6), (3, 2, 3)),
    "255": (255, (15, 17), (3, 5, 17)),
    "256": (256, (16, 16), (4, 8, 8)),
    "257": (257, (9, 29), (4, 8, 9)),
    "8191": (8191, (91, 90), (20, 21, 19)),
    "8192": (8192, (64, 128), (16, 16, 32)),
    "8193": (8193, (9, 1025), (17, 23, 21)),
    "20001": (20001, (131, 157), (31, 29, 23)),
}
# Past the size below which a variance copies every view: there only the views read through a
# buffer are copied, the others walked twice.
LARGE_SIZES = {"70001": (70001, (263, 271), (41, 43, 41))}
SMALL_SIZES = ["8", "16", "17", "257"]


def as_strided(b, shape, strides):
    return np.lib.stride_tricks.as_strided(b, shape=shape, strides=strides)


def numpy_view(make):
    """A view corvantile cannot slice (as_strided, transpose with axes): NumPy's view of the
    base, taken back as a corvantile view."""
    def view(b):
        if isinstance(b, cv.ndarray):
            v = cv._view_of(b, make(np.asarray(b)))
            assert v is not None
            return v
        return make(b)
    return view


def kinds(size):
    """kind -> (base shape, view of a base); "pair" is two overlapping views of one base."""
    n, (r, c), (p, q, s) = (SIZES | LARGE_SIZES)[size]
    return {
        "transpose": ((c, r), lambda b: b.T),
        "reversed": ((n,), lambda b: b[::-1]),
        "stepped": ((2 * n + 1,), lambda b: b[1::2]),
        "stepped-back": ((3 * n,), lambda b: b[::-3]),
        "column-block": ((r, c + 3), lambda b: b[:, 1:c + 1]),
        "short-rows": ((-(-n // 3), 5), lambda b: b[:, 1:4]),  # rows of a few elements go in blocks of many
        "short-rows-back": ((-(-n // 2), 7), lambda b: b[::-1, ::-4]),
        # stepped rows of a few dozen elements: in blocks of many alone, one-byte ones in zips too
        "medium-rows": ((-(-n // 40), 80), lambda b: b[::-1, ::2]),
        "medium-rows-3": ((-(-n // 100), 300), lambda b: b[:, ::-3]),
        "transpose-3d": ((s, q, p), lambda b: b.T),
        "permuted-3d": ((p, q, s), numpy_view(lambda b: b.transpose(2, 0, 1))),
        "view-of-view": ((c, 2 * r), lambda b: b.T[::2]),
        "view-of-view-1d": ((2 * n,), lambda b: b[::2][::-1]),
        "reversed-2d": ((r, c), lambda b: b[::-1, ::-1]),
        "huge-step": ((3, n), lambda b: b[::10**6, ::-1]),  # a length-1 axis with a huge step
        "huge-stride": ((r, c), numpy_view(lambda b: as_strided(b, (c, 1, r), (b.strides[1], 2**62, b.strides[0])))),
        "zero-stride": ((c,), numpy_view(lambda b: as_strided(b, (r, c), (0, b.strides[0])))),
        "numpy-made": ((r, c + 1), numpy_view(lambda b: b[:, ::-1][:, 1:].T)),
        "pair": ((n + 1,), None),
    }


KIND_NAMES = list(kinds("8"))
F, I, B = np.float64, np.int64, np.bool_


def values(shape, dtype, seed, negative_zero=False, nan=False):
    """Whole numbers, so that every order of additions gives the same float sum."""
    rng = np.random.default_rng(seed)
    if dtype is B:
        return rng.random(shape) < 0.5
    v = rng.integers(-40, 40, shape)
    if dtype is I:
        return v
    v = v.astype(F)
    if negative_zero:
        v[(v == 0) & (rng.random(shape) < 0.5)] = -0.0
    if nan:
        pick = rng.random(shape)
        v[pick < 0.03] = np.nan
        v[(pick > 0.03) & (pick < 0.05)] = np.inf
        v[(pick > 0.05) & (pick < 0.07)] = -np.inf
    return v


def distinct(shape, dtype, seed):
    """No ties (equal keys may sort either way), NaN among the floats."""
    if dtype is B:
        return values(shape, B, seed)
    v = np.random.default_rng(seed).permutation(int(np.prod(shape))).reshape(shape) - 99
    if dtype is F:
        v = v.astype(F)
        v.flat[::13] = np.nan
    return v


# Negative zeros only where no order of reading decides a zero's sign (element-wise results).
DATA = {
    "whole": values,
    "signed": lambda shape, dtype, seed: values(shape, dtype, seed, negative_zero=True),
    "special": lambda shape, dtype, seed: values(shape, dtype, seed, negative_zero=True, nan=True),
    "extreme": lambda shape, dtype, seed: values(shape, dtype, seed, nan=True),
    "distinct": distinct,
}


def operands(xp, kind, size, dtype, data=values):
    """x and y, views of the given kind (of one base for "pair"), and c, a bool view like x."""
    base_shape, make = kinds(size)[kind]
    if kind == "pair":
        a, k = xp.asarray(data(base_shape, dtype, 1)), xp.asarray(values(base_shape, B, 3))
        return a[1:], a[:-1], k[1:]
    bases = [xp.asarray(data(base_shape, dtype, 1)), xp.asarray(data(base_shape, dtype, 2)),
             xp.asarray(values(base_shape, B, 3))]
    return tuple(make(b) for b in bases)


def shares(a, b):
    return bool(np.shares_memory(np.asarray(a), np.asarray(b)))


def first_axis(v):
    return v[(slice(None),) + (0,) * (v.ndim - 1)]


def last_row(v):
    return v[(-1,) * (v.ndim - 1)]


# family -> (element kinds, data, fn(xp, x, y, c)); a tuple result is compared item by item.
# Families computed through the C library (see conftest.LIBRARY_ULPS).
LIBRARY = {"binary-math"}
FAMILIES = {
    # maps
    "sqrt": ((F, I), "signed", lambda xp, x, y, c: xp.sqrt(x)),
    "predicates": ((F,), "special", lambda xp, x, y, c: (xp.isnan(x), xp.isfinite(x), xp.signbit(x), xp.isinf(x))),
    "astype": ((F, I, B), "signed", lambda xp, x, y, c: tuple(x.astype(t) for t in ("float64", "int64", "bool"))),
    "clip-round": ((F, I), "signed", lambda xp, x, y, c: (x.clip(-5, 20), xp.round(x / 7, 1) if x.dtype == F else x.clip(3))),
    "abs-negative": ((F, I, B), "signed", lambda xp, x, y, c: (abs(x), ~x) if x.dtype == B else (abs(x), -x, +x)),
    # zips
    "scalar": ((F, I, B), "signed", lambda xp, x, y, c: (x + 3, x * 2.5, 7 - x, x / 4, x ** 2, x < 1)),
    "arithmetic": ((F, I, B), "signed", lambda xp, x, y, c: (x + y, x * y, x / y, y ** 2 + x, x + c, x * y.copy())),
    "compare": ((F, I, B), "special", lambda xp, x, y, c: (x < y, x == y, x >= y, x != 1)),
    "bitwise": ((I, B), "whole", lambda xp, x, y, c: (x & y, x | y, x ^ y, ~x & y)),
    "shift": ((I,), "whole", lambda xp, x, y, c: (x << 3, x >> 1, x << (y & 7), x >> (y & 7))),
    "maximum": ((F, I), "special", lambda xp, x, y, c: (xp.maximum(x, y), xp.minimum(x, y), xp.maximum(x, 0))),
    "binary-math": ((F,), "special", lambda xp, x, y, c: (xp.arctan2(x, y), xp.copysign(x, y), xp.hypot(x, y))),
    "where": ((F, I, B), "signed", lambda xp, x, y, c: (xp.where(c, x, y), xp.where(c, x, 0))),
    "broadcast": ((F, I), "signed", lambda xp, x, y, c: (x + y[:1], xp.maximum(x, y[..., :1]), x < y[-1:])),
    # folds
    "sum": ((F, I, B), "whole", lambda xp, x, y, c: (x.sum(), x.mean(), xp.sum(x), x.prod() if x.dtype == I else x.max())),
    "axis": ((F, I, B), "whole", lambda xp, x, y, c: (x.sum(axis=0), x.sum(axis=-1), x.max(axis=0), x.min(axis=-1),
                                                       x.mean(axis=0))),
    "extremes": ((F, I, B), "extreme", lambda xp, x, y, c: (x.max(), x.min(), x.argmax(), x.argmin(), x.argmax(axis=0))),
    "any-all": ((F, I, B), "whole", lambda xp, x, y, c: (x.any(), x.all(), (x == x).all(), (x != x).any(), x.any(axis=0))),
    "cumulative": ((F, I, B), "whole", lambda xp, x, y, c: (x.cumsum(), xp.cumsum(x) if x.dtype == B else x.cumprod())),
    "dot": ((F, I, B), "whole", lambda xp, x, y, c: (xp.dot(last_row(x), last_row(y)), xp.dot(first_axis(x), first_axis(y)))),
    # copies
    "copies": ((F, I, B), "signed", lambda xp, x, y, c: (x.copy(), x.ravel(), x.flatten(), x.reshape(-1),
                                                          x.reshape(x.shape[::-1]), shares(x.ravel(), x))),
    "join": ((F, I, B), "signed", lambda xp, x, y, c: (xp.concatenate([x, y]), xp.stack([x, y]),
                                                       xp.concatenate([x, y], axis=-1))),
    # selection and sorting
    "mask": ((F, I, B), "signed", lambda xp, x, y, c: (x[c], x[x == y], x[first_axis(c)])),
    "take": ((F, I, B), "signed", lambda xp, x, y, c: (x[xp.asarray(np.arange(len(x))[::-3])], x[xp.asarray([-1, 0, 0])])),
    "sort": ((F, I, B), "distinct", lambda xp, x, y, c: (xp.sort(x), xp.argsort(x, kind="stable"), xp.sort(x, axis=0))),
    # whole reads: copies made natively, tolerances, positions, and joins NumPy computes
    "whole-reads": ((F, I, B), "special", lambda xp, x, y, c: (
        xp.array(x), xp.array(x, dtype="float64"), x.__copy__(), x.nonzero(), xp.isclose(x, y),
        xp.isclose(x, 1.0), xp.isclose(-1.0, y), xp.isclose(x, y, rtol=0.5), xp.concatenate([x, c]),
        xp.stack([c, y]))),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("kind", KIND_NAMES)
@pytest.mark.parametrize("family", list(FAMILIES))
def test_family_over_view_matches_numpy(family, kind):
    dtypes, data, fn = FAMILIES[family]
    # Every element kind at the small sizes; at the others one, turning with the view kind.
    turn = dtypes[KIND_NAMES.index(kind) % len(dtypes)]
    for size in SIZES:
        for dtype in dtypes if size in SMALL_SIZES else (turn,):
            try:
                differential(lambda xp: fn(xp, *operands(xp, kind, size, dtype, DATA[data])),
                             LIBRARY_ULPS if family in LIBRARY else 0)
            except AssertionError as e:
                raise AssertionError(f"{family} over {kind} of {size} {dtype.__name__}: {e}") from None


# Rows whose elements lie 2 to 4 apart, either way, of lengths either side of the vector
# loops' edges; each view spans its whole base from first to last byte, so that a read past
# the row's first or last element leaves the base.
def back(v):
    return v[::-1] if v.ndim == 1 else v[:, ::-1]  # v[..., ::-1] is NumPy's view


STEPPED_ROWS = [
    lambda xp, x, y: (x.copy(), x.argmax(), x.max(axis=-1), xp.concatenate([x, y])),
    lambda xp, x, y: (~x, x & y, x ^ back(y), x == y, back(x) | y) if x.dtype == B else (-x, x + back(y), x < y),
]


@pytest.mark.parametrize("dtype", [F, I, B], ids=["f8", "i8", "b"])
@pytest.mark.parametrize("step", [2, 3, 4, -2, -3, -4])
def test_rows_stepped_a_few_apart(step, dtype):
    for rows, n in ((1, 31), (1, 32), (1, 33), (3, 47), (2, 48), (1, 49), (2, 65), (1, 300)):
        def run(xp):
            span = (n - 1) * abs(step) + 1
            x, y = (xp.asarray(values((rows, span), dtype, seed))[:, ::step] for seed in (1, 2))
            if rows == 1:
                x, y = x[0], y[0]
            return [outcome(lambda: f(xp, x, y)) for f in STEPPED_ROWS]
        differential(run)


# Rows taken from views whose rows are long (one or two axes, stepped either way) and joins of
# views whose runs in the result are rows of one of them, around the lengths where each
# switches between a buffer and its place (16, 32, 64).
@pytest.mark.parametrize("dtype", [F, I, B], ids=["f8", "i8", "b"])
@pytest.mark.parametrize("n", [15, 16, 31, 32, 33, 64, 65])
def test_long_rows_taken_and_joined(n, dtype):
    keys = [2, -1, 0, 2, 1]

    def run(xp):
        a, b = (xp.asarray(values((4, 3, 2 * n + 1), dtype, seed)) for seed in (1, 2))
        c, d = (xp.asarray(values((4, 3, 2 * n + 1), dtype, seed)) for seed in (3, 4))
        return (a[:, ::-1, ::2][xp.asarray(keys)], a[1, :, ::-3][xp.asarray(keys[:3])],
                a[:, 0, ::-2][xp.asarray(keys[:4])], xp.concatenate([c.T[::2], d.T[::-2]]),
                xp.concatenate([c.T[::2], d.T[::2]], axis=1))
    differential(run)


# Column blocks joined side by side, their rows the result's runs: row lengths either side of
# the inline copies' piece sizes (16, 32, 64 and 128 bytes), rows in either order, 2-D and 3-D.
@pytest.mark.parametrize("dtype", [F, I, B], ids=["f8", "i8", "b"])
def test_column_blocks_joined_side_by_side(dtype):
    for n in (1, 3, 4, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129):
        def run(xp):
            a = xp.asarray(values((6, 2 * n + 3), dtype, 1))
            c = xp.asarray(values((3, 4, n + 2), dtype, 2))
            return (xp.concatenate([a[:, :n], a[::-1, n + 1:2 * n + 1]], axis=1),
                    xp.concatenate([c[:, ::-1, 1:n + 1], c[::-1, :, :n]], axis=-1))
        differential(run)


# Statements that raise for some element kinds: each runs, each error is compared.
ERRORS = [
    lambda xp, x, y: x - y, lambda xp, x, y: -x, lambda xp, x, y: ~x, lambda xp, x, y: x & y,
    lambda xp, x, y: x << 1, lambda xp, x, y: xp.concatenate([x, y[None]]), lambda xp, x, y: x[y],
    lambda xp, x, y: xp.where(x, y), lambda xp, x, y: x[first_axis(y > 0)[:1]],
]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("dtype", [F, I, B], ids=["f8", "i8", "b"])
@pytest.mark.parametrize("kind", ["transpose", "reversed", "permuted-3d", "pair", "zero-stride"])
def test_errors_over_views_match_numpy(kind, dtype):
    for size in ("8", "257"):
        differential(lambda xp: [outcome(lambda: f(xp, *operands(xp, kind, size, dtype)[:2])) for f in ERRORS])


# Where corvantile differs from NumPy today.
KNOWN = [
    lambda xp: xp.asarray(np.arange(7.0))[::-1].reshape(5, -1),  # the message shows the shape as a list
    lambda xp: xp.asarray(np.arange(7.0))[::2] + xp.asarray(np.arange(2.0)),  # broadcast message spacing
    lambda xp: xp.asarray(np.arange(7.0))[::2].sum(axis=3),  # ValueError, not AxisError
    lambda xp: xp.dot(xp.asarray(np.arange(7.0))[::-1], xp.asarray(np.arange(6.0))),  # message lacks the dims
    lambda xp: xp.asarray(np.array([-0.0, 9.0, -0.0]))[::2].cumsum(),  # starts from +0.0
    lambda xp: np.zeros((3, 4))[xp.asarray([1])].shape,  # a 1-element array taken as an index
    lambda xp: xp.asarray(np.arange(5.0)).__iadd__(xp.asarray(np.arange(2.0))),  # message lacks the output's shape
    lambda xp: (lambda a: shares(a[::-1].reshape(-1), a))(xp.asarray(np.arange(5.0))),  # a view's reshape copies
]


@pytest.mark.xfail(strict=False, reason="corvantile differs from NumPy here today")
@pytest.mark.parametrize("fn", KNOWN)
def test_known_differences(fn):
    differential(fn)


# Float sums, products, means, variances and dot products add in a fixed order: a view gives
# the very bits its contiguous copy gives. Random values of mixed magnitudes, where the order shows.
def random_values(shape, dtype, seed):
    v = np.random.default_rng(seed).standard_normal(shape)
    return v * 10.0 ** (np.arange(v.size) % 7 - 3).reshape(shape)


ORDERED = {
    "sum": lambda x: x.sum(), "mean": lambda x: x.mean(), "function": lambda x: cv.sum(x), "var": lambda x: x.var(),
    "std": lambda x: x.std(), "prod": lambda x: x.prod(), "sum-0": lambda x: x.sum(axis=0),
    "sum-last": lambda x: x.sum(axis=-1), "mean-0": lambda x: x.mean(axis=0), "cumsum": lambda x: x.cumsum(),
    "dot": lambda x: cv.dot(last_row(x), last_row(x)[::-1]),
}


@pytest.mark.parametrize("kind", [k for k in KIND_NAMES if k != "pair"])
def test_float_sums_of_views_have_the_bits_of_their_copy(kind):
    for size in SIZES | LARGE_SIZES:
        x = operands(cv, kind, size, F, random_values)[0]
        c = x.copy()
        for name, fn in ORDERED.items() if size in SIZES else [("var", ORDERED["var"]), ("std", ORDERED["std"])]:
            same_bits(fn(x), fn(c), f"{name} over {kind} of {size}")
        # The extremes of zeros of both signs: whichever zero the copy finds.
        z = operands(cv, kind, size, F, lambda s, t, seed: np.where(random_values(s, t, seed) > 0, 0.0, -0.0))[0]
        for fn in (lambda v: v.max(), lambda v: v.min(), lambda v: v.max(axis=0)):
            same_bits(fn(z), fn(z.copy()), f"zero extremes over {kind} of {size}")


def same_bits(got, want, path):
    assert type(got) is type(want), f"{path}: {type(got).__name__} != {type(want).__name__}"
    assert_same_array(np.asarray(got), np.asarray(want), path)


# In-place updates of one view of a base by another view of it (overlapping or not), and
# assignments between such views: the base afterwards, as NumPy leaves it. s is a square view.
UPDATES = [
    "b[1:] += b[:-1]", "b[:-1] += b[1:]", "b *= b[::-1]", "b[1::2] -= b[:-1:2]", "b[::3] |= b[::-3]",
    "b[::2] *= 3", "s += s.T", "s[1:] -= s.T[:-1]", "s.T[::2] += 1", "b[1:] = b[:-1]", "b[:] = b[::-1]",
    "b[::2] = b[::-2]", "s[...] = s.T", "s[:, ::-1] = s",
]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("dtype", [F, I, B], ids=["f8", "i8", "b"])
@pytest.mark.parametrize("update", UPDATES)
def test_inplace_updates_between_views_of_one_base(update, dtype):
    for n in (16, 17, 257, 8193, 20001):
        def run(xp):
            b = xp.asarray(values((n,), dtype, 5, negative_zero=True))
            m = int(n ** 0.5)
            return outcome(lambda: exec(update, {"b": b, "s": b[: m * m].reshape(m, m)})), b
        differential(run)


# Writes through a view, or through what a method made of it (a view or a copy as NumPy's is;
# reshape is among the known differences): both views afterwards.
WRITES = [
    "x[...] = y", "x[c] = 5", "x[xp.asarray([0, -1])] = 4", "x.ravel()[-2:] = 8", "x.flatten()[0] = 9",
    "x.T[..., 0] = 7", "x[::-1] = x.copy()", "y[...] = x[c].sum()", "x.fill(3)", "y.fill(-2.5)", "x.fill(True)",
    "y.fill(np.float64(7))", "x.fill([1])", "x.fill('a')",
]


@pytest.mark.parametrize("kind", KIND_NAMES)
def test_writes_through_views_and_their_reshapes(kind):
    for size in ("8", "15", "16", "17", "257", "8193"):
        for dtype in (F, I, B):
            def run(xp):
                x, y, c = operands(xp, kind, size, dtype)
                seen = np.asarray(x)  # NumPy's view, taken before the writes
                names = {"xp": xp, "np": np, "x": x, "y": y, "c": c}
                return [outcome(lambda: exec(w, names)) for w in WRITES], x, y, seen.copy()
            differential(run)


# Memory NumPy owns, taken by asarray (a copy) or kept (copy=False: the namespace's functions
# then read NumPy's views), viewed, read and written through.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("copy", [None, False], ids=["asarray", "copy-false"])
@pytest.mark.parametrize("family", ["sqrt", "astype", "scalar", "arithmetic", "compare", "maximum", "where",
                                    "sum", "axis", "extremes", "copies", "join", "mask", "sort"])
def test_views_of_numpy_owned_memory(family, copy):
    dtypes, data, fn = FAMILIES[family]
    for dtype in dtypes:
        for size in ("17", "8193"):
            _, (r, c), _ = SIZES[size]

            def run(xp):
                owned = [DATA[data]((c + 1, r), dtype, seed) for seed in (1, 2)] + [values((c + 1, r), B, 3)]
                bases = [xp.asarray(o, copy=copy) for o in owned]
                x, y, k = (b[:0:-1].T for b in bases)
                result = fn(xp, x, y, k)
                x[...] = y  # a write through the view reaches the base
                return result, bases[0]
            differential(run)
