#pragma once

// Kernels over float64s a few elements apart (x[0], x[k], ... x[k * (n - 1)]), read in
// place: a stepped or reversed view costs less tested or converted where it lies than
// gathered first. Each writes a large result around the cache (loops.hpp write_result).

#include "array/predicates.hpp"

#include <cstddef>
#include <cstdint>

namespace corvantile::loops {

// o[i] = test(x[k * i]) for i < n, k from 2 to 4 or -1 to -4 (predicates.cpp).
void float_test_stepped(FloatTest test, const double* x, std::int64_t k, Bool* o, std::size_t n) noexcept;

// o[i] = x[2 * i] (backward: x[2 * (n - 1 - i)]) truncated toward zero, for i < n; false
// as truncate_run (cast.cpp).
bool truncate_stepped(const double* x, std::int64_t* o, std::size_t n, bool backward) noexcept;

// o[i] = x[n - 1 - i] truncated toward zero, for i < n; false as truncate_run (cast.cpp).
bool truncate_reversed(const double* x, std::int64_t* o, std::size_t n) noexcept;

}  // namespace corvantile::loops
