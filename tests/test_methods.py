"""ndarray.round, clip, astype, copy, fill and dot against NumPy, and the road of declined calls."""

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, differential, native

# NumPy warns when it casts NaN or out-of-range floats to int64 or rounds at an infinite
# scale; the comparison is of values.
pytestmark = pytest.mark.filterwarnings("ignore:invalid value encountered in:RuntimeWarning")

F = [0.5, 1.5, 2.5, -0.5, -2.5, 0.25, 0.35, 15.0, 25.0, 35.0, np.nan, np.inf, -np.inf, -0.0, 1234.5678,
     994.9999999999999, 1.2345678901234567e-20]
I = [3, -2, 0, 7]
B = [True, False, True]


def arr(xp, values, dtype=None):
    return native(values, dtype) if xp is cv else np.asarray(values, dtype=dtype)


@pytest.mark.parametrize("values", [F, [[1.25, -3.75], [2.5, 0.125]], [], I, B])
@pytest.mark.parametrize("method,args,kwargs", [
    ("round", (), {}), ("round", (1,), {}), ("round", (), {"decimals": 2}), ("round", (-1,), {}),
    ("round", (True,), {}), ("round", (2.0,), {}), ("round", (1,), {"out": None}), ("round", (1, None), {}),
    ("round", (-3,), {}), ("round", (-400,), {}), ("round", (30,), {}), ("round", (45,), {}),
    ("clip", (0.0, 1.0), {}), ("clip", (0.0, np.nan), {}), ("clip", (-np.nan, 1.0), {}), ("clip", (-np.nan, np.nan), {}),
    ("clip", (None, np.nan), {}), ("clip", (-np.nan, None), {}), ("clip", (None, 1), {}), ("clip", (True, 2), {}),
    ("clip", (2.0, 1.0), {}), ("clip", (0,), {}), ("clip", (), {"min": 0, "max": 1}),
    ("clip", (np.int64(0), 1), {}), ("clip", ([0], 1), {}),
    ("astype", (float,), {}), ("astype", (np.int64,), {}), ("astype", (bool,), {}),
    ("astype", (None,), {}), ("astype", (np.float32,), {}), ("astype", (np.uint8,), {}),
    ("astype", (int,), {"copy": False}), ("astype", ("nope",), {}), ("astype", ("int64",), {}),
    ("astype", (">f8",), {}), ("astype", (">i8",), {}), ("astype", (np.dtype(">f8"),), {}), ("astype", ("=f8",), {}),
    ("astype", ("<i8",), {}), ("astype", ("|b1",), {}), ("astype", (np.dtype("int64"),), {}), ("astype", ("q",), {}),
    ("astype", (np.dtype("f8", metadata={"m": 1}),), {}), ("astype", (np.dtype(("f8", (2,))),), {}),
    ("copy", (), {}), ("copy", ("C",), {}), ("copy", (), {"order": "k"}), ("copy", ("F",), {}),
    ("copy", ("CC",), {}),
])
def test_against_numpy(values, method, args, kwargs):
    if method == "astype" and args[0] is np.int64 and values is F:
        values = [1.9, -1.9, 9.1e18, -0.0]
    differential(lambda xp: call(getattr(arr(xp, values), method), args, kwargs))


def call(f, args, kwargs):
    """f(*args, **kwargs), without a keyword dictionary when there are no keywords."""
    return f(*args, **kwargs) if kwargs else f(*args)


@pytest.mark.parametrize("values,dtype,method,args,kwargs,goes", [
    (F, None, "round", (), {}, False), (F, None, "round", (2,), {}, False), (F, None, "round", (), {"decimals": 2}, False),
    (F, None, "round", (2.0,), {}, True), (F, None, "round", (2**40,), {}, True), (F, None, "round", (1,), {}, False),
    (F, None, "round", (), {"out": None}, True), (I, None, "round", (), {}, True),
    (F, None, "clip", (0, 1), {}, False), (F, None, "clip", (0,), {}, True), (I, None, "clip", (0, 1), {}, True),
    (F, None, "astype", (np.int64,), {}, True), ([1.5], None, "astype", (np.int64,), {}, False),
    ([9.2e18], None, "astype", (np.int64,), {}, True), (I, None, "astype", ("f4",), {}, True),
    (I, None, "astype", (">i8",), {}, True), (F, None, "astype", ("=f8",), {}, False),
    (I, None, "copy", ("F",), {}, True), (B, None, "copy", ("A",), {}, False),
])
def test_which_calls_go_to_numpy(calls, values, dtype, method, args, kwargs, goes):
    try:
        call(getattr(native(values, dtype), method), args, kwargs)
    except (TypeError, OverflowError):
        pass
    assert calls == ([("call_method", method, args, kwargs)] if goes else [])


def test_own_choices_where_numpy_differs():
    assert np.isnan(np.asarray(native([1.5, -np.inf, 0.0]).round(400))).all()  # the scale is infinite
    assert_same_array(native([np.nan, -0.0, 3.0]).clip(0.0, 1.0), np.array([np.nan, -0.0, 1.0]))
    assert_same_array(native([-0.0, -1.0]).clip(0, None), np.array([-0.0, 0.0]))
    for values in (F, I):
        with pytest.raises(ValueError, match="^One of max or min must be given$"):
            native(values).clip(None, None)
    for values, bounds in ((I, (0, 10**400)), (F, (0, 10**400)), (F, (-(10**400), None))):
        with pytest.raises(OverflowError, match="^int too large to convert to float$"):
            native(values).clip(*bounds)
    assert_same_array(native([np.nan, 0.0, -0.0]).astype(bool), np.array([True, False, False]))


