"""Operators over large float64 temporaries (results nothing else refers to) may write
their result over the temporary: the values must be NumPy's, and no array that anything
else can see may change."""

import numpy as np
import pytest

import corvantile as cv

N = 40_000  # 320 KB of float64: past the size from which temporaries are reused

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def operands(xp):
    rng = np.random.default_rng(7)
    a = rng.standard_normal(N)
    a[::97] = np.nan
    a[5::101] = np.inf
    a[7::103] = -0.0
    b = rng.standard_normal(N)
    b[3::89] = 0.0
    i = rng.integers(-5, 5, N)
    return xp.asarray(a), xp.asarray(b), xp.asarray(i)


EXPRESSIONS = [
    lambda a, b, i: a * b + a,
    lambda a, b, i: (a - b) - b,
    lambda a, b, i: (a + b) * (a - b),
    lambda a, b, i: (a * b) / b,
    lambda a, b, i: (a / b) / a,
    lambda a, b, i: 2.0 - a * b,
    lambda a, b, i: 3 / (a + b),
    lambda a, b, i: (a + b) - 1,
    lambda a, b, i: (a * 2.0) * True,
    lambda a, b, i: (a + b) + i,
    lambda a, b, i: (a + b) % b,
    lambda a, b, i: (a + b) ** 2,
    lambda a, b, i: (a + b) + b.reshape(1, N),
    lambda a, b, i: (a + b) + b[::-1],
    lambda a, b, i: (i + 1) * 2,
]


@pytest.mark.parametrize("k", range(len(EXPRESSIONS)))
def test_chained_operators_against_numpy(k):
    got = np.asarray(EXPRESSIONS[k](*operands(cv)))
    want = EXPRESSIONS[k](*operands(np))
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.tobytes() == want.tobytes()


def test_arrays_others_can_see_are_never_reused():
    a, b, _ = operands(cv)
    na, nb, _ = operands(np)
    # A name, a view, an export and a NumPy owner each keep their values.
    t = a * b
    _ = t + 1.0
    v = a * b
    view = v[::2]
    _ = v + 1.0
    e = a * b
    exported = memoryview(e)
    _ = e - 1.0
    shared = na.copy()
    _ = cv.asarray(shared) + 1.0
    for arr in (t, v, e):
        assert np.asarray(arr).tobytes() == (na * nb).tobytes()
    assert np.asarray(view).tobytes() == (na * nb)[::2].tobytes()
    assert bytes(exported) == (na * nb).tobytes()
    assert shared.tobytes() == na.tobytes()


def test_result_of_a_function_call_argument_is_not_reused():
    a, b, _ = operands(cv)
    na, nb, _ = operands(np)
    kept = []
    got = np.asarray(cv.add(kept.append(a * b) or kept[0], b))
    assert got.tobytes() == (na * nb + nb).tobytes()
    assert np.asarray(kept[0]).tobytes() == (na * nb).tobytes()
