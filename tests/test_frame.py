"""The entry frames, the argument matcher, deferred releases, one-time cells, the fallback
road and NumPy scalars, reached through the test probe module."""

import math
import struct
import sys
import threading
import time
import types
import weakref

import numpy as np
import pytest

import _probe

p = _probe.load()

PO, EITHER, KW = 0, 1, 2
MISSING = "<missing>"

# f(a, /, b, c=?, *, d=?)
F = ("f", [("a", PO, True), ("b", EITHER, True), ("c", EITHER, False), ("d", KW, False)], False, False)
# g(x, *args, **kwargs)
G = ("g", [("x", EITHER, True)], True, True)
# h(a, b, c)
H = ("h", [("a", EITHER, True), ("b", EITHER, True), ("c", EITHER, True)], False, False)
# k(a=?, *, k, m)
K = ("k", [("a", EITHER, False), ("k", KW, True), ("m", KW, True)], False, False)
# two(a, b, /)
TWO = ("two", [("a", PO, True), ("b", PO, True)], False, False)
# one(x)
ONE = ("ndarray.__deepcopy__", [("_memo", EITHER, True)], False, False)
# none()
NONE = ("z", [], False, False)
# pk(a, /, **kwargs)
PK = ("pk", [("a", PO, True)], False, True)

MATCHED = [
    (F, (1, 2), {}, ((1, 2, MISSING, MISSING), None, None)),
    (F, (1,), {"b": 2, "d": 4}, ((1, 2, MISSING, 4), None, None)),
    (F, (1, 2, 3), {"d": None}, ((1, 2, 3, None), None, None)),
    (G, (1, 2, 3), {"y": 4}, ((1,), (2, 3), {"y": 4})),
    (G, (), {"x": 1}, ((1,), (), None)),
    (H, (), {"c": 3, "a": 1, "b": 2}, ((1, 2, 3), None, None)),
    (K, (), {"m": 2, "k": 1}, ((MISSING, 1, 2), None, None)),
    (PK, (1,), {"a": 2}, ((1,), None, {"a": 2})),
    (NONE, (), {}, ((), None, None)),
]

