#pragma once

// An in-place quicksort of 64-bit keys in two widths, AVX2 and AVX-512: each partition step
// moves whole vectors through a lane permutation, and the small ranges are sorted by
// networks over registers. Which width runs, and whether it runs instead of the library's
// sort, is decided per CPU (and length) at run time.

#include <cstddef>
#include <cstdint>

namespace corvantile::quick {

// Whether the sorts below run on this CPU (they must not be called otherwise).
bool available() noexcept;

// Whether they are the faster sort of n float64 (or int64) elements on this CPU.
bool chosen(bool float64, std::size_t n) noexcept;

// The name of the sort that sort() runs here.
const char* name() noexcept;

// Ascending, in place, in the widest form this CPU runs. The doubles hold no NaN and no
// zero, so equal means equal bits.
void sort(std::int64_t* a, std::size_t n) noexcept;
void sort(double* a, std::size_t n) noexcept;

// Each width by itself: AVX2 where available(), AVX-512 where avx512::available().
namespace avx2 {
void sort(std::int64_t* a, std::size_t n) noexcept;
void sort(double* a, std::size_t n) noexcept;
}  // namespace avx2

namespace avx512 {
bool available() noexcept;
void sort(std::int64_t* a, std::size_t n) noexcept;
void sort(double* a, std::size_t n) noexcept;
}  // namespace avx512

}  // namespace corvantile::quick
