"""Operators, operands and the outcome comparison shared by the operator tests.

Every operand is built by a function of (xp, shape): xp is corvantile or NumPy, and
shape is that of the array operand it meets, so that array operands can match it,
broadcast against it or conflict with it.
"""

import math
import operator
import warnings

import numpy as np

import corvantile as cv
from conftest import assert_same_outcome, run

NAN, INF = math.nan, math.inf
I64_MAX, I64_MIN = 2**63 - 1, -(2**63)

BINARY = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv,
          "//": operator.floordiv, "%": operator.mod, "**": operator.pow, "&": operator.and_,
          "|": operator.or_, "^": operator.xor, "<<": operator.lshift, ">>": operator.rshift,
          "@": operator.matmul}
COMPARE = {"<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne,
           ">": operator.gt, ">=": operator.ge}
INPLACE = {"+=": operator.iadd, "-=": operator.isub, "*=": operator.imul, "/=": operator.itruediv,
           "//=": operator.ifloordiv, "%=": operator.imod, "**=": operator.ipow}
# Operators that answer NotImplemented (or, in place, a TypeError of their own) for an
# operand they do not take; the others hand it to NumPy.
DECLINING = {*"+ - * / // % **".split(), *COMPARE, *INPLACE}

F64_VALUES = [1.5, -2.0, 0.0, -0.0, NAN, INF, -INF, 7.0, -3.5, 2.0, 0.5, -1.0]
I64_VALUES = [0, 1, -7, 7, 2**62, I64_MAX, I64_MIN, 3, -1, 2**53 + 1, 5, -2]
BOOL_VALUES = [True, False, True, True, False, False, True, False, False, True, True, False]
# Operand values: zeros, signed zeros and NaN where the self values have other things;
# -7 meets 0 and the int64 minimum meets -1 (floor division's edges).
F64_OTHER = [0.5, 2.0, -0.0, 3.0, NAN, -INF, 1.0, -4.0, 0.0, -2.0, INF, 2.5]
I64_OTHER = [3, -2, 0, 5, 1, 2**40, -1, 7, 2, -3, 1, 4]
BOOL_OTHER = [False, True, True, False, True, False, False, True, True, True, False, False]


