"""ndarray attributes, conversions, text, copying, pickling, item assignment and the unary
operators, compared with NumPy on equal arrays."""

import copy
import math
import operator
import pickle

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array, assert_same_outcome, run

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
    "i64-1d": np.array([3, I64_MIN, 2**63 - 1, 0, -1]),
    "i64-2d": np.arange(6).reshape(3, 2) - 3,
    "i64-8d": np.arange(256).reshape((2,) * 8) - 128,
    "i64-empty": np.zeros((2, 0), dtype=np.int64),
    "bool-0d": np.array(True),
    "bool-1d": np.array([True, False, True]),
    "bool-2d": np.array([[True, False], [False, False]]),
    "bool-8d": (np.arange(256).reshape((2,) * 8) % 3 == 0),
    "bool-empty": np.zeros((0,), dtype=bool),
}


def native(x):
    a = cv.array(np.asarray(x))
    assert type(a) is cv.ndarray
    return a


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


def test_strides_of_empty_arrays_are_c_strides():
    assert native(np.zeros((0, 3))).strides == (24, 8)
    assert native(np.zeros((2, 0), dtype=np.int64)).strides == (0, 8)
    assert native(np.zeros((0,), dtype=bool)).strides == (1,)


@samples
def test_isinstance_of_numpy_ndarray(name):
    a = native(SAMPLES[name])
    assert isinstance(a, np.ndarray) and type(a) is cv.ndarray


def test_array_priority_is_a_class_attribute():
    assert cv.ndarray.__dict__["__array_priority__"] == 1000.0
    assert type(native([1.0]).__array_priority__) is float


def test_getter_docs():
    assert cv.ndarray.base.__doc__ == "The array whose memory this one shares, None when it owns its data."
    assert cv.ndarray.__dict__["__class__"].__doc__.startswith(
        "`numpy.ndarray`, so that `isinstance(a, numpy.ndarray)` is True.\n")


def test_dtype_is_a_new_numpy_dtype_each_read():
    a = native([1, 2])
    assert a.dtype == np.dtype("int64") and type(a.dtype) is type(np.dtype("int64"))


def test_base_of_a_view_is_the_root_owner():
    a = native(np.arange(12.0))
    v = cv._view_of(a, np.asarray(a)[::2])
    w = cv._view_of(v, np.asarray(a)[2:8])
    assert v.base is a and w.base is a
    assert a.base is None


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


@pytest.mark.parametrize("conv", ["int", "float", "complex"])
@pytest.mark.parametrize("name", ["f64-1d", "f64-2d", "i64-1d", "bool-1d", "f64-empty"])
def test_conversion_of_many_elements(name, conv):
    with pytest.raises(TypeError) as e:
        CONVERSIONS[conv](native(SAMPLES[name]))
    assert str(e.value) == "only length-1 arrays can be converted to Python scalars"


def test_truth_of_many_or_no_elements():
    for data in ([1.0, 2.0], np.zeros((0,))):
        with pytest.raises(ValueError) as e:
            bool(native(data))
        assert str(e.value) == (
            "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()")


@pytest.mark.parametrize("data, expected", [
    ([0.0], False), ([-0.0], False), ([np.nan], True), ([[5]], True), ([[0]], False), ([[[False]]], False),
])
def test_truth_of_one_element(data, expected):
    assert bool(native(data)) is expected


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 1e300, -1e300, -2.7, 2.7, 2.0**63, -(2.0**63), -0.0])
@pytest.mark.parametrize("shape", [(), (1,), (1, 1)])
def test_int_of_a_float_is_exact(value, shape):
    # NaN and infinities raise as int() of the float does; large values stay exact.
    a = native(np.full(shape, value))
    got = run(lambda _: int(a), cv)
    want = run(lambda _: int(np.float64(value)), np)
    assert_same_outcome(got, want)


