#pragma once

// The argument-parsed module functions (array, asarray, creation, joining, sorting,
// isclose, _view_of) and the fast fronts that stand before three of them.

#include "python/convert/dtype.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/once.hpp"

#include <optional>
#include <span>
#include <string_view>

namespace corvantile::python {

// The sixteen argument-parsed module functions, in the order the module body adds them.
std::span<PyMethodDef> module_functions();

// ---- array and asarray, and the argument helpers the creation functions share.

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

// ---- Arrays made from a shape or from range bounds: zeros, ones, empty, full, arange and
// linspace. Native for plain shapes, Python numbers and float64 (or the fill's own)
// dtype; every other form goes to NumPy.

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

// ---- concatenate, stack and where: native for ndarray operands of the forms below, NumPy's
// through the fallback module otherwise.

// concatenate(arrays, axis=None, **kwargs)
Result<Ref> concatenate_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// stack(arrays, axis=None, **kwargs)
Result<Ref> stack_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// where(condition, x=None, y=None): the full function; None counts as not given.
Result<Ref> where_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The body of where: x and y null when absent (an explicit None is an object here).
Result<Ref> where_(PyObject* condition, PyObject* x, PyObject* y);

// ---- The module functions sort, argsort, abs and isclose (fast-call bodies).

// sort(a, *args, **kwargs): native for a 1-D float64 array along its one axis.
Result<Ref> sort_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// argsort(a, *args, **kwargs): the array's own argsort method, NumPy's function otherwise.
Result<Ref> argsort_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// abs(x, *args, **kwargs): native for float64 arrays and Python floats and ints.
Result<Ref> abs_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// isclose(a, b, rtol=1e-05, atol=1e-08, equal_nan=False): native for float64 arrays of one
// shape and for float64 arrays and real scalars.
Result<Ref> isclose_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);


// _view_of(source, numpy_view): a view of source's root array with the layout of a
// buffer (a NumPy view) over the same memory, or None when the buffer does not fit.
Result<Ref> view_of(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- The fast fronts of asarray, array and where: they replace the full functions in the
// module and hand every call they do not take to the full function kept in a cell.

// The full functions, set once by register_fast_fronts.
inline constinit OnceCell<Ref> FULL_ASARRAY;
inline constinit OnceCell<Ref> FULL_ARRAY;
inline constinit OnceCell<Ref> FULL_WHERE;

Result<> register_fast_fronts(PyObject* module);

PyObject* asarray_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* array_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* where_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace corvantile::python
