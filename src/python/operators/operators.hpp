#pragma once

// The arithmetic, bitwise, comparison and in-place operators of ndarray, and the
// shared operator engine behind the arithmetic module functions.
//
// Promotion in short: a float64 array computes in float64 with every number or
// native array; an int64 array adds, subtracts and multiplies int64 arrays of its
// own shape and ints natively (wrapping), divides natively into float64, and gives
// everything else to NumPy; a bool array computes natively only in float64. Operands
// the native side does not take go to NumPy when NumPy takes them, otherwise the
// arithmetic operators answer NotImplemented.

#include "python/runtime/error.hpp"

#include <optional>
#include <string_view>

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// ---- the arithmetic engine as a function ----------------------------------------------

// a OP b as the operator slots compute it, for an arithmetic description Op
// (operations.hpp, Add to Pow): a's forward method when a is an ndarray, otherwise b's
// reflected method when b is one. Nothing when neither is an ndarray or the method
// answers NotImplemented (the caller then asks NumPy itself); an error when the
// computation or NumPy's road raised.
template <class Op>
Result<std::optional<Ref>> operator_function(PyObject* a, PyObject* b);
// The same by a module function's name ("add", "true_divide", "mod", ...); nothing at
// once for a name that is not one.
Result<std::optional<Ref>> operator_function(std::string_view name, PyObject* a, PyObject* b);

// ---- type slots (C functions for the ndarray type's slot table) ----------------------

PyObject* nb_add(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_subtract(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_multiply(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_true_divide(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_floor_divide(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_remainder(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_power(PyObject* lhs, PyObject* rhs, PyObject* modulus) noexcept;
PyObject* nb_and(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_or(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_xor(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_lshift(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_rshift(PyObject* lhs, PyObject* rhs) noexcept;
PyObject* nb_matrix_multiply(PyObject* lhs, PyObject* rhs) noexcept;

PyObject* nb_inplace_add(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_subtract(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_multiply(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_true_divide(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_floor_divide(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_remainder(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_power(PyObject* self, PyObject* other, PyObject* modulus) noexcept;
PyObject* nb_inplace_and(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_or(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_xor(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_lshift(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_rshift(PyObject* self, PyObject* other) noexcept;
PyObject* nb_inplace_matrix_multiply(PyObject* self, PyObject* other) noexcept;

PyObject* tp_richcompare(PyObject* self, PyObject* other, int op) noexcept;

// The unary operator slots: -a, +a, abs(a), ~a.
Result<Ref> negative(PyArray& self);
Result<Ref> positive(PyArray& self);
Result<Ref> absolute(PyArray& self);
Result<Ref> invert(PyArray& self);

}  // namespace corvantile::python
