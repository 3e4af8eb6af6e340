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
    "T every third": (lambda r, c: (c, 3 * r), lambda a: a.T[::3]),
    "T of column block": (lambda r, c: (c, r + 5), lambda a: a[:, 2:r + 2].T),
    "reversed 2-d": (lambda r, c: (r, c), lambda a: a[::-1, ::-1]),
    "3-d T": (lambda r, c: (c, 3, r), lambda a: a.T),
    "3-d half T": (lambda r, c: (3, c, r), lambda a: a.T[:, :, ::-1]),
    "4-d T": (lambda r, c: (c, 2, 3, r), lambda a: a.T),
    "T of T stepped": (lambda r, c: (2 * c, r), lambda a: a.T.T[::2].T),
}

# (rows, columns): 8x8 tiles and their edges (a row short or over, a column short or over).
SHAPES = [(8, 8), (7, 9), (9, 7), (16, 8), (17, 15), (15, 17), (24, 33), (3, 40), (40, 3), (100, 100),
          (13, 1), (1, 13)]


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


def test_copy_of_transpose_leaves_base_alone():
    a = base(cv, (24, 17), I)
    c = a.T.copy()
    c[...] = 0
    assert (np.asarray(a) == base(np, (24, 17), I)).all()
    assert not np.shares_memory(np.asarray(c), np.asarray(a))
