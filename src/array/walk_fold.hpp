#pragma once

// Folds over strided layouts read where their elements lie. Folds whose value does not
// depend on the order (integer and bool totals, integer extremes, any/all) walk the
// layout in memory order, row by row, and any/all stop at the first deciding element;
// the rest keep the logical order of the contiguous folds, block by block (tiles for a
// transpose), so that every result has the bits of the same fold over a contiguous copy.

#include "array/walk.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace corvantile::walk {

// Layouts of fewer elements are gathered onto the stack element by element (less to
// set up than the block walks) and folded there by the contiguous loops.
inline constexpr std::size_t SMALL_FOLD = 64;

// out[0..n) = the elements of s (not empty) in logical C order, one at a time.
template <class T>
void gather_small(const Strided& s, T* out) noexcept {
    if (s.ndim == 0) {
        *out = load<T>(s.data);
        return;
    }
    const std::size_t last = s.ndim - 1;
    const std::uint64_t inner = s.shape[last];
    const std::int64_t step = s.strides[last];
    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::int64_t offset = 0;
    for (;;) {
        std::int64_t at = offset;
        for (std::uint64_t i = 0;;) {
            *out++ = load<T>(s.data + at);
            if (++i == inner) break;
            at += step;
        }
        if (!odometer_next(counter, last, [&](std::size_t k) { return s.shape[k]; },
                           [&](std::size_t k, std::int64_t times) { offset += times * s.strides[k]; })) {
            return;
        }
    }
}

// folds::extreme and folds::arg_extreme of fewer than SMALL_SCAN elements (n > 0), one
// after another: nothing to set up (the scans' 32 lanes cost more than 8 elements).
inline constexpr std::size_t SMALL_SCAN = 16;
template <bool Max>
inline double small_extreme(const double* x, std::size_t n) noexcept {
    double acc = x[0];
    for (std::size_t i = 1; i < n; ++i) acc = Max ? folds::MaxStep{}(acc, x[i]) : folds::MinStep{}(acc, x[i]);
    return acc;
}
template <bool Max>
inline std::size_t small_arg_extreme(const double* x, std::size_t n) noexcept {
    std::size_t best = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (x[i] != x[i]) return i;
        if (folds::better<Max>(x[i], x[best])) best = i;
    }
    return best;
}

// ---- folds in memory order -------------------------------------------------------------

// The int64 total (wrapping) or the count of true bools of a row.
template <class T>
CORVANTILE_CLONES std::uint64_t row_total(const std::byte* at, std::int64_t step, std::uint64_t n) noexcept {
    std::uint64_t total = 0;
    with_row<T>(at, step, [&](auto get) CORVANTILE_INLINE_LAMBDA {
        for (std::uint64_t i = 0; i < n; ++i) {
            if constexpr (std::is_same_v<T, Bool>) {
                total += get(i) != Bool::False;
            } else {
                total += static_cast<std::uint64_t>(get(i));
            }
        }
    });
    return total;
}

// The sum of s's int64 elements (wrapping) or the count of its true bools.
template <class T>
std::int64_t int_total(const Strided& s) {
    std::uint64_t total = 0;
    for_runs<T>(memory_order(s), SHORT_ROW, [&](const std::byte* at, std::int64_t step, std::uint64_t n) {
        if (step == static_cast<std::int64_t>(sizeof(T))) {
            const T* x = reinterpret_cast<const T*>(at);
            if constexpr (std::is_same_v<T, Bool>) {
                total += static_cast<std::uint64_t>(folds::count_true(x, n));
            } else {
                total += static_cast<std::uint64_t>(folds::wrapping_sum(x, n));
            }
        } else {
            total += row_total<T>(at, step, n);
        }
        return true;
    });
    return static_cast<std::int64_t>(total);
}

// The max (Max) or min of acc and a row's int64 elements, in independent lanes (the
// value does not depend on the order); or of `rows` such rows row_step bytes apart, the
// lanes kept from row to row.
template <bool Max>
CORVANTILE_CLONES std::int64_t row_int_extreme(const std::byte* at, std::int64_t step, std::uint64_t n,
                                               std::int64_t acc, std::size_t rows = 1, std::int64_t row_step = 0) noexcept {
    const auto pick = [](std::int64_t x, std::int64_t a) CORVANTILE_INLINE_LAMBDA {
        return (Max ? x > a : x < a) ? x : a;
    };
    std::int64_t lane[8];
    for (std::size_t j = 0; j < 8; ++j) lane[j] = acc;
    const auto scan = [&](auto get) CORVANTILE_INLINE_LAMBDA {
        std::uint64_t i = 0;
        for (; i + 8 <= n; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) lane[j] = pick(get(i + j), lane[j]);
        }
        for (; i < n; ++i) acc = pick(get(i), acc);
    };
    for (std::size_t r = 0; r < rows; ++r, at += row_step) {
        if (step == 8) {
            const std::int64_t* x = reinterpret_cast<const std::int64_t*>(at);
            scan([x](std::uint64_t i) CORVANTILE_INLINE_LAMBDA { return x[i]; });
        } else {
            with_row<std::int64_t>(at, step, scan);
        }
    }
    for (std::size_t j = 0; j < 8; ++j) acc = pick(lane[j], acc);
    return acc;
}

// The same over n contiguous elements.
template <bool Max>
std::int64_t run_int_extreme(const std::int64_t* x, std::size_t n) noexcept {
    return row_int_extreme<Max>(reinterpret_cast<const std::byte*>(x), 8, n, x[0]);
}

// The max (Max) or min of s's int64 elements (at least one).
template <bool Max>
std::int64_t int_extreme(const Strided& s) {
    std::int64_t acc = load<std::int64_t>(s.data);
    const Strided m = memory_order(s);
    const auto planes = for_row_planes<std::int64_t>(m, EXTREME_PLANE_ROW, [&](const std::byte* at, std::int64_t row_step,
                                                                 std::size_t rows, std::size_t n) {
        acc = row_int_extreme<Max>(at, 8, n, acc, rows, row_step);
        return true;
    });
    if (planes) return acc;
    for_runs<std::int64_t>(m, SHORT_ROW, [&](const std::byte* at, std::int64_t step, std::uint64_t n) {
        acc = row_int_extreme<Max>(at, step, n, acc);
        return true;
    });
    return acc;
}

