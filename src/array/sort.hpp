#pragma once

// The 1-D sorts beside the array methods: what runs, for the benchmarks' report, and the
// in-place sort of a copy the caller already made.

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvantile {

// The sort that orders n float64 (or int64) elements on this CPU, with its target.
const char* sort_method(bool float64, std::size_t n) noexcept;

// Sorts int64 elements ascending where they lie (a copy the caller owns).
void sort_in_place(std::span<std::int64_t> x) noexcept;

}  // namespace corvantile
