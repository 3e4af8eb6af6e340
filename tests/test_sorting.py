"""sort, argsort (function and method), abs and isclose against NumPy, and their own rules."""

from datetime import timedelta
from fractions import Fraction

import numpy as np
import pytest

import corvantile as cv
import corvantile._fallback as fb
from conftest import assert_same_array, assert_same_value, differential, native

NDARRAY = cv._core.ndarray
NAN, INF = float("nan"), float("inf")
F = [3.5, NAN, -1.0, 2.0, INF, -INF, 0.5]  # no ties: every sort kind agrees
I = [3, -1, 7, 0, -5]
TIES = [3.0, NAN, 1.0, 1.0, -0.0, 0.0, NAN, 1.0]


def arr(xp, values, dtype=None):
    return native(values, dtype) if xp is cv else np.asarray(values, dtype)


SORTS = [  # (operand, further positionals, keywords); the first seven are native
    (F, (), {}), (F, (0,), {}), (F, (-1,), {}), (F, (np.int64(0),), {}), (F, (), {"stable": None}), ([], (), {}),
    (I, (), {}), (F, (), {"axis": 0}), (F, (), {"kind": "stable"}), (F, (), {"stable": True}), (F, (), {"axis": None}),
    (F, (1,), {}), (F, (0.0,), {}), ([[3.0, 1.0], [NAN, 0.0]], (), {}), ([[3.0, 1.0], [2.0, 0.0]], (0,), {}),
    ([True, False], (), {}), (np.float64(2.0), (), {}),
]


@pytest.mark.parametrize("row", range(len(SORTS)))
@pytest.mark.parametrize("descending", [None, False, True])
def test_sort_matches_numpy_with_descending_as_a_flip(row, descending):
    values, args, kwargs = SORTS[row]

    def call(xp):
        a = arr(xp, values) if isinstance(values, list) else values
        if xp is np:
            r = np.sort(a, *args, **kwargs)
            return np.flip(r, args[0] if args else kwargs.get("axis", -1)) if descending else r
        return cv.sort(a, *args, **kwargs, **({} if descending is None else {"descending": descending}))
    got = differential(call)
    assert (type(got) is NDARRAY) == (row < 7)


