#pragma once

// What the 1-D sorts run, for the benchmarks' report.

#include <cstddef>

namespace corvantile {

// The sort that orders n float64 (or int64) elements on this CPU, with its target.
const char* sort_method(bool float64, std::size_t n) noexcept;

}  // namespace corvantile
