"""The operators of ndarray (arithmetic, bitwise, shifts, @, comparisons and in-place)
against NumPy over every operand pair, which forms are native, and their own rules."""

import math
import operator
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvantile as cv
from conftest import assert_same_array, differential
from operator_cases import (BINARY, COMPARE, DECLINING, I64_MAX, I64_MIN, INF, INPLACE, NAN, OTHERS, SELVES,
                            check_case, check_table)

OPERATORS = BINARY | COMPARE | INPLACE


def _apply(op, x, y):
    if op in INPLACE:
        before = x
        x = INPLACE[op](x, y)
        return x is before, x
    return OPERATORS[op](x, y)


@pytest.mark.parametrize("self_name", list(SELVES))
@pytest.mark.parametrize("op, reflected", [(op, False) for op in OPERATORS] + [
    pytest.param(op, True, id=f"reflected {op}") for op in BINARY | COMPARE])
def test_every_operand_pair(op, reflected, self_name):
    def make(xp, other_name):
        a = SELVES[self_name](xp)
        b = OTHERS[other_name](xp, a.shape)
        return _apply(op, b, a) if reflected else _apply(op, a, b)

    # Text times array: the interpreter repeats the text, taking a 0-d int array as the
    # count (test_text_operands).
    others = [o for o in OTHERS if o != "str" or op not in ("*", "*=")]
    check_table(make, others, power=op in ("**", "**="), declines=op in DECLINING)


# ---- which forms are native (results are corvantile arrays, the rest NumPy's) -----------

ARITH = "+ - * / // % **".split()


def _pairs(ops, others):
    return [f"{op} {o}" for op in ops for o in others]


# (self, "op other" pairs, native?); an "r" before the operator: the reflected form.
ROUTES = [
    ("f64 (12,)", _pairs(ARITH, ["2.5", "True", "2**63", "i64 same", "bool same", "f64 (1,)", "np.float32"]), True),
    ("f64 (12,)", _pairs(COMPARE, ["3", "nan", "f64 same", "i64 same", "np.int64"]), True),
    ("i64 (12,)", _pairs(COMPARE, ["3", "int64 min", "2.5", "f64 same"]), True),
    ("f64 (12,)", ["r- 2.5", "r/ True", "r< 3"], True), ("f64 (3, 4)", ["+ f64 row"], True),
    ("f64 strided", ["+ 2.5", "* f64 strided", "< 2.5", "r** 2.0"], True),
    ("i64 (12,)", ["+ 3", "* int64 max", "- i64 same", "+ 2.5", "+ f64 same", "/ 3", "/ True", "/ bool same",
                   "// 2.0", "& i64 same", "| 3", "r- 3", "r/ 3", "r- 2.5"], True),
    ("i64 (3, 4)", ["/ i64 row"], True), ("i64 reversed", ["- 3", "== i64 reversed"], True),
    ("bool (12,)", ["/ bool same", "+ 2.5", "& bool same", "^ True", "== bool same", "!= False", "r/ 2.5", "r& False"],
     True),
    ("f64 (12,)", ["+ list same", "+ np f64 same", "+ 1j", "@ f64 same", "< bool same", "== f64 ()", "== None",
                   "!= str"], False),
    ("f64 (3, 4)", ["< f64 row"], False),  # comparisons never broadcast natively
    ("i64 (12,)", ["+ i64 (1,)", "+ bool same", "+ True", "+ np.bool", "// 2", "% 2", "** 2", "^ True", "<< 2",
                   ">> i64 same", "< 2**63", "< np.float32", "== True", "== bool same", "r+ True"], False),
    ("i64 (3, 4)", ["== i64 row"], False),
    ("bool (12,)", ["+ bool same", "+ np.float32", "+ 3", "& 2", "< bool same", ">= True", "== 3", "== 2.5",
                    "r* list same"], False),
    ("bool (3, 4)", ["& bool row"], False),
]


