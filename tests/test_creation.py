"""zeros, ones, empty, full, arange and linspace: native forms against NumPy, forwarding, limits."""

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

NDARRAY = cv._core.ndarray
TOO_BIG = "array is too big"
EPS, MAX = float(np.finfo(np.float64).eps), float(np.finfo(np.float64).max)


class DtypeOnce:
    """A dtype-like object whose first reading fails: the failure is the answer, nothing reads it again."""

    def __init__(self):
        self.reads = 0

    @property
    def dtype(self):
        self.reads += 1
        if self.reads == 1:
            raise ZeroDivisionError("first reading")
        return np.dtype("float64")


# (call, computed natively)
CASES = [
    ("zeros(3)", True), ("zeros((2, 3))", True), ("zeros(())", True), ("ones((0, 3))", True),
    ("ones(2, order='F', device='cpu')", True), ("zeros(3, dtype='f8')", True), ("zeros(2, None)", True),
    ("zeros([1] * 9)", False), ("zeros(3, dtype='int64')", False), ("ones(2, bool)", False),
    ("zeros(2**62)", True), ("zeros((2**40, 2**40))", True),
    ("full(2, True)", True), ("full(2, 7)", True), ("full(2, 7, dtype=float)", True), ("full((2, 2), -0.0)", True),
    ("full(2, np.float64(2.5))", True), ("full(2, -2**63)", True), ("full(2, 10**400, dtype=float)", True),
    ("full(2, True, dtype=float)", False), ("full(2, 2**70)", False), ("full(2, np.int64(3))", False),
    ("full(2, 1.5, dtype='int64')", False), ("full(2, 3, dtype='f4')", False), ("full(2, 'x')", False),
    ("arange(5)", True), ("arange(5.0)", True), ("arange(5, dtype=float)", True), ("arange(0, 10, -1)", True),
    ("arange(3, 3)", True), ("arange(10, 0, -3)", True), ("arange(5, step=2)", True), ("arange(1, 5, None)", True),
    ("arange(-2**63, 2**63 - 1, 2**62)", True), ("arange(2**63 - 10, 2**63 - 1, 3)", True),
    ("arange(0, 1, 0.1)", True), ("arange(-3.5, 7.25, 0.75)", True), ("arange(0, 1, 0)", True),
    ("arange(0.0, 1.0, -0.0)", True), ("arange(5, step=2, dtype='int32')", False), ("arange('a')", False),
    ("arange(1 + 2j)", False), ("arange(np.int64(3))", False), ("arange(np.float32(0.5), 3)", False),
    ("arange(stop=3)", True), ("arange(stop=3.5, step=0.5)", True), ("arange(start=4)", True), ("arange()", True),
    ("arange(step=2)", True), ("arange(start=1, stop=None)", True), ("arange(stop=None)", False),
    ("arange(3, None)", True), ("arange(0, float('nan'))", True), ("arange(0, 1, float('nan'))", True),
    ("arange(float('nan'), 3)", True), ("arange(0, float('inf'), float('inf'))", True),
    ("arange(float('inf'))", True), ("arange(0.0, float('inf'))", True), ("arange(-1e308, 1e308, 1e-300)", True),
    ("arange(0, -1e300)", True), ("arange(0, 1, 5e-324)", True), ("arange(0, 1, float('inf'))", True),
    ("arange(0.5, 1, float('inf'))", True), ("arange(0, -1, -float('inf'))", True), ("arange(0, -1, float('inf'))", True),
    ("arange(0, 0, float('inf'))", True), ("arange(-0.0, 2.0)", True), ("arange(0, 1, 1e300)", True),
    # the count's quotient underflows to zero: one element toward the step, none against it
    ("arange(0, EPS, MAX)", True), ("arange(0, -EPS, -MAX)", True), ("arange(0, EPS, -MAX)", True),
    ("arange(0, -EPS, MAX)", True), ("arange(1.0, 1.0 + EPS, MAX)", True), ("arange(5e-324, 1e-323, MAX)", True),
    ("arange(-0.0, 5e-324, MAX)", True), ("arange(0, 5e-324, -MAX)", True),
    ("arange(2**63)", False), ("arange(2**63, 1)", False), ("arange(0, 1, -2**63 - 1)", False),
    ("linspace(np.float32(0), 1, 3)", False),
    ("linspace(0, 1, 5)", True), ("linspace(0, 1, 5, endpoint=False)", True), ("linspace(2, 3, 1)", True),
    ("linspace(0, 1, 0)", True), ("linspace(0, 1)", True), ("linspace(-1.5, 7, 7, device='cpu')", True),
    ("linspace(1, 0, 10, endpoint=np.False_)", True), ("linspace(True, 5, num=np.int64(4))", True),
    ("linspace(3, 3, 4)", True), ("linspace(np.array(2.0), 3, 3)", False), ("linspace(0, 1, retstep=True)", False),
    ("linspace(0, 1, 3, dtype='int64')", False), ("linspace(0, 1, 3, dtype='>f8')", False),
    ("zeros(2, dtype='>f8')", False), ("zeros(2, dtype='>i8')", False), ("ones(2, np.dtype('>f8'))", False),
    ("zeros(2, dtype='=f8')", True), ("ones(2, dtype='<f8')", True), ("full(2, 1.5, dtype='>f8')", False),
    ("arange(3.0, dtype='>f8')", False), ("arange(3.0, dtype='no such dtype')", False),
    ("arange(3.0, dtype=DtypeOnce())", False), ("full(2, 1.5, dtype=DtypeOnce())", False),
    ("arange(3, dtype=np.dtype('>f8'))", False), ("linspace([0, 1], 2, 3)", False), ("linspace('a', 1)", False),
]


