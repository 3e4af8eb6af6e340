"""The rich comparisons of ndarray: the rules beyond the operand table of test_operators."""

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, differential
from operator_cases import COMPARE, SELVES, check_table


@pytest.mark.parametrize("other", [b"x", {"k": 1}], ids=["bytes", "dict"])
@pytest.mark.parametrize("op", ["==", "!="])
def test_equality_with_any_object_is_elementwise(op, other):
    # NumPy compares any object element by element, never a plain True/False.
    for name in ("f64 (12,)", "i64 (3, 4)", "bool ()", "f64 strided"):
        differential(lambda xp: COMPARE[op](SELVES[name](xp), other))
        differential(lambda xp: COMPARE[op](other, SELVES[name](xp)))


def test_int64_against_floats_near_the_bounds():
    # int64 elements meet a float as NumPy converts them (to float64); the native side
    # answers on integers where that is exact, so probe every bound.
    p = 2**53
    ints = np.array([0, 1, -1, 2, -2, 3, p - 2, p - 1, p, p + 1, p + 2, p + 3, -p - 1, -p, -p + 1,
                     2**62, 2**63 - 1, -(2**63), -(2**63) + 1, 2**63 - 512, 2**63 - 513], dtype=np.int64)
    floats = [0.0, -0.0, 0.5, -0.5, 1.0, 2.5, -2.5, 3.0, p - 1.0, p - 0.5, float(p), p + 2.0, -float(p),
              2.0**63, -(2.0**63), 9.2e18, 1e300, -1e300, np.inf, -np.inf, np.nan, 1e-300, -1e-300, 2.0**62]
    def make(xp, s):
        r = op(xp.asarray(ints), s)
        assert xp is np or isinstance(r, cv.ndarray), "not native"
        return r

    for op in COMPARE.values():
        check_table(make, floats)


def _loose_bools(xp):
    """[True, True, False, True] whose two True bytes are 2 and 255, written through an export."""
    a = xp.asarray(np.array([True, True, False, True]))
    np.asarray(a).view(np.uint8)[[1, 3]] = [2, 255]
    return a


_B = np.array([True, True, True, False])
_LOOSE = [
    lambda xp, a, b: a == b, lambda xp, a, b: a != b, lambda xp, a, b: a < b, lambda xp, a, b: a == True,  # noqa: E712
    lambda xp, a, b: a != False, lambda xp, a, b: a == xp.asarray(np.ones(4)),  # noqa: E712
    lambda xp, a, b: a.astype("int64"), lambda xp, a, b: a.astype("float64"),
    lambda xp, a, b: a & b, lambda xp, a, b: a | b, lambda xp, a, b: a ^ b, lambda xp, a, b: ~a,
    lambda xp, a, b: a & True, lambda xp, a, b: a ^ True, lambda xp, a, b: a | False,
    lambda xp, a, b: xp.concatenate([a, b]), lambda xp, a, b: xp.concatenate([a, xp.asarray(np.arange(2))]),
    lambda xp, a, b: xp.stack([a, xp.asarray(np.ones(4))]),
    lambda xp, a, b: a.sum(), lambda xp, a, b: a.any(), lambda xp, a, b: a.all(), lambda xp, a, b: a.mean(),
    lambda xp, a, b: xp.where(a, 1.0, 2.0), lambda xp, a, b: xp.where(b, a, b),
    lambda xp, a, b: xp.asarray(np.arange(4.0))[a], lambda xp, a, b: xp.asarray(np.arange(4.0))[a & b],
    lambda xp, a, b: a + b, lambda xp, a, b: a * 2.0, lambda xp, a, b: a.nonzero(),
]


@pytest.mark.parametrize("expr", _LOOSE, ids=range(len(_LOOSE)))
def test_bool_bytes_other_than_one_are_true(expr):
    got = differential(lambda xp: expr(xp, _loose_bools(xp), xp.asarray(_B)))
    want = expr(np, _loose_bools(np), _B)
    if isinstance(want, np.ndarray) and want.dtype == bool:  # computed results hold 0 and 1 only, as NumPy's
        assert np.asarray(got).view(np.uint8).tolist() == want.view(np.uint8).tolist()


# float64 comparisons go through a kernel of blocks of eight vectors (32 elements on AVX2,
# 64 with AVX-512) and a gathered remainder, for rows stepping forward, back by one and
# forward by two, and for one value throughout; lengths about those sizes, the streamed
# size, and NaN (both signs), infinities and -0.0 at every lane position of a block.
_KERNEL_LENGTHS = [1, 4, 8, 31, 32, 33, 63, 64, 65, 127, 128, 129, 160, 255, 256, 257, 1000, 4097]
_SPECIALS = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0]