@pytest.mark.parametrize("self_name, pair, native", [
    pytest.param(s, pair, native, id=f"{s} {pair}") for s, pairs, native in ROUTES for pair in pairs])
def test_native_or_numpy(self_name, pair, native):
    op, other = pair.split(" ", 1)
    a = SELVES[self_name](cv)
    b = SELVES[other](cv) if other in SELVES else OTHERS[other](cv, a.shape)
    with np.errstate(all="ignore"):
        r = OPERATORS[op[1:]](b, a) if op.startswith("r") else OPERATORS[op](a, b)
    assert isinstance(r, cv.ndarray) is native, type(r)


# ---- the operators' own rules ------------------------------------------------------------

@pytest.fixture
def a():
    return cv.asarray(np.array([1.0, -2.0, 3.0]))


@pytest.mark.parametrize("op", [*ARITH, "<", "<=", ">", ">="])
def test_declined_operands_name_our_type(a, op):
    # The interpreter's TypeError after NotImplemented from both sides.
    def name(x):
        return "corvantile.ndarray" if x is a else type(x).__name__

    for other in (object(), None):
        for x, y in ((a, other), (other, a)):
            want = (f"'{op}' not supported between instances of '{name(x)}' and '{name(y)}'" if op in COMPARE else
                    f"unsupported operand type(s) for {'** or pow()' if op == '**' else op}: "
                    f"'{name(x)}' and '{name(y)}'")
            with pytest.raises(TypeError) as info:
                OPERATORS[op](x, y)
            assert str(info.value) == want
    assert a.__add__(object()) is NotImplemented and a.__rsub__(None) is NotImplemented


def test_text_operands_and_pow_modulus(a):
    with pytest.raises(TypeError, match="can only concatenate str"):
        "abc" + a
    with pytest.raises(TypeError):
        a * "abc"
    assert "abc" * cv.asarray(np.array(2)) == "abcabc"  # a 0-d int array counts as an index
    for x, y in ((a, 2), (2, a)):
        with pytest.raises(TypeError, match=r"^pow\(\) with modulus is not supported$"):
            pow(x, y, 5)
    assert_same_array(pow(a, 2, None), np.asarray(a) ** 2)


def test_floor_division_and_remainder_are_exact():
    # The remainder is computed without the C library where the quotient allows; it must
    # agree bit for bit with NumPy's everywhere. Doubles of every magnitude and sign, small
    # integers, exact multiples and dividends one ulp beside a multiple.
    rng = np.random.default_rng(7)
    x, y = (np.ldexp(rng.uniform(1.0, 2.0, 20000), rng.integers(-1074, 1023, 20000))
            * rng.choice([-1.0, 1.0], 20000) for _ in range(2))
    x[:2000], y[:2000] = np.round(x[:2000] / 2.0**900), np.round(y[:2000] / 2.0**900)
    y[2000:6000] = rng.uniform(0.5, 2.0, 4000)
    x[2000:6000] = rng.integers(-(2**40), 2**40, 4000) * y[2000:6000]
    x[6000:10000], y[6000:10000] = np.nextafter(x[2000:6000], np.inf), y[2000:6000]
    edges = (np.array([0.0, -0.0, 5.0, -5.0, INF, -INF, NAN, 3.0]),
             np.array([3.0, -3.0, INF, -INF, 2.0, 2.0, 1.0, NAN]))
    for p, q in [(x, y), (y, x), (x, np.abs(y)), (x, 0.75), edges]:
        for op in ("//", "%"):
            check_case(lambda xp: BINARY[op](xp.asarray(p), q if np.isscalar(q) else xp.asarray(q)))


# ---- in place -------------------------------------------------------------------------------

IN_PLACE_NAMES = {"+=": "add", "-=": "subtract", "*=": "multiply", "/=": "divide", "//=": "floor_divide",
                  "%=": "remainder", "**=": "power"}