// Whether a strided row holds an element deciding any (Any: a nonzero one) or all (a zero
// one); NaN counts as nonzero. Chunks of the row are tested whole, so that they vectorise.
template <bool Any, class T>
CORVANTILE_CLONES bool row_decides(const std::byte* at, std::int64_t step, std::uint64_t n) noexcept {
    bool hit = false;
    with_row<T>(at, step, [&](auto get) CORVANTILE_INLINE_LAMBDA {
        hit = !by_pieces<256>(n, [&](std::uint64_t i, std::uint64_t m) CORVANTILE_INLINE_LAMBDA {
            bool h = false;
            for (std::uint64_t j = i; j < i + m; ++j) h |= (get(j) != T{0}) == Any;
            return !h;
        });
    });
    return hit;
}

// The same for n contiguous elements.
template <bool Any, class T>
CORVANTILE_CLONES bool run_decides(const T* x, std::size_t n) noexcept {
    return !by_pieces<256>(n, [&](std::uint64_t i, std::uint64_t m) CORVANTILE_INLINE_LAMBDA {
        bool h = false;
        for (std::uint64_t j = i; j < i + m; ++j) h |= (x[j] != T{0}) == Any;
        return !h;
    });
}

// Four float64 lanes: a vector register under AVX2, whose 4 x 4 transposes
// (folds::transpose4) compile to four unpacks and four lane swaps (the 8 x 8 ones of the
// wider vectors do not).
typedef double Lanes4 __attribute__((vector_size(32)));
typedef std::int64_t Mask4 __attribute__((vector_size(32)));

// The same for `rows` rows of n >= 16 contiguous elements, row_step bytes apart: each row
// in pieces of U vectors of V (of T's width), the last overlapping the one before (a few
// dozen bytes would otherwise go one by one), a few rows at a time, so that it stops soon
// after the first deciding element. NaN != 0 holds, as it should.
template <bool Any, std::size_t U, class V>
CORVANTILE_INLINE bool rows_decide_in(V, const std::byte* at, std::int64_t row_step, std::size_t rows, std::size_t n) noexcept {
    constexpr std::size_t W = sizeof(V) / sizeof(V{}[0]), PIECE = U * W;
    static_assert(SHORT_ROW >= PIECE);  // for_row_planes' shortest rows
    using M = decltype(V{} != V{});
    M hits[U] = {};
    const auto decided = [&hits]() CORVANTILE_INLINE_LAMBDA {
        M all = hits[0];
        for (std::size_t u = 1; u < U; ++u) all |= hits[u];
        bool h = false;
        for (std::size_t j = 0; j < W; ++j) h |= all[j] != 0;
        return h;
    };
    std::size_t tested = 0;
    for (std::size_t r = 0; r < rows; ++r, at += row_step) {
        for (std::size_t i = 0; i < n; i += PIECE) {
            const std::byte* p = at + std::min(i, n - PIECE) * sizeof(V{}[0]);
            for (std::size_t u = 0; u < U; ++u) {
                V v;
                std::memcpy(&v, p + u * sizeof(V), sizeof v);
                hits[u] |= Any ? v != V{} : v == V{};
            }
        }
        tested += n;
        if (tested >= 256) {
            if (decided()) return true;
            tested = 0;
        }
    }
    return decided();
}

template <bool Any, class T>
CORVANTILE_CLONES bool rows_decide(const std::byte* at, std::int64_t row_step, std::size_t rows, std::size_t n) noexcept {
    using Bytes = std::uint8_t __attribute__((vector_size(16)));
    if constexpr (sizeof(T) == 1) {
        return rows_decide_in<Any, 1>(Bytes{}, at, row_step, rows, n);
    } else if constexpr (std::is_same_v<T, double>) {
        return rows_decide_in<Any, 4>(Lanes4{}, at, row_step, rows, n);
    } else {
        return rows_decide_in<Any, 4>(Mask4{}, at, row_step, rows, n);
    }
}

// any (Any) or all of x[0..n).
template <bool Any, class T>
bool run_any_all(const T* x, std::size_t n) noexcept {
    return run_decides<Any, T>(x, n) == Any;
}

// any (Any) or all of s's elements, stopping at the first that decides.
template <bool Any, class T>
bool any_all(const Strided& s) {
    const Strided m = memory_order(s);
    const auto planes = for_row_planes<T>(m, DECIDE_PLANE_ROW, [](const std::byte* at, std::int64_t row_step, std::size_t rows, std::size_t n) {
        return !rows_decide<Any, T>(at, row_step, rows, n);
    });
    if (planes) return Any ? !*planes : *planes;
    const bool undecided = for_runs<T>(m, SHORT_ROW, [](const std::byte* at, std::int64_t step, std::uint64_t n) {
        if (step == static_cast<std::int64_t>(sizeof(T))) return !run_decides<Any, T>(reinterpret_cast<const T*>(at), n);
        if (sizeof(T) == 1 && stepped_rows(step, 1, n)) {
            // Bytes a few apart: a piece gathered in vectors, then tested in vectors.
            T piece[256];
            return by_pieces<256>(n, [&](std::uint64_t i, std::uint64_t m) {
                gather_stepped(at + static_cast<std::int64_t>(i) * step, step, m, 1, reinterpret_cast<std::byte*>(piece));
                return !run_decides<Any, T>(piece, m);
            });
        }
        return !row_decides<Any, T>(at, step, n);
    });
    return Any ? !undecided : undecided;
}

// ---- slabs: layouts whose adjacent elements lie along an outer axis ---------------------

// A layout of 8-byte elements whose axis `axis`, not one of the last two, steps by one
// element (either way) or by two while the last axis steps further (the 3-D transposes):
// logical order meets memory neighbours `inner` elements apart, so that the row tiles of
// for_blocks fetch each cache line several times. A slab of planes (steps along `axis`)
// at a time is instead copied, in logical order, by the copy's plane tiles, which read
// each line once.
struct Slabs {
    std::size_t axis;
    std::uint64_t inner;  // elements of the axes after `axis`
};

// Planes of more elements than this go by the row tiles (eight of them would outgrow the
// second-level cache); smaller ones are copied as many at a time as this many elements
// hold, small layouts whole.
inline constexpr std::uint64_t SLAB_MOST = 1 << 15;

