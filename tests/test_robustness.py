"""Random calls with awkward arguments either return or raise an ordinary Exception: no crash,
no SystemError (also CPython's word for a result returned with an error set), no error left
pending, no BaseException beyond Exception. CORVANTILE_ROBUSTNESS_EXAMPLES sets a longer hunt."""

import copy
import ctypes
import operator
import os
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import corvantile as cv
from conftest import differential


class Raises:
    def _fail(self, *args):
        raise ArithmeticError("conversion refused")
    __index__ = __int__ = __float__ = __bool__ = __len__ = __getitem__ = __iter__ = __array__ = _fail


class Mutator:
    """Changes the list holding it while converted: empties it, or swaps its last item (NumPy
    itself crashes on a list of ints that shrinks under its shape reader)."""
    def __init__(self, owner, shrink):
        self.owner, self.shrink = owner, shrink
    def _mutate(self, *args):
        self.owner[:] = [] if self.shrink else [*self.owner[:-1], 2**64]
        return 1
    __index__ = __int__ = __float__ = __bool__ = _mutate


def mutating(*items, shrink=False):
    owner = list(items)
    owner.insert(1, Mutator(owner, shrink))
    return owner


def _arrays():
    out = [lambda: type("Sub", (cv.ndarray,), {"__array__": lambda *a, **k: "no array"})((2, 2))]
    for dt in (np.float64, np.int64, np.bool_):
        for shape in ((), (0,), (3,), (2, 3), (0, 2), (1, 2) * 4, (4, 1)):
            base = (np.arange(int(np.prod(shape))).reshape(shape) % 3 - 1).astype(dt)
            out.append(lambda b=base: cv.array(b))
        big = np.arange(-5, 7).reshape(6, 2).astype(dt)
        for derive in ("cv._view_of(a, np.asarray(a)[::-2])", "cv._view_of(a, np.asarray(a)[1::2, ::-1])",
                       "a.T", "a[::-1]", "a[:, ::2]", "a[1:, None]", "a[0]", "a.T[::2]", "a[::-1][1:]"):
            out.append(lambda b=big, derive=derive: eval(derive, {"a": cv.array(b), "cv": cv, "np": np}))
    return out


def sharing(flip):
    """A strided view and its base, in either order."""
    base = cv.array(np.arange(-5.0, 7.0).reshape(6, 2))
    view = cv._view_of(base, np.asarray(base)[::-2])
    return [view, base] if flip else [base, view]


def deep(depth, leaf=1.0):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


def self_containing():
    owner = [1.0]
    owner.append(owner)
    return owner


ARRAYS = _arrays()
VALUES = ARRAYS + [(lambda src: lambda: eval(src))(src) for src in r"""
np.arange(6,dtype=np.float32).reshape(2,3)|np.array([1,2],np.uint64)|np.array([1+2j])|np.array(["ab","c"])
np.array([None,1],object)|np.array(["2020-01-01"],"M8[D]")|np.zeros(2,"i4,f8")|np.arange(8.0)[::3]
np.arange(3,dtype=">f8")|np.arange(4,dtype=">i8")|np.frombuffer(bytes(17),np.float64,2,1)|np.ones((2,2),order="F")
np.broadcast_to(np.zeros(1),(3,))|np.float64(2.5)|np.int64(-3)|np.bool_(True)|np.uint64(2**64-1)|np.float32(1)
np.dtype(">f8")|np.dtype("i8")|np.intc|np.str_("x")|0|1|2|-1|3|2**62|2**63-1|2**63|-(2**63)|2**64|10**100|True
-(10**100)|False|0.5|-0.0|float("nan")|float("inf")|-float("inf")|1j|None|""|"float64"|"int64"|"bool"|"C"|"F"
"stable"|"\ud800"|"float64\0"|b"ab"|bytearray(b"\x01\x02")|memoryview(b"\x02\0\0\0").cast("i")|["1.5"]
memoryview(bytearray(32)).cast("d")[::2]|memoryview(bytes(16)).cast("q")|[]|[[]]|[1,2.5]|[[1,2],[3]]|deep(9)
[[1,2],[3,4]]|[[[True]]]|[1,[2]]|[1,"a"]|[[1]*2]*2|[None]|[0]*9|[1]*10|[True,False,True]|deep(10**4)
[cv.zeros(2),[1,2]]|[cv.zeros(2),cv.ones(3)]|[np.float64(1),np.int64(2)]|[2**63]|[-(2**63),1.5]|[[0],[2**64]]
()|(2,3)|(-1,)|(0,2**63)|(1,)*9|(2**32,2**32)|(Ellipsis,Ellipsis)|(None,0,None)|slice(None)|slice(None,None,-1)
slice(1,None,2)|slice(0,0,0)|slice(-(10**30),10**30,2**63)|slice(2**63,None)|Ellipsis|Raises()|[Raises()]
[1.0,Raises()]|mutating(1.0,2.0,shrink=True)|mutating(2,3)|[[1.0],mutating(1.0,2.0)]|self_containing()
type("Liar",(list,),{"__len__":lambda s:5})([1,2])|range(3)|iter([1,2])|{1:2}|np.float64|np.int8|float|bool|object()""".replace("\n", "|").split("|") if src]
KEYWORDS = """axis dtype out keepdims kind order copy ddof where initial casting decimals like stable endpoint num
    retstep device ndmin shape buffer offset strides a_min a_max min max equal_nan stream max_version dl_device
    bogus""".split()
