#pragma once

// An in-place quicksort of 64-bit keys in two widths, AVX2 and AVX-512: each partition step
// moves whole vectors through a lane permutation, and the small ranges are sorted by
// networks over registers. Which of them runs, or the library's sort instead, is decided
// per CPU and length at run time.

#include <cstddef>
#include <cstdint>

namespace corvantile::quick {

enum class Kind { library, avx2, avx512 };

// The sort measured fastest for n float64 (or int64) elements on this CPU.
Kind choice(bool float64, std::size_t n) noexcept;

// "quicksort AVX2", "quicksort AVX-512"; null for the library.
const char* name(Kind kind) noexcept;

// Ascending, in place; each only where its available() (they must not be called otherwise).
// The doubles hold no NaN. Zeros of either sign are equal keys: they keep their count but
// may come out with their signs exchanged.
namespace avx2 {
bool available() noexcept;
void sort(std::int64_t* a, std::size_t n) noexcept;
void sort(double* a, std::size_t n) noexcept;
}  // namespace avx2

namespace avx512 {
bool available() noexcept;
void sort(std::int64_t* a, std::size_t n) noexcept;
void sort(double* a, std::size_t n) noexcept;
}  // namespace avx512

}  // namespace corvantile::quick
