"""The in-place operators of ndarray: the rules beyond the operand table of test_operators."""

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, differential
from operator_cases import INPLACE

NAMES = {"+=": "add", "-=": "subtract", "*=": "multiply", "/=": "divide", "//=": "floor_divide",
         "%=": "remainder", "**=": "power"}


def f64(values):
    return cv.asarray(np.array(values, dtype=np.float64))


def test_self_operand():
    a = f64([1.0, -2.0, 3.5])
    p = np.asarray(a).__array_interface__["data"][0]
    a += a
    a *= a
    assert np.asarray(a).tolist() == [4.0, 16.0, 49.0]
    assert np.asarray(a).__array_interface__["data"][0] == p


def _views(xp, dtype, *takes):
    base = xp.asarray(np.arange(12, dtype=dtype).reshape(3, 4))
    if xp is cv:
        return base, *(cv._view_of(base, take(np.asarray(base))) for take in takes)
    return base, *(take(base) for take in takes)


@pytest.mark.parametrize("op", ["+=", "-=", "*="])
@pytest.mark.parametrize("dtype", [np.float64, np.int64])
def test_overlapping_views_write_their_base(op, dtype):
    # NumPy's values, as if the operand were copied first; the writes land in the base,
    # which each view's next operation reads.
    def fn(xp):
        base, u, v, s, t = _views(xp, dtype, lambda b: b.reshape(-1)[1:], lambda b: b.reshape(-1)[:-1],
                                  lambda b: b[:, ::2], lambda b: b[:, 1::2])
        u_is_u = INPLACE[op](u, v) is u
        v_is_v = INPLACE[op](v, u) is v  # the other direction
        np.asarray(base)[0, 0] = 1
        s = INPLACE[op](s, t % 3)
        t = INPLACE[op](t, s)
        return u_is_u, v_is_v, base.copy()

    differential(fn)


def test_broadcast_errors_leave_self_unchanged():
    a = f64([1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=r"^non-broadcastable output operand with shape \(3,\) doesn't match "
                                         r"the broadcast shape \(2, 3\)$"):
        a += cv.asarray(np.ones((2, 3)))
    with pytest.raises(ValueError, match=r"^operands could not be broadcast together with shapes \(3,\) \(4,\)$"):
        a -= f64([1.0, 2.0, 3.0, 4.0])
    assert np.asarray(a).tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("op", list(INPLACE))
def test_unknown_operand(op):
    a = f64([1.0, 2.0])
    with pytest.raises(TypeError, match=rf"^unsupported operand type\(s\) for in-place {NAMES[op]}: "
                                        r"'corvantile.ndarray' and 'object'$"):
        INPLACE[op](a, object())
    assert np.asarray(a).tolist() == [1.0, 2.0]


def test_power_modulus_is_ignored():
    a = f64([3.0, -0.5])
    a.__ipow__(2, 5)
    assert_same_array(a, np.array([9.0, 0.25]))