template <class T>
std::optional<Slabs> slabs_of(const Strided& s) noexcept {
    if (sizeof(T) != 8 || s.ndim < 3) return std::nullopt;
    const std::size_t last = s.ndim - 1;
    for (std::size_t a = 0; a + 1 < last; ++a) {
        const std::int64_t pitch = s.strides[a];
        if (pitch != 8 && pitch != -8 && pitch != 16) continue;
        std::uint64_t inner = 1;
        for (std::size_t k = a + 1; k <= last; ++k) inner *= s.shape[k];
        if (s.shape[a] < 8 || s.shape[last] < 8 || inner > SLAB_MOST) return std::nullopt;
        return Slabs{a, inner};
    }
    return std::nullopt;
}

// Calls fn(const T* x, pos, count) for runs of logically consecutive elements covering a
// slab-shaped layout (simplify(whole), see slabs_of), copied slab by slab: eight planes,
// or as many more (a multiple of eight) as SLAB_MOST elements hold. False, with nothing
// called, for any other layout.
template <class T, class Fn>
bool slab_runs(const Strided& whole, Fn fn) {
    const Strided s = simplify(whole);
    const std::optional<Slabs> slabs = slabs_of<T>(s);
    if (!slabs) return false;
    const std::size_t a = slabs->axis;
    const std::uint64_t planes = std::max<std::uint64_t>(8, (SLAB_MOST / slabs->inner) & ~std::uint64_t{7});
    const auto buffer = std::make_unique_for_overwrite<T[]>(static_cast<std::size_t>(std::min(planes, s.shape[a]) * slabs->inner));
    std::array<std::uint64_t, MAX_NDIM> outer{};
    std::int64_t outer_at = 0;
    std::uint64_t pos = 0;
    do {
        for (std::uint64_t r0 = 0; r0 < s.shape[a]; r0 += planes) {
            Strided slab = s;  // one step of each axis before `axis`
            for (std::size_t k = 0; k < a; ++k) slab.shape[k] = 1;
            // A last slab of fewer than eight planes is copied as the last eight, which the
            // tiles take whole, and the planes already taken skipped.
            const std::uint64_t take = std::min(planes, s.shape[a] - r0);
            const std::uint64_t from = take < 8 ? s.shape[a] - 8 : r0;
            slab.data = s.data + outer_at + static_cast<std::int64_t>(from) * s.strides[a];
            slab.shape[a] = r0 + take - from;
            copy<T>(slab, buffer.get(), true);
            const std::uint64_t count = take * slabs->inner;
            fn(static_cast<const T*>(buffer.get() + (r0 - from) * slabs->inner), pos, static_cast<std::size_t>(count));
            pos += count;
        }
    } while (odometer_next(outer, a, [&](std::size_t k) { return s.shape[k]; },
                           [&](std::size_t k, std::int64_t times) { outer_at += times * s.strides[k]; }));
    return true;
}

// gather() of a tile that is not an 8 x 8 register tile (rows further apart than one
// element: a stepped transpose), with the lines of the column 16 on fetched ahead: its
// columns lie a page or more apart, beyond what the hardware fetches ahead.
template <class T>
CORVANTILE_CLONES void gather_ahead(const std::byte* at, std::int64_t step, std::int64_t row_step, std::size_t rows,
                                    std::size_t len, T* __restrict dst) noexcept {
    const std::uint64_t span = (rows - 1) * (row_step < 0 ? -static_cast<std::uint64_t>(row_step)
                                                          : static_cast<std::uint64_t>(row_step));
    const std::int64_t low = row_step < 0 ? -static_cast<std::int64_t>(span) : 0;
    const std::uint64_t lines = std::min<std::uint64_t>(span / 64 + 1, 32);
    for (std::size_t i = 0; i < len; ++i) {
        const std::byte* c = at + static_cast<std::int64_t>(i) * step;
        const auto far = reinterpret_cast<std::uintptr_t>(c) + static_cast<std::uintptr_t>(16 * step + low);
        for (std::uint64_t l = 0; l < lines; ++l) __builtin_prefetch(reinterpret_cast<const void*>(far + 64 * l));
        for (std::size_t r = 0; r < rows; ++r) dst[r * len + i] = load<T>(c + static_cast<std::int64_t>(r) * row_step);
    }
}

// A block's elements for the folds in logical order: Scratch::read (register tiles for a
// transpose, whole, reversed or taken every other row), the other tiles by gather_ahead.
template <class T>
bool register_tiles(const Block<T>& b) noexcept {
    return b.tiled() || (sizeof(T) == 8 && (b.row_step == 16 || b.row_step == -8) && b.rows % 8 == 0);
}
template <class T>
const T* fold_read(Scratch<T>& scratch, const Block<T>& b) {
    if (b.rows == 1 || register_tiles(b) || (b.len >= SHORT_ROW && rows_apart(b.step, b.row_step, b.len))) {
        return scratch.read(b);
    }
    T* buffer = scratch.get();
    gather_ahead<T>(b.at, b.step, b.row_step, b.rows, b.len, buffer);
    return buffer;
}

// Whether for_blocks cuts s (simplified) into tiles that are not register tiles.
template <class T>
bool loose_tiles(const Strided& whole) noexcept {
    const Strided s = simplify(whole);
    if (s.ndim < 2) return false;
    const std::int64_t row_step = s.strides[s.ndim - 2];
    return magnitude(row_step) < magnitude(s.strides[s.ndim - 1]) &&
           !(sizeof(T) == 8 && row_step == 8) && s.shape[s.ndim - 1] <= BLOCK / 2;
}

