"""ndarray attributes, conversions, text, copies, item assignment, the unary operators and the
type's own rules, compared with NumPy on equal arrays."""

import copy
import ctypes
import gc
import operator
import pickle
import sys
import weakref
from itertools import product

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, assert_same_outcome, native, run

I64_MIN = -(2**63)

SAMPLES = {
    "f64-0d": np.array(2.5), "f64-0d-nan": np.array(np.nan),
    "f64-1d": np.array([1.5, -0.0, np.nan, np.inf, -2.75]), "f64-2d": np.arange(6.0).reshape(2, 3) - 2.5,
    "f64-8d": np.arange(256.0).reshape((2,) * 8) - 100.0, "f64-empty": np.zeros((0, 3)),
    "i64-0d": np.array(-7),
    "i64-1d": np.array([3, I64_MIN, 2**63 - 1, 0, -1]),  # the minimum: negation and abs wrap
    "i64-2d": np.arange(6).reshape(3, 2) - 3, "i64-empty": np.zeros((2, 0), dtype=np.int64),
    "bool-0d": np.array(True), "bool-0d-false": np.array(False), "bool-1d": np.array([True, False, True]),
    "bool-2d": np.array([[True, False], [False, False]]),
}


def on_both(sample, fn):
    """fn on a native copy and on a NumPy copy of sample: same value or same exception."""
    got = run(lambda _: fn(native(sample)), cv)
    assert_same_outcome(got, run(lambda _: fn(sample.copy()), np))
    return got[1]


CONVERSIONS = {"bool": bool, "len": len, "int": int, "float": float, "index": operator.index, "iter": list,
               "complex": lambda a: (lambda c: (c.real, c.imag))(complex(a))}
FORMS = {"repr": repr, "str": str, "rows": lambda a: [np.asarray(x).tolist() for x in a],
         **{k: operator.attrgetter(k) for k in "shape ndim size itemsize nbytes dtype base __class__".split()},
         "strides": lambda a: a.strides if a.size else None}  # NumPy 2 zeroes an empty array's strides


# Conversions of one element of an array with axes follow this module's rule (NumPy 2.4
# converts only 0-d arrays); they are checked further down.
@pytest.mark.parametrize("name, form", [(n, f) for n, s in SAMPLES.items() for f in [*FORMS, *CONVERSIONS]
                                        if f in FORMS or s.ndim == 0 or f in ("len", "iter")
                                        or (f == "bool" and s.size)])
def test_attributes_conversions_and_text(name, form):
    on_both(SAMPLES[name], FORMS.get(form) or CONVERSIONS[form])


@pytest.mark.parametrize("data", [[0.0], [-0.0], [np.nan], [[5]], [[0]], [[[False]]]], ids=repr)
def test_truth_of_one_element(data):
    on_both(np.array(data), bool)


@pytest.mark.parametrize("conv", ["int", "float", "complex", "bool", "index"])
@pytest.mark.parametrize("data", [SAMPLES["f64-1d"], SAMPLES["i64-2d"], [3.0], [True], SAMPLES["f64-empty"]],
                         ids=["f64-1d", "i64-2d", "float", "bool", "empty"])
def test_conversion_refusals(data, conv):
    a, text = native(data), "only length-1 arrays can be converted to Python scalars"
    if conv != "index" and a.size == 1:
        assert CONVERSIONS[conv](a) == CONVERSIONS[conv](np.asarray(data).reshape(()))
        return
    if conv == "index":
        text = "only integer scalar arrays can be converted to a scalar index"
    elif conv == "bool":
        text = "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()"
    with pytest.raises(ValueError if conv == "bool" else TypeError) as e:
        CONVERSIONS[conv](a)
    assert str(e.value) == text


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 1e300, -2.7, 2.7, 2.0**63, -(2.0**63), -0.0])
@pytest.mark.parametrize("shape", [(), (1,), (1, 1)])
def test_int_of_a_float_is_exact(value, shape):
    a = native(np.full(shape, value))
    assert_same_outcome(run(lambda _: int(a), cv), run(lambda _: int(np.float64(value)), np))


def test_one_element_conversions():
    assert float(native([2**53 + 1])) == 9007199254740992.0  # rounds to nearest
    assert complex(native([[2**53 + 1]])) == complex(9007199254740992.0, 0.0)
    assert float(native([True])) == 1.0 and int(native([[True]])) == 1
    for data in ([7], [[7]], 7):
        assert [10, 20, 30, 40, 50, 60, 70, 80][native(data)] == 80
    with pytest.raises(TypeError, match="^iteration over a 0-d array$"):
        iter(native(5.0))


COPIERS = {"method": lambda a: a.copy(), "copy": copy.copy, "deepcopy": copy.deepcopy,
           "pickle": lambda a: pickle.loads(pickle.dumps(a)), "pickle-0": lambda a: pickle.loads(pickle.dumps(a, 0))}


@pytest.mark.parametrize("name", list(SAMPLES))
@pytest.mark.parametrize("how", list(COPIERS))
def test_copies_are_equal_and_independent(name, how):
    sample = SAMPLES[name]
    a = native(sample)
    c = COPIERS[how](a)
    assert type(c) is cv.ndarray and c is not a and c.base is None
    assert_same_array(c, sample)
    if sample.size:
        np.asarray(c).reshape(-1)[0] = not sample.reshape(-1)[0] if sample.dtype == bool else 99
        assert_same_array(a, sample)


