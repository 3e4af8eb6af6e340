#pragma once

// concatenate, stack and where: native for ndarray operands of the forms below, NumPy's
// through the fallback module otherwise.

#include "python/runtime/error.hpp"

namespace corvantile::python {

// concatenate(arrays, axis=None, **kwargs)
Result<Ref> concatenate_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// stack(arrays, axis=None, **kwargs)
Result<Ref> stack_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// where(condition, x=None, y=None): the full function; None counts as not given.
Result<Ref> where_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The body of where: x and y null when absent (an explicit None is an object here).
Result<Ref> where_(PyObject* condition, PyObject* x, PyObject* y);

}  // namespace corvantile::python
