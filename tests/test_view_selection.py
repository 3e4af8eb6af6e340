"""Selection, sorting and writes through index arrays and masks on views: each case runs on
corvantile and NumPy alike, over views whose elements lie apart from their shape's order."""

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, differential

F, I, B = np.float64, np.int64, np.bool_

# name -> (base shape, view of the base); small ones read their shadow, the rest in place.
VIEWS = {
    "T": ((30, 20), lambda a: a.T),
    "rev": ((600,), lambda a: a[::-1]),
    "step": ((1200,), lambda a: a[::2]),
    "cols": ((30, 40), lambda a: a[:, :20]),
    "perm3": ((6, 5, 4), lambda a: a.T),
    "vov": ((20, 40), lambda a: a.T[::2]),
    "revrev": ((30, 20), lambda a: a[::-1, ::-1]),
    "small T": ((2, 4), lambda a: a.T),
    "small rev": ((8,), lambda a: a[::-1]),
}


def base(xp, shape, dtype, seed=0, distinct=False):
    rng = np.random.default_rng(seed)
    values = rng.integers(-50, 50, shape)
    if dtype is B:
        values = values > 0
    elif dtype is F and distinct:
        # No zeros of both signs (the sorts may order those either way); NaNs among them.
        values = rng.permutation(values.size).reshape(shape) - values.size / 2 + 0.5
        values.flat[::11] = np.nan
    elif dtype is F:
        values = values * 0.5
        values.flat[::7] = -0.0
    return xp.asarray(values.astype(dtype))


def view(xp, name, dtype, seed=0, distinct=False):
    shape, make = VIEWS[name]
    return make(base(xp, shape, dtype, seed, distinct))


def indices(n, kind):
    rng = np.random.default_rng(5)
    return {
        "random": rng.integers(0, n, 3 * n),
        "negative": rng.integers(-n, 0, n),
        "repeated": np.array([0, n - 1, 0, -1, n - 1] * 3),
        "empty": np.array([], dtype=np.int64),
        "past end": np.array([0, 1, n]),
        "before start": np.array([1, -n - 1, 0]),
    }[kind]


INDEX_KINDS = ["random", "negative", "repeated", "empty", "past end", "before start"]
# How the index array is held: as it is, or as a view of a bigger one.
INDEX_FORMS = {
    "own": lambda xp, k: xp.asarray(k),
    "stepped": lambda xp, k: xp.asarray(np.repeat(k, 2))[::2],
    "reversed": lambda xp, k: xp.asarray(k[::-1].copy())[::-1],
}


@pytest.mark.parametrize("name", VIEWS)
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("kind", INDEX_KINDS)
@pytest.mark.parametrize("form", INDEX_FORMS)
def test_take_from_view(name, dtype, kind, form):
    n = len(view(np, name, dtype))
    k = indices(n, kind)
    differential(lambda xp: view(xp, name, dtype)[INDEX_FORMS[form](xp, k)])


# One-axis views long enough to be gathered in several chunks of keys: length -> view.
LONG_VIEWS = {
    "rev": lambda a: a[::-1],
    "step": lambda a: a[::2],
    "step3": lambda a: a[1::3],
    "vov": lambda a: a[::2][::-1],
}


def key_with(n, length, bad_at, bad):
    """length keys over an axis of n, the one at bad_at (if any) replaced by bad."""
    k = np.random.default_rng(7).integers(-n, n, length)
    if bad_at is not None:
        k[bad_at] = bad
    return k


# (key length, position of the bad key, which bad key): around chunk ends, and at the last key.
CHUNK_KEYS = [
    (255, None, None), (256, None, None), (257, None, None), (1023, None, None), (1025, None, None),
    (256, 255, "past end"), (257, 256, "past end"), (512, 255, "before start"),
    (513, 512, "past end"), (600, 599, "before start"), (600, 0, "past end"),
    (600, 300, "huge"), (600, 301, "most negative"),
]
BAD_KEYS = {"past end": lambda n: n, "before start": lambda n: -n - 1,
            "huge": lambda n: 2**62, "most negative": lambda n: -2**63}


@pytest.mark.parametrize("name", LONG_VIEWS)
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("length,bad_at,bad", CHUNK_KEYS)
@pytest.mark.parametrize("form", INDEX_FORMS)
def test_take_across_key_chunks(name, dtype, length, bad_at, bad, form):
    n = len(LONG_VIEWS[name](np.zeros(900)))
    k = key_with(n, length, bad_at, bad and BAD_KEYS[bad](n))
    differential(lambda xp: LONG_VIEWS[name](base(xp, (900,), dtype))[INDEX_FORMS[form](xp, k)])


@pytest.mark.parametrize("name", ["T", "cols", "perm3", "vov", "revrev"])
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("bad_at", [None, 0, -1])
def test_take_rows_of_views_with_a_bad_last_key(name, dtype, bad_at):
    # Row keys of every sign, many times the view's length; one past the end first or last.
    n = len(view(np, name, dtype))
    k = key_with(n, 40 * n, bad_at, n)
    differential(lambda xp: view(xp, name, dtype)[xp.asarray(k)])


