"""Module start-up: the functions' faces, the patch switch, the fast fronts, a second module
object and the one-interpreter rule."""

import importlib.util
import sys

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

core = cv._core

MODULE_FUNCTIONS = {
    "array": ("(object, dtype=None, *, copy=True, order='K', subok=False, ndmin=0, like=None)",
              "A new corvantile array for float64, int64 and bool data, NumPy's array otherwise."),
    "asarray": ("(a, dtype=None, order=None, *, device=None, copy=None, like=None)",
                "The input itself when it already is a corvantile array of the requested dtype, a corvantile "
                "array for float64, int64 and bool data, NumPy's array otherwise."),
    "where": ("(condition, x=None, y=None)",
              "Elements of `x` where `condition` holds and of `y` elsewhere; the indices of the true elements "
              "with one argument."),
    "zeros": ("(shape, dtype=float, order='C', *, device=None, like=None)", None),
    "ones": ("(shape, dtype=None, order='C', *, device=None, like=None)", None),
    "empty": ("(shape, dtype=float, order='C', *, device=None, like=None)", None),
    "full": ("(shape, fill_value, dtype=None, order='C', *, device=None, like=None)", None),
    "arange": ("(start, stop=None, step=1, dtype=None, *, device=None, like=None)", None),
    "linspace": ("(start, stop, num=50, endpoint=True, retstep=False, dtype=None, axis=0, *, device=None)",
                 "`linspace(start, stop, num=50, endpoint=True)`. `retstep`, `axis` and\n"
                 "array-valued endpoints go through NumPy."),
    "abs": ("(x, *args, **kwargs)", None),
    "concatenate": ("(arrays, axis=None, **kwargs)",
                    "`concatenate(arrays, axis=0)` natively for corvantile inputs; anything\n"
                    "else (mixed types, `out=`, `dtype=`) through NumPy."),
    "stack": ("(arrays, axis=None, **kwargs)",
              "`stack(arrays, axis=0)`: insert a new axis of length one, then concatenate."),
    "sort": ("(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)",
             "`sort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)`:\n"
             "native for 1-D corvantile input; NumPy otherwise (`descending` is the\n"
             "Array API keyword NumPy lacks, applied by reversing along the axis)."),
    "argsort": ("(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)",
                "`argsort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)`:\n"
                "the `argsort` method for corvantile arrays, NumPy's function otherwise.\n"
                "`descending` is the Array API keyword NumPy lacks."),
    "_view_of": ("(source, numpy_view)",
                 "`_view_of(source, numpy_view)`: a corvantile view sharing memory with\n"
                 "`source` that has the layout of `numpy_view`, or None (see `view_of_numpy`)."),
    "isclose": ("(a, b, rtol=1e-05, atol=1e-08, equal_nan=False)",
                "`isclose(a, b, rtol=1e-05, atol=1e-08, equal_nan=False)`: native for\n"
                "corvantile arrays and scalars (result is a NumPy bool array or np.bool_),\n"
                "NumPy otherwise."),
    "_set_patch_active": ("(active)", None),
}


@pytest.mark.parametrize("name", sorted(MODULE_FUNCTIONS))
def test_module_function_signature_and_doc(name):
    signature, doc = MODULE_FUNCTIONS[name]
    f = getattr(cv, name)
    assert f.__text_signature__ == signature
    assert f.__doc__ == doc


FAMILIES = [
    ("sin", "(x, /, out=None, *, where=True, dtype=None)",
     "Element-wise `sin` with NumPy semantics: native for corvantile arrays (returns corvantile) and Python "
     "numbers (returns float), NumPy for anything else."),
    ("degrees", "(x, /, out=None, *, where=True, dtype=None)",
     "Element-wise `degrees` with NumPy semantics: native for corvantile arrays (returns corvantile) and Python "
     "numbers (returns float), NumPy for anything else."),
    ("mod_", "(x1, x2, /, out=None, *, where=True, dtype=None)",
     "Element-wise `mod_(x1, x2)` with NumPy semantics and broadcasting: native when either operand is a "
     "corvantile array, NumPy otherwise."),
    ("hypot", "(x1, x2, /, out=None, *, where=True, dtype=None)",
     "Element-wise `hypot(x1, x2)` with NumPy semantics and broadcasting: native for corvantile arrays and "
     "scalars, NumPy otherwise."),
    ("signbit", "(x, /, out=None, *, where=True)",
     "Element-wise `signbit` with NumPy semantics: native for float64 corvantile arrays (returns a bool "
     "corvantile) and Python numbers (returns np.bool_), NumPy otherwise."),
    ("all", "(a, axis=None, out=None, keepdims=False, *, where=True)",
     "Native for corvantile arrays and NumPy bool arrays, NumPy otherwise."),
    ("var", "(a, axis=None, dtype=None, out=None, ddof=0, keepdims=False, *, where=True, mean=None, "
            "correction=None)",
     "The same as the `var` method for corvantile arrays (native when the arguments allow it), NumPy's "
     "function otherwise."),
    ("nonzero", "(a)",
     "The same as the `nonzero` method for corvantile arrays (native when the arguments allow it), NumPy's "
     "function otherwise."),
]


@pytest.mark.parametrize("name, signature, doc", FAMILIES)
def test_fast_function_face(name, signature, doc):
    f = getattr(cv, name)
    assert f.__name__ == name
    assert f.__text_signature__ == signature
    assert f.__doc__ == doc
    assert f.__self__ is None
    assert f.__module__ == "corvantile._core"


def test_mod_is_numpys_mod():
    differential(lambda xp: (xp.mod_ if xp is cv else xp.mod)(np.array([7, -7]), 3, out=None))


# ---- _noop and _set_patch_active ----------------------------------------------------------

def test_noop():
    assert cv._noop() is None
    with pytest.raises(TypeError, match="takes no arguments"):
        cv._noop(1)


@pytest.mark.parametrize("value", [True, False, np.True_, np.False_, np.bool_(1)])
def test_set_patch_active_takes_bools(value):
    try:
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
    (0, "'int' object is not an instance of 'bool'"),
    (None, "'NoneType' object is not an instance of 'bool'"),
    (np.int64(1), "'int64' object is not an instance of 'bool'"),
    ("yes", "'str' object is not an instance of 'bool'"),
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
    lambda xp: xp.asarray([1, 2, 3]),
    lambda xp: xp.asarray([1, 2, 3], None),
    lambda xp: xp.asarray([1.5], dtype=np.float32),
    lambda xp: xp.array([[1, 2], [3, 4]]),
    lambda xp: xp.array([1, 2], ndmin=2),
    lambda xp: xp.where([True, False, True], [1, 2, 3], [4, 5, 6]),
    lambda xp: xp.where([0, 1, 2]),
    lambda xp: xp.where([True], [1, 2], [1, 2, 3]),
])
def test_fast_fronts_answer_like_numpy(call):
    differential(call)


def test_fronts_stand_once_at_the_end_of_the_module_body_names():
    names = core.__all__
    for name in ("asarray", "array", "where"):
        assert names.count(name) == 1
    assert names[names.index("isclose") + 1:names.index("isclose") + 4] == ["asarray", "array", "where"]


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
