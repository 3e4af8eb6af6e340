"""The fallback module against NumPy: results, exceptions and writes into array memory."""

import math
import operator

import numpy as np
import pytest

import corvantile as cv
from corvantile import _fallback as fb
from conftest import assert_same_array, assert_same_outcome, run

CV_NDARRAY = getattr(cv._core, "ndarray", None)


def _native(x):
    """x as a corvantile array; skips while the native array is not there yet."""
    x = np.asarray(x)
    try:
        a = cv.asarray(x)
    except Exception as exc:  # noqa: BLE001
        pytest.skip(f"corvantile.asarray unavailable: {exc}")
    if CV_NDARRAY is None or type(a) is not CV_NDARRAY:
        pytest.skip("corvantile.asarray does not give a corvantile ndarray yet")
    assert_same_array(a, x)
    return a


def _numpy(x):
    return np.array(x)


@pytest.fixture(params=["numpy", "corvantile"])
def make(request):
    """Makes an operand array: a NumPy array, or a corvantile array of the same values."""
    return _numpy if request.param == "numpy" else _native


def memory(a):
    """The values in a's own memory, read without corvantile's methods."""
    return np.asarray(a)


X = [[1.5, -2.0, 3.0], [0.0, -0.0, math.nan]]
Y = [[2.0, 2.0, -1.0], [4.0, 1.0, 1.0]]
I = [[3, -7, 0], [12, 5, -1]]
B = [[True, False, True], [False, False, True]]

# (name, positional operands, keywords); operands named "X", "Y", "I", "B" are made arrays.
CALLS = [
    ("add", ["X", "Y"], {}),
    ("add", ["X", 1.5], {"dtype": "float64"}),
    ("subtract", ["I", "I"], {}),
    ("divide", ["I", 4], {}),
    ("true_divide", ["X", "Y"], {}),
    ("floor_divide", ["I", 3], {}),
    ("remainder", ["I", -3], {}),
    ("mod", ["X", 1.25], {}),
    ("power", ["I", 2], {}),
    ("bitwise_and", ["I", "I"], {}),
    ("left_shift", ["I", 2], {}),
    ("invert", ["B"], {}),
    ("negative", ["X"], {}),
    ("greater_equal", ["X", "Y"], {}),
    ("sin", ["X"], {}),
    ("sin", [0.5], {}),
    ("maximum", ["X", "Y"], {}),
    ("isnan", ["X"], {}),
    ("sum", ["X"], {"axis": 0, "keepdims": True}),
    ("sum", ["I"], {}),
    ("mean", ["X"], {"axis": 1}),
    ("argmax", ["I"], {"axis": None}),
    ("cumsum", ["I"], {"axis": 1}),
    ("any", ["B"], {"axis": 0}),
    ("round", ["X", 1], {}),
    ("clip", ["X", -1.0, 1.0], {}),
    ("reshape", ["I", (3, 2)], {}),
    ("transpose", ["X"], {}),
    ("ravel", ["I"], {"order": "F"}),
    ("nonzero", ["I"], {}),
    ("dot", ["Y", [1.0, 2.0, 3.0]], {}),
    ("matmul", ["Y", [[1.0], [2.0], [3.0]]], {}),
    ("where", ["B", "X", "Y"], {}),
    ("where", ["B"], {}),
    ("sort", ["I"], {"axis": 0}),
    ("argsort", ["I"], {"kind": "stable"}),
    ("flip", ["I", -1], {}),
    ("abs", ["I"], {}),
    ("isclose", ["X", "Y"], {"rtol": 1.0, "atol": 0.0, "equal_nan": True}),
    ("concatenate", [["X", "Y"]], {"axis": 1}),
    ("stack", [("I", "I")], {}),
    ("array", ["Y"], {"dtype": "int64"}),
    ("asarray", [[1, 2]], {"dtype": "float64"}),
    ("zeros", [(2, 3)], {"dtype": "int64"}),
    ("ones", [3], {}),
    ("full", [(2,), 7], {}),
    ("arange", [1, 10, 3], {}),
    ("linspace", [0.0, 1.0, 5], {"endpoint": False}),
]

