#pragma once

// ndarray(shape, dtype=None, buffer=None, offset=0, strides=None, order=None): zeros of a
// native element kind, or float64 data copied from a buffer. Never a view, never NumPy.

#include "python/error.hpp"

namespace corvantile::python {

// The body of the type's tp_new slot.
Result<Ref> construct_ndarray(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace corvantile::python
