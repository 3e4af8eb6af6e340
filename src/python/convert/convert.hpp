#pragma once

// Foreign Python objects converted into native arrays. Each conversion gives a native
// array that owns its elements, nothing (not convertible here; no error pending), or
// the Python error to raise.

#include "array/array.hpp"
#include "python/runtime/error.hpp"

#include <optional>

namespace corvantile::python {

template <class T>
using Converted = Result<std::optional<T>>;

// An ndarray (deep copy), nested lists and tuples, Python float / bool / int64 scalars
// and buffer exporters of float64, int64 or bool data.
Converted<AnyArray> native_array(PyObject* obj);

// 0-d NumPy objects of float64, int64 or bool, and buffers of those formats in native
// byte order with 1 to 8 axes (any strides; the data is copied in C order).
Converted<AnyArray> from_buffer_any(PyObject* obj);

// from_buffer_any converted to float64; besides, any 0-d object with a float value.
Converted<Array<double>> from_f64_buffer(PyObject* obj);

// numpy.asarray(obj, **kwargs); kwargs may be null.
Result<Ref> numpy_asarray(PyObject* obj, PyObject* kwargs);

// Anything NumPy can turn into float64, as a native float64 array.
Result<Array<double>> array_from_any(PyObject* obj);

// A new ndarray when obj converts natively, else numpy.asarray(obj) through wrap_result.
Result<Ref> array_or_numpy(PyObject* obj);

// A NumPy result handed back: an ndarray as it is; a NumPy array of a native kind as a
// new ndarray holding a copy; anything else unchanged.
Result<Ref> wrap_result(Ref result);

// The module numpy (imported on first call; the interpreter's module table answers after).
Result<Ref> import_numpy();
// numpy.<name> (a new reference).
Result<Ref> numpy_attr(const char* name);

}  // namespace corvantile::python