NAN_PAYLOAD = np.array([0xFFF8000000000123, 0x7FF0000000000001], dtype=np.uint64).view(np.float64)
LONG_SORTS = [  # past the length where the sorts change method; many equal keys
    np.random.default_rng(1).choice(np.r_[-0.0, 0.0, 1.0, NAN, -2.0, NAN_PAYLOAD, INF, -INF, 5e-324, -5e-324], 5000),
    np.random.default_rng(2).standard_normal(3000),
    np.random.default_rng(3).integers(-3, 3, 4000) * (2**62 // 3),
    np.random.default_rng(4).integers(-2**63, 2**63 - 1, 300, endpoint=True),
    np.r_[np.full(300, -0.0), np.zeros(300)][np.random.default_rng(5).permutation(600)],
]


@pytest.mark.parametrize("x", LONG_SORTS, ids=range(len(LONG_SORTS)))
def test_long_sorts_are_stable(x):
    # Compared bit for bit: NaN payloads, signs of zeros and the order of equal keys.
    order = np.argsort(x, kind="stable")
    for got in (cv.argsort(native(x)), native(x).argsort()):
        assert_same_array(got, order)
    for got, want in ((cv.sort(native(x)), x[order]), (cv.sort(native(x), descending=True), x[order][::-1])):
        assert type(got) is NDARRAY
        assert np.asarray(got).view(np.uint64).tolist() == want.view(np.uint64).tolist()


NAN_BITS = np.array([0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF,
                     0x7FF8DEADBEEF0000], dtype=np.uint64).view(np.float64)
PATTERNS = {  # name: values of length n from a generator
    "nans and zeros": lambda g, n: g.choice(np.r_[NAN_BITS, -0.0, 0.0, -0.0, 0.0, 1.0, -1.0, INF, -INF, 5e-324], n),
    "ties": lambda g, n: g.integers(-2, 3, n).astype(np.float64),
    "all equal": lambda g, n: np.full(n, -0.5),
    "sorted": lambda g, n: np.arange(n, dtype=np.float64) - 3.0,
    "reversed": lambda g, n: np.arange(n, 0, -1, dtype=np.float64),
    # Far extremes around neighbouring values: keys equal in their high bits.
    "wide cluster f64": lambda g, n: np.where(g.integers(0, 6, n) == 0, -1e300, 1.0 + g.integers(0, 40, n) * 2.0**-52),
    "wide cluster i64": lambda g, n: g.choice(np.r_[-2**63, 2**63 - 1, np.arange(30)], n),
    "random i64": lambda g, n: g.integers(-2**63, 2**63 - 1, n, endpoint=True),
    # Mostly numbers, with a few zeros of each sign and NaNs.
    "sparse specials": lambda g, n: np.where(g.random(n) < 0.1, g.choice(np.r_[NAN_BITS, -0.0, 0.0], n),
                                             g.standard_normal(n)),
}
LENGTHS = [0, 1, 2, 3, 7, 8, 9, 16, 17, 31, 32, 33, 64, 65, 128, 129, 192, 193, 255, 256, 257, 320, 511, 512, 513,
           1023, 1024, 1025]


@pytest.mark.parametrize("n", LENGTHS)
@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("form", ["contiguous", "every other", "reversed"])
def test_sorts_bit_for_bit_at_every_length(pattern, n, form):
    # The stable order NumPy gives, compared bit for bit; strided views as input too.
    base = PATTERNS[pattern](np.random.default_rng(n), 2 * n)
    pick = {"contiguous": slice(0, n), "every other": slice(None, None, 2), "reversed": slice(n - 1, None, -1)}[form]
    x = base[pick]
    a = native(base)[pick] if form != "contiguous" else native(x)
    order = np.argsort(x, kind="stable")
    for got in (cv.argsort(a), a.argsort()):
        assert type(got) is NDARRAY
        assert_same_array(got, order)
    for got, want in ((cv.sort(a), x[order]), (cv.sort(a, descending=True), x[order][::-1])):
        assert type(got) is NDARRAY and np.asarray(got).dtype == x.dtype
        assert np.asarray(got).view(np.uint64).tolist() == want.view(np.uint64).tolist()


ARGSORT_INPUTS = [TIES, [], [NAN, NAN], I, [[3.0, 1.0, 3.0], [0.0, 0.0, -0.0]]]
ARGSORT_CALLS = [((), {}), ((-1,), {}), ((), {"stable": None}), ((), {"axis": None}),
                 ((), {"stable": True}), ((-1, "stable"), {})]


@pytest.mark.parametrize("values", ARGSORT_INPUTS)
@pytest.mark.parametrize("args,kwargs", ARGSORT_CALLS)
@pytest.mark.parametrize("form", ["function", "method", "list"])
def test_argsort_is_numpys_stable_argsort(values, args, kwargs, form):
    x = np.asarray(values)
    a = list(values) if form == "list" else native(values)
    got = a.argsort(*args, **kwargs) if form == "method" else cv.argsort(a, *args, **kwargs)
    assert_same_array(got, np.argsort(x, args[0] if args else kwargs.get("axis", -1), kind="stable"))
    native_form = form != "list" and not (args or kwargs) and x.dtype != bool and x.ndim == 1
    assert (type(got) is NDARRAY) == native_form
    if form == "function":
        want = fb.argsort_descending(x, *args, **kwargs)
        assert_same_array(cv.argsort(a, *args, descending=True, **kwargs), np.asarray(want))


@pytest.mark.parametrize("call,kwargs", [
    (lambda: cv.argsort([2, 1]), {"kind": "stable"}),
    (lambda: cv.argsort([2, 1], stable=False), {"stable": False}),
    (lambda: cv.argsort([2, 1], -1, "quicksort"), {}),
    (lambda: cv.argsort([2, 1], kind="heapsort", stable=None), {"kind": "heapsort", "stable": None}),
    (lambda: native([[2, 1]], "int64").argsort(), {"kind": "stable"}),
    (lambda: native(F).argsort(kind="quicksort"), {"kind": "quicksort"}),
    (lambda: cv.argsort(native(F), descending=False, axis=0), {"axis": 0, "kind": "stable"}),
    (lambda: cv.isclose([1], [1], rtol=1), {"rtol": 1}),
    (lambda: cv.isclose(native(F), 1.0, 0.5, np.float32(0.5), False), {"rtol": 0.5, "atol": np.float32(0.5), "equal_nan": False}),
    (lambda: native(F).argsort(-1), {"kind": "stable"}),
    (lambda: native(F).argsort(axis=0, kind="quicksort"), {"axis": 0, "kind": "quicksort"}),
])
def test_keywords_handed_to_numpy(calls, call, kwargs):
    call()
    assert [c[3] for c in calls] == [kwargs]


@pytest.mark.parametrize("make", [
    lambda xp: xp.abs(arr(xp, [-1.5, -0.0, NAN, -INF, 2.0])), lambda xp: xp.abs(arr(xp, [[-1.0], [3.0]])),
    lambda xp: xp.abs(arr(xp, I)), lambda xp: xp.abs(arr(xp, [True, False])),
    *[lambda xp, x=x: xp.abs(x) for x in (np.float64(-2.5), True, [-1, 2])],
    lambda xp: xp.abs(arr(xp, [-1.0, 2.0]), arr(xp, [0.0, 0.0])),
    lambda xp: xp.abs(arr(xp, [-1.0]), dtype="float32"),
])
def test_abs_matches_numpy(make):
    differential(make)


@pytest.mark.parametrize("x,want", [(-2, 2.0), (-1, 1.0), (-0.0, 0.0), (-(2**62), 2.0**62), (-INF, INF)])
def test_abs_of_python_numbers_is_a_python_float(x, want):
    assert_same_value(cv.abs(x), want)
    assert_same_value(cv.abs(x=x), want)


def test_abs_own_rules():
    with pytest.raises(OverflowError):
        cv.abs(-(2**1100))
    for kwargs in ({}, {"out": None}):  # x is required, also when only keywords come
        with pytest.raises(TypeError, match=r"^abs\(\) missing 1 required positional argument: 'x'$"):
            cv.abs(**kwargs)
    r = cv.abs(native(-3.0))  # a 0-d array stays an array
    assert type(r) is NDARRAY and r.shape == ()
    bits = np.array([0xFFF8_0000_0000_0001], np.uint64).view(np.float64)  # NaN with sign and payload
    assert np.asarray(cv.abs(native(bits))).view(np.uint64)[0] == 0x7FF8_0000_0000_0001


A = [1.0, 1.0 + 1e-9, NAN, INF, -INF, 0.0, 1e-9, 1e10]
B = [1.0, 1.0, NAN, INF, INF, 1e-9, 0.0, 1.00001e10]


NAMED = {"A": A, "B": B}
ISCLOSE = [  # (args, kwargs): the names A and B and lists become arrays, tuples plain lists
    (("A", "B"), {}), (("B", "A"), {"equal_nan": True}), (("A", "B", 0.0, 0.0), {}),
    (("A", "B"), {"atol": -1.0, "rtol": 0.0}), (([[1.0, NAN]], [[1.0, NAN]]), {"equal_nan": np.True_}),
    (("A", 1), {}), ((1.00001, "A"), {"atol": 0}), (("A", True), {}), ((np.float64(NAN), "A"), {"equal_nan": True}),
    (("A", [B]), {}), (([1.0, 2.0], [1, 2]), {}), (([1.0, 2.0], (1.0, 2.0)), {}), (([1.0, 2.0], [1.0, 2.0, 3.0]), {}),
    ((1.0, 1.0 + 1e-9), {}), ((1.0, 1.00001), {"atol": 0}), ((1.00001, 1.0), {"atol": 0}), ((NAN, NAN), {}),
    ((NAN, NAN), {"equal_nan": True}), ((INF, INF), {}), ((INF, -INF), {}), ((2**80, 2.0**80), {}), ((1.0, 1j), {}),
    ((), {"a": 1.0, "b": 2.0, "rtol": 1}), (("A", "B"), {"atol": INF}), (("B", "A"), {"rtol": INF}),
    ((1.0,), {}), ((1.0, 2.0), {"bogus": 1}), (("A", Fraction(1, 4)), {}),
    (([INF, -INF, 1e308], [1e308, 1e308, -1e308]), {"rtol": 10.0}), ((INF, 1e308), {"rtol": 10}),
    (([1.0, 2.0], [1.0, 2.1]), {"atol": (0.0, 0.2)}), (([1.0, 2.0], [1.0, 2.1]), {"atol": [0.0, 0.2]}),
    *[(("A", "B"), {k: v}) for k, v in [("rtol", np.float32(0.1)), ("atol", timedelta(1)), ("atol", 2**70),
                                         ("rtol", None), ("atol", "x")]],
]


def operand(xp, x):
    x = NAMED.get(x, x) if isinstance(x, str) else x
    return arr(xp, x) if isinstance(x, list) else list(x) if type(x) is tuple else x


@pytest.mark.parametrize("args, kwargs", ISCLOSE)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_isclose_matches_numpy(args, kwargs):
    differential(lambda xp: xp.isclose(*(operand(xp, x) for x in args),
                                       **{k: operand(xp, v) for k, v in kwargs.items()}))


@pytest.mark.filterwarnings("ignore:One of rtol or atol is not valid")
@pytest.mark.parametrize("rtol", [NAN, -1.0])
def test_isclose_equal_numbers_are_close_whatever_the_tolerance(rtol):
    differential(lambda xp: xp.isclose(arr(xp, [1.0, 2.0, 0.0]), arr(xp, [1.0, 2.5, 0.0]), rtol=rtol, atol=0.0))
    differential(lambda xp: xp.isclose(3.0, 3.0, rtol=rtol, atol=-1.0))


def test_isclose_own_rules():
    r = cv.isclose(native(1.0), 1.0)  # a 0-d array gives a 0-d array
    assert type(r) is NDARRAY and r.shape == () and bool(r)
    with pytest.raises(TypeError) as e:
        cv.isclose([1.0], [1.0], equal_nan=1)
    assert e.value.__notes__ == ["while processing 'equal_nan'"]


class RaisingBool:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize("fn", ["sort", "argsort"])
def test_descending_flag_whose_truth_fails(fn):
    with pytest.raises(ValueError, match="^no truth$"):
        getattr(cv, fn)(native([1.0, 2.0]), descending=RaisingBool())


PIVOT_PATTERNS = {  # inputs that test a quicksort's pivots, with NaNs and zeros mixed in
    "mostly one value": lambda g, n: np.where(g.random(n) < 0.8, 1.5, g.standard_normal(n)),
    "two values and specials": lambda g, n: g.choice(np.r_[-1.0, 2.0, NAN_BITS, -0.0, 0.0], n),
    "organ pipe": lambda g, n: np.minimum(np.arange(n), n - np.arange(n)).astype(np.float64) - n / 4,
    "sawtooth with infinities": lambda g, n: np.where(np.arange(n) % 11 == 0, INF, np.arange(n) % 37 - 18.5),
    "i64 extremes": lambda g, n: g.choice(np.r_[-2**63, 2**63 - 1, -1, 0, 1], n),
    "i64 sorted runs": lambda g, n: np.sort(g.integers(-2**62, 2**62, n).reshape(-1, 1), axis=0).ravel()[::-1].copy(),
    "subnormals and infinities": lambda g, n: np.where(
        g.random(n) < 0.5, g.choice(np.r_[5e-324, -5e-324, 1e-310, -1e-310, 2.2e-308, INF, -INF], n), g.standard_normal(n)),
    "i64 few values": lambda g, n: g.integers(0, 3, n) * (2**62) - 2**62,
}


@pytest.mark.parametrize("n", [65, 66, 67, 97, 257, 258, 263, 385, 1026, 1041, 1153, 4099, 8193, 100_003])
@pytest.mark.parametrize("pattern", PIVOT_PATTERNS)
@pytest.mark.parametrize("form", ["contiguous", "every other", "descending"])
def test_sort_matches_numpy_past_the_small_sizes(pattern, n, form):
    base = PIVOT_PATTERNS[pattern](np.random.default_rng(n), 2 * n)
    x = base[::2] if form == "every other" else base[:n]
    native_base = native(base)
    a = native_base[::2] if form == "every other" else native(x)
    want = x[np.argsort(x, kind="stable")]  # NumPy's values, zeros and NaNs in input order
    got = cv.sort(a, descending=form == "descending")
    if form == "descending":
        want = want[::-1]
    assert type(got) is NDARRAY and np.asarray(got).dtype == x.dtype
    assert np.array_equal(np.asarray(got).view(np.uint64), want.view(np.uint64))
    # The view's elements are sorted in a copy, never where they lie.
    assert np.array_equal(np.asarray(native_base).view(np.uint64), base.view(np.uint64))
