"""The fallback module against NumPy: results, exceptions and writes into array memory.
Every case runs twice: with NumPy arrays and with corvantile arrays of the same values."""

import json
import math
import operator
import os
import pathlib
import subprocess
import sys
import weakref

import numpy as np
import pytest

import corvantile as cv
from corvantile import _fallback as fb
from conftest import assert_same_array, assert_same_outcome, differential, native, run


def _native(x):
    a = native(x)
    assert_same_array(a, np.asarray(x))
    return a


@pytest.fixture(params=["numpy", "corvantile"])
def make(request):
    """Makes an operand array: a NumPy array, or a corvantile array of the same values."""
    return np.array if request.param == "numpy" else _native


def memory(a):
    """The values in a's own memory, read without corvantile's methods."""
    return np.asarray(a)


X = [[1.5, -2.0, 3.0], [0.0, -0.0, math.nan]]
Y = [[2.0, 2.0, -1.0], [4.0, 1.0, 1.0]]
I = [[3, -7, 0], [12, 5, -1]]
B = [[True, False, True], [False, False, True]]
OPERANDS = {"X": X, "Y": Y, "I": I, "B": B}


def build(spec, make):
    """Replace operand names (also inside lists and tuples) by arrays made with make."""
    if isinstance(spec, str) and spec in OPERANDS:
        return make(OPERANDS[spec])
    if type(spec) in (list, tuple):
        return type(spec)(build(s, make) for s in spec)
    return spec


# (name, positional operands, keywords); operands named "X", "Y", "I", "B" are made arrays.
CALLS = [
    ("add", ["X", 1.5], {"dtype": "float64"}), ("divide", ["I", 4], {}), ("power", ["I", 2], {}),
    ("greater_equal", ["X", "Y"], {}), ("sin", [0.5], {}), ("isnan", ["X"], {}),
    ("sum", ["X"], {"axis": 0, "keepdims": True}), ("cumsum", ["I"], {"axis": 1}), ("clip", ["X", -1.0, 1.0], {}),
    ("reshape", ["I", (3, 2)], {}), ("nonzero", ["I"], {}), ("matmul", ["Y", [[1.0], [2.0], [3.0]]], {}),
    ("where", ["B", "X", "Y"], {}), ("isclose", ["X", "Y"], {"rtol": 1.0, "atol": 0.0, "equal_nan": True}),
    ("concatenate", [["X", "Y"]], {"axis": 1}), ("stack", [("I", "I")], {}), ("array", ["Y"], {"dtype": "int64"}),
    ("linspace", [0.0, 1.0, 5], {"endpoint": False}), ("block", [[["X", "Y"], ["Y", "X"]]], {}),
    ("concatenate", [("X", [[5.0, 6.0, 7.0]], "Y")], {}),
    # NumPy's exceptions
    ("add", [[1, 2], [1, 2, 3]], {}), ("sum", ["X"], {"axis": 5}), ("sin", ["X"], {"bogus": 1}),
    ("arange", [1, 2], {"step": 0}), ("add", ["X", 1.5], {"name": 1}), ("sum", ["X"], {"a": 1}),
    ("no_such_function", [1.0], {}), ("mod_", [1.0], {}),
]


@pytest.mark.parametrize("name,args,kwargs", CALLS, ids=[c[0] for c in CALLS])
def test_call_gives_numpys_result(make, name, args, kwargs):
    got = run(lambda _: fb.call(name, *build(args, make), **kwargs), None)
    want = run(lambda _: getattr(np, name)(*build(args, np.array), **kwargs), None)
    assert_same_outcome(got, want)


def test_road_answers_after_the_module_left_the_module_table(monkeypatch):
    monkeypatch.delitem(sys.modules, "corvantile._fallback")
    assert cv.add(1, 2) == 3


@pytest.mark.parametrize("name, declined", [
    ("getitem", lambda a: a[1.5]), ("setitem", lambda a: a.__setitem__(1.5, 0)), ("inplace", lambda a: a.__iadd__(1.5)),
    ("call_method", lambda a: a.copy("F")),
])
def test_the_road_takes_the_modules_function_when_replaced(monkeypatch, name, declined):
    seen = []
    run(declined, native(I))  # the module's own function first
    monkeypatch.setattr(fb, name, lambda *args, **kwargs: seen.append(args[1]))
    declined(native(I))
    assert seen == [{"inplace": "add", "call_method": "copy"}.get(name, 1.5)]
    monkeypatch.delattr(fb, name)  # a module without the function: the lookup's own error
    with pytest.raises(AttributeError, match=rf"^module 'corvantile._fallback' has no attribute '{name}'$"):
        declined(native(I))


