"""Two-operand element-wise operations over strided views, against NumPy: every family
(arithmetic, comparisons, bitwise, maximum and the other binary functions) x view kinds
x element kinds x sizes around the block sizes of the walks."""

import warnings

import numpy as np
import pytest

import corvantile as cv

from conftest import assert_same_outcome, run

BROADCAST_ERROR = "operands could not be broadcast together with shapes "


def _base(xp, shape, dtype, seed):
    rng = np.random.default_rng(seed)
    n = int(np.prod(shape))
    if dtype is np.bool_:
        values = rng.random(n) < 0.5
    elif dtype is np.int64:
        values = rng.integers(-9, 10, n).astype(np.int64)
    else:
        values = np.round(rng.standard_normal(n) * 4, 1)
        values[::7] = 0.0  # zeros of either sign and exact ties for the comparisons
        values[3::11] = -0.0
    return xp.asarray(values.reshape(shape))


# Each view kind: a view of `shape` over a fresh base (seed picks the values).
def _transpose(xp, shape, dtype, seed):
    return _base(xp, shape[::-1], dtype, seed).T


def _reversed(xp, shape, dtype, seed):
    return _base(xp, shape, dtype, seed)[(slice(None, None, -1),) * len(shape)]


def _stepped(xp, shape, dtype, seed):
    return _base(xp, (2 * shape[0],) + shape[1:], dtype, seed)[::2]


def _column_block(xp, shape, dtype, seed):
    base = _base(xp, shape[:-1] + (shape[-1] + 3,), dtype, seed)
    return base[..., 1 : shape[-1] + 1]


def _permuted(xp, shape, dtype, seed):
    # A 3-D axis permutation (shape taken as 3-D: a trailing axis of 1 where needed).
    s = tuple(shape) + (1,) * (3 - len(shape)) if len(shape) < 3 else tuple(shape)
    base = _base(xp, (s[1], s[2], s[0]), dtype, seed)
    return base.transpose(2, 0, 1).reshape(shape) if len(shape) < 3 else base.transpose(2, 0, 1)


def _view_of_view(xp, shape, dtype, seed):
    base = _base(xp, (2 * shape[0] + 1,) + tuple(2 * n for n in shape[1:]), dtype, seed)
    return base[1:][::2][(slice(None),) + (slice(None, None, -2),) * (len(shape) - 1)]


def _numpy_owned(xp, shape, dtype, seed):
    # NumPy's memory seen through xp, then viewed (a transpose of a strided NumPy array).
    values = np.asarray(_base(np, shape[::-1], dtype, seed))
    return xp.asarray(values).T


def _contiguous(xp, shape, dtype, seed):
    return _base(xp, shape, dtype, seed)


VIEWS = {
    "contiguous": _contiguous,
    "transpose": _transpose,
    "reversed": _reversed,
    "stepped": _stepped,
    "column_block": _column_block,
    "permuted": _permuted,
    "view_of_view": _view_of_view,
    "numpy_owned": _numpy_owned,
}

# Around 8, IN_PLACE_FROM (16), the result-order threshold (256), tile heights (8 rows)
# and the gathered block (8192 elements).
SHAPES = [(2, 4), (3, 5), (4, 4), (1, 17), (17, 1), (15, 17), (16, 16), (9, 31), (3, 4, 5), (70, 130), (130, 70)]

