#pragma once

// Walks over strided layouts (a view's elements inside another array's memory) in
// logical C order, block by block: a block is either one stretch of contiguous memory,
// read in place, or a few logical rows gathered into a small buffer so that the
// contiguous loops run on it. A layout whose last axis has the larger stride (a
// transpose) is gathered several rows at a time, so that each cache line it touches
// serves every row of the tile while it is in the cache.

#include "array/clones.hpp"
#include "array/folds.hpp"
#include "array/loops.hpp"
#include "array/storage.hpp"
#include "dims/dims.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace corvantile::walk {

// Elements of `itemsize` bytes: the first at data, then by signed byte strides.
struct Strided {
    std::byte* data = nullptr;
    std::array<std::uint64_t, MAX_NDIM> shape{};
    std::array<std::int64_t, MAX_NDIM> strides{};
    std::size_t ndim = 0;

    std::uint64_t size() const noexcept {
        std::uint64_t n = 1;
        for (std::size_t k = 0; k < ndim; ++k) n *= shape[k];
        return n;
    }
};

// Steps an odometer over axes [0, axes) to its next position, the last axis fastest:
// len(k) is axis k's length, move(k, times) moves the offsets `times` steps along axis k.
// False once every position was seen.
template <class Len, class Move>
CORVANTILE_INLINE bool odometer_next(std::array<std::uint64_t, MAX_NDIM>& counter, std::size_t axes, Len len,
                                     Move move) {
    for (std::size_t k = axes; k-- > 0;) {
        if (++counter[k] < len(k)) {
            move(k, std::int64_t{1});
            return true;
        }
        move(k, -static_cast<std::int64_t>(len(k) - 1));
        counter[k] = 0;
    }
    return false;
}

// The same elements in the same logical order over fewer axes: length-1 axes dropped,
// and an axis merged into the next one where it steps exactly over it. A layout with no
// element is returned as it is.
Strided simplify(const Strided& s) noexcept;

// The same set of elements in the order they lie in memory, as far as axes go: every
// stride made positive, the axes sorted by falling stride, then simplified (a transpose of
// a whole array becomes one contiguous axis). For folds whose value does not depend on
// the order.
Strided memory_order(const Strided& s) noexcept;

// Whether no two logical elements of s (itemsize bytes each) share a byte, by a sufficient
// test: sorted by stride, each axis steps over everything the smaller ones span. A
// layout that fails may still be free of overlaps; callers then take the slow road.
bool distinct(const Strided& s, std::size_t itemsize) noexcept;

// The lowest address of s (not empty) when its elements fill one stretch of memory with
// every axis of more than one element stepping forward (a transpose of a whole array,
// say), else null.
// An element-wise result made over that stretch in memory order, under s's strides, then
// holds each result at its element's place.
const std::byte* dense_start(const Strided& s, std::size_t itemsize) noexcept;

// How many elements a gathered block holds at most (64 KiB of float64, in the second-level
// cache: the tile of a transpose of 1000-element rows is then eight rows).
inline constexpr std::size_t BLOCK = 8192;
// Rows shorter than this go to for_blocks' consumers several at a time.
inline constexpr std::uint64_t SHORT_ROW = 16;
// So do contiguous rows this short (short_contiguous): copied together (copy_short) they
// cost less than a consumer's call for each (isnan of a column block of 20 float64: 10
// ns a row called one by one). Rows of bytes up to 511; 8-byte elements up to 32, past
// which a cheap kernel's call (an addition's) costs less than the copy.
constexpr bool short_contiguous(std::uint64_t inner, std::size_t itemsize) noexcept {
    return itemsize == 1 ? inner < 512 : inner <= 32;
}
// copy_short's bytes inline.
inline constexpr std::size_t INLINE_COPY = 512;
// Order-free folds read contiguous rows shorter than these a plane at a time
// (for_row_planes): for max and min a scan's set-up and closing cost as much as a few
// hundred elements; any/all tests rows of 256 and more one by one, each stopping at its
// deciding element.
inline constexpr std::uint64_t EXTREME_PLANE_ROW = 512, DECIDE_PLANE_ROW = 256;

// Whether for_blocks takes rows of `inner` elements stepped `step` bytes many to a block:
// short ones (SHORT_ROW, short_contiguous), where a call for each would cost more than its
// elements, and stepped rows of a few dozen elements (a row's call costs about as much as
// 20), one-byte ones up to a few lines (read in place they go element by element,
// gathered they vectorise). A zip's walk keeps stepped rows of SHORT_ROW or more in place:
// in blocks they measured slower.
inline bool rows_in_blocks(std::uint64_t inner, std::int64_t itemsize, std::int64_t step) noexcept {
    if (inner < SHORT_ROW) return true;
    if (step == itemsize) return short_contiguous(inner, static_cast<std::size_t>(itemsize));
    if (step == 0) return false;
    return inner < (itemsize == 1 ? 8 : 4) * SHORT_ROW;
}

