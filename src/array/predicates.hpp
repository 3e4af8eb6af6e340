#pragma once

// The float predicates over contiguous float64 elements: one Bool per element, built from
// vector masks by a kernel that Highway dispatches to the CPU's best target at run time.

#include "array/storage.hpp"

#include <cstddef>
#include <cstdint>

namespace corvantile::loops {

// NaN (any payload, either sign); neither NaN nor infinite; infinite (either sign); the
// sign bit set (-0.0 and NaNs with the sign bit too).
enum class FloatTest : std::uint8_t { Nan, Finite, Inf, SignBit };

// o[i] = test(x[i]) for i < n; a large result is written around the cache like the
// element loops' (loops.hpp write_result).
void float_test(FloatTest test, const double* x, Bool* o, std::size_t n) noexcept;

}  // namespace corvantile::loops
