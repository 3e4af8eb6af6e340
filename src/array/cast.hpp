#pragma once

// The conversions between float64 and int64: the checked truncation over contiguous
// elements (a kernel that Highway dispatches to the CPU's best target at run time) and the
// rounding of one int64 in operations that vectorise.

#include "array/clones.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

namespace corvantile::loops {

// o[i] = x[i] truncated toward zero, for i < n; false (o then holds anything) when an
// element is NaN, infinite or at least 9.2e18 in magnitude.
bool truncate_run(const double* x, std::int64_t* o, std::size_t n) noexcept;

// x as float64, rounded to nearest as a conversion rounds, in operations that vectorise
// where there is no packed int64 -> float64 conversion (AVX2): x + 2^63 split into its
// high and low 32 bits, each placed exactly in the significand of a float64, and the two
// parts added (the one rounding).
CORVANTILE_INLINE double to_double(std::int64_t x) noexcept {
    const std::uint64_t u = std::bit_cast<std::uint64_t>(x) ^ 0x8000000000000000ULL;
    const double hi = std::bit_cast<double>((u >> 32) | 0x4530000000000000ULL) - 0x1.000008p84;  // 2^84 + 2^63
    const double lo = std::bit_cast<double>((u & 0xffffffffULL) | 0x4330000000000000ULL) - 0x1p52;
    return hi + lo;
}

}  // namespace corvantile::loops
