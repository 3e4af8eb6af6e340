"""Unary element-wise functions, the float predicates and the fast-entry frame they share with the
other families."""

import ctypes
import math

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_outcome, differential, native, run

LIBM = ctypes.CDLL("libm.so.6")


def _libm(name):
    f = getattr(LIBM, name)
    f.restype, f.argtypes = ctypes.c_double, [ctypes.c_double]
    return f


# Functions computed by the C library: checked bit for bit against it (NumPy may use its own
# vector versions, which differ in the last place); arctanh is half of log1p(2x / (1 - x)).
LIBRARY = {
    "sin": "sin", "cos": "cos", "tan": "tan", "arcsin": "asin", "arccos": "acos", "arctan": "atan",
    "sinh": "sinh", "cosh": "cosh", "tanh": "tanh", "arcsinh": "asinh", "arccosh": "acosh",
    "exp": "exp", "exp2": "exp2", "expm1": "expm1", "log": "log", "log2": "log2", "log10": "log10",
    "log1p": "log1p", "cbrt": "cbrt",
}
REFERENCE = {name: _libm(c) for name, c in LIBRARY.items()} | {
    "arctanh": lambda x: 0.5 * _libm("log1p")(float(np.float64(x + x) / (np.float64(1.0) - np.float64(x))))}
# Exact operations: bit for bit against NumPy.
EXACT = ["sqrt", "square", "reciprocal", "absolute", "fabs", "negative", "positive", "sign", "floor",
         "ceil", "trunc", "rint", "deg2rad", "rad2deg", "radians", "degrees"]
FLOAT_ONLY = {"square", "reciprocal", "absolute", "fabs", "negative", "positive", "sign", "floor", "ceil",
              "trunc", "rint"}
ALL = [*REFERENCE, *EXACT]

NEG_NAN = -np.float64("nan")
SPECIAL = [0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 1.5, 2.5, -2.5, 3.5, 0.49999999999999994, 2.0**52 - 0.5,
           -(2.0**52) + 0.5, 2.0**53, 1e-300, 5e-324, -5e-324, 1e300, -1e300, 709.5, 710.0, -745.5,
           180.0, math.pi, -7.75, 100.25, math.inf, -math.inf, math.nan, NEG_NAN, 2.0]
VALUES = np.concatenate([SPECIAL, np.random.default_rng(7).standard_normal(97) * 10.0 ** np.arange(-4, 5).repeat(11)[:97]])


