"""The arithmetic, bitwise, shift and matrix operators of ndarray against NumPy."""

import math
import operator
import warnings

import numpy as np
import pytest

import corvantile as cv
from conftest import differential
from operator_cases import I64_MAX, I64_MIN, OTHERS, SELVES, check_table

BINARY = {
    "+": operator.add,
    "-": operator.sub,
    "*": operator.mul,
    "/": operator.truediv,
    "//": operator.floordiv,
    "%": operator.mod,
    "**": operator.pow,
    "&": operator.and_,
    "|": operator.or_,
    "^": operator.xor,
    "<<": operator.lshift,
    ">>": operator.rshift,
    "@": operator.matmul,
}


def native_self(name):
    a = SELVES[name](cv)
    if not isinstance(a, cv.ndarray):
        pytest.skip(f"{name} is not a native array yet")
    return SELVES[name]


def _operate(op, make_self, reflected):
    f = BINARY[op]

    def make(xp, other_name):
        a = make_self(xp)
        b = OTHERS[other_name](xp, a.shape)
        return f(b, a) if reflected else f(a, b)

    return make


@pytest.mark.parametrize("reflected", [False, True], ids=["forward", "reflected"])
@pytest.mark.parametrize("self_name", list(SELVES))
@pytest.mark.parametrize("op", list(BINARY))
def test_every_operand_pair(op, self_name, reflected):
    make_self = native_self(self_name)
    others = list(OTHERS)
    if op == "*":
        # The interpreter repeats the text after NotImplemented, taking a 0-d int array
        # as the count (test_text_operands).
        others.remove("str")
    check_table(_operate(op, make_self, reflected), others, power=op == "**")


# ---- which forms are native ------------------------------------------------------------

# (self, operator, other, native?): native results are corvantile arrays, the rest
# NumPy's arrays.
ROUTES = [
    *[("f64 (12,)", op, other, True) for op in "+ - * / // % **".split()
      for other in ["2.5", "3", "True", "2**63", "f64 same", "i64 same", "bool same", "f64 (1,)", "np.float32"]],
    ("f64 (3, 4)", "+", "f64 row", True),
    ("f64 (12,)", "+", "list same", False),
    ("f64 (12,)", "+", "np f64 same", False),
    ("f64 (12,)", "+", "1j", False),
    ("i64 (12,)", "+", "3", True),
    ("i64 (12,)", "*", "int64 max", True),
    ("i64 (12,)", "-", "i64 same", True),
    ("i64 (12,)", "+", "i64 (1,)", False),
    ("i64 (12,)", "+", "bool same", False),
    ("i64 (12,)", "+", "True", False),
    ("i64 (12,)", "+", "2.5", True),
    ("i64 (12,)", "+", "f64 same", True),
    ("i64 (12,)", "+", "np.float32", False),
    ("i64 (12,)", "+", "np.bool", False),
    ("i64 (3, 4)", "/", "i64 row", True),
    ("i64 (12,)", "/", "bool same", True),
    ("i64 (12,)", "/", "3", True),
    ("i64 (12,)", "/", "True", True),
    ("i64 (12,)", "//", "2", False),
    ("i64 (12,)", "//", "2.0", True),
    ("i64 (12,)", "%", "2", False),
    ("i64 (12,)", "**", "2", False),
    ("bool (12,)", "+", "bool same", False),
    ("bool (12,)", "/", "bool same", True),
    ("bool (12,)", "+", "2.5", True),
    ("bool (12,)", "+", "np.float32", False),
    ("bool (12,)", "+", "3", False),
    ("bool (12,)", "&", "bool same", True),
    ("bool (12,)", "^", "True", True),
    ("bool (12,)", "&", "2", False),
    ("bool (3, 4)", "&", "bool row", False),
    ("i64 (12,)", "&", "i64 same", True),
    ("i64 (12,)", "|", "3", True),
    ("i64 (12,)", "^", "True", False),
    ("i64 (12,)", "<<", "2", False),
    ("i64 (12,)", ">>", "i64 same", False),
    ("f64 (12,)", "@", "f64 same", False),
]