REFUSED = [
    (F, (1,), {}, "f() missing 1 required positional argument: 'b'"),
    (F, (), {}, "f() missing 2 required positional arguments: 'a' and 'b'"),
    (H, (), {}, "h() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    (H, (1,), {"c": 3}, "h() missing 1 required positional argument: 'b'"),
    (K, (), {}, "k() missing 2 required keyword arguments: 'k' and 'm'"),
    (K, (), {"k": 1}, "k() missing 1 required keyword argument: 'm'"),
    (F, (1, 2, 3, 4), {}, "f() takes from 2 to 3 positional arguments but 4 were given"),
    (H, (1, 2, 3, 4), {}, "h() takes 3 positional arguments but 4 were given"),
    (NONE, (1,), {}, "z() takes 0 positional arguments but 1 was given"),
    (ONE, (1, 2), {}, "ndarray.__deepcopy__() takes 1 positional arguments but 2 were given"),
    (F, (1, 2), {"e": 5}, "f() got an unexpected keyword argument 'e'"),
    (NONE, (), {"x": 1}, "z() got an unexpected keyword argument 'x'"),
    (F, (1, 2), {"b": 3}, "f() got multiple values for argument 'b'"),
    (ONE, (1,), {"_memo": 2}, "ndarray.__deepcopy__() got multiple values for argument '_memo'"),
    (F, (1, 2), {"a": 1}, "f() got some positional-only arguments passed as keyword arguments: 'a'"),
    (TWO, (), {"a": 1, "b": 2},
     "two() got some positional-only arguments passed as keyword arguments: 'a' and 'b'"),
    # Surplus positionals are reported before anything about keywords.
    (F, (1, 2, 3, 4), {"e": 5}, "f() takes from 2 to 3 positional arguments but 4 were given"),
    # Keywords are checked before missing arguments.
    (H, (), {"zz": 1}, "h() got an unexpected keyword argument 'zz'"),
]


@pytest.mark.parametrize("matcher", ["match_fast", "match_dict"])
@pytest.mark.parametrize("sig, args, kwargs, want", MATCHED)
def test_matcher_binds_arguments(matcher, sig, args, kwargs, want):
    assert getattr(p, matcher)(sig, *args, **kwargs) == want


@pytest.mark.parametrize("matcher", ["match_fast", "match_dict"])
@pytest.mark.parametrize("sig, args, kwargs, text", REFUSED)
def test_matcher_uses_the_interpreters_wording(matcher, sig, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        getattr(p, matcher)(sig, *args, **kwargs)
    assert str(info.value) == text


# ---- frames ---------------------------------------------------------------------------------

PANICS = [
    (0, "broken invariant"),
    (2, "runtime failure"),
    (3, "internal failure"),
    (4, "unknown internal failure"),
]


@pytest.mark.parametrize("kind, text", PANICS)
def test_internal_failure_becomes_panic_exception(kind, text):
    with pytest.raises(BaseException) as info:
        try:
            p.fail(kind)
        except Exception:  # noqa: BLE001 - the point: this must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "corvantile"
    assert type(exc).__bases__ == (BaseException,)
    assert exc.args == (text,)


def test_panic_exception_is_one_class():
    classes = set()
    for kind in (0, 2):
        try:
            p.fail(kind)
        except BaseException as exc:  # noqa: BLE001
            classes.add(type(exc))
    assert len(classes) == 1


def test_allocation_failure_becomes_memory_error():
    with pytest.raises(MemoryError):
        p.fail(1)
    with pytest.raises(MemoryError):
        p.fail_light(1)


@pytest.mark.parametrize("kind", [0, 2, 3, 4])
def test_light_frame_reports_runtime_error(kind):
    with pytest.raises(RuntimeError) as info:
        p.fail_light(kind)
    assert str(info.value) == "corvantile.probe_light panicked"


def test_attach_depth_is_restored_on_every_exit():
    assert p.attach_depth() == 1
    assert p.attach_depth_light() == 1
    for kind in range(5):
        with pytest.raises(BaseException):
            p.fail(kind)
        with pytest.raises(BaseException):
            p.fail_light(kind)
    assert p.attach_depth() == 1


# ---- deferred releases ----------------------------------------------------------------------

class Tracked:
    def __init__(self, log, name):
        self.log, self.name = log, name

    def __del__(self):
        self.log.append(self.name)


@pytest.mark.parametrize("release", ["release_on_foreign_thread", "release_while_detached"])
def test_release_while_not_attached_waits_for_the_next_entry(release):
    log = []
    obj = Tracked(log, "a")
    getattr(p, release)(obj)
    del obj  # the last reference is now the queued one
    assert log == []
    p.attach_depth_light()  # the light frame does not drain
    assert log == []
    p.noop()
    assert log == ["a"]


def test_queued_releases_run_in_order():
    log = []
    objs = [Tracked(log, i) for i in range(5)]
    p.release_on_foreign_thread(*objs)
    del objs
    assert log == []
    p.noop()
    assert log == [0, 1, 2, 3, 4]


def test_deallocation_drains_queued_releases():
    log = []
    a = p.make_array([2])
    obj = Tracked(log, "x")
    p.release_on_foreign_thread(obj)
    del obj
    assert log == []
    del a
    assert log == ["x"]


# ---- one-time cells -------------------------------------------------------------------------

def test_once_cell_retries_after_a_failed_initialisation():
    def bad():
        raise KeyError("first try")

    with pytest.raises(KeyError):
        p.once_cell(0, bad)
    value = object()
    assert p.once_cell(0, lambda: value) is value
    assert p.once_cell(0, lambda: pytest.fail("initialised twice")) is value


def test_once_cell_waiters_detach_while_another_thread_initialises():
    calls, results = [], []
    value = object()

    def slow():
        calls.append(threading.get_ident())
        time.sleep(0.2)  # the waiters must let this thread run Python code meanwhile
        return value

    threads = [threading.Thread(target=lambda: results.append(p.once_cell(1, slow))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert len(calls) == 1
    assert results == [value] * 4


def test_once_cell_refuses_recursive_initialisation():
    def recursive():
        return p.once_cell(2, lambda: 1)

    with pytest.raises(RuntimeError, match="recursively"):
        p.once_cell(2, recursive)
    assert p.once_cell(2, lambda: 7) == 7


# ---- ndarray check and array errors ---------------------------------------------------------

@pytest.mark.parametrize("obj, text", [
    (5, "'int' object is not an instance of 'ndarray'"),
    (None, "'None' is not an instance of 'ndarray'"),
    ([1.0], "'list' object is not an instance of 'ndarray'"),
    (np.zeros(2), "'ndarray' object is not an instance of 'ndarray'"),
])
def test_ndarray_check_cast_error(obj, text):
    assert p.is_ndarray(obj) is False
    for f in (p.as_ndarray, p.element_count):
        with pytest.raises(TypeError) as info:
            f(obj)
        assert str(info.value) == text


def test_ndarray_check_accepts_arrays():
    a = p.make_array([2, 3])
    assert p.is_ndarray(a) and p.as_ndarray(a) is a
    assert p.element_count(a) == 6


@pytest.mark.parametrize("kind, exc, text", [
    (0, ValueError, "operands could not be broadcast together with shapes (2, 3) (4,)"),
    (1, ValueError, "cannot reshape array of size 5 into shape with 6 elements"),
    (2, ValueError, "corvantile supports at most 8 dimensions natively, got 9"),
    (3, IndexError, "index 5 is out of bounds for axis 0 with size 3"),
    (4, IndexError, "too many indices for array: array is 2-dimensional, but 3 were indexed"),
    (5, ValueError, "some message"),
])
def test_array_error_conversion(kind, exc, text):
    with pytest.raises(exc) as info:
        p.raise_array_error(kind)
    assert type(info.value) is exc
    assert info.value.args == (text,)


# ---- adding names to a module ---------------------------------------------------------------

def test_add_name_creates_all_then_appends():
    m = types.ModuleType("m")
    p.add_name(m, "x", 1)
    p.add_name(m, "y", 2)
    p.add_name(m, "x", 3)
    assert m.__all__ == ["x", "y", "x"]
    assert (m.x, m.y) == (3, 2)


def test_add_name_takes_a_list_subclass():
    class L(list):
        pass

    m = types.ModuleType("m")
    m.__all__ = L(["a"])
    p.add_name(m, "b", 1)
    assert m.__all__ == ["a", "b"] and type(m.__all__) is L


def test_add_name_refuses_an_all_that_is_not_a_list():
    m = types.ModuleType("m")
    m.__all__ = ("a",)
    with pytest.raises(TypeError) as info:
        p.add_name(m, "b", 1)
    assert str(info.value) == "'tuple' object is not an instance of 'list'"
    assert not hasattr(m, "b")


def test_add_name_passes_other_lookup_errors_on():
    class Odd:
        @property
        def __all__(self):
            raise ValueError("no all here")

    with pytest.raises(ValueError, match="no all here"):
        p.add_name(Odd(), "b", 1)


# ---- patch switch predicate -----------------------------------------------------------------

def test_called_from_dunder_array_reads_the_callers_code_name():
    def __array__():
        return p.called_from_dunder_array()

    def other():
        return p.called_from_dunder_array()

    renamed = other
    renamed.__name__ = "__array__"  # the code object's name is what counts

    try:
        p.set_patch_active(True)
        assert __array__() is True
        assert other() is False
        assert renamed() is False
        assert p.called_from_dunder_array() is False  # called from a test function
        p.set_patch_active(np.False_)
        assert __array__() is False
    finally:
        p.set_patch_active(False)


# ---- fallback road --------------------------------------------------------------------------

def test_fallback_call_gives_numpys_result():
    got = p.fb_call("add", np.array([1.0, 2.0]), 3)
    assert type(got) is np.ndarray and got.tolist() == [4.0, 5.0]
    out = np.zeros(2)
    assert p.fb_call("multiply", np.array([1.0, 2.0]), 2, out=out) is out
    assert out.tolist() == [2.0, 4.0]


def test_fallback_call_vector_hands_keywords_on():
    out = np.zeros(3)
    got = p.fb_call_vector("add", np.ones(3), 1.0, out=out, where=np.array([True, False, True]))
    assert got is out and out.tolist() == [2.0, 0.0, 2.0]
    assert p.fb_call_vector("sqrt", 4.0) == 2.0


@pytest.mark.parametrize("call", [
    lambda xp, fb: fb("add", [1, 2], [1, 2, 3]),
    lambda xp, fb: fb("reshape", [1, 2, 3], 2),
    lambda xp, fb: fb("sqrt", "x"),
])
def test_fallback_passes_numpys_exceptions_unchanged(call):
    with pytest.raises(Exception) as want:
        call(np, lambda name, *a, **k: getattr(np, name)(*a, **k))
    for fb in (p.fb_call, p.fb_call_vector):
        with pytest.raises(Exception) as got:
            call(None, fb)
        assert type(got.value) is type(want.value)
        assert str(got.value) == str(want.value)


def test_fallback_unknown_function_raises():
    with pytest.raises(AttributeError):
        p.fb_call("no_such_function_here", 1)


def test_fallback_method_item_and_inplace_roads():
    a = np.arange(6.0).reshape(2, 3)
    assert p.fb_call_method(a, "sum", axis=0).tolist() == [3.0, 5.0, 7.0]
    assert p.fb_getitem(a, (1, slice(None, 2))).tolist() == [3.0, 4.0]
    p.fb_setitem(a, (0, 0), 9.0)
    assert a[0, 0] == 9.0
    assert p.fb_inplace(a, "add", 1.0) is a
    assert a[0].tolist() == [10.0, 2.0, 3.0]
    with pytest.raises(np._core._exceptions._UFuncOutputCastingError):
        p.fb_inplace(np.arange(3), "add", 1.5)
    got = p.fb_argsort_descending(np.array([1.0, 3.0, 3.0, 2.0]))
    assert got.tolist() == [1, 2, 3, 0]


def test_fallback_imports_the_module_again_when_it_left_the_module_table(monkeypatch):
    monkeypatch.delitem(sys.modules, "corvantile._fallback")
    assert p.fb_call("add", 1, 2) == 3
    assert "corvantile._fallback" in sys.modules


# ---- NumPy scalars --------------------------------------------------------------------------

FLOATS = [0.0, -0.0, 1.5, -2.5, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308]
INTS = [0, -7, 2**63 - 1, -(2**63)]


def bits(x):
    return struct.pack("<d", float(x))


def test_fast_road_is_taken_with_this_numpy():
    assert p.fast_road() is True


@pytest.mark.parametrize("road", ["auto", "slow"])
@pytest.mark.parametrize("value", FLOATS)
def test_np_float_keeps_every_bit(road, value):
    got = p.scalar("f", value, road)
    assert type(got) is np.float64
    if math.isnan(value):
        assert math.isnan(got)
    else:
        assert bits(got) == bits(value)


@pytest.mark.parametrize("road", ["auto", "slow"])
@pytest.mark.parametrize("value", INTS)
def test_np_i64_keeps_the_value(road, value):
    got = p.scalar("i", value, road)
    assert type(got) is np.int64 and int(got) == value


@pytest.mark.parametrize("road", ["auto", "slow"])
def test_np_bool_gives_numpys_singletons(road):
    assert p.scalar("b", True, road) is np.True_
    assert p.scalar("b", False, road) is np.False_


def test_numpy_ndarray_handle():
    assert p.numpy_ndarray() is np.ndarray