// A stride's size in bytes, whichever way it steps.
constexpr std::uint64_t magnitude(std::int64_t v) noexcept {
    return v < 0 ? -static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

// The bytes s's elements (itemsize each, s not empty) span: the first and one past the
// last.
inline std::pair<const std::byte*, const std::byte*> extent(const Strided& s, std::size_t itemsize) noexcept {
    const std::byte* lo = s.data;
    const std::byte* hi = s.data + itemsize;
    for (std::size_t k = 0; k < s.ndim; ++k) {
        const std::int64_t reach = static_cast<std::int64_t>(s.shape[k] - 1) * s.strides[k];
        (reach < 0 ? lo : hi) += reach;
    }
    return {lo, hi};
}

// How many bytes that is.
inline std::uint64_t spread(const Strided& s, std::size_t itemsize) noexcept {
    const auto [lo, hi] = extent(s, itemsize);
    return static_cast<std::uint64_t>(hi - lo);
}

// Whether rows of len elements `step` bytes apart lie `row_step` bytes apart, no closer
// than a row spans (not a transpose's rows, read column by column together).
constexpr bool rows_apart(std::int64_t step, std::int64_t row_step, std::size_t len) noexcept {
    return magnitude(row_step) >= len * magnitude(step);
}

// A layout that reduces to one run over every k-th element of itemsize bytes (x[0], x[k],
// ..., forward or backward), k from 1 to `most`, and holds at least two: its lowest
// element, its length, its direction and k. Kernels read such a run in place.
struct SteppedRun {
    const std::byte* low;
    std::uint64_t count;
    bool backward;
    std::uint64_t k;
};
inline std::optional<SteppedRun> stepped_run(const Strided& layout, std::size_t itemsize, std::uint64_t most) noexcept {
    const Strided s = simplify(layout);
    const std::uint64_t n = s.size();
    if (s.ndim != 1 || n < 2) return std::nullopt;
    const std::uint64_t step = magnitude(s.strides[0]);
    if (step % itemsize != 0 || step == 0 || step / itemsize > most) return std::nullopt;
    const bool backward = s.strides[0] < 0;
    return SteppedRun{backward ? s.data + static_cast<std::int64_t>(n - 1) * s.strides[0] : s.data, n, backward,
                      step / itemsize};
}
inline std::optional<SteppedRun> every_other(const Strided& layout, std::size_t itemsize) noexcept {
    const auto run = stepped_run(layout, itemsize, 2);
    return run && run->k == 2 ? run : std::nullopt;
}

template <class T>
CORVANTILE_INLINE T load(const std::byte* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}
template <class T>
CORVANTILE_INLINE void store(std::byte* p, T v) noexcept {
    std::memcpy(p, &v, sizeof(T));
}

// Eight 8-byte elements a vector, for the tiles of a transpose (folds::transpose8).
using Lanes8 = std::uint64_t __attribute__((vector_size(64)));
using folds::transpose8;

// The tiles of a transpose, eight rows by eight elements at a time: rows lie next to each
// other (row_step is the element size, rows a multiple of 8), so each element of a row
// brings one cache line holding that element of all eight rows. Gather reads the lines
// and writes the rows; scatter the other way round.
// Rows of 8 elements or more end with a tile that overlaps the one before it (its
// elements are written twice, with the same values) rather than with single elements.
// `after` is called after each tile (work to overlap with the gather).
struct Nothing {
    CORVANTILE_INLINE void operator()() const noexcept {}
};
template <bool Gather, class After = Nothing>
CORVANTILE_INLINE void tiles8(std::byte* at, std::int64_t step, std::size_t rows, std::size_t len, std::byte* flat,
                              After after = {}) noexcept {
    const std::size_t body = len & ~std::size_t{7};
    const std::size_t overlap = len >= 8 && len != body ? 1 : 0;
    const bool ahead = len > 32;
    for (std::size_t r0 = 0; r0 < rows; r0 += 8) {
        for (std::size_t t = 0; t < body + overlap * 8; t += 8) {
            const std::size_t i0 = t < body ? t : len - 8;
            Lanes8 v[8];
            std::byte* line = at + static_cast<std::int64_t>(r0) * 8 + static_cast<std::int64_t>(i0) * step;
            std::byte* row = flat + (r0 * len + i0) * 8;
            for (std::size_t k = 0; k < 8; ++k) {
                if constexpr (Gather) {
                    std::memcpy(&v[k], line + static_cast<std::int64_t>(k) * step, 64);
                    // The lines two tiles on (a stride the hardware does not fetch ahead
                    // well enough); formed as an integer, since the address may lie past
                    // the end of the memory, where a prefetch is simply dropped.
                    if (ahead) {
                        const auto far = reinterpret_cast<std::uintptr_t>(line) +
                                         static_cast<std::uintptr_t>(static_cast<std::int64_t>(k + 16) * step);
                        __builtin_prefetch(reinterpret_cast<const void*>(far));
                    }
                } else {
                    std::memcpy(&v[k], row + k * len * 8, 64);
                }
            }
            transpose8(v);
            for (std::size_t k = 0; k < 8; ++k) {
                if constexpr (Gather) {
                    std::memcpy(row + k * len * 8, &v[k], 64);
                } else {
                    std::memcpy(line + static_cast<std::int64_t>(k) * step, &v[k], 64);
                }
            }
            after();
        }
        // Rows shorter than 8: the elements one by one (no store scatters).
        if (len >= 8) continue;
        for (std::size_t k = 0; k < 8; ++k) {
            for (std::size_t e = body; e < len; ++e) {
                std::byte* element = at + static_cast<std::int64_t>(r0 + k) * 8 + static_cast<std::int64_t>(e) * step;
                std::byte* flat_element = flat + ((r0 + k) * len + e) * 8;
                if constexpr (Gather) {
                    std::memcpy(flat_element, element, 8);
                } else {
                    std::memcpy(element, flat_element, 8);
                }
            }
        }
    }
}

// The Rows x 8 tile (Rows 8 or 4) of rows 16 bytes apart (a transpose taken every other
// row) from `line`, its columns `step` bytes apart: store(r, e, x) with x elements
// 4e .. 4e+3 of row r. Each column's Rows / 2 32-byte quarters hold a pair of rows each,
// every other element; an unpack of two columns' quarters and a lane swap put four
// elements of a row together, as in a 4 x 4 transpose, so that no element is read twice
// nor wasted in a shuffle. The last quarter is read 8 bytes early, so that nothing past
// the last row's element is touched, and its rows taken from the odd elements. The lines
// `ahead` bytes on are fetched ahead.
using Quad = double __attribute__((vector_size(32)));
template <std::size_t Rows, class Store>
CORVANTILE_INLINE void stepped_tile(const std::byte* line, std::int64_t step, std::int64_t ahead, Store store) noexcept {
    static_assert(Rows == 8 || Rows == 4);
    constexpr std::size_t LAST = Rows / 2 - 1;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) {
        // Formed as an integer: the address may lie past the memory's end.
        const auto far = reinterpret_cast<std::uintptr_t>(line) +
                         static_cast<std::uintptr_t>(static_cast<std::int64_t>(k) * step + ahead);
        __builtin_prefetch(reinterpret_cast<const void*>(far));
        if constexpr (Rows == 8) __builtin_prefetch(reinterpret_cast<const void*>(far + 64));
    }
    // Quarter h of four columns from column 4e at a time: few registers live.
#pragma GCC unroll 2
    for (std::size_t e = 0; e < 2; ++e) {
#pragma GCC unroll 4
        for (std::size_t h = 0; h <= LAST; ++h) {
            Quad c[4];
#pragma GCC unroll 4
            for (std::size_t j = 0; j < 4; ++j) {
                const auto at = static_cast<std::int64_t>(4 * e + j) * step + static_cast<std::int64_t>(h < LAST ? 32 * h : 32 * h - 8);
                std::memcpy(&c[j], line + at, 32);
            }
            Quad t01, t23;
            if (h < LAST) {
                t01 = __builtin_shufflevector(c[0], c[1], 0, 4, 2, 6);
                t23 = __builtin_shufflevector(c[2], c[3], 0, 4, 2, 6);
            } else {
                t01 = __builtin_shufflevector(c[0], c[1], 1, 5, 3, 7);
                t23 = __builtin_shufflevector(c[2], c[3], 1, 5, 3, 7);
            }
            store(2 * h, e, __builtin_shufflevector(t01, t23, 0, 1, 4, 5));
            store(2 * h + 1, e, __builtin_shufflevector(t01, t23, 2, 3, 6, 7));
        }
    }
}

