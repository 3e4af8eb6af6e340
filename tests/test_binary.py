"""The binary module functions: arithmetic (add ... power) through the operator engine and
the binary maths (maximum ... logaddexp), against NumPy and their own rules."""

import math
import struct

import numpy as np
import pytest

import corvantile as cv
from conftest import CV_NDARRAY, assert_same_outcome, differential, native, run

NAN, INF = math.nan, math.inf
QUIET_NAN_BITS = 0x7FF8000000000000
ARITH = ["add", "subtract", "multiply", "divide", "true_divide", "floor_divide", "remainder", "mod_", "power"]
MATH = ["maximum", "minimum", "fmax", "fmin", "arctan2", "hypot", "copysign", "logaddexp"]

A = [1.5, -2.0, 0.0, -0.0, NAN, INF, -INF, 7.0, -3.5, 2.0, 0.25, 3.0]
B = [0.5, 2.0, -3.0, 1.0, 1.0, -INF, NAN, 7.0, -4.0, INF, 0.0, NAN]


pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def values(x):
    return np.asarray(x).tolist()


# Operand pairs as functions of xp: arrays of one shape, broadcasting, scalars on either
# side, and the forms that go to NumPy.
PAIRS = {
    "f64 f64": lambda xp: (xp.asarray(A), xp.asarray(B)),
    "f64 (2,6) row": lambda xp: (xp.asarray(np.reshape(A, (2, 6))), xp.asarray(B[:6])),
    "f64 empty": lambda xp: (xp.asarray(np.zeros((0, 3))), xp.asarray(B[:3])),
    "f64 float": lambda xp: (xp.asarray(A), 2.5), "float f64": lambda xp: (-1.5, xp.asarray(B)),
    "f64 int": lambda xp: (xp.asarray(A), 3), "f64 big int": lambda xp: (xp.asarray(A), 2**70),
    "f64 bool": lambda xp: (xp.asarray(A), True),
    "f64 np.float64": lambda xp: (xp.asarray(A), np.float64(0.75)),
    "i64 int": lambda xp: (xp.asarray(np.arange(-3, 9)), 4),
    "i64 f64": lambda xp: (xp.asarray(np.arange(-3, 9)), xp.asarray(B)),
    "bool f64": lambda xp: (xp.asarray(np.arange(12) % 3 == 0), xp.asarray(A)),
    "bool int": lambda xp: (xp.asarray(np.arange(12) % 3 == 0), 2),
    # Long enough for the vector loops, with bool-as-number before a product.
    "bool f64 long": lambda xp: (xp.asarray(np.arange(99) % 7 < 3), xp.asarray((B * 9)[::-1][:99])),
    "bool float long": lambda xp: (xp.asarray(np.arange(99) % 5 == 1), -INF),
    "f64 bool long": lambda xp: (xp.asarray((A * 9)[:99]), xp.asarray(np.arange(99) % 3 != 0)),
    "f64 list": lambda xp: (xp.asarray(A[:3]), [1.0, -2.0, 4.0]),
    "f64 object": lambda xp: (xp.asarray(A[:3]), object()), "int int": lambda xp: (7, 3),
    "np.float64 pair": lambda xp: (np.float64(7.0), np.float64(-2.0)),
}


@pytest.mark.parametrize("pair", list(PAIRS))
@pytest.mark.parametrize("name", ARITH)
def test_arithmetic_against_numpy(name, pair):
    differential(lambda xp: getattr(xp, name if xp is cv else name.rstrip("_"))(*PAIRS[pair](xp)))


# maximum ... copysign and logaddexp match NumPy exactly away from their own rules (tested
# below); arctan2 and hypot are the C library's: close to NumPy.
EXACT = ["maximum", "minimum", "fmax", "fmin", "copysign", "logaddexp"]


@pytest.mark.parametrize("pair", list(PAIRS))
@pytest.mark.parametrize("name", MATH)
def test_maths_against_numpy(name, pair):
    if name in EXACT:
        differential(lambda xp: getattr(xp, name)(*PAIRS[pair](xp)))
        return
    outcomes = [run(lambda: getattr(xp, name)(*PAIRS[pair](xp)), None) for xp in (cv, np)]
    if outcomes[1][0] == "raise":
        assert_same_outcome(*outcomes)
        return
    got, want = np.asarray(outcomes[0][1]), outcomes[1][1]
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-300)