def test_float_of_int64_rounds_to_nearest():
    assert float(native([2**53 + 1])) == 9007199254740992.0
    assert complex(native([[2**53 + 1]])) == complex(9007199254740992.0, 0.0)
    assert float(native([True])) == 1.0 and int(native([[True]])) == 1


@pytest.mark.parametrize("data", [[7], [[7]], 7])
def test_index_of_one_int64_element(data):
    assert operator.index(native(data)) == 7
    assert [10, 20, 30, 40, 50, 60, 70, 80][native(data)] == 80


@pytest.mark.parametrize("data", [[3.0], [True], [1, 2], np.zeros((0,), dtype=np.int64)])
def test_index_refused(data):
    with pytest.raises(TypeError) as e:
        operator.index(native(data))
    assert str(e.value) == "only integer scalar arrays can be converted to a scalar index"


def test_len():
    assert len(native(np.zeros((0, 5)))) == 0
    assert len(native(np.zeros((4, 5)))) == 4


# ---- text -------------------------------------------------------------------------------


@samples
@pytest.mark.parametrize("form", [repr, str])
def test_text(name, form):
    on_both(SAMPLES[name], form)


def test_text_of_a_strided_view():
    a = native(np.arange(12.0).reshape(3, 4))
    v = cv._view_of(a, np.asarray(a).T[::-1])
    assert repr(v) == repr(np.arange(12.0).reshape(3, 4).T[::-1])
    assert str(v) == str(np.arange(12.0).reshape(3, 4).T[::-1])


# ---- copying and pickling ---------------------------------------------------------------