@pytest.mark.parametrize("self_name, op, other, native", ROUTES)
def test_native_or_numpy(self_name, op, other, native):
    a = SELVES[self_name](cv)
    with np.errstate(all="ignore"):
        r = BINARY[op](a, OTHERS[other](cv, a.shape))
    assert isinstance(r, cv.ndarray) is native, type(r)


@pytest.mark.parametrize("self_name, op, other, native", [
    ("f64 (12,)", "-", "2.5", True),
    ("f64 (12,)", "/", "True", True),
    ("i64 (12,)", "-", "3", True),
    ("i64 (12,)", "/", "3", True),
    ("i64 (12,)", "+", "True", False),
    ("i64 (12,)", "-", "2.5", True),
    ("bool (12,)", "/", "2.5", True),
    ("bool (12,)", "&", "False", True),
    ("bool (12,)", "*", "list same", False),
])
def test_native_or_numpy_reflected(self_name, op, other, native):
    a = SELVES[self_name](cv)
    with np.errstate(all="ignore"):
        r = BINARY[op](OTHERS[other](cv, a.shape), a)
    assert isinstance(r, cv.ndarray) is native, type(r)


# ---- the operators' own rules ------------------------------------------------------------

@pytest.fixture
def a():
    return cv.asarray(np.array([1.0, -2.0, 3.0]))


@pytest.mark.parametrize("op", "+ - * / // % **".split())
@pytest.mark.parametrize("other", [object(), None, "abc"])
def test_unknown_operands_give_not_implemented(a, op, other):
    f = BINARY[op]
    if isinstance(other, str) and op == "*":
        return  # the text's own repetition takes over (test_text_operands)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for .*: 'corvantile.ndarray' and"):
        f(a, other)
    if isinstance(other, str):
        return  # the text's own + * % take over (test_text_operands)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for .*and 'corvantile.ndarray'"):
        f(other, a)


def test_text_operands(a):
    with pytest.raises(TypeError, match="can only concatenate str"):
        "abc" + a
    with pytest.raises(TypeError):
        "abc" * a
    with pytest.raises(TypeError):
        a * "abc"
    assert "abc" * cv.asarray(np.array(2)) == "abcabc"  # a 0-d int array counts as an index


def test_slot_wrappers_answer_not_implemented(a):
    assert a.__add__(object()) is NotImplemented
    assert a.__rsub__(None) is NotImplemented


@pytest.mark.parametrize("op", ["&", "|", "^", "<<", ">>", "@"])
def test_numpy_operators_never_decline(a, op):
    # NumPy is asked even for an object it cannot take; its own error comes back.
    with pytest.raises((TypeError, ValueError)) as info:
        BINARY[op](a, object())
    assert "corvantile.ndarray" not in str(info.value)


def test_pow_modulus(a):
    with pytest.raises(TypeError, match=r"^pow\(\) with modulus is not supported$"):
        pow(a, 2, 5)
    with pytest.raises(TypeError, match=r"^pow\(\) with modulus is not supported$"):
        pow(2, a, 5)
    assert np.array_equal(np.asarray(pow(a, 2, None)), np.asarray(a) ** 2)


