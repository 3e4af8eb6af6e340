"""The in-place bitwise, shift and matrix-product operators write into their left operand,
through views and aliases, as NumPy's do; an in-place operator that raises writes nothing."""

import operator

import numpy as np
import pytest

import corvantile as cv
from conftest import assert_same_array

OPS = {"&=": operator.iand, "|=": operator.ior, "^=": operator.ixor, "<<=": operator.ilshift,
       ">>=": operator.irshift, "@=": operator.imatmul}
ALL_INPLACE = OPS | {"+=": operator.iadd, "-=": operator.isub, "*=": operator.imul, "/=": operator.itruediv,
                     "//=": operator.ifloordiv, "%=": operator.imod, "**=": operator.ipow}

BASE_VALUES = {
    np.int64: np.array([0, 1, -7, 7, 2**62, 2**63 - 1, -(2**63), 3, -1, 2**53 + 1, 5, -2, 64, 63, 9, 12]),
    np.bool_: np.array([1, 0, 1, 1, 0, 0, 1, 0, 0, 1, 1, 0, 1, 0, 1, 1], dtype=bool),
    np.float64: np.array([1.5, -2.0, 0.0, 3.0, 7.0, -1.0, 2.0, 0.5, 4.0, 1.0, -3.0, 8.0, 6.0, 2.5, 9.0, 5.0]),
}
# Operand values with shift counts below 0, at 0 and from 64 on.
OTHER_VALUES = np.array([3, 0, -1, 64, 1, 70, 2, 63, 5, -64, 7, 1, 4, 2, 62, 6])


def make_base(xp, dtype, shape=(6, 8)):
    n = int(np.prod(shape))
    return xp.asarray(np.resize(BASE_VALUES[dtype], n).reshape(shape))


def operand(xp, dtype, shape, numpy=False):
    a = np.resize(OTHER_VALUES, int(np.prod(shape))).reshape(shape)
    a = a % 2 == 1 if dtype is np.bool_ else a.astype(dtype)
    return a if numpy else xp.asarray(a)


# The left operand: (base, view of that base, or the base itself).
VIEWS = {
    "contiguous": lambda b: b,
    "rows": lambda b: b[1:4],
    "strided": lambda b: b[:, ::2],
    "reversed": lambda b: b[::-1, ::-1],
    "transposed": lambda b: b.T,
    "square block": lambda b: b[1:5, 2:6],
}
SELVES = {f"i64 {k}": (np.int64, v) for k, v in VIEWS.items()} | {
    "bool contiguous": (np.bool_, VIEWS["contiguous"]),
    "bool strided": (np.bool_, VIEWS["strided"]),
    "bool transposed": (np.bool_, VIEWS["transposed"]),
    "i64 0-d": (np.int64, None),
    "bool 0-d": (np.bool_, None),
    "f64 contiguous": (np.float64, VIEWS["contiguous"]),
    "f64 strided": (np.float64, VIEWS["strided"]),
}

OTHERS = {
    "int 3": lambda xp, x: 3,
    "int -1": lambda xp, x: -1,
    "int 65": lambda xp, x: 65,
    "True": lambda xp, x: True,
    "int 2**63": lambda xp, x: 2**63,
    "np.int32": lambda xp, x: np.int32(-2),
    "float": lambda xp, x: 2.0,
    "i64 array": lambda xp, x: operand(xp, np.int64, x.shape),
    "bool array": lambda xp, x: operand(xp, np.bool_, x.shape),
    "i64 row": lambda xp, x: operand(xp, np.int64, x.shape[-1:]),
    "bool row": lambda xp, x: operand(xp, np.bool_, x.shape[-1:]),
    "i64 too big": lambda xp, x: operand(xp, np.int64, (2, *x.shape)),
    "numpy i64": lambda xp, x: operand(xp, np.int64, x.shape, numpy=True),
    "square": lambda xp, x: operand(xp, np.int64, x.shape[-1:] * 2),
    "overlapping view": lambda xp, x: x[..., ::-1] if x.ndim else x,
    "itself": lambda xp, x: x,
}


def trial(xp, op, self_kind, other_kind):
    dtype, take = SELVES[self_kind]
    base = make_base(xp, dtype) if take else xp.asarray(np.array(BASE_VALUES[dtype][2]))
    x = take(base) if take else base
    other = OTHERS[other_kind](xp, x)
    try:
        same, error = OPS[op](x, other) is x, None
    except Exception as exc:  # noqa: BLE001 - the error is the outcome compared
        same, error = None, (type(exc), str(exc))
    return same, error, np.array(np.asarray(base))