// Every other float64 from `at`: one by one, or eight at a time for the 8-lane sums
// (octet(i): elements i to i + 7) from two vectors and one shuffle, where the compiler
// gathers them one by one (A[::2].sum() at 1e4: 2.6 against 1.4 us). The second vector
// is read 8 bytes early (Second 56), so that nothing past element i + 7 is touched (it
// may be the last of its memory), and gives its odd elements; or, where element i + 8
// follows, from the next 64 bytes (Second 64): from a line, neither vector then straddles
// two (1.2x faster over 1e6 elements).
template <std::size_t Second = 56>
struct EveryOtherF64 {
    const std::byte* at;
    CORVANTILE_INLINE double operator()(std::size_t i) const noexcept { return load<double>(at + 16 * i); }
    CORVANTILE_INLINE void octet(std::size_t i, folds::Lanes8& v) const noexcept {
        folds::Lanes8 a, b;
        std::memcpy(&a, at + 16 * i, sizeof a);
        std::memcpy(&b, at + 16 * i + Second, sizeof b);
        if constexpr (Second == 56) {
            v = __builtin_shufflevector(a, b, 0, 2, 4, 6, 9, 11, 13, 15);
        } else {
            v = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
        }
    }
};

// Calls run(get) with get(i) reading element i of the row at `at`, `step` bytes apart:
// the common steps as constants, so that the loops of run vectorise.
template <class T, class Run>
CORVANTILE_INLINE void with_row(const std::byte* at, std::int64_t step, Run run) {
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    const auto at_step = [at]<std::int64_t Step>(std::integral_constant<std::int64_t, Step>) {
        return [at](std::size_t i) CORVANTILE_INLINE_LAMBDA { return load<T>(at + static_cast<std::int64_t>(i) * Step); };
    };
    if (step == -SZ) {
        run(at_step(std::integral_constant<std::int64_t, -SZ>{}));
    } else if (step == 2 * SZ) {
        if constexpr (std::is_same_v<T, double>) {
            run(EveryOtherF64<>{at});
        } else {
            run(at_step(std::integral_constant<std::int64_t, 2 * SZ>{}));
        }
    } else {
        run([at, step](std::size_t i) CORVANTILE_INLINE_LAMBDA { return load<T>(at + static_cast<std::int64_t>(i) * step); });
    }
}

// memcpy of n bytes, inline up to eight lines (the joins, and the gathers and scatters of
// short rows, copy many short runs, where a call each costs more than the bytes).
CORVANTILE_INLINE void copy_short(std::byte* __restrict to, const std::byte* __restrict from, std::size_t n) noexcept {
    const auto piece = [&]<std::size_t W>(std::size_t at) CORVANTILE_INLINE_LAMBDA { std::memcpy(to + at, from + at, W); };
    if (n >= 64) {
        if (n > INLINE_COPY) return static_cast<void>(std::memcpy(to, from, n));
        for (std::size_t k = 0; k + 64 < n; k += 64) piece.template operator()<64>(k);
        return piece.template operator()<64>(n - 64);
    }
    if (n >= 32) {
        piece.template operator()<32>(0);
        return piece.template operator()<32>(n - 32);
    }
    if (n >= 16) {
        piece.template operator()<16>(0);
        return piece.template operator()<16>(n - 16);
    }
    if (n >= 8) {
        piece.template operator()<8>(0);
        return piece.template operator()<8>(n - 8);
    }
    if (n >= 4) {
        piece.template operator()<4>(0);
        return piece.template operator()<4>(n - 4);
    }
    for (std::size_t k = 0; k < n; ++k) to[k] = from[k];
}

// fn(i, m) for the pieces [i, i + m) of n elements, Piece at a time, until fn returns
// false: whether every piece was taken.
template <std::size_t Piece, class Fn>
CORVANTILE_INLINE bool by_pieces(std::uint64_t n, Fn fn) {
    for (std::uint64_t i = 0; i < n; i += Piece) {
        if (!fn(i, std::min<std::uint64_t>(Piece, n - i))) return false;
    }
    return true;
}

// dst[i] = the element at at + i * step, for i < n, elements of `size` bytes (1 or 8)
// lying two to four apart either way (stepped_rows), in vectors (stepped_gather.cpp).
void gather_stepped(const std::byte* at, std::int64_t step, std::size_t n, std::size_t size, std::byte* dst) noexcept;

// The element at at + i * step = src[i], for i < n bytes lying two to four apart either
// way (stepped_gather.cpp); the bytes between are not written.
void scatter_stepped(std::byte* at, std::int64_t step, std::size_t n, const std::byte* src) noexcept;

