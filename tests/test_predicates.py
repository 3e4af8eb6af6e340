"""Float predicates: isnan, isfinite, isinf, signbit."""

import math

import numpy as np
import pytest

import corvantile as cv
from conftest import differential, native

NAMES = ["isnan", "isfinite", "isinf", "signbit"]
NEG_NAN = -np.float64("nan")
VALUES = [1.0, -1.0, 0.0, -0.0, math.inf, -math.inf, math.nan, NEG_NAN, 5e-324, -1e308]


class FloatSub(float):
    pass


class IntSub(int):
    pass


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("case", [
    pytest.param(lambda xp: xp.asarray(VALUES), id="1-d"),
    pytest.param(lambda xp: xp.asarray(np.reshape(VALUES[:6], (2, 3))), id="2-d"),
    pytest.param(lambda xp: xp.asarray(np.zeros((0, 3))), id="empty"),
    pytest.param(lambda xp: xp.asarray([1, -2]), id="int64"),
    pytest.param(lambda xp: xp.asarray([True, False]), id="bool"),
    pytest.param(lambda xp: [1.0, math.nan], id="list"),
    *[pytest.param(lambda xp, v=v: v, id=repr(v)) for v in VALUES],
    pytest.param(lambda xp: True, id="True"),
    pytest.param(lambda xp: -3, id="int"),
    pytest.param(lambda xp: np.float64(-0.0), id="np-float64"),
    pytest.param(lambda xp: np.int64(-5), id="np-int64"),
    pytest.param(lambda xp: FloatSub(-2.5), id="float-subclass"),
    pytest.param(lambda xp: IntSub(-7), id="int-subclass"),
])
def test_against_numpy(name, case):
    differential(lambda xp: getattr(xp, name)(case(xp)))


@pytest.mark.parametrize("name", NAMES)
def test_native_forms(name):
    f = getattr(cv, name)
    got = f(native(np.zeros((2, 3))))
    assert type(got) is cv.ndarray and got.dtype == np.bool_ and got.strides == (3, 1) and got.base is None
    assert f(native(np.zeros((0, 3)))).strides == (3, 1)  # C strides, also when empty
    zero_d = f(native(-0.0))  # a 0-d array stays an array
    assert type(zero_d) is cv.ndarray and zero_d.shape == () and bool(zero_d) == bool(getattr(np, name)(-0.0))
    assert f(1.5) is getattr(np, name)(1.5)  # numpy.bool_ singletons
    with pytest.raises(OverflowError):
        f(10**400)


def test_strided_view():
    base = native([1.0, math.nan, -0.0, math.inf, 2.0])
    view = cv._view_of(base, np.asarray(base)[::-2])
    got = cv.signbit(view)
    assert type(got) is cv.ndarray and np.asarray(got).tolist() == [False, True, False]
