#pragma once

// Shape operations of ndarray: reshape, ravel, flatten, transpose, T and the shape
// setter. An array that is not a strided view is one C-order block, so reshape and ravel
// give views over the same memory; a strided view gets copies (and refuses the setter).

#include "python/args.hpp"
#include "python/error.hpp"

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

Result<Ref> reshape_method(PyArray& self, const CallArgs& args);
Result<Ref> ravel_method(PyArray& self, const CallArgs& args);
Result<Ref> flatten_method(PyArray& self, const CallArgs& args);
Result<Ref> transpose_method(PyArray& self, const CallArgs& args);

// The reversed-axes view of self (transpose() and T); reads no element.
Result<Ref> transposed(PyArray& self);
// The property T.
Result<Ref> transpose_property(PyArray& self, void*);
// a.shape = value: rewrites the shape record in place; value null is `del a.shape`.
Result<> set_shape(PyArray& self, PyObject* value, void*);

inline constexpr const char* SHAPE_DOC =
    "`a.shape = new_shape` reshapes in place, as in NumPy. Buffer views\n"
    "taken earlier keep the shape they were created with.";

}  // namespace corvantile::python