// Whether scatter_stepped takes rows of len bytes at this step.
constexpr bool scattered_rows(std::int64_t step, std::size_t size, std::size_t len) noexcept {
    return size == 1 && len >= 2 * SHORT_ROW && magnitude(step) >= 2 && magnitude(step) <= 4;
}

// Whether gather_stepped takes rows of len elements at this step: not the steps the
// compiler vectorises itself (with_row's constants), nor rows so short that the call and
// the loose ends cost more than an element by element loop.
constexpr bool stepped_rows(std::int64_t step, std::size_t size, std::size_t len) noexcept {
    const auto sz = static_cast<std::int64_t>(size);
    if ((size != 1 && size != 8) || step % sz != 0 || len < 2 * SHORT_ROW) return false;
    const std::int64_t k = step / sz;
    return k == 3 || k == 4 || k == -2 || k == -3 || k == -4;
}

// dst[r * dst_row + i] = the element at at + r * row_step + i * step, for r < rows, i < len,
// the rows lying closer together than a row's elements (a transpose's), in tiles
// (walk_copy.cpp, for the three element kinds). `next`, if not 0, is where the plane copied
// after this one lies, in bytes from this one: its lines are fetched meanwhile.
template <class T>
void copy_plane(const std::byte* at, std::int64_t row_step, std::int64_t step, std::size_t rows, std::size_t len,
                T* dst, std::int64_t dst_row, std::int64_t next = 0) noexcept;

// dst[r * len + i] = the element at at + r * row_step + i * step, for r < rows, i < len.
template <class T>
CORVANTILE_CLONES void gather(const std::byte* at, std::int64_t step, std::int64_t row_step, std::size_t rows,
                              std::size_t len, T* __restrict dst) noexcept {
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    if (rows == 1 && step == SZ) return static_cast<void>(std::memcpy(dst, at, len * sizeof(T)));
    if (step == SZ) {
        for (std::size_t r = 0; r < rows; ++r) {
            copy_short(reinterpret_cast<std::byte*>(dst + r * len), at + static_cast<std::int64_t>(r) * row_step, len * sizeof(T));
        }
        return;
    }
    if (rows == 1 || (len >= SHORT_ROW && rows_apart(step, row_step, len))) {
        // A stepped row, or rows apart from each other (stepped rows many to a block): one by one.
        if (stepped_rows(step, sizeof(T), len)) {
            for (std::size_t r = 0; r < rows; ++r) {
                gather_stepped(at + static_cast<std::int64_t>(r) * row_step, step, len, sizeof(T),
                               reinterpret_cast<std::byte*>(dst + r * len));
            }
            return;
        }
        for (std::size_t r = 0; r < rows; ++r) {
            const std::byte* a = at + static_cast<std::int64_t>(r) * row_step;
            T* d = dst + r * len;
            if (step != -SZ && step != 2 * SZ) {
                // Four elements a round, each from its own offset of the round's address: a
                // pointer stepped element by element would make each load wait for the
                // addition before it.
                std::size_t i = 0;
                for (; i + 4 <= len; i += 4) {
                    const std::byte* p = a + static_cast<std::int64_t>(i) * step;
                    d[i] = load<T>(p);
                    d[i + 1] = load<T>(p + step);
                    d[i + 2] = load<T>(p + 2 * step);
                    d[i + 3] = load<T>(p + 3 * step);
                }
                for (; i < len; ++i) d[i] = load<T>(a + static_cast<std::int64_t>(i) * step);
                continue;
            }
            with_row<T>(a, step, [&](auto get) CORVANTILE_INLINE_LAMBDA {
#pragma GCC unroll 4
                for (std::size_t i = 0; i < len; ++i) d[i] = get(i);
            });
        }
        return;
    }
    // Rows of a transpose in tiles: each column of a tile is read together.
    copy_plane<T>(at, row_step, step, rows, len, dst, static_cast<std::int64_t>(len));
}

// The inverse of gather: src's elements written to their places in the layout.
template <class T>
CORVANTILE_CLONES void scatter(std::byte* at, std::int64_t step, std::int64_t row_step, std::size_t rows,
                               std::size_t len, const T* __restrict src) noexcept {
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    if (scattered_rows(step, sizeof(T), len) && (rows == 1 || rows_apart(step, row_step, len))) {
        for (std::size_t r = 0; r < rows; ++r) {
            scatter_stepped(at + static_cast<std::int64_t>(r) * row_step, step, len, reinterpret_cast<const std::byte*>(src + r * len));
        }
        return;
    }
    if (rows == 1) {
        if (step == SZ) {
            std::memcpy(at, src, len * sizeof(T));
        } else if (step == -SZ) {
            for (std::size_t i = 0; i < len; ++i) store<T>(at - static_cast<std::int64_t>(i) * SZ, src[i]);
        } else {
            for (std::size_t i = 0; i < len; ++i) store<T>(at + static_cast<std::int64_t>(i) * step, src[i]);
        }
        return;
    }
    if (sizeof(T) == 8 && row_step == 8 && rows % 8 == 0) {
        return tiles8<false>(at, step, rows, len, reinterpret_cast<std::byte*>(const_cast<T*>(src)));
    }
    if (step == SZ && len * sizeof(T) <= INLINE_COPY) {
        for (std::size_t r = 0; r < rows; ++r) {
            copy_short(at + static_cast<std::int64_t>(r) * row_step, reinterpret_cast<const std::byte*>(src + r * len), len * sizeof(T));
        }
        return;
    }
    for (std::size_t i = 0; i < len; ++i) {
        std::byte* c = at + static_cast<std::int64_t>(i) * step;
        for (std::size_t r = 0; r < rows; ++r) store<T>(c + static_cast<std::int64_t>(r) * row_step, src[r * len + i]);
    }
}

// Logical elements [pos, pos + count) of a layout: `rows` rows of `len` elements, the
// first at `at`, rows row_step bytes apart, elements of a row step bytes apart.
template <class T>
struct Block {
    std::uint64_t pos;
    std::size_t count;
    std::byte* at;
    std::int64_t step;
    std::int64_t row_step;
    std::size_t rows;
    std::size_t len;