def test_float_edge_values():
    # Division and remainder by zero give IEEE values and no warning.
    x = cv.asarray(np.array([1.0, -1.0, 0.0]))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = [np.asarray(v) for v in (x // 0.0, x // -0.0, x % 0.0, x / 0.0, x / -0.0)]
    want = [[math.inf, -math.inf, math.nan], [-math.inf, math.inf, math.nan], [math.nan] * 3,
            [math.inf, -math.inf, math.nan], [-math.inf, math.inf, math.nan]]
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, np.array(w))
    floor = [(-7.0, 2.0, -4.0), (7.0, -2.0, -4.0), (7.5, 2.0, 3.0), (-0.0, 1.0, -0.0), (0.0, -1.0, -0.0),
             (1.0, math.inf, 0.0), (-1.0, math.inf, -1.0)]
    mod = [(5.0, -3.0, -1.0), (-6.0, 3.0, 0.0), (6.0, -3.0, -0.0), (-5.5, 2.0, 0.5), (-1.0, math.inf, math.inf),
           (1.0, -math.inf, -math.inf)]
    for op, table in ((operator.floordiv, floor), (operator.mod, mod)):
        for x, y, want in table:
            got = float(np.asarray(op(cv.asarray(np.array([x])), y))[0])
            assert got == want and math.copysign(1, got) == math.copysign(1, want), (op, x, y, got)


def test_int64_wraps():
    x = cv.asarray(np.array([I64_MAX, I64_MIN, 2**62]))
    assert np.asarray(x + 1).tolist() == [I64_MIN, I64_MIN + 1, 2**62 + 1]
    assert np.asarray(x - 1).tolist() == [I64_MAX - 1, I64_MAX, 2**62 - 1]
    assert np.asarray(x * 4).tolist() == [-4, 0, 0]
    assert np.asarray(3 - x).tolist() == [I64_MIN + 4, I64_MIN + 3, 3 - 2**62]
    assert np.asarray(x + x).tolist() == [-2, 0, I64_MIN]
    assert np.asarray(x * x).tolist() == [1, 0, 0]


@pytest.mark.parametrize("expr", [
    lambda xp, i: i + 2**63,                  # NumPy's OverflowError
    lambda xp, i: 2**63 * i,
    lambda xp, i: i / 2**70,                  # NumPy divides exactly
    lambda xp, i: (i > 0) + 2**70,
    lambda xp, i: xp.asarray(np.arange(3.0)) + 2**70,
    lambda xp, i: xp.asarray(np.arange(3.0)) + 10**400,   # beyond float: NumPy's OverflowError
    lambda xp, i: xp.asarray(np.arange(3.0)) * -(10**400),
])
def test_big_ints(expr):
    differential(lambda xp: expr(xp, xp.asarray(np.array([1, -2, 3]))))


def test_strided_self_is_read_fresh(probe):
    base = probe.native_copy(np.arange(12.0).reshape(3, 4))
    v = probe.select_view(base, (slice(None), slice(None, None, 2)))
    np.asarray(base)[0, 0] = 100.0
    want = np.arange(12.0).reshape(3, 4)
    want[0, 0] = 100.0
    want = want[:, ::2]
    for got, expect in [(v + 1.0, want + 1.0), (2.0 ** v, 2.0 ** want), (v * v, want * want), (v < 5.0, want < 5.0),
                        (v == v, want == want), (v // probe.native_copy(np.full((3, 2), 3.0)), want // 3.0)]:
        assert probe.is_ndarray(got)
        assert np.asarray(got).tolist() == expect.tolist()
    n = probe.native_copy(np.arange(12, dtype=np.int64).reshape(3, 4))
    u = probe.select_view(n, (slice(None), slice(1, None, 2)))
    np.asarray(n)[2, 3] = -5
    assert np.asarray(u - 1).tolist() == [[0, 2], [4, 6], [8, -6]]
    assert np.asarray(u & 6).tolist() == [[0, 2], [4, 6], [0, 2]]


def test_results_are_new_arrays(a):
    for r in (a + 0.0, a * 1, a / 1.0, a ** 1.0, a // 1.0, +a):
        assert r is not a
        assert isinstance(r, cv.ndarray)
        assert not np.shares_memory(np.asarray(r), np.asarray(a))


@pytest.fixture(scope="module")
def probe():
    from _probe import load

    return load()


EMPTY = "<empty>"


def test_operator_function(probe):
    # The probe module has an ndarray type of its own: its arrays are the engine's.
    f = probe.operator_function
    x = probe.native_copy(np.array([1.5, -2.0, 4.0]))
    n = probe.native_copy(np.array([3, -4, 5]))
    same = lambda got, want: np.testing.assert_array_equal(np.asarray(got), want)  # noqa: E731
    same(f("add", x, 1.0), [2.5, -1.0, 5.0])
    same(f("true_divide", 1.0, x), 1.0 / np.array([1.5, -2.0, 4.0]))
    same(f("mod", x, [1.0, 1.0, 3.0]), np.remainder([1.5, -2.0, 4.0], [1.0, 1.0, 3.0]))
    same(f("floor_divide", n, 2), [1, -2, 2])          # NumPy's road, under the run name
    same(f("subtract", 10, n), [7, 14, 5])             # reflected: 10 - n, native int64
    same(f("power", x, 2), [2.25, 4.0, 16.0])
    assert probe.is_ndarray(f("subtract", 10, n))
    assert not probe.is_ndarray(f("mod", x, [1.0, 1.0, 3.0]))
    b = probe.native_copy(np.array([True, False]))
    # numpy.power, not the ** operator: a bool square stays int64.
    assert np.asarray(f("power", b, 2)).dtype == np.int64
    assert f("Add", x, x) == EMPTY
    assert f("mod_", x, x) == EMPTY
    assert f("add", 1.0, 2.0) == EMPTY
    assert f("add", x, object()) == EMPTY
    assert f("add", object(), x) == EMPTY
    with pytest.raises(ValueError, match="broadcast"):
        f("power", x, probe.native_copy(np.ones(2)))


def _spread(rng, n):
    """Doubles of every magnitude and sign: subnormal to huge, integers, near-multiples."""
    mant = rng.uniform(1.0, 2.0, n)
    exp = rng.integers(-1074, 1023, n)
    x = np.ldexp(mant, exp) * rng.choice([-1.0, 1.0], n)
    x[: n // 8] = np.round(x[: n // 8] / 2.0**900)  # small integers
    return x


def test_floor_division_and_remainder_are_exact():
    # The remainder is computed without the C library where the quotient allows; it must
    # agree bit for bit with NumPy's (the C library's) everywhere.
    rng = np.random.default_rng(7)
    a = _spread(rng, 20000)
    b = _spread(rng, 20000)
    # Divisors that divide exactly, and dividends one ulp beside a multiple.
    k = rng.integers(-(2**40), 2**40, 4000).astype(np.float64)
    b[:4000] = rng.uniform(0.5, 2.0, 4000)
    a[:4000] = k * b[:4000]
    a[4000:8000] = np.nextafter(a[:4000], np.inf)
    b[4000:8000] = b[:4000]
    pairs = [(a, b), (b, a), (a, np.abs(b)), (np.array([0.0, -0.0, 5.0, -5.0, np.inf, -np.inf, np.nan, 3.0]),
                                                 np.array([3.0, -3.0, np.inf, -np.inf, 2.0, 2.0, 1.0, np.nan]))]
    for x, y in pairs:
        for op in (operator.floordiv, operator.mod):
            differential(lambda xp: op(xp.asarray(x), xp.asarray(y)) if xp is cv else _quiet(op, x, y))
            differential(lambda xp: op(xp.asarray(x), 0.75) if xp is cv else _quiet(op, x, 0.75))


def _quiet(op, x, y):
    with np.errstate(all="ignore"):
        return op(x, y)


@pytest.mark.parametrize("expr", [
    lambda xp, i: i // 0,
    lambda xp, i: i % 0,
    lambda xp, i: i // -1,
    lambda xp, i: i % -1,
    lambda xp, i: -1 // i,
    lambda xp, i: i // xp.asarray(np.array([0, -1, 0])),
])
def test_int64_division_edges(expr):
    # NumPy's values (zero for a zero divisor, wrapping for the smallest int // -1),
    # never a trap.
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        differential(lambda xp: expr(xp, xp.asarray(np.array([I64_MIN, 7, 0]))))