def bits(x):
    return np.asarray(x, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("name", ALL)
def test_values_bit_for_bit(name):
    got = getattr(cv, name)(native(VALUES))
    assert type(got) is cv.ndarray and got.dtype == np.float64 and got.shape == VALUES.shape
    with np.errstate(all="ignore"):
        want = [REFERENCE[name](float(v)) for v in VALUES] if name in REFERENCE else getattr(np, name)(VALUES)
    same = bits(got) == bits(want)
    assert same.all(), VALUES[~same]


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("case", [
    pytest.param(lambda xp: xp.asarray([4, 9, 2**53 + 1, -3]), id="int64"),
    pytest.param(lambda xp: xp.asarray([True, False]), id="bool"),
    pytest.param(lambda xp: xp.asarray(np.zeros((3, 0))), id="empty"),
    pytest.param(lambda xp: xp.asarray([[0.25, 2.0], [-1.0, 8.0]]), id="2-d"),
    pytest.param(lambda xp: [0.5, 2.0], id="list"), pytest.param(lambda xp: 1 + 2j, id="complex"),
    pytest.param(lambda xp: True, id="py-bool"), pytest.param(lambda xp: np.int64(3), id="np-int64"),
    pytest.param(lambda xp: np.float32(0.5), id="np-float32"),
])
def test_forms_against_numpy(name, case):
    fn = lambda xp: getattr(xp, name)(case(xp))  # noqa: E731
    with np.errstate(all="ignore"):
        got, want = run(fn, cv), run(fn, np)
        if name in EXACT or want[0] == "raise":
            assert_same_outcome(got, want)
        else:  # the library's last place may differ from NumPy's: same kind, close values
            got, want = got[1], want[1]
            assert type(got) in ((cv.ndarray, np.ndarray) if type(want) is np.ndarray else (type(want),))
            assert np.asarray(got).dtype == np.asarray(want).dtype and np.shape(got) == np.shape(want)
            np.testing.assert_allclose(np.asarray(got), np.asarray(want), rtol=1e-13)


@pytest.mark.parametrize("name", ALL)
def test_native_forms(name):
    f = getattr(cv, name)
    got = f(native([4, 9, 2**53 + 1, -3]))  # int64 computes as float64 unless the function keeps ints
    assert type(got) is (np.ndarray if name in FLOAT_ONLY else cv.ndarray)
    if name not in FLOAT_ONLY:
        assert np.array_equal(bits(got), bits(f(native([4.0, 9.0, 2.0**53, -3.0]))))
    for v in (0.5, -3, 7, 0.0, -1):  # Python numbers give a float
        if name == "reciprocal" and type(v) is int:  # NumPy's integer reciprocal
            differential(lambda xp: xp.reciprocal(v))
        else:
            assert type(f(v)) is float and bits(f(v)) == bits(f(native(float(v))))
    assert type(f(np.float64(0.5))) is np.float64 and bits(f(np.float64(0.5))) == bits(f(0.5))
    got = f(native(0.25))  # a 0-d array stays an array
    assert type(got) is cv.ndarray and got.shape == () and bits(got) == bits(f(0.25))
    if name == "reciprocal":
        differential(lambda xp: xp.reciprocal(10**400))
    else:
        with pytest.raises(OverflowError):
            f(10**400)


# ---- predicates -------------------------------------------------------------------------

PREDICATES = ["isnan", "isfinite", "isinf", "signbit"]
PREDICATE_VALUES = [1.0, -1.0, 0.0, -0.0, math.inf, -math.inf, math.nan, NEG_NAN, 5e-324, -1e308]


FloatSub = type("FloatSub", (float,), {})


@pytest.mark.parametrize("name", PREDICATES)
@pytest.mark.parametrize("case, native_result", [
    (lambda xp: xp.asarray(PREDICATE_VALUES), True), (lambda xp: xp.asarray(np.reshape(PREDICATE_VALUES[:6], (2, 3))), True),
    (lambda xp: xp.asarray(PREDICATE_VALUES[2:]), True),  # 8 elements, tested one by one
    (lambda xp: xp.asarray(np.zeros((0, 3))), True), (lambda xp: xp.asarray([1, -2]), False),
    (lambda xp: xp.asarray([True, False]), False), (lambda xp: [1.0, math.nan], False),
    *[(lambda xp, v=v: v, None) for v in PREDICATE_VALUES + [True, -3, np.float64(-0.0), np.int64(-5), FloatSub(-2.5)]],
])
def test_predicates_against_numpy(name, case, native_result):
    differential(lambda xp: getattr(xp, name)(case(xp)), native=native_result)


@pytest.mark.parametrize("name", PREDICATES)
def test_predicate_native_forms(name):
    f = getattr(cv, name)
    got = f(native(np.zeros((2, 3))))
    assert type(got) is cv.ndarray and got.dtype == np.bool_ and got.strides == (3, 1) and got.base is None
    assert f(native(np.zeros((0, 3)))).strides == (3, 1)  # C strides, also when empty
    zero_d = f(native(-0.0))  # a 0-d array stays an array
    assert type(zero_d) is cv.ndarray and zero_d.shape == () and bool(zero_d) == bool(getattr(np, name)(-0.0))
    assert f(1.5) is getattr(np, name)(1.5)  # numpy.bool_ singletons
    with pytest.raises(OverflowError):
        f(10**400)


# ---- the fast-entry frame ---------------------------------------------------------------

def _vectorcall(f, args, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    argv = (ctypes.py_object * len(args))(*args)
    return call(f, argv, len(args) - len(kwnames), kwnames)


def test_frame_gate_and_slow_path(calls):
    a = native([0.25, 4.0])
    assert type(cv.sin(a)) is cv.ndarray and calls == []
    cv.sin(a, out=None)
    cv.sqrt(a, where=True)
    with pytest.raises(TypeError):
        cv.sin()
    cv.sin(0.5, None)
    _vectorcall(cv.sin, [a], ())  # an empty keyword-name tuple still takes the slow path
    _vectorcall(cv.isnan, [a, True], ("where",))
    assert [(n, len(args), kw) for _, n, args, kw in calls] == [
        ("sin", 1, {"out": None}), ("sqrt", 1, {"where": True}), ("sin", 0, {}), ("sin", 2, {}),
        ("sin", 1, {}), ("isnan", 1, {"where": True})]


def test_frame_passes_declined_operands_once(calls):
    cv.sin([1.0])
    cv.floor(native([1, 2]))
    assert [(n, args, kw) for _, n, args, kw in calls] == [("sin", ([1.0],), {}), ("floor", calls[1][2], {})]


@pytest.mark.parametrize("name", PREDICATES)
@pytest.mark.parametrize("n", [1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1000])
def test_predicates_over_lengths_around_vector_widths(name, n):
    values = np.array([PREDICATE_VALUES[(i * 7) % len(PREDICATE_VALUES)] for i in range(n)])
    differential(lambda xp: getattr(xp, name)(xp.asarray(values)), native=True)


# The array kernel works in blocks of eight vectors (64 elements with 512-bit vectors, 32 with
# 256-bit) and a partial block at the end; every special value lands on every lane position.
_SPECIAL_BITS = [
    0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFF0000000000001,  # NaNs, signalling too
    0x7FFFFFFFFFFFFFFF, 0xFFF4000000000123, 0x7FF0000000000000, 0xFFF0000000000000,  # payloads, infinities
    0x0000000000000000, 0x8000000000000000, 0x0000000000000001, 0x800FFFFFFFFFFFFF,  # zeros, subnormals
    0x7FEFFFFFFFFFFFFF, 0x8010000000000000, 0x3FF0000000000000, 0xBFF0000000000000,  # extremes, +-1
]
SPECIALS = np.array(_SPECIAL_BITS, dtype=np.uint64).view(np.float64)


def _mixed(n, seed):
    rng = np.random.default_rng(seed)
    return SPECIALS[rng.integers(0, len(SPECIALS), n)]


@pytest.mark.parametrize("name", PREDICATES)
@pytest.mark.parametrize("n", [0, 2, 31, 33, 63, 64, 65, 72, 96, 129, 191, 192, 200, 520, 4099])
@pytest.mark.parametrize("offset", [0, 1, 3])
def test_predicates_over_blocks_and_misaligned_starts(name, n, offset):
    values = _mixed(n + offset, n)
    differential(lambda xp: getattr(xp, name)(xp.asarray(values)[offset:]), native=True)


@pytest.mark.parametrize("name", PREDICATES)
def test_predicates_each_special_value_at_each_lane(name):
    n = 67  # one full 64-element block and a tail
    for v in SPECIALS:
        for p in range(n):
            values = np.full(n, 1.5)
            values[p] = v
            got = np.asarray(getattr(cv, name)(cv.asarray(values)))
            np.testing.assert_array_equal(got, getattr(np, name)(values))


@pytest.mark.parametrize("name", PREDICATES)
def test_predicates_of_a_result_written_around_the_cache(name):
    values = _mixed(2_500_003, 7)  # 22 MB read and written: past half of a 32 MB last-level cache
    got = np.asarray(getattr(cv, name)(cv.asarray(values)[1:]))
    assert got.dtype == np.bool_ and np.array_equal(got, getattr(np, name)(values[1:]))
