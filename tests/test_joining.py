"""concatenate, stack, where and ndarray.nonzero against NumPy, and whether each call was
computed natively or handed to NumPy."""

import math
from fractions import Fraction

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

F23 = np.arange(6.0).reshape(2, 3)
F13 = np.array([[-0.0, math.nan, 7.5]])
F22 = np.ones((2, 2))
F3 = np.array([1.0, -2.0, 3.0])
I23 = np.arange(6).reshape(2, 3)
B23 = np.array([[True, False, True], [False, True, False]])
F0 = np.array(2.5)


def mk(xp, x):
    """x (a NumPy array, or a list/tuple of them) as xp's arrays."""
    if isinstance(x, (list, tuple)):
        return type(x)(mk(xp, item) for item in x)
    return cv.array(x) if xp is cv else x


def strided(a):
    """A corvantile strided view of every other column of a."""
    base = cv.array(a)
    return cv._view_of(base, np.asarray(base)[:, ::2])


# (call, native?) run with xp = corvantile and xp = numpy.
CASES = [
    (lambda xp: xp.concatenate(mk(xp, [F23, F13])), True),
    (lambda xp: xp.concatenate(mk(xp, (F23, F22)), axis=1), True),
    (lambda xp: xp.concatenate(mk(xp, [B23, B23[:0]])), True),
    (lambda xp: xp.concatenate([strided(F23) if xp is cv else F23[:, ::2], mk(xp, F22)], axis=1), True),
    # the checks in NumPy's order, with its texts and classes
    (lambda xp: xp.concatenate(mk(xp, [F23, F23, F22])), False),
    (lambda xp: xp.concatenate(mk(xp, [F23, F3])), False),
    (lambda xp: xp.concatenate(mk(xp, [F23, F22]), axis=2), False),
    (lambda xp: xp.concatenate(mk(xp, [F0, F3])), False),
    # forms NumPy computes
    (lambda xp: xp.concatenate(mk(xp, [F23, I23])), False),
    (lambda xp: xp.concatenate([mk(xp, F3), [1.0]]), False), (lambda xp: xp.concatenate([]), False),
    (lambda xp: xp.concatenate(mk(xp, [F23, F23]), axis=1.5), False),
    (lambda xp: xp.concatenate(mk(xp, [F3, F3]), dtype="int64", casting="unsafe"), False),
    (lambda xp: xp.stack(mk(xp, [F3, F3])), True),
    (lambda xp: xp.stack(mk(xp, (I23, I23, I23)), axis=1), True),
    (lambda xp: xp.stack(mk(xp, [F23, F23]), axis=-1), True), (lambda xp: xp.stack(mk(xp, [F3, F3]), axis=-2), True),
    (lambda xp: xp.stack(mk(xp, [F0, F0])), True), (lambda xp: xp.stack(mk(xp, [F3, F3]), axis=2), False),
    (lambda xp: xp.stack(mk(xp, [F3, F23])), False), (lambda xp: xp.stack(mk(xp, [B23, I23])), False),
    (lambda xp: xp.stack(mk(xp, [F3, F3]), axis=None), False),
    (lambda xp: xp.stack(mk(xp, [F3, F3]), dtype="int64", casting="unsafe"), False),
    (lambda xp: xp.stack(mk(xp, [np.ones((1,) * 8)] * 2)), False),
    (lambda xp: xp.concatenate(mk(xp, [F23, F13, F0]), axis=None), True),
    (lambda xp: xp.concatenate([strided(F23) if xp is cv else F23[:, ::2], mk(xp, F0)], axis=None), True),
    (lambda xp: xp.concatenate(mk(xp, [F23, I23]), axis=None), False),
    (lambda xp: xp.where(mk(xp, B23), mk(xp, F23), 0.0), True),
    (lambda xp: xp.where(mk(xp, B23), 1.5, 2), True),
    (lambda xp: xp.where(mk(xp, B23), np.int64(-3), mk(xp, F23)), True),
    (lambda xp: xp.where(mk(xp, B23), 1.5, 2**70), True), (lambda xp: xp.where(mk(xp, B23), 1, 2), False),
    (lambda xp: xp.where(mk(xp, B23), mk(xp, F23), mk(xp, F3)), False),  # broadcasting
    (lambda xp: xp.where(mk(xp, B23[0]), mk(xp, F23), 0.5), False),
    (lambda xp: xp.where(mk(xp, B23), mk(xp, F23), mk(xp, I23)), False),
    (lambda xp: xp.where(B23.tolist(), 1.5, 2.5), False),
    (lambda xp: xp.where(mk(xp, B23), np.float32(1.5), 2), False),
    (lambda xp: xp.where(mk(xp, B23), 1.5, Fraction(1, 3)), False),
    (lambda xp: xp.where(mk(xp, B23), "a", 1.5), False), (lambda xp: xp.where(mk(xp, B23), 1.5, "a"), False),
    (lambda xp: xp.where(np.ones((1,) * 9, bool), 1.5, 2.5), False),
    (lambda xp: xp.where(mk(xp, B23), 1.0), True), (lambda xp: xp.where(mk(xp, I23)), True),
    (lambda xp: xp.where(B23.tolist()), False),
]


@pytest.mark.parametrize("call, native", CASES)
def test_against_numpy(call, native, calls):
    differential(call, native=native or None)
    assert bool(calls) != native, calls


@pytest.mark.parametrize("x", [np.array([0.0, math.nan, -0.0, 2.0]), I23 - 2, B23[:, :, None] & B23[0],
                               np.zeros((0, 3), bool), np.ones((1,) * 8, np.int64), "strided"])
def test_nonzero(x):
    differential(lambda xp: (strided(I23 % 2) if xp is cv else (I23 % 2)[:, ::2]).nonzero() if isinstance(x, str)
                 else mk(xp, x).nonzero(), native=True)


def test_own_forms():
    with pytest.raises(ValueError, match=r"^Calling nonzero on 0d arrays is not allowed\. Use np\.atleast_1d"
                                         r"\(scalar\)\.nonzero\(\) instead\.$"):
        cv.array(np.array(True)).nonzero()
    with pytest.raises(ValueError, match="^either both or neither of x and y should be given$"):
        cv.where(cv.array(B23), x=1.0)
    m = cv.array(B23)
    for got in (cv.where(m, None), cv.where(m, x=None, y=None)):
        differential(lambda xp: got if xp is cv else np.nonzero(B23), native=True)


# Contiguous joins whose result rows are short (every item's block a few elements): blocks of
# one element, of several, and empty ones, rows up to and just past a short row's bound.
@pytest.mark.parametrize("widths", [(1, 1), (1, 2, 1), (3, 5), (0, 2), (8, 8), (8, 9), (15, 1)])
@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.bool_])
def test_joins_of_short_contiguous_rows(widths, dtype):
    rng = np.random.default_rng(sum(widths))
    items = [(rng.random((37, w)) * 9).astype(dtype) for w in widths]
    differential(lambda xp: (xp.concatenate(mk(xp, items), axis=1), xp.concatenate(mk(xp, items), axis=-1),
                             xp.stack(mk(xp, [items[0]] * 3), axis=-1), xp.stack(mk(xp, [items[0][0]] * 2), axis=-1),
                             xp.stack(mk(xp, [items[-1], items[-1]]), axis=1)), native=True)
