#pragma once

// Copies of strided layouts into the parts of a join's result.

#include "array/walk.hpp"

namespace corvantile::walk {

// The elements of s (logical C order) into the part of a join's result that is theirs:
// element p to out[(p / run) * pitch + p % run], each block gathered straight into its place
// (walk_copy.cpp, for the three element kinds).
template <class T>
void copy_runs_direct(const Strided& s, T* out, std::uint64_t run, std::uint64_t pitch);

}  // namespace corvantile::walk
