"""The module functions that repeat ndarray methods: native bodies, method calls, NumPy's functions."""

import numpy as np
import pytest

import corvantile as cv
from conftest import differential, native

M = [[1.0, -2.5, 3.0], [0.0, 4.5, -1.0]]
I = [[3, 0, -2], [1, 5, 0]]
B = [[True, False, True], [False, False, True]]


def arr(xp, values):
    return native(values) if xp is cv else np.asarray(values)


CASES = [
    ("sum", ()), ("sum", (0,)), ("prod", ()), ("mean", ()), ("max", ()), ("min", (-1,)), ("var", ()), ("std", ()),
    ("argmax", ()), ("argmin", ()), ("cumsum", ()), ("cumprod", ()), ("clip", (0, 2)), ("round", ()),
    ("round", (1,)), ("reshape", (-1,)), ("copy", ()), ("nonzero", ()), ("ravel", ()), ("transpose", ()),
    ("any", ()), ("all", ()), ("any", (0,)), ("dot", ([1.0, 2.0, 3.0],)),
]


@pytest.mark.parametrize("values", [M, I, B, [2.0, -1.0, 0.5]])
@pytest.mark.parametrize("name,args", CASES)
def test_against_numpy(values, name, args):
    if len(values) == 3 and args in ((0,), (-1,)):
        return  # an axis reduction of a 1-D array gives a 0-d array, not NumPy's scalar
    differential(lambda xp: getattr(xp, name)(arr(xp, values), *args))
    differential(lambda xp: getattr(xp, name)(values, *args))


@pytest.mark.parametrize("name,args,kwargs", [
    ("sum", (), {"keepdims": True}), ("mean", (), {"axis": 0}), ("std", (), {"ddof": 1}),
    ("clip", (), {"min": 0, "max": 1}), ("round", (), {"decimals": 1}), ("reshape", ((6,),), {"order": "F"}),
    ("ravel", (), {"order": "F"}), ("all", (), {"axis": 1}), ("cumsum", (), {"axis": 1}),
])
def test_keywords_against_numpy(name, args, kwargs):
    differential(lambda xp: getattr(xp, name)(arr(xp, M), *args, **kwargs))
    differential(lambda xp: getattr(xp, name)(a=arr(xp, M), **kwargs) if not args else None)


@pytest.mark.parametrize("name,args,kwargs", [
    ("transpose", (), {"axes": (1, 0)}), ("clip", (), {"a_min": 0, "a_max": 1}),
    ("copy", (), {"subok": True}), ("reshape", (), {"shape": (3, 2)}),
])
def test_function_only_keywords_reach_numpys_function(calls, name, args, kwargs):
    # The method of the same name refuses these keywords; NumPy's function answers them.
    differential(lambda xp: getattr(xp, name)(arr(xp, M), *args, **kwargs))
    calls.clear()
    getattr(cv, name)(native(M), *args, **kwargs)
    assert [c[:2] for c in calls] == [("call", name)]


# Calls NumPy's function refuses or reads differently from the method of the same name,
# whose road would name a helper (_sum, _amax, _any) in its message.
NAMED_BY_THE_FUNCTION = [
    (name, args, kwargs)
    for name in ("sum", "prod", "mean", "max", "min", "var", "std", "any", "all")
    for args, kwargs in (((), {"bogus": 1}), ((), {"x": 1}), ((None,) * 9, {}), ((None,) * 7, {}),
                         ((), {"a": "self"}), ((0,), {"axis": 0}))
] + [
    ("clip", (0, 1, None, None), {}), ("any", (0, "out"), {}), ("all", (None, "out", True), {}),
    ("any", (None, None, False, True), {}), ("copy", ("K", True), {}), ("copy", ("K", True, 1), {}), ("copy", ("K",), {"order": "C"}),
    ("dot", ("self",), {"b": "self"}), ("dot", (), {"other": "self"}), ("dot", (), {"b": "self", "out": None}),
    ("argmax", (), {"bogus": 1}), ("cumsum", (0,), {"bogus": 1}),
]


@pytest.mark.parametrize("values", [M, I, B, [True, False]])
@pytest.mark.parametrize("name,args,kwargs", NAMED_BY_THE_FUNCTION)
def test_refused_and_positional_calls_against_numpys_function(values, name, args, kwargs):
    def call(xp):
        a = arr(xp, values)
        put = {"self": a, "out": (native if xp is cv else np.asarray)(np.zeros(2, bool) if len(values) == 2 else
                                                                       np.zeros(3, bool))}
        fill = lambda v: put.get(v, v) if isinstance(v, str) else v
        return getattr(xp, name)(a, *map(fill, args), **{k: fill(v) for k, v in kwargs.items()})
    differential(call)


def test_roads(calls):
    a = native([1.0, 2.0])
    assert cv.sum(a) == cv.sum(a=a) == a.sum() and calls == []
    cv.sum(a, axis=0, keepdims=True)
    assert calls == [("call_method", "sum", (), {"axis": 0, "keepdims": True})]
    calls.clear()
    cv.sum([1.0, 2.0])
    cv.sum(a=[1.0, 2.0])
    cv.sum([1.0, 2.0], 0, keepdims=True)
    cv.nonzero([0, 1])
    cv.dot([1.0], [2.0])
    assert calls == [("call", "sum", ([1.0, 2.0],), {}), ("call", "sum", ([1.0, 2.0],), {}),
                     ("call", "sum", ([1.0, 2.0], 0), {"keepdims": True}), ("call", "nonzero", ([0, 1],), {}),
                     ("call", "dot", ([1.0], [2.0]), {})]


def test_missing_a_and_method_argument_errors(calls):
    a = native([1.0, 2.0])
    for call in (lambda: cv.sum(), lambda: cv.sum(axis=0)):
        with pytest.raises(TypeError, match=r"^sum\(\) missing 1 required positional argument: 'a'$"):
            call()
    assert cv.dot(a, b=a) == 5.0
    for call, message in ((lambda: cv.dot(a), "missing 1 required positional argument: 'b'"),
                          (lambda: cv.nonzero(a, 1), "takes no arguments")):
        with pytest.raises(TypeError, match=message):
            call()
    assert calls == []


def test_bool_buffers_are_answered_natively(calls):
    for m in (np.array([[True, False], [False, False]]), np.zeros((2, 0), bool), np.ones(3, bool)):
        for name in ("any", "all"):
            got = getattr(cv, name)(m)
            assert type(got) is np.bool_ and got == getattr(np, name)(m)
    assert calls == []
    for name, a, args, kwargs in (("any", np.ones(3, bool), (0,), {}), ("any", np.ones(3, bool), (None,), {}),
                                  ("all", np.ones(3, bool), (), {"axis": 0}), ("all", np.array(True), (), {}),
                                  ("any", np.ones((3, 2), bool)[:, 0], (), {}), ("all", np.ones(3), (), {}),
                                  ("any", [True, False], (), {})):
        calls.clear()
        assert getattr(cv, name)(a, *args, **kwargs) == getattr(np, name)(a, *args, **kwargs)
        assert calls == [("call", name, (a,) + args, kwargs)]


def test_subtype_instances_use_their_methods():
    class Sub(cv.ndarray):
        def sum(self, *args, **kwargs):
            return ("own", args, kwargs)

    s = Sub((3,))
    assert cv.sum(s, 0, keepdims=True) == ("own", (0,), {"keepdims": True})
    assert cv.mean(s) == 0.0
