#pragma once

// An in-place quicksort of 64-bit keys for CPUs with AVX2 and without AVX-512: each
// partition step moves whole vectors through a lane permutation, and the small ranges are
// sorted by networks over registers.

#include <cstddef>
#include <cstdint>

namespace corvantile::quick {

// Whether the sorts below run on this CPU (they must not be called otherwise).
bool available() noexcept;

// Whether they are the faster sort of n float64 (or int64) elements on this CPU.
bool chosen(bool float64, std::size_t n) noexcept;

// Ascending, in place. The doubles hold no NaN and no zero, so equal means equal bits.
void sort(std::int64_t* a, std::size_t n) noexcept;
void sort(double* a, std::size_t n) noexcept;

}  // namespace corvantile::quick
