"""The entry frames, the argument matcher, deferred releases, one-time cells, the ndarray check
and NumPy scalars, reached through the test probe module."""

import math
import struct
import threading
import time

import numpy as np
import pytest

from conftest import load_probe


p = load_probe()

PO, EITHER, KW = 0, 1, 2
MISSING = "<missing>"

F = ("f", [("a", PO, True), ("b", EITHER, True), ("c", EITHER, False), ("d", KW, False)], False, False)
G = ("g", [("x", EITHER, True)], True, True)  # g(x, *args, **kwargs)
H = ("h", [("a", EITHER, True), ("b", EITHER, True), ("c", EITHER, True)], False, False)
K = ("k", [("a", EITHER, False), ("k", KW, True), ("m", KW, True)], False, False)  # k(a=?, *, k, m)
TWO = ("two", [("a", PO, True), ("b", PO, True)], False, False)
ONE = ("ndarray.__deepcopy__", [("_memo", EITHER, True)], False, False)
NONE = ("z", [], False, False)
PK = ("pk", [("a", PO, True)], False, True)  # pk(a, /, **kwargs)

MATCHED = [
    (F, (1, 2), {}, ((1, 2, MISSING, MISSING), None, None)),
    (F, (1,), {"b": 2, "d": 4}, ((1, 2, MISSING, 4), None, None)),
    (G, (1, 2, 3), {"y": 4}, ((1,), (2, 3), {"y": 4})), (G, (), {"x": 1}, ((1,), (), None)),
    (H, (), {"c": 3, "a": 1, "b": 2}, ((1, 2, 3), None, None)),
    (K, (), {"m": 2, "k": 1}, ((MISSING, 1, 2), None, None)), (PK, (1,), {"a": 2}, ((1,), None, {"a": 2})),
    (NONE, (), {}, ((), None, None)),
]

