"""The module namespace: `__all__` in its order, and every public function answering like NumPy."""

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

UNARY = [
    "sin", "cos", "tan", "arcsin", "arccos", "arctan", "sinh", "cosh", "tanh", "arcsinh", "arccosh",
    "arctanh", "exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "sqrt", "cbrt", "square",
    "reciprocal", "absolute", "fabs", "negative", "positive", "sign", "floor", "ceil", "trunc", "rint",
    "deg2rad", "rad2deg", "radians", "degrees",
]
BINARY = ["add", "subtract", "multiply", "divide", "true_divide", "floor_divide", "remainder", "mod_", "power"]
METHOD_FUNCTIONS = [
    "sum", "prod", "mean", "max", "min", "var", "std", "argmax", "argmin", "cumsum", "cumprod", "dot",
    "clip", "round", "reshape", "copy", "nonzero", "ravel", "transpose",
]
BINARY_MATH = ["maximum", "minimum", "fmax", "fmin", "arctan2", "hypot", "copysign", "logaddexp"]
PREDICATES = ["isnan", "isfinite", "isinf", "signbit"]
BOOL_REDUCTIONS = ["any", "all"]

EXPECTED_ALL = [
    "ndarray", "MAX_NDIM", "_noop", "_set_patch_active",
    "zeros", "ones", "empty", "full", "arange", "linspace", "abs", "concatenate", "stack", "sort",
    "argsort", "_view_of", "isclose",
    "asarray", "array", "where",
    *UNARY, *BINARY, *METHOD_FUNCTIONS, *BINARY_MATH, *PREDICATES, *BOOL_REDUCTIONS,
]

# Computed by the C library, whose last place may differ from NumPy's own vector versions.
LIBRARY_UNARY = set(UNARY[:21]) - {"sqrt"}

# Names without a NumPy function of their own.
OWN_NAMES = {"ndarray", "MAX_NDIM", "_noop", "_set_patch_active", "_view_of"}


def test_module_identity_and_names():
    core = cv._core
    assert (core.__name__, core.__doc__) == ("corvantile._core", "corvantile native core")
    assert len(EXPECTED_ALL) == 98
    assert core.__all__ == EXPECTED_ALL and cv.__all__ == EXPECTED_ALL
    assert set(TYPICAL) == set(EXPECTED_ALL) - OWN_NAMES
    assert type(cv.MAX_NDIM) is int and cv.MAX_NDIM == 8
    for name in EXPECTED_ALL:
        f = getattr(cv, name)
        assert f is getattr(core, name)
        if name not in ("ndarray", "MAX_NDIM"):
            assert callable(f) and f.__name__ == name and f.__module__ == "corvantile._core", name


class _NumpyUnderOurNames:
    """numpy, reached under corvantile's attribute names (mod_ is NumPy's mod)."""

    def __getattr__(self, name):
        return getattr(np, name.rstrip("_"))


NP = _NumpyUnderOurNames()
M = [[1.5, -2.0], [3.0, 0.25]]
V = [0.25, 0.5, 0.75]


def unary_call(name, values=V):
    return lambda xp: getattr(xp, name)(xp.asarray(values))


def binary_call(name):
    return lambda xp: getattr(xp, name)(xp.asarray([1.5, -2.0, 3.0]), xp.asarray([2.0, 2.0, -0.5]))


def method_call(name, *rest):
    return lambda xp: getattr(xp, name)(xp.asarray(M), *rest)


