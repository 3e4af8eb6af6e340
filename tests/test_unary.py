"""Unary element-wise functions and the fast-entry frame they share with the other families."""

import ctypes
import math
import sys

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_outcome, differential, native, run

LIBM = ctypes.CDLL("libm.so.6")


def _libm(name):
    f = getattr(LIBM, name)
    f.restype, f.argtypes = ctypes.c_double, [ctypes.c_double]
    return f


def _arctanh(x):
    with np.errstate(all="ignore"):
        q = np.float64(x + x) / (np.float64(1.0) - np.float64(x))
    return 0.5 * _libm("log1p")(float(q))


# Functions computed by the C library: checked bit for bit against it (NumPy may use its own
# vector versions, which differ in the last place).
LIBRARY = {
    "sin": "sin", "cos": "cos", "tan": "tan", "arcsin": "asin", "arccos": "acos", "arctan": "atan",
    "sinh": "sinh", "cosh": "cosh", "tanh": "tanh", "arcsinh": "asinh", "arccosh": "acosh",
    "exp": "exp", "exp2": "exp2", "expm1": "expm1", "log": "log", "log2": "log2", "log10": "log10",
    "log1p": "log1p", "cbrt": "cbrt",
}
REFERENCE = {name: _libm(c) for name, c in LIBRARY.items()} | {"arctanh": _arctanh}
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


@pytest.mark.parametrize("name", list(REFERENCE))
def test_library_functions_bit_for_bit(name):
    a = native(VALUES)
    got = getattr(cv, name)(a)
    assert type(got) is cv.ndarray and got.dtype == np.float64 and got.shape == a.shape
    want = [REFERENCE[name](float(v)) for v in VALUES]
    same = bits(got) == bits(want)
    assert same.all(), VALUES[~same]
    with np.errstate(all="ignore"):
        np.testing.assert_allclose(np.asarray(got), getattr(np, name)(VALUES), rtol=1e-13, atol=0)


@pytest.mark.parametrize("name", EXACT)
def test_exact_functions_match_numpy_bits(name):
    got = getattr(cv, name)(native(VALUES))
    with np.errstate(all="ignore"):
        want = getattr(np, name)(VALUES)
    assert np.array_equal(bits(got), bits(want))


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("case", [
    pytest.param(lambda xp: xp.asarray([4, 9, 2**53 + 1, -3]), id="int64"),
    pytest.param(lambda xp: xp.asarray([True, False]), id="bool"),
    pytest.param(lambda xp: xp.asarray(np.zeros((3, 0))), id="empty"),
    pytest.param(lambda xp: xp.asarray([[0.25, 2.0], [-1.0, 8.0]]), id="2-d"),
    pytest.param(lambda xp: [0.5, 2.0], id="list"),
    pytest.param(lambda xp: 1 + 2j, id="complex"),
    pytest.param(lambda xp: True, id="py-bool"),
    pytest.param(lambda xp: np.int64(3), id="np-int64"),
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
def test_int64_road(name):
    got = getattr(cv, name)(native([4, 9, 2**53 + 1, -3]))
    if name in FLOAT_ONLY:
        assert type(got) is np.ndarray  # NumPy's answer
    else:
        assert type(got) is cv.ndarray and got.dtype == np.float64
        want = getattr(cv, name)(native([4.0, 9.0, 2.0**53, -3.0]))
        assert np.array_equal(bits(got), bits(want))


@pytest.mark.parametrize("name", ALL)
def test_python_numbers(name):
    f = getattr(cv, name)
    for v in (0.5, -3, 7, 0.0):
        if name == "reciprocal" and type(v) is int:  # NumPy's integer reciprocal
            differential(lambda xp: xp.reciprocal(v))
            continue
        got = f(v)
        assert type(got) is float and bits(got) == bits(f(native(float(v))))
    got = f(np.float64(0.5))
    assert type(got) is np.float64 and bits(got) == bits(f(0.5))
    if name == "reciprocal":
        differential(lambda xp: xp.reciprocal(10**400))
        return
    with pytest.raises(OverflowError):
        f(10**400)


def test_special_values():
    assert str(cv.rint(native([0.5, 1.5, -0.5, 2.0**52 - 0.5, 2.5, 3.5, -2.5]))) == \
        str(np.array([0.0, 2.0, -0.0, 4503599627370496.0, 2.0, 4.0, -2.0]))
    assert bits(cv.sign(NEG_NAN)) == bits(NEG_NAN) and bits(cv.absolute(NEG_NAN)) == bits(-NEG_NAN)
    assert bits(cv.arctanh(native([-1.0, -0.0, 1.0]))).tolist() == bits([-math.inf, -0.0, math.inf]).tolist()
    assert math.isnan(cv.arctanh(2.0))
    assert cv.deg2rad(180.0) == 3.141592653589793 and bits(cv.sqrt(-0.0)) == bits(-0.0)


@pytest.mark.parametrize("name", ALL)
def test_zero_d_array_stays_an_array(name):
    got = getattr(cv, name)(native(0.25))
    assert type(got) is cv.ndarray and got.shape == () and bits(got) == bits(getattr(cv, name)(0.25))


def test_strided_view_reads_current_values():
    base = native(np.arange(8.0))
    view = cv._view_of(base, np.asarray(base)[::-3])
    np.asarray(base)[7] = 49.0
    got = cv.sqrt(view)
    assert type(got) is cv.ndarray and np.asarray(got).tolist() == [7.0, 2.0, 1.0] and got.base is None


# ---- the fast-entry frame ---------------------------------------------------------------

@pytest.fixture
def calls(monkeypatch):
    """Records every call of the fallback module's `call`."""
    fb = sys.modules["corvantile._fallback"]  # the module the native side calls
    seen, real = [], fb.call

    def record(name, *args, **kwargs):
        seen.append((name, args, kwargs))
        return real(name, *args, **kwargs)

    monkeypatch.setattr(fb, "call", record)
    return seen


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
    assert [(n, len(args), kw) for n, args, kw in calls] == [
        ("sin", 1, {"out": None}), ("sqrt", 1, {"where": True}), ("sin", 0, {}), ("sin", 2, {}),
        ("sin", 1, {}), ("isnan", 1, {"where": True})]


def test_frame_passes_declined_operands_once(calls):
    cv.sin([1.0])
    cv.floor(native([1, 2]))
    assert [(n, args, kw) for n, args, kw in calls] == [("sin", ([1.0],), {}), ("floor", calls[1][1], {})]
