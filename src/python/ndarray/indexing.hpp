#pragma once

// a[key]: integer, slice, tuple, None, Ellipsis, integer-list, int64-array, boolean-mask
// and __index__ keys natively; every other key through NumPy.

#include "array/array.hpp"
#include "python/runtime/error.hpp"

#include <cstdint>
#include <span>

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// The mp_subscript slot: a NumPy scalar, a view sharing a's memory, or a new array.
Result<Ref> get_item(PyArray& a, PyObject* key);

// A key of integers only: a NumPy scalar when they address one element, else a view.
Result<Ref> index_result(PyArray& a, std::span<const std::int64_t> indices);

// A basic index: a contiguous view, a strided view or a new empty array; new_axes are the
// output positions of the key's Nones.
Result<Ref> select_result(PyArray& a, std::span<const Selector> selectors,
                          std::span<const std::uint64_t> new_axes);

}  // namespace corvantile::python