// One group of eight logical rows of a transpose (rows Pitch bytes apart: side by side,
// every other one, or side by side downward; len >= 8 elements of `step` bytes each)
// gathered into `into` (8 x len) by 8 x 8 register tiles, while the group gathered before
// it (`pending`, 8 * len elements, within the lanes' body and from lane 0) is added to the
// lanes, 64 elements after each tile: the order of additions of folds::lanes, with the
// adds beside the gather.
// Everything unrolled: the tiles stay in registers.
template <int Pitch>
CORVANTILE_CLONES void lanes_group8(const std::byte* at, std::int64_t step, std::size_t len, double* into,
                                    const double* pending, double* lane) noexcept {
    folds::Lanes8 acc;
    std::memcpy(&acc, lane, sizeof acc);
    const std::size_t count = pending == nullptr ? 0 : 8 * len;
    std::size_t done = 0;
    const std::int64_t ahead = len > 32 ? 16 * step : 0;
    for (std::size_t t = 0; t < len; t += 8) {
        const std::size_t i0 = t + 8 <= len ? t : len - 8;  // the last tile overlaps the one before
        const std::byte* line = at + static_cast<std::int64_t>(i0) * step;
        if constexpr (Pitch == 16) {
            stepped_tile<8>(line, step, ahead, [&](std::size_t r, std::size_t e, const Quad& x) CORVANTILE_INLINE_LAMBDA {
                std::memcpy(into + r * len + i0 + 4 * e, &x, sizeof x);
            });
        } else {
            folds::Lanes8 v[8];
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 8; ++k) {
                const std::byte* p = line + static_cast<std::int64_t>(k) * step;
                // Rows downward: the eight lie below the first, which is the line's last element.
                std::memcpy(&v[k], p - (Pitch < 0 ? 56 : 0), sizeof v[k]);
                // Formed as an integer: the address may lie past the memory's end.
                __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) +
                                                                 static_cast<std::uintptr_t>(ahead)));
            }
            folds::transpose8(v);
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 8; ++k) std::memcpy(into + k * len + i0, &v[Pitch < 0 ? 7 - k : k], sizeof v[k]);
        }
        if (count - done >= 64) {
            folds::add_octets<8>(acc, pending + done);
            done += 64;
        }
    }
    for (; done < count; done += 8) folds::add_octets(acc, pending + done);
    std::memcpy(lane, &acc, sizeof acc);
}

// lanes_group8 for the group of rows from r0 of t (transpose_groups(t)).
inline void lanes_group8_at(const Strided& t, std::uint64_t r0, double* into, const double* pending, double* lane) {
    const std::byte* at = t.data + static_cast<std::int64_t>(r0) * t.strides[0];
    const auto len = static_cast<std::size_t>(t.shape[1]);
    if (t.strides[0] == 16) return lanes_group8<16>(at, t.strides[1], len, into, pending, lane);
    if (t.strides[0] == -8) return lanes_group8<-8>(at, t.strides[1], len, into, pending, lane);
    lanes_group8<8>(at, t.strides[1], len, into, pending, lane);
}

// The 8-lane total of a 2-D transpose of float64 (s simplified: rows side by side, upward
// or downward, or every other one, rows and len >= 8) in groups of eight rows, two buffers of a group in
// turn; rows past the last group one by one; nothing for any other layout.
inline bool transpose_groups(const Strided& s) noexcept {
    return s.ndim == 2 && (s.strides[0] == 8 || s.strides[0] == 16 || s.strides[0] == -8) && s.shape[0] >= 8 && s.shape[1] >= 8 &&
           magnitude(s.strides[1]) > 16;
}
inline std::optional<double> transpose_lane_total(const Strided& s) {
    if (!transpose_groups(s)) return std::nullopt;
    const std::uint64_t rows = s.shape[0], len = s.shape[1], n = rows * len;
    const std::uint64_t body = n & ~std::uint64_t{7};
    const std::int64_t step = s.strides[1];
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double tail = -0.0;
    const auto group = static_cast<std::size_t>(8 * len);
    // One allocation, the second buffer a line and a half past the first's end, so that
    // the one written and the one read do not meet at the same offsets within a page.
    constexpr std::size_t SKEW = 24;
    const auto buffer = std::make_unique_for_overwrite<double[]>(2 * group + SKEW + 8);
    double* const first = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(buffer.get()) + 63) & ~std::uintptr_t{63});
    double* const bufs[2] = {first, first + group + SKEW};
    const double* pending = nullptr;
    std::uint64_t r0 = 0;
    for (bool turn = false; r0 + 8 <= rows; r0 += 8, turn = !turn) {
        lanes_group8_at(s, r0, bufs[turn], pending, lane);
        pending = bufs[turn];
    }
    // The last group lies within the body: a whole number of groups has a multiple of 8
    // elements, and rows after it hold at least 8.
    if (pending != nullptr) lanes_add(pending, group, (r0 - 8) * len, body, lane, tail);
    for (; r0 < rows; ++r0) {
        lanes_add_row<double>(s.data + static_cast<std::int64_t>(r0) * s.strides[0], step, static_cast<std::size_t>(len), r0 * len,
                              body, lane, tail);
    }
    return folds::lanes_finish(lane, body != 0, tail, body != n);
}

// The 8-lane total of s's elements read as float64 (lane_sum), slabs and 2-D transposes
// of float64 by their own roads.
template <class T>
double lane_total(const Strided& s) {
    const std::uint64_t n = s.size();
    const std::uint64_t body = n & ~std::uint64_t{7};
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double tail = -0.0;
    const bool done = slab_runs<T>(s, [&](const T* x, std::uint64_t pos, std::size_t count) {
        lanes_add(x, count, pos, body, lane, tail);
    });
    if (done) return folds::lanes_finish(lane, body != 0, tail, body != n);
    if constexpr (std::is_same_v<T, double>) {
        if (const std::optional<double> total = transpose_lane_total(simplify(s))) return *total;
    }
    if (!loose_tiles<T>(s)) return lane_sum<T>(s);
    Scratch<T> scratch(scratch_size(s));
    for_blocks<T>(s, BLOCK, [&](const Block<T>& b) {
        lanes_add(fold_read(scratch, b), b.count, b.pos, body, lane, tail);
    });
    return folds::lanes_finish(lane, body != 0, tail, body != n);
}

// ---- folds in logical order ---------------------------------------------------------------

// The same scan over a row reversed in memory, its n elements from low up (n > 0).
template <bool Max>
CORVANTILE_CLONES double reversed_scan(const double* low, std::size_t n, bool& nan) noexcept {
    nan = false;
    return folds::extreme_scan<Max>(low, n, low[n - 1], nan);
}

