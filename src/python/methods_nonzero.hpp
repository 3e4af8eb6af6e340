#pragma once

// ndarray.nonzero().

#include "python/error.hpp"

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// a.nonzero(): a tuple of one 1-D int64 array of coordinates per axis, in C order.
Result<Ref> nonzero_method(PyArray& self, PyObject*);

}  // namespace corvantile::python
