"""The ndarray type object and its instances."""

import gc
import sys
import weakref

import numpy as np
import pytest

import corvantile as cv
HAVE_GC, BASETYPE, IMMUTABLETYPE = 1 << 14, 1 << 10, 1 << 8


def test_type_object():
    t = cv.ndarray
    assert t is cv._core.ndarray
    assert (t.__name__, t.__qualname__, t.__module__, t.__bases__) == ("ndarray", "ndarray", "corvantile", (object,))
    assert repr(t) == "<class 'corvantile.ndarray'>"
    assert t.__text_signature__ == "(shape, dtype=None, buffer=None, offset=0, strides=None, order=None)"
    assert t.__doc__.startswith("Python wrapper for `Array`.\n\n") and "never reallocated" in t.__doc__
    # Subclassable, no GC, no dict, no weak references, class attributes settable.
    assert t.__flags__ & BASETYPE and not t.__flags__ & (HAVE_GC | IMMUTABLETYPE)
    assert (t.__dictoffset__, t.__weakrefoffset__, t.__itemsize__) == (0, 0, 0)
    t.some_attribute = 1
    try:
        assert t.some_attribute == 1
    finally:
        del t.some_attribute


def test_method_with_a_foreign_self_raises_type_error():
    # The interpreter's descriptor check answers before the method's own ndarray check.
    for self in (5, None):
        with pytest.raises(TypeError):
            cv.ndarray._noop(self)


def test_instances_take_no_attributes_weak_references_or_hash():
    a = cv.ndarray((2, 3))
    assert type(a).__module__ == "corvantile" and a._noop() is None
    with pytest.raises(TypeError):
        a._noop(1)
    with pytest.raises(AttributeError):
        a.anything = 1
    with pytest.raises(AttributeError):
        a.anything  # noqa: B018
    with pytest.raises(TypeError):
        weakref.ref(a)
    with pytest.raises(TypeError):
        hash(a)


def test_views_hold_their_base_until_they_are_freed():
    # No cycle support: dropping the last reference frees a view (and its hold on the base) at once.
    base = cv.array(np.arange(6.0))
    before = sys.getrefcount(base)
    gc.disable()
    try:
        views = [cv._view_of(base, np.asarray(base)[k:]) for k in range(5)]
        views += [cv._view_of(base, np.asarray(base)[::-k]) for k in range(1, 6)]
        while views:
            assert sys.getrefcount(base) == before + len(views)
            views.pop()
        assert sys.getrefcount(base) == before
    finally:
        gc.enable()


def test_subclass_instances_pass_every_check_and_free_cleanly():
    class Sub(cv.ndarray):
        pass

    before = sys.getrefcount(Sub)
    for _ in range(50):
        s = Sub((3,))
        assert type(s) is Sub and isinstance(s, cv.ndarray)
        assert memoryview(s).shape == (3,) and cv.ndarray.__array__(s).shape == (3,)
        s.extra = 1  # a Python subclass has a dict of its own
        del s
    gc.collect()
    assert sys.getrefcount(Sub) == before


def test_instances_hold_and_release_their_type():
    before = sys.getrefcount(cv.ndarray)
    arrays = [cv.ndarray((1,)) for _ in range(20)]
    assert sys.getrefcount(cv.ndarray) == before + 20
    del arrays
    assert sys.getrefcount(cv.ndarray) == before