LIBRARY = {"arctan2": math.atan2, "hypot": math.hypot}


@pytest.mark.parametrize("name", list(LIBRARY))
def test_library_functions_bit_for_bit(name):
    xs = np.linspace(-50.0, 50.0, 41).tolist() + A
    ys = np.linspace(-7.0, 60.0, 41).tolist() + B
    got = values(getattr(cv, name)(native(xs), native(ys)))
    want = [LIBRARY[name](x, y) for x, y in zip(xs, ys)]
    assert [bits(g) if not math.isnan(g) else "nan" for g in got] == [
        bits(w) if not math.isnan(w) else "nan" for w in want]
    # The scalar keeps its operand position; two floats give a float.
    assert values(getattr(cv, name)(1.25, native(ys)))[:41] == [LIBRARY[name](1.25, y) for y in ys[:41]]
    assert values(getattr(cv, name)(native(xs), 1.25))[:41] == [LIBRARY[name](x, 1.25) for x in xs[:41]]
    r = getattr(cv, name)(1.5, -0.5)
    assert type(r) is float and r == LIBRARY[name](1.5, -0.5)


# ---- the rules of the binary maths where they are their own ------------------------------

NEG_NAN = from_bits(0xFFF8000000000123)  # a NaN with sign and payload


@pytest.mark.parametrize("name, a, b, want_bits", [
    # Made NaNs are the positive quiet NaN, whatever the operand held.
    ("maximum", NEG_NAN, 1.0, QUIET_NAN_BITS), ("minimum", NEG_NAN, NEG_NAN, QUIET_NAN_BITS),
    # Ties give the second operand, signed zeros included.
    ("maximum", 0.0, -0.0, bits(-0.0)), ("maximum", -0.0, 0.0, bits(0.0)), ("minimum", 0.0, -0.0, bits(-0.0)),
    ("fmax", 0.0, -0.0, bits(-0.0)), ("fmax", -0.0, 0.0, bits(0.0)), ("fmin", 0.0, -0.0, bits(-0.0)),
    # fmax / fmin ignore one NaN and return a when both are NaN.
    ("fmax", NAN, 1.0, bits(1.0)), ("fmin", NEG_NAN, NAN, 0xFFF8000000000123),
    ("fmax", NEG_NAN, NAN, 0xFFF8000000000123),
    # copysign moves the sign bit only.
    ("copysign", 3.0, -0.0, bits(-3.0)), ("copysign", NAN, -1.0, 0xFFF8000000000000),
    ("copysign", 2.0, NEG_NAN, bits(-2.0)), ("logaddexp", INF, 1.0, bits(INF)),
    ("logaddexp", -INF, -INF, bits(-INF)), ("logaddexp", INF, -INF, bits(INF)),
    ("logaddexp", 3.0, 3.0, bits(3.0 + math.log(2.0))),
    # logaddexp keeps what lies below the last bit of the larger term; a NaN is a - b.
    ("logaddexp", 0.0, -40.0, bits(np.logaddexp(0.0, -40.0))),
    ("logaddexp", -745.0, -740.0, bits(np.logaddexp(-745.0, -740.0))),
    ("logaddexp", NEG_NAN, 0.0, 0xFFF8000000000123), ("logaddexp", 1.0, NEG_NAN, 0xFFF8000000000123),
])
def test_element_rules(name, a, b, want_bits):
    f = getattr(cv, name)
    r = f(a, b)  # two floats: a float
    assert type(r) is float and bits(r) == want_bits
    for got in (f(native([a, a]), native([b, b])), f(native([a]), b), f(a, native([b]))):
        assert [bits(x) for x in values(got)] == [want_bits] * len(values(got))


