"""NumPy's answer for every call the native module declines.

Each function gives what NumPy gives for the same call. corvantile arrays among
the operands become zero-copy NumPy views first, so NumPy computes on (and
writes into) their memory and nothing here calls back into the native module.
The native module does the same work in C while these functions are in place;
its state is read from here once (`_NUMPY`, `_numpy` and `_OWN`, the table of the
functions themselves).
Parameters are positional-only, so that any keyword reaches NumPy.
"""

import operator as _operator

import numpy as _numpy

from . import _core

# NumPy's functions as they stand now: a later replacement of numpy.<name>
# (by a user or by a patching layer) must not be what a declined call reaches.
_NUMPY = dict(vars(_numpy))
_asarray = _NUMPY["asarray"]
_flip = _NUMPY["flip"]
_argsort = _NUMPY["argsort"]
_NDARRAY = _numpy.ndarray

try:
    _CV = _core.ndarray
except AttributeError:  # a module built without the array type
    class _CV:
        pass

_INPLACE = {
    "add": _operator.iadd,
    "subtract": _operator.isub,
    "multiply": _operator.imul,
    "divide": _operator.itruediv,
    "true_divide": _operator.itruediv,
    "floor_divide": _operator.ifloordiv,
    "remainder": _operator.imod,
    "mod": _operator.imod,
    "power": _operator.ipow,
    "bitwise_and": _operator.iand,
    "bitwise_or": _operator.ior,
    "bitwise_xor": _operator.ixor,
    "left_shift": _operator.ilshift,
    "right_shift": _operator.irshift,
    "matmul": _operator.imatmul,
}


# type.__subclasscheck__ looks at the real type only, never at `__class__`
# (which a corvantile array reports as numpy.ndarray).
_is_cv_type = _CV.__subclasscheck__


# Operand types that never hold a corvantile array: a sequence of only these needs no walk.
_plain_types = frozenset(
    {int, float, bool, complex, str, bytes, slice, dict, type(None), type(Ellipsis), _NDARRAY}
).issuperset


# NumPy reads no deeper into nested sequences than its dimension limit (64), so the
# walk stops there too: a self-containing or very deep list reaches NumPy as it is.
_NESTING = 64 + 2  # and the argument tuple and the operand itself


def _np(x, seen, depth=0):
    """x with each corvantile array (also inside lists and tuples) as a NumPy view.

    Each view made is recorded in `seen` with its array, so that a result that is
    one of the views (an `out=` argument, asarray of an array) maps back.
    """
    t = type(x)
    if t is tuple or t is list:
        if depth > _NESTING or _plain_types(map(type, x)):
            return x
        items = None
        for i, item in enumerate(x):
            c = _np(item, seen, depth + 1)
            if c is not item:
                if items is None:
                    items = list(x)
                items[i] = c
        if items is None:
            return x
        return items if t is list else tuple(items)
    if _is_cv_type(t):
        v = _asarray(x)
        seen.append((v, x))
        return v
    return x


def _np_keywords(kw, seen):
    for k, v in kw.items():
        kw[k] = _np(v, seen)


def _back(r, seen):
    """NumPy's result, with any of our views replaced by the array it views."""
    t = type(r)
    if t is _NDARRAY:
        for v, x in seen:
            if r is v:
                return x
    elif t is tuple:
        return tuple([_back(i, seen) for i in r])
    return r


def _function(name):
    f = _NUMPY.get(name)
    return f if f is not None else getattr(_numpy, name)


def call(name, /, *args, **kw):
    """numpy.<name>(*args, **kw)."""
    f = _function(name)
    seen = []
    args = _np(args, seen)
    if kw:
        _np_keywords(kw, seen)
    r = f(*args, **kw)
    return _back(r, seen) if seen else r


def call_method(a, name, /, *args, **kw):
    """a.<name>(*args, **kw), with NumPy's method of that name."""
    seen = []
    m = getattr(_np(a, seen), name)
    args = _np(args, seen)
    if kw:
        _np_keywords(kw, seen)
    r = m(*args, **kw)
    return _back(r, seen) if seen else r


def getitem(a, key):
    """a[key] by NumPy's indexing."""
    seen = []
    return _np(a, seen)[_np(key, seen)]


def setitem(a, key, value):
    """a[key] = value by NumPy's assignment, into a's own memory."""
    seen = []
    _np(a, seen)[_np(key, seen)] = _np(value, seen)


def compare(a, op, other):
    """NumPy's operator `a <op> other` (op: one of the operator module's names)."""
    seen = []
    return _back(getattr(_operator, op)(_np(a, seen), _np(other, seen)), seen)


def inplace(a, name, other):
    """NumPy's `a <op>= other` for the operation `name`, into a's own memory; returns a."""
    seen = []
    v = _np(a, seen)
    o = _np(other, seen)
    op = _INPLACE.get(name)
    if op is not None:
        op(v, o)
    else:
        _function(name)(v, o, out=v)
    return a


def _argsort_arguments(a, axis=-1, kind=None, order=None, *, stable=None):
    return axis, kind, order, stable


_argsort_arguments.__name__ = _argsort_arguments.__qualname__ = "argsort"


def argsort_descending(a, /, *args, **kw):
    """Indices that order `a` descending along the axis; stable unless a kind is chosen.

    Equal elements keep their index order; NaN come first (the ascending order reversed).
    """
    axis, kind, order, stable = _argsort_arguments(a, *args, **kw)
    if kind is None and stable is None:
        kind = "stable"
    x = _asarray(_np(a, []))
    if axis is None:
        x = x.ravel()
        axis = -1
    else:
        axis = _operator.index(axis)
    if x.ndim == 0:
        return _argsort(x, axis, kind, order, stable=stable)
    # Sorting the reversed input stably and reversing back keeps equal elements
    # in index order; the indices then count from the other end.
    r = _flip(_argsort(_flip(x, axis), axis, kind, order, stable=stable), axis)
    return (x.shape[axis] - 1) - r


# The module's own functions, as defined above. The native side does their work in C
# while the module's attribute of that name is still the one listed here, and calls the
# attribute whenever it holds anything else, whether replaced before or after the first call.
_OWN = {
    "call": call,
    "call_method": call_method,
    "getitem": getitem,
    "setitem": setitem,
    "compare": compare,
    "inplace": inplace,
    "argsort_descending": argsort_descending,
}