OPERANDS = {"X": X, "Y": Y, "I": I, "B": B}


def build(spec, make):
    """Replace operand names (also inside lists and tuples) by arrays made with make."""
    if isinstance(spec, str) and spec in OPERANDS:
        return make(OPERANDS[spec])
    if type(spec) in (list, tuple):
        return type(spec)(build(s, make) for s in spec)
    return spec


@pytest.mark.parametrize("name,args,kwargs", CALLS, ids=[c[0] for c in CALLS])
def test_call_gives_numpys_result(make, name, args, kwargs):
    got = run(lambda _: fb.call(name, *build(args, make), **kwargs), None)
    want = run(lambda _: getattr(np, name)(*build(args, _numpy), **kwargs), None)
    assert_same_outcome(got, want)


@pytest.mark.parametrize("name,args,kwargs,exc", [
    ("add", [[1, 2], [1, 2, 3]], {}, ValueError),
    ("sum", ["X"], {"axis": 5}, np.exceptions.AxisError),
    ("reshape", ["I", (4, 2)], {}, ValueError),
    ("sin", ["X"], {"bogus": 1}, TypeError),
    ("concatenate", [["X", "I"]], {"axis": 2}, np.exceptions.AxisError),
    ("arange", [1, 2], {"step": 0}, ZeroDivisionError),
    ("array", [[[1], [1, 2]]], {}, ValueError),
])
def test_call_passes_numpys_exceptions(make, name, args, kwargs, exc):
    got = run(lambda _: fb.call(name, *build(args, make), **kwargs), None)
    want = run(lambda _: getattr(np, name)(*build(args, _numpy), **kwargs), None)
    assert isinstance(want[1], exc)
    assert_same_outcome(got, want)


@pytest.mark.parametrize("name", ["no_such_function", "mod_", "true_divide_"])
def test_call_of_an_unknown_name_raises_numpys_attribute_error(name):
    with pytest.raises(AttributeError) as got:
        fb.call(name, 1.0)
    with pytest.raises(AttributeError) as want:
        getattr(np, name)
    assert str(got.value) == str(want.value)


def test_call_uses_numpys_functions_as_they_were_at_import(monkeypatch):
    def replaced(*args, **kwargs):
        raise AssertionError("the replaced function was called")

    for name in ("sin", "add", "asarray", "flip", "argsort"):
        monkeypatch.setattr(np, name, replaced)
    assert fb.call("sin", 0.5) == math.sin(0.5)
    assert fb.call("add", 1, 2) == 3
    assert list(fb.argsort_descending([1.0, 3.0, 2.0])) == [1, 2, 0]


