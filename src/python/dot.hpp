#pragma once

// ndarray.dot: the inner product of two 1-D float64 arrays, NumPy's dot for the rest.

#include "python/error.hpp"

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// a.dot(other) once the argument is bound.
Result<Ref> dot(PyArray& self, PyObject* other);
// The method: binds the one parameter "other".
Result<Ref> dot_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvantile::python
