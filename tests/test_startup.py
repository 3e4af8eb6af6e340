"""Module start-up: the functions' faces, the patch switch, the fast fronts, a second module
object and the one-interpreter rule."""

import importlib.util
import sys

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

core = cv._core

SIGNATURES = {
    "array": "(object, dtype=None, *, copy=True, order='K', subok=False, ndmin=0, like=None)",
    "asarray": "(a, dtype=None, order=None, *, device=None, copy=None, like=None)",
    "where": "(condition, x=None, y=None)",
    "zeros": "(shape, dtype=float, order='C', *, device=None, like=None)",
    "ones": "(shape, dtype=None, order='C', *, device=None, like=None)",
    "empty": "(shape, dtype=float, order='C', *, device=None, like=None)",
    "full": "(shape, fill_value, dtype=None, order='C', *, device=None, like=None)",
    "arange": "(start, stop=None, step=1, dtype=None, *, device=None, like=None)",
    "linspace": "(start, stop, num=50, endpoint=True, retstep=False, dtype=None, axis=0, *, device=None)",
    "abs": "(x, *args, **kwargs)",
    "concatenate": "(arrays, axis=None, **kwargs)",
    "stack": "(arrays, axis=None, **kwargs)",
    "sort": "(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)",
    "argsort": "(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)",
    "_view_of": "(source, numpy_view)",
    "isclose": "(a, b, rtol=1e-05, atol=1e-08, equal_nan=False)",
    "_set_patch_active": "(active)",
    "sin": "(x, /, out=None, *, where=True, dtype=None)",
    "mod_": "(x1, x2, /, out=None, *, where=True, dtype=None)",
    "hypot": "(x1, x2, /, out=None, *, where=True, dtype=None)",
    "signbit": "(x, /, out=None, *, where=True)",
    "all": "(a, axis=None, out=None, keepdims=False, *, where=True)",
    "var": "(a, axis=None, dtype=None, out=None, ddof=0, keepdims=False, *, where=True, mean=None, correction=None)",
    "nonzero": "(a)",
}

DOCS = {
    "array": "A new corvantile array for float64, int64 and bool data, NumPy's array otherwise.",
    "asarray": "The input itself when it already is a corvantile array of the requested dtype, a corvantile "
               "array for float64, int64 and bool data, NumPy's array otherwise.",
    "where": "Elements of `x` where `condition` holds and of `y` elsewhere; the indices of the true elements "
             "with one argument.",
    "zeros": None,
    "linspace": "`linspace(start, stop, num=50, endpoint=True)`. `retstep`, `axis` and\n"
                "array-valued endpoints go through NumPy.",
    "sin": "Element-wise `sin` with NumPy semantics: native for corvantile arrays (returns corvantile) and Python "
           "numbers (returns float), NumPy for anything else.",
    "mod_": "Element-wise `mod_(x1, x2)` with NumPy semantics and broadcasting: native when either operand is a "
            "corvantile array, NumPy otherwise.",
    "var": "The same as the `var` method for corvantile arrays (native when the arguments allow it), NumPy's "
           "function otherwise.",
}


FAST_FUNCTIONS = {"sin", "mod_", "hypot", "signbit", "all", "var", "nonzero"}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_faces(name):
    f = getattr(cv, name)
    assert f.__text_signature__ == SIGNATURES[name]
    if name in FAST_FUNCTIONS:
        assert f.__self__ is None
    if name in DOCS:
        assert f.__doc__ == DOCS[name]


# ---- _noop and _set_patch_active ----------------------------------------------------------

def test_noop_and_set_patch_active_take_bools():
    assert cv._noop() is None
    with pytest.raises(TypeError, match="takes no arguments"):
        cv._noop(1)
    try:
        for value in (True, False, np.True_, np.bool_(0)):
            assert cv._set_patch_active(value) is None
            assert cv._set_patch_active(active=value) is None
    finally:
        cv._set_patch_active(False)


class FakeNumpyBool:
    pass


FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"
FakeNumpyBool.__module__ = "numpy"


@pytest.mark.parametrize("value, text", [
    (1, "'int' object is not an instance of 'bool'"),
    (None, "'NoneType' object is not an instance of 'bool'"),
    (np.int64(1), "'int64' object is not an instance of 'bool'"),
    (FakeNumpyBool(), "object of type 'bool_' does not define a '__bool__' conversion"),
])
def test_set_patch_active_refuses_everything_else(value, text):
    with pytest.raises(TypeError) as info:
        cv._set_patch_active(value)
    assert str(info.value) == text
    assert info.value.__notes__ == ["while processing 'active'"]


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "_set_patch_active() missing 1 required positional argument: 'active'"),
    ((True, True), {}, "_set_patch_active() takes 1 positional arguments but 2 were given"),
    ((), {"on": True}, "_set_patch_active() got an unexpected keyword argument 'on'"),
    ((True,), {"active": True}, "_set_patch_active() got multiple values for argument 'active'"),
])
def test_set_patch_active_argument_errors(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        cv._set_patch_active(*args, **kwargs)
    assert str(info.value) == text


# ---- fast fronts ------------------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda xp: xp.asarray([1, 2, 3], None),
    lambda xp: xp.asarray([1.5], dtype=np.float32),
    lambda xp: xp.array([1, 2], ndmin=2),
    lambda xp: xp.where([0, 1, 2]),
    lambda xp: xp.where([True], [1, 2], [1, 2, 3]),
])
def test_fast_fronts_answer_like_numpy(call):
    differential(call)


def test_a_second_module_object_gets_the_same_namespace():
    spec = importlib.util.find_spec("corvantile._core")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not core
    assert second.__all__ == core.__all__
    assert second.ndarray is core.ndarray
    assert second.asarray is not core.asarray
    # Its fronts hand their calls to the full functions kept from the first module.
    differential(lambda xp: (second.asarray if xp is cv else xp.asarray)([1.0, 2.0], None))
    differential(lambda xp: (second.where if xp is cv else xp.where)([1, 0]))


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed) as info:
            interp.exec(f"import sys; sys.path[:0] = {sys.path!r}; import corvantile._core")
        assert "does not support loading in subinterpreters" in str(info.value)
    finally:
        interp.close()
