"""Looks for reference and memory leaks, native calls and NumPy hand-offs alike.

Each case is a statement over a fresh set of operands `o` (arrays of every kind,
lists, scalars, NumPy objects). It is run a few hundred times to warm caches, then
ITERATIONS more times; afterwards the reference count of every operand (and of the
items of operand lists and tuples), of some shared objects and of the types involved
must be unchanged, and neither the Python heap (tracemalloc) nor the resident set
(native buffers) may have grown past a small allowance. Failing calls are cases too:
their exceptions are caught and dropped inside the loop.

    python3 benchmarks/leaks.py [-n ITERATIONS] [substring ...]
"""

import argparse
import copy
from decimal import Decimal
from fractions import Fraction
import ctypes
import gc
import os
import pickle
import sys
import tracemalloc
import types
import warnings

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if os.environ.get("CORVANTILE_PKG_ROOT"):
    sys.path.insert(0, os.environ["CORVANTILE_PKG_ROOT"])

import numpy as np  # noqa: E402

import corvantile as cv  # noqa: E402

WARMUP = 300
HEAP_ALLOWANCE = 64 * 1024  # bytes of Python heap growth tolerated over a run
RSS_ALLOWANCE = 4 * 1024 * 1024  # bytes of resident growth tolerated over a run
PAGE = os.sysconf("SC_PAGE_SIZE")

# 1000 elements per array, so that a lost buffer shows in the resident set.
ROWS, COLS = 25, 40


class Sub(cv.ndarray):
    pass


class Wrapped:
    """Makes its NumPy array with corvantile while the patch switch is on."""

    def __init__(self, values):
        self.values = values

    def __array__(self, dtype=None, copy=None):
        return cv.asarray(self.values)


class BadIndex:
    def __index__(self):
        raise RuntimeError("no index")


class _IndexTwo:
    def __index__(self):
        return 2


class BadFloat:
    def __float__(self):
        raise RuntimeError("no float")


class BadArray:
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array")


class BadSeq:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise RuntimeError("no item")
        if i > 2:
            raise IndexError(i)
        return float(i)


class Other:
    def __radd__(self, other):
        return "radd"

    def __eq__(self, other):
        raise RuntimeError("no eq")

    __hash__ = None


PyBUF_FULL_RO, PyBUF_F_CONTIGUOUS = 0x011C, 0x0058


def _buffer(obj, flags):
    # The C-level request with flags a memoryview never asks for; released when taken.
    view = ctypes.create_string_buffer(256)
    get, release = ctypes.pythonapi.PyObject_GetBuffer, ctypes.pythonapi.PyBuffer_Release
    get.argtypes, release.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int], [ctypes.c_void_p]
    if get(obj, view, flags) == 0:
        release(view)


def _patched(o):
    cv._set_patch_active(True)
    try:
        return np.asarray(o.wrapped)
    finally:
        cv._set_patch_active(False)


def operands():
    """Fresh operands; nothing here is shared between cases."""
    lf = [[float(r * COLS + c) + 0.5 for c in range(COLS)] for r in range(ROWS)]
    li = [[1000 + r * COLS + c for c in range(COLS)] for r in range(ROWS)]
    lb = [[(r + c) % 3 == 0 for c in range(COLS)] for r in range(ROWS)]
    nf, ni, nb = np.array(lf), np.array(li), np.array(lb)
    o = types.SimpleNamespace(
        lf=lf, li=li, lb=lb, nf=nf, ni=ni, nb=nb,
        f=cv.array(lf), i=cv.array(li), b=cv.array(lb),
        g=cv.array(lf), f1=cv.arange(1000.0), i1=cv.arange(1000), row=cv.array(lf[0]),
        s=2.5, k=1234, npf=np.float64(2.5), npi=np.int64(3), npb=np.bool_(True), c=1 + 2j,
        shape=(COLS, ROWS), badshape=(7, 7), axis=1, badaxis=5, idx=3, sl=slice(1, 20, 3),
        tup=(slice(None, None, 2), 3), fancy=[0, 2, 4], text="abc", dt="float32", dtf="float64",
        buf=bytearray(8000), small=cv.array([1.0, 2.0, 3.0]),
    )
    o.badindex, o.badfloat, o.badarray, o.badseq, o.other = BadIndex(), BadFloat(), BadArray(), BadSeq(), Other()
    o.sub = Sub((ROWS, COLS))
    o.wrapped = Wrapped(lf)
    o.mask = o.f > 100.0
    o.view = o.f[::2, 1::3]  # strided
    o.texts = np.array(["a"] * COLS)
    o.cview = o.f[3:9]  # contiguous
    o.pickled = pickle.dumps(o.f)
    o.cap_src = cv.array(lf)
    o.over = cv.asarray(memoryview(o.buf).cast("d"))  # over a foreign buffer
    return o