@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("n", [1, 2, 16])
def test_take_from_short_axes(dtype, n):
    # A view of one or two elements along the keyed axis; keys at both ends and just past.
    k = np.array([0, n - 1, -n, -1] * 70 + [n])
    differential(lambda xp: base(xp, (2 * n,), dtype)[::-2][xp.asarray(k[:-1])])
    differential(lambda xp: base(xp, (2 * n,), dtype)[::-2][xp.asarray(k)])
    differential(lambda xp: base(xp, (n, 3), dtype).T[:, ::-1].T[xp.asarray(k)])


# mask -> how the mask is made from a bool base of the view's base shape.
MASKS = {
    "same view": lambda xp, name: view(xp, name, B, seed=3),
    "contiguous": lambda xp, name: xp.asarray(np.ascontiguousarray(view(np, name, B, seed=3))),
    "none": lambda xp, name: xp.zeros(view(np, name, B).shape, dtype=bool),
    "all": lambda xp, name: xp.ones(view(np, name, B).shape, dtype=bool),
}


@pytest.mark.parametrize("name", VIEWS)
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("mask", MASKS)
def test_mask_of_view(name, dtype, mask):
    differential(lambda xp: view(xp, name, dtype)[MASKS[mask](xp, name)])


# One-axis masks whose last kept element lies at the start, the end, or nowhere.
LONG_MASKS = {
    "random": lambda n: np.random.default_rng(9).random(n) < 0.5,
    "only first": lambda n: np.arange(n) == 0,
    "only last": lambda n: np.arange(n) == n - 1,
    "all but last": lambda n: np.arange(n) < n - 1,
}


@pytest.mark.parametrize("name", LONG_VIEWS)
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("mask", LONG_MASKS)
@pytest.mark.parametrize("held", ["own", "reversed view"])
def test_mask_of_long_one_axis_view(name, dtype, mask, held):
    n = len(LONG_VIEWS[name](np.zeros(900)))
    m = LONG_MASKS[mask](n)

    def key(xp):
        return xp.asarray(m) if held == "own" else xp.asarray(np.repeat(m[::-1], 2))[::-2]

    differential(lambda xp: LONG_VIEWS[name](base(xp, (900,), dtype))[key(xp)])


@pytest.mark.parametrize("dtype", [F, I, B])
def test_mask_view_of_contiguous_array(dtype):
    # The data contiguous, the mask a transpose; and a mask of the wrong shape.
    differential(lambda xp: base(xp, (20, 30), dtype)[base(xp, (30, 20), B, 3).T])
    differential(lambda xp: base(xp, (20, 30), dtype)[base(xp, (20, 20), B, 3).T])


@pytest.mark.parametrize("name", [n for n in VIEWS if n not in ("rev", "step", "small rev")] + ["contiguous"])
@pytest.mark.parametrize("dtype", [F, I])
def test_sort_of_many_axes(name, dtype):
    def make(xp):
        if name == "contiguous":
            return base(xp, (7, 5, 9), dtype, distinct=True)
        return view(xp, name, dtype, distinct=True)

    differential(lambda xp: xp.sort(make(xp)))
    differential(lambda xp: xp.sort(make(xp), -1))
    differential(lambda xp: xp.sort(make(xp), axis=0))
    # The input stays as it was.
    differential(lambda xp: (lambda v: (xp.sort(v), v)[1])(make(xp)))


@pytest.mark.parametrize("dtype", [F, I])
def test_sort_descending_of_view(dtype):
    v = view(cv, "T", dtype, distinct=True)
    assert_same_array(cv.sort(v, descending=True), np.flip(np.sort(view(np, "T", dtype, distinct=True)), -1))


@pytest.mark.parametrize("dtype", [F, I])
def test_sort_of_empty_and_nan_rows(dtype):
    differential(lambda xp: xp.sort(xp.zeros((0, 4), dtype=dtype).T))
    if dtype is F:
        # Zeros of both signs and NaNs in the rows of a transpose: NumPy sorts those.
        rows = np.array([[np.nan, -0.0, 0.0, 1.0], [0.0, np.nan, -0.0, -np.inf]] * 10)
        differential(lambda xp: xp.sort(xp.asarray(rows).T))


# Writes through a view by index array or mask: what lands in the base.
WRITES = {
    "index": lambda xp, v, n: v.__setitem__(xp.asarray(indices(n, "random")[:5]), 7),
    "repeated": lambda xp, v, n: v.__setitem__(xp.asarray(np.array([0, -1, 0, 2, 2])), xp.asarray(
        np.arange(5).astype(v.dtype))),
    "negative": lambda xp, v, n: v.__setitem__(xp.asarray(indices(n, "negative")[:6]), 1),
    "past end": lambda xp, v, n: v.__setitem__(xp.asarray(np.array([0, 1, n])), 1),
    "mask": lambda xp, v, n: v.__setitem__(xp.asarray(np.asarray(v) > np.asarray(v).flat[0]), 0),
    "mask view": lambda xp, v, n: v.__setitem__(view(xp, "T", B, 3)[: v.shape[0]] if v.ndim == 2 else
                                                 xp.asarray(np.arange(v.size) % 3 == 0)[::-1], 1),
    "element": lambda xp, v, n: v.__setitem__((0,) * v.ndim, 9),
}