@pytest.mark.parametrize("name", MATH)
def test_native_forms(name):
    f = getattr(cv, name)
    a, b = native(A), native(B)
    for r in (f(a, b), f(a, 2.0), f(-3, a), f(a, 2**70), f(native(np.reshape(A, (3, 4))), native(B[:4]))):
        assert type(r) is CV_NDARRAY and r.dtype == np.float64 and r.base is None
    # Declined forms reach NumPy: its types come back.
    for x1, x2 in ((a, True), (1, 2), (np.float64(1.0), np.float64(2.0)), (a, [1.0] * 12), (native(np.arange(12)), a)):
        assert type(f(x1, x2)) is not CV_NDARRAY and type(f(x1, x2)) is not float


@pytest.mark.parametrize("name", ARITH + MATH)
def test_broadcast_conflict_names_x1_first(name):
    with pytest.raises(ValueError) as e:
        getattr(cv, name)(native([1.0, 2.0]), native([1.0, 2.0, 3.0]))
    assert str(e.value) == "operands could not be broadcast together with shapes (2,) (3,)"


# ---- which name reaches NumPy ------------------------------------------------------------


@pytest.mark.parametrize("call, want", [
    (lambda a: cv.true_divide(1.0, 2.0), [("true_divide", 2, [])]), (lambda a: cv.mod_(7.0, a), []),
    (lambda a: cv.true_divide(a, [1.0, 2.0]), [("divide", 2, [])]), (lambda a: cv.mod_(7.0, 2.0), [("mod", 2, [])]),
    (lambda a: cv.mod_(a, a, out=None), [("mod", 2, ["out"])]), (lambda a: cv.add(a), [("add", 1, [])]),
    (lambda a: cv.hypot(a, a, None), [("hypot", 3, [])]), (lambda a: cv.maximum(1, 2), [("maximum", 2, [])]),
    (lambda a: cv.maximum(a, 1.0, out=None), [("maximum", 2, ["out"])]),
])
def test_routes(calls, call, want):
    a = native([4.0, 6.0])
    try:
        call(a)
    except TypeError:
        pass  # what NumPy makes of a wrong positional count
    assert [(n, len(args), sorted(kw)) for _, n, args, kw in calls] == want


# ---- bools as numbers beside float64 ------------------------------------------------------

# Random bools (0.0 and 1.0 to the arithmetic) against floats that tell the two zeros apart,
# NaN and infinities among them: r x c views of bases of 2rc elements; one streamed length.
_FORMS = {"rows": lambda a, r, c: a[:r * c].reshape(r, c), "T": lambda a, r, c: a[:r * c].reshape(c, r).T,
          "reversed": lambda a, r, c: a[:r * c].reshape(r, c)[::-1, ::-1],
          "stepped": lambda a, r, c: a.reshape(r, 2 * c)[:, ::2]}
_BOOL_OPS = [lambda b, f: b * 2.0, lambda b, f: b * -0.0, lambda b, f: b + -0.0, lambda b, f: f * b,
             lambda b, f: b * f, lambda b, f: b + f, lambda b, f: f - b, lambda b, f: b / f, lambda b, f: f / b,
             lambda b, f: b ** f, lambda b, f: b * INF, lambda b, f: 2.5 - b, lambda b, f: b.mean()]
_SPECIAL = np.array([-0.0, 0.0, 1.0, -1.0, 2.5, NAN, INF, -INF, 1e-310])


@pytest.mark.parametrize("op", range(len(_BOOL_OPS)))
@pytest.mark.parametrize("forms", ["rows rows", "T rows", "rows reversed", "stepped T", "reversed stepped"])
@pytest.mark.parametrize("shape", [(3, 5), (7, 130), (300, 70), (1, 1_000_003)], ids=str)
def test_bools_as_numbers(shape, forms, op):
    rng = np.random.default_rng(9)
    b, f = rng.random(2 * shape[0] * shape[1]) < 0.5, rng.choice(_SPECIAL, 2 * shape[0] * shape[1])
    bform, fform = forms.split()
    differential(lambda xp: _BOOL_OPS[op](_FORMS[bform](xp.asarray(b), *shape), _FORMS[fform](xp.asarray(f), *shape)),
                 native=True)
