"""Copies in logical order of views whose axes lie out of order in memory (transposes of two to
four axes, stepped and reversed ones, views of views), against NumPy: shapes on either side of
the 8x8 tiles they are copied in, so that whole tiles, leftover rows and leftover columns all
show; also the same views selected by masks and index arrays."""

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

F, I, B = np.float64, np.int64, np.bool_


def base(xp, shape, dtype):
    # Distinct values: an element copied to the wrong place shows.
    v = np.arange(int(np.prod(shape))).reshape(shape)
    v = v % 3 == 1 if dtype is B else (v * 3 - 7).astype(dtype)
    if dtype is B:
        # A pattern of period 3 repeats along rows of a multiple of 3; mix it up.
        v ^= (np.arange(v.size).reshape(shape) * 7 % 5 == 0)
    return xp.asarray(v)


# name -> (base shape from (rows, columns) of the view, view of the base)
VIEWS = {
    "T": (lambda r, c: (c, r), lambda a: a.T),
    "T reversed rows": (lambda r, c: (c, r), lambda a: a.T[::-1]),
    "T reversed both": (lambda r, c: (c, r), lambda a: a[::-1, ::-1].T),
    "T stepped": (lambda r, c: (c, 2 * r), lambda a: a.T[::2]),
    "T stepped back": (lambda r, c: (c, 2 * r), lambda a: a.T[::-2]),
    "T stepped odd": (lambda r, c: (c, 2 * r + 1), lambda a: a.T[1::2]),
    "T stepped to the end": (lambda r, c: (c, 2 * r - 1), lambda a: a.T[::2]),
    "T every third": (lambda r, c: (c, 3 * r), lambda a: a.T[::3]),
    "T of column block": (lambda r, c: (c, r + 5), lambda a: a[:, 2:-3].T),
    "reversed 2-d": (lambda r, c: (r, c), lambda a: a[::-1, ::-1]),
    "3-d T": (lambda r, c: (c, 3, r), lambda a: a.T),
    "3-d half T": (lambda r, c: (3, c, r), lambda a: a.T[:, :, ::-1]),
    "4-d T": (lambda r, c: (c, 2, 3, r), lambda a: a.T),
    "T of T stepped": (lambda r, c: (2 * c, r), lambda a: a.T.T[::2].T),
}

# (rows, columns): 8x8 tiles and their edges (a row short or over, a column short or over).
SHAPES = [(8, 8), (7, 9), (9, 7), (16, 8), (17, 15), (15, 17), (24, 33), (3, 40), (40, 3), (100, 100),
          (13, 1), (1, 13),
          # 8-byte rows also go in tiles of four: four to seven rows, and up to four past the
          # last whole eight (with rows 13 and 15 above: five to seven past, a tile of eight).
          (4, 9), (5, 12), (6, 5), (10, 9), (12, 4), (20, 25),
          # Columns spanning over a MiB of 8-byte elements, copied eight columns at a time down
          # all the rows: columns a group and a part, rows a tile and a part.
          (600, 230), (300, 600)]


@pytest.mark.parametrize("name", VIEWS)
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize("dtype", [F, I, B])
def test_copies_of_views(name, shape, dtype):
    make_shape, make = VIEWS[name]

    def fn(xp):
        x = make(base(xp, make_shape(*shape), dtype))
        return x.copy(), x.ravel(), x.flatten(), x.reshape(-1), x.reshape(x.shape[::-1])

    differential(fn)


