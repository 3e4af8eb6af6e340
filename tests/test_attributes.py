"""ndarray attributes, conversions, text, copying, pickling, item assignment and the unary
operators, compared with NumPy on equal arrays."""

import copy
import math
import operator
import pickle
from itertools import product

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, assert_same_outcome, native, run

I64_MIN = -(2**63)

SAMPLES = {
    "f64-0d": np.array(2.5),
    "f64-0d-nan": np.array(np.nan),
    "f64-1d": np.array([1.5, -0.0, np.nan, np.inf, -2.75]),
    "f64-2d": np.arange(6.0).reshape(2, 3) - 2.5,
    "f64-8d": np.arange(256.0).reshape((2,) * 8) - 100.0,
    "f64-empty": np.zeros((0, 3)),
    "f64-one": np.array([[-2.7]]),
    "i64-0d": np.array(-7),
    "i64-1d": np.array([3, I64_MIN, 2**63 - 1, 0, -1]),  # the minimum: negation and abs wrap
    "i64-2d": np.arange(6).reshape(3, 2) - 3,
    "i64-8d": np.arange(256).reshape((2,) * 8) - 128,
    "i64-empty": np.zeros((2, 0), dtype=np.int64),
    "bool-0d": np.array(True),
    "bool-1d": np.array([True, False, True]),
    "bool-2d": np.array([[True, False], [False, False]]),
    "bool-8d": (np.arange(256).reshape((2,) * 8) % 3 == 0),
    "bool-empty": np.zeros((0,), dtype=bool),
}


def on_both(sample, fn):
    """fn on a native copy and on a NumPy copy of sample: same value or same exception."""
    got = run(lambda _: fn(native(sample)), cv)
    want = run(lambda _: fn(sample.copy()), np)
    assert_same_outcome(got, want)
    return got[1]


samples = pytest.mark.parametrize("name", list(SAMPLES))


# ---- attributes -------------------------------------------------------------------------


@samples
@pytest.mark.parametrize(
    "attr", ["shape", "strides", "ndim", "size", "itemsize", "nbytes", "dtype", "base", "__class__"])
def test_attribute(name, attr):
    if attr == "strides" and SAMPLES[name].size == 0:
        pytest.skip("empty arrays keep their C strides here; NumPy 2 zeroes them (checked below)")
    on_both(SAMPLES[name], operator.attrgetter(attr))


def test_class_level_attributes():
    assert native(np.zeros((0, 3))).strides == (24, 8)
    assert native(np.zeros((2, 0), dtype=np.int64)).strides == (0, 8)
    assert native(np.zeros((0,), dtype=bool)).strides == (1,)
    assert cv.ndarray.__dict__["__array_priority__"] == 1000.0
    assert type(native([1.0]).__array_priority__) is float and isinstance(native([1.0]), np.ndarray)
    assert cv.ndarray.base.__doc__ == "The array whose memory this one shares, None when it owns its data."
    assert cv.ndarray.__dict__["__class__"].__doc__.startswith(
        "`numpy.ndarray`, so that `isinstance(a, numpy.ndarray)` is True.\n")


# ---- conversions ------------------------------------------------------------------------

CONVERSIONS = {
    "bool": bool,
    "len": len,
    "int": int,
    "float": float,
    "complex": lambda a: (lambda c: (c.real, c.imag))(complex(a)),
    "index": operator.index,
    "iter": list,
}


def _differential_conversions():
    # Conversions of one element of an array with axes follow this module's rule (NumPy
    # 2.4 converts only 0-d arrays); they are checked against it further down.
    for name, sample in SAMPLES.items():
        for conv in CONVERSIONS:
            if sample.ndim == 0 or conv in ("len", "iter") or (conv == "bool" and sample.size != 0):
                yield name, conv


@pytest.mark.parametrize("name, conv", list(_differential_conversions()))
def test_conversion(name, conv):
    on_both(SAMPLES[name], CONVERSIONS[conv])


@pytest.mark.parametrize("data", [[0.0], [-0.0], [np.nan], [[5]], [[0]], [[[False]]]], ids=repr)
def test_truth_of_one_element(data):
    on_both(np.array(data), bool)


