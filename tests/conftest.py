"""Shared test helpers: the differential check of corvantile against NumPy."""

import ast
import collections
import math
import os
import pathlib
import sys

# The sanitizer build keeps its module in a package directory of its own.
_pkg_root = os.environ.get("CORVANTILE_PKG_ROOT")
if _pkg_root:
    sys.path.insert(0, _pkg_root)

import numpy as np  # noqa: E402
import pytest  # noqa: E402

import corvantile as cv  # noqa: E402
from corvantile import _fallback  # noqa: E402

CV_NDARRAY = cv._core.ndarray if hasattr(cv._core, "ndarray") else None
# The road to NumPy is loaded at its first use: here, before any test replaces the fallback module's functions
# (a replacement is honoured either way; test_fallback checks one made before the first use).
cv.add([1.0], [1.0])



def pytest_sessionstart(session):
    # A test defined twice in a module runs only as its second definition: refuse to start.
    shadowed = []
    for path in sorted(pathlib.Path(__file__).parent.glob("test_*.py")):
        names = collections.Counter(node.name for node in ast.parse(path.read_text()).body
                                    if isinstance(node, (ast.FunctionDef, ast.ClassDef)))
        shadowed += [f"{path.name}::{name}" for name, count in names.items() if count > 1]
    if shadowed:
        raise pytest.UsageError("defined more than once: " + ", ".join(shadowed))

def _is_cv_array(x):
    return CV_NDARRAY is not None and isinstance(x, CV_NDARRAY)


def run(fn, xp):
    """Call fn(xp); return ("ok", value) or ("raise", exception)."""
    try:
        return "ok", fn(xp)
    except Exception as exc:  # noqa: BLE001 - every failure is an outcome to compare
        return "raise", exc


def _same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def assert_same_array(got, want, path="result", ulps=0):
    """got (any array-like) equals want (a NumPy array) in dtype, shape and every value; with
    ulps, finite floats may differ by that many units in the last place (never in sign,
    infinity or zero), and NaNs in sign."""
    got_np = np.asarray(got)
    assert got_np.dtype == want.dtype, f"{path}: dtype {got_np.dtype} != {want.dtype}"
    assert got_np.shape == want.shape, f"{path}: shape {got_np.shape} != {want.shape}"
    if want.dtype.kind == "f":
        same = (got_np == want) | (np.isnan(got_np) & np.isnan(want))
        same &= np.signbit(got_np) == np.signbit(want)
        if ulps:
            near = np.isfinite(want) & (want != 0) & (np.signbit(got_np) == np.signbit(want))
            bits = np.dtype(f"i{want.itemsize}")
            apart = np.abs(got_np.view(bits).astype(np.int64) - want.view(bits))
            same |= near & np.isfinite(got_np) & (got_np != 0) & (apart <= ulps)
            same |= np.isnan(got_np) & np.isnan(want)  # nor does the sign of a NaN count there
        assert bool(np.all(same)), f"{path}: values differ\n got {got_np!r}\nwant {want!r}"
    else:
        assert np.array_equal(got_np, want), f"{path}: values differ\n got {got_np!r}\nwant {want!r}"


def assert_same_value(got, want, path="result", native=None, ulps=0):
    """got (from corvantile) matches want (from NumPy) in type, dtype, shape and value.

    Where NumPy gives an ndarray, native=True demands a corvantile array, native=False
    NumPy's own (the call was declined), None either.
    """
    if isinstance(want, np.ndarray) and type(want) is np.ndarray:
        ok = {True: _is_cv_array(got), False: type(got) is np.ndarray}.get(
            native, _is_cv_array(got) or type(got) is np.ndarray)
        assert ok, f"{path}: type {type(got).__name__} where NumPy gives an ndarray (native={native})"
        assert_same_array(got, want, path, ulps)
    elif isinstance(want, np.generic):
        assert type(got) is type(want), f"{path}: type {type(got).__name__} != {type(want).__name__}"
        assert_same_array(np.asarray(got), np.asarray(want), path, ulps)
    elif isinstance(want, (tuple, list)):
        assert type(got) is type(want), f"{path}: type {type(got).__name__} != {type(want).__name__}"
        assert len(got) == len(want), f"{path}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            assert_same_value(g, w, f"{path}[{i}]", native, ulps)
    elif isinstance(want, float):
        assert type(got) is float, f"{path}: type {type(got).__name__} != float"
        assert _same_float(got, want), f"{path}: {got!r} != {want!r}"
    else:
        assert type(got) is type(want), f"{path}: type {type(got).__name__} != {type(want).__name__}"
        assert got == want, f"{path}: {got!r} != {want!r}"


