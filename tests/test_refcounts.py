"""Calls native and handed to NumPy, succeeding and failing, keep their arguments'
reference counts. (benchmarks/leaks.py is the long run that also watches memory.)"""

import pickle
import sys

import numpy as np
import pytest

import corvantile as cv

RUNS = 100


def operands():
    lf = [[0.5 + r * 4 + c for c in range(4)] for r in range(3)]
    f = cv.array(lf)
    return dict(lf=lf, f=f, g=cv.array(lf), i=cv.array([[1000 + c for c in range(4)]] * 3),
                b=f > 3.0, view=f[::2, 1::2], nf=np.array(lf), s=2.5, k=1234, npf=np.float64(2.5),
                c=1 + 2j, text="abc", shape=(4, 3), badshape=(5, 5), sl=slice(0, 3, 2), fancy=[0, 2])


def _set(a, key, value):
    a[key] = value


def _iadd(a, value):
    a += value


CALLS = {
    "array(list)": lambda o: cv.array(o["lf"]), "array(ragged)": lambda o: cv.array([o["lf"], [o["s"]]]),
    "array(float32)": lambda o: cv.array(o["lf"], dtype="float32"), "asarray(np)": lambda o: cv.asarray(o["nf"]),
    "asarray(view)": lambda o: cv.asarray(o["view"], dtype="int64"), "full": lambda o: cv.full(o["shape"], o["s"]),
    "full(text)": lambda o: cv.full(o["shape"], o["text"]), "zeros(bad)": lambda o: cv.zeros(o["text"]),
    "f + g": lambda o: o["f"] + o["g"], "f * s": lambda o: o["f"] * o["s"], "k - i": lambda o: o["k"] - o["i"],
    "f + np": lambda o: o["f"] + o["nf"], "f + list": lambda o: o["f"] + o["lf"], "f + c": lambda o: o["f"] + o["c"],
    "f + text": lambda o: o["f"] + o["text"], "f & f": lambda o: o["f"] & o["g"], "f < npf": lambda o: o["f"] < o["npf"],
    "f == text": lambda o: o["f"] == o["text"], "f += s": lambda o: _iadd(o["g"], o["s"]),
    "i += s": lambda o: _iadd(o["i"], o["s"]), "view += c": lambda o: _iadd(o["view"], o["c"]),
    "sin(view)": lambda o: cv.sin(o["view"]), "sin(out=)": lambda o: cv.sin(o["f"], out=o["g"]),
    "add(dtype)": lambda o: cv.add(o["f"], o["s"], dtype="float32"), "sin(text)": lambda o: cv.sin(o["text"]),
    "isnan(list)": lambda o: cv.isnan(o["lf"]), "where": lambda o: cv.where(o["b"], o["f"], o["k"]),
    "sum(axis)": lambda o: o["f"].sum(axis=1), "sum(bad axis)": lambda o: o["f"].sum(axis=o["k"]),
    "mean(where=)": lambda o: o["f"].mean(where=o["b"]), "argsort": lambda o: cv.argsort(o["view"]),
    "concatenate": lambda o: cv.concatenate([o["f"], o["nf"]]), "stack(bad)": lambda o: cv.stack([o["f"], o["view"]]),
    "f[sl]": lambda o: o["f"][o["sl"]], "f[b]": lambda o: o["f"][o["b"]], "f[fancy]": lambda o: o["f"][o["fancy"]],
    "f[text]": lambda o: o["f"][o["text"]], "f[b] = s": lambda o: _set(o["g"], o["b"], o["s"]),
    "f[sl] = text": lambda o: _set(o["g"], o["sl"], o["text"]), "view[0] = list": lambda o: _set(o["view"], 0, [1.0, 2.0]),
    "reshape": lambda o: o["view"].reshape(o["shape"][::-1]), "reshape(bad)": lambda o: o["f"].reshape(o["badshape"]),
    "T of view": lambda o: o["view"].T[1:], "memoryview": lambda o: memoryview(o["view"]),
    "np.asarray": lambda o: np.asarray(o["view"]), "__dlpack__": lambda o: o["f"].__dlpack__(max_version=(1, 0)),
    "__dlpack__(bad)": lambda o: o["f"].__dlpack__(dl_device=(2, 0)), "from_dlpack": lambda o: np.from_dlpack(o["view"]),
    "pickle": lambda o: pickle.loads(pickle.dumps(o["view"])),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_call_keeps_reference_counts(call):
    o = operands()
    watched = [*o.values(), *o["lf"], *(x for row in o["lf"] for x in row), cv.ndarray, np.dtype("float64")]

    def repeat(n):
        for _ in range(n):
            try:
                call(o)
            except Exception:  # noqa: BLE001, S110 - failing calls must not leak either
                pass

    repeat(3)  # first calls may fill caches
    before = [sys.getrefcount(x) for x in watched]
    repeat(RUNS)
    after = [sys.getrefcount(x) for x in watched]
    names = [*o, *(f"lf[{i}]" for i in range(3)), *(f"lf item {i}" for i in range(12)), "ndarray", "dtype"]
    assert {n: (b, a) for n, b, a in zip(names, before, after) if a != b} == {}