COPIERS = {
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
    c = copy.copy(v)
    assert c.strides == (8,) and c.base is None
    assert_same_array(c, np.arange(10.0)[::-3])
    np.asarray(base)[:] = -1.0
    assert_same_array(c, np.arange(10.0)[::-3])
    d = copy.deepcopy(v, {})
    assert_same_array(d, np.full(4, -1.0))


def test_reduce_rebuilds_through_array():
    a = native([1.0, 2.0])
    fn, args = a.__reduce__()
    assert fn is cv._core.array
    assert len(args) == 1 and type(args[0]) is np.ndarray
    assert_same_array(args[0], np.array([1.0, 2.0]))


def test_deepcopy_arguments():
    a = native([1.0])
    assert_same_array(a.__deepcopy__(_memo=None), np.array([1.0]))
    with pytest.raises(TypeError) as e:
        a.__deepcopy__()
    assert str(e.value) == "ndarray.__deepcopy__() missing 1 required positional argument: '_memo'"
    with pytest.raises(TypeError) as e:
        a.__copy__(1)


# ---- unary operators --------------------------------------------------------------------


@samples
@pytest.mark.parametrize("op", [operator.neg, operator.pos, abs, operator.invert],
                         ids=["neg", "pos", "abs", "invert"])
def test_unary(name, op):
    sample = SAMPLES[name]
    if sample.ndim == 0:
        # NumPy gives a scalar for a 0-d operand; the result here stays a 0-d array.
        out = on_both(sample, lambda a: np.asarray(op(a)))
    else:
        out = on_both(sample, op)
    if isinstance(out, cv.ndarray):
        assert out.base is None


@pytest.mark.parametrize("op", [operator.neg, operator.pos, abs, operator.invert])
def test_unary_of_0d_is_a_0d_array(op):
    assert type(op(native(np.array(3)))) is cv.ndarray


def test_negation_and_abs_touch_only_the_sign_bit():
    bits = np.array([0x7FF8_0000_0000_1234, 0xFFF0_0000_0000_0001], dtype=np.uint64)
    sign = np.uint64(1 << 63)
    neg = np.asarray(-native(bits.view(np.float64))).view(np.uint64)
    assert (neg == bits ^ sign).all()
    absolute = np.asarray(abs(native(bits.view(np.float64)))).view(np.uint64)
    assert (absolute == bits & ~sign).all()


def test_int64_minimum_wraps():
    a = native([I64_MIN, -5, 5])
    assert_same_array(-a, np.array([I64_MIN, 5, -5]))
    assert_same_array(abs(a), np.array([I64_MIN, 5, 5]))


def test_unary_results_are_new_arrays():
    a = native([1.0, -2.0])
    for out in (+a, -a, abs(a)):
        assert out is not a and out.base is None
    b = native([True, False])
    assert abs(b) is not b
    np.asarray(abs(b))[0] = False
    assert bool(b[0]) is True


# ---- item assignment --------------------------------------------------------------------


def assign(key, value):
    def fn(a):
        a[key] = value
        return np.asarray(a).copy()
    return fn


SCALARS = [2.5, -0.0, 7, -(2**62), True, False, 2**70, np.float64(1.25), np.int64(-3), np.bool_(True), 1 + 2j,
           "x", None]


@pytest.mark.parametrize("name", ["f64-1d", "i64-1d", "bool-1d"])
@pytest.mark.parametrize("value", SCALARS, ids=repr)
@pytest.mark.parametrize("key", [0, -1, 4, -5, 5, -6])
def test_assign_1d(name, key, value):
    on_both(SAMPLES[name], assign(key, value))


@pytest.mark.parametrize("name", ["f64-2d", "i64-2d", "bool-2d"])
@pytest.mark.parametrize("value", [3.5, -4, True, [9, 9]], ids=repr)
@pytest.mark.parametrize("key", [(1, 1), (-1, -2), (0, 5), (5, 0), (-3, 0), (1,), 1, (0, 1, 0), (0, slice(None))],
                         ids=repr)
def test_assign_2d(name, key, value):
    on_both(SAMPLES[name], assign(key, value))


@pytest.mark.parametrize("name", ["f64-0d", "i64-0d", "bool-0d"])
@pytest.mark.parametrize("key", [(), 0, Ellipsis], ids=repr)
@pytest.mark.parametrize("value", [5, 1.5, False])
def test_assign_0d(name, key, value):
    on_both(SAMPLES[name], assign(key, value))


@pytest.mark.parametrize("key", [True, False, (True,), (False,), (0, True), (True, 0)], ids=repr)
@pytest.mark.parametrize("name", ["f64-0d", "f64-1d", "f64-2d"])
def test_bool_keys_are_masks(name, key):
    # A bool is never taken as an integer index.
    on_both(SAMPLES[name], assign(key, 7.0))


def test_assign_array_values():
    on_both(SAMPLES["f64-2d"], assign(0, native([7.0, 8.0, 9.0])))
    on_both(SAMPLES["f64-1d"], assign(slice(1, 3), native([7.0, 8.0])))
    on_both(SAMPLES["i64-1d"], assign(0, native(5)))


def test_index_error_texts():
    a = native([1.0, 2.0, 3.0])
    with pytest.raises(IndexError) as e:
        a[5] = 1.0
    assert str(e.value) == "index 5 is out of bounds for axis 0 with size 3"
    with pytest.raises(IndexError) as e:
        a[-4] = 1.0
    assert str(e.value) == "index -4 is out of bounds for axis 0 with size 3"
    a[-1] = 9.0
    assert_same_array(a, np.array([1.0, 2.0, 9.0]))


def test_index_beyond_64_bits_overflows():
    a = native([1.0, 2.0])
    with pytest.raises(OverflowError):
        a[2**64] = 1.0
    with pytest.raises(OverflowError):
        native(np.zeros((2, 2)))[0, -(2**63) - 1] = 1.0


def test_delete_is_refused():
    a = native([1.0, 2.0])
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


# ---- iteration --------------------------------------------------------------------------


@samples
def test_iteration(name):
    on_both(SAMPLES[name], lambda a: [np.asarray(x).tolist() for x in a])


def test_iteration_of_0d_raises_at_iter():
    with pytest.raises(TypeError) as e:
        iter(native(5.0))
    assert str(e.value) == "iteration over a 0-d array"


def test_math_functions_take_one_element_arrays():
    assert math.isclose(math.sqrt(native(4.0)), 2.0)