TWO = [
    ("add", lambda x, y: x + y),
    ("sub", lambda x, y: x - y),
    ("mul", lambda x, y: x * y),
    ("div", lambda x, y: x / y),
    ("floordiv", lambda x, y: x // y),
    ("mod", lambda x, y: x % y),
    ("lt", lambda x, y: x < y),
    ("le", lambda x, y: x <= y),
    ("eq", lambda x, y: x == y),
    ("ne", lambda x, y: x != y),
    ("gt", lambda x, y: x > y),
    ("ge", lambda x, y: x >= y),
    ("and", lambda x, y: x & y),
    ("or", lambda x, y: x | y),
    ("xor", lambda x, y: x ^ y),
    ("maximum", lambda x, y: cv_or_np(x).maximum(x, y)),
    ("minimum", lambda x, y: cv_or_np(x).minimum(x, y)),
    ("fmax", lambda x, y: cv_or_np(x).fmax(x, y)),
    ("hypot", lambda x, y: cv_or_np(x).hypot(x, y)),
    ("arctan2", lambda x, y: cv_or_np(x).arctan2(x, y)),
    ("copysign", lambda x, y: cv_or_np(x).copysign(x, y)),
    ("add_function", lambda x, y: cv_or_np(x).add(x, y)),
]

WITH_SCALAR = [
    ("add_int", lambda x: x + 3),
    ("radd_float", lambda x: 2.5 + x),
    ("rsub_int", lambda x: 3 - x),
    ("mul_float", lambda x: x * -1.5),
    ("div_int", lambda x: x / 4),
    ("lt_float", lambda x: x < 0.5),
    ("ge_int", lambda x: x >= 1),
    ("eq_bool", lambda x: x == True),  # noqa: E712
    ("and_int", lambda x: x & 6),
    ("xor_bool", lambda x: x ^ True),
    ("maximum_float", lambda x: cv_or_np(x).maximum(x, 0.0)),
    ("rminimum_int", lambda x: cv_or_np(x).minimum(1, x)),
    ("pow_two", lambda x: x**2),
]

KINDS = [np.float64, np.int64, np.bool_]
PAIRS = [(np.float64, np.float64), (np.int64, np.int64), (np.bool_, np.bool_), (np.float64, np.int64),
         (np.int64, np.float64), (np.bool_, np.float64)]


def cv_or_np(x):
    return np if isinstance(x, np.ndarray) else cv


def _quiet(fn, xp):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return run(fn, xp)


def _check(fn, make):
    """fn over operands made by make(xp), on both sides, as _quiet outcomes."""
    got = _quiet(lambda xp: fn(*make(xp)), cv)
    want = _quiet(lambda xp: fn(*make(xp)), np)
    if got[0] == want[0] == "raise" and str(want[1]).startswith(BROADCAST_ERROR):
        # The native text writes shapes as "(2, 3)".
        assert type(got[1]) is type(want[1])
        assert str(got[1]).replace(", ", ",").strip() == str(want[1]).strip()
        return got
    assert_same_outcome(got, want)
    return got


def _independent(result, operands):
    if not isinstance(result, cv.ndarray):
        return
    before = np.array(result)
    for operand in operands:
        if isinstance(operand, cv.ndarray) and operand.size:
            operand[...] = operand.dtype.type(1) if operand.dtype != np.bool_ else True
    after = np.asarray(result)
    assert np.array_equal(before, after, equal_nan=before.dtype.kind == "f"), "the result shares memory"


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("pair", PAIRS, ids=lambda p: f"{p[0].__name__}-{p[1].__name__}")
@pytest.mark.parametrize("left,right", [("transpose", "transpose"), ("transpose", "contiguous"),
                                        ("contiguous", "reversed"), ("stepped", "column_block"),
                                        ("permuted", "permuted"), ("view_of_view", "transpose"),
                                        ("numpy_owned", "stepped"), ("reversed", "numpy_owned")])
def test_two_views(shape, pair, left, right):
    def make(xp):
        return VIEWS[left](xp, shape, pair[0], 1), VIEWS[right](xp, shape, pair[1], 2)

    for name, fn in TWO:
        got = _check(fn, make)
        if got[0] == "ok":
            x, y = make(cv)
            _independent(_quiet(lambda xp: fn(x, y), cv)[1], (x, y))


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("dtype", KINDS, ids=lambda d: d.__name__)
@pytest.mark.parametrize("view", list(VIEWS))
def test_view_with_scalar(shape, dtype, view):
    def make(xp):
        return (VIEWS[view](xp, shape, dtype, 3),)

    for name, fn in WITH_SCALAR:
        _check(fn, make)


# Operands that broadcast: one side a view, the other of fewer axes or of length-1 axes.
BROADCASTS = [
    ((16, 12), (12,)), ((16, 12), (16, 1)), ((1, 12), (16, 1)), ((5, 1, 7), (3, 1)), ((4, 9, 8), (9, 1)),
    ((70, 130), (130,)), ((70, 130), (70, 1)), ((3, 4), (5,)), ((2, 3, 4), (3, 5)),
]


@pytest.mark.parametrize("shapes", BROADCASTS, ids=str)
@pytest.mark.parametrize("pair", PAIRS[:2] + PAIRS[3:4], ids=lambda p: f"{p[0].__name__}-{p[1].__name__}")
@pytest.mark.parametrize("views", [("transpose", "contiguous"), ("contiguous", "transpose"), ("reversed", "stepped")])
def test_broadcast_views(shapes, pair, views):
    def make(xp):
        return VIEWS[views[0]](xp, shapes[0], pair[0], 4), VIEWS[views[1]](xp, shapes[1], pair[1], 5)

    for name, fn in TWO:
        _check(fn, make)
        _check(lambda x, y: fn(y, x), make)


# Two operands that are views of one base, some overlapping.
ONE_BASE = [
    lambda a: a[1:] + a[:-1],
    lambda a: a[1:] < a[:-1],
    lambda a: a[::2] * a[1::2],
    lambda a: a[::-1] - a,
    lambda a: a[::-1] == a,
    lambda a: a.reshape(20, 20).T + a.reshape(20, 20),
    lambda a: a.reshape(20, 20).T >= a.reshape(20, 20)[::-1],
    lambda a: a.reshape(20, 20).T * a.reshape(20, 20).T,
    lambda a: a.reshape(20, 20)[:, 1:] & a.reshape(20, 20)[:, :-1],
    lambda a: a.reshape(20, 20)[:, 1:] ^ a.reshape(20, 20).T[1:].T,
]


@pytest.mark.parametrize("dtype", KINDS, ids=lambda d: d.__name__)
@pytest.mark.parametrize("index", range(len(ONE_BASE)))
def test_views_of_one_base(dtype, index):
    def make(xp):
        return (_base(xp, (400,), dtype, 6),)

    _check(ONE_BASE[index], make)


@pytest.mark.parametrize("expr", ["M.T * N.T", "M.T > N.T", "M.T + 1.0", "M.T < 0.5", "I.T + J.T", "B.T & C.T",
                                  "I.T == J.T", "M.T - I.T", "M.T[:, ::2] - N.T[:, ::2]", "M.T[::-1] * N.T[::-1]",
                                  "M.T + v", "M.T + N.T.copy()", "M.T.copy() > N.T", "M.T >= N[::-1].T", "np.maximum(M.T, N.T)",
                                  "np.hypot(M.T[::2], N.T[::2])", "P.transpose(2, 0, 1) + Q.transpose(2, 0, 1)",
                                  "P.transpose(1, 2, 0) * Q.transpose(1, 2, 0)[::-1]", "P.transpose(2, 0, 1) + w",
                                  "np.where(B.T, M.T, N.T)", "np.where(B.T, I.T, 0)", "np.where(B.T, 2.0, N[::-1].T)",
                                  "np.where(B.T, C.T, True)", "np.where(B, M.T.T, N)",
                                  "np.where(P.transpose(2, 0, 1) > 0, P.transpose(2, 0, 1), Q.transpose(2, 0, 1))"])
def test_transposes_keep_their_memory_order(expr):
    # Operands lying alike in memory give a result laid out like them, as NumPy's.
    def env(xp):
        return dict(M=_base(xp, (30, 20), np.float64, 1), N=_base(xp, (30, 20), np.float64, 2),
                    I=_base(xp, (30, 20), np.int64, 3), J=_base(xp, (30, 20), np.int64, 4),
                    B=_base(xp, (30, 20), np.bool_, 5), C=_base(xp, (30, 20), np.bool_, 6),
                    v=_base(xp, (30,), np.float64, 7), w=_base(xp, (4, 1), np.float64, 8),
                    P=_base(xp, (4, 5, 6), np.float64, 9), Q=_base(xp, (4, 5, 6), np.float64, 10), np=xp)

    got = eval(expr, env(cv))
    want = eval(expr, env(np))
    assert_same_outcome(("ok", got), ("ok", want))
    assert np.asarray(got).flags.f_contiguous == want.flags.f_contiguous
    assert np.asarray(got).flags.c_contiguous == want.flags.c_contiguous


def test_zero_stride_and_huge_stride_views():
    # A view stepping over most of a large base, and operands broadcast from one element.
    def make(xp):
        big = _base(xp, (4000, 3), np.float64, 7)
        return big[::1000, ::-1], big[::-1000][:, :1]

    for name, fn in TWO:
        _check(fn, make)


# Operands read backward along some axes (alike or not), sizes across the row chunks of the
# joint walk (1024 elements) and a broadcast operand that steps back or not at all.
BACKWARD = [
    ("a[::-1] * b[::-1]", (3000,)), ("a[::-1] > b[::-1]", (1025,)), ("a[::-1, ::-1] - b[::-1, ::-1]", (37, 41)),
    ("a[::-1] + b[::-1]", (37, 41)), ("a[:, ::-1] * b[:, ::-1]", (5, 2100)), ("a[::-1] - b", (2100,)),
    ("a[::-1, ::-1] + b[::-1]", (30, 40)), ("a[::-1, :, ::-1] * b[::-1, :, ::-1]", (6, 7, 9)),
    ("a.T[::-1] >= b.T[::-1]", (40, 50)), ("a[::-2] - b[::-2]", (4001,)), ("a[::-1] + b[0, ::-1]", (20, 60)),
    ("a[::-1] * b[::-1, :1]", (20, 60)), ("np.maximum(a[::-1], b[::-1])", (1500,)),
    ("np.copysign(a[::-1, ::-1], b[::-1, ::-1])", (64, 64)), ("a[:, ::-1] & b[:, ::-1]", (3, 5)),
    ("a[::-1][::2] ^ b[::-1][::2]", (999,)), ("a[-1:] + b[-1:]", (1,)), ("a[::-1] + b[::-1]", (0,)),
]


@pytest.mark.parametrize("expr,shape", BACKWARD, ids=[e for e, _ in BACKWARD])
@pytest.mark.parametrize("pair", PAIRS, ids=lambda p: f"{p[0].__name__}-{p[1].__name__}")
def test_operands_read_backward(expr, shape, pair):
    _check_layout_and_memory(expr, shape, pair, 11)


def _check_layout_and_memory(expr, shape, pair, seed):
    """The expression as NumPy gives it, its result laid out as NumPy's and sharing no memory."""
    def make(xp):
        return _base(xp, shape, pair[0], seed), _base(xp, shape, pair[1], seed + 1), xp

    fn = lambda a, b, xp: eval(expr, {"a": a, "b": b, "np": xp})  # noqa: E731
    got = _check(fn, make)
    if got[0] == "ok" and isinstance(got[1], cv.ndarray):
        want = _quiet(lambda xp: fn(*make(xp)), np)[1]
        assert np.asarray(got[1]).flags.c_contiguous == want.flags.c_contiguous
        assert np.asarray(got[1]).flags.f_contiguous == want.flags.f_contiguous
        a, b, _ = make(cv)
        _independent(_quiet(lambda xp: fn(a, b, cv), cv)[1], (a, b))


# where over int64 and bool operands (NumPy computes these): results and errors as NumPy's.
WHERE_SIDES = [
    ("x", "y"), ("x", "5"), ("-7", "y"), ("x", "np.int64(3)"), ("x", "np.int8(-2)"), ("x", "True"),
    ("x", "y.astype(bool)"), ("x", "2.5"), ("x", "2**70"), ("x", "y[:1]"), ("3", "4"), ("x", "x"),
]


@pytest.mark.parametrize("sides", WHERE_SIDES, ids=lambda s: ",".join(s))
@pytest.mark.parametrize("dtype", [np.int64, np.bool_], ids=lambda d: d.__name__)
@pytest.mark.parametrize("view,shape", [("contiguous", (3, 5)), ("reversed", (40, 30)), ("transpose", (2, 4)),
                                        ("transpose", (70, 130)), ("view_of_view", (9, 31)), ("stepped", (1500,)),
                                        ("permuted", (3, 4, 5)), ("numpy_owned", (16, 16))])
def test_where_int_and_bool(sides, dtype, view, shape):
    def make(xp):
        return VIEWS[view](xp, shape, np.bool_, 13), VIEWS[view](xp, shape, dtype, 14), \
            VIEWS["reversed"](xp, shape, dtype, 15), xp

    def fn(c, x, y, xp):
        return xp.where(c, *(eval(s, {"x": x, "y": y, "np": np}) for s in sides))

    got = _check(fn, make)
    if got[0] == "ok" and isinstance(got[1], cv.ndarray):
        c, x, y, _ = make(cv)
        _independent(_quiet(lambda xp: fn(c, x, y, cv), cv)[1], (c, x, y))


# Operands stepping alike (or not) along their rows, read in place row by row: steps of
# 2, 3 and backward, rows around the 64-byte lines and the 512-byte chunks of the written
# result, views of one base overlapping, and broadcast operands along either axis.
STEPPED_ROWS = [
    ("a[::2] * b[::2]", (2 * 1000,)), ("a[::2] > b[::2]", (2 * 65,)), ("a[::2] & b[::2]", (2 * 127,)),
    ("a[1::2] - b[::2]", (2 * 130 + 1,)), ("a[::3] + b[::3]", (3 * 257,)), ("a[::-2] * b[::-2]", (2 * 300,)),
    ("a[::-3] >= b[::-3]", (901,)), ("a[::2] + b[::3]", (6 * 50,)), ("a[::2] - b[:300]", (600,)),
    ("a[::-1] + b[:500]", (500,)), ("a[:, ::2] * b[:, ::2]", (7, 2 * 333)), ("a.T[::2] * b.T[::2]", (48, 2 * 40)),
    ("a.T[::2] | b.T[::2]", (300, 2 * 30)), ("a[::2, ::2] < b[::2, ::2]", (20, 2 * 130)),
    ("a[::-1, ::2] + b[::-1, ::2]", (9, 2 * 70)), ("a[:, ::-2] - b[:, ::-2]", (9, 2 * 70)),
    ("a[::2, ::-1] + b[::2, ::-1]", (18, 300)), ("np.maximum(a.T[::2], b.T[::2])", (100, 2 * 100)),
    ("np.minimum(a[::-2], b[::-2])", (2 * 129,)), ("np.copysign(a.T[::2], b.T[::2])", (64, 2 * 64)),
    ("np.copysign(a[::2], b[::2])", (2 * 1025,)), ("np.hypot(a[::2], b[::2])", (2 * 300,)),
    ("np.arctan2(a[::-2], b[::-2])", (2 * 300,)), ("a[:, ::2] + b[0, ::2]", (30, 2 * 50)),
    ("a[:, ::2] * b[:, :1]", (30, 2 * 50)), ("a[::2] + b[::2, None]", (2 * 40, 30)),
    ("a[::2, None] - b[None, ::2]", (2 * 40,)), ("a[::-2, ::2] ^ b[0, ::2]", (12, 2 * 64)),
    # rows short enough to go several to a piece: a last piece partly filled, one operand in place
    ("a[::2, ::3] & b[::2, ::3]", (2 * 11, 3 * 50)), ("a[::2, ::-4] | b[::2, ::4]", (2 * 5, 4 * 128)),
    ("a[:, ::-3] ^ b.reshape(-1)[:288].reshape(9, 32)", (9, 3 * 32)),
]


@pytest.mark.parametrize("expr,shape", STEPPED_ROWS, ids=[e for e, _ in STEPPED_ROWS])
@pytest.mark.parametrize("pair", PAIRS, ids=lambda p: f"{p[0].__name__}-{p[1].__name__}")
def test_stepped_rows(expr, shape, pair):
    _check_layout_and_memory(expr, shape, pair, 16)


# Stepped views of one base, overlapping or interleaved, at offsets across a cache line.
@pytest.mark.parametrize("start", [0, 1, 3, 7])
@pytest.mark.parametrize("expr", ["a[1::2] + a[:-1:2]", "a[2::2] > a[:-2:2]", "a[::-2] * a[1::2]",
                                  "a[2::3] - a[1:-1:3]", "a[::2][::-1] & a[1::2][::-1]",
                                  "a.reshape(40, 30)[:, 1::2] * a.reshape(40, 30)[:, ::2]"])
@pytest.mark.parametrize("dtype", KINDS, ids=lambda d: d.__name__)
def test_stepped_views_of_one_base(start, expr, dtype):
    def make(xp):
        return (_base(xp, (1210,), dtype, 18)[start : start + 1200],)

    _check(lambda a: eval(expr, {"a": a}), make)


# One operand on both sides (read once): every family, every view kind, across the block
# sizes, and runs off a cache line stepping 1 or 2 (the first element NaN where a float).
@pytest.mark.parametrize("shape", [(3, 5), (16, 16), (9, 31), (70, 130)], ids=str)
@pytest.mark.parametrize("dtype", KINDS, ids=lambda d: d.__name__)
@pytest.mark.parametrize("view", list(VIEWS))
def test_an_operand_with_itself(shape, dtype, view):
    def make(xp):
        return (VIEWS[view](xp, shape, dtype, 19),)

    for name, fn in TWO:
        got = _check(lambda x: fn(x, x), make)
        if got[0] == "ok" and isinstance(got[1], cv.ndarray) and got[1].size >= 256:  # laid out as NumPy's
            want = _quiet(lambda xp: fn(*make(xp), *make(xp)), np)[1]
            assert np.asarray(got[1]).flags.f_contiguous == want.flags.f_contiguous, name


@pytest.mark.parametrize("expr", ["a[1:] * a[1:]", "a[3:-2] - a[3:-2]", "a[1::2] + a[1::2]", "a[5::2] / a[5::2]",
                                  "a[1::2] <= a[1::2]", "a[1:] != a[1:]", "np.maximum(a[::-2], a[::-2])",
                                  "a[1:-9].reshape(-1, 5).T * a[1:-9].reshape(-1, 5).T", "a[7:][::-1] ^ a[7:][::-1]"])
@pytest.mark.parametrize("n", [40, 20000])
@pytest.mark.parametrize("dtype", KINDS, ids=lambda d: d.__name__)
def test_a_run_with_itself(expr, n, dtype):
    def make(xp):
        a = _base(np, (n + 10,), dtype, 20)
        if dtype is np.float64:
            a[[1, 5, 7]] = np.nan
        return (xp.asarray(a),)

    _check(lambda a: eval(expr, {"a": a, "np": cv_or_np(a)}), make)


# Loops whose operands pass several second-level caches run in other vectors: the same
# results, off a line and in place too.
FAR = ["a[1:] * b[:-1]", "a[1:] * a[:-1]", "abs(a[1:])", "a[1:] > b[1:]", "np.maximum(a[1:], b[:-1])",
       "i[1:] + j[:-1]", "i[1:].astype('float64')", "a[1:].astype('int64')", "m.T * n.T", "m.T - 1.5",
       "np.where(a > 0, a, b)", "x = a.copy(); x[1:] *= 0.5; x[:-1] += b[1:]; r = x",
       "x = i.copy(); x -= j; x[1:] += 3; r = x"]


@pytest.mark.parametrize("expr", FAR)
def test_loops_past_the_caches(expr):
    def env(xp):
        return dict(a=_base(xp, (1_200_001,), np.float64, 1), b=_base(xp, (1_200_001,), np.float64, 2),
                    i=_base(xp, (1_200_001,), np.int64, 3), j=_base(xp, (1_200_001,), np.int64, 4),
                    m=_base(xp, (1100, 1100), np.float64, 5), n=_base(xp, (1100, 1100), np.float64, 6), np=xp)

    def value(xp):
        names = env(xp)
        if "r = " in expr:
            exec(expr, names)
            return names["r"]
        return eval(expr, names)

    assert_same_outcome(run(value, cv), run(value, np))
