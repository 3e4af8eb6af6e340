#pragma once

// The float64 sort's one pass before the sort: the numbers to sort apart from the zeros
// and NaNs, by a kernel that Highway dispatches to the CPU's best target at run time.

#include <cstddef>

namespace corvantile::loops {

// Writes the n doubles of `in` to `out`: the numbers other than zero, in input order, to
// out[0..m), and the zeros and NaNs to out[m..n) in reverse input order. Gives m.
std::size_t split_numbers(const double* in, double* out, std::size_t n) noexcept;

}  // namespace corvantile::loops