// The first i in [from, n) whose element of the row (`step` bytes apart) is NaN (Nan) or
// equals v, else n: 64 elements tested at once until one matches.
template <bool Nan>
CORVANTILE_CLONES std::size_t next_match(const std::byte* at, std::int64_t step, std::size_t from, std::size_t n,
                                         double v) noexcept {
    std::size_t i = from;
    const auto search = [&](auto get) CORVANTILE_INLINE_LAMBDA {
        const auto match = [&](double x) CORVANTILE_INLINE_LAMBDA { return Nan ? x != x : x == v; };
        for (; n - i >= 64; i += 64) {
            std::uint64_t hits = 0;
            for (std::size_t j = 0; j < 64; ++j) hits += match(get(i + j)) ? 1 : 0;
            if (hits != 0) break;
        }
        while (i < n && !match(get(i))) ++i;
    };
    if (step == sizeof(double)) {
        const auto* x = reinterpret_cast<const double*>(at);
        search([x](std::size_t k) CORVANTILE_INLINE_LAMBDA { return x[k]; });
    } else {
        with_row<double>(at, step, search);
    }
    return i;
}

// The logical position of the first element of s (simplified, distinct) that is NaN (Nan)
// or equals v, looked for in memory order: each match's address is turned back into its
// logical position. Nothing where more than `most` elements match (the positions then cost
// more than a walk in logical order) or none does.
template <bool Nan>
std::optional<std::uint64_t> first_match_unordered(const Strided& s, double v, std::size_t most) {
    // The axes by falling stride, from the lowest address: |stride| and logical weight
    // (signed, from the far end where the axis steps back).
    struct Axis {
        std::uint64_t stride;
        std::int64_t weight;
    };
    std::array<Axis, MAX_NDIM> axes{};
    const std::byte* low = s.data;
    std::uint64_t origin = 0, weight = 1;
    for (std::size_t k = s.ndim; k-- > 0;) {
        const bool back = s.strides[k] < 0;
        if (back) {
            low += static_cast<std::int64_t>(s.shape[k] - 1) * s.strides[k];
            origin += (s.shape[k] - 1) * weight;
        }
        axes[k] = {magnitude(s.strides[k]), back ? -static_cast<std::int64_t>(weight) : static_cast<std::int64_t>(weight)};
        weight *= s.shape[k];
    }
    for (std::size_t k = 1; k < s.ndim; ++k) {  // insertion sort: at most 8 axes
        for (std::size_t j = k; j > 0 && axes[j].stride > axes[j - 1].stride; --j) std::swap(axes[j], axes[j - 1]);
    }
    std::uint64_t first = std::numeric_limits<std::uint64_t>::max();
    std::size_t matches = 0;
    const bool within = for_rows(memory_order(s), [&](const std::byte* at, std::int64_t step, std::uint64_t n) {
        for (std::size_t i = next_match<Nan>(at, step, 0, n, v); i < n; i = next_match<Nan>(at, step, i + 1, n, v)) {
            if (++matches > most) return false;
            auto off = static_cast<std::uint64_t>(at + static_cast<std::int64_t>(i) * step - low);
            std::uint64_t pos = origin;
            for (std::size_t k = 0; k < s.ndim; ++k) {
                const std::uint64_t m = off / axes[k].stride;
                off -= m * axes[k].stride;
                pos += m * static_cast<std::uint64_t>(axes[k].weight);
            }
            first = std::min(first, pos);
        }
        return true;
    });
    if (!within || matches == 0) return std::nullopt;
    return first;
}

// Whether some axis of s (simplified) steps less far than the one after it: logical order
// then crosses the memory order (a transpose).
inline bool crosses(const Strided& s) noexcept {
    for (std::size_t k = 0; k + 1 < s.ndim; ++k) {
        if (magnitude(s.strides[k]) < magnitude(s.strides[k + 1])) return true;
    }
    return false;
}

inline constexpr std::uint64_t EVERY_OTHER_TWICE_UPTO = 1 << 16;

