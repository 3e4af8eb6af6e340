"""The in-place operators of ndarray against NumPy."""

import math
import operator

import numpy as np
import pytest

import corvantile as cv
from operator_cases import OTHERS, SELVES, check_table

INPLACE = {
    "+=": (operator.iadd, "add"),
    "-=": (operator.isub, "subtract"),
    "*=": (operator.imul, "multiply"),
    "/=": (operator.itruediv, "divide"),
    "//=": (operator.ifloordiv, "floor_divide"),
    "%=": (operator.imod, "remainder"),
    "**=": (operator.ipow, "power"),
}


@pytest.mark.parametrize("self_name", list(SELVES))
@pytest.mark.parametrize("op", list(INPLACE))
def test_every_operand_pair(op, self_name):
    make_self = SELVES[self_name]
    if not isinstance(make_self(cv), cv.ndarray):
        pytest.skip(f"{self_name} is not a native array yet")
    f = INPLACE[op][0]

    def make(xp, other_name):
        a = make_self(xp)
        before = a
        a = f(a, OTHERS[other_name](xp, a.shape))
        return a is before, a

    others = [o for o in OTHERS if o != "str" or op != "*="]
    check_table(make, others, power=op == "**=")


def f64(values):
    return cv.asarray(np.array(values, dtype=np.float64))


def values(a):
    return np.asarray(a).tolist()


def test_same_object_on_every_road():
    for make, other in [(f64([1.0, 2.0]), 1.0), (f64([1.0, 2.0]), [1, 2]),
                        (cv.asarray(np.array([1, 2])), 1), (cv.asarray(np.array([True, False])), True)]:
        b = make
        make += other
        assert make is b


def test_self_operand():
    a = f64([1.0, -2.0, 3.5])
    a += a
    assert values(a) == [2.0, -4.0, 7.0]
    a *= a
    assert values(a) == [4.0, 16.0, 49.0]


@pytest.fixture(scope="module")
def probe():
    from _probe import load

    return load()


# The probe module makes views of real memory (its own ndarray type carries the same
# operators): a slice of one axis is a contiguous view, a stepped slice a strided one.

def test_overlapping_views(probe):
    base = probe.native_copy(np.array([1.0, 2.0, 3.0, 4.0, 5.0]))
    u = probe.select_view(base, (slice(1, None),))
    v = probe.select_view(base, (slice(None, -1),))
    u += v
    # Each element adds the old value on its left, as if the operand were copied first.
    want = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    want[1:] += want[:-1]
    assert values(base) == want.tolist() == [1.0, 3.0, 5.0, 7.0, 9.0]
    v -= u  # the other direction
    want[:-1] -= want[1:]
    assert values(base) == want.tolist()


def test_strided_view_writes_its_base(probe):
    base = probe.native_copy(np.arange(12.0).reshape(3, 4))
    v = probe.select_view(base, (slice(None), slice(None, None, 2)))
    w = v
    v *= 2
    assert v is w
    want = np.arange(12.0).reshape(3, 4)
    want[:, ::2] *= 2
    assert values(base) == want.tolist()
    # A change of the base is seen by the view's next operation.
    np.asarray(base)[0, 0] = 1.0
    v += probe.native_copy(np.ones((3, 2)))
    want[0, 0] = 1.0
    want[:, ::2] += 1
    assert values(base) == want.tolist()
    # Strided views of one base on both sides, the operand overlapping the target.
    u = probe.select_view(base, (slice(None), slice(1, None, 2)))
    v **= u
    want[:, ::2] **= want[:, 1::2]
    assert values(base) == want.tolist()


def test_strided_view_on_numpy_road():
    base = cv.asarray(np.arange(6, dtype=np.int64).reshape(2, 3))
    v = base[:, ::2]
    if not isinstance(v, cv.ndarray):
        pytest.skip("no native strided views yet")
    w = v
    v += 10
    assert v is w
    assert values(base) == [[10, 1, 12], [13, 4, 15]]


def test_broadcast_errors_leave_self_unchanged():
    a = f64([1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=r"^non-broadcastable output operand with shape \(3,\) doesn't match "
                                         r"the broadcast shape \(2, 3\)$"):
        a += cv.asarray(np.ones((2, 3)))
    with pytest.raises(ValueError, match=r"^operands could not be broadcast together with shapes \(3,\) \(4,\)$"):
        a -= f64([1.0, 2.0, 3.0, 4.0])
    assert values(a) == [1.0, 2.0, 3.0]


def test_broadcast_operand():
    a = cv.asarray(np.arange(6.0).reshape(2, 3))
    a += f64([10.0, 20.0, 30.0])
    a *= cv.asarray(np.array([[2.0, 2.0, 2.0]]))
    a -= cv.asarray(np.array(1.0))
    assert values(a) == [[19.0, 41.0, 63.0], [25.0, 47.0, 69.0]]


@pytest.mark.parametrize("op", list(INPLACE))
def test_unknown_operand(op):
    f, name = INPLACE[op]
    a = f64([1.0, 2.0])
    with pytest.raises(TypeError, match=rf"^unsupported operand type\(s\) for in-place {name}: "
                                        r"'corvantile.ndarray' and 'object'$"):
        f(a, object())
    assert values(a) == [1.0, 2.0]


def test_float_edge_values():
    a = f64([1.0, -1.0, 0.0])
    a //= 0.0
    assert str(values(a)) == str([math.inf, -math.inf, math.nan])
    a = f64([1.0, -1.0, 0.0])
    a //= -0.0
    assert str(values(a)) == str([-math.inf, math.inf, math.nan])
    a = f64([1.0, -1.0, 0.0])
    a %= 0.0
    assert all(math.isnan(x) for x in values(a))
    a = f64([6.0, -6.0])
    a %= -3.0
    assert [math.copysign(1, x) for x in values(a)] == [-1.0, -1.0]


def test_power():
    a = f64([3.0, -0.5])
    a **= 2
    assert values(a) == [9.0, 0.25]
    a.__ipow__(2, 5)  # the modulus is ignored
    assert values(a) == [81.0, 0.0625]
    a **= 0.5
    assert values(a) == [9.0, 0.25]
    b = f64([2.0])
    b **= 3.0
    assert values(b) == [8.0]


def test_empty_and_zero_d():
    e = cv.asarray(np.zeros((0, 3)))
    e += 1.0
    assert e.shape == (0, 3)
    z = cv.asarray(np.array(2.0))
    z *= 4
    assert float(np.asarray(z)) == 8.0
