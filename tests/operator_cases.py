"""Operands and outcome comparison shared by the operator tests.

Every operand is built by a function of (xp, shape): xp is corvantile or NumPy, and
shape is the shape of the array operand it is combined with, so that array operands
can match it, broadcast against it or conflict with it.
"""

import math
import warnings

import numpy as np

import corvantile as cv
from conftest import assert_same_outcome, run

NAN = math.nan
INF = math.inf
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)

F64_VALUES = [1.5, -2.0, 0.0, -0.0, NAN, INF, -INF, 7.0, -3.5, 2.0, 0.25, -1.0]
I64_VALUES = [0, 1, -7, 7, 2**62, I64_MAX, I64_MIN, 3, -1, 2**53 + 1, 5, -2]
BOOL_VALUES = [True, False, True, True, False, False, True, False, False, True, True, False]
# Operand values: zeros, signed zeros and NaN where the self values have other things.
F64_OTHER = [0.5, 2.0, -0.0, 3.0, NAN, -INF, 1.0, -4.0, 0.0, -2.0, INF, 2.5]
I64_OTHER = [3, -2, 0, 5, 1, -1, 2**40, 7, 2, -3, 1, 4]
BOOL_OTHER = [False, True, True, False, True, False, False, True, True, True, False, False]


def numpy_array(values, dtype, shape):
    n = math.prod(shape)
    return np.array((values * (n // len(values) + 1))[:n], dtype=dtype).reshape(shape)


def array_of(xp, values, dtype, shape):
    a = numpy_array(values, dtype, shape)
    return xp.asarray(a) if xp is cv else a


def strided_view(xp, dtype, values=F64_VALUES):
    """Every other column of a (3, 8) array: (3, 4), not contiguous."""
    base = array_of(xp, values, dtype, (3, 8))
    return base[:, ::2]


# ---- the array on the operator's side ("self") -----------------------------------------

SELVES = {
    "f64 (12,)": lambda xp: array_of(xp, F64_VALUES, np.float64, (12,)),
    "f64 (3, 4)": lambda xp: array_of(xp, F64_VALUES, np.float64, (3, 4)),
    "f64 ()": lambda xp: array_of(xp, [-2.5], np.float64, ()),
    "f64 (0,)": lambda xp: array_of(xp, F64_VALUES, np.float64, (0,)),
    "f64 (2, 0)": lambda xp: array_of(xp, F64_VALUES, np.float64, (2, 0)),
    "f64 strided": lambda xp: strided_view(xp, np.float64),
    "i64 (12,)": lambda xp: array_of(xp, I64_VALUES, np.int64, (12,)),
    "i64 (3, 4)": lambda xp: array_of(xp, I64_VALUES, np.int64, (3, 4)),
    "i64 ()": lambda xp: array_of(xp, [-9], np.int64, ()),
    "i64 (0,)": lambda xp: array_of(xp, I64_VALUES, np.int64, (0,)),
    "bool (12,)": lambda xp: array_of(xp, BOOL_VALUES, np.bool_, (12,)),
    "bool (3, 4)": lambda xp: array_of(xp, BOOL_VALUES, np.bool_, (3, 4)),
    "bool ()": lambda xp: array_of(xp, [True], np.bool_, ()),
}


def _shape_of(shape, kind):
    """Operand shapes relative to self's shape."""
    if kind == "same":
        return shape
    if kind == "row":  # broadcasts along self's leading axes
        return shape[-1:] if shape else ()
    if kind == "one":
        return (1,)
    if kind == "column":  # (n, 1): broadcasts to (n, len) for 1-D self, mismatches otherwise
        return (shape[0] if shape else 2, 1)
    if kind == "bad":  # never broadcasts (an empty self takes size 1 ... so use 5 and 7)
        return (7,) if not shape or shape[-1] != 7 else (5,)
    raise AssertionError(kind)


def _array_operand(values, dtype, kind):
    return lambda xp, shape: array_of(xp, values, dtype, _shape_of(shape, kind))


def _numpy_operand(values, dtype, kind):
    return lambda xp, shape: numpy_array(values, dtype, _shape_of(shape, kind))


def _list_operand(values, kind):
    return lambda xp, shape: numpy_array(values, object, _shape_of(shape, kind)).tolist()


def _const(value):
    return lambda xp, shape: value


OTHERS = {
    # Python numbers
    "2.5": _const(2.5),
    "-3.0": _const(-3.0),
    "0.0": _const(0.0),
    "-0.0": _const(-0.0),
    "0.5": _const(0.5),
    "2.0": _const(2.0),
    "-1.0": _const(-1.0),
    "nan": _const(NAN),
    "inf": _const(INF),
    "3": _const(3),
    "2": _const(2),
    "0": _const(0),
    "-2": _const(-2),
    "2**53+1": _const(2**53 + 1),
    "int64 max": _const(I64_MAX),
    "int64 min": _const(I64_MIN),
    "2**63": _const(2**63),
    "-2**70": _const(-(2**70)),
    "10**400": _const(10**400),
    "True": _const(True),
    "False": _const(False),
    "1j": _const(1j),
    # NumPy scalars
    "np.float64": _const(np.float64(1.5)),
    "np.float32": _const(np.float32(1.5)),
    "np.float16": _const(np.float16(-2.0)),
    "np.int64": _const(np.int64(3)),
    "np.int32": _const(np.int32(-2)),
    "np.uint8": _const(np.uint8(3)),
    "np.uint64": _const(np.uint64(2**63)),
    "np.bool": _const(np.True_),
    "np.complex128": _const(np.complex128(1 - 1j)),
    # arrays of the same kind (corvantile arrays on the corvantile side)
    "f64 same": _array_operand(F64_OTHER, np.float64, "same"),
    "f64 row": _array_operand(F64_OTHER, np.float64, "row"),
    "f64 (1,)": _array_operand(F64_OTHER, np.float64, "one"),
    "f64 column": _array_operand(F64_OTHER, np.float64, "column"),
    "f64 bad": _array_operand(F64_OTHER, np.float64, "bad"),
    "f64 ()": lambda xp, shape: array_of(xp, [3.0], np.float64, ()),
    "i64 same": _array_operand(I64_OTHER, np.int64, "same"),
    "i64 row": _array_operand(I64_OTHER, np.int64, "row"),
    "i64 (1,)": _array_operand(I64_OTHER, np.int64, "one"),
    "i64 bad": _array_operand(I64_OTHER, np.int64, "bad"),
    "bool same": _array_operand(BOOL_OTHER, np.bool_, "same"),
    "bool row": _array_operand(BOOL_OTHER, np.bool_, "row"),
    "bool bad": _array_operand(BOOL_OTHER, np.bool_, "bad"),
    "f64 strided": lambda xp, shape: strided_view(xp, np.float64, F64_OTHER),
    # NumPy arrays on both sides
    "np f64 same": _numpy_operand(F64_OTHER, np.float64, "same"),
    "np f32 same": _numpy_operand(F64_OTHER, np.float32, "same"),
    "np i64 row": _numpy_operand(I64_OTHER, np.int64, "row"),
    "np 0-d": lambda xp, shape: np.array(2.0),
    # sequences and objects
    "list same": _list_operand(F64_OTHER, "same"),
    "list bad": _list_operand(F64_OTHER, "bad"),
    "tuple row": lambda xp, shape: tuple(numpy_array(I64_OTHER, object, _shape_of(shape, "row")).tolist()),
    "object()": _const(object()),
    "None": _const(None),
    "str": _const("abc"),
}


# ---- running and comparing ----------------------------------------------------------------

def quiet_run(fn, xp):
    """run(fn, xp) with NumPy's floating-point warnings silenced (native code gives none)."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return run(fn, xp)


DECLINED = ("unsupported operand type(s)", "not supported between instances of", "can only concatenate")


def _declined(outcome):
    """The interpreter's TypeError after both sides answered NotImplemented (or the
    in-place operators' own TypeError for such an operand)."""
    kind, value = outcome
    return kind == "raise" and type(value) is TypeError and any(d in str(value) for d in DECLINED)


def _float_results(got, want):
    g, w = np.asarray(got), np.asarray(want)
    return g.dtype == w.dtype == np.float64 and g.shape == w.shape


def assert_close_pow(got, want):
    """Powers: NumPy's vector pow may differ from the C library's by an ulp, never more,
    and never in NaN, infinity or the sign of a zero."""
    g, w = np.asarray(got), np.asarray(want)
    assert np.array_equal(np.isnan(g), np.isnan(w)), f"NaN positions differ\n got {g!r}\nwant {w!r}"
    finite = np.isfinite(w)
    assert np.array_equal(g[~finite & ~np.isnan(w)], w[~finite & ~np.isnan(w)]), f"infinities differ\n{g!r}\n{w!r}"
    assert np.array_equal(np.signbit(g[w == 0]), np.signbit(w[w == 0])), f"signed zeros differ\n{g!r}\n{w!r}"
    np.testing.assert_array_max_ulp(g[finite], w[finite], maxulp=1)


def _shape_text(exc):
    prefix = "operands could not be broadcast together with shapes "
    text = str(exc).replace(", ", ",").strip()
    if not text.startswith(prefix):
        return text
    shapes = text.removeprefix(prefix).split()
    if len(shapes) == 3 and shapes[2] == shapes[0]:
        shapes = shapes[:2]
    return prefix, sorted(shapes)


def compare_outcomes(got, want, power=False):
    gkind, gval = got
    wkind, wval = want
    if _declined(got):
        # An operand neither side takes: the interpreter's TypeError names our type where
        # NumPy's names an element type, and NumPy's object loop has nothing to fail on
        # for an empty array. The class is what must agree.
        assert (wkind == "raise" and isinstance(wval, TypeError)) or (
            wkind == "ok" and np.asarray(wval).size == 0
        ), f"corvantile: TypeError {gval}; NumPy: {wval!r}"
        return
    if gkind == wkind == "raise":
        # Shape texts: the native ones are written "(2, 3)" without NumPy's trailing
        # space or its in-place output shape; a comparison hands NumPy its own array
        # first, whichever side it stood on.
        if type(gval) is ValueError and type(wval) is ValueError and "broadcast" in str(wval):
            assert _shape_text(gval) == _shape_text(wval), f"{gval!r} != {wval!r}"
            return
    if gkind == wkind == "ok" and isinstance(wval, np.generic) and isinstance(gval, cv.ndarray):
        # A native result is always an array, a 0-d one where NumPy gives a scalar.
        assert gval.ndim == 0, f"{gval!r} where NumPy gives the scalar {wval!r}"
        gval, wval = np.asarray(gval), np.asarray(wval)
        got, want = ("ok", gval), ("ok", wval)
    if gkind == wkind == "ok" and isinstance(wval, np.ndarray) and wval.dtype.kind == "c":
        g = np.asarray(gval)
        assert g.dtype == wval.dtype and g.shape == wval.shape, f"{g!r} != {wval!r}"
        assert np.array_equal(g, wval, equal_nan=True), f"{g!r} != {wval!r}"
        return
    if gkind == wkind == "ok" and type(wval) is tuple and type(gval) is tuple and len(gval) == len(wval):
        for g, w in zip(gval, wval):
            compare_outcomes(("ok", g), ("ok", w), power)
        return
    if power and gkind == wkind == "ok" and _float_results(gval, wval):
        assert_close_pow(gval, wval)
        return
    assert_same_outcome(got, want)


def check_table(make, cases, power=False):
    """Runs make(xp, case) on both sides for every case; one failure report for all."""
    failures = []
    for case in cases:
        got = quiet_run(lambda xp: make(xp, case), cv)
        want = quiet_run(lambda xp: make(xp, case), np)
        try:
            compare_outcomes(got, want, power)
        except AssertionError as exc:
            failures.append(f"[{case}] {exc}")
    assert not failures, f"{len(failures)} of {len(cases)} cases differ:\n" + "\n".join(failures[:40])