@pytest.mark.parametrize("call, is_native", CASES, ids=[c for c, _ in CASES])
def test_matches_numpy(call, is_native):
    got = differential(eval("lambda xp: xp." + call))
    if not isinstance(got, Exception):
        assert (type(got) is NDARRAY) == is_native


@pytest.fixture
def calls(monkeypatch):
    seen = []
    monkeypatch.setattr(cv._fallback, "call", lambda *a, **kw: seen.append((a, kw)))
    return seen


@pytest.mark.parametrize("call, args, kwargs", [
    ("zeros(3, 'int64', 'F', device='cpu')", ("zeros", 3), {"dtype": "int64"}),
    ("empty([1] * 9)", ("empty", [1] * 9), {"dtype": None}),
    ("full(2, np.int64(3), order='C')", ("full", 2, np.int64(3)), {"dtype": None}),
    ("arange(5, step=2, dtype='int32')", ("arange", 0, 5, 2), {"dtype": "int32"}),
    ("arange(1, 5, dtype='int32')", ("arange", 1, 5), {"dtype": "int32"}),
    ("arange(1, 5, 2, 'int32')", ("arange", 1, 5, 2), {"dtype": "int32"}),
    ("arange('a', device=None)", ("arange", "a"), {"dtype": None}),
    ("linspace(0, 1, retstep=True, device='cpu')", ("linspace", 0, 1), {"retstep": True, "num": 50, "endpoint": True}),
    ("linspace(0j, 1, np.int64(3), np.False_)", ("linspace", 0j, 1), {"num": 3, "endpoint": False}),
])
def test_declined_calls_reach_numpy_unchanged(calls, call, args, kwargs):
    eval("cv." + call)
    assert calls == [(args, kwargs)]
    assert list(calls[0][1]) == list(kwargs)
    assert [type(a) for a in calls[0][0]] == [type(a) for a in args]


def test_spec_values_that_differ_from_numpy():
    assert np.asarray(cv.empty((2, 3))).tolist() == [[0.0] * 3] * 2  # never uninitialised
    assert np.asarray(cv.arange(True)).dtype == np.float64
    # one multiplication and one addition per element
    assert np.asarray(cv.arange(10, 0, -0.3)).tolist() == [i * -0.3 + 10 for i in range(34)]
    # every element between the bounds, even where the step is the whole int64 range
    assert np.asarray(cv.arange(5, -2**63, -2**63)).tolist() == [5, 5 - 2**63]


@pytest.mark.parametrize("call, exc, text", [
    ("arange(-2**63, 2**63 - 1)", ValueError, TOO_BIG), ("linspace(0, 1, 2**62)", ValueError, TOO_BIG),
    ("arange(2**59)", MemoryError, None), ("linspace(0, 1, 2**59)", MemoryError, None),  # no memory that big
    ("full(2**63 - 1, True)", MemoryError, None),  # the largest byte size there is
    ("zeros(3, like=None)", TypeError, "zeros() got an unexpected keyword argument 'like'"),
    ("arange(3, device='cuda')", ValueError, 'Unsupported device "cuda"'),
    ("linspace('a', 1, device='gpu')", ValueError, 'Unsupported device "gpu"'),
    ("full([1] * 9, 'x', device=0)", ValueError, 'Unsupported device "0"'),
])
def test_errors(call, exc, text):
    with pytest.raises(exc) as info:
        eval("cv." + call)
    assert text is None or str(info.value).startswith(text)


@pytest.mark.parametrize("kwargs, exc, name", [
    ({"num": None}, TypeError, "num"), ({"num": -1}, OverflowError, "num"), ({"num": 2**64}, OverflowError, "num"),
    ({"num": 2.0}, TypeError, "num"), ({"endpoint": 1}, TypeError, "endpoint"), ({"endpoint": None}, TypeError, "endpoint"),
])
def test_linspace_argument_conversion_notes(kwargs, exc, name):
    with pytest.raises(exc) as info:
        cv.linspace(0, 1, **kwargs)
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_linspace_last_element_is_stop():
    for num in (2, 3, 7, 49, 1000):
        assert np.asarray(cv.linspace(0.1, 0.7, num))[-1] == 0.7
