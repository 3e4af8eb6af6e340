"""A first look at corvantile: native arrays that NumPy reads without copying."""

import numpy as np

import corvantile as cv

print("module:", cv._core.__name__, "-", cv._core.__doc__)

a = cv.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
b = cv.asarray([10, 20, 30])
print("a =", repr(a))
print("type:", f"{type(a).__module__}.{type(a).__name__}", "| dtype:", a.dtype, "| shape:", a.shape)

c = a * 2.0 + b            # computed natively, broadcasting like NumPy
print("a * 2.0 + b =", np.asarray(c).tolist())
print("a < 3.5 =", np.asarray(a < 3.5).tolist())

n = np.asarray(a)          # a zero-copy NumPy view of a's memory
n[0, 0] = -1.0
print("after writing through NumPy, a[0, 0] =", float(np.asarray(a)[0, 0]))
print("shares memory with NumPy:", np.shares_memory(n, a))

print("sum via NumPy's road:", cv.sum(a))