@pytest.mark.parametrize("op", ["+=", "-=", "*="])
@pytest.mark.parametrize("dtype", [np.float64, np.int64])
def test_overlapping_views_write_their_base(op, dtype):
    # NumPy's values, as if the operand were copied first; the writes land in the base,
    # which each view's next operation reads.
    def fn(xp):
        base = xp.asarray(np.arange(12, dtype=dtype).reshape(3, 4))
        takes = [lambda b: b.reshape(-1)[1:], lambda b: b.reshape(-1)[:-1], lambda b: b[:, ::2], lambda b: b[:, 1::2]]
        u, v, s, t = (cv._view_of(base, f(np.asarray(base))) if xp is cv else f(base) for f in takes)
        same = INPLACE[op](u, v) is u, INPLACE[op](v, u) is v  # both directions
        np.asarray(base)[0, 0] = 1
        s = INPLACE[op](s, t % 3)
        INPLACE[op](t, s)
        return same, base.copy()

    check_case(fn)


@pytest.mark.parametrize("op", list(INPLACE))
def test_in_place_refusals_leave_self_unchanged(op):
    a = cv.asarray(np.array([1.0, 2.0, 3.0]))
    p = np.asarray(a).__array_interface__["data"][0]
    with pytest.raises(TypeError, match=rf"^unsupported operand type\(s\) for in-place {IN_PLACE_NAMES[op]}: "
                                        r"'corvantile.ndarray' and 'object'$"):
        INPLACE[op](a, object())
    with pytest.raises(ValueError, match=r"^non-broadcastable output operand with shape \(3,\) doesn't match "
                                         r"the broadcast shape \(2, 3\)$"):
        INPLACE[op](a, cv.asarray(np.ones((2, 3))))
    with pytest.raises(ValueError, match=r"^operands could not be broadcast together with shapes \(3,\) \(4,\)$"):
        INPLACE[op](a, cv.asarray(np.ones(4)))
    assert np.asarray(a).tolist() == [1.0, 2.0, 3.0]
    a += a
    a *= a
    a.__ipow__(1, 5)  # the modulus is ignored
    assert np.asarray(a).tolist() == [4.0, 16.0, 36.0] and np.asarray(a).__array_interface__["data"][0] == p


# ---- a property test over random operands ---------------------------------------------------

POOLS = {"float64": [0.0, -0.0, 1.5, -2.0, 3.0, 0.5, NAN, INF, -INF, 1e308, -5e-324, 2.0**63],
         "int64": [0, 1, -1, 2, -7, 3, 64, I64_MAX, I64_MIN, I64_MIN + 1, 2**53 + 1],
         "bool": [True, False]}
LAYOUTS = {  # a view of the given shape: (its base's shape, the view of the base)
    "plain": lambda s: (s, lambda b: b), "reversed": lambda s: (s, lambda b: b[::-1]),
    "transposed": lambda s: (s[::-1], lambda b: b.T),
    "stepped": lambda s: ((*s[:-1], 2 * s[-1]), lambda b: b[..., ::2]),
}


shapes = st.lists(st.integers(0, 3), max_size=3).map(tuple)
filled_shapes = st.lists(st.integers(1, 3), min_size=1, max_size=3).map(tuple)


@st.composite
def arrays(draw, like=None):
    """("array", dtype, shape, values, layout): the layout is that of a native view's."""
    dtype, layout = draw(st.sampled_from(list(POOLS))), draw(st.sampled_from(list(LAYOUTS)))
    if like is None:
        shape = draw(shapes if layout == "plain" else filled_shapes)
    else:  # self's shape, a trailing part of it, ones in some axes, or any shape
        shape = draw(st.one_of(st.just(like), st.integers(0, len(like)).map(lambda k: like[k:]),
                               st.tuples(*[st.sampled_from([n, 1]) for n in like]), shapes))
    n = math.prod(shape)
    values = draw(st.lists(st.sampled_from(POOLS[dtype]), min_size=n, max_size=n))
    return "array", dtype, shape, values, layout if n and shape else "plain"


