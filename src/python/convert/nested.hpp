#pragma once

// Plain Python values turned into array inputs: shape arguments, and nested lists and
// tuples of Python numbers.

#include "array/array.hpp"
#include "python/runtime/error.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace corvantile::python {

// A shape argument (an int, a tuple or another sequence of ints) as its sizes. No bound
// on the length: the array constructors enforce MAX_NDIM. A negative or oversized int
// gives the interpreter's OverflowError; what is neither an int nor a sequence of ints
// gives TypeError "shape must be an int or a sequence of ints".
Result<std::vector<std::uint64_t>> extract_shape(PyObject* obj);

// Nested lists and tuples (obj is one) of Python floats, ints and bools as a native
// array with NumPy's element kind. Empty when the input is ragged, deeper than
// MAX_NDIM, holds ints beyond int64 or any other element: NumPy decides those.
Result<std::optional<AnyArray>> nested_sequence(PyObject* obj);

}  // namespace corvantile::python
