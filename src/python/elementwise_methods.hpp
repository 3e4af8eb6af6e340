#pragma once

// ndarray.round, clip, astype and fill: new arrays of the same shape (or, for fill, a
// write in place) from float64, int64 and bool elements; other forms go to NumPy.

#include "python/args.hpp"
#include "python/error.hpp"

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// a.round(*args, **kwargs): native for float64 arrays with an int decimals.
Result<Ref> round_method(PyArray& self, const CallArgs& args);
// a.clip(*args, **kwargs): native for float64 arrays with two scalar bounds (one may be None).
Result<Ref> clip_method(PyArray& self, const CallArgs& args);
// a.astype(dtype, *args, **kwargs): native between float64, int64 and bool.
Result<Ref> astype_method(PyArray& self, const CallArgs& args);
// a.fill(value): native for a scalar into a float64 array.
Result<Ref> fill_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvantile::python