def build(spec, xp):
    if spec[0] == "scalar":
        return spec[1]
    _, dtype, shape, values, layout = spec
    base_shape, take = LAYOUTS[layout](shape)
    base = np.zeros(base_shape, dtype)
    take(base)[...] = np.array(values, dtype).reshape(shape)
    if xp is np:
        return take(base)
    native = cv.asarray(base)
    return native if layout == "plain" else cv._view_of(native, take(np.asarray(native)))


scalars = st.tuples(st.just("scalar"), st.one_of(st.sampled_from(POOLS["float64"] + POOLS["int64"]),
                                                  st.booleans(), st.integers(-(2**65), 2**65)))


@st.composite
def cases(draw):
    op = draw(st.sampled_from(list(OPERATORS)))
    first = draw(arrays())
    second = draw(st.one_of(arrays(first[2]), scalars))
    reflected = op not in INPLACE and draw(st.booleans())
    return op, first, second, reflected


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases())
def test_random_operands_match_numpy(case):
    op, first, second, reflected = case

    def fn(xp):
        x, y = build(first, xp), build(second, xp)
        return _apply(op, y, x) if reflected else _apply(op, x, y)

    check_case(fn, power=op in ("**", "**="), declines=op in DECLINING)


@pytest.mark.parametrize("expr", [
    lambda xp, a, b, i, j, m: a + b,
    lambda xp, a, b, i, j, m: a[1:] * b[:-1],
    lambda xp, a, b, i, j, m: a[3:] / a[3:],
    lambda xp, a, b, i, j, m: xp.maximum(a[:-5], b[5:]),
    lambda xp, a, b, i, j, m: xp.where(m, a, b),
    lambda xp, a, b, i, j, m: xp.where(m[7:], a[7:], 0.5),
    lambda xp, a, b, i, j, m: i[1:] - j[:-1],
    lambda xp, a, b, i, j, m: i / j,
    lambda xp, a, b, i, j, m: a < b,
    lambda xp, a, b, i, j, m: a[1:] * 2.0,
    lambda xp, a, b, i, j, m: xp.sqrt(j),
    lambda xp, a, b, i, j, m: xp.isnan(a),
])
def test_arrays_larger_than_the_cache(expr):
    # Results this large are written around the cache; misaligned views start them
    # off a cache line.
    n = 3_000_001
    rng = np.random.default_rng(5)
    base = [rng.standard_normal(n), rng.standard_normal(n), rng.integers(-2**40, 2**40, n),
            rng.integers(1, 2**20, n), rng.random(n) < 0.5]
    want = expr(np, *base)
    got = expr(cv, *[cv.asarray(x) for x in base])
    assert type(got) is cv.ndarray
    assert_same_array(got, want)


# ---- numbers that are neither Python's own nor NumPy scalars go to NumPy -----------------------


class IndexTwo:
    def __index__(self):
        return 2


class FloatTwo:
    def __float__(self):
        return 2.5


class RightAdding:
    """Converts to a number, and answers `x + self` element by element in NumPy's object loop."""
    def __float__(self):
        return 1.0

    def __radd__(self, other):
        return ("radd", other)


# One instance each, so that object results compare equal on both sides.
FOREIGN = {"Decimal": Decimal("1.5"), "Fraction": Fraction(1, 3), "index": IndexTwo(), "float": FloatTwo(),
           "radd": RightAdding()}
FOREIGN_SELVES = {"f64": [1.0, 2.0], "i64": [1, 2], "bool": [True, False]}
FOREIGN_OPS = {
    "+": operator.add, "*": operator.mul, "-": operator.sub, "/": operator.truediv, "**": operator.pow,
    "==": operator.eq, "!=": operator.ne, "<": operator.lt, "&": operator.and_,
    "r+": lambda a, x: x + a, "r*": lambda a, x: x * a, "r==": lambda a, x: x == a, "r<": lambda a, x: x < a,
    "+=": operator.iadd, "*=": operator.imul,
    "add": lambda a, x: (cv if type(a) is cv.ndarray else np).add(a, x),
    "maximum": lambda a, x: (cv if type(a) is cv.ndarray else np).maximum(a, x),
    "arctan2": lambda a, x: (cv if type(a) is cv.ndarray else np).arctan2(x, a),
    "where": lambda a, x: (cv if type(a) is cv.ndarray else np).where(a > 1, a, x),
}