// The logical position of the first NaN of s (not empty), else of the first max (Max) or
// min: folds::arg_extreme of the elements laid out contiguously.
template <bool Max>
std::uint64_t arg_extreme(const Strided& whole) {
    const Strided s = simplify(whole);
    if (long_every_other_rows(s) && s.strides[s.ndim - 1] > 0 && !crosses(s)) {
        // Rows of every other element in logical order: each row's extreme found where it
        // lies, whole vectors at a time; the first row to pass the others (or to hold a NaN)
        // is then searched for the place.
        double best = load<double>(s.data);
        const std::byte* best_row = s.data;
        std::uint64_t best_pos = 0, pos = 0;
        bool nan = false;
        for_rows(s, [&](const std::byte* at, std::int64_t, std::uint64_t n) {
            const auto* x = reinterpret_cast<const double*>(at);
            const double m = extreme_add<Max, 2>(x, 2 * n - 1, x[0], nan);
            if (nan || folds::better<Max>(m, best)) {
                best = m;
                best_row = at;
                best_pos = pos;
            }
            pos += n;
            return !nan;
        });
        const std::uint64_t n = s.shape[s.ndim - 1];
        const std::int64_t step = s.strides[s.ndim - 1];
        return best_pos + (nan ? next_match<true>(best_row, step, 0, n, best) : next_match<false>(best_row, step, 0, n, best));
    }
    // Where logical order crosses memory order, both passes go in memory order: the
    // extreme, then the first place it (or a NaN) takes. So do long rows of every other
    // element stepping back, while both passes stay in the caches (beyond, one gathering
    // pass costs less than two).
    const bool every_other = long_every_other_rows(s) && s.size() <= EVERY_OTHER_TWICE_UPTO;
    if ((crosses(s) || every_other) && distinct(s, sizeof(double))) {
        constexpr std::size_t MOST_MATCHES = 64;
        bool nan = false;
        Scratch<double> scratch(scratch_size(s));
        const double best = unordered_extreme<Max>(s, scratch, nan);
        const auto at = nan ? first_match_unordered<true>(s, best, MOST_MATCHES)
                            : first_match_unordered<false>(s, best, MOST_MATCHES);
        if (at) return *at;
    }
    double best = load<double>(s.data);
    std::uint64_t best_at = 0;
    std::optional<std::uint64_t> nan_at;
    const auto scan_run = [&](const double* x, std::uint64_t pos, std::size_t count) {
        if (nan_at) return;
        const std::size_t i = folds::arg_extreme<Max>(x, count);
        if (x[i] != x[i]) {
            nan_at = pos + i;
        } else if (folds::better<Max>(x[i], best)) {
            best = x[i];
            best_at = pos + i;
        }
    };
    // Short rows are scanned together, copied one after another: a scan's set-up costs
    // more than a short row.
    constexpr std::size_t JOIN_BELOW = 256, JOINED = 2048;
    double joined[JOINED];
    std::uint64_t joined_pos = 0;
    std::size_t joined_count = 0;
    const auto flush = [&] {
        if (joined_count != 0) scan_run(joined, joined_pos, joined_count);
        joined_count = 0;
    };
    const auto run = [&](const double* x, std::uint64_t pos, std::size_t count) {
        if (count >= JOIN_BELOW) {
            flush();
            return scan_run(x, pos, count);
        }
        if (joined_count + count > JOINED) flush();
        if (joined_count == 0) joined_pos = pos;
        std::memcpy(joined + joined_count, x, count * sizeof(double));
        joined_count += count;
    };
    // A reversed row is scanned where it lies, its positions counted from the top.
    const auto reversed = [&](const double* top, std::uint64_t pos, std::size_t count) {
        flush();
        if (nan_at) return;
        bool nan = false;
        const double m = reversed_scan<Max>(top - (count - 1), count, nan);
        std::size_t i = 0;
        if (nan) {
            while (top[-static_cast<std::ptrdiff_t>(i)] == top[-static_cast<std::ptrdiff_t>(i)]) ++i;
            nan_at = pos + i;
        } else if (folds::better<Max>(m, best)) {
            while (top[-static_cast<std::ptrdiff_t>(i)] != m) ++i;
            best = m;
            best_at = pos + i;
        }
    };
    if (!slab_runs<double>(s, run)) {
        Scratch<double> scratch(scratch_size(s));
        for_blocks<double>(s, BLOCK, [&](const Block<double>& b) {
            if (nan_at) return;
            if (b.rows == 1 && b.step == -8 && b.count >= JOIN_BELOW) {
                reversed(reinterpret_cast<const double*>(b.at), b.pos, b.count);
            } else if (b.rows == 1 && b.count < JOIN_BELOW && b.direct() == nullptr) {
                // A short stepped row gathered straight into the joined run.
                if (joined_count + b.count > JOINED) flush();
                if (joined_count == 0) joined_pos = b.pos;
                b.gather_to(joined + joined_count);
                joined_count += b.count;
            } else {
                run(fold_read(scratch, b), b.pos, b.count);
            }
        });
    }
    flush();
    return nan_at ? *nan_at : best_at;
}

// out[i] = acc after the step with each of s's float64 elements 0..i, in logical order.
template <class Step>
void scan(const Strided& s, double* out, double acc, Step step) {
    const bool slabs = slab_runs<double>(s, [&](const double* x, std::uint64_t pos, std::size_t count) {
        folds::scan(x, out + pos, count, acc, step);
        acc = out[pos + count - 1];
    });
    if (slabs) return;
    for_blocks<double>(s, BLOCK, [&](const Block<double>& b) {
        double* o = out + b.pos;
        if (const double* d = b.direct()) {
            folds::scan(d, o, b.count, acc, step);
        } else if (b.rows > 1 && !register_tiles(b)) {
            gather_ahead<double>(b.at, b.step, b.row_step, b.rows, b.len, o);
            folds::scan(o, o, b.count, acc, step);
        } else {
            b.gather_to(o);
            folds::scan(o, o, b.count, acc, step);
        }
        acc = o[b.count - 1];
    });
}

// Views up to this many elements are copied once for their variance (into the
// second-level cache) rather than walked twice.
inline constexpr std::uint64_t VARIANCE_COPY_UPTO = 1 << 16;

// The population variance of s's float64 elements (at least one): folds::variance of the
// elements laid out contiguously. Small views, and views whose elements reach logical order
// only through a buffer (transposes, slabs, loose tiles), are copied once and read there:
// gathering them twice cost more than the copy.
inline double variance(const Strided& s) {
    const std::uint64_t n = s.size();
    if (const Strided t = simplify(s); n <= VARIANCE_COPY_UPTO || transpose_groups(t) || slabs_of<double>(t) ||
                                        loose_tiles<double>(s)) {
        const auto copied = std::make_unique_for_overwrite<double[]>(n);
        copy<double>(s, copied.get(), true);
        return folds::variance(copied.get(), n);
    }
    const double count = static_cast<double>(n);
    const double mean = lane_total<double>(s) / count;
    folds::SquaredDeviations acc(mean);
    Scratch<double> scratch(scratch_size(s));
    for_blocks<double>(s, BLOCK, [&](const Block<double>& b) {
        acc.add(fold_read(scratch, b), b.count);
    });
    return acc.total() / count;
}

// ---- folds along one axis -------------------------------------------------------------------

// folds::step_lanes for four lanes.
template <class Step>
CORVANTILE_INLINE void step_lanes4(Lanes4& acc, Mask4& nan, const Lanes4& x) noexcept {
    if constexpr (std::is_same_v<Step, folds::AddStep>) {
        acc = acc + x;
    } else if constexpr (std::is_same_v<Step, folds::MulStep>) {
        acc = acc * x;
    } else {
        if constexpr (std::is_same_v<Step, folds::MaxStep>) {
            acc = acc > x ? acc : x;
        } else {
            acc = acc < x ? acc : x;
        }
        nan |= x != x;
    }
}

