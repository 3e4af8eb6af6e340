#pragma once

// Copies of strided layouts into the parts of a join's result.

#include "array/walk.hpp"

namespace corvantile::walk {

// The elements of s (logical C order) into the part of a join's result that is theirs:
// element p to out[(p / run) * pitch + p % run], each block gathered straight into its place
// (walk_copy.cpp, for the three element kinds). Around the cache where `stream` (the join
// as a whole passes loops::STREAM_BYTES, by copy_bytes).
template <class T>
void copy_runs_direct(const Strided& s, T* out, std::uint64_t run, std::uint64_t pitch, bool stream);

// The bytes a copy of s reads and writes, as the loops count them for streaming.
template <class T>
std::uint64_t copy_bytes(const Strided& s) noexcept;

// out[m, ...] = the elements (logical C order) of s moved by offsets[m] bytes, for m < rows:
// the rows of a take, s the layout of the row at offset 0. For rows lying closer together
// than the elements of s's last axis (a take of a transpose's columns): the last axis in
// tiles of a few elements by all rows, so that the lines a tile reads serve every row.
template <class T>
void copy_taken(const Strided& s, const std::int64_t* offsets, std::size_t rows, T* out);

}  // namespace corvantile::walk