@pytest.mark.parametrize("name", ["T", "T stepped", "T reversed both", "3-d T", "reversed 2-d"])
@pytest.mark.parametrize("shape", [(17, 15), (24, 33), (100, 100)], ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize("dtype", [F, I, B])
def test_selection_of_views(name, shape, dtype):
    make_shape, make = VIEWS[name]

    def fn(xp):
        x = make(base(xp, make_shape(*shape), dtype))
        k = make(base(xp, make_shape(*shape), B))
        picks = xp.asarray(np.random.default_rng(4).integers(-len(x), len(x), 2 * len(x)))
        return x[k], x[picks], x[xp.asarray(np.arange(len(x))[::-1])]

    differential(fn)


@pytest.mark.parametrize("columns", [4, 5, 7, 8, 9, 13])
@pytest.mark.parametrize("rows", [4, 6, 8, 12, 13, 20, 24])
@pytest.mark.parametrize("dtype", [F, I])
def test_copies_of_few_columns_far_apart(columns, rows, dtype):
    # A few columns over a MiB apart and few rows: copied four columns at a time down the
    # rows, the last four overlapping the ones before.
    def fn(xp):
        a = base(xp, (columns, 2 ** 17 + 3), dtype)
        return a[:, :rows].T.copy(), a[:, 1:2 * rows:2].T.copy(), a[::-1, rows:0:-1].T.copy()

    differential(fn)


# Transposes of N x k arrays and of their column blocks: planes of two to seven rows. Where
# their rows' gathers would go element by element, whole tiles read past the plane's rows
# (never past its last element: the block ending at the base's end shows that).
@pytest.mark.parametrize("width, take", [(2, 2), (3, 3), (4, 4), (5, 5), (6, 6), (7, 7), (6, 3), (10, 3),
                                         (10, 7), (9, 2), (12, 5), (8, 3)])
@pytest.mark.parametrize("length", [8, 9, 63, 64, 65, 200, 1000])
@pytest.mark.parametrize("dtype", [F, I, B])
def test_copies_of_few_interleaved_rows(width, take, length, dtype):
    def fn(xp):
        a = base(xp, (length, width), dtype)
        return a[:, :take].T.copy(), a[:, width - take:].T.ravel(), a[::-1, :take].T.copy()

    differential(fn)


def test_copy_of_transpose_leaves_base_alone():
    a = base(cv, (24, 17), I)
    c = a.T.copy()
    c[...] = 0
    assert (np.asarray(a) == base(np, (24, 17), I)).all()
    assert not np.shares_memory(np.asarray(c), np.asarray(a))


# Joins whose items fill stretches of the result apart from each other (along a later axis, or
# laid out as their transposes are): each view kind beside a view of its own kind and beside a
# contiguous array, on every axis; rows around the tiles, runs above and below a gathered block.
JOIN_SHAPES = [(7, 9), (8, 8), (17, 15), (24, 33), (100, 100), (9, 1025), (130, 70)]


@pytest.mark.parametrize("name", ["T", "T stepped", "T reversed both", "T of column block", "reversed 2-d",
                                  "3-d T", "T of T stepped"])
@pytest.mark.parametrize("shape", JOIN_SHAPES, ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize("dtype", [F, I, B])
def test_joins_of_views_on_every_axis(name, shape, dtype):
    make_shape, make = VIEWS[name]

    def fn(xp):
        x = make(base(xp, make_shape(*shape), dtype))
        y = make(base(xp, make_shape(*shape), dtype)[::-1])
        c = xp.asarray(np.asarray(y).copy())
        out = []
        for axis in range(-x.ndim, x.ndim):
            out += [xp.concatenate([x, y], axis=axis), xp.concatenate([c, x, y], axis=axis),
                    xp.concatenate([x, c], axis=axis)]
        for axis in range(-x.ndim - 1, x.ndim + 1):
            out += [xp.stack([x, y], axis=axis), xp.stack([c, x], axis=axis)]
        return out

    differential(fn)


@pytest.mark.parametrize("length", [16, 63, 64, 65, 1000, 8193])
@pytest.mark.parametrize("dtype", [F, I, B])
def test_stacks_of_reversed_rows(length, dtype):
    # A row of the item spans many stretches of the result.
    def fn(xp):
        a = base(xp, (2 * length,), dtype)
        x, y = a[::-2], a[length:][::-1]
        m = base(xp, (3, length), dtype)[::-1, ::-1]
        return (xp.stack([x, y], axis=1), xp.stack([x, y, x], axis=-1), xp.concatenate([m, m[:, :5]], axis=1),
                xp.stack([m, m], axis=2), xp.stack([m, m], axis=1))

    differential(fn)


# Copies and joins large enough to be written around the cache (their reads and writes pass 16
# MiB): rows read in place or gathered, streamed whole lines between a head and a tail written
# as usual (rows of a length that leaves the result's lines unaligned, and aligned ones), the
# rows after one fetched ahead; then the same views joined, each item of a join too small alone.
BIG = {
    "column block": (lambda r, c: (r, c + 37), lambda a: a[:, 5:-32]),
    "aligned column block": (lambda r, c: (r, 2 * c), lambda a: a[:, :a.shape[1] // 2]),
    "stepped rows": (lambda r, c: (r, 2 * c), lambda a: a[:, ::2]),
    "reversed rows": (lambda r, c: (r, c), lambda a: a[::-1, ::-1]),
    "stepped back": (lambda r, c: (1, 2 * r * c), lambda a: a[0, ::-2]),
    "every third": (lambda r, c: (r, 3 * c), lambda a: a[::-1, 1::3]),
}


@pytest.mark.parametrize("name", BIG)
@pytest.mark.parametrize("dtype", [F, I])
def test_copies_written_around_the_cache(name, dtype):
    make_shape, make = BIG[name]

    def fn(xp):
        x = make(base(xp, make_shape(1003, 1111), dtype))
        return x.copy(), x.ravel()[-5000:]

    assert differential(fn)[0].size == 1003 * 1111


@pytest.mark.parametrize("name", BIG)
@pytest.mark.parametrize("dtype", [F, B])
def test_joins_written_around_the_cache(name, dtype):
    make_shape, make = BIG[name]
    r, c = (2051, 2053) if dtype is B else (757, 751)

    def fn(xp):
        x = make(base(xp, make_shape(r, c), dtype))
        y = make(base(xp, make_shape(r, c), dtype)[::-1])
        return (xp.stack([x, y]), xp.concatenate([x, y], axis=-1), xp.stack([x, y], axis=-1),
                xp.concatenate([y, x, y]))

    assert differential(fn)[0].size == 2 * r * c


# Joins along the first axis of transposed cubes: each item fills runs of its first axis's
# length, between 1 and about a line of bytes (copied inline) and past it.
@pytest.mark.parametrize("first", [1, 2, 3, 5, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 70])
@pytest.mark.parametrize("dtype", [F, I, B])
def test_joins_of_short_runs(first, dtype):
    def fn(xp):
        x = base(xp, (5, 7, first), dtype).T
        y = base(xp, (5, 7, first + 2), dtype)[::-1].T
        return xp.concatenate([x, y]), xp.concatenate([y, x, y]), xp.concatenate([x, x], axis=1)

    differential(fn)