    // The elements in place when they lie contiguous and ascending, else null.
    T* direct() const noexcept {
        return rows == 1 && step == static_cast<std::int64_t>(sizeof(T)) ? reinterpret_cast<T*>(at) : nullptr;
    }
    // Whether the block goes in 8x8 register tiles (see tiles8).
    bool tiled() const noexcept { return sizeof(T) == 8 && rows > 1 && row_step == 8 && rows % 8 == 0; }
    void gather_to(T* dst) const noexcept { gather<T>(at, step, row_step, rows, len, dst); }
    void scatter_from(const T* src) const noexcept { scatter<T>(at, step, row_step, rows, len, src); }
};

// Calls fn(Block<T>) for consecutive blocks covering every element of s in logical C
// order. A block that is not direct holds at most `most` elements (>= 1). `gathered`: fn
// gathers every block that is not direct, so stepped rows come many to a block.
template <class T, class Fn>
void for_blocks(const Strided& whole, std::size_t most, Fn fn, bool gathered = false) {
    const Strided s = simplify(whole);
    if (s.size() == 0) return;
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    if (s.ndim == 0) {
        fn(Block<T>{0, 1, s.data, SZ, 0, 1, 1});
        return;
    }
    const std::size_t last = s.ndim - 1;
    const std::uint64_t inner = s.shape[last];
    const std::int64_t step = s.strides[last];
    const bool contiguous = step == SZ;
    // Tiles of several rows where the rows lie closer together than a row's elements, or
    // where they are short: a consumer's call for each would cost more than its elements.
    std::uint64_t tile = 1;
    if (s.ndim >= 2 && inner <= most / 2) {
        if (!contiguous && magnitude(s.strides[last - 1]) < magnitude(step)) {
            tile = std::min<std::uint64_t>(most / inner, s.shape[last - 1]);
            if (tile >= 8) tile -= tile % 8;
        } else if (rows_in_blocks(inner, SZ, step) || (gathered && !contiguous)) {
            tile = std::min<std::uint64_t>(most / inner, s.shape[last - 1]);
        }
    }
    const std::size_t odometer = tile > 1 ? last - 1 : last;  // axes stepped one by one
    const std::uint64_t chunk = contiguous ? inner : std::min<std::uint64_t>(inner, most);
    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::int64_t offset = 0;
    std::uint64_t pos = 0;
    for (;;) {
        if (tile > 1) {
            const std::uint64_t total = s.shape[last - 1];
            const std::int64_t row_step = s.strides[last - 1];
            for (std::uint64_t r = 0; r < total; r += tile) {
                const std::uint64_t rows = std::min(tile, total - r);
                fn(Block<T>{pos, static_cast<std::size_t>(rows * inner),
                            s.data + offset + static_cast<std::int64_t>(r) * row_step, step, row_step,
                            static_cast<std::size_t>(rows), static_cast<std::size_t>(inner)});
                pos += rows * inner;
            }
        } else {
            for (std::uint64_t i = 0; i < inner; i += chunk) {
                const auto len = static_cast<std::size_t>(std::min(chunk, inner - i));
                fn(Block<T>{pos, len, s.data + offset + static_cast<std::int64_t>(i) * step, step, 0, 1, len});
                pos += len;
            }
        }
        // Next row (or tile column): carry through the outer axes, last to first.
        if (!odometer_next(counter, odometer, [&](std::size_t k) { return s.shape[k]; },
                           [&](std::size_t k, std::int64_t times) { offset += times * s.strides[k]; })) {
            return;
        }
    }
}

// A buffer for one gathered block: on the stack when small, else on the heap, allocated
// by the first get().
template <class T>
class Scratch {
public:
    explicit Scratch(std::size_t n) noexcept : n_(n) {}
    std::size_t size() const noexcept { return n_; }
    T* get() {
        if (n_ <= SMALL) return small_;
        if (!big_) big_ = std::make_unique_for_overwrite<T[]>(n_);
        return big_.get();
    }
    // The elements of b: in place where they lie contiguous, else gathered here.
    const T* read(const Block<T>& b) {
        if (const T* d = b.direct()) return d;
        T* buffer = get();
        b.gather_to(buffer);
        return buffer;
    }

private:
    static constexpr std::size_t SMALL = 512 / sizeof(T) * 8;
    std::size_t n_;
    alignas(64) T small_[SMALL];
    std::unique_ptr<T[]> big_;
};

inline std::size_t scratch_size(const Strided& s) noexcept {
    const std::uint64_t n = s.size();
    return n < BLOCK ? static_cast<std::size_t>(n) : BLOCK;
}

// out[0..n) = the elements of s in logical C order (walk_copy.cpp, for the three element
// kinds). A large copy is written around the cache, unless `cached` (out is read back at
// once: a fold's buffer).
template <class T>
void copy(const Strided& s, T* out, bool cached = false);

// out[i] = f(element i of a row read in place), for i < n.
template <class R, class T, class F>
CORVANTILE_CLONES void map_row(const std::byte* at, std::int64_t step, R* __restrict out, std::size_t n, F f) {
    if constexpr (loops::MapRows<F, R, T>) {
        constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
        if (step % SZ == 0 && f.rows(reinterpret_cast<const T*>(at), step / SZ, out, n, false)) return;
    }
    with_row<T>(at, step, [&](auto get) CORVANTILE_INLINE_LAMBDA {
#pragma GCC unroll 4
        for (std::size_t i = 0; i < n; ++i) out[i] = f(get(i));
    });
}

// out[i] = f(element i of s), in logical C order.
template <class R, class T, class F>
void map(const Strided& s, R* out, F f) {
    // Rows are read in place; tiles gathered into the result (then mapped there while in
    // the cache) or into a buffer.
    Scratch<T> scratch(scratch_size(s));
    for_blocks<T>(s, BLOCK, [out, f, &scratch](const Block<T>& b) {
        if (const T* d = b.direct()) {
            loops::map_loop(d, out + b.pos, b.count, f);
        } else if (b.rows == 1 && sizeof(T) > 1) {  // one-byte rows vectorise once gathered
            map_row<R, T>(b.at, b.step, out + b.pos, b.count, f);
        } else if constexpr (std::is_same_v<R, T>) {
            b.gather_to(out + b.pos);
            loops::update_loop(out + b.pos, b.count, f);
        } else {
            T* buffer = scratch.get();
            b.gather_to(buffer);
            loops::map_loop(static_cast<const T*>(buffer), out + b.pos, b.count, f);
        }
    });
}

