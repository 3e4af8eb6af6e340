#pragma once

// Maps and copies over strided layouts with whole-block kernels (the float tests, checked
// casts), and copies of several layouts into the parts of one result (joins).

#include "array/cast.hpp"
#include "array/walk.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace corvantile {

// x[0..n) truncated toward zero into o; false when an element is NaN, infinite or at
// least 9.2e18 in magnitude (array.cpp).
bool truncate_checked(const double* x, std::int64_t* __restrict o, std::size_t n) noexcept;

// o[i] = x[i] as float64 (rounded to nearest), for i < n (array.cpp).
void int64_to_double(const std::int64_t* x, double* __restrict o, std::size_t n) noexcept;

namespace walk {

// One element of a cast that cannot fail: bool to 0/1, any nonzero to true, int64 to the
// nearest float64.
template <class R, class T>
R cast_value(T v) noexcept {
    if constexpr (std::is_same_v<R, Bool>) {
        return to_bool(v != T{});
    } else if constexpr (std::is_same_v<T, Bool>) {
        return static_cast<R>(is_true(v) ? 1 : 0);
    } else {
        static_assert(std::is_same_v<R, double> && std::is_same_v<T, std::int64_t>);
        return loops::to_double(v);
    }
}

// o[0..n) = x[0..n) converted from T to R as a cast does (bool to 0/1, any nonzero to
// true); false where a float64 does not fit int64 (NaN, infinite, |x| >= 9.2e18).
template <class R, class T>
bool cast_run(const T* x, R* o, std::size_t n) noexcept {
    if constexpr (std::is_same_v<R, T>) {
        if (n != 0) std::memcpy(o, x, n * sizeof(T));
        return true;
    } else if constexpr (std::is_same_v<R, std::int64_t> && std::is_same_v<T, double>) {
        return truncate_checked(x, o, n);
    } else if constexpr (std::is_same_v<R, double> && std::is_same_v<T, std::int64_t>) {
        int64_to_double(x, o, n);
        return true;
    } else {
        loops::map_loop(x, o, n, [](T v) { return cast_value<R, T>(v); });
        return true;
    }
}

// kernel(x, o, n) for consecutive blocks of s in logical C order (x the block's elements,
// read in place or gathered, o the matching part of out); false as soon as a kernel says so.
// Gathered blocks for a kernel: small enough that the kernel reads them back from the
// first-level cache, except tiles of rows (eight rows at least, for the register tiles).
inline constexpr std::size_t KERNEL_BLOCK = 1024;

inline std::size_t kernel_block(const Strided& whole) noexcept {
    const Strided s = simplify(whole);
    if (s.ndim < 2) return KERNEL_BLOCK;
    const std::uint64_t inner = s.shape[s.ndim - 1];
    if (magnitude(s.strides[s.ndim - 2]) >= magnitude(s.strides[s.ndim - 1])) return KERNEL_BLOCK;
    if (inner > BLOCK / 8) return BLOCK;
    return static_cast<std::size_t>(std::max<std::uint64_t>(KERNEL_BLOCK, 8 * inner));
}

// o[i] = x[n - 1 - i].
template <class T>
CORVANTILE_CLONES void reverse_copy(const T* x, T* __restrict o, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) o[i] = x[n - 1 - i];
}

template <class R, class T, class Kernel>
bool map_blocks(const Strided& s, R* out, Kernel kernel) {
    const std::size_t most = kernel_block(s);
    Scratch<T> scratch(std::min(scratch_size(s), most));
    // Backward rows whose results are smaller than their elements (the float tests): the
    // kernel reads the row forward and its results are turned round, fewer bytes than
    // the elements.
    Scratch<R> turned(sizeof(R) < sizeof(T) ? most : 0);
    bool ok = true;
    for_blocks<T>(s, most, [&](const Block<T>& b) {
        if (!ok) return;
        constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
        if (sizeof(R) < sizeof(T) && b.rows == 1 && b.step == -SZ) {
            R* results = turned.get();
            const auto* first = reinterpret_cast<const T*>(b.at - static_cast<std::int64_t>(b.count - 1) * SZ);
            ok = kernel(first, results, b.count);
            reverse_copy(static_cast<const R*>(results), out + b.pos, b.count);
        } else {
            ok = kernel(scratch.read(b), out + b.pos, b.count);
        }
    }, true);
    return ok;
}

}  // namespace walk
}  // namespace corvantile