@pytest.mark.parametrize("name", list(SAMPLES))
@pytest.mark.parametrize("op", [operator.neg, operator.pos, abs, operator.invert], ids=["neg", "pos", "abs", "inv"])
def test_unary(name, op):
    sample = SAMPLES[name]
    # NumPy gives a scalar for a 0-d operand; the result here stays a 0-d array.
    out = on_both(sample, lambda a: np.asarray(op(a)) if sample.ndim == 0 else op(a))
    if not isinstance(out, Exception):
        a = native(sample)
        out = op(a)
        assert type(out) is cv.ndarray and out is not a and out.base is None
        if out.size:  # a new array of its own
            flat = np.asarray(out).reshape(-1)
            flat[0] = not flat[0] if out.dtype == bool else 99
            assert_same_array(a, sample)


SCALARS = [2.5, -0.0, 7, -(2**62), True, 2**70, np.float64(1.25), np.int64(-3), np.bool_(True), 1 + 2j, "x", None]
ASSIGNMENTS = [
    # out-of-range keys give NumPy's exact IndexError texts
    *product(["f64-1d", "i64-1d", "bool-1d"], [0, -1, 5, -6], SCALARS),
    *product(["f64-2d", "i64-2d", "bool-2d"],
             [(1, 1), (-1, -2), (0, 5), (5, 0), (-3, 0), 1, (0, 1, 0), (0, slice(None))], [3.5, -4, True, [9, 9]]),
    *product(["f64-0d", "i64-0d", "bool-0d"], [(), 0, Ellipsis], [5, 1.5, False]),
    # a bool key is a mask, never an integer index
    *product(["f64-0d", "f64-1d", "f64-2d"], [True, False, (True,), (0, True), (True, 0)], [7.0]),
    ("f64-2d", 0, native([7.0, 8.0, 9.0])), ("f64-1d", slice(1, 3), native([7.0, 8.0])), ("i64-1d", 0, native(5)),
]


@pytest.mark.parametrize("name, key, value", ASSIGNMENTS)
def test_assign(name, key, value):
    def fn(a):
        a[key] = value
        return np.asarray(a).copy()

    on_both(SAMPLES[name], fn)


@pytest.mark.parametrize("i", [1, -1, 5])
def test_sequence_slots_of_c_callers(i):
    get, put = ctypes.pythonapi.PySequence_GetItem, ctypes.pythonapi.PySequence_SetItem
    get.restype, get.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
    put.argtypes = [ctypes.py_object, ctypes.c_ssize_t, ctypes.py_object]
    on_both(SAMPLES["f64-2d"], lambda a: (np.asarray(get(a, i)).tolist(), put(a, i, 7.5), np.asarray(a).tolist()))


def test_assign_errors_and_views():
    a = native([1.0, 2.0])
    with pytest.raises(OverflowError):
        a[2**64] = 1.0
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del a[0]
    base = native(np.arange(6.0).reshape(2, 3))
    cv._view_of(base, np.asarray(base)[1])[1] = -1.0
    strided = cv._view_of(base, np.asarray(base)[:, ::-2])  # columns 2 and 0
    -strided  # fills the shadow; the writes below must not commit a stale one
    np.asarray(base)[0, 1] = 9.0
    strided[0, 0], strided[-1, 0], strided[1, -1] = -2.0, -3.0, np.int64(-4)
    assert_same_array(base, np.array([[0.0, 9.0, -2.0], [-4.0, -1.0, -3.0]]))
    with pytest.raises(IndexError, match="^index 2 is out of bounds for axis 1 with size 2$"):
        strided[0, 2] = 1.0
    strided[0] = 5.0  # a whole row, through NumPy into the base memory
    assert_same_array(base, np.array([[5.0, 9.0, 5.0], [-4.0, -1.0, -3.0]]))


# ---- the type and its instances ------------------------------------------------------------


def test_instances_take_no_attributes_weak_references_or_hash():
    a = cv.ndarray((2, 3))
    assert cv.ndarray.__dict__["__array_priority__"] == 1000.0 and isinstance(a, np.ndarray)
    for fn, exc in [(lambda: setattr(a, "x", 1), AttributeError), (lambda: weakref.ref(a), TypeError),
                    (lambda: hash(a), TypeError), (lambda: cv.ndarray._noop(5), TypeError),
                    (lambda: a.__deepcopy__(), TypeError)]:
        with pytest.raises(exc):
            fn()


def test_views_subclasses_and_instances_hold_and_release_references():
    class Sub(cv.ndarray):
        pass

    base = cv.array(np.arange(6.0))
    before = sys.getrefcount(base), sys.getrefcount(cv.ndarray), sys.getrefcount(Sub)
    gc.disable()
    try:
        views = [cv._view_of(base, np.asarray(base)[::-k]) for k in range(1, 6)] + [base[1:], base.T, base[None]]
        while views:  # no cycle support: dropping the last reference frees a view at once
            assert sys.getrefcount(base) == before[0] + len(views)
            views.pop()
        arrays = [cv.ndarray((1,)) for _ in range(20)] + [Sub((3,)) for _ in range(20)]
        assert sys.getrefcount(cv.ndarray) == before[1] + 20 and sys.getrefcount(Sub) == before[2] + 20
        arrays[-1].extra = 1  # a Python subclass has a dict of its own
        assert memoryview(arrays[-1]).shape == (3,) and cv.ndarray.__array__(arrays[-1]).shape == (3,)
        del arrays
        assert (sys.getrefcount(base), sys.getrefcount(cv.ndarray), sys.getrefcount(Sub)) == before
    finally:
        gc.enable()