REFUSED = [
    (F, (1,), {}, "f() missing 1 required positional argument: 'b'"),
    (F, (), {}, "f() missing 2 required positional arguments: 'a' and 'b'"),
    (H, (), {}, "h() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    (K, (), {}, "k() missing 2 required keyword arguments: 'k' and 'm'"),
    (K, (), {"k": 1}, "k() missing 1 required keyword argument: 'm'"),
    (F, (1, 2, 3, 4), {}, "f() takes from 2 to 3 positional arguments but 4 were given"),
    (H, (1, 2, 3, 4), {}, "h() takes 3 positional arguments but 4 were given"),
    (NONE, (1,), {}, "z() takes 0 positional arguments but 1 was given"),
    (ONE, (1, 2), {}, "ndarray.__deepcopy__() takes 1 positional arguments but 2 were given"),
    (F, (1, 2), {"e": 5}, "f() got an unexpected keyword argument 'e'"),
    (F, (1, 2), {"b": 3}, "f() got multiple values for argument 'b'"),
    (F, (1, 2), {"a": 1}, "f() got some positional-only arguments passed as keyword arguments: 'a'"),
    (TWO, (), {"a": 1, "b": 2},
     "two() got some positional-only arguments passed as keyword arguments: 'a' and 'b'"),
    # Surplus positionals are reported first, then keywords, then missing arguments.
    (F, (1, 2, 3, 4), {"e": 5}, "f() takes from 2 to 3 positional arguments but 4 were given"),
    (H, (), {"zz": 1}, "h() got an unexpected keyword argument 'zz'"),
]


@pytest.mark.parametrize("matcher", ["match_fast", "match_dict"])
@pytest.mark.parametrize("sig, args, kwargs, want", MATCHED + REFUSED)
def test_matcher(matcher, sig, args, kwargs, want):
    if isinstance(want, tuple):
        assert getattr(p, matcher)(sig, *args, **kwargs) == want
        return
    with pytest.raises(TypeError) as info:
        getattr(p, matcher)(sig, *args, **kwargs)
    assert str(info.value) == want


# ---- frames ----------------------------------------------------------------------------------

@pytest.mark.parametrize("kind, text", [(0, "broken invariant"), (1, None), (2, "runtime failure"),
                                        (3, "internal failure"), (4, "unknown internal failure")])
def test_failures_become_panic_or_memory_errors_and_attach_depth_is_restored(kind, text):
    if text is None:  # an allocation failure
        for fail in (p.fail, p.fail_light):
            with pytest.raises(MemoryError):
                fail(kind)
    else:
        with pytest.raises(BaseException) as info:
            try:
                p.fail(kind)
            except Exception:  # noqa: BLE001 - the point: this must not catch it
                pytest.fail("PanicException was caught by `except Exception`")
        exc = info.value
        assert (type(exc).__name__, type(exc).__module__, type(exc).__bases__) == (
            "PanicException", "corvantile", (BaseException,))
        assert exc.args == (text,)
        with pytest.raises(type(exc)):  # one class for every kind
            p.fail(0)
        with pytest.raises(RuntimeError, match=r"^corvantile\.probe_light panicked$"):  # the light frame's report
            p.fail_light(kind)
    assert p.attach_depth() == 1 and p.attach_depth_light() == 1


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


def test_deallocation_drains_queued_releases_in_order():
    log = []
    a = p.native_copy(np.zeros(2))
    objs = [Tracked(log, i) for i in range(5)]
    p.release_on_foreign_thread(*objs)
    del objs
    assert log == []
    del a
    assert log == [0, 1, 2, 3, 4]


# ---- one-time cells -------------------------------------------------------------------------

def test_once_cell_retries_after_a_failed_or_recursive_initialisation():
    def bad():
        raise KeyError("first try")

    with pytest.raises(KeyError):
        p.once_cell(0, bad)
    value = object()
    assert p.once_cell(0, lambda: value) is value
    assert p.once_cell(0, lambda: pytest.fail("initialised twice")) is value
    with pytest.raises(RuntimeError, match="recursively"):
        p.once_cell(2, lambda: p.once_cell(2, lambda: 1))
    assert p.once_cell(2, lambda: 7) == 7


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
    assert len(calls) == 1 and results == [value] * 4


# ---- the ndarray check ----------------------------------------------------------------------

@pytest.mark.parametrize("obj, text", [
    (5, "'int' object is not an instance of 'ndarray'"), (None, "'None' is not an instance of 'ndarray'"),
    (np.zeros(2), "'ndarray' object is not an instance of 'ndarray'"),
])
def test_ndarray_check_cast_error(obj, text):
    a = p.native_copy(np.zeros((2, 3)))
    assert p.is_ndarray(a) and p.as_ndarray(a) is a and p.element_count(a) == 6
    assert p.is_ndarray(obj) is False
    for f in (p.as_ndarray, p.element_count):
        with pytest.raises(TypeError) as info:
            f(obj)
        assert str(info.value) == text


# ---- NumPy scalars --------------------------------------------------------------------------

def test_fast_road_is_taken_with_this_numpy():
    assert p.fast_road() is True


@pytest.mark.parametrize("road", ["auto", "slow"])
@pytest.mark.parametrize("kind, value", [
    *[("f", v) for v in (-0.0, 1.5, -math.inf, math.nan, 5e-324, 1.7976931348623157e308)],
    *[("i", v) for v in (0, -7, 2**63 - 1, -(2**63))], ("b", True), ("b", False)])
def test_numpy_scalars_keep_the_value(road, kind, value):
    got = p.scalar(kind, value, road)
    if kind == "b":
        assert got is (np.True_ if value else np.False_)
    elif kind == "i":
        assert type(got) is np.int64 and int(got) == value
    else:
        assert type(got) is np.float64
        assert math.isnan(got) if math.isnan(value) else struct.pack("<d", got) == struct.pack("<d", value)