def test_out_keyword_writes_into_the_array_and_returns_it(make):
    x, y, out = make(X), make(Y), make(np.zeros((2, 3)))
    r = fb.call("add", x, y, out=out)
    assert r is out
    assert_same_array(memory(out), np.add(X, Y))
    r = fb.call("multiply", x, 2.0, out=(out,))
    assert r is out
    assert_same_array(memory(out), np.multiply(X, 2.0))
    q, rem = make(np.zeros((2, 3), dtype=np.int64)), make(np.zeros((2, 3), dtype=np.int64))
    r = fb.call("divmod", make(I), 4, out=(q, rem))
    assert type(r) is tuple and r[0] is q and r[1] is rem
    assert_same_array(memory(q), np.array(I) // 4)
    assert_same_array(memory(rem), np.array(I) % 4)


def test_where_keyword_masks_the_write(make):
    out = make(np.full((2, 3), -1.0))
    r = fb.call("sqrt", make([[4.0, 9.0, 16.0], [1.0, 0.0, 25.0]]), out=out, where=make(B))
    assert r is out
    assert_same_array(memory(out), np.array([[2.0, -1.0, 4.0], [-1.0, -1.0, 5.0]]))


def test_asarray_of_an_array_returns_the_array_itself(make):
    a = make(X)
    assert fb.call("asarray", a) is a
    assert fb.call("array", a, copy=False) is a
    assert fb.call("array", a) is not a


def test_arrays_inside_nested_lists_and_tuples(make):
    a, b = make([[1.0, 2.0]]), make([[3.0, 4.0]])
    assert_same_array(fb.call("block", [[a, b], [b, a]]),
                      np.block([[np.array([[1.0, 2.0]]), np.array([[3.0, 4.0]])],
                                [np.array([[3.0, 4.0]]), np.array([[1.0, 2.0]])]]))
    assert_same_array(fb.call("concatenate", (a, [[5.0, 6.0]], b)),
                      np.array([[1.0, 2.0], [5.0, 6.0], [3.0, 4.0]]))


def test_sequences_without_arrays_pass_as_they_are():
    t = (2, 3)
    lst = [1.0, [2.0]]
    seen = []
    assert fb._np(t, seen) is t
    assert fb._np(lst, seen) is lst
    assert seen == []


# --- call_method ---------------------------------------------------------------------------

METHODS = [
    ("sum", ["X"], {"axis": 0, "keepdims": True}),
    ("sum", ["I"], {}),
    ("prod", ["I"], {"axis": 1}),
    ("max", ["X"], {"initial": 10.0}),
    ("argmin", ["I"], {"axis": 0}),
    ("var", ["X"], {"ddof": 1}),
    ("std", ["Y"], {"axis": 1}),
    ("cumprod", ["I"], {}),
    ("all", ["B"], {"axis": 1}),
    ("astype", ["I", "float64"], {}),
    ("astype", ["X", "int64"], {"casting": "safe"}),
    ("reshape", ["I", 3, 2], {}),
    ("reshape", ["I", (6,)], {"order": "F"}),
    ("transpose", ["X", 1, 0], {}),
    ("round", ["X"], {"decimals": 0}),
    ("clip", ["I", 0], {}),
    ("copy", ["X"], {"order": "F"}),
    ("flatten", ["B"], {}),
    ("ravel", ["X"], {}),
    ("dot", ["Y", [1.0, 0.5, 2.0]], {}),
    ("nonzero", ["B"], {}),
    ("argsort", ["I"], {"kind": "stable"}),
    ("argsort", ["X", 0], {}),
    ("tolist", ["I"], {}),
    ("sum", ["X"], {"axis": 3}),
    ("reshape", ["I", 4], {}),
    ("no_such_method", ["I"], {}),
]


@pytest.mark.parametrize("name,args,kwargs", METHODS, ids=[m[0] for m in METHODS])
def test_call_method_gives_numpys_result(make, name, args, kwargs):
    got = run(lambda _: fb.call_method(*build(args[:1], make), name, *build(args[1:], make), **kwargs), None)
    want = run(lambda _: getattr(np.array(OPERANDS[args[0]]), name)(*build(args[1:], _numpy), **kwargs), None)
    assert_same_outcome(got, want)


@pytest.mark.parametrize("values,value", [
    (I, 2.5), (I, -4), (B, 3), (X, True), (X, 7), (I, np.int64(9)), (B, 0.0),
])
def test_fill_writes_into_the_array(make, values, value):
    a = make(values)
    assert fb.call_method(a, "fill", value) is None
    want = np.array(values)
    want.fill(value)
    assert_same_array(memory(a), want)


def test_fill_error_leaves_the_array_unchanged(make):
    a = make(I)
    got = run(lambda _: fb.call_method(a, "fill", "x"), None)
    want = run(lambda _: np.array(I).fill("x"), None)
    assert_same_outcome(got, want)
    assert_same_array(memory(a), np.array(I))


def test_in_place_methods_write_into_the_array(make):
    a = make([3.0, 1.0, 2.0])
    assert fb.call_method(a, "sort") is None
    assert_same_array(memory(a), np.array([1.0, 2.0, 3.0]))
    b = make(I)
    assert fb.call_method(b, "put", [0, 5], [100, 200]) is None
    assert_same_array(memory(b), np.array([[100, -7, 0], [12, 5, 200]]))


# --- getitem / setitem -----------------------------------------------------------------------

KEYS = [
    (Ellipsis, 0),
    (0, Ellipsis),
    [[0, 1], [1, 0]],
    ([1, 0], slice(None, None, -1)),
    np.array([True, False]),
    (slice(None), None, 1),
    1.5,
    (0, 0, 0),
    5,
    "x",
    [[0, 2]],
]


@pytest.mark.parametrize("key", KEYS, ids=repr)
def test_getitem_gives_numpys_result(make, key):
    got = run(lambda _: fb.getitem(make(X), key), None)
    want = run(lambda _: np.array(X)[key], None)
    assert_same_outcome(got, want)


def test_getitem_views_share_the_arrays_memory(make):
    a = make(X)
    v = fb.getitem(a, (Ellipsis, slice(1, None)))
    assert np.shares_memory(v, memory(a))
    v[...] = 42.0
    assert_same_array(memory(a)[:, 1:], np.full((2, 2), 42.0))


def test_getitem_and_setitem_take_array_keys(make):
    a = make(I)
    idx = make(np.array([1, 0, 1]))
    mask = make(np.array(B))
    assert_same_array(fb.getitem(a, (idx, slice(None))), np.array(I)[[1, 0, 1], :])
    assert_same_array(fb.getitem(a, (Ellipsis, mask[0])), np.array(I)[..., np.array(B)[0]])
    fb.setitem(a, mask, 0)
    want = np.array(I)
    want[np.array(B)] = 0
    assert_same_array(memory(a), want)


SETS = [
    (I, (Ellipsis, 0), 2.5),
    (I, 1, [9, 8, 7]),
    (I, (0, [0, 2]), -1),
    (I, np.array(B), 5),
    (X, (slice(None), None, 1), [[7.0], [8.0]]),
    (X, [[0, 1], [2, 0]], True),
    (B, 0, [1, 0, 2]),
    (X, 0, [1.0, 2.0]),
    (I, (0, 5), 1),
    (I, 0, "abc"),
    (X, 1.5, 0.0),
]


@pytest.mark.parametrize("values,key,value", SETS, ids=[repr(s[1:]) for s in SETS])
def test_setitem_writes_numpys_assignment_into_the_array(make, values, key, value):
    a = make(values)
    want = np.array(values)
    got_outcome = run(lambda _: fb.setitem(a, key, value), None)
    want_outcome = run(lambda _: want.__setitem__(key, value), None)
    assert_same_outcome(got_outcome, want_outcome)
    assert_same_array(memory(a), want)


def test_setitem_takes_an_array_value(make):
    a, v = make(np.zeros((2, 3))), make(Y)
    assert fb.setitem(a, Ellipsis, v) is None
    assert_same_array(memory(a), np.array(Y))
    fb.setitem(a, 0, make([1, 2, 3]))
    assert_same_array(memory(a)[0], np.array([1.0, 2.0, 3.0]))


# --- inplace --------------------------------------------------------------------------------

IN_PLACE = {
    "add": operator.iadd,
    "subtract": operator.isub,
    "multiply": operator.imul,
    "divide": operator.itruediv,
    "floor_divide": operator.ifloordiv,
    "remainder": operator.imod,
    "power": operator.ipow,
}


@pytest.mark.parametrize("name", list(IN_PLACE))
@pytest.mark.parametrize("values,other", [
    (X, 1.5),
    (X, Y),
    (X, [1.0, -2.0, 0.5]),
    (I, 3),
    (I, 1.5),
    (I, [1, 2, 3]),
    (I, -1),
    (I, True),
    (B, True),
    (B, B),
    (X, complex(1, 1)),
    (I, "x"),
], ids=lambda v: repr(v)[:20])
def test_inplace_follows_numpys_in_place_rules(make, name, values, other):
    a = make(values)
    want = np.array(values)
    other_cv = make(other) if other is Y or other is B else other
    with np.errstate(all="ignore"):
        got = run(lambda _: fb.inplace(a, name, other_cv), None)
        expected = run(lambda _: IN_PLACE[name](want, other), None)
    if expected[0] == "ok":
        assert got == ("ok", a), "inplace returns the array it was given"
    else:
        assert_same_outcome(got, expected)
    assert_same_array(memory(a), want)


def test_inplace_int64_plus_float_is_numpys_casting_error(make):
    a = make([1, 2, 3])
    with pytest.raises(np._core._exceptions._UFuncOutputCastingError) as got:
        fb.inplace(a, "add", 1.5)
    assert str(got.value) == (
        "Cannot cast ufunc 'add' output from dtype('float64') to dtype('int64') with casting rule 'same_kind'")
    assert_same_array(memory(a), np.array([1, 2, 3]))


def test_inplace_of_a_name_without_an_operator_uses_the_function_with_out(make):
    a = make(I)
    assert fb.inplace(a, "bitwise_xor", 5) is a
    assert_same_array(memory(a), np.array(I) ^ 5)


# --- argsort_descending ---------------------------------------------------------------------

def descending_order(values):
    """Indices ordering values descending: NaN first, equal values in index order."""
    def key(i):
        v = values[i]
        nan = isinstance(v, float) and math.isnan(v)
        return (0 if nan else 1, 0 if nan else -v, i)
    return sorted(range(len(values)), key=key)


@pytest.mark.parametrize("values", [
    [3.0, 1.0, 3.0, math.nan, 2.0, 1.0, -0.0, 0.0, math.inf, math.nan, -math.inf],
    [5, -1, 5, 0, 7, -1, 5],
    [True, False, True, True, False],
    [],
    [2.5],
], ids=["float", "int", "bool", "empty", "one"])
def test_argsort_descending_is_stable_with_nan_first(make, values):
    a = make(np.array(values, dtype=None if values else np.float64))
    r = fb.argsort_descending(a)
    assert_same_array(r, np.array(descending_order(values), dtype=np.intp))
    assert r.flags.c_contiguous


@pytest.mark.parametrize("args,kwargs", [
    ((), {}), ((0,), {}), ((1,), {}), ((-2,), {}), ((None,), {}), ((), {"axis": 0}),
    ((), {"axis": None}), ((0, "stable"), {}), ((), {"stable": True}), ((), {"kind": "mergesort"}),
], ids=repr)
def test_argsort_descending_along_an_axis(make, args, kwargs):
    values = np.array([[2.0, 1.0, 2.0, math.nan], [0.0, 3.0, 3.0, 1.0], [2.0, 3.0, -1.0, math.nan]])
    axis = args[0] if args else kwargs.get("axis", -1)
    r = fb.argsort_descending(make(values), *args, **kwargs)
    flat = values.ravel() if axis is None else values
    ax = -1 if axis is None else axis
    moved = np.moveaxis(flat, ax, -1)
    want = np.array([descending_order(list(row)) for row in moved.reshape(-1, moved.shape[-1])], dtype=np.intp)
    want = np.moveaxis(want.reshape(moved.shape), -1, ax)
    assert_same_array(r, want)


def test_argsort_descending_of_distinct_values_with_an_unstable_kind(make):
    values = [4.0, -1.0, 9.0, 0.5, 3.0]
    assert_same_array(fb.argsort_descending(make(values), -1, "quicksort"), np.array([2, 0, 4, 3, 1]))
    assert_same_array(fb.argsort_descending(values, stable=False), np.array([2, 0, 4, 3, 1]))


def test_argsort_descending_of_a_zero_dimensional_array(make):
    assert_same_array(fb.argsort_descending(make(np.array(3.0))), np.argsort(np.array(3.0)))


@pytest.mark.parametrize("args,kwargs", [
    ((3,), {}),
    ((0, "stable", None, 1), {}),
    ((), {"bogus": 1}),
    ((), {"kind": "stable", "stable": True}),
    ((), {"kind": "nope"}),
    ((1.5,), {}),
], ids=repr)
def test_argsort_descending_raises_what_numpys_argsort_raises(make, args, kwargs):
    got = run(lambda _: fb.argsort_descending(make([1.0, 2.0]), *args, **kwargs), None)
    want = run(lambda _: np.argsort(np.array([1.0, 2.0]), *args, **kwargs), None)
    assert want[0] == "raise"
    assert_same_outcome(got, want)