def test_results_are_new_arrays_with_their_own_memory():
    for a in (native(F), native(I), native(B)):
        for b in (a.astype(a.dtype), a.copy(), a.astype(float).round(), a.astype(float).clip(0, 1)):
            assert b is not a and not np.shares_memory(np.asarray(a), np.asarray(b))
    assert type(native(2.5).round()) is cv.ndarray


@pytest.mark.parametrize("dtype,value", [(None, 2), (None, 2.5), (None, True), (None, 10**20), (np.int64, 4),
                                         (np.bool_, 0), (None, [1.0, 2.0, 3.0]), (None, "x")])
def test_fill(dtype, value):
    def fill(xp):
        a = arr(xp, [1.0, 2.0, 3.0], dtype)
        return a.fill(value), np.asarray(a).copy()
    differential(fill)


def test_fill_of_a_strided_view_writes_the_base_and_int_arrays_go_to_numpy(calls):
    base = native(np.zeros((3, 4)))
    cv._view_of(base, np.asarray(base)[:, 1]).fill(7)
    assert_same_array(np.asarray(base)[:, 1], np.full(3, 7.0))
    assert np.asarray(base).sum() == 21.0 and calls == []
    native(I).fill(1)
    assert calls == [("call_method", "fill", (1,), {})]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'value'"):
        native(F).fill()


@pytest.mark.parametrize("a,b", [
    ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]), ([], []), ([[1.0, 2.0], [3.0, 4.0]], [1.0, 2.0]), ([1, 2], [3.0, 4.0]),
    ([1.0, 2.0], 3.0), ([1.0, 2.0], [[1.0], [2.0]]), ([1.0, 2.0], np.array([1.0, 2.0])),
])
def test_dot_against_numpy(a, b):
    differential(lambda xp: arr(xp, a).dot(arr(xp, b) if isinstance(b, list) else b))
    differential(lambda xp: arr(xp, a).dot(b))
    differential(lambda xp: arr(xp, a).dot(b=b))
    differential(lambda xp: arr(xp, a).dot(b=b, out=None))
    for xp in (cv, np):  # the method's own wording names the class: "ndarray.dot()"
        with pytest.raises(TypeError, match=r"dot\(\) got an unexpected keyword argument 'other'$"):
            arr(xp, a).dot(other=b)


def test_dot_sums_products_in_the_lane_order(calls):
    rng = np.random.default_rng(5)
    for n in (1, 7, 8, 9, 16, 37, 1000):
        # views that end before their base does: nothing past the last element is read
        x, y = native(rng.standard_normal(n + 1))[:n], native(rng.standard_normal(n + 1))[:n]
        got = x.dot(y)
        assert type(got) is np.float64 and got == (x * y).sum()
    assert calls == []
    with pytest.raises(ValueError, match=r"^shapes \(3,\) and \(4,\) not aligned$"):
        native([1.0, 2.0, 3.0]).dot(native([1.0, 2.0, 3.0, 4.0]))
    native([1.0]).dot([2.0])
    assert calls[0][:2] == ("call", "dot")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'b'"):
        native([1.0]).dot()


CAST_SPECIALS = [None, np.nan, np.inf, -np.inf, 9.2e18, -9.2e18, 9.199999999999999e18, -9.199999999999999e18,
                 -0.0, 0.9999999999999999, -1.0000000000000002, 2.0**62, -(2.0**62), 4503599627370495.5, 5e-324]


@pytest.mark.parametrize("special", CAST_SPECIALS)
@pytest.mark.parametrize("n", [1, 3, 4, 7, 8, 9, 15, 16, 17, 33, 64, 65, 600])
@pytest.mark.parametrize("at", ["first", "last"])
def test_astype_int64_of_special_values_at_every_length(special, n, at):
    # The range check and the conversion run in one vectorised pass: one value out of
    # range anywhere (body or tail of the loop) hands the whole cast to NumPy.
    values = np.random.default_rng(n).standard_normal(n) * 1e6
    if special is not None:
        values[0 if at == "first" else n - 1] = special
    differential(lambda xp: arr(xp, values).astype("int64"))


@pytest.mark.parametrize("decimals", [0, 2, -1, 5])
@pytest.mark.parametrize("n", [1, 3, 4, 5, 8, 9, 17, 100])
def test_round_of_ties_and_special_values_at_every_length(decimals, n):
    pool = [0.5, 1.5, 2.5, -0.5, -2.5, 0.125, 0.015, -0.025, 2.0**52 + 1, -(2.0**51) - 0.5, 4503599627370495.5,
            0.49999999999999994, -0.49999999999999994, 1e300, np.nan, np.inf, -np.inf, -0.0, 5e-324, 12345.675]
    rng = np.random.default_rng(n + 10 * (decimals + 1))
    values = [pool[i] for i in rng.integers(0, len(pool), n)]
    differential(lambda xp: arr(xp, values).round(decimals))
