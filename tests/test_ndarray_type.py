"""The ndarray type object and its instances (instances made by the test probe, whose type
is built from the same specification as corvantile.ndarray)."""

import gc
import sys
import weakref

import pytest

import corvantile as cv
import _probe

p = _probe.load()

HAVE_GC = 1 << 14
BASETYPE = 1 << 10
IMMUTABLETYPE = 1 << 8


@pytest.fixture(params=["module", "probe"])
def ndarray(request):
    return cv.ndarray if request.param == "module" else p.ndarray_type()


def test_names(ndarray):
    assert ndarray.__name__ == "ndarray"
    assert ndarray.__qualname__ == "ndarray"
    assert ndarray.__module__ == "corvantile"
    assert repr(ndarray) == "<class 'corvantile.ndarray'>"
    assert ndarray.__bases__ == (object,)


def test_doc_and_signature(ndarray):
    assert ndarray.__text_signature__ == "(shape, dtype=None, buffer=None, offset=0, strides=None, order=None)"
    assert ndarray.__doc__.startswith("Python wrapper for `Array`.\n\n")
    assert "never reallocated" in ndarray.__doc__


def test_layout_and_flags(ndarray):
    assert ndarray.__flags__ & BASETYPE
    assert not ndarray.__flags__ & HAVE_GC
    assert not ndarray.__flags__ & IMMUTABLETYPE
    assert ndarray.__dictoffset__ == 0
    assert ndarray.__weakrefoffset__ == 0
    assert ndarray.__itemsize__ == 0


def test_class_attributes_can_be_set(ndarray):
    ndarray.some_attribute = 1
    try:
        assert ndarray.some_attribute == 1
    finally:
        del ndarray.some_attribute


def test_subclasses_can_be_defined(ndarray):
    class Sub(ndarray):
        pass

    assert issubclass(Sub, ndarray)
    assert Sub.__mro__[1] is ndarray


def test_the_module_type_is_made_once():
    assert cv.ndarray is cv._core.ndarray
    assert p.ndarray_type() is p.ndarray_type()


def test_method_with_a_foreign_self_raises_type_error():
    # The interpreter's descriptor check answers before the method's own ndarray check.
    with pytest.raises(TypeError):
        cv.ndarray._noop(5)
    with pytest.raises(TypeError):
        cv.ndarray._noop(None)


# ---- instances --------------------------------------------------------------------------------

def test_instances_are_ndarrays():
    a = p.make_array([2, 3])
    assert type(a) is p.ndarray_type()
    assert isinstance(a, p.ndarray_type())
    assert a._noop() is None
    assert type(a).__module__ == "corvantile"


def test_instances_take_no_attributes_and_no_weak_references():
    a = p.make_array([2])
    with pytest.raises(AttributeError):
        a.anything = 1
    with pytest.raises(AttributeError):
        a.anything  # noqa: B018
    with pytest.raises(TypeError):
        weakref.ref(a)


def test_method_of_an_instance_with_arguments():
    a = p.make_array([1])
    with pytest.raises(TypeError):
        a._noop(1)


def test_array_keeps_its_owner_alive_until_it_is_freed():
    class Buffer(bytearray):
        pass

    owner = Buffer(6 * 8)
    alive = weakref.ref(owner)
    a = p.make_array([2, 3], owner)
    del owner
    gc.collect()
    assert alive() is not None
    assert p.element_count(a) == 6
    del a
    assert alive() is None


def test_many_arrays_over_one_owner():
    class Buffer(bytearray):
        pass

    owner = Buffer(8)
    alive = weakref.ref(owner)
    arrays = [p.make_array([1], owner) for _ in range(10)]
    del owner
    for i in range(9):
        arrays.pop()
        assert alive() is not None, i
    arrays.pop()
    assert alive() is None


def test_arrays_are_freed_by_reference_counting():
    # No cycle support: dropping the last reference frees the array at once.
    class Buffer(bytearray):
        pass

    owner = Buffer(8)
    alive = weakref.ref(owner)
    gc.disable()
    try:
        a = p.make_array([1], owner)
        del owner, a
        assert alive() is None
    finally:
        gc.enable()


def test_subclass_instances_pass_every_check_and_free_cleanly():
    class Sub(p.ndarray_type()):
        pass

    before = sys.getrefcount(Sub)
    for _ in range(50):
        s = p.make_instance(Sub, [3])
        assert type(s) is Sub and isinstance(s, p.ndarray_type())
        assert p.is_ndarray(s) and p.element_count(s) == 3
        s.extra = 1  # a Python subclass has a dict of its own
        del s
    gc.collect()
    assert sys.getrefcount(Sub) == before


def test_instances_hold_and_release_their_type():
    t = p.ndarray_type()
    before = sys.getrefcount(t)
    arrays = [p.make_array([1]) for _ in range(20)]
    assert sys.getrefcount(t) == before + 20
    del arrays
    assert sys.getrefcount(t) == before