// out[i] = f(element i of s, y[i]), y contiguous in s's logical C order.
template <class R, class T, class U, class F>
void zip(const Strided& s, const U* y, R* out, F f) {
    Scratch<T> scratch(scratch_size(s));
    for_blocks<T>(s, BLOCK, [&](const Block<T>& b) {
        const T* x = scratch.read(b);
        loops::zip_loop(x, y + b.pos, out + b.pos, b.count, f);
    });
}

// Element i of a row stepped `step` bytes replaced by f(element i, y[i]) (by f(element i)
// where U is void), for i < n: each read and written once, in one pass.
template <class T, class F, class U = void>
CORVANTILE_CLONES void update_stepped(std::byte* at, std::int64_t step, std::size_t n, F f,
                                      const U* __restrict y = nullptr) noexcept {
#pragma GCC unroll 4
    for (std::size_t i = 0; i < n; ++i) {
        std::byte* p = at + static_cast<std::int64_t>(i) * step;
        if constexpr (std::is_void_v<U>) {
            store<T>(p, f(load<T>(p)));
        } else {
            store<T>(p, f(load<T>(p), y[i]));
        }
    }
}

// Every element of s replaced by f(element), in its place. s must be distinct().
template <class T, class F>
void update(const Strided& s, F f) {
    Scratch<T> scratch(scratch_size(s));
    for_blocks<T>(s, BLOCK, [f, &scratch](const Block<T>& b) {
        if (T* d = b.direct()) {
            loops::update_loop(d, b.count, f);
        } else if (b.rows == 1 && sizeof(T) > 1) {  // one-byte rows vectorise once gathered
            update_stepped<T>(b.at, b.step, b.count, f);
        } else {
            T* buffer = scratch.get();
            b.gather_to(buffer);
            loops::update_loop(buffer, b.count, f);
            b.scatter_from(buffer);
        }
    });
}

// Every element of s set from src[0..n) in logical C order. s must be distinct().
template <class T>
void assign(const Strided& s, const T* src) {
    for_blocks<T>(s, BLOCK, [src](const Block<T>& b) {
        if (T* d = b.direct()) {
            std::memcpy(d, src + b.pos, b.count * sizeof(T));
        } else {
            b.scatter_from(src + b.pos);
        }
    });
}

// ---- folds carried from block to block ----------------------------------------------

// Adds x[0..n), the logical elements [pos, pos + n), to the 8-lane total: element p goes to
// lane p mod 8 while p < body (the leading multiple of 8 of the whole count), and to the
// sequential tail after.
template <class Get>
CORVANTILE_INLINE void lanes_run(Get x, std::size_t n, std::uint64_t pos, std::uint64_t body, double* lane,
                                 double& tail) noexcept {
    using folds::as_double;
    const std::size_t in_lanes = pos >= body ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, body - pos));
    std::size_t i = 0;
    for (; i < in_lanes && (pos + i) % 8 != 0; ++i) lane[(pos + i) % 8] = lane[(pos + i) % 8] + as_double(x(i));
    if constexpr (requires(folds::Lanes8& v) { x.octet(std::size_t{}, v); }) {
        folds::Lanes8 l, v;
        std::memcpy(&l, lane, sizeof l);
        for (; i + 8 <= in_lanes; i += 8) {
            x.octet(i, v);
            l = l + v;
        }
        std::memcpy(lane, &l, sizeof l);
    } else {
        double l[8];
        for (std::size_t j = 0; j < 8; ++j) l[j] = lane[j];
        for (; i + 8 <= in_lanes; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) l[j] = l[j] + as_double(x(i + j));
        }
        for (std::size_t j = 0; j < 8; ++j) lane[j] = l[j];
    }
    for (; i < in_lanes; ++i) lane[(pos + i) % 8] = lane[(pos + i) % 8] + as_double(x(i));
    double t = tail;
    for (; i < n; ++i) t = t + as_double(x(i));
    tail = t;
}

// lanes_add inlined into a cloned caller.
template <class T>
CORVANTILE_INLINE void lanes_add_rest(const T* x, std::size_t n, std::uint64_t pos, std::uint64_t body, double* lane,
                                      double& tail) noexcept {
    lanes_run([x](std::size_t i) CORVANTILE_INLINE_LAMBDA { return x[i]; }, n, pos, body, lane, tail);
}

template <class T>
CORVANTILE_CLONES void lanes_add(const T* x, std::size_t n, std::uint64_t pos, std::uint64_t body, double* lane,
                                 double& tail) noexcept {
    lanes_add_rest(x, n, pos, body, lane, tail);
}

// The same for a row read in place.
template <class T>
CORVANTILE_CLONES void lanes_add_row(const std::byte* at, std::int64_t step, std::size_t n, std::uint64_t pos,
                                     std::uint64_t body, double* lane, double& tail) noexcept {
    if constexpr (std::is_same_v<T, double>) {
        // (The octets start where the logical position reaches a multiple of 8.)
        const std::byte* octets = at + 16 * ((8 - pos % 8) % 8);
        if (step == 16 && n > 8 && reinterpret_cast<std::uintptr_t>(octets) % loops::LINE_BYTES == 0) {
            // The last element apart: every octet before it has element i + 8 after it.
            lanes_run(EveryOtherF64<64>{at}, n - 1, pos, body, lane, tail);
            return lanes_run(EveryOtherF64<64>{at + 16 * (n - 1)}, 1, pos + n - 1, body, lane, tail);
        }
    }
    with_row<T>(at, step, [&](auto get) CORVANTILE_INLINE_LAMBDA { lanes_run(get, n, pos, body, lane, tail); });
}

