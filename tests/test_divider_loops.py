"""Divisions and square roots run loops of their own (narrower vectors): every form that
reaches them, over every row step they take, against NumPy bit for bit."""

import warnings

import numpy as np
import pytest

import corvantile as cv

from conftest import assert_same_outcome, run


def _values(n, seed):
    rng = np.random.default_rng(seed)
    v = np.round(rng.standard_normal(n) * 8, 2)
    v[::9] = 0.0
    v[4::13] = -0.0
    v[2::17] = np.inf
    v[5::19] = np.nan
    return v


# Operand layouts of `shape` (2-D) cut from a fresh base: the row steps the loops take as
# constants (1, -1, 2) and one they do not (3), a transpose (tiles) and a column block.
LAYOUTS = {
    "contiguous": lambda b, r, c: b[:r, :c],
    "reversed": lambda b, r, c: b[:r, :c][::-1, ::-1],
    "every_other": lambda b, r, c: b[:r, : 2 * c : 2],
    "every_third": lambda b, r, c: b[:r, : 3 * c : 3],
    "transpose": lambda b, r, c: b[:c, :r].T,
    "column_block": lambda b, r, c: b[:r, 1 : c + 1],
}

FORMS = [
    ("sqrt", lambda xp, x, y: xp.sqrt(x)),
    ("reciprocal", lambda xp, x, y: xp.reciprocal(x)),
    ("pow_half", lambda xp, x, y: x**0.5),
    ("pow_minus_one", lambda xp, x, y: x**-1.0),
    ("div_scalar", lambda xp, x, y: x / 0.7),
    ("scalar_div", lambda xp, x, y: 3.0 / x),
    ("div", lambda xp, x, y: x / y),
    ("div_function", lambda xp, x, y: xp.divide(x, y)),
    ("div_column", lambda xp, x, y: x / y[:, :1]),  # one divisor a row
    ("column_div", lambda xp, x, y: x[:, :1] / y),  # one dividend a row
    ("div_int", lambda xp, x, y: x / xp.asarray(np.arange(1, x.shape[1] + 1))),
]


def _operands(xp, shape, left, right):
    r, c = shape
    m = max(r, c)
    base, other = (xp.asarray(_values((m + 1) * (3 * m + 2), seed).reshape(m + 1, 3 * m + 2)) for seed in (1, 2))
    return LAYOUTS[left](base, r, c), LAYOUTS[right](other, r, c), base


def _quiet(fn, xp):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return run(fn, xp)


# Rows about the vector widths, the in-place threshold and a gathered block.
SHAPES = [(1, 7), (3, 5), (4, 16), (9, 31), (64, 130)]
PAIRS = [("contiguous", "contiguous"), ("reversed", "reversed"), ("every_other", "every_other"),
         ("every_third", "every_other"), ("transpose", "transpose"), ("column_block", "reversed"),
         ("contiguous", "every_third")]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("left,right", PAIRS)
@pytest.mark.parametrize("name,fn", FORMS, ids=[f[0] for f in FORMS])
def test_forms(shape, left, right, name, fn):
    want = _quiet(lambda xp: fn(xp, *_operands(xp, shape, left, right)[:2]), np)
    assert want[0] == "ok"
    assert_same_outcome(_quiet(lambda xp: fn(xp, *_operands(xp, shape, left, right)[:2]), cv), want)


# In place: the base seen whole afterwards (what the update wrote, and nothing else).
IN_PLACE = [
    ("by_scalar", lambda x, y: x.__itruediv__(0.3)),
    ("by_array", lambda x, y: x.__itruediv__(y)),
    ("by_column", lambda x, y: x.__itruediv__(y[:, :1])),
    ("by_itself", lambda x, y: x.__itruediv__(x)),
    ("pow_half", lambda x, y: x.__ipow__(0.5)),
]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("left,right", PAIRS)
@pytest.mark.parametrize("name,fn", IN_PLACE, ids=[f[0] for f in IN_PLACE])
def test_in_place(shape, left, right, name, fn):
    outcomes = []
    for xp in (cv, np):
        x, y, base = _operands(xp, shape, left, right)
        outcome = _quiet(lambda xp: fn(x, y), xp)
        assert outcome[0] == "ok", outcome[1]
        outcomes.append(("ok", np.array(base)))
    assert_same_outcome(*outcomes)


def test_temporary_reused():
    # A large temporary takes the quotient in its own buffer.
    a = _values(40_000, 3)
    b = _values(40_000, 4)
    with np.errstate(all="ignore"):
        want = (a * 1.0) / b, 2.0 / (a * 1.0), (a * 1.0) / 0.25
        got = (cv.asarray(a) * 1.0) / cv.asarray(b), 2.0 / (cv.asarray(a) * 1.0), (cv.asarray(a) * 1.0) / 0.25
    for g, w in zip(got, want):
        assert_same_outcome(("ok", g), ("ok", w))