@pytest.mark.parametrize("op", list(OPS))
@pytest.mark.parametrize("self_kind", list(SELVES))
def test_inplace_bitwise_matches_numpy(op, self_kind):
    failures = []
    for other_kind in OTHERS:
        with np.errstate(all="ignore"):
            got, want = trial(cv, op, self_kind, other_kind), trial(np, op, self_kind, other_kind)
        try:
            assert got[:2] == want[:2], f"result {got[:2]} != NumPy's {want[:2]}"
            assert_same_array(got[2], want[2], "base")
        except AssertionError as exc:
            failures.append(f"[{other_kind}] {exc}")
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize("op", ["&=", "|=", "^=", "<<=", ">>="])
@pytest.mark.parametrize("dtype", [np.int64, np.bool_])
@pytest.mark.parametrize("n", [3, 40])  # below and above the size where views are read in place
def test_shifted_overlap_reads_the_operand_first(op, dtype, n):
    def fn(xp):
        a = make_base(xp, dtype, (n,))
        results = [OPS[op](a[1:], a[:-1]), OPS[op](a[::-1][1:], a[::-1][:-1]), OPS[op](a[::2][1:], a[::2][:-1])]
        return [r is not None for r in results], np.array(np.asarray(a))
    if dtype is np.bool_ and op in ("<<=", ">>="):
        return  # NumPy refuses bool shifts: the table covers the error
    got, want = fn(cv), fn(np)
    assert got[0] == want[0]
    assert_same_array(got[1], want[1])


def test_writes_through_views_and_aliases():
    def fn(xp):
        a = xp.arange(6)
        v = a[1:4]
        v <<= 1
        first = np.asarray(a).tolist()

        def clear(x):
            x &= 0
        clear(a)
        m = xp.ones((3, 3))
        n = m
        n @= xp.ones((3, 3)) * 2
        return first, np.asarray(a).tolist(), n is m, np.asarray(m).tolist()
    assert fn(cv) == fn(np) == ([0, 2, 4, 6, 4, 5], [0] * 6, True, [[6.0] * 3] * 3)


@pytest.mark.parametrize("op", list(ALL_INPLACE))
def test_raising_on_a_strided_view_writes_nothing(op):
    b = cv.arange(28).reshape(7, 4)
    before = np.array(np.asarray(b))
    v = b[::-2, ::-1][:3].T[:2]
    other = -2 if op == "**=" else ("x" if op != "@=" else cv.ones((5, 5)))
    with pytest.raises((ValueError, TypeError)):
        ALL_INPLACE[op](v, other)
    assert_same_array(np.asarray(b), before)
    if op == "**=":
        with pytest.raises(ValueError, match=r"^Integers to negative integer powers are not allowed\.$"):
            v **= -2


@pytest.mark.parametrize("op", list(OPS))
@pytest.mark.parametrize("dtype", [np.int64, np.bool_])
def test_unsupported_operands_raise_at_once(op, dtype):
    a = make_base(cv, dtype, (4,))
    before = np.array(np.asarray(a))
    name = {"&=": "bitwise_and", "|=": "bitwise_or", "^=": "bitwise_xor", "<<=": "left_shift",
            ">>=": "right_shift", "@=": "matmul"}[op]
    with pytest.raises(TypeError, match=rf"^unsupported operand type\(s\) for in-place {name}: "
                                        r"'corvantile.ndarray' and 'object'$"):
        OPS[op](a, object())
    assert_same_array(np.asarray(a), before)


# Bytes a few apart written back in 16-byte pieces: lengths around the pieces and the
# shortest row taken that way (32), forward and backward, rows of a 2-D view; the bytes
# between belong to the base and must keep their values.
@pytest.mark.parametrize("step", [2, 3, 4, -2, -3, -4])
@pytest.mark.parametrize("n", [31, 32, 33, 47, 48, 49, 100])
def test_stepped_bytes_updated_in_place(step, n):
    rng = np.random.default_rng(n)
    base = rng.random(abs(step) * n + 5) < 0.5
    other = rng.random(n) < 0.5
    for form in ("array", "scalar", "overlap", "rows"):
        got, want = cv.asarray(base.copy()), base.copy()
        for xp, b in ((cv, got), (np, want)):
            if form == "rows":
                m = b[: 3 * (b.shape[0] // 3)].reshape(3, -1)
                k = m.shape[1] // abs(step)
                m[:, ::step][:, :k] ^= xp.asarray(other[:k])
            else:
                v = b[1::step][:n] if step > 0 else b[-2::step][:n]
                v |= {"array": xp.asarray(other), "scalar": True, "overlap": b[2:2 + n]}[form]
        assert_same_array(np.asarray(got), want, form)