# One typical call per public function.
TYPICAL = {
    "zeros": lambda xp: xp.zeros((2, 3)),
    "ones": lambda xp: xp.ones(3, dtype="int64"),
    "empty": lambda xp: xp.empty((2, 0)),
    "full": lambda xp: xp.full((2, 2), 7.5),
    "arange": lambda xp: xp.arange(1, 10, 2),
    "linspace": lambda xp: xp.linspace(0.0, 1.0, 5),
    "abs": lambda xp: xp.abs(xp.asarray([-1.5, 2.0, -0.0])),
    "concatenate": lambda xp: xp.concatenate([xp.asarray([1.0]), xp.asarray([2.0, 3.0])]),
    "stack": lambda xp: xp.stack([xp.asarray([1.0, 2.0]), xp.asarray([3.0, 4.0])]),
    "sort": lambda xp: xp.sort(xp.asarray([3.0, 1.0, 2.0])),
    "argsort": lambda xp: xp.argsort(xp.asarray([3.0, 1.0, 3.0, 2.0])),
    "isclose": lambda xp: xp.isclose(xp.asarray([1.0, 2.0]), xp.asarray([1.0, 2.1])),
    "asarray": lambda xp: xp.asarray([[1.0, 2.0], [3.0, 4.0]]),
    "array": lambda xp: xp.array([1, 2, 3]),
    "where": lambda xp: xp.where(xp.asarray([True, False]), xp.asarray([1.0, 2.0]), xp.asarray([3.0, 4.0])),
    **{name: unary_call(name) for name in UNARY},
    "arccosh": unary_call("arccosh", [1.0, 1.5, 3.0]),
    **{name: binary_call(name) for name in BINARY + BINARY_MATH},
    **{name: method_call(name) for name in METHOD_FUNCTIONS},
    "dot": lambda xp: xp.dot(xp.asarray([1.0, 2.0]), xp.asarray([3.0, 4.0])),
    "clip": method_call("clip", -1.0, 2.0),
    "round": lambda xp: xp.round(xp.asarray([1.234, -2.567]), 1),
    "reshape": method_call("reshape", (4,)),
    "nonzero": lambda xp: xp.nonzero(xp.asarray([0.0, 1.0, 2.0])),
    **{name: unary_call(name, [float("nan"), float("inf"), -1.0, -0.0]) for name in PREDICATES},
    "any": lambda xp: xp.any(xp.asarray([False, True])),
    "all": lambda xp: xp.all(xp.asarray([False, True])),
}

# Forms that the native side leaves to NumPy (keywords, lists, other dtypes, extra arguments),
# and NumPy's exceptions, which pass through unchanged.
FORWARDED = [
    lambda xp: xp.sin([0.5, 1.0], out=None),
    lambda xp: xp.add([1, 2], [3, 4]),
    lambda xp: xp.mod_(xp.asarray([5, -7]), 3),
    lambda xp: xp.sum(xp.asarray(M), axis=0, keepdims=True),
    lambda xp: xp.maximum(1, 2),
    lambda xp: xp.isnan(xp.asarray([1, 2])),
    lambda xp: xp.any(xp.asarray(M), axis=0),
    lambda xp: xp.arange(0.0, 1.0, 0.25, dtype="float64"),
    lambda xp: xp.argsort([3, 1, 2], kind="quicksort"),
    lambda xp: xp.concatenate([[1, 2], [3]]),
    lambda xp: xp.transpose(xp.asarray(M), (1, 0)),
    lambda xp: xp.add(xp.asarray([1, 2]), xp.asarray([1, 2, 3])),
    lambda xp: xp.sum(xp.asarray(M), axis=5, keepdims=False),
    lambda xp: xp.reshape(xp.asarray(M), (3,), order="F"),
    lambda xp: xp.zeros(-1, dtype="int64"),
    lambda xp: xp.sin(xp.asarray(V), bogus=1),
    lambda xp: xp.stack([]),
    lambda xp: xp.maximum(xp.asarray(V), "x"),
]


@pytest.mark.parametrize("fn", list(TYPICAL.values()) + FORWARDED,
                         ids=list(TYPICAL) + [f"forwarded{i}" for i in range(len(FORWARDED))])
def test_answers_like_numpy(fn, request):
    if request.node.callspec.id in LIBRARY_UNARY:
        got, want = fn(cv), fn(NP)
        assert type(got) is cv.ndarray and (got.dtype, got.shape) == (want.dtype, want.shape)
        np.testing.assert_allclose(np.asarray(got), want, rtol=1e-14)
    else:
        differential(lambda xp: fn(xp if xp is cv else NP))
