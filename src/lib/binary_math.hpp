#pragma once

// The binary mathematical module functions (maximum, minimum, fmax, fmin, arctan2,
// hypot, copysign, logaddexp): native for float64 arrays with float64 arrays, ints and
// floats, and for two plain Python floats; NumPy's answer for everything else.

#include "python/runtime/error.hpp"

#include <cstdint>
#include <string_view>

namespace corvantile::python {

enum class BinaryMathOp : std::uint8_t { Maximum, Minimum, Fmax, Fmin, Arctan2, Hypot, Copysign, Logaddexp };
inline constexpr std::size_t BINARY_MATH_OP_COUNT = static_cast<std::size_t>(BinaryMathOp::Logaddexp) + 1;

// op(x1, x2) element by element (np_name is the function's NumPy name).
Result<Ref> binary_math(BinaryMathOp op, std::string_view np_name, PyObject* x1, PyObject* x2);

// The native fast path of one function, for fast_entry.
template <BinaryMathOp Op>
Result<Ref> binary_math_native(std::string_view np_name, PyObject* x1, PyObject* x2) {
    return binary_math(Op, np_name, x1, x2);
}

}  // namespace corvantile::python