@pytest.mark.parametrize("conv", ["int", "float", "complex", "bool"])
@pytest.mark.parametrize("name", ["f64-1d", "f64-2d", "i64-1d", "bool-1d", "f64-empty"])
def test_conversion_of_many_or_no_elements(name, conv):
    if conv == "bool":
        exc, text = ValueError, ("The truth value of an array with more than one element is ambiguous. "
                                 "Use a.any() or a.all()")
    else:
        exc, text = TypeError, "only length-1 arrays can be converted to Python scalars"
    with pytest.raises(exc) as e:
        CONVERSIONS[conv](native(SAMPLES[name]))
    assert str(e.value) == text


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 1e300, -1e300, -2.7, 2.7, 2.0**63, -(2.0**63), -0.0])
@pytest.mark.parametrize("shape", [(), (1,), (1, 1)])
def test_int_of_a_float_is_exact(value, shape):
    # NaN and infinities raise as int() of the float does; large values stay exact.
    a = native(np.full(shape, value))
    assert_same_outcome(run(lambda _: int(a), cv), run(lambda _: int(np.float64(value)), np))


def test_one_element_conversions():
    assert float(native([2**53 + 1])) == 9007199254740992.0  # rounds to nearest
    assert complex(native([[2**53 + 1]])) == complex(9007199254740992.0, 0.0)
    assert float(native([True])) == 1.0 and int(native([[True]])) == 1
    assert math.isclose(math.sqrt(native(4.0)), 2.0)
    for data in ([7], [[7]], 7):
        assert operator.index(native(data)) == 7
        assert [10, 20, 30, 40, 50, 60, 70, 80][native(data)] == 80
    for data in ([3.0], [True], [1, 2], np.zeros((0,), dtype=np.int64)):
        with pytest.raises(TypeError) as e:
            operator.index(native(data))
        assert str(e.value) == "only integer scalar arrays can be converted to a scalar index"


# ---- text, iteration --------------------------------------------------------------------


@samples
@pytest.mark.parametrize("form", [repr, str, lambda a: [np.asarray(x).tolist() for x in a]],
                         ids=["repr", "str", "iter"])
def test_text_and_iteration(name, form):
    on_both(SAMPLES[name], form)


def test_iteration_of_0d_raises_at_iter():
    with pytest.raises(TypeError) as e:
        iter(native(5.0))
    assert str(e.value) == "iteration over a 0-d array"


# ---- copying and pickling ---------------------------------------------------------------

COPIERS = {
    "method": lambda a: a.copy(),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "pickle": lambda a: pickle.loads(pickle.dumps(a)),
    "pickle-0": lambda a: pickle.loads(pickle.dumps(a, protocol=0)),
}


@samples
@pytest.mark.parametrize("how", list(COPIERS))
def test_copies_are_equal_and_independent(name, how):
    sample = SAMPLES[name]
    a = native(sample)
    c = COPIERS[how](a)
    assert type(c) is cv.ndarray and c is not a
    assert_same_array(c, sample)
    assert c.base is None
    if sample.size:
        np.asarray(c).reshape(-1)[0] = not sample.reshape(-1)[0] if sample.dtype == bool else 99
        assert_same_array(a, sample)


def test_copy_of_a_strided_view_is_contiguous_and_independent():
    base = native(np.arange(10.0))
    v = cv._view_of(base, np.asarray(base)[::-3])
    copies = [copy.copy(v), v.copy()]
    for c in copies:
        assert type(c) is cv.ndarray and c.strides == (8,) and c.base is None
    np.asarray(base)[:] = -1.0
    for c in copies:
        assert_same_array(c, np.arange(10.0)[::-3])
    assert_same_array(copy.deepcopy(v, {}), np.full(4, -1.0))
    assert_same_array(v.copy(), np.full(4, -1.0))


def test_reduce_and_copy_arguments():
    a = native([1.0, 2.0])
    fn, args = a.__reduce__()
    assert fn is cv._core.array
    assert len(args) == 1 and type(args[0]) is np.ndarray
    assert_same_array(args[0], np.array([1.0, 2.0]))
    assert_same_array(a.__deepcopy__(_memo=None), np.array([1.0, 2.0]))
    with pytest.raises(TypeError) as e:
        a.__deepcopy__()
    assert str(e.value) == "ndarray.__deepcopy__() missing 1 required positional argument: '_memo'"
    with pytest.raises(TypeError):
        a.__copy__(1)