// For a tiled block (Block::tiled, rows of 8 elements or more): gathers it into `into`
// while adding the `count` elements gathered before it (`pending`, logical elements from
// pos on) to the lanes, 64 after each tile, so that the chain of additions runs beside
// the gather rather than after it. The order of the additions is unchanged.
template <class T>
CORVANTILE_CLONES void lanes_tiles(const std::byte* at, std::int64_t step, std::size_t rows, std::size_t len, T* into,
                                   const T* pending, std::size_t count, std::uint64_t pos, std::uint64_t body,
                                   double* lane, double& tail) noexcept {
    std::size_t done = 0;
    if constexpr (std::is_same_v<T, double>) {
        // Whole vectors of the lanes' body from lane 0 on (a transpose's rows of a multiple
        // of 8): the lanes stay in a register from tile to tile.
        if (pos % 8 == 0 && count % 8 == 0 && pos + count <= body) {
            folds::Lanes8 acc;
            std::memcpy(&acc, lane, sizeof acc);
            // Whole runs of 64 only, unrolled: a loop of variable length here ran the sum
            // at half the speed of the gather alone.
            const auto add = [&]() CORVANTILE_INLINE_LAMBDA {
                if (count - done < 64) return;
                folds::add_octets<8>(acc, pending + done);
                done += 64;
            };
            tiles8<true>(const_cast<std::byte*>(at), step, rows, len, reinterpret_cast<std::byte*>(into), add);
            for (; done < count; done += 8) folds::add_octets(acc, pending + done);
            std::memcpy(lane, &acc, sizeof acc);
            return;
        }
    }
    const auto add = [&]() CORVANTILE_INLINE_LAMBDA {
        if (done >= count) return;
        const std::size_t n = std::min<std::size_t>(64, count - done);
        lanes_add_rest(pending + done, n, pos + done, body, lane, tail);
        done += n;
    };
    tiles8<true>(const_cast<std::byte*>(at), step, rows, len, reinterpret_cast<std::byte*>(into), add);
    if (done < count) lanes_add_rest(pending + done, count - done, pos + done, body, lane, tail);
}

// The 8-lane total of s's elements read as float64: the value folds::lanes gives for
// them laid out contiguously.
template <class T>
double lane_sum(const Strided& s) {
    const std::uint64_t n = s.size();
    const std::uint64_t body = n & ~std::uint64_t{7};
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double tail = -0.0;
    // Tiled blocks go into two buffers in turn: each is added while the next is gathered.
    Scratch<T> scratch(scratch_size(s)), other(scratch_size(s));
    const T* pending = nullptr;
    std::size_t pending_count = 0;
    std::uint64_t pending_pos = 0;
    const auto flush = [&]() {
        if (pending_count > 0) lanes_add(pending, pending_count, pending_pos, body, lane, tail);
        pending_count = 0;
    };
    for_blocks<T>(s, BLOCK, [&](const Block<T>& b) {
        if (b.tiled() && b.len >= 8) {
            T* into = pending == scratch.get() ? other.get() : scratch.get();
            lanes_tiles<T>(b.at, b.step, b.rows, b.len, into, pending, pending_count, pending_pos, body, lane, tail);
            pending = into;
            pending_count = b.count;
            pending_pos = b.pos;
            return;
        }
        flush();
        if (const T* x = b.direct()) {
            lanes_add(x, b.count, b.pos, body, lane, tail);
        } else if (b.rows == 1) {
            lanes_add_row<T>(b.at, b.step, b.count, b.pos, body, lane, tail);
        } else {
            T* buffer = scratch.get();
            b.gather_to(buffer);
            lanes_add(static_cast<const T*>(buffer), b.count, b.pos, body, lane, tail);
        }
    });
    flush();
    return folds::lanes_finish(lane, body != 0, tail, body != n);
}

// Calls fn(at, step, len) for every row along the last axis of simplify(whole), in
// logical order, until fn returns false; whether every row was seen.
template <class Fn>
bool for_rows(const Strided& whole, Fn fn) {
    const Strided s = simplify(whole);
    if (s.size() == 0) return true;
    if (s.ndim == 0) return fn(static_cast<const std::byte*>(s.data), std::int64_t{0}, std::uint64_t{1});
    const std::size_t last = s.ndim - 1;
    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::int64_t offset = 0;
    for (;;) {
        if (!fn(static_cast<const std::byte*>(s.data + offset), s.strides[last], s.shape[last])) return false;
        if (!odometer_next(counter, last, [&](std::size_t k) { return s.shape[k]; },
                           [&](std::size_t k, std::int64_t times) { offset += times * s.strides[k]; })) {
            return true;
        }
    }
}

// for_rows for the folds that do not depend on the order of reading: fn(at, step, n) for
// runs covering s's elements until fn returns false; whether every run was seen. Rows of
// `shortest` elements or more come whole where they lie (for_rows); shorter rows, and
// contiguous rows of bytes short enough to copy together (short_contiguous), are
// gathered into contiguous runs of up to BLOCK elements, where a call for each would
// cost more than its elements (8-byte rows measured faster called one by one).
template <class T, class Fn>
bool for_runs(const Strided& whole, std::size_t shortest, Fn fn) {
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    const Strided s = simplify(whole);
    if (s.ndim == 0) return for_rows(s, fn);
    const std::uint64_t inner = s.shape[s.ndim - 1];
    const bool short_bytes = sizeof(T) == 1 && s.ndim > 1 && s.strides[s.ndim - 1] == SZ && short_contiguous(inner, 1);
    if (inner >= shortest && !short_bytes) return for_rows(s, fn);
    Scratch<T> scratch(scratch_size(s));
    std::size_t fill = 0;
    bool going = true;
    const auto flush = [&]() {
        if (fill != 0 && going) going = fn(reinterpret_cast<const std::byte*>(scratch.get()), SZ, std::uint64_t{fill});
        fill = 0;
    };
    for_blocks<T>(s, BLOCK, [&](const Block<T>& b) {
        if (!going) return;
        if (fill + b.count > scratch.size()) flush();
        T* into = scratch.get() + fill;
        if (const T* d = b.direct()) {
            std::memcpy(into, d, b.count * sizeof(T));
        } else {
            b.gather_to(into);
        }
        fill += b.count;
    });
    flush();
    return going;
}

