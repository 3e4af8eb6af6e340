#pragma once

#include "python/runtime/error.hpp"

namespace corvantile::python {

// _view_of(source, numpy_view): a view of source's root array with the layout of a
// buffer (a NumPy view) over the same memory, or None when the buffer does not fit.
Result<Ref> view_of(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvantile::python