def test_call_uses_numpys_functions_as_they_were_at_import(monkeypatch):
    def replaced(*args, **kwargs):
        raise AssertionError("the replaced function was called")

    for name in ("sin", "add", "asarray", "flip", "argsort"):
        monkeypatch.setattr(np, name, replaced)
    assert fb.call("sin", 0.5) == math.sin(0.5)
    assert fb.call("add", 1, 2) == 3
    assert list(fb.argsort_descending([1.0, 3.0, 2.0])) == [1, 2, 0]


def test_out_and_where_keywords_write_into_the_array_and_return_it(make):
    x, y, out = make(X), make(Y), make(np.zeros((2, 3)))
    assert fb.call("add", x, y, out=out) is out
    assert_same_array(memory(out), np.add(X, Y))
    assert fb.call("multiply", x, 2.0, out=(out,)) is out
    assert_same_array(memory(out), np.multiply(X, 2.0))
    q, rem = make(np.zeros((2, 3), dtype=np.int64)), make(np.zeros((2, 3), dtype=np.int64))
    r = fb.call("divmod", make(I), 4, out=(q, rem))
    assert type(r) is tuple and r[0] is q and r[1] is rem
    assert_same_array(memory(q), np.array(I) // 4)
    assert_same_array(memory(rem), np.array(I) % 4)
    out = make(np.full((2, 3), -1.0))
    assert fb.call("sqrt", make([[4.0, 9.0, 16.0], [1.0, 0.0, 25.0]]), out=out, where=make(B)) is out
    assert_same_array(memory(out), np.array([[2.0, -1.0, 4.0], [-1.0, -1.0, 5.0]]))


def test_asarray_of_an_array_returns_the_array_itself(make):
    a = make(X)
    assert fb.call("asarray", a) is a
    assert fb.call("array", a, copy=False) is a
    assert fb.call("array", a) is not a


# --- call_method ---------------------------------------------------------------------------

METHODS = [
    ("sum", ["I"], {}), ("var", ["X"], {"ddof": 1}), ("all", ["B"], {"axis": 1}), ("reshape", ["I", 3, 2], {}),
    ("astype", ["X", "int64"], {"casting": "safe"}), ("copy", ["X"], {"order": "F"}), ("argsort", ["X", 0], {}),
    ("dot", ["Y", [1.0, 0.5, 2.0]], {}), ("tolist", ["I"], {}), ("sum", ["X"], {"axis": 3}),
    ("no_such_method", ["I"], {}), ("sum", ["X"], {"name": 1}), ("sum", ["X"], {"a": 1}),
]


@pytest.mark.parametrize("name,args,kwargs", METHODS, ids=[m[0] for m in METHODS])
def test_call_method_gives_numpys_result(make, name, args, kwargs):
    got = run(lambda _: fb.call_method(*build(args[:1], make), name, *build(args[1:], make), **kwargs), None)
    want = run(lambda _: getattr(np.array(OPERANDS[args[0]]), name)(*build(args[1:], np.array), **kwargs), None)
    assert_same_outcome(got, want)


@pytest.mark.parametrize("values,value", [(I, 2.5), (B, 3), (X, True), (I, np.int64(9)), (I, "x")])
def test_fill_writes_into_the_array(make, values, value):
    a = make(values)
    want = np.array(values)
    assert_same_outcome(run(lambda _: fb.call_method(a, "fill", value), None),
                        run(lambda _: want.fill(value), None))
    assert_same_array(memory(a), want)


def test_in_place_methods_write_into_the_array(make):
    a = make([3.0, 1.0, 2.0])
    assert fb.call_method(a, "sort") is None
    assert_same_array(memory(a), np.array([1.0, 2.0, 3.0]))
    b = make(I)
    assert fb.call_method(b, "put", [0, 5], [100, 200]) is None
    assert_same_array(memory(b), np.array([[100, -7, 0], [12, 5, 200]]))


# --- getitem / setitem -----------------------------------------------------------------------

KEYS = [(Ellipsis, 0), [[0, 1], [1, 0]], ([1, 0], slice(None, None, -1)), np.array([True, False]),
        (slice(None), None, 1), 1.5, (0, 0, 0), 5]


@pytest.mark.parametrize("key", KEYS, ids=repr)
def test_getitem_gives_numpys_result(make, key):
    assert_same_outcome(run(lambda _: fb.getitem(make(X), key), None), run(lambda _: np.array(X)[key], None))


def test_getitem_views_share_memory_and_array_keys_are_taken(make):
    a = make(X)
    v = fb.getitem(a, (Ellipsis, slice(1, None)))
    assert np.shares_memory(v, memory(a))
    v[...] = 42.0
    assert_same_array(memory(a)[:, 1:], np.full((2, 2), 42.0))
    a = make(I)
    idx, mask = make(np.array([1, 0, 1])), make(np.array(B))
    assert_same_array(fb.getitem(a, (idx, slice(None))), np.array(I)[[1, 0, 1], :])
    assert_same_array(fb.getitem(a, (Ellipsis, mask[0])), np.array(I)[..., np.array(B)[0]])
    fb.setitem(a, mask, 0)
    want = np.array(I)
    want[np.array(B)] = 0
    assert_same_array(memory(a), want)


SETS = [(I, (Ellipsis, 0), 2.5), (I, (0, [0, 2]), -1), (X, (slice(None), None, 1), [[7.0], [8.0]]),
        (B, 0, [1, 0, 2]), (I, (0, 5), 1), (I, 0, "abc"), (X, Ellipsis, "Y"), (X, 0, "I")]


@pytest.mark.parametrize("values,key,value", SETS, ids=[repr(s[1:]) for s in SETS])
def test_setitem_writes_numpys_assignment_into_the_array(make, values, key, value):
    a = make(values)
    want = np.array(values)
    assert_same_outcome(run(lambda _: fb.setitem(a, key, build(value, make)), None),
                        run(lambda _: want.__setitem__(key, build(value, np.array)), None))
    assert_same_array(memory(a), want)


# --- inplace --------------------------------------------------------------------------------

IN_PLACE = {"add": operator.iadd, "divide": operator.itruediv, "floor_divide": operator.ifloordiv,
            "power": operator.ipow, "bitwise_xor": operator.ixor}  # the last has no in-place method


@pytest.mark.parametrize("name", list(IN_PLACE))
@pytest.mark.parametrize("values,other", [
    (X, Y), (X, [1.0, -2.0, 0.5]), (I, 3), (I, 1.5), (I, True), (B, B), (X, complex(1, 1)), (I, "x"),
], ids=lambda v: repr(v)[:20])
def test_inplace_follows_numpys_in_place_rules(make, name, values, other):
    # int64 += 1.5 raises NumPy's casting error and leaves the array unchanged.
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


# --- argsort_descending ---------------------------------------------------------------------

def descending_order(values):
    """Indices ordering values descending: NaN first, equal values in index order."""
    def key(i):
        v = values[i]
        nan = isinstance(v, float) and math.isnan(v)
        return (0 if nan else 1, 0 if nan else -v, i)
    return sorted(range(len(values)), key=key)


M2 = [[2.0, 1.0, 2.0, math.nan], [0.0, 3.0, 3.0, 1.0], [2.0, 3.0, -1.0, math.nan]]
DISTINCT = [4.0, -1.0, 9.0, 0.5, 3.0]


@pytest.mark.parametrize("values,args,kwargs", [
    ([3.0, 1.0, 3.0, math.nan, 2.0, 1.0, -0.0, 0.0, math.inf, math.nan, -math.inf], (), {}),
    ([5, -1, 5, 0, 7, -1, 5], (), {}), ([True, False, True, True, False], (), {}), (np.zeros(0), (), {}),
    (M2, (), {}), (M2, (0,), {}), (M2, (-2,), {}), (M2, (), {"axis": None}), (M2, (0, "stable"), {}),
    (M2, (), {"kind": "mergesort"}), (DISTINCT, (-1, "quicksort"), {}), (DISTINCT, (), {"stable": False}),
], ids=repr)
def test_argsort_descending_is_stable_with_nan_first(make, values, args, kwargs):
    values = np.array(values)
    axis = args[0] if args else kwargs.get("axis", -1)
    r = fb.argsort_descending(make(values), *args, **kwargs)
    ax = -1 if axis is None else axis
    moved = np.moveaxis(values.ravel() if axis is None else values, ax, -1)
    want = [descending_order(row.tolist()) for row in moved.reshape(math.prod(moved.shape[:-1]), -1)]
    assert_same_array(r, np.moveaxis(np.array(want, dtype=np.intp).reshape(moved.shape), -1, ax))
    assert r.flags.c_contiguous or r.ndim > 1


def test_argsort_descending_of_0d(make):
    assert_same_array(fb.argsort_descending(make(np.array(3.0))), np.argsort(np.array(3.0)))


@pytest.mark.parametrize("args,kwargs", [((3,), {}), ((0, "stable", None, 1), {}), ((), {"bogus": 1}),
                                         ((), {"kind": "stable", "stable": True}), ((1.5,), {})], ids=repr)
def test_argsort_descending_raises_what_numpys_argsort_raises(make, args, kwargs):
    got = run(lambda _: fb.argsort_descending(make([1.0, 2.0]), *args, **kwargs), None)
    want = run(lambda _: np.argsort(np.array([1.0, 2.0]), *args, **kwargs), None)
    assert want[0] == "raise"
    assert_same_outcome(got, want)


# --- the native side's road to these functions ----------------------------------------------

# Declined calls through the public functions, methods and operators: NumPy's outcome,
# with each `out=` array handed back as the array itself and written in its memory.
def _views(xp):
    base = xp.asarray(np.arange(24.0).reshape(4, 6))
    return base, base[::2, 1::2], xp.asarray(np.zeros((2, 3)))


ROAD = [  # expressions of (xp, s, o)
    "s // xp.asarray(np.full((2, 3), 2.0))", "xp.dot(s, s.T)",
    "(xp.dot(s, s.T[:, :2], out=o[:, :2]) is not None, o)", "(s.dot(s.T[:, :2], o[:, :2]) is not None, o)",
    "(xp.dot(s[0], s[0], None), s.dot(s[1], out=None), xp.dot(s[0], s[0], out=None))",
    "xp.dot(s[0], s[0], s[0])", "(xp.sin(s, out=o) is o, o)", "(xp.sin(s, out=(s,)) is s, s)",
    "xp.cumsum([s, [s[0], s[1]]], axis=0)", "xp.concatenate((s, [[5.0, 6.0, 7.0]], [s[0]]), dtype='float32')",
    "(xp.concatenate([s, o], axis=1, out=xp.zeros((2, 6))), o)",
    "(xp.floor_divide(s, 4.0, out=(o,)) is o, o)", "xp.var(s, correction=1)",
    "xp.std(s, axis=0, correction=0.5)", "s.var(correction=1)", "xp.sum(s, a=s)", "xp.mean(s, 0, a=s)",
    "xp.add(s, 1.0, name='x')", "s == np.array(['a'] * 3)", "s != np.array(['a'] * 3)",
    "xp.asarray(np.array(0.0)) != np.array('a')", "s == np.zeros(3, np.float32)", "s != np.zeros((4, 3))",
    "xp.arctan2(np.float64(1), np.float64(2))", "xp.argmax(np.arange(8.0))", "s[np.array([1, 0]), ::2]",
    "(s.__setitem__((np.array([1, 0]), 0), [7.0, o[0, 1]]), s)", "(s.__ifloordiv__(np.float32(2)), s)",
    "(s.__ipow__(np.array(0.5)), s)", "xp.asarray(np.arange(6).reshape(2, 3)).__itruediv__(2)",
    "s.sum(axis=0, bogus=1)", "s.copy('F', 1)", "s.reshape(3, 2, order='A', bogus=1)",
    "s.transpose(axes=None)", "s.round(1, o, 3)", "s.cumsum(0, None, o)",
    "(s.round(out=o) is o, o)", "(o.astype('float64', casting='same_kind', copy=False) is o, o)",
    "(xp.add(o, 1.0, out=o) is o, o)",
    "[(i := xp.asarray(np.arange(1, 7).reshape(2, 3))) // i, setattr(i, 'shape', (3, 2)), i // i[::-1], i]",
]


@pytest.mark.parametrize("case", ROAD)
def test_declined_public_calls_give_numpys_outcome(case):
    def fn(xp):
        base, s, o = _views(xp)
        r = eval("lambda xp, s, o: " + case)(xp, s, o)
        return r, base
    differential(fn)


def _layouts():
    base = native(np.arange(24.0).reshape(4, 6))
    return [base, base[::2, 1::2], base[1], base[:, ::-1], base.T, base[1:2, ::3], base[::2, 1::2].reshape(6),
            native(np.arange(3)), native(np.zeros((0, 3))), native(np.array(True)), native(np.ones((2, 1, 3), bool))]


@pytest.mark.parametrize("index", range(len(_layouts())))
def test_views_handed_to_numpy_match_numpys_own_view_of_the_array(monkeypatch, index):
    a = _layouts()[index]
    cv.maximum(a, 1.0, out=None)  # NumPy's function as found before the table changed must not stay
    monkeypatch.setitem(fb._NUMPY, "maximum", lambda *args, **kwargs: [args[0]])
    [v] = cv.maximum(a, 1.0, out=None)
    want = np.asarray(a)
    assert type(v) is np.ndarray and v.base is a
    assert (v.dtype, v.shape, v.strides, v.__array_interface__["data"]) == (
        want.dtype, want.shape, want.strides, want.__array_interface__["data"])
    flags = ("C_CONTIGUOUS", "F_CONTIGUOUS", "OWNDATA", "WRITEABLE", "ALIGNED", "WRITEBACKIFCOPY")
    assert [v.flags[f] for f in flags] == [want.flags[f] for f in flags]


# What NumPy's callee may do to the view of an array it was handed; the view must not
# be handed out again changed, nor kept while anyone else can reach it.
MEDDLINGS = {
    "read-only": lambda v, keep: setattr(v.flags, "writeable", False),
    "reshaped": lambda v, keep: setattr(v, "shape", (v.size,)),
    "held": lambda v, keep: keep.append(v),
    "weakly held": lambda v, keep: keep.append(weakref.ref(v)),
}


@pytest.mark.parametrize("meddle", MEDDLINGS.values(), ids=list(MEDDLINGS))
def test_views_meddled_with_by_numpys_callee_are_not_handed_out_again(meddle):
    keep = []

    class Meddler:
        def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
            meddle(inputs[0], keep)

    a = native(np.arange(1, 7).reshape(2, 3))
    cv.floor_divide(a, Meddler())
    if keep and isinstance(keep[0], weakref.ref):
        assert keep.pop()() is None
    a //= 2  # NumPy's in-place road into a's memory
    assert_same_array(a // native([[1], [2]]), np.array([[0, 1, 1], [1, 1, 1]]))
    a.shape = (3, 2)
    assert_same_array(a // native([[1], [1], [2]]), np.array([[0, 1], [1, 2], [1, 1]]))
    if keep:
        assert keep[0].base is a and keep[0][1, 2] == 3


# A declined call of each kind, with the function of the fallback module it must go through.
FIRST_USE = [
    ("call", "cv.sum([1.0, 2.0])"), ("call", "cv.add(a, [1j])"), ("call_method", "a.sum(axis=0, keepdims=True)"),
    ("call_method", "a.astype('int32')"), ("getitem", "a[0, ...]"), ("getitem", "a[[0, [1]]]"),
    ("setitem", "a.__setitem__((0, ...), 5.0)"), ("compare", "a == [1j, 2]"),
    ("inplace", "a.__imul__(np.ones(2, 'int32'))"),
]


@pytest.mark.parametrize("function,statement", FIRST_USE, ids=[f"{f}: {s}" for f, s in FIRST_USE])
def test_replacement_before_the_first_declined_call_is_called(function, statement, tmp_path):
    # A fresh process: nothing has reached NumPy yet when the module's function is replaced.
    code = f"""if True:
        import json, numpy as np
        import corvantile as cv
        from corvantile import _fallback as fb
        seen = []
        real = {{name: getattr(fb, name) for name in ("call", "call_method", "getitem", "setitem", "compare", "inplace")}}
        def spy(name):
            def f(*args, **kw):
                seen.append(name)
                return real[name](*args, **kw)
            return f
        setattr(fb, "{function}", spy("{function}"))
        a = cv.array([[1.0, 2.0], [3.0, 4.0]])
        try:
            {statement}
        except Exception:
            pass  # NumPy's answer may be an exception: only the road matters here
        first = list(seen)
        setattr(fb, "{function}", real["{function}"])  # the module's own again: the C road
        seen.clear()
        a = cv.array([[1.0, 2.0], [3.0, 4.0]])
        try:
            {statement}
        except Exception:
            pass
        print(json.dumps([first, seen]))
    """
    root = pathlib.Path(__file__).resolve().parent.parent
    env = dict(os.environ, PYTHONPATH=os.environ.get("CORVANTILE_PKG_ROOT") or str(root))
    # Run elsewhere: `-c` puts the working directory first on the path.
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    first, after_restore = json.loads(out.stdout)
    assert first == [function] and after_restore == []
