"""The module namespace: `__all__` in its order, and every public function answering like NumPy."""

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

UNARY = """sin cos tan arcsin arccos arctan sinh cosh tanh arcsinh arccosh arctanh exp exp2 expm1 log log2 log10
    log1p sqrt cbrt square reciprocal absolute fabs negative positive sign floor ceil trunc rint deg2rad rad2deg
    radians degrees""".split()
BINARY = "add subtract multiply divide true_divide floor_divide remainder mod_ power".split()
METHOD_FUNCTIONS = """sum prod mean max min var std argmax argmin cumsum cumprod dot clip round reshape copy nonzero
    ravel transpose""".split()
BINARY_MATH = "maximum minimum fmax fmin arctan2 hypot copysign logaddexp".split()
PREDICATES = ["isnan", "isfinite", "isinf", "signbit"]
OWN_NAMES = ["ndarray", "MAX_NDIM", "_noop", "_set_patch_active"]
EXPECTED_ALL = [*OWN_NAMES, *"zeros ones empty full arange linspace abs concatenate stack sort argsort".split(),
                "_view_of", "isclose", "asarray", "array", "where", *UNARY, *BINARY, *METHOD_FUNCTIONS,
                *BINARY_MATH, *PREDICATES, "any", "all"]
# Computed by the C library, whose last place may differ from NumPy's own vector versions.
LIBRARY_UNARY = set(UNARY[:21]) - {"sqrt"}


def test_module_names():
    assert cv._core.__all__ == EXPECTED_ALL and cv.__all__ == EXPECTED_ALL and len(EXPECTED_ALL) == 98
    assert set(TYPICAL) == set(EXPECTED_ALL) - set(OWN_NAMES) - {"_view_of"} and cv.MAX_NDIM == 8
    for name in EXPECTED_ALL[2:]:
        f = getattr(cv, name)
        assert f is getattr(cv._core, name) and f.__name__ == name and f.__module__ == "corvantile._core"


class _NumpyUnderOurNames:
    """numpy, reached under corvantile's attribute names (mod_ is NumPy's mod)."""

    def __getattr__(self, name):
        return getattr(np, name.rstrip("_"))


NP = _NumpyUnderOurNames()
M = [[1.5, -2.0], [3.0, 0.25]]


def call(name, *args):
    return lambda xp: getattr(xp, name)(*(xp.asarray(a) if isinstance(a, list) else a for a in args))


# One typical call per public function, computed natively.
TYPICAL = {
    "zeros": lambda xp: xp.zeros((2, 3)), "ones": lambda xp: xp.ones(3, dtype="float64"),
    "empty": lambda xp: xp.empty((2, 0)), "full": lambda xp: xp.full((2, 2), 7.5),
    "arange": lambda xp: xp.arange(1, 10, 2), "linspace": lambda xp: xp.linspace(0.0, 1.0, 5),
    "abs": call("abs", [-1.5, 2.0, -0.0]), "concatenate": lambda xp: xp.concatenate([xp.asarray([1.0]), xp.asarray([2.0])]),
    "stack": lambda xp: xp.stack([xp.asarray([1.0, 2.0]), xp.asarray([3.0, 4.0])]),
    "sort": call("sort", [3.0, 1.0, 2.0]), "argsort": call("argsort", [3.0, 1.0, 3.0, 2.0]),
    "isclose": call("isclose", [1.0, 2.0], [1.0, 2.1]), "asarray": lambda xp: xp.asarray([[1.0, 2.0], [3.0, 4.0]]),
    "array": lambda xp: xp.array([1, 2, 3]), "where": call("where", [True, False], [1.0, 2.0], [3.0, 4.0]),
    **{name: call(name, [0.25, 0.5, 0.75]) for name in UNARY}, "arccosh": call("arccosh", [1.0, 1.5, 3.0]),
    **{name: call(name, [1.5, -2.0, 3.0], [2.0, 2.0, -0.5]) for name in BINARY + BINARY_MATH},
    **{name: call(name, M) for name in METHOD_FUNCTIONS}, "dot": call("dot", [1.0, 2.0], [3.0, 4.0]),
    "clip": call("clip", M, -1.0, 2.0), "round": call("round", [1.234, -2.567], 1), "reshape": call("reshape", M, (4,)),
    "nonzero": call("nonzero", [0.0, 1.0, 2.0]), "any": call("any", [False, True]), "all": call("all", [False, True]),
    **{name: call(name, [float("nan"), float("inf"), -1.0, -0.0]) for name in PREDICATES},
}
# Reductions over eight lanes and a tail, of all-negative and all-positive values; ties of signed zeros.
MORE = [call(name, [s * (2.0 + k % 7) for k in range(19)]) for name in ("max", "min") for s in (-1e300, 1e300)] + [
    call(name, M2, axis) for name in ("max", "min") for M2 in ([[0.0, -0.0], [-0.0, 0.0]], [[-0.0, 0.0]] * 9)
    for axis in (0, 1, None)]

# Forms that the native side leaves to NumPy (keywords, lists, other dtypes, extra arguments),
# and NumPy's exceptions, which pass through unchanged.
FORWARDED = [
    lambda xp: xp.sin([0.5, 1.0], out=None), lambda xp: xp.add([1, 2], [3, 4]), call("mod_", [5, -7], 3),
    lambda xp: xp.sum(xp.asarray(M), axis=0, keepdims=True), lambda xp: xp.maximum(1, 2), call("isnan", [1, 2]),
    lambda xp: xp.any(xp.asarray(M), axis=0),
    lambda xp: xp.argsort([3, 1, 2], kind="quicksort"), lambda xp: xp.concatenate([[1, 2], [3]]),
    call("transpose", M, (1, 0)), call("add", [1, 2], [1, 2, 3]), lambda xp: xp.reshape(xp.asarray(M), (3,), order="F"),
    lambda xp: xp.sum(xp.asarray(M), axis=5, keepdims=False), lambda xp: xp.zeros(-1, dtype="int64"),
    lambda xp: xp.sin(xp.asarray(M), bogus=1), lambda xp: xp.stack([]), call("maximum", M, "x"),
    lambda xp: xp.linspace(0, 1j, 3), lambda xp: xp.asarray(M).clip(0.5, xp.asarray(M[0])), lambda xp: xp.stack(),
    lambda xp: xp.concatenate(),
    lambda xp: xp.asarray(M).clip(1j, 2), call("clip", M, [0.0, 1.0], 2.0),
]


@pytest.mark.parametrize("fn, native", [(f, True) for f in [*TYPICAL.values(), *MORE]] + [(f, False) for f in FORWARDED],
                         ids=list(TYPICAL) + [f"more{i}" for i in range(len(MORE))] +
                         [f"forwarded{i}" for i in range(len(FORWARDED))])
def test_answers_like_numpy(fn, native, request):
    if request.node.callspec.id in LIBRARY_UNARY:
        got, want = fn(cv), fn(NP)
        assert type(got) is cv.ndarray and (got.dtype, got.shape) == (want.dtype, want.shape)
        np.testing.assert_allclose(np.asarray(got), want, rtol=1e-14)
    else:
        differential(lambda xp: fn(xp if xp is cv else NP), native)
