"""ndarray reductions (sum ... cumprod): against NumPy, and their own summation order and NaN bits."""

import struct
import warnings

import numpy as np
import pytest

import corvantile as cv
from conftest import differential, native

NDARRAY = cv._core.ndarray
NAN, INF = float("nan"), float("inf")
AXIS_METHODS = ["sum", "prod", "mean", "max", "min"]
WHOLE_METHODS = ["var", "std", "argmax", "argmin", "any", "all", "cumsum", "cumprod"]
VALUES = [  # sums are exact in any order, so NumPy's own order agrees
    [3.0, -1.5, 2.0, 0.5, 8.0, -4.0, 1.0, 2.5, 6.5], [[1.0, -2.0, 3.5], [4.0, 0.5, -1.0]], 2.5,
    [1.0, NAN, 2.0], [INF, 1.0, -2.0], [], np.ones((2, 0)), np.zeros((0, 3)),
    np.array([3, -1, 7, 0, -5]), np.array([], dtype=np.int64), [True, False, True], np.array([], dtype=bool),
    np.array([2**63 - 1, 1]), [[True, False], [True, True]],
]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", float(x)))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def lanes(xs):
    """The 8-lane order, in Python."""
    m = len(xs) // 8 * 8
    lane = [0.0] * 8
    for i in range(m):
        lane[i % 8] += xs[i]
    body = ((lane[3] + lane[7]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[0] + lane[4])) if m else 0.0
    if m == len(xs):
        return body
    tail = -0.0
    for x in xs[m:]:
        tail += x
    return body + tail


def call(xp, values, method, args=(), kwargs={}):
    a = native(values) if xp is cv else np.asarray(values)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # NumPy's mean of nothing
        r = getattr(a, method)(*args, **kwargs)
    return np.float64(NAN) if type(r) is np.float64 and np.isnan(r) else r  # NaN bits: test_nan_bits


@pytest.mark.parametrize("values", VALUES, ids=range(len(VALUES)))
@pytest.mark.parametrize("method", AXIS_METHODS + WHOLE_METHODS)
@pytest.mark.parametrize("args,kwargs", [((), {}), ((None,), {}), ((), {"axis": None}), ((), {"keepdims": True})])
def test_whole_array_matches_numpy(values, method, args, kwargs):
    differential(lambda xp: call(xp, values, method, args, kwargs))


@pytest.mark.parametrize("values", [[[1.0, -2.0, 3.5], [4.0, NAN, -6.0]], np.ones((2, 3, 4)), np.zeros((0, 3)),
                                    np.arange(24.0).reshape(2, 3, 4) - 11.0])
@pytest.mark.parametrize("method", AXIS_METHODS)
@pytest.mark.parametrize("args,kwargs", [((0,), {}), ((), {"axis": 1}), ((-1,), {})])
def test_axis_matches_numpy(values, method, args, kwargs):
    if method in ("max", "min") and np.asarray(values).shape[args[0] if args else kwargs["axis"]] == 0:
        pytest.skip("own message, below")
    differential(lambda xp: call(xp, values, method, args, kwargs))


def test_axis_of_1d_gives_0d_array():
    a = native([1e16, 1.0, 1.0, 1.0, -1e16, 1.0, 1.0, 1.0])
    assert (a.sum(), a.mean(), a.sum(axis=None), a.sum(*(), **{})) == (6.0, 0.75, 6.0, 6.0)
    assert type(a.sum()) is np.float64 and type(a.mean()) is np.float64
    for r in (a.sum(0), a.sum(axis=0), a.sum(False)):  # bool axes read as 0 / 1
        assert type(r) is NDARRAY and r.shape == () and float(r) == 3.0
    assert native([1e16, 1.0, 1.0, 1.0, -1e16, 1.0, 1.0, 1.0, 1.0]).sum() == 7.0


@pytest.mark.parametrize("n", [0, 1, 7, 8, 9, 16, 17, 1001, 5000])
def test_lane_order_bit_exact(n):
    rng = np.random.default_rng(n)
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-8, 9, n)
    a, xs = native(x), list(x)
    assert bits(a.sum()) == bits(lanes(xs))
    if n:
        assert bits(a.mean()) == bits(lanes(xs) / n)
        m = lanes(xs) / n
        acc = -0.0
        for v in xs:
            acc += (v - m) * (v - m)
        assert bits(a.var()) == bits(acc / n) and bits(a.std()) == bits(np.sqrt(acc / n))
        assert bits(native(np.arange(n) * 2**53 + 1).mean()) == bits(lanes([float(v) for v in np.arange(n) * 2**53 + 1]) / n)


@pytest.mark.parametrize("n", [7, 8, 9, 17, 1001, 9000])
@pytest.mark.parametrize("make", [lambda b: b[::2], lambda b: b[1::2], lambda b: b[::-2], lambda b: b[::-1],
                                  lambda b: b[3::3]], ids=["even", "odd", "backward", "reversed", "third"])