# ---- unary operators --------------------------------------------------------------------


@samples
@pytest.mark.parametrize("op", [operator.neg, operator.pos, abs, operator.invert],
                         ids=["neg", "pos", "abs", "invert"])
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


def test_negation_and_abs_touch_only_the_sign_bit():
    bits = np.array([0x7FF8_0000_0000_1234, 0xFFF0_0000_0000_0001], dtype=np.uint64)
    sign = np.uint64(1 << 63)
    neg = np.asarray(-native(bits.view(np.float64))).view(np.uint64)
    assert (neg == bits ^ sign).all()
    absolute = np.asarray(abs(native(bits.view(np.float64)))).view(np.uint64)
    assert (absolute == bits & ~sign).all()


# ---- item assignment --------------------------------------------------------------------


SCALARS = [2.5, -0.0, 7, -(2**62), True, False, 2**70, np.float64(1.25), np.int64(-3), np.bool_(True), 1 + 2j,
           "x", None]
ASSIGNMENTS = [
    # out-of-range keys give NumPy's exact IndexError texts
    *product(["f64-1d", "i64-1d", "bool-1d"], [0, -1, 4, -5, 5, -6], SCALARS),
    *product(["f64-2d", "i64-2d", "bool-2d"],
             [(1, 1), (-1, -2), (0, 5), (5, 0), (-3, 0), (1,), 1, (0, 1, 0), (0, slice(None))], [3.5, -4, True, [9, 9]]),
    *product(["f64-0d", "i64-0d", "bool-0d"], [(), 0, Ellipsis], [5, 1.5, False]),
    # a bool key is a mask, never an integer index
    *product(["f64-0d", "f64-1d", "f64-2d"], [True, False, (True,), (False,), (0, True), (True, 0)], [7.0]),
    ("f64-2d", 0, native([7.0, 8.0, 9.0])), ("f64-1d", slice(1, 3), native([7.0, 8.0])), ("i64-1d", 0, native(5)),
]


@pytest.mark.parametrize("name, key, value", ASSIGNMENTS)
def test_assign(name, key, value):
    def fn(a):
        a[key] = value
        return np.asarray(a).copy()

    on_both(SAMPLES[name], fn)


def test_index_beyond_64_bits_and_delete():
    a = native([1.0, 2.0])
    with pytest.raises(OverflowError):
        a[2**64] = 1.0
    with pytest.raises(OverflowError):
        native(np.zeros((2, 2)))[0, -(2**63) - 1] = 1.0
    with pytest.raises(NotImplementedError) as e:
        del a[0]
    assert str(e.value) == "can't delete item"
    assert_same_array(a, np.array([1.0, 2.0]))


def test_assign_through_views_reaches_the_base():
    base = native(np.arange(6.0).reshape(2, 3))
    contiguous = cv._view_of(base, np.asarray(base)[1])
    contiguous[1] = -1.0
    strided = cv._view_of(base, np.asarray(base)[:, ::-2])  # columns 2 and 0
    strided[0, 0] = -2.0
    strided[-1, 0] = -3.0
    strided[1, -1] = np.int64(-4)
    assert_same_array(base, np.array([[0.0, 1.0, -2.0], [-4.0, -1.0, -3.0]]))
    with pytest.raises(IndexError) as e:
        strided[0, 2] = 1.0
    assert str(e.value) == "index 2 is out of bounds for axis 1 with size 2"
    with pytest.raises(IndexError) as e:
        strided[-3, 0] = 1.0
    assert str(e.value) == "index -3 is out of bounds for axis 0 with size 2"
    strided[0] = 5.0  # a whole row, through NumPy into the base memory
    assert_same_array(base, np.array([[5.0, 1.0, 5.0], [-4.0, -1.0, -3.0]]))


def test_assign_into_strided_view_does_not_write_a_stale_shadow():
    base = native(np.arange(5.0))
    v = cv._view_of(base, np.asarray(base)[::-1])
    -v  # fills the shadow with the current elements
    np.asarray(base)[:] = [10.0, 11.0, 12.0, 13.0, 14.0]
    v[0] = 99.0
    assert_same_array(base, np.array([10.0, 11.0, 12.0, 13.0, 99.0]))
