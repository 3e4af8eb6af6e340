#pragma once

// The contiguous element loops, templated on the element function so that they inline
// and vectorise, writing into buffers the caller supplies. Each is built in the CPU
// variants of clones.hpp.

#include "array/clones.hpp"
#include "array/storage.hpp"

#include <cstddef>

namespace corvantile::loops {

// o[i] = f(x[i]).
template <class R, class T, class F>
CORVANTILE_CLONES void map_loop(const T* x, R* __restrict o, std::size_t n, F f) {
    for (std::size_t i = 0; i < n; ++i) o[i] = f(x[i]);
}

// p[i] = f(p[i]).
template <class T, class F>
CORVANTILE_CLONES void update_loop(T* p, std::size_t n, F f) {
    for (std::size_t i = 0; i < n; ++i) p[i] = f(p[i]);
}

// o[i] = f(x[i], y[i]).
template <class R, class T, class U, class F>
CORVANTILE_STREAM_CLONES void zip_loop(const T* x, const U* y, R* __restrict o, std::size_t n, F f) {
    for (std::size_t i = 0; i < n; ++i) o[i] = f(x[i], y[i]);
}

// p[i] = f(p[i], y[i]); y does not overlap p.
template <class T, class U, class F>
CORVANTILE_CLONES void zip_update(T* __restrict p, const U* __restrict y, std::size_t n, F f) {
    for (std::size_t i = 0; i < n; ++i) p[i] = f(p[i], y[i]);
}

// One side of a selection: an array read element by element, or one value throughout.
template <class T>
CORVANTILE_INLINE T side_at(const T* p, std::size_t i) noexcept {
    return p[i];
}
template <class T>
CORVANTILE_INLINE T side_at(T v, std::size_t) noexcept {
    return v;
}

// o[i] = x's element where m[i] is true (any nonzero byte), else y's. Both sides are
// read for every element, so the choice is a select, not a branch.
template <class T, class X, class Y>
CORVANTILE_STREAM_CLONES void select_loop(const Bool* m, X x, Y y, T* __restrict o, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const T a = side_at(x, i);
        const T b = side_at(y, i);
        o[i] = m[i] != Bool::False ? a : b;
    }
}

}  // namespace corvantile::loops