def assert_same_outcome(got, want, native=None, ulps=0):
    """Both outcomes of run(): same value, or same exception class and message."""
    gkind, gval = got
    wkind, wval = want
    if wkind == "raise":
        assert gkind == "raise", f"NumPy raised {type(wval).__name__}: {wval}; corvantile gave {gval!r}"
        assert type(gval) is type(wval), (
            f"exception class {type(gval).__name__} != {type(wval).__name__} ({gval} / {wval})")
        assert str(gval) == str(wval), f"message {str(gval)!r} != {str(wval)!r}"
    else:
        if gkind == "raise":
            raise AssertionError(f"corvantile raised {type(gval).__name__}: {gval}; NumPy gave {wval!r}")
        assert_same_value(gval, wval, native=native, ulps=ulps)


# NumPy computes these by vector code of its own on some CPUs (AVX-512), within an ulp of
# the C library's results, which corvantile gives on every CPU.
LIBRARY_ULPS = 1


def differential(fn, native=None, ulps=0):
    """Run fn(xp) with xp = corvantile and xp = numpy and compare the outcomes (native, ulps:
    as in assert_same_value). Returns the corvantile outcome's value (or exception)."""
    got = run(fn, cv)
    assert_same_outcome(got, run(fn, np), native, ulps)
    return got[1]


def load_probe():
    """The test-only extension module built next to the package (build/<kind>/probe)."""
    root = pathlib.Path(_pkg_root) if _pkg_root else pathlib.Path(__file__).parent.parent / "build/release/python"
    build = root.resolve().parent
    if str(build / "probe") not in sys.path:
        sys.path.insert(0, str(build / "probe"))
    return pytest.importorskip("_corvantile_probe")


def native(x, dtype=None):
    """corvantile.array of numpy.asarray(x, dtype), checked to be a native array."""
    a = cv.array(np.asarray(x, dtype=dtype))
    assert _is_cv_array(a), f"not native: {type(a).__name__}"
    return a


def sample(shape, dtype):
    """Distinct values of one element kind (float64, int64 or bool) in the given shape."""
    values = np.arange(int(np.prod(shape)), dtype=np.int64).reshape(shape)
    return values % 3 == 1 if dtype is np.bool_ else (values * 3 - 7).astype(dtype)


def sample_array(xp, shape, dtype, strided=False):
    """xp's array of sample values; with strided, a strided view of that shape over a bigger base."""
    if not strided:
        return xp.asarray(sample(shape, dtype))
    big = xp.asarray(sample(tuple(2 * n for n in shape), dtype))
    return big[(slice(None, None, 2),) * len(shape)]


def writes_through(view, root):
    """Writing through `view` changes `root`."""
    before = np.asarray(root).copy()
    np.asarray(view)[...] = 1
    return not np.array_equal(np.asarray(root), before)


@pytest.fixture
def calls(monkeypatch):
    """(function, name, args, keywords) of every call that reaches NumPy through the fallback
    module's `call` or `call_method` (whose array is left out)."""
    seen = []
    for function in ("call", "call_method"):
        real = getattr(_fallback, function)

        def record(first, *args, _real=real, _function=function, **kwargs):
            name, args_ = (args[0], args[1:]) if _function == "call_method" else (first, args)
            seen.append((_function, name, args_, kwargs))
            return _real(first, *args, **kwargs)

        monkeypatch.setattr(_fallback, function, record)
    return seen
