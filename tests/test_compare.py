"""The rich comparisons of ndarray against NumPy."""

import operator

import numpy as np
import pytest

import corvantile as cv
from conftest import differential
from operator_cases import OTHERS, SELVES, check_table

COMPARE = {
    "<": operator.lt,
    "<=": operator.le,
    "==": operator.eq,
    "!=": operator.ne,
    ">": operator.gt,
    ">=": operator.ge,
}


@pytest.mark.parametrize("reflected", [False, True], ids=["forward", "reflected"])
@pytest.mark.parametrize("self_name", list(SELVES))
@pytest.mark.parametrize("op", list(COMPARE))
def test_every_operand_pair(op, self_name, reflected):
    make_self = SELVES[self_name]
    if not isinstance(make_self(cv), cv.ndarray):
        pytest.skip(f"{self_name} is not a native array yet")
    f = COMPARE[op]

    def make(xp, other_name):
        a = make_self(xp)
        b = OTHERS[other_name](xp, a.shape)
        return f(b, a) if reflected else f(a, b)

    check_table(make, list(OTHERS))


# (self, operator, other, native?)
ROUTES = [
    *[("f64 (12,)", op, other, True) for op in COMPARE
      for other in ["2.5", "3", "True", "2**63", "nan", "f64 same", "i64 same", "np.float32", "np.int64"]],
    ("f64 (12,)", "<", "bool same", False),
    ("f64 (3, 4)", "<", "f64 row", False),   # never broadcast natively
    ("f64 (12,)", "==", "f64 ()", False),
    ("f64 (12,)", "==", "list same", False),
    ("f64 (12,)", "==", "None", False),
    ("f64 (12,)", "!=", "str", False),
    *[("i64 (12,)", op, other, True) for op in COMPARE
      for other in ["3", "int64 min", "2.5", "f64 same", "i64 same"]],
    ("i64 (12,)", "<", "2**63", False),      # exact in NumPy
    ("i64 (12,)", "<", "np.float32", False),
    ("i64 (12,)", "==", "True", False),
    ("i64 (12,)", "==", "bool same", False),
    ("i64 (3, 4)", "==", "i64 row", False),
    ("bool (12,)", "==", "bool same", True),
    ("bool (12,)", "!=", "False", True),
    ("bool (12,)", "<", "bool same", False),
    ("bool (12,)", ">=", "True", False),
    ("bool (12,)", "==", "3", False),
    ("bool (12,)", "==", "2.5", False),
]


@pytest.mark.parametrize("self_name, op, other, native", ROUTES)
def test_native_or_numpy(self_name, op, other, native):
    a = SELVES[self_name](cv)
    r = COMPARE[op](a, OTHERS[other](cv, a.shape))
    assert isinstance(r, cv.ndarray) is native, type(r)
    if native:
        assert r.dtype == np.bool_ and r.shape == a.shape


def test_mirrored_operator():
    a = cv.asarray(np.array([1.0, 3.0, 5.0]))
    r = 3 < a
    assert isinstance(r, cv.ndarray)
    assert np.asarray(r).tolist() == [False, False, True]
    b = cv.asarray(np.array([True, False]))
    assert np.asarray(1 < b).tolist() == [False, False]  # NumPy's greater(b, 1)


def test_int64_exact():
    big = 2**53 + 1
    a = cv.asarray(np.array([big, 2**53]))
    assert np.asarray(a > 2**53).tolist() == [True, False]
    assert np.asarray(a > 2.0**53).tolist() == [False, False]
    assert np.asarray(a == big).tolist() == [True, False]


@pytest.mark.parametrize("other", [None, "abc", object(), 1j, b"x", {"k": 1}])
@pytest.mark.parametrize("op", ["==", "!="])
def test_equality_with_any_object_is_elementwise(op, other):
    for make in (SELVES["f64 (12,)"], SELVES["i64 (3, 4)"], SELVES["bool ()"]):
        differential(lambda xp: COMPARE[op](make(xp), other))
        differential(lambda xp: COMPARE[op](other, make(xp)))


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_with_unknown_objects_raises(op):
    a = SELVES["f64 (12,)"](cv)
    for other in (None, object(), "abc"):
        with pytest.raises(TypeError, match="not supported between instances of"):
            COMPARE[op](a, other)


def test_strided_self():
    base = cv.asarray(np.arange(12.0).reshape(3, 4))
    v = base[:, 1::2]
    if not isinstance(v, cv.ndarray):
        pytest.skip("no native strided views yet")
    r = v > 4.0
    assert isinstance(r, cv.ndarray) and r.shape == (3, 2)
    assert np.asarray(r).tolist() == [[False, False], [True, True], [True, True]]


def test_int64_against_floats_near_the_bounds():
    # int64 elements meet a float as NumPy converts them (to float64); the comparison
    # is answered on integers where that is exact, so probe every bound.
    p = 2**53
    ints = np.array([0, 1, -1, 2, -2, 3, p - 2, p - 1, p, p + 1, p + 2, p + 3, -p - 1, -p, -p + 1,
                     2**62, 2**63 - 1, -(2**63), -(2**63) + 1, 2**63 - 512, 2**63 - 513], dtype=np.int64)
    floats = [0.0, -0.0, 0.5, -0.5, 1.0, 2.5, -2.5, 3.0, float(p - 1), float(p) - 0.5, float(p), float(p + 2),
              -float(p), float(2**63), -float(2**63), 9.2e18, 1e300, -1e300, float("inf"), float("-inf"),
              float("nan"), 1e-300, -1e-300, float(2**62)]
    for s in floats:
        for op in COMPARE.values():
            got = op(cv.asarray(ints), s)
            assert isinstance(got, cv.ndarray)
            assert np.asarray(got).tolist() == op(ints, s).tolist(), (op, s)