def test_lane_order_bit_exact_over_views(n, make):
    rng = np.random.default_rng(n)
    base = rng.standard_normal(3 * n + 3) * 10.0 ** rng.integers(-8, 9, 3 * n + 3)
    xs = list(make(base)[:n])
    v = make(native(base))[:n]
    assert (bits(v.sum()), bits(v.mean())) == (bits(lanes(xs)), bits(lanes(xs) / n))


@pytest.mark.parametrize("seed", range(16))
def test_max_min_are_the_sequential_fold(seed):
    # Short and long (beyond the vector blocks) arrays of many ties and zeros of both
    # signs, with at most a few NaNs: values, NaN bits, zero signs and first positions.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 40)) if seed < 8 else int(rng.integers(2000, 9000))
    pool = [-0.0, 0.0, -1.0, -2.0] + ([1.0] if seed % 2 else [])
    xs = [float(v) for v in rng.choice(pool, n)]
    if seed % 3 == 0:
        for i in rng.integers(n // 2, n, 2):
            xs[i] = from_bits(0xFFF8000000000123)
    a = native(xs)
    cols = n // 8 * 8
    for method, better in (("max", lambda acc, x: acc > x), ("min", lambda acc, x: acc < x)):
        acc = xs[0]
        for x in xs[1:]:
            acc = NAN if acc != acc or x != x else acc if better(acc, x) else x
        got = getattr(a, method)()
        assert bits(got) == (0x7FF8000000000000 if acc != acc else bits(acc))
        assert bits(getattr(native([xs]), method)(axis=1)[0]) == bits(got)
        want_pos = next((i for i, x in enumerate(xs) if x != x), None)
        if want_pos is None:
            want_pos = xs.index(acc)
        assert getattr(a, "arg" + method)() == want_pos
        m = np.array(xs[:cols]).reshape(-1, 8)
        along = getattr(native(m), method)(axis=0)
        want = getattr(native(m.T.copy()), method)(axis=1)
        assert [bits(v) for v in np.asarray(along)] == [bits(v) for v in np.asarray(want)]


@pytest.mark.parametrize("values,expr,want", [
    ([-0.0], lambda a: a.sum(), 0.0), ([-0.0] * 8, lambda a: a.sum(), 0.0),
    ([[-0.0], [-0.0]], lambda a: a.sum(axis=0)[0], 0.0), ([-0.0, 1.0], lambda a: a.cumsum()[0], 0.0),
    ([0.0, -0.0], lambda a: a.max(), -0.0), ([-0.0, 0.0], lambda a: a.max(), 0.0),
    ([0.0, -0.0], lambda a: a.min(), -0.0), ([-0.0, 0.0], lambda a: a.min(), 0.0),
    ([-0.0, 0.0], lambda a: a.argmax(), 0), ([3.0, 1.0, 1.0], lambda a: a.argmin(), 1),
])
def test_signed_zeros_and_ties(values, expr, want):
    got = expr(native(values))
    assert got == want and np.signbit(got) == np.signbit(want)


PAYLOAD = from_bits(0xFFF8000000000123)


@pytest.mark.parametrize("values,expr,want", [
    ([1.0, PAYLOAD, 2.0], lambda a: a.max(), 0x7FF8000000000000),
    ([PAYLOAD, 1.0], lambda a: a.min(), 0x7FF8000000000000),
    ([[1.0, PAYLOAD]], lambda a: a.max(axis=1)[0], 0x7FF8000000000000),
    ([PAYLOAD], lambda a: a.max(), 0xFFF8000000000123),
    ([[PAYLOAD]], lambda a: a.min(axis=0)[0], 0xFFF8000000000123),
    ([], lambda a: a.mean(), 0x7FF8000000000000), ([], lambda a: a.var(), 0x7FF8000000000000),
    ([], lambda a: a.std(), 0x7FF8000000000000),
])
def test_nan_bits(values, expr, want):
    assert bits(expr(native(values))) == want


@pytest.mark.parametrize("values,method,args,kwargs,exc,message", [
    ([1.0, 2.0], "sum", (True,), {}, ValueError, "axis 1 is out of bounds for array of dimension 1"),
    (2.0, "mean", (), {"axis": 0}, ValueError, "axis 0 is out of bounds for array of dimension 0"),
    ([[1.0]], "max", (-3,), {}, ValueError, "axis -3 is out of bounds for array of dimension 2"),
    (np.zeros((0, 3)), "max", (0,), {}, ValueError, "zero-size array to reduction operation which has no identity"),
    (np.zeros((0, 0)), "min", (), {"axis": 0}, ValueError, "zero-size array to reduction operation which has no identity"),
    ([1.0], "sum", (2**70,), {}, OverflowError, None),
    ([1, 2], "max", (), {"axis": -2**70}, OverflowError, None),
])
def test_own_errors(values, method, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        getattr(native(values), method)(*args, **kwargs)
    assert type(info.value) is exc
    if message:
        assert str(info.value) == message


def test_max_along_empty_inner_axis_is_empty():
    r = native(np.zeros((0, 3))).max(axis=1)
    assert type(r) is NDARRAY and r.shape == (0,)


@pytest.mark.parametrize("values,method,args,kwargs,goes", [
    ([1.0, 2.0], "sum", (0,), {"keepdims": True}, True), ([1.0, 2.0], "sum", (), {"axis": 0, "dtype": float}, True),
    ([[1.0]], "sum", (), {"axis": (0, 1)}, True), ([1.0], "sum", (), {"axis": 1.0}, True),
    ([1.0], "mean", (np.int64(0),), {}, True), ([[1.0]], "min", (0, None), {}, True), ([1.0], "max", (), {"out": None}, True),
    ([1.0], "var", (0,), {}, True), ([1.0], "var", (), {"ddof": 1}, True), ([1.0], "argmax", (), {"axis": None}, True),
    ([1.0], "all", (), {"axis": 0}, True), ([1, 2], "var", (), {}, True), ([True], "cumsum", (), {}, True),
    ([1, 2], "prod", (), {}, True), ([1, 2], "sum", (0,), {}, True), ([True], "max", (), {}, True),
    (np.array([], dtype=np.int64), "mean", (), {}, True),
    ([1.0], "var", (), {}, False), ([1, 2], "any", (), {}, False), ([True], "all", (), {}, False),
    ([1, 2], "max", (None,), {}, False), ([1.0, 2.0], "cumprod", (), {}, False),
])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_which_calls_go_to_numpy(calls, values, method, args, kwargs, goes):
    try:
        getattr(native(values), method)(*args, **kwargs)
    except TypeError:  # NumPy's answer to axis=1.0
        pass
    assert calls == ([("call_method", method, args, kwargs)] if goes else [])


def _sequential(row, method):
    """The fold of one row along an axis: from +0.0 (sum, mean) or 1.0 (prod), or the max/min steps."""
    if method in ("max", "min"):
        acc = row[0]
        for x in row[1:]:
            acc = NAN if acc != acc or x != x else acc if (acc > x if method == "max" else acc < x) else x
        return acc
    acc = 1.0 if method == "prod" else 0.0
    for x in row:
        acc = acc * x if method == "prod" else acc + x
    return acc / len(row) if method == "mean" and row else (NAN if method == "mean" else acc)


ROW_SHAPES = [(1, 1), (2, 9), (3, 8), (5, 0), (7, 17), (8, 16), (9, 1), (9, 8), (15, 7), (16, 24), (17, 33),
              (33, 100), (40, 3), (100, 2), (0, 5), (2, 700)]


@pytest.mark.parametrize("rows,length", ROW_SHAPES)
@pytest.mark.parametrize("method", AXIS_METHODS)
def test_rows_fold_in_order_of_the_sequential_fold(rows, length, method):
    # Several rows at once (groups of vector lanes, a last group that overlaps or repeats
    # rows, a tail of columns) must give each row the bits of its own sequential fold;
    # magnitudes spread so that the order shows in the last bits.
    rng = np.random.default_rng(rows * 1000 + length)
    m = rng.standard_normal((rows, length)) * 10.0 ** rng.integers(-8, 8, (rows, length))
    if m.size:
        m.flat[rng.integers(0, m.size, 3)] = [-0.0, INF if rows % 2 else -0.0, NAN if rows % 3 == 0 else 1e300]
    m[rows // 2:rows // 2 + 1] = -0.0  # a row of negative zeros sums to +0.0
    if method in ("max", "min") and length == 0:
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = np.asarray(getattr(native(m), method)(axis=1))
        got_last = np.asarray(getattr(native(m), method)(axis=-1))
    want = [_sequential([float(v) for v in row], method) for row in m]
    nan_bits = lambda v: 0x7FF8000000000000 if v != v and method != "mean" else bits(v)  # noqa: E731
    assert [nan_bits(v) for v in want] == [nan_bits(v) if v == v else nan_bits(NAN) for v in got]
    assert got.tobytes() == got_last.tobytes() and got.shape == (rows,)


@pytest.mark.parametrize("rows,length", [(1, 1), (3, 1), (3, 9), (20, 17), (4, 40)])
@pytest.mark.parametrize("method", ["max", "min"])
def test_rows_starting_with_a_nan_payload(rows, length, method):
    # One element keeps its NaN's own bits; a step from it gives the quiet NaN.
    m = np.ones((rows, length))
    m[:, 0] = from_bits(0xFFF8000000000123)
    got = np.asarray(getattr(native(m), method)(axis=1))
    assert [bits(v) for v in got] == [0xFFF8000000000123 if length == 1 else 0x7FF8000000000000] * rows


# Counts of true bools: byte lanes added up every 255 lines, a long run's tail taken as its
# last line with the bytes already counted masked off, short runs by words then bytes.
@pytest.mark.parametrize("n", [1, 7, 8, 9, 63, 64, 65, 127, 129, 16319, 16320, 16321, 16384, 16447, 40_001])
def test_bool_sums_at_every_length(n):
    rng = np.random.default_rng(n)
    for v in (rng.random(n + 1) < 0.3, np.ones(n + 1, dtype=bool)):
        differential(lambda xp: (xp.asarray(v)[1:].sum(), xp.asarray(v)[:-1].sum(), xp.asarray(v)[::-1].sum()))