@pytest.mark.parametrize("name", ["T", "rev", "step", "vov", "small T", "small rev"])
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("write", WRITES)
@pytest.mark.parametrize("owner", ["corvantile", "numpy"])
def test_write_through_view_lands_in_base(name, dtype, write, owner):
    shape, make = VIEWS[name]

    def fn(xp):
        # NumPy-owned memory: corvantile's array over a NumPy array's buffer.
        root = base(np, shape, dtype) if owner == "numpy" else base(xp, shape, dtype)
        b = root if xp is np or owner == "corvantile" else cv.asarray(memoryview(root), copy=False)
        v = make(b)
        try:
            WRITES[write](xp, v, len(v))
        except IndexError as exc:
            return "raised", str(exc), np.asarray(root).copy(), np.asarray(v).copy()
        return np.asarray(root).copy(), np.asarray(v).copy()

    differential(fn)


@pytest.mark.parametrize("name", ["T", "vov", "rev", "small T"])
@pytest.mark.parametrize("dtype", [F, I, B])
def test_dlpack_copy_of_view(name, dtype):
    v = view(cv, name, dtype)
    got = np.from_dlpack(v, copy=True)
    assert_same_array(got, view(np, name, dtype))
    got[...] = 0
    assert_same_array(np.asarray(v), view(np, name, dtype))


# Views past the first-level cache (more than 16 KiB, bools included), whose rows are copied
# one after another: rows of one axis at their stride (forward or back), rows of a plane
# through their offsets, rows lying in one run.
LARGE_VIEWS = {
    "T": ((150, 120), lambda a: a.T),
    "revrev": ((120, 150), lambda a: a[::-1, ::-1]),
    "vov": ((150, 240), lambda a: a.T[::2]),
    "perm3": ((30, 25, 24), lambda a: a.T),
    "cols": ((120, 160), lambda a: a[:, 5:155]),
    # Planes of whole rows with rows left out between them: each row copied at once.
    "mid rows": ((40, 6, 100), lambda a: a[:, ::2, :]),
    "mid rows back": ((34, 8, 65), lambda a: a[::-1, 1::2, :]),
    # Rows a few elements apart whose own elements lie far apart, copied in tiles of four
    # columns by all rows: columns shorter than a tile, one tile, a tile and a part.
    "T cols 3": ((3, 6000), lambda a: a.T),
    "T cols 4": ((4, 4100), lambda a: a.T),
    "T cols 9": ((9, 2000), lambda a: a.T),
    "vov cols 7": ((7, 5000), lambda a: a.T[::2]),
    "back cols 6": ((6, 3000), lambda a: a[:, ::-1].T),
    "back step cols 5": ((5, 12000), lambda a: a.T[::-3]),
    "perm3 cols 5": ((5, 7, 500), lambda a: a.T),
    "perm3 cols 2": ((2, 6, 1400), lambda a: a.T),
    "perm3 sliced": ((11, 4, 400), lambda a: a.T[::2, ::-1]),
    # Rows too far apart for the tiles (80 bytes).
    "wide step cols 5": ((5, 40000), lambda a: a.T[::10]),
}


@pytest.mark.parametrize("name", LARGE_VIEWS)
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("kind", ["random", "negative", "repeated", "past end", "before start"])
def test_take_rows_of_large_views(name, dtype, kind):
    shape, make = LARGE_VIEWS[name]
    n = len(make(np.zeros(shape)))
    k = indices(n, kind)
    differential(lambda xp: make(base(xp, shape, dtype))[xp.asarray(k)])


# The same rows taken by index arrays of other forms: none, all in order, two axes, a view.
TAKES = {
    "none": lambda n: np.array([], dtype=np.int64), "in order": np.arange,
    "2-d": lambda n: np.array([[n - 1, 0, 2], [1, -2, n // 2]]), "view": lambda n: np.arange(3 * n) % n,
}


@pytest.mark.parametrize("name", ["T cols 3", "T cols 9", "vov cols 7", "back cols 6", "perm3 cols 5", "perm3 sliced"])
@pytest.mark.parametrize("dtype", [F, I, B])
@pytest.mark.parametrize("take", TAKES)
def test_take_rows_of_large_views_by_other_indices(name, dtype, take):
    shape, make = LARGE_VIEWS[name]
    k = TAKES[take](len(make(np.zeros(shape))))
    step = -3 if take == "view" else 1  # a view of a bigger index array, read backward
    differential(lambda xp: make(base(xp, shape, dtype))[xp.asarray(k)[::step]])