FUNCTIONS = [getattr(cv, n) for n in cv.__all__ if callable(getattr(cv, n)) and n != "ndarray"]
ATTRIBUTES = sorted(set(dir(cv.ndarray)) - set(dir(object)) | {"__repr__", "__str__", "__format__", "__sizeof__"})
BINARY = [getattr(operator, n) for n in """add sub mul truediv floordiv mod pow matmul and_ or_ xor lshift
    rshift lt le eq ne gt ge iadd isub imul itruediv ifloordiv imod ipow imatmul iand ior ixor ilshift irshift
    getitem delitem contains""".split()]
UNARY = [operator.neg, operator.pos, operator.abs, operator.invert, operator.index, len, bool, int, float, complex,
         hash, list, memoryview, copy.copy, copy.deepcopy, lambda a: pickle.loads(pickle.dumps(a)), np.from_dlpack]

value = st.sampled_from(VALUES).map(lambda make: make())
array = st.sampled_from(ARRAYS).map(lambda make: make())
args = st.builds(lambda first, rest: [*first, *rest], st.lists(array, max_size=1),
                 st.lists(array | value | st.tuples(value, value), max_size=2))
kwargs = st.dictionaries(st.sampled_from(KEYWORDS), array | value, max_size=2)
none = st.just({})
shared = st.builds(sharing, st.booleans())
method = st.tuples(array, st.sampled_from(ATTRIBUTES)).map(lambda p: getattr(*p)).filter(callable)
calls = st.one_of(
    st.tuples(st.sampled_from(FUNCTIONS), args, kwargs | none),
    st.tuples(method, args, kwargs | none),
    st.tuples(st.just(cv.ndarray), args, kwargs | none),
    st.tuples(st.sampled_from(BINARY), st.tuples(array, array | value).map(list), none),
    st.tuples(st.sampled_from(BINARY), st.tuples(value, array).map(list) | shared, none),
    st.tuples(st.just(operator.setitem), st.tuples(array, value, array | value).map(list), none),
    st.tuples(st.just(operator.setitem), st.builds(lambda p, key: [p[0], key, p[1]], shared, value), none),
    st.builds(lambda fn, pair, out: (fn, pair, {} if out is None else {"out": pair[out]}),
              st.sampled_from(FUNCTIONS), shared, st.sampled_from([None, 0, 1])),
    st.tuples(st.just(setattr), st.tuples(array, st.sampled_from(ATTRIBUTES), value).map(list), none),
    st.tuples(st.sampled_from(UNARY), st.tuples(array).map(list), none),
)