def array_of(xp, values, dtype, shape):
    n = math.prod(shape)
    a = np.array((values * (n // len(values) + 1))[:n], dtype=dtype).reshape(shape)
    return cv.asarray(a) if xp is cv else a


def view_of(xp, values, dtype, shape, take):
    """take(base) for a base of the given shape; on the corvantile side a native view of
    the native base's memory."""
    base = array_of(xp, values, dtype, shape)
    return cv._view_of(base, take(np.asarray(base))) if xp is cv else take(base)


# ---- the array on the operator's side ("self") -----------------------------------------

SELVES = {
    "f64 (12,)": lambda xp: array_of(xp, F64_VALUES, np.float64, (12,)),
    "f64 (3, 4)": lambda xp: array_of(xp, F64_VALUES, np.float64, (3, 4)),
    "f64 ()": lambda xp: array_of(xp, [-2.5], np.float64, ()),
    "f64 (0,)": lambda xp: array_of(xp, F64_VALUES, np.float64, (0,)),
    "f64 (2, 0)": lambda xp: array_of(xp, F64_VALUES, np.float64, (2, 0)),
    "f64 strided": lambda xp: view_of(xp, F64_VALUES, np.float64, (3, 8), lambda b: b[:, ::2]),
    "i64 (12,)": lambda xp: array_of(xp, I64_VALUES, np.int64, (12,)),
    "i64 (3, 4)": lambda xp: array_of(xp, I64_VALUES, np.int64, (3, 4)),
    "i64 ()": lambda xp: array_of(xp, [-9], np.int64, ()),
    "i64 (0,)": lambda xp: array_of(xp, I64_VALUES, np.int64, (0,)),
    "i64 reversed": lambda xp: view_of(xp, I64_VALUES, np.int64, (12,), lambda b: b[::-1]),
    "bool (12,)": lambda xp: array_of(xp, BOOL_VALUES, np.bool_, (12,)),
    "bool (3, 4)": lambda xp: array_of(xp, BOOL_VALUES, np.bool_, (3, 4)),
    "bool ()": lambda xp: array_of(xp, [True], np.bool_, ()),
    "bool transposed": lambda xp: view_of(xp, BOOL_VALUES, np.bool_, (3, 4), lambda b: b.T),
}

# ---- the other operand ---------------------------------------------------------------------

SCALARS = {
    "2.5": 2.5, "-3.0": -3.0, "0.0": 0.0, "-0.0": -0.0, "0.5": 0.5, "2.0": 2.0, "-1.0": -1.0,
    "nan": NAN, "inf": INF, "3": 3, "2": 2, "0": 0, "-1": -1, "2**53+1": 2**53 + 1,
    "int64 max": I64_MAX, "int64 min": I64_MIN, "2**63": 2**63, "-2**70": -(2**70), "10**400": 10**400,
    "True": True, "False": False, "1j": 1j, "object()": object(), "None": None, "str": "abc",
    "np.float64": np.float64(1.5), "np.float32": np.float32(1.5), "np.float16": np.float16(-2.0),
    "np.int64": np.int64(3), "np.int64(-1)": np.int64(-1), "np.int32": np.int32(-2), "np.uint8": np.uint8(3),
    "np.uint64": np.uint64(2**63), "np.bool": np.True_, "np.complex128": np.complex128(1 - 1j),
    "np 0-d": np.array(2.0),
}

# Operand shapes relative to self's shape s.
SHAPES = {
    "same": lambda s: s,
    "row": lambda s: s[-1:],  # broadcasts along self's leading axes
    "(1,)": lambda s: (1,), "()": lambda s: (),
    "column": lambda s: (s[0] if s else 2, 1),  # (n, 1): broadcasts against a 1-D self only
    "bad": lambda s: (5,) if s[-1:] == (7,) else (7,),  # mismatches every non-0-d self
}


def _array(name, values, dtype, shape, native=True):
    return name, lambda xp, s: array_of(xp if native else np, values, dtype, SHAPES[shape](s))


OTHERS = {name: (lambda xp, s, v=v: v) for name, v in SCALARS.items()} | dict([
    *[_array(f"f64 {k}", F64_OTHER, np.float64, k) for k in ("same", "row", "(1,)", "()", "column", "bad")],
    *[_array(f"i64 {k}", I64_OTHER, np.int64, k) for k in ("same", "row", "(1,)", "bad")],
    *[_array(f"bool {k}", BOOL_OTHER, np.bool_, k) for k in ("same", "row", "bad")],
    # NumPy arrays on both sides
    _array("np f64 same", F64_OTHER, np.float64, "same", native=False),
    _array("np f32 same", F64_OTHER, np.float32, "same", native=False),
    _array("np i64 row", I64_OTHER, np.int64, "row", native=False),
    ("f64 strided", lambda xp, s: view_of(xp, F64_OTHER, np.float64, (3, 8), lambda b: b[:, ::2])),
    ("list same", lambda xp, s: array_of(np, F64_OTHER, object, s).tolist()),
    ("list bad", lambda xp, s: array_of(np, F64_OTHER, object, SHAPES["bad"](s)).tolist()),
    ("tuple row", lambda xp, s: tuple(array_of(np, I64_OTHER, object, s[-1:]).tolist())),
])


# ---- running and comparing ----------------------------------------------------------------

def quiet_run(fn, xp):
    """run(fn, xp) with NumPy's floating-point warnings silenced."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return run(fn, xp)


def _shape_text(exc):
    """Broadcast errors: the native texts write shapes as "(2, 3)", without NumPy's
    in-place output shape, and a comparison hands NumPy its own array first."""
    prefix = "operands could not be broadcast together with shapes "
    text = str(exc).replace(", ", ",").strip()
    if not text.startswith(prefix):
        return text
    shapes = text.removeprefix(prefix).split()
    if len(shapes) == 3 and shapes[2] == shapes[0]:
        shapes = shapes[:2]
    return prefix, sorted(shapes)


def assert_close_pow(g, w):
    """Powers: NumPy's vector pow may differ from the C library's by an ulp, never more,
    and never in NaN, infinity or the sign of a zero."""
    assert np.array_equal(np.isnan(g), np.isnan(w)), f"NaN positions differ\n got {g!r}\nwant {w!r}"
    finite, inf = np.isfinite(w), np.isinf(w)
    assert np.array_equal(g[inf], w[inf]), f"infinities differ\n{g!r}\n{w!r}"
    assert np.array_equal(np.signbit(g[w == 0]), np.signbit(w[w == 0])), f"signed zeros differ\n{g!r}\n{w!r}"
    np.testing.assert_array_max_ulp(g[finite], w[finite], maxulp=1)


def compare_outcomes(got, want, power=False, declines=True):
    (gkind, gval), (wkind, wval) = got, want
    if declines and gkind == "raise" and type(gval) is TypeError and "corvantile.ndarray" in str(gval):
        # Declined by both sides: the interpreter's TypeError names our type where NumPy's
        # names an element type, and NumPy's object loop has nothing to fail on for an
        # empty array. The class is what must agree.
        assert (wkind == "raise" and isinstance(wval, TypeError)) or (
            wkind == "ok" and np.asarray(wval).size == 0), f"corvantile: TypeError {gval}; NumPy: {wval!r}"
        return
    if gkind == wkind == "raise" and type(gval) is type(wval) is ValueError and "broadcast" in str(wval):
        assert _shape_text(gval) == _shape_text(wval), f"{gval!r} != {wval!r}"
        return
    if gkind == wkind == "ok":
        if isinstance(wval, np.generic) and isinstance(gval, cv.ndarray):
            # A native result is always an array, a 0-d one where NumPy gives a scalar.
            assert gval.ndim == 0, f"{gval!r} where NumPy gives the scalar {wval!r}"
            gval, wval = np.asarray(gval), np.asarray(wval)
            got, want = ("ok", gval), ("ok", wval)
        if type(wval) is tuple and type(gval) is tuple and len(gval) == len(wval):
            for g, w in zip(gval, wval):
                compare_outcomes(("ok", g), ("ok", w), power, declines)
            return
        g = np.asarray(gval) if isinstance(wval, np.ndarray) else None
        if g is not None and wval.dtype.kind == "c":
            assert g.dtype == wval.dtype and g.shape == wval.shape, f"{g!r} != {wval!r}"
            assert np.array_equal(g, wval, equal_nan=True), f"{g!r} != {wval!r}"
            return
        if power and g is not None and g.dtype == wval.dtype == np.float64 and g.shape == wval.shape:
            assert_close_pow(g, wval)
            return
    assert_same_outcome(got, want)


def check_case(fn, power=False, declines=True):
    """fn(xp) on both sides; a native result must come without any warning."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = run(fn, cv)
    if got[0] == "ok" and isinstance(got[1], cv.ndarray):
        assert not caught, f"native result with a warning: {caught[0].message}"
    compare_outcomes(got, quiet_run(fn, np), power, declines)


def check_table(make, cases, power=False, declines=True):
    """make(xp, case) on both sides for every case; one failure report for all."""
    failures = []
    for case in cases:
        try:
            check_case(lambda xp: make(xp, case), power, declines)
        except AssertionError as exc:
            failures.append(f"[{case}] {exc}")
    assert not failures, f"{len(failures)} of {len(cases)} cases differ:\n" + "\n".join(failures[:40])
