#pragma once

// The module functions sort, argsort, abs and isclose (fast-call bodies).

#include "python/runtime/error.hpp"

namespace corvantile::python {

// sort(a, *args, **kwargs): native for a 1-D float64 array along its one axis.
Result<Ref> sort_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// argsort(a, *args, **kwargs): the array's own argsort method, NumPy's function otherwise.
Result<Ref> argsort_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// abs(x, *args, **kwargs): native for float64 arrays and Python floats and ints.
Result<Ref> abs_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// isclose(a, b, rtol=1e-05, atol=1e-08, equal_nan=False): native for float64 arrays of one
// shape and for float64 arrays and real scalars.
Result<Ref> isclose_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvantile::python
