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

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvantile::python {

// ---- float64 element functions -------------------------------------------------------

// fmod(a, b), exactly. The C library's is slow, so a quotient below 2^52 first tries
// r = a - trunc(a / b) * b in one fused step: when trunc(a / b) is the true truncated
// quotient, r is the remainder and exact (a remainder is always representable); when it
// is off by one, r falls outside [0, |b|) on a's side and the library answers.
inline double exact_fmod(double a, double b) noexcept {
    const double q = a / b;
    if (std::fabs(q) < 0x1p52) {
        const double r = std::fma(-std::trunc(q), b, a);
        if (std::fabs(r) < std::fabs(b) && (r == 0.0 || std::signbit(r) == std::signbit(a))) {
            return r == 0.0 ? std::copysign(0.0, a) : r;
        }
    }
    return std::fmod(a, b);
}

// Python's float floor division, except that a zero divisor gives a / b (an infinity
// of the quotient's sign, or NaN) instead of raising.
inline double float_floor_div(double a, double b) noexcept {
    if (b == 0.0) return a / b;
    const double m = exact_fmod(a, b);
    double d = (a - m) / b;
    if (m != 0.0 && ((m < 0.0) != (b < 0.0))) d += -1.0;
    if (d != 0.0) {
        double r = std::floor(d);
        if (d - r > 0.5) r += 1.0;
        return r;
    }
    return std::copysign(0.0, a / b);
}

// Python's float remainder (the sign of the divisor), except that a zero divisor
// gives NaN instead of raising.
inline double float_mod(double a, double b) noexcept {
    const double m = exact_fmod(a, b);
    if (m == 0.0) return std::copysign(0.0, b);
    if ((m < 0.0) != (b < 0.0)) return m + b;
    return m;
}

// pow, with an exponent of exactly 2.0 computed as a * a.
inline double float_pow(double a, double b) noexcept { return b == 2.0 ? a * a : std::pow(a, b); }

// ---- the arithmetic engine as a function ----------------------------------------------

// The seven arithmetic operations, in the order of their module functions.
enum class Arith : std::uint8_t { add, subtract, multiply, divide, floor_divide, remainder, power };

// The operation of a module function name: "add", "subtract", "multiply", "divide",
// "true_divide", "floor_divide", "remainder", "mod" or "power" (exact text); nothing
// for any other name.
std::optional<Arith> arith_from_name(std::string_view name) noexcept;

// a OP b as the operator slots compute it: a's forward method when a is an ndarray,
// otherwise b's reflected method when b is one. Nothing when neither is an ndarray or
// the method answers NotImplemented (the caller then asks NumPy itself); an error when
// the computation or NumPy's road raised.
Result<std::optional<Ref>> operator_function(Arith op, PyObject* a, PyObject* b);
// The same by name; nothing at once for a name arith_from_name does not know.
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

PyObject* tp_richcompare(PyObject* self, PyObject* other, int op) noexcept;

}  // namespace corvantile::python
