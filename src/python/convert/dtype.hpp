#pragma once

// Dtype arguments on the Python side: the one resolver from a dtype given as text, a
// type or a dtype object to a native element kind, and NumPy's objects of each kind.
// The per-kind facts that need no Python live in the kind table (array.hpp).

#include "array/array.hpp"
#include "python/runtime/error.hpp"

#include <optional>

namespace corvantile::python {

// The native kind NumPy's dtype(dtype) names, or nothing when it is any other dtype
// (another kind or size, a byte order that is not native, metadata, a subarray).
// The usual spellings (text, Python and NumPy types, NumPy's own dtype objects of the
// three kinds) resolve without calling NumPy; anything else goes through
// numpy.dtype, whose errors come back unchanged. None means float64, as in NumPy.
Result<std::optional<ElementKind>> native_kind(PyObject* dtype);

// The same for an optional argument: absent (null) or None counts as float64; nothing
// for any dtype that is not float64 (a native kind other than float64 included).
Result<bool> is_float64_or_none(PyObject* dtype);

// numpy.dtype of the kind (borrowed; kept for the process).
Result<PyObject*> numpy_dtype_of(ElementKind kind);
// The same, borrowed, once NumPy's kinds are loaded; nullptr before.
PyObject* loaded_numpy_dtype(ElementKind kind) noexcept;

}  // namespace corvantile::python