// Folds `Group` rows at once (row[j], `step` bytes between elements, len elements each),
// one row a vector lane, into out[0..valid): each from init (from its first element when
// init is empty) in ascending k, the values of the sequential fold. Rows past `valid` are
// repeats and are not written.
template <std::size_t Group, class Step>
CORVANTILE_CLONES void fold_row_group(const std::byte* const* row, std::size_t valid, std::int64_t step,
                                      std::uint64_t len, double* out, std::optional<double> init, Step fold) noexcept {
    constexpr std::size_t V = Group / 4;
    Lanes4 acc[V];
    Mask4 nan[V];
    for (std::size_t v = 0; v < V; ++v) {
        for (std::size_t j = 0; j < 4; ++j) acc[v][j] = init ? *init : load<double>(row[4 * v + j]);
        nan[v] = acc[v] != acc[v];
    }
    const std::uint64_t k0 = init ? 0 : 1;
    std::uint64_t k = k0;
    if (step == 8) {
        for (; len - k >= 4; k += 4) {
            for (std::size_t v = 0; v < V; ++v) {
                Lanes4 c[4];
                for (std::size_t j = 0; j < 4; ++j) std::memcpy(&c[j], row[4 * v + j] + k * 8, sizeof(Lanes4));
                folds::transpose4(c);
                for (std::size_t j = 0; j < 4; ++j) step_lanes4<Step>(acc[v], nan[v], c[j]);
            }
        }
    } else if (step == -8) {
        // Reversed rows: the four elements below k + 3 read as one vector, their columns
        // then taken from the highest address down.
        for (; len - k >= 4; k += 4) {
            for (std::size_t v = 0; v < V; ++v) {
                Lanes4 c[4];
                for (std::size_t j = 0; j < 4; ++j) {
                    std::memcpy(&c[j], row[4 * v + j] - static_cast<std::int64_t>(k + 3) * 8, sizeof(Lanes4));
                }
                folds::transpose4(c);
                for (std::size_t j = 4; j-- > 0;) step_lanes4<Step>(acc[v], nan[v], c[j]);
            }
        }
    } else {
        for (; k < len; ++k) {
            const std::int64_t off = static_cast<std::int64_t>(k) * step;
            for (std::size_t v = 0; v < V; ++v) {
                Lanes4 c;
                for (std::size_t j = 0; j < 4; ++j) c[j] = load<double>(row[4 * v + j] + off);
                step_lanes4<Step>(acc[v], nan[v], c);
            }
        }
    }
    double lane[Group];
    std::memcpy(lane, acc, sizeof lane);
    if constexpr (folds::EXTREME_STEP<Step>) {
        std::int64_t met[Group];
        std::memcpy(met, nan, sizeof met);
        for (std::size_t j = 0; j < Group; ++j) lane[j] = k > k0 && met[j] != 0 ? folds::QUIET_NAN : lane[j];
    }
    for (; k < len; ++k) {
        for (std::size_t j = 0; j < Group; ++j) lane[j] = fold(lane[j], load<double>(row[j] + static_cast<std::int64_t>(k) * step));
    }
    for (std::size_t j = 0; j < valid; ++j) out[j] = lane[j];
}

// The sequential fold of one row of len elements (from its first when init is empty).
template <class Step>
CORVANTILE_CLONES double fold_one_row(const std::byte* at, std::int64_t step, std::uint64_t len,
                                      std::optional<double> init, Step fold) noexcept {
    double acc = init ? *init : load<double>(at);
    with_row<double>(at, step, [&](auto get) CORVANTILE_INLINE_LAMBDA {
        for (std::uint64_t k = init ? 0 : 1; k < len; ++k) acc = fold(acc, get(k));
    });
    return acc;
}

// p[i * p_step] = fold(p[i * p_step], element i of a row read in place), for i < n.
template <class Step>
CORVANTILE_CLONES void update_row(double* __restrict p, std::int64_t p_step, const std::byte* at, std::int64_t step,
                                  std::size_t n, Step fold) noexcept {
    if (p_step == 1 && step == 8) {
        const double* __restrict x = reinterpret_cast<const double*>(at);
        for (std::size_t i = 0; i < n; ++i) p[i] = fold(p[i], x[i]);
    } else if (p_step == 1) {
        with_row<double>(at, step, [&](auto get) CORVANTILE_INLINE_LAMBDA {
            for (std::size_t i = 0; i < n; ++i) p[i] = fold(p[i], get(i));
        });
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            double& o = p[static_cast<std::int64_t>(i) * p_step];
            o = fold(o, load<double>(at + static_cast<std::int64_t>(i) * step));
        }
    }
}

// s without its axis `axis`; that axis's length and stride.
struct AxisSplit {
    Strided rest;
    std::uint64_t len;
    std::int64_t step;
};
inline AxisSplit split_axis(const Strided& s, std::size_t axis) noexcept {
    AxisSplit a{{}, s.shape[axis], s.strides[axis]};
    a.rest.data = s.data;
    for (std::size_t k = 0; k < s.ndim; ++k) {
        if (k == axis) continue;
        a.rest.shape[a.rest.ndim] = s.shape[k];
        a.rest.strides[a.rest.ndim] = s.strides[k];
        ++a.rest.ndim;
    }
    return a;
}