_error_pending = ctypes.pythonapi.PyErr_Occurred  # a PyDLL call raises a pending error itself
_error_pending.restype = ctypes.c_void_p


def outcome(thunk):
    """thunk() or None when it raised an ordinary exception; an internal failure fails."""
    try:
        return thunk()
    except SystemError as exc:
        raise AssertionError(f"internal failure: {exc!r}") from exc
    except RuntimeError as exc:
        assert not str(exc).endswith("panicked"), exc
    except Exception:  # noqa: BLE001 - an ordinary refusal is a pass
        pass
    finally:
        cv._set_patch_active(False)


@pytest.mark.filterwarnings("ignore")
@settings(max_examples=int(os.environ.get("CORVANTILE_ROBUSTNESS_EXAMPLES", 300)), deadline=None,
          suppress_health_check=list(HealthCheck), database=None)
@given(calls)
def test_random_calls_fail_cleanly(call):
    fn, call_args, call_kwargs = call
    if getattr(fn, "__name__", "") in ("cumsum", "cumprod") and ("out" in call_kwargs or len(call_args) > 2):
        return  # NumPy's own accumulate crashes on a 0-d out
    result = outcome(lambda: fn(*call_args, **call_kwargs))
    try:
        pending = _error_pending()
    except BaseException as exc:  # noqa: BLE001
        pytest.fail(f"a result returned with {exc!r} set")
    assert not pending, "a result returned with an error set"
    outcome(lambda: repr(result))
    if isinstance(result, cv.ndarray) and result.size < 10**6:
        outcome(lambda: np.asarray(result).tolist())  # touches every element


@pytest.mark.parametrize("name", ["sin", "sum", "asarray", "concatenate", "multiply"])
@pytest.mark.parametrize("make", [lambda: deep(10**4), self_containing, lambda: deep(70, cv.zeros(1))])
def test_deep_and_self_containing_lists_reach_numpy(name, make):
    differential(lambda xp: getattr(xp, name)(*([np.zeros(1)] if name == "multiply" else []), make()))


@pytest.mark.parametrize("call", [cv.zeros, cv.ones, cv.empty, cv.ndarray, lambda s: cv.full(s, 1.0),
                                  lambda s: cv.zeros(2).reshape(s), lambda s: cv.reshape(cv.zeros(2), s)])
def test_shape_list_emptied_while_read(call):
    assert call(mutating(2, 3, shrink=True)).shape == (2, 1)  # read as iterating the list reads it


class Interrupting:
    """An operand whose every instance attribute lookup raises `exc`."""
    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        raise self.exc("stop")


def caught(fn):
    try:
        return "ok", fn()
    except BaseException as exc:  # noqa: BLE001 - KeyboardInterrupt is the outcome compared
        return "raise", exc


def _fill(a, value):
    a.fill(value)


def _set_first(a, value):
    a[0] = value


# Only a failed attribute lookup may be swallowed while an operand is sorted: NumPy
# passes on any other error, an interrupt most of all.
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, ValueError])
@pytest.mark.parametrize("call", [
    lambda xp, a, g: a + g, lambda xp, a, g: g * a, lambda xp, a, g: a == g, lambda xp, a, g: a < g,
    lambda xp, a, g: xp.asarray(np.arange(3)) & g, lambda xp, a, g: a.__iadd__(g), lambda xp, a, g: xp.add(a, g),
    lambda xp, a, g: xp.maximum(g, a), lambda xp, a, g: xp.where(a > 1.0, a, g),
])
def test_errors_other_than_failed_lookups_propagate(exc, call):
    got, want = (caught(lambda: call(xp, xp.asarray(np.arange(3.0)), Interrupting(exc))) for xp in (cv, np))
    assert (got[0], type(got[1]), str(got[1])) == (want[0], type(want[1]), str(want[1]))


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("call", [_fill, _set_first])
def test_interrupts_propagate_where_numpy_looks_nothing_up(exc, call):
    with pytest.raises(exc, match="^stop$"):
        call(cv.asarray(np.arange(3.0)), Interrupting(exc))