def _set(a, key, value):
    a[key] = value


def _iset(o, attr, value, op):
    # In-place on a scratch array so the operand itself keeps its values.
    x = getattr(o, attr).copy()
    op(x, value)


def _iadd(x, v):
    x += v


def _imul(x, v):
    x *= v


def _ifloordiv(x, v):
    x //= v


def _iand(x, v):
    x &= v


def _ior(x, v):
    x |= v


def _ixor(x, v):
    x ^= v


def _ilshift(x, v):
    x <<= v


def _irshift(x, v):
    x >>= v


def _imatmul(x, v):
    x @= v


def _ipow(x, v):
    x **= v


class _Reshaping:
    """A slice bound whose __index__ reshapes the array being indexed."""
    def __init__(self, a):
        self.a = a

    def __index__(self):
        self.a.shape = (2, 6)
        return 1


def _reshaping_key():
    a = cv.arange(12.0)
    return a[_Reshaping(a):3], a[::_Reshaping(a)], a[0, _Reshaping(a):]


# (name, statement over o). Names ending in " err" must raise, " any" may; " fb" marks NumPy's road.
CASES = [
    # construction and conversion
    ("array(list f)", lambda o: cv.array(o.lf)),
    ("array(list i)", lambda o: cv.array(o.li)),
    ("array(list b)", lambda o: cv.array(o.lb)),
    ("array(np f)", lambda o: cv.array(o.nf)),
    ("array(np i)", lambda o: cv.array(o.ni)),
    ("array(cv, copy=False)", lambda o: cv.array(o.f, copy=False)),
    ("array(list, dtype=int64)", lambda o: cv.array(o.lf, dtype="int64")),
    ("array(list, dtype=float32) fb", lambda o: cv.array(o.lf, dtype=o.dt)),
    ("array(ragged) err", lambda o: cv.array([[1.0, 2.0], [3.0]])),
    ("array(text) fb", lambda o: cv.array(o.text)),
    ("array(list with complex) fb", lambda o: cv.array([1.0, o.c])),
    ("array([row, row])", lambda o: cv.array([o.row, o.row])),
    ("array([npf, npf])", lambda o: cv.array([o.npf, o.npf, o.s])),
    ("array([1, 2**70]) any", lambda o: cv.array([1, 2 ** 70])),
    ("array([1.0, text]) fb", lambda o: cv.array([1.0, 2.0, o.text, 3.0])),
    ("array([1.0, None]) fb", lambda o: cv.array([1.0, None])),
    ("array(deep ragged) err", lambda o: cv.array([[1.0, 2.0], [3.0, [4.0]]])),
    ("array(range)", lambda o: cv.array(range(100))),
    ("array(bytearray) fb", lambda o: cv.array(o.buf)),
    ("array(f, dtype=bool)", lambda o: cv.array(o.f, dtype=bool)),
    ("asarray(view, dtype=int64)", lambda o: cv.asarray(o.view, dtype="int64")),
    ("asarray(np strided)", lambda o: cv.asarray(o.nf[::2, ::3])),
    ("asarray(np float32) fb", lambda o: cv.asarray(o.nf.astype(o.dt))),
    ("array(copy=False) err", lambda o: cv.array(o.lf, copy=False)),
    ("asarray(cv)", lambda o: cv.asarray(o.f)),
    ("asarray(np)", lambda o: cv.asarray(o.nf)),
    ("asarray(list)", lambda o: cv.asarray(o.li)),
    ("asarray(view)", lambda o: cv.asarray(o.view)),
    ("asarray(memoryview)", lambda o: cv.asarray(memoryview(o.buf).cast("d"))),
    ("asarray(bad dtype) err", lambda o: cv.asarray(o.lf, dtype="nope")),
    ("ndarray(shape)", lambda o: cv.ndarray(o.shape)),
    ("ndarray(shape, buffer)", lambda o: cv.ndarray((10, 100), buffer=o.buf)),
    ("ndarray(short buffer) err", lambda o: cv.ndarray((100, 100), buffer=o.buf)),
    ("ndarray(int64)", lambda o: cv.ndarray(o.shape, dtype="int64")),
    ("ndarray(buffer, offset)", lambda o: cv.ndarray((10,), buffer=bytes(o.buf), offset=8)),
    ("ndarray(strides) err", lambda o: cv.ndarray((10,), strides=(8,))),
    ("ndarray(bad shape) err", lambda o: cv.ndarray(o.text)),
    ("ndarray(bad dtype) err", lambda o: cv.ndarray(o.shape, dtype=o.dt)),
    ("copy()", lambda o: o.f.copy()),
    ("astype(int64)", lambda o: o.f.astype("int64")),
    ("astype(float32) fb", lambda o: o.f.astype(o.dt)),
    ("tolist-ish list(view)", lambda o: list(o.small)),
    ("float(small[0])", lambda o: float(o.small[0])),
    ("float(f) err", lambda o: float(o.f)),
    ("asarray(over)", lambda o: cv.asarray(o.over)),
    ("over + s", lambda o: o.over + o.s),
    ("over[::2]", lambda o: o.over[::2]),
    ("over[::2].T view", lambda o: cv._view_of(o.over[::2], np.asarray(o.over)[::4])),
    ("Sub(shape)", lambda o: Sub(o.shape)),
    ("Sub(bad) err", lambda o: Sub(o.text)),
    ("sub + f", lambda o: o.sub + o.f),
    ("sub[sl]", lambda o: o.sub[o.sl]),
    ("sub.T", lambda o: o.sub.T),
    ("np.asarray(sub)", lambda o: np.asarray(o.sub)),
    ("sub.__dlpack__", lambda o: o.sub.__dlpack__()),
    ("pickle(sub) any", lambda o: pickle.loads(pickle.dumps(o.sub))),
    ("patched __array__", _patched),
    ("_set_patch_active(1) err", lambda o: cv._set_patch_active(1)),
    ("array([1.0, badfloat]) any", lambda o: cv.array([1.0, o.badfloat])),
    ("array([badseq]) err", lambda o: cv.array([o.badseq, o.badseq])),
    ("array(badseq) err", lambda o: cv.array(o.badseq)),
    ("asarray(badarray) err", lambda o: cv.asarray(o.badarray)),
    ("array([f, badarray]) err", lambda o: cv.array([o.row, o.badarray])),
    ("f + other", lambda o: o.f + o.other),
    ("f == other err", lambda o: o.f == o.other),
    ("add(f, other) any", lambda o: cv.add(o.f, o.other)),
    ("f[badindex] err", lambda o: o.f[o.badindex]),
    ("f[1, badindex] err", lambda o: o.f[1, o.badindex]),
    ("a[bound reshaping a:3]", lambda o: _reshaping_key()),
    ("f[badindex] = s err", lambda o: _set(o.f, o.badindex, o.s)),
    ("f[0] = badseq err", lambda o: _set(o.f, 0, o.badseq)),
    ("f[0, 0] = badfloat err", lambda o: _set(o.f, (0, 0), o.badfloat)),
    ("sum(axis=badindex) err", lambda o: cv.sum(o.f, axis=o.badindex)),
    ("reshape(badindex) err", lambda o: o.f.reshape((o.badindex, 5))),
    ("zeros((badindex,)) err", lambda o: cv.zeros((o.badindex,))),
    ("ndarray((badindex,)) err", lambda o: cv.ndarray((o.badindex,))),
    ("full(shape, badfloat) any", lambda o: cv.full(o.shape, o.badfloat)),
    ("arange(badindex) err", lambda o: cv.arange(o.badindex)),
    ("linspace(badfloat) err", lambda o: cv.linspace(o.badfloat, 1.0, 10)),
    ("concatenate([f, badseq]) err", lambda o: cv.concatenate([o.f, o.badseq])),
    ("where(mask, f, badarray) err", lambda o: cv.where(o.mask, o.f, o.badarray)),
    ("transpose(badindex) err", lambda o: o.f.transpose((o.badindex, 0))),
    ("f += badarray err", lambda o: _iset(o, "f", o.badarray, _iadd)),
    ("round(f, badindex) err", lambda o: cv.round(o.f, o.badindex)),
    ("sin(badseq) err", lambda o: cv.sin(o.badseq)),
    ("isclose(f, badarray) err", lambda o: cv.isclose(o.f, o.badarray)),
    # creation
    ("zeros", lambda o: cv.zeros(o.shape)),
    ("ones int", lambda o: cv.ones(o.shape, dtype="int64")),
    ("empty", lambda o: cv.empty(o.shape)),
    ("full", lambda o: cv.full(o.shape, o.s)),
    ("full(text) fb", lambda o: cv.full(o.shape, o.text)),
    ("full(list)", lambda o: cv.full(o.shape, o.lf[0][:25])),
    ("full(npf)", lambda o: cv.full(o.shape, o.npf)),
    ("zeros(bad shape) err", lambda o: cv.zeros((-1, 3))),
    ("zeros(float32) fb", lambda o: cv.zeros(o.shape, dtype=o.dt)),
    ("arange", lambda o: cv.arange(o.k)),
    ("arange float", lambda o: cv.arange(0.0, 100.0, 0.1)),
    ("arange(step 0) err", lambda o: cv.arange(1, 2, 0)),
    ("linspace", lambda o: cv.linspace(0.0, 1.0, 1000)),
    ("linspace retstep", lambda o: cv.linspace(0.0, 1.0, 1000, retstep=True)),
    ("linspace(bad num) err", lambda o: cv.linspace(0.0, 1.0, -3)),
    # operators
    ("f + f", lambda o: o.f + o.g),
    ("f + i", lambda o: o.f + o.i),
    ("f + s", lambda o: o.f + o.s),
    ("s - f", lambda o: o.s - o.f),
    ("i * k", lambda o: o.i * o.k),
    ("f * npf", lambda o: o.f * o.npf),
    ("npf * f", lambda o: o.npf * o.f),
    ("f / np", lambda o: o.f / o.nf),
    ("np / f", lambda o: o.nf / o.f),
    ("f + list", lambda o: o.f + o.lf),
    ("f + row (broadcast)", lambda o: o.f + o.row),
    ("i // i", lambda o: o.i // o.i),
    ("i % k", lambda o: o.i % o.k),
    ("f ** 2", lambda o: o.f ** 2),
    ("b & b", lambda o: o.b & o.mask),
    ("i << 2", lambda o: o.i << 2),
    ("f @ f.T", lambda o: o.f @ o.f.T),
    ("f + complex fb", lambda o: o.f + o.c),
    ("f + text err", lambda o: o.f + o.text),
    ("f + badshape err", lambda o: o.f + cv.ones(o.badshape)),
    ("f & f err", lambda o: o.f & o.g),
    ("i // 0", lambda o: o.i // 0),
    ("-f", lambda o: -o.f),
    ("abs(i)", lambda o: abs(o.i)),
    ("~b", lambda o: ~o.b),
    ("~f err", lambda o: ~o.f),
    ("f == None", lambda o: o.f == None),  # noqa: E711
    ("f + float32 fb", lambda o: o.f + np.float32(1.0)),
    ("list + f", lambda o: o.lf + o.f),
    ("k - i", lambda o: o.k - o.i),
    ("f < g", lambda o: o.f < o.g),
    ("f == s", lambda o: o.f == o.s),
    ("i >= np", lambda o: o.i >= o.ni),
    ("f != list", lambda o: o.f != o.lf),
    ("f == text", lambda o: o.f == o.text),
    ("f < text err", lambda o: o.f < o.text),
    ("f == badshape err", lambda o: o.f == cv.ones(o.badshape)),
    ("f < complex fb", lambda o: o.f < o.c),
    ("f += s", lambda o: _iset(o, "f", o.s, _iadd)),
    ("f += i", lambda o: _iset(o, "f", o.i, _iadd)),
    ("f *= np", lambda o: _iset(o, "f", o.nf, _imul)),
    ("view += s", lambda o: _iadd(o.f[::2, 1::3], o.s)),
    ("i += s err", lambda o: _iset(o, "i", o.s, _iadd)),
    ("i //= 0", lambda o: _iset(o, "i", 0, _ifloordiv)),
    ("f &= b err", lambda o: _iset(o, "f", o.b, _iand)),
    ("i &= k", lambda o: _iset(o, "i", o.k, _iand)),
    ("i |= i", lambda o: _iset(o, "i", o.i, _ior)),
    ("b ^= mask", lambda o: _iset(o, "b", o.mask, _ixor)),
    ("i <<= row", lambda o: _iset(o, "i", o.i[0] % 70, _ilshift)),
    ("i >>= npi", lambda o: _iset(o, "i", o.npi, _irshift)),
    ("view &= k", lambda o: _iand(o.i[::2, 1::3], o.k)),
    ("view ^= view", lambda o: _ixor(o.i[:, 1:], o.i[:, :-1])),
    ("b |= k err", lambda o: _iset(o, "b", o.k, _ior)),
    ("i ^= object err", lambda o: _iset(o, "i", o.other, _ixor)),
    ("f @= square", lambda o: _iset(o, "f", np.ones((COLS, COLS)), _imatmul)),
    ("view @= f err", lambda o: _imatmul(o.i[::2, 1::3], o.f)),
    ("view **= -2 err", lambda o: _ipow(o.i[::2, 1::3], -2)),
    ("f += complex err", lambda o: _iset(o, "f", o.c, _iadd)),
    # module element-wise functions
    ("sin(f)", lambda o: cv.sin(o.f)),
    ("sqrt(list)", lambda o: cv.sqrt(o.lf)),
    ("exp(view)", lambda o: cv.exp(o.view)),
    ("negative(i)", lambda o: cv.negative(o.i)),
    ("sin(s)", lambda o: cv.sin(o.s)),
    ("sin(npf)", lambda o: cv.sin(o.npf)),
    ("sin(complex) fb", lambda o: cv.sin(o.c)),
    ("sin(text) err", lambda o: cv.sin(o.text)),
    ("sin(out=) fb", lambda o: cv.sin(o.f, out=o.g)),
    ("add(f, i)", lambda o: cv.add(o.f, o.i)),
    ("add(f, s)", lambda o: cv.add(o.f, o.s)),
    ("add(np, f)", lambda o: cv.add(o.nf, o.f)),
    ("add(dtype=float32) fb", lambda o: cv.add(o.f, o.g, dtype=o.dt)),
    ("add(badshape) err", lambda o: cv.add(o.f, cv.ones(o.badshape))),
    ("power(i, -1) err", lambda o: cv.power(o.i, -1)),
    ("arctan2(f, g)", lambda o: cv.arctan2(o.f, o.g)),
    ("maximum(f, npf)", lambda o: cv.maximum(o.f, o.npf)),
    ("isnan(f)", lambda o: cv.isnan(o.f)),
    ("isfinite(list)", lambda o: cv.isfinite(o.lf)),
    ("signbit(view)", lambda o: cv.signbit(o.view)),
    ("isclose(f, g)", lambda o: cv.isclose(o.f, o.g)),
    ("isclose(kw) fb", lambda o: cv.isclose(o.f, o.g, rtol=o.s, equal_nan=True)),
    ("where(mask, f, i)", lambda o: cv.where(o.mask, o.f, o.i)),
    ("where(mask, s, k)", lambda o: cv.where(o.mask, o.s, o.k)),
    ("where(list, np, f)", lambda o: cv.where(o.lb, o.nf, o.f)),
    ("where(mask)", lambda o: cv.where(o.mask)),
    ("where(mask, f) err", lambda o: cv.where(o.mask, o.f)),
    ("clip(f)", lambda o: cv.clip(o.f, 1.0, 100.0)),
    ("round(f, 2)", lambda o: cv.round(o.f, 2)),
    ("dot(f, f.T)", lambda o: cv.dot(o.f, o.f.T)),
    ("dot(badshape) err", lambda o: cv.dot(o.f, o.f)),
    ("f.clip(kw)", lambda o: o.f.clip(min=1.0)),
    ("f.round(decimals)", lambda o: o.f.round(decimals=1)),
    ("f.dot(g.T)", lambda o: o.f.dot(o.g.T)),
    ("f.clip(bad) err", lambda o: o.f.clip(o.text, 2.0)),
    ("mod_(i, k)", lambda o: cv.mod_(o.i, o.k)),
    ("remainder(f, s)", lambda o: cv.remainder(o.f, o.s)),
    ("copysign(f, list)", lambda o: cv.copysign(o.f, o.lf)),
    ("logaddexp(f, i)", lambda o: cv.logaddexp(o.f, o.i)),
    ("fmax(f, np)", lambda o: cv.fmax(o.f, o.nf)),
    ("hypot(f) err", lambda o: cv.hypot(o.f)),
    ("sin(kw order) fb", lambda o: cv.sin(o.f, order="F")),
    ("fabs(i)", lambda o: cv.fabs(o.i)),
    ("sign(b) err", lambda o: cv.sign(o.b)),
    ("ravel(list)", lambda o: cv.ravel(o.li)),
    ("reshape(np)", lambda o: cv.reshape(o.nf, -1)),
    ("copy(view)", lambda o: cv.copy(o.view)),
    ("nonzero(list)", lambda o: cv.nonzero(o.lb)),
    ("argmax(f, axis)", lambda o: cv.argmax(o.f, axis=0)),
    ("min(f, initial) fb", lambda o: cv.min(o.f, initial=3.0)),
    ("cumprod(b)", lambda o: cv.cumprod(o.b)),
    ("abs(view)", lambda o: cv.abs(o.view)),
    ("abs(text) err", lambda o: cv.abs(o.text)),
    # reductions
    ("sum(f)", lambda o: cv.sum(o.f)),
    ("sum(f, axis)", lambda o: cv.sum(o.f, axis=o.axis)),
    ("f.sum(keepdims)", lambda o: o.f.sum(axis=0, keepdims=True)),
    ("mean(i)", lambda o: cv.mean(o.i)),
    ("std(view)", lambda o: cv.std(o.view)),
    ("var(f, ddof)", lambda o: o.f.var(ddof=1)),
    ("max(f, axis)", lambda o: o.f.max(axis=0)),
    ("argmin(i)", lambda o: o.i.argmin()),
    ("prod(b)", lambda o: cv.prod(o.b)),
    ("cumsum(f, axis)", lambda o: cv.cumsum(o.f, axis=1)),
    ("all(b)", lambda o: cv.all(o.b)),
    ("any(f, axis)", lambda o: o.f.any(axis=1)),
    ("sum(list)", lambda o: cv.sum(o.lf)),
    ("sum(badaxis) err", lambda o: cv.sum(o.f, axis=o.badaxis)),
    ("max(empty) err", lambda o: cv.max(cv.zeros((0,)))),
    ("sum(dtype=float32) fb", lambda o: o.f.sum(dtype=o.dt)),
    ("sum(where=) fb", lambda o: cv.sum(o.f, where=o.mask)),
    ("mean(bad kw) err", lambda o: o.f.mean(bogus=1)),
    # sorting, joining, selection
    ("sort(f)", lambda o: cv.sort(o.f)),
    ("argsort(i)", lambda o: cv.argsort(o.i)),
    ("argsort(kind) fb", lambda o: o.f.argsort(kind="heapsort")),
    ("nonzero(b)", lambda o: o.b.nonzero()),
    ("concatenate", lambda o: cv.concatenate([o.f, o.g])),
    ("concatenate(mixed)", lambda o: cv.concatenate((o.f, o.nf, o.i))),
    ("concatenate(bad) err", lambda o: cv.concatenate([o.f, o.row])),
    ("concatenate(axis=None)", lambda o: cv.concatenate([o.f, o.g], axis=None)),
    ("concatenate(out=) fb", lambda o: cv.concatenate([o.row, o.row], out=cv.zeros(80))),
    ("concatenate(text) err", lambda o: cv.concatenate(o.text)),
    ("sort(axis=None)", lambda o: cv.sort(o.view, axis=None)),
    ("sort(kind=stable)", lambda o: cv.sort(o.i, kind="stable")),
    ("sort(axis bad) err", lambda o: cv.sort(o.f, axis=o.badaxis)),
    ("stack", lambda o: cv.stack([o.f, o.g], axis=1)),
    ("stack(bad) err", lambda o: cv.stack([o.f, o.row])),
    # indexing
    ("f[idx]", lambda o: o.f[o.idx]),
    ("f[idx, idx]", lambda o: o.f[o.idx, o.idx]),
    ("f[sl]", lambda o: o.f[o.sl]),
    ("f[tup] strided", lambda o: o.f[o.tup]),
    ("f[...]", lambda o: o.f[...]),
    ("f[None]", lambda o: o.f[None]),
    ("f[mask]", lambda o: o.f[o.mask]),
    ("f[fancy]", lambda o: o.f[o.fancy]),
    ("f[np index]", lambda o: o.f[o.npi]),
    ("view[1]", lambda o: o.view[1]),
    ("view[::2] (view of view)", lambda o: o.view[::2]),
    ("view.T[1:]", lambda o: o.view.T[1:]),
    ("f.T + 1.0 (memory order)", lambda o: o.f.T + 1.0),
    ("(-f.T)[1:].T, its base", lambda o: ((-o.f.T)[1:].T, (o.f.T * 2.0).base)),
    ("cview[2:4, ::5]", lambda o: o.cview[2:4, ::5]),
    ("f[99] err", lambda o: o.f[99]),
    ("f[text] err", lambda o: o.f[o.text]),
    ("f[1.5] err", lambda o: o.f[1.5]),
    ("f[badmask] err", lambda o: o.f[o.b[0]]),
    ("f[True] fb", lambda o: o.f[True]),
    ("f[-1, npi]", lambda o: o.f[-1, o.npi]),
    ("f[mask] = row err", lambda o: _set(o.f, o.mask, o.row)),
    ("f[1:] = f[:-1]", lambda o: _set(o.f, slice(1, None), o.f[:-1])),
    ("f[idx] = np", lambda o: _set(o.f, o.idx, o.nf[0])),
    ("view[0] = view[1]", lambda o: _set(o.view, 0, o.view[1])),
    ("f[idx] = s", lambda o: _set(o.f, o.idx, o.s)),
    ("f[sl] = row", lambda o: _set(o.f, o.sl, o.row)),
    ("f[mask] = s", lambda o: _set(o.f, o.mask, o.s)),
    ("view[...] = s", lambda o: _set(o.view, Ellipsis, o.s)),
    ("f[idx] = list", lambda o: _set(o.f, o.idx, o.lf[0])),
    ("f[fancy] = s fb", lambda o: _set(o.f, o.fancy, o.s)),
    ("f[idx] = text err", lambda o: _set(o.f, o.idx, o.text)),
    ("f[99] = s err", lambda o: _set(o.f, 99, o.s)),
    ("i[0,0] = complex err", lambda o: _set(o.i, (0, 0), o.c)),
    ("f[idx] = badshape err", lambda o: _set(o.f, o.idx, cv.ones(7))),
    # shape methods and attributes
    ("reshape", lambda o: o.f.reshape(o.shape)),
    ("reshape(-1)", lambda o: o.f.reshape(-1)),
    ("reshape(view)", lambda o: o.view.reshape(-1)),
    ("reshape(bad) err", lambda o: o.f.reshape(o.badshape)),
    ("reshape(order=F) fb", lambda o: o.f.reshape(o.shape, order="F")),
    ("ravel", lambda o: o.view.ravel()),
    ("flatten", lambda o: o.f.flatten()),
    ("transpose", lambda o: o.f.transpose()),
    ("transpose(axes)", lambda o: cv.transpose(o.f, (1, 0))),
    ("transpose(bad) err", lambda o: o.f.transpose((0, 0))),
    ("T", lambda o: o.f.T),
    ("shape/strides/dtype", lambda o: (o.view.shape, o.view.strides, o.f.dtype, o.f.base)),
    ("fill", lambda o: o.g.fill(o.s)),
    ("fill err", lambda o: o.g.fill(o.text)),
    ("_view_of", lambda o: cv._view_of(o.f, np.asarray(o.f)[::-2])),
    ("_view_of(view)", lambda o: cv._view_of(o.view, np.asarray(o.f).T)),
    ("_view_of(other) none", lambda o: cv._view_of(o.f, o.nf)),
    ("_view_of(bad) err", lambda o: cv._view_of(o.f)),
    # export
    ("memoryview", lambda o: memoryview(o.f).release()),
    ("memoryview(view)", lambda o: memoryview(o.view)),
    ("buffer FULL_RO(view)", lambda o: _buffer(o.view, PyBUF_FULL_RO)),
    ("buffer F_CONTIGUOUS err", lambda o: _buffer(o.f, PyBUF_F_CONTIGUOUS)),
    ("bytes(f)", lambda o: bytes(o.f)),
    ("np.asarray(f)", lambda o: np.asarray(o.f)),
    ("np.asarray(view)", lambda o: np.asarray(o.view)),
    ("np.array(f, float32)", lambda o: np.array(o.f, dtype=o.dt)),
    ("__array__(copy)", lambda o: o.f.__array__(copy=True)),
    ("__array__(bad) err", lambda o: o.f.__array__(bogus=1)),
    ("__dlpack__ untaken", lambda o: o.f.__dlpack__()),
    ("__dlpack__ untaken (view)", lambda o: o.view.__dlpack__()),
    ("__dlpack__(bad) err", lambda o: o.f.__dlpack__(stream=5)),
    ("__dlpack_device__", lambda o: o.f.__dlpack_device__()),
    ("np.from_dlpack", lambda o: np.from_dlpack(o.cap_src)),
    ("np.from_dlpack(view)", lambda o: np.from_dlpack(o.view)),
    ("__dlpack__ versioned untaken", lambda o: o.f.__dlpack__(max_version=(1, 0))),
    ("__dlpack__ copy untaken", lambda o: o.view.__dlpack__(copy=True)),
    ("__dlpack__(device) err", lambda o: o.f.__dlpack__(dl_device=(2, 0))),
    ("__dlpack__(max_version) err", lambda o: o.f.__dlpack__(max_version=(1,))),
    ("__dlpack__(copy text) err", lambda o: o.f.__dlpack__(copy=o.text)),
    ("np.from_dlpack(copy)", lambda o: np.from_dlpack(o.f, copy=True)),
    ("np.asarray(dtype)", lambda o: np.asarray(o.f, dtype=o.dt)),
    ("__array__(dtype)", lambda o: o.f.__array__(np.dtype("int64"))),
    ("np.sin(f)", lambda o: np.sin(o.f)),
    ("np + cv via np.add", lambda o: np.add(o.nf, o.f)),
    # pickling and copies
    ("pickle.dumps", lambda o: pickle.dumps(o.f)),
    ("pickle.loads", lambda o: pickle.loads(o.pickled)),
    ("pickle(view)", lambda o: pickle.loads(pickle.dumps(o.view))),
    ("__reduce__", lambda o: o.i.__reduce__()),
    ("__deepcopy__", lambda o: o.f.__deepcopy__({})),
    ("copy.copy", lambda o: copy.copy(o.f)),
    ("copy.deepcopy(view)", lambda o: copy.deepcopy(o.view)),
    ("pickle protocol 5", lambda o: pickle.loads(pickle.dumps(o.b, protocol=5))),
    ("__reduce_ex__(5)", lambda o: o.f.__reduce_ex__(5)),
    ("repr row", lambda o: repr(o.row)),
    ("str view", lambda o: str(o.view[:2])),
    ("len/iter 2d", lambda o: (len(o.f), list(o.f))),
    ("isinstance np", lambda o: isinstance(o.f, np.ndarray)),
    ("astype(bool)", lambda o: o.view.astype(bool)),
    ("astype(text) err", lambda o: o.f.astype(o.text)),
    ("repr small", lambda o: repr(o.small)),
    ("len/iter", lambda o: [x for x in o.small]),
    ("bool err", lambda o: bool(o.f)),
    ("complex(small[0])", lambda o: complex(o.small[0])),
    ("dot(row, row, out=None) fb", lambda o: cv.dot(o.row, o.row, out=None)),
    ("small.dot(small, out) fb", lambda o: o.small.dot(o.small, cv.zeros(()))),
    ("i // i fb", lambda o: o.i // o.i),
    ("sin(view, out=(g,)) err", lambda o: cv.sin(o.view, out=(o.g,))),
    ("cumsum([f, [row] * 25]) fb", lambda o: cv.cumsum([o.f, [o.row] * ROWS], axis=0)),
    ("var(correction=) fb", lambda o: cv.var(o.f, correction=1)),
    ("sum(f, a=f) err", lambda o: cv.sum(o.f, a=o.f)),
    ("f == text array fb", lambda o: (o.f == o.texts, o.f != o.texts)),
    ("argmax(np) fb", lambda o: cv.argmax(o.nf)),
    ("any(f, bogus=) err", lambda o: cv.any(o.f, bogus=1)),
    ("any(f, 0, out) fb", lambda o: cv.any(o.small, 0, cv.zeros((), bool))),
    ("small.dot(b=, out=) fb", lambda o: (o.small.dot(b=o.small), o.small.dot(b=o.small, out=cv.zeros(())))),
    ("f * Fraction fb", lambda o: o.small * Fraction(1, 3)),
    ("f == __index__ fb", lambda o: o.small == _IndexTwo()),
    ("f * Decimal err", lambda o: o.small * Decimal("1.5")),
    ("arange underflow", lambda o: cv.arange(0.0, 1e-300, 1e300)),
    ("f[:, 1] err", lambda o: o.small[:, 1]),
]

# Objects every case shares; their counts must not move either.
SHARED = [None, True, False, 0, 1, -1, Ellipsis, NotImplemented, (), "float64", "int64", "bool",
          cv.ndarray, np.ndarray, np.float64, np.int64, np.bool_, float, int, bool, complex,
          np.dtype("float64"), np.dtype("int64"), np.dtype("bool"), np.dtype("float32"), Sub]


def watched(o):
    objs = list(SHARED)
    for value in vars(o).values():
        objs.append(value)
        if isinstance(value, (list, tuple)):
            for item in value:
                objs.append(item)
                if isinstance(item, list):
                    objs.extend(item)
    return objs


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def outcome(stmt):
    """The exception a call raises on fresh operands, or None."""
    try:
        stmt(operands())
    except Exception as exc:  # noqa: BLE001
        return exc
    return None


def run_case(stmt, iterations):
    o = operands()

    def loop(n):
        for _ in range(n):
            try:
                stmt(o)
            except Exception:  # noqa: BLE001 - failing calls are cases too
                pass

    loop(WARMUP)
    gc.collect()
    objs = watched(o)
    before = [sys.getrefcount(x) for x in objs]
    heap0 = tracemalloc.get_traced_memory()[0]
    rss0 = rss()
    loop(iterations)
    gc.collect()
    heap = tracemalloc.get_traced_memory()[0] - heap0
    grown = rss() - rss0
    after = [sys.getrefcount(x) for x in objs]
    names = {id(v): k for k, v in vars(o).items()}
    moved = []
    for x, b, a in zip(objs, before, after):
        if a != b:
            label = names.get(id(x)) or (x.__name__ if isinstance(x, type) else repr(x)[:40])
            moved.append(f"{label}: {b}->{a}")
    return moved, heap, grown


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", "--iterations", type=int, default=20000)
    parser.add_argument("select", nargs="*")
    args = parser.parse_args(argv[1:])
    print(f"corvantile from {os.path.dirname(cv.__file__)}; {args.iterations} iterations per case")
    warnings.simplefilter("ignore")  # floor division by zero and the like, thousands of times
    tracemalloc.start()
    failures = 0
    selected = [c for c in CASES if not args.select or any(s in c[0] for s in args.select)]
    for name, stmt in selected:
        # A case meant to fail must fail, and the others must not, or it tests the wrong road.
        exc = outcome(stmt)
        if not name.endswith(" any") and (exc is not None) != name.endswith(" err"):
            failures += 1
            print(f"WRONG {name:<34} raised {type(exc).__name__}: {exc}" if exc else f"WRONG {name:<34} did not raise")
            continue
        moved, heap, grown = run_case(stmt, args.iterations)
        bad = moved or heap > HEAP_ALLOWANCE or grown > RSS_ALLOWANCE
        failures += bool(bad)
        status = "LEAK" if bad else "ok"
        extra = f"  refcounts {', '.join(moved)}" if moved else ""
        print(flush=True, end="")
        print(f"{status:<5} {name:<34} heap {heap / 1024:+9.1f} KiB  rss {grown / 1024:+9.1f} KiB{extra}")
    print(f"{len(selected)} cases, {failures} leaking")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