@pytest.mark.parametrize("op", list(FOREIGN_OPS))
@pytest.mark.parametrize("kind", list(FOREIGN_SELVES))
@pytest.mark.parametrize("other", list(FOREIGN))
def test_numbers_of_other_kinds_go_to_numpy(op, kind, other):
    # Python and NumPy decide what Decimal, Fraction and objects with __index__ or __float__
    # mean (refusal, an object array, a reflected method), not a conversion to float or int.
    differential(lambda xp: FOREIGN_OPS[op](xp.asarray(np.array(FOREIGN_SELVES[kind])), FOREIGN[other]),
                 native=None if op.endswith("+=") or op.endswith("*=") else False)


@pytest.mark.parametrize("call", [
    lambda xp: xp.arange(6.0)[IndexTwo()], lambda xp: xp.arange(6.0)[IndexTwo():],
    lambda xp: xp.arange(6.0).reshape(2, 3)[1, IndexTwo()], lambda xp: xp.arange(6.0).reshape(IndexTwo(), 3),
    lambda xp: xp.zeros((IndexTwo(), 3)), lambda xp: xp.full(IndexTwo(), 1.5),
    lambda xp: xp.arange(24.0).reshape(2, 3, 4).sum(axis=IndexTwo()), lambda xp: xp.linspace(0, 1, IndexTwo()),
    lambda xp: xp.arange(6.0).reshape(1, 2, 3).transpose(IndexTwo(), 0, 1),
    lambda xp: xp.arange(6.0).reshape(2, 3).round(IndexTwo()),
])
def test_index_objects_still_serve_as_keys_shapes_axes_and_counts(call):
    differential(call)


@pytest.mark.parametrize("op", ["+", "*", "<", "=="])
@pytest.mark.parametrize("x, y", [
    (np.zeros((3, 0)), np.array([True, False, True])), (np.array([1, 2, 3]), np.zeros((3, 0), bool)),
    (np.zeros((2, 3)), np.ones((2, 3), bool)),
], ids=["f64 (3, 0) bool (3,)", "i64 (3,) bool (3, 0)", "f64 bool same"])
def test_mixed_kinds_whose_shapes_agree_only_in_their_sizes(op, x, y):
    # Sizes past the last axis are 0, so (3, 0) and (3,) list the same sizes: they still
    # broadcast as NumPy says (an error), and equal shapes of two kinds stay native.
    check_case(lambda xp: OPERATORS[op](xp.asarray(x), xp.asarray(y)))


# An exponent of one element is one value for the whole `**=` whatever self's size (0.5 is then
# a square root: -inf gives NaN, -0.0 stays -0.0).
@pytest.mark.parametrize("exponent", [[0.5], [[0.5]], 0.5, [2.0], [-1.0], [0.25]])
@pytest.mark.parametrize("self_form", ["1", "1x1", "0-d", "view of 1", "3"])
def test_inplace_power_by_one_element_exponent(self_form, exponent):
    values = [-np.inf, -0.0, -4.0, 4.0, np.nan, np.inf]

    def fn(xp):
        out = []
        for v in values:
            base = xp.asarray([v, 9.0, v])
            self = {"1": base[:1].copy(), "1x1": base[:1].copy().reshape(1, 1), "0-d": xp.asarray(v),
                    "view of 1": base[::2][:1], "3": base}[self_form]
            if np.ndim(exponent) > self.ndim:
                continue
            self **= xp.asarray(exponent)
            out += [self, base]
        return out

    with np.errstate(invalid="ignore", divide="ignore"):
        differential(fn)