// For the folds that do not depend on the order, over s in memory order: where its rows
// lie contiguous and hold SHORT_ROW to `longest` elements (a column block's), fn(at,
// row_step, rows, n) for the rows of each plane together, n elements each, until fn
// returns false: whether every plane was seen. Nothing for other layouts. The rows are
// read where they lie, with no call (nor copy, as for_runs') of their own.
template <class T, class Fn>
std::optional<bool> for_row_planes(const Strided& m, std::uint64_t longest, Fn fn) {
    const Strided s = simplify(m);
    if (s.ndim < 2 || s.strides[s.ndim - 1] != static_cast<std::int64_t>(sizeof(T))) return std::nullopt;
    if (s.shape[s.ndim - 1] < SHORT_ROW || s.shape[s.ndim - 1] >= longest) return std::nullopt;
    Strided rows = s;
    const auto n = static_cast<std::size_t>(rows.shape[--rows.ndim]);
    return for_rows(rows, [&](const std::byte* at, std::int64_t row_step, std::uint64_t count) {
        return fn(at, row_step, static_cast<std::size_t>(count), n);
    });
}

// folds::extreme_rows from best, nan set if they hold a NaN.
template <bool Max, std::size_t Every = 1>
CORVANTILE_CLONES double extreme_rows_add(const std::byte* at, std::int64_t row_step, std::size_t rows, std::size_t n,
                                          double best, bool& nan) noexcept {
    bool seen = false;
    const double r = folds::extreme_rows<Max, Every>(at, row_step, rows, n, best, seen);
    nan = nan || seen;
    return r;
}

// The same over the one row x[0..n).
template <bool Max, std::size_t Every = 1>
double extreme_add(const double* x, std::size_t n, double best, bool& nan) noexcept {
    return extreme_rows_add<Max, Every>(reinterpret_cast<const std::byte*>(x), 0, 1, n, best, nan);
}

// Whether the rows along s's last axis hold every other float64, 64 or more of them: long
// enough to scan in whole vectors, the odd elements dropped.
inline bool long_every_other_rows(const Strided& s) noexcept {
    return s.ndim >= 1 && magnitude(s.strides[s.ndim - 1]) == 2 * sizeof(double) && s.shape[s.ndim - 1] >= 64;
}

// The max (Max) or min of s's float64 elements (at least one) by folds::better, read in
// memory order, and whether one is NaN: the value and the test do not depend on the order
// (the sign of a zero extreme does).
template <bool Max>
double unordered_extreme(const Strided& s, Scratch<double>& scratch, bool& nan) {
    double best = load<double>(s.data);
    nan = false;
    const Strided m = memory_order(s);
    // Long rows of every other element are scanned where they lie, each vector whole.
    if (long_every_other_rows(m)) {
        for_rows(m, [&](const std::byte* at, std::int64_t, std::uint64_t n) {
            best = extreme_add<Max, 2>(reinterpret_cast<const double*>(at), 2 * n - 1, best, nan);
            return true;
        });
        return best;
    }
    // Contiguous rows of a few dozen to a few hundred elements: scanned where they lie, the
    // rows along the axis before the last one call at a time.
    const auto planes = for_row_planes<double>(m, EXTREME_PLANE_ROW, [&](const std::byte* at, std::int64_t row_step,
                                                                        std::size_t rows, std::size_t n) {
        best = extreme_rows_add<Max>(at, row_step, rows, n, best, nan);
        return true;
    });
    if (planes) return best;
    // Shorter rows come together: a scan's set-up and closing cost about as much as
    // copying them.
    for_runs<double>(m, EXTREME_PLANE_ROW, [&](const std::byte* at, std::int64_t step, std::uint64_t n) {
        if (step == sizeof(double)) {
            best = extreme_add<Max>(reinterpret_cast<const double*>(at), static_cast<std::size_t>(n), best, nan);
            return true;
        }
        for (std::uint64_t i = 0; i < n; i += scratch.size()) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), n - i));
            gather<double>(at + static_cast<std::int64_t>(i) * step, step, 0, 1, count, scratch.get());
            best = extreme_add<Max>(scratch.get(), count, best, nan);
        }
        return true;
    });
    return best;
}

// The max (Max) or min of s's float64 elements (at least one): the value folds::extreme
// gives for them laid out contiguously.
template <bool Max>
double extreme(const Strided& s) {
    const std::uint64_t n = s.size();
    if (n == 1) return load<double>(s.data);
    bool nan = false;
    Scratch<double> scratch(scratch_size(s));
    const double best = unordered_extreme<Max>(s, scratch, nan);
    if (nan) return folds::QUIET_NAN;
    if (best == 0.0) {
        // The sign of a zero extreme is that of the last zero.
        double zero = best;
        for_blocks<double>(s, BLOCK, [&](const Block<double>& b) {
            const double* x = scratch.read(b);
            for (std::size_t i = b.count; i-- > 0;) {
                if (x[i] == 0.0) {
                    zero = x[i];
                    break;
                }
            }
        });
        return zero;
    }
    return best;
}

// The sequential fold of n float64 elements `step` bytes apart from acc.
template <class Step>
CORVANTILE_CLONES double fold_row(const std::byte* at, std::int64_t step, std::size_t n, double acc) noexcept {
    for (std::size_t i = 0; i < n; ++i) acc = Step{}(acc, load<double>(at + static_cast<std::int64_t>(i) * step));
    return acc;
}

// The sequential fold of s's float64 elements from acc, read in place row by row: the
// chain of steps is bound by their latency, which hides the strided loads, where a gather
// first would add a pass.
template <class Step>
double fold(const Strided& s, double acc, Step) {
    for_rows(s, [&](const std::byte* at, std::int64_t step, std::uint64_t n) {
        acc = fold_row<Step>(at, step, static_cast<std::size_t>(n), acc);
        return true;
    });
    return acc;
}

}  // namespace corvantile::walk