// Folds s (not empty) along `axis` into out, laid out in C order over the other axes: each
// output from init (from its first element when init is empty) in ascending index along
// the axis, the values of folds::fold_axis over a contiguous copy. Where the axis has
// the smallest stride, each output's elements are a row read in place, several rows at
// once; otherwise the outputs are updated together, a row across the axis at a time. `alone(at, step, len)` may give a row's
// value by itself (the extremes of long rows); nothing where it does not.
template <class Step, class Alone>
void fold_axis(const Strided& s, std::size_t axis, double* out, std::optional<double> init, Step fold,
               Alone alone) {
    const AxisSplit a = split_axis(s, axis);
    const Strided rest = simplify(a.rest);
    const std::uint64_t count = rest.size();
    std::uint64_t smallest = ~std::uint64_t{0};
    for (std::size_t k = 0; k < rest.ndim; ++k) smallest = std::min(smallest, magnitude(rest.strides[k]));
    const bool by_rows = magnitude(a.step) <= smallest || count < 64;
    if (by_rows) {
        constexpr std::size_t G = 16;
        const std::byte* row[G];
        std::size_t have = 0;
        std::uint64_t done = 0;
        const auto flush = [&]() {
            if (have == 0) return;
            for (std::size_t j = have; j < G; ++j) row[j] = row[have - 1];
            if (have == 1) {
                out[done] = fold_one_row(row[0], a.step, a.len, init, fold);
            } else if (have <= 8) {
                fold_row_group<8>(row, have, a.step, a.len, out + done, init, fold);
            } else {
                fold_row_group<16>(row, have, a.step, a.len, out + done, init, fold);
            }
            done += have;
            have = 0;
        };
        for_rows(rest, [&](const std::byte* at, std::int64_t step, std::uint64_t n) {
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::byte* r = at + static_cast<std::int64_t>(i) * step;
                if (const std::optional<double> v = alone(r, a.step, a.len)) {
                    flush();
                    out[done++] = *v;
                    continue;
                }
                row[have++] = r;
                if (have == G) flush();
            }
            return true;
        });
        flush();
        return;
    }
    // The other axes go around the axis where their stride is larger, inside it where
    // smaller, so that memory is read in about the order it lies; each output still takes
    // its elements in ascending index along the axis.
    struct Loop {
        std::uint64_t len;
        std::int64_t in;   // bytes
        std::int64_t out;  // elements
    };
    std::array<Loop, MAX_NDIM> outside{}, inside{};
    std::size_t n_outside = 0, n_inside = 0;
    std::int64_t out_stride = 1;
    for (std::size_t k = a.rest.ndim; k-- > 0;) {
        const Loop l{a.rest.shape[k], a.rest.strides[k], out_stride};
        out_stride *= static_cast<std::int64_t>(a.rest.shape[k]);
        if (l.len == 1) continue;
        if (magnitude(l.in) < magnitude(a.step)) {
            inside[n_inside++] = l;
        } else {
            outside[n_outside++] = l;
        }
    }
    const auto by_falling_stride = [&](std::array<Loop, MAX_NDIM>& loops, std::size_t n) {
        for (std::size_t k = 1; k < n; ++k) {  // insertion sort: at most 8 axes
            for (std::size_t j = k; j > 0 && magnitude(loops[j].in) > magnitude(loops[j - 1].in); --j) {
                std::swap(loops[j], loops[j - 1]);
            }
        }
    };
    by_falling_stride(outside, n_outside);
    by_falling_stride(inside, n_inside);
    // fn(in, out) at every index of loops[0..n): the offsets in bytes and elements.
    const auto each = [](const Loop* loops, std::size_t n, auto fn) {
        std::array<std::uint64_t, MAX_NDIM> counter{};
        std::int64_t in = 0, out = 0;
        for (;;) {
            fn(in, out);
            const auto move = [&](std::size_t k, std::int64_t times) {
                in += times * loops[k].in;
                out += times * loops[k].out;
            };
            if (!odometer_next(counter, n, [&](std::size_t k) { return loops[k].len; }, move)) return;
        }
    };
    std::uint64_t k0 = 0;
    if (init) {
        std::fill(out, out + count, *init);
    } else {
        copy<double>(a.rest, out);
        k0 = 1;
    }
    const Loop row = inside[n_inside - 1];  // n_inside >= 1: the axis is not the smallest stride
    if (n_inside == 1 && row.out != 1) {
        // The outputs of the row lie apart (a transpose's axis folded): they are folded in a
        // contiguous run, read from out and written back once, rather than in place.
        constexpr std::uint64_t RUN = 512;
        double acc[RUN];
        each(outside.data(), n_outside, [&](std::int64_t in_outer, std::int64_t out_outer) {
            for (std::uint64_t c0 = 0; c0 < row.len; c0 += RUN) {
                const auto n = static_cast<std::size_t>(std::min(RUN, row.len - c0));
                double* o = out + out_outer + static_cast<std::int64_t>(c0) * row.out;
                for (std::size_t i = 0; i < n; ++i) acc[i] = o[static_cast<std::int64_t>(i) * row.out];
                const std::byte* in = s.data + in_outer + static_cast<std::int64_t>(c0) * row.in;
                for (std::uint64_t k = k0; k < a.len; ++k) {
                    update_row(acc, 1, in + static_cast<std::int64_t>(k) * a.step, row.in, n, fold);
                }
                for (std::size_t i = 0; i < n; ++i) o[static_cast<std::int64_t>(i) * row.out] = acc[i];
            }
        });
        return;
    }
    each(outside.data(), n_outside, [&](std::int64_t in_outer, std::int64_t out_outer) {
        for (std::uint64_t k = k0; k < a.len; ++k) {
            const std::int64_t in_k = in_outer + static_cast<std::int64_t>(k) * a.step;
            each(inside.data(), n_inside - 1, [&](std::int64_t in, std::int64_t o) {
                update_row(out + out_outer + o, row.out, s.data + in_k + in, row.in, row.len, fold);
            });
        }
    });
}

// No row folded by itself.
struct NoneAlone {
    std::optional<double> operator()(const std::byte*, std::int64_t, std::uint64_t) const noexcept {
        return std::nullopt;
    }
};

// Rows of a view shorter than this go by the row groups: a scan's set-up and closing cost
// more than it saves (rows of 84 elements: 3.1 against 11.8 us for 100 rows; of 1000: 19
// against 15).
inline constexpr std::uint64_t ROW_ALONE = 512;
// The same for rows of other steps than one element either way.
inline constexpr std::uint64_t STRIDED_ROW_ALONE = 1 << 14;

// The max (Max) or min along `axis`: the values of folds::extreme_axis over a contiguous
// copy; long rows by the whole-array scan.
template <bool Max>
void extreme_axis(const Strided& s, std::size_t axis, double* out) {
    const auto alone = [](const std::byte* at, std::int64_t step, std::uint64_t len) -> std::optional<double> {
        if (len < ROW_ALONE) return std::nullopt;
        if (step == 8) return folds::extreme<Max>(reinterpret_cast<const double*>(at), len);
        if (step == -8) {
            // Reversed, scanned where it lies: the last zero in logical order lies lowest.
            const double* low = reinterpret_cast<const double*>(at) - (len - 1);
            bool nan = false;
            const double best = reversed_scan<Max>(low, static_cast<std::size_t>(len), nan);
            if (nan) return folds::QUIET_NAN;
            if (best != 0.0) return best;
            std::size_t i = 0;
            while (low[i] != 0.0) ++i;
            return low[i];
        }
        if (len < STRIDED_ROW_ALONE) return std::nullopt;
        Strided row;
        row.data = const_cast<std::byte*>(at);
        row.ndim = 1;
        row.shape[0] = len;
        row.strides[0] = step;
        return extreme<Max>(row);
    };
    if constexpr (Max) {
        fold_axis(s, axis, out, std::nullopt, folds::MaxStep{}, alone);
    } else {
        fold_axis(s, axis, out, std::nullopt, folds::MinStep{}, alone);
    }
}

}  // namespace corvantile::walk
