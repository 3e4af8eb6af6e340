#pragma once

// The float predicates and comparisons over float64 elements: one Bool per element, built
// from vector masks by kernels that Highway dispatches to the CPU's best target at run time.

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

// The six comparisons as IEEE orders float64s: NaN is unordered, so with a NaN only Ne holds.
enum class Relation : std::uint8_t { Lt, Le, Eq, Ne, Gt, Ge };

// a REL b for two elements of one kind, as C++'s operators give it.
template <Relation Rel, class T>
constexpr bool holds(T a, T b) noexcept {
    if constexpr (Rel == Relation::Lt) return a < b;
    if constexpr (Rel == Relation::Le) return a <= b;
    if constexpr (Rel == Relation::Eq) return a == b;
    if constexpr (Rel == Relation::Ne) return a != b;
    if constexpr (Rel == Relation::Gt) return a > b;
    if constexpr (Rel == Relation::Ge) return a >= b;
}

// How the compare kernel steps through an operand: one element forward, one back, two forward.
enum class CompareWalk : std::uint8_t { Forward, Backward, Every2 };

// o[i] = x's element i REL y's element i for i < n, element i lying i * sx (sy) elements
// from x (y); the steps 1, -1 or 2, alike, or 0 for one of the two (one value throughout).
// False (nothing written) for other steps. `stream`: o written around the cache, the
// caller fencing the stores (loops::fence) before the result is handed on.
bool compare_f64(Relation rel, const double* x, std::int64_t sx, const double* y, std::int64_t sy, Bool* o,
                 std::size_t n, bool stream) noexcept;

}  // namespace corvantile::loops
