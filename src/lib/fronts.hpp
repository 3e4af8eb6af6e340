#pragma once

// The fast fronts of asarray, array and where: they replace the full functions in the
// module and hand every call they do not take to the full function kept in a cell.

#include "python/runtime/once.hpp"

namespace corvantile::python {

// The full functions, set once by register_fast_fronts.
inline constinit OnceCell<Ref> FULL_ASARRAY;
inline constinit OnceCell<Ref> FULL_ARRAY;
inline constinit OnceCell<Ref> FULL_WHERE;

Result<> register_fast_fronts(PyObject* module);

PyObject* asarray_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* array_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* where_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace corvantile::python
