#pragma once
#include <cstddef>

// Most dimensions a native array can have.
inline constexpr std::size_t MAX_NDIM = 8;
