#pragma once

// The unary element-wise module functions (sin, sqrt, floor, ...): native for float64
// arrays, int64 arrays of the promoting functions and plain Python numbers; NumPy's
// answer for everything else.

#include "python/runtime/error.hpp"

#include <cstdint>
#include <string_view>

namespace corvantile::python {

enum class UnaryOp : std::uint8_t {
    // Promoting: an int64 array is converted to float64 and computed natively.
    Sin, Cos, Tan, Arcsin, Arccos, Arctan, Sinh, Cosh, Tanh, Arcsinh, Arccosh, Arctanh,
    Exp, Exp2, Expm1, Log, Log2, Log10, Log1p, Sqrt, Cbrt, Deg2rad, Rad2deg,
    // Float-only: int64 and bool arrays go to NumPy.
    Square, Reciprocal, Absolute, Negative, Positive, Sign, Floor, Ceil, Trunc, Rint,
};
inline constexpr std::size_t UNARY_OP_COUNT = static_cast<std::size_t>(UnaryOp::Rint) + 1;

// op applied to x (np_name is the function's NumPy name).
Result<Ref> unary(UnaryOp op, std::string_view np_name, PyObject* x);

// The native fast path of one function, for fast_entry.
template <UnaryOp Op>
Result<Ref> unary_native(std::string_view np_name, PyObject* x) {
    return unary(Op, np_name, x);
}

}  // namespace corvantile::python
