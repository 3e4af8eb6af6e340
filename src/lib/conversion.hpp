#pragma once

// array and asarray, and the argument helpers the creation functions share.

#include "python/convert/dtype.hpp"  // is_float64_or_none, for the creation functions
#include "python/runtime/error.hpp"

#include <optional>

namespace corvantile::python {

// The full module functions (entry-frame bodies of the "array" and "asarray" rows).
Result<Ref> array_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> asarray_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The native body of asarray after parsing; null means absent, copy nullopt means absent.
Result<Ref> asarray(PyObject* object, PyObject* dtype, std::optional<bool> copy, PyObject* device,
                    PyObject* order);

// The device keyword: absent, None or an object whose str() is "cpu"; ValueError otherwise.
Result<> check_device(PyObject* device);

// numpy.asarray(object[, dtype=dtype]) exactly as NumPy gives it.
Result<Ref> numpy_array(PyObject* object, PyObject* dtype);

}  // namespace corvantile::python