def _compared_values(n, seed):
    """Small whole numbers (ties likely), each special at every position in 0..127 in turn."""
    x = np.random.default_rng(seed).integers(-2, 3, n).astype(np.float64)
    positions = np.arange(min(n, 128))
    x[positions] = np.where(positions % 3 == seed % 3, np.array(_SPECIALS)[(positions // 3 + seed) % 6], x[positions])
    return x


# view forms of two bases a, b (each of at least 2n + 1 elements) giving n elements each
_KERNEL_FORMS = {
    "contiguous": lambda a, n: a[:n],
    "offset": lambda a, n: a[1:n + 1],
    "reversed": lambda a, n: a[n - 1::-1],
    "stepped": lambda a, n: a[:2 * n:2],
    "stepped-odd": lambda a, n: a[1:2 * n:2],
    "stepped-back": lambda a, n: a[2 * n - 2::-2],
}


def _same_bools(got, want):
    assert isinstance(got, cv.ndarray), "not native"
    assert_same_array(got, want)
    assert np.asarray(got).view(np.uint8).tolist() == want.view(np.uint8).tolist()


@pytest.mark.parametrize("form", _KERNEL_FORMS)
@pytest.mark.parametrize("n", _KERNEL_LENGTHS)
def test_float64_comparison_kernel_rows(n, form):
    x, y = _compared_values(2 * n + 1, 1), _compared_values(2 * n + 1, 2)
    view = _KERNEL_FORMS[form]
    for op in COMPARE.values():
        want_xy = op(view(x, n), view(y, n))
        _same_bools(op(view(cv.asarray(x), n), view(cv.asarray(y), n)), want_xy)
        for s in (0.0, -0.0, 1.0, np.nan, -np.inf):
            _same_bools(op(view(cv.asarray(x), n), s), op(view(x, n), s))
            _same_bools(op(s, view(cv.asarray(x), n)), op(s, view(x, n)))


# Rows of every other element ending at their base's last element: the kernel's blocks,
# which read one double past their last element, stop a block short of the end.
@pytest.mark.parametrize("n", [128, 129, 160, 161, 192, 193, 257])
def test_float64_comparison_kernel_every_other_to_the_end(n):
    x, y = _compared_values(2 * n - 1, 5), _compared_values(2 * n - 1, 6)
    a, b = cv.asarray(x), cv.asarray(y)
    for op in COMPARE.values():
        _same_bools(op(a[::2], b[::2]), op(x[::2], y[::2]))
        _same_bools(op(a[::2], -0.0), op(x[::2], -0.0))
        _same_bools(op(np.nan, a[::2]), op(np.nan, x[::2]))


@pytest.mark.parametrize("expr, shape", [
    ("a.T > b.T", (40, 50)), ("a[:, ::2] <= b[:, ::2]", (30, 130)), ("a[::-1, ::-1] != b[::-1, ::-1]", (20, 150)),
    ("a[:, ::-1] == b[:, ::-1]", (9, 300)), ("a[1:] < a[:-1]", (5001,)), ("a[2::2] >= a[:-2:2]", (3001,)),
    ("a[:, ::2] != 0.0", (40, 300)), ("a[::-1] < 1.0", (3000,)), ("a.T[::-1] == b.T[::-1]", (130, 40)),
    ("a[::-1] > b[::-1]", (1_000_003,)), ("a != b", (1_000_003,)), ("a[1:] <= a[:-1]", (1_000_003,)),
    ("a == -0.0", (1_000_003,)), ("a[::2] < b[::2]", (2_000_005,)),
])
def test_float64_comparison_kernel_views(expr, shape):
    n = int(np.prod(shape))
    x, y = _compared_values(n, 3).reshape(shape), _compared_values(n, 4).reshape(shape)
    want = eval(expr, {"a": x, "b": y})
    _same_bools(eval(expr, {"a": cv.asarray(x), "b": cv.asarray(y)}), want)


# 2-D views compared a row at a time: row lengths about the kernel's start and its blocks;
# operands of unlike steps (the element loop), one repeating a value along its rows (a zero
# stride: one value to the kernel) on either side, and operands overlapping in one base.
def _zero_stride(a, n):
    if type(a) is np.ndarray:
        return np.lib.stride_tricks.as_strided(a, shape=(3, n), strides=(8 * n, 0))
    return cv._view_of(a, _zero_stride(np.asarray(a), n))


_ROW_FORMS = {  # view of a base of 6n elements giving 3 rows of n
    "rows": lambda a, n: a[:3 * n].reshape(3, n), "T": lambda a, n: a[:3 * n].reshape(n, 3).T,
    "stepped": lambda a, n: a.reshape(3, 2 * n)[:, ::2], "reversed rows": lambda a, n: a[:3 * n].reshape(3, n)[::-1],
    "reversed": lambda a, n: a[:3 * n].reshape(3, n)[::-1, ::-1], "T back": lambda a, n: a[:3 * n].reshape(n, 3)[::-1].T,
    "stepped back": lambda a, n: a.reshape(3, 2 * n)[:, ::-2], "zero stride": _zero_stride,
}
_ROW_PAIRS = [f"{f}|{f}" for f in _ROW_FORMS] + [
    "rows|reversed", "reversed|rows", "stepped|rows", "rows|T", "zero stride|rows", "reversed|zero stride",
    "zero stride|stepped", "T back|zero stride"]


@pytest.mark.parametrize("pair", _ROW_PAIRS)
@pytest.mark.parametrize("n", [127, 128, 129, 159, 160, 161, 1031])
def test_float64_comparison_of_2d_views(n, pair):
    left, right = (_ROW_FORMS[f] for f in pair.split("|"))
    x, y = _compared_values(6 * n, 5), _compared_values(6 * n, 6)
    nx, ny, cx, cy = left(x, n), right(y, n), left(cv.asarray(x), n), right(cv.asarray(y), n)
    for op in COMPARE.values():
        _same_bools(op(cx, cy), op(nx, ny))
        _same_bools(op(cx, cx), op(nx, nx))
        for s in (-0.0, np.nan, 1.0):
            _same_bools(op(cx, s), op(nx, s))
            _same_bools(op(s, cy), op(s, ny))


@pytest.mark.parametrize("expr", ["a[:, 1:] > a[:, :-1]", "a[1:] != a[:-1]", "a.T[1:] == a.T[:-1]",
                                  "a[:, ::-1] < a", "a[::-1] >= a", "a[:, 1::2] <= a[:, :-1:2]"])
@pytest.mark.parametrize("n", [129, 161, 1031])
def test_float64_comparison_of_overlapping_views(expr, n):
    x = _compared_values(4 * n, 7).reshape(4, n)
    _same_bools(eval(expr, {"a": cv.asarray(x)}), eval(expr, {"a": x}))
