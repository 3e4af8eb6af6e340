#pragma once

// Arrays made from a shape or from range bounds: zeros, ones, empty, full, arange and
// linspace. Native for plain shapes, Python numbers and float64 (or the fill's own)
// dtype; every other form goes to NumPy.

#include "python/runtime/error.hpp"

#include <string_view>

namespace corvantile::python {

// A float64 array of `shape` with every element `value`, or NumPy's `name`(shape,
// dtype=dtype) when the shape or dtype (null = absent) is not native.
Result<Ref> filled(PyObject* shape, PyObject* dtype, std::string_view name, double value);

// Entry-frame bodies of the module functions.
Result<Ref> zeros_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> ones_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> empty_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> full_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> arange_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> linspace_function(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace corvantile::python
