// Copies of strided layouts in logical order: transposes in register tiles.
#include "array/walk_copy.hpp"

namespace corvantile::walk {

namespace {

// The gather of tiles8 into rows dst_row bytes apart (rows a multiple of R, 8 or 4; len >=
// 4), for rows side by side (Stepped false) or every other one: R rows by 4 elements at a
// time, as 4 x 4 quarters, which stay in registers.
template <bool Stepped, std::size_t R = 8>
CORVANTILE_INLINE void tiles8x4(const std::byte* at, std::int64_t step, std::size_t rows, std::size_t len,
                                std::byte* dst, std::int64_t dst_row, std::int64_t next) noexcept {
    using Q = std::uint64_t __attribute__((vector_size(32)));
    constexpr std::int64_t ROW = Stepped ? 16 : 8;
    // Elements r .. r+3 of the rows (from the row at p) as one vector.
    const auto quarter = [](const std::byte* p, Q& q) CORVANTILE_INLINE_LAMBDA {
        if constexpr (Stepped) {
            // The second vector read 8 bytes early, so as not to pass the last element.
            Q a, b;
            std::memcpy(&a, p, 32);
            std::memcpy(&b, p + 24, 32);
            q = __builtin_shufflevector(a, b, 0, 2, 5, 7);
        } else {
            std::memcpy(&q, p, 32);
        }
    };
    // The tile of rows r0 .. r0+R-1 at elements i0 .. i0+3.
    const auto tile = [&](std::size_t r0, std::size_t i0) CORVANTILE_INLINE_LAMBDA {
        const std::byte* line = at + static_cast<std::int64_t>(r0) * ROW + static_cast<std::int64_t>(i0) * step;
        std::byte* o = dst + static_cast<std::int64_t>(r0) * dst_row + static_cast<std::int64_t>(i0) * 8;
        for (std::int64_t h = 0; h < static_cast<std::int64_t>(R / 4); ++h) {
            Q v[4];
            for (std::size_t k = 0; k < 4; ++k) quarter(line + static_cast<std::int64_t>(k) * step + h * 4 * ROW, v[k]);
            folds::transpose4(v);
            for (std::int64_t k = 0; k < 4; ++k) std::memcpy(o + (4 * h + k) * dst_row, &v[k], 32);
        }
    };
    // The lines of columns i0 .. i0+3 16 elements on. Formed as an integer: the address may
    // lie past the end of the memory, where a prefetch is simply dropped.
    const auto fetch_ahead = [&](std::size_t r0, std::size_t i0) CORVANTILE_INLINE_LAMBDA {
        const auto far = reinterpret_cast<std::uintptr_t>(at) +
                         static_cast<std::uintptr_t>(static_cast<std::int64_t>(r0) * ROW +
                                                     static_cast<std::int64_t>(i0 + 16) * step);
        for (std::size_t k = 0; k < 4; ++k) {
            const auto p = far + static_cast<std::uintptr_t>(static_cast<std::int64_t>(k) * step);
            __builtin_prefetch(reinterpret_cast<const void*>(p));
            if constexpr (Stepped) __builtin_prefetch(reinterpret_cast<const void*>(p + 64));
        }
    };
    // The lines the tile at r0, i0 reads, in the next plane: a short plane ends before the
    // hardware finds the next one's columns, each a stream of its own. Columns whose 64 (or
    // 128) bytes lie across lines: one more.
    const bool across = ((reinterpret_cast<std::uintptr_t>(at) | static_cast<std::uintptr_t>(step) |
                          static_cast<std::uintptr_t>(next)) & 63) != 0;
    const auto fetch_next = [&](std::size_t r0, std::size_t i0) CORVANTILE_INLINE_LAMBDA {
        const auto far = reinterpret_cast<std::uintptr_t>(at) +
                         static_cast<std::uintptr_t>(static_cast<std::int64_t>(r0) * ROW +
                                                     static_cast<std::int64_t>(i0) * step + next);
        for (std::size_t k = 0; k < 4; ++k) {
            const auto p = far + static_cast<std::uintptr_t>(static_cast<std::int64_t>(k) * step);
            __builtin_prefetch(reinterpret_cast<const void*>(p));
            if (Stepped || across) __builtin_prefetch(reinterpret_cast<const void*>(p + (Stepped ? 64 : 63)));
            if (Stepped && across) __builtin_prefetch(reinterpret_cast<const void*>(p + 127));
        }
    };
    // Where the next plane is known, its lines; else those of the columns 16 on.
    const auto fetch = [&](std::size_t r0, std::size_t i0) CORVANTILE_INLINE_LAMBDA {
        if (next != 0) return fetch_next(r0, i0);
        fetch_ahead(r0, i0);
    };
    // The lines of dst rows r0 .. r0+R-1 at element i0, asked for to be written: without, each
    // came at a miss's pace (1,000 x 1,000 float64: 650 against 560 us; 100 x 100: 4.6
    // against 3.4 us). Rows whose 64 bytes lie across two lines: both.
    const bool straddles = ((reinterpret_cast<std::uintptr_t>(dst) | static_cast<std::uintptr_t>(dst_row)) & 63) != 0;
    const auto fetch_to_write = [&](std::size_t r0, std::size_t i0, bool both) CORVANTILE_INLINE_LAMBDA {
        const auto ahead = reinterpret_cast<std::uintptr_t>(dst) +
                           static_cast<std::uintptr_t>(static_cast<std::int64_t>(r0) * dst_row + static_cast<std::int64_t>(i0) * 8);
        for (std::size_t k = 0; k < R; ++k) {
            const auto p = ahead + static_cast<std::uintptr_t>(static_cast<std::int64_t>(k) * dst_row);
            __builtin_prefetch(reinterpret_cast<const void*>(p), 1);
            if (both) __builtin_prefetch(reinterpret_cast<const void*>(p + 63), 1);
        }
    };
    const std::size_t body = len & ~std::size_t{3};
    if (magnitude(step) * len <= (std::size_t{1} << 19) || rows <= 8) {
        // Columns within half a MiB, or one tile of rows: eight rows along all columns at a
        // time (the orders below measured slower here, 1.5x where rows lie a power of two
        // apart).
        for (std::size_t r0 = 0; r0 < rows; r0 += R) {
            for (std::size_t t = 0; t < len; t += 4) {
                const std::size_t i0 = t < body ? t : len - 4;
                if (len > 32) {
                    fetch(r0, i0);
                    // The rows' lines two on, once a line.
                    if ((t & 7) == 0) fetch_to_write(r0, i0 + 16, false);
                } else if (next != 0) {
                    fetch_next(r0, i0);
                }
                tile(r0, i0);
            }
        }
        return;
    }
    // Columns spanning more: a few columns at a time down all the rows, so that each is read
    // along its length (which the hardware fetches ahead within, given enough rows); the last
    // columns overlap the ones before.
    if (rows < 192) {
        // Few rows: four columns at a time, fetched ahead (of 1e6 float64, measured faster
        // than the order below with 32 to 128 rows, slower with 200 and more).
        for (std::size_t t = 0; t < len; t += 4) {
            const std::size_t i0 = t < body ? t : len - 4;
            for (std::size_t r0 = 0; r0 < rows; r0 += R) {
                fetch(r0, i0);
                tile(r0, i0);
            }
        }
        return;
    }
    // Many rows: eight columns, so that each row of dst gets 64 bytes at once.
    const std::size_t width = len >= 8 ? 8 : 4;
    for (std::size_t t = 0; t < len; t += width) {
        const std::size_t i0 = t + width <= len ? t : len - width;
        for (std::size_t r0 = 0; r0 < rows; r0 += R) {
            fetch_to_write(r0 + 16, i0, straddles);
            tile(r0, i0);
            if (width == 8) tile(r0, i0 + 4);
        }
    }
}

// The same for 1-byte elements, of rows side by side or every other one: each element of a
// row brings the eight rows' bytes in one word; eight words are transposed by three rounds of
// interleaving.
template <bool Stepped>
CORVANTILE_INLINE void tiles8_bytes(const std::byte* at, std::int64_t step, std::size_t rows, std::size_t len,
                                    std::byte* dst, std::int64_t dst_row) noexcept {
    using V8 = std::uint8_t __attribute__((vector_size(8)));
    using V16 = std::uint8_t __attribute__((vector_size(16)));
    using W16 = std::uint16_t __attribute__((vector_size(16)));
    using D16 = std::uint32_t __attribute__((vector_size(16)));
    const std::size_t body = len & ~std::size_t{7};
    for (std::size_t r0 = 0; r0 < rows; r0 += 8) {
        for (std::size_t t = 0; t < len; t += 8) {
            const std::size_t i0 = t < body ? t : len - 8;
            const std::byte* line = at + static_cast<std::int64_t>(r0) * (Stepped ? 2 : 1) + static_cast<std::int64_t>(i0) * step;
            V8 x[8];
            for (std::size_t k = 0; k < 8; ++k) {
                const std::byte* p = line + static_cast<std::int64_t>(k) * step;
                if constexpr (Stepped) {
                    // Bytes 0 .. 14 as two words, the second from byte 7 so as not to pass the last.
                    V8 a, b;
                    std::memcpy(&a, p, 8);
                    std::memcpy(&b, p + 7, 8);
                    x[k] = __builtin_shufflevector(a, b, 0, 2, 4, 6, 9, 11, 13, 15);
                } else {
                    std::memcpy(&x[k], p, 8);
                }
            }
            V16 b[4];
            for (std::size_t j = 0; j < 4; ++j) {
                b[j] = __builtin_shufflevector(x[2 * j], x[2 * j + 1], 0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
            }
            W16 h[4];
            for (std::size_t j = 0; j < 4; ++j) std::memcpy(&h[j], &b[j], 16);
            const W16 lo01 = __builtin_shufflevector(h[0], h[1], 0, 8, 1, 9, 2, 10, 3, 11);
            const W16 hi01 = __builtin_shufflevector(h[0], h[1], 4, 12, 5, 13, 6, 14, 7, 15);
            const W16 lo23 = __builtin_shufflevector(h[2], h[3], 0, 8, 1, 9, 2, 10, 3, 11);
            const W16 hi23 = __builtin_shufflevector(h[2], h[3], 4, 12, 5, 13, 6, 14, 7, 15);
            D16 q[4];
            std::memcpy(&q[0], &lo01, 16);
            std::memcpy(&q[1], &hi01, 16);
            std::memcpy(&q[2], &lo23, 16);
            std::memcpy(&q[3], &hi23, 16);
            // Two rows of the result each.
            const D16 w[4] = {__builtin_shufflevector(q[0], q[2], 0, 4, 1, 5), __builtin_shufflevector(q[0], q[2], 2, 6, 3, 7),
                              __builtin_shufflevector(q[1], q[3], 0, 4, 1, 5), __builtin_shufflevector(q[1], q[3], 2, 6, 3, 7)};
            std::byte* row = dst + static_cast<std::int64_t>(r0) * dst_row + static_cast<std::int64_t>(i0);
            for (std::size_t j = 0; j < 4; ++j) {
                std::memcpy(row + static_cast<std::int64_t>(2 * j) * dst_row, &w[j], 8);
                std::memcpy(row + static_cast<std::int64_t>(2 * j + 1) * dst_row, reinterpret_cast<const std::byte*>(&w[j]) + 8, 8);
            }
        }
    }
}

// dst[r * dst_row + i] = the element at at + r * row_step + i * step, for r < rows, i < len,
// the rows lying closer together than a row's elements (a transpose's): 8-byte elements of
// rows side by side or every other one in 8 x 4 tiles (4 x 4 for a few rows), bytes of the
// same in 8 x 8; the other rows eight at a time, each column's elements read together.
template <class T>
CORVANTILE_INLINE void plane_rows(const std::byte* at, std::int64_t row_step, std::int64_t step, std::size_t rows,
                                  std::size_t len, T* dst, std::int64_t dst_row, std::int64_t next) noexcept {
    if (row_step < 0) {
        // Rows taken from the last up, written from the last up.
        at += static_cast<std::int64_t>(rows - 1) * row_step;
        row_step = -row_step;
        dst += static_cast<std::int64_t>(rows - 1) * dst_row;
        dst_row = -dst_row;
    }
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    // Planes of fewer rows than a tile, side by side, their columns at least the plane's
    // height apart and going up, at steps the row gathers do not take in vectors (N x 6
    // bools transposed, say): tiles of a whole height, whose rows past the plane's read what
    // lies after each column (never past the last column's elements), into a buffer of
    // which the plane's rows are kept.
    constexpr std::size_t HIGH = SZ == 8 ? 4 : 8, CHUNK = 64;
    if ((SZ == 8 || SZ == 1) && row_step == SZ && rows >= 2 && rows < HIGH && step >= static_cast<std::int64_t>(rows) * SZ &&
        step != 2 * SZ && !stepped_rows(step, sizeof(T), len)) {
        const auto over = static_cast<std::size_t>(HIGH - rows) * SZ;
        const std::size_t beyond = (over + static_cast<std::size_t>(step) - 1) / static_cast<std::size_t>(step);
        const std::size_t reach = len > beyond ? len - beyond : 0;  // columns whose tile stays within
        alignas(64) std::byte buffer[HIGH * CHUNK * SZ];
        std::size_t c0 = 0;
        while (c0 + 8 <= reach) {
            const std::size_t count = std::min(CHUNK, reach - c0);
            const std::byte* from = at + static_cast<std::int64_t>(c0) * step;
            if constexpr (SZ == 8) {
                tiles8x4<false, 4>(from, step, HIGH, count, buffer, CHUNK * SZ, 0);
            } else {
                tiles8_bytes<false>(from, step, HIGH, count, buffer, CHUNK);
            }
            for (std::size_t q = 0; q < rows; ++q) {
                std::memcpy(dst + static_cast<std::int64_t>(q) * dst_row + static_cast<std::int64_t>(c0), buffer + q * CHUNK * SZ,
                            count * sizeof(T));
            }
            c0 += count;
        }
        for (std::size_t q = 0; c0 < len && q < rows; ++q) {
            gather<T>(at + static_cast<std::int64_t>(q) * row_step + static_cast<std::int64_t>(c0) * step, step, 0, 1, len - c0,
                      dst + static_cast<std::int64_t>(q) * dst_row + static_cast<std::int64_t>(c0));
        }
        return;
    }
    std::size_t r = 0;
    // 8-byte elements go in tiles of four rows too: planes of four to seven rows, and the
    // rows past the last whole eight when they are four or fewer.
    const std::size_t least = SZ == 8 ? 4 : 8;
    // count rows from `from` in tiles of eight (or of four where `four`).
    const auto tiled = [&](const std::byte* from, std::size_t count, std::byte* to, bool four) CORVANTILE_INLINE_LAMBDA {
        const std::int64_t to_row = dst_row * SZ;
        if constexpr (SZ == 8) {
            if (row_step == SZ) {
                if (four) return tiles8x4<false, 4>(from, step, count, len, to, to_row, next);
                return tiles8x4<false>(from, step, count, len, to, to_row, next);
            }
            if (four) return tiles8x4<true, 4>(from, step, count, len, to, to_row, next);
            tiles8x4<true>(from, step, count, len, to, to_row, next);
        } else {
            if (row_step == SZ) return tiles8_bytes<false>(from, step, count, len, to, to_row);
            tiles8_bytes<true>(from, step, count, len, to, to_row);
        }
    };
    if (len >= least && rows >= least && (row_step == SZ || row_step == 2 * SZ) && (SZ == 8 || SZ == 1)) {
        // The tiles, then the rows past the last whole eight as a tile that ends at the last
        // row, overlapping the one before it (its rows written twice, with the same values).
        auto* const out = reinterpret_cast<std::byte*>(dst);
        const std::size_t body = rows & ~std::size_t{7}, rest = rows - body;
        if (body != 0) tiled(at, body, out, false);
        if (rest != 0) {
            const bool four = SZ == 8 && (rest <= 4 || body == 0);
            if (body == 0 && rows > 4) tiled(at, 4, out, true);
            const auto back = static_cast<std::int64_t>(rows - (four ? 4 : 8));
            tiled(at + back * row_step, four ? 4 : 8, out + back * dst_row * SZ, four);
        }
        r = rows;
    }
    for (; r + 8 <= rows; r += 8) {
        const std::byte* a = at + static_cast<std::int64_t>(r) * row_step;
        T* d = dst + static_cast<std::int64_t>(r) * dst_row;
        for (std::size_t i = 0; i < len; ++i) {
            // All eight read before any is stored (a byte-sized store could alias).
            const std::byte* c = a + static_cast<std::int64_t>(i) * step;
            T v[8];
            for (std::size_t q = 0; q < 8; ++q) v[q] = load<T>(c + static_cast<std::int64_t>(q) * row_step);
            for (std::size_t q = 0; q < 8; ++q) d[static_cast<std::int64_t>(q) * dst_row + static_cast<std::int64_t>(i)] = v[q];
        }
    }
    // The rows left one by one: a few rows interleaved (the transpose of N x 3 points, say)
    // go by gather's vector gathers of stepped rows.
    for (; r < rows; ++r) {
        gather<T>(at + static_cast<std::int64_t>(r) * row_step, step, 0, 1, len, dst + static_cast<std::int64_t>(r) * dst_row);
    }
}

// plane(offset, o, row) for each plane of s by `axis` and the last axis (axis == the last:
// the last axis alone), the other axes stepped in C order: offset the plane's first element
// in bytes from s.data, o its place in a C-ordered result of s's shape, row that result's
// step along `axis`.
template <class F>
void for_planes(const Strided& s, std::size_t axis, F plane) {
    const std::size_t last = s.ndim - 1;
    std::array<std::int64_t, MAX_NDIM> out_stride{};
    out_stride[last] = 1;
    for (std::size_t k = last; k-- > 0;) out_stride[k] = out_stride[k + 1] * static_cast<std::int64_t>(s.shape[k + 1]);
    std::array<std::size_t, MAX_NDIM> axes{};
    std::size_t outer = 0;
    for (std::size_t k = 0; k < last; ++k) {
        if (k != axis) axes[outer++] = k;
    }
    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::int64_t offset = 0;
    std::int64_t o = 0;
    do {
        plane(offset, o, out_stride[axis]);
    } while (odometer_next(
        counter, outer, [&](std::size_t k) { return s.shape[axes[k]]; },
        [&](std::size_t k, std::int64_t times) {
            offset += times * s.strides[axes[k]];
            o += times * out_stride[axes[k]];
        }));
}

}  // namespace

// dst[i] = the element at at - i * sizeof(T), for i < n: vectors read from the far end and
// their lanes reversed.
template <class T>
CORVANTILE_CLONES void copy_reversed(const std::byte* at, std::size_t n, T* __restrict dst) noexcept {
    constexpr std::size_t LANES = 32 / sizeof(T);
    using V = std::uint8_t __attribute__((vector_size(32)));
    std::size_t i = 0;
    for (; i + LANES <= n; i += LANES) {
        V v;
        std::memcpy(&v, at - static_cast<std::int64_t>((i + LANES - 1) * sizeof(T)), 32);
        if constexpr (sizeof(T) == 1) {
            v = __builtin_shufflevector(v, v, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                        12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        } else {
            static_assert(sizeof(T) == 8);
            using Q = std::uint64_t __attribute__((vector_size(32)));
            Q q;
            std::memcpy(&q, &v, 32);
            q = __builtin_shufflevector(q, q, 3, 2, 1, 0);
            std::memcpy(&v, &q, 32);
        }
        std::memcpy(dst + i, &v, 32);
    }
    for (; i < n; ++i) dst[i] = load<T>(at - static_cast<std::int64_t>(i * sizeof(T)));
}

// dst[i] = the element at at - 2 * i * sizeof(T), for i < n (every other element, backward):
// two vectors read from the far end, never beyond the first or last element, their even
// elements taken in reverse.
template <class T>
CORVANTILE_CLONES void copy_back_stepped(const std::byte* at, std::size_t n, T* __restrict dst) noexcept {
    constexpr std::size_t LANES = 32 / sizeof(T);
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    std::size_t i = 0;
    for (; i + LANES <= n; i += LANES) {
        // The lowest of the LANES elements: the first of 2 * LANES - 1 read.
        const std::byte* p = at - static_cast<std::int64_t>(i + LANES - 1) * 2 * SZ;
        if constexpr (sizeof(T) == 1) {
            using V = std::uint8_t __attribute__((vector_size(32)));
            V a, b;
            std::memcpy(&a, p, 32);
            std::memcpy(&b, p + 31, 32);
            const V v = __builtin_shufflevector(a, b, 63, 61, 59, 57, 55, 53, 51, 49, 47, 45, 43, 41, 39, 37, 35, 33, 30,
                                                28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
            std::memcpy(dst + i, &v, 32);
        } else {
            static_assert(sizeof(T) == 8);
            using Q = std::uint64_t __attribute__((vector_size(32)));
            Q a, b;
            std::memcpy(&a, p, 32);
            std::memcpy(&b, p + 24, 32);
            const Q v = __builtin_shufflevector(a, b, 7, 5, 2, 0);
            std::memcpy(dst + i, &v, 32);
        }
    }
    for (; i < n; ++i) dst[i] = load<T>(at - static_cast<std::int64_t>(i) * 2 * SZ);
}

template <class T>
CORVANTILE_CLONES void copy_plane(const std::byte* at, std::int64_t row_step, std::int64_t step, std::size_t rows,
                                  std::size_t len, T* dst, std::int64_t dst_row, std::int64_t next) noexcept {
    plane_rows(at, row_step, step, rows, len, dst, dst_row, next);
}

// dst[0..n) = src[0..n), the lines of dst it fills whole written around the cache. The
// lines AHEAD bytes on are fetched meanwhile, past the end from `next` (where the copy goes
// on, a column block's next row, say: the hardware does not fetch across into it), null for
// none. Unfenced.
template <class T>
CORVANTILE_CLONES void stream_run(const T* src, std::size_t n, T* dst, const std::byte* next) noexcept {
    constexpr std::size_t AHEAD = 2048;
    const std::optional<std::size_t> to_boundary = loops::to_line(dst);
    if (!to_boundary) return static_cast<void>(std::memcpy(dst, src, n * sizeof(T)));
    const std::size_t head = std::min(*to_boundary, n);
    std::memcpy(dst, src, head * sizeof(T));
    const auto* s = reinterpret_cast<const std::byte*>(src + head);
    auto* d = reinterpret_cast<std::byte*>(dst + head);
    const std::size_t bytes = (n - head) * sizeof(T);
    const std::size_t body = bytes & ~(loops::LINE_BYTES - 1);
    for (std::size_t i = 0; i < body; i += loops::LINE_BYTES) {
        const std::size_t far = i + AHEAD;
        if (far < bytes) {
            __builtin_prefetch(s + far);
        } else if (next != nullptr) {
            // Formed as an integer: the address may lie past the end of the memory.
            __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(next) + (far - bytes)));
        }
        loops::stream_copy(d + i, s + i, loops::LINE_BYTES);
    }
    std::memcpy(d + body, s + body, bytes - body);
}

// dst[i] = the element at at + i * step, for i < n: as stream_run, the elements gathered a
// few lines at a time into a buffer in the first-level cache. Unfenced.
template <class T>
CORVANTILE_CLONES void stream_gather(const std::byte* at, std::int64_t step, std::size_t n, T* dst) noexcept {
    constexpr std::size_t CHUNK = 4 * loops::LINE_BYTES / sizeof(T);
    const auto part = [&](std::size_t start, std::size_t count, T* to) CORVANTILE_INLINE_LAMBDA {
        with_row<T>(at + static_cast<std::int64_t>(start) * step, step, [&](auto get) CORVANTILE_INLINE_LAMBDA {
            for (std::size_t i = 0; i < count; ++i) to[i] = get(i);
        });
    };
    const std::optional<std::size_t> to_boundary = loops::to_line(dst);
    const std::size_t head = to_boundary ? std::min(*to_boundary, n) : n;
    part(0, head, dst);
    std::size_t i = head;
    alignas(64) T buffer[CHUNK];
    for (; n - i >= CHUNK; i += CHUNK) {
        part(i, CHUNK, buffer);
        loops::stream_copy(dst + i, buffer, sizeof buffer);
    }
    part(i, n - i, dst + i);
}

namespace {

// Planes of a transpose of at most this many elements are short: their lines are all read
// in the time the hardware takes to find their columns. Layouts spread over less than
// CACHED bytes are taken to be in the cache already (fetching ahead measured slower there).
inline constexpr std::uint64_t SHORT_PLANE = 4096, CACHED = std::uint64_t{1} << 18;

// The bytes a copy of s moves for each element: read (the lines of a row stepped within
// them hold fewer of its elements) and written.
template <class T>
std::uint64_t moved_per_element(const Strided& s) noexcept {
    const std::uint64_t step = s.ndim == 0 ? sizeof(T) : magnitude(s.strides[s.ndim - 1]);
    return (step > sizeof(T) && step < loops::LINE_BYTES ? step : sizeof(T)) + sizeof(T);
}

// out[0..n) = the elements of s (simplified, n of them) in logical order, around the cache
// where `stream`: the rows read in place or gathered (transposes stay in their tiles, which
// write several rows of out at a time). Unfenced.
template <class T>
void copy_simple(const Strided& s, T* out, bool stream) {
    if (s.ndim >= 2) {
        // A transpose in some axes: planes of the axis nearest in memory (p) by the last
        // one, each copied in tiles, the other axes stepped one by one.
        const std::size_t last = s.ndim - 1;
        std::size_t p = 0;
        for (std::size_t k = 1; k < last; ++k) {
            if (magnitude(s.strides[k]) < magnitude(s.strides[p])) p = k;
        }
        if (magnitude(s.strides[p]) < magnitude(s.strides[last])) {
            // Short planes fetch the next one's lines (along the innermost other axis;
            // where it wraps, lines not read are fetched once).
            std::int64_t next = 0;
            if (s.shape[p] * s.shape[last] <= SHORT_PLANE && spread(s, sizeof(T)) >= CACHED) {
                for (std::size_t k = last; k-- > 0;) {
                    if (k != p) {
                        next = s.strides[k];
                        break;
                    }
                }
            }
            return for_planes(s, p, [&](std::int64_t offset, std::int64_t o, std::int64_t row) {
                copy_plane<T>(s.data + offset, s.strides[p], s.strides[last], static_cast<std::size_t>(s.shape[p]),
                              static_cast<std::size_t>(s.shape[last]), out + o, row, next);
            });
        }
    }
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    if (s.ndim == 1 && (s.strides[0] == -SZ || s.strides[0] == -2 * SZ)) {
        const std::int64_t step = s.strides[0];
        const auto fill = [&](T* dst, std::size_t start, std::size_t count) {
            const std::byte* at = s.data + static_cast<std::int64_t>(start) * step;
            if (step == -SZ) return copy_reversed<T>(at, count, dst);
            copy_back_stepped<T>(at, count, dst);
        };
        const auto n = static_cast<std::size_t>(s.shape[0]);
        return stream ? loops::streamed(out, n, fill, false) : fill(out, 0, n);
    }
    if (!stream) {
        for_blocks<T>(s, BLOCK, [out](const Block<T>& b) {
            if (const T* d = b.direct()) {
                std::memcpy(out + b.pos, d, b.count * sizeof(T));
            } else {
                b.gather_to(out + b.pos);
            }
        });
        return;
    }
    // The next row is expected as far on as this one lay from the last.
    const std::byte* last_at = nullptr;
    for_blocks<T>(s, BLOCK, [&](const Block<T>& b) {
        T* dst = out + b.pos;
        if (const T* d = b.direct()) {
            const std::byte* next = last_at != nullptr ? b.at + (b.at - last_at) : nullptr;
            last_at = b.at;
            return stream_run<T>(d, b.count, dst, next);
        }
        if (b.rows != 1) return b.gather_to(dst);
        stream_gather<T>(b.at, b.step, b.count, dst);
    });
}

}  // namespace

template <class T>
void copy(const Strided& whole, T* out, bool cached) {
    const Strided s = simplify(whole);
    if (s.size() == 0) return;
    const bool stream = !cached && s.size() * moved_per_element<T>(s) >= loops::STREAM_BYTES;
    copy_simple<T>(s, out, stream);
    if (stream) loops::fence();
}

template <class T>
std::uint64_t copy_bytes(const Strided& whole) noexcept {
    const Strided s = simplify(whole);
    return s.size() * moved_per_element<T>(s);
}

// dst[m * dst_row + i] = the element at at + offsets[m] + i * step, for m < rows, i < len: four
// elements of every row at a time (the last four of a row overlapping the ones before), the
// four columns' lines staying in the first-level cache while the rows pass (wider tiles and
// narrower ones measured slower). `lines` lines from at + low in each of the next four
// columns are fetched meanwhile (0: none).
template <class T>
CORVANTILE_CLONES void taken_plane(const std::byte* at, const std::int64_t* offsets, std::size_t rows,
                                   std::int64_t step, std::size_t len, T* dst, std::int64_t dst_row, std::int64_t low,
                                   std::int64_t lines) noexcept {
    constexpr std::size_t W = 4;
    if (len < W) {
        for (std::size_t m = 0; m < rows; ++m) {
            const std::byte* a = at + offsets[m];
            T* d = dst + static_cast<std::int64_t>(m) * dst_row;
            for (std::size_t i = 0; i < len; ++i) d[i] = load<T>(a + static_cast<std::int64_t>(i) * step);
        }
        return;
    }
    for (std::size_t t = 0; t < len; t += W) {
        const std::size_t i0 = t + W <= len ? t : len - W;
        const std::byte* const first = at + static_cast<std::int64_t>(i0) * step;
        if (t + W < len) {
            const std::size_t n0 = t + 2 * W <= len ? t + W : len - W;
            const std::byte* const next = at + static_cast<std::int64_t>(n0) * step + low;
            for (std::size_t q = 0; q < W; ++q) {
                for (std::int64_t l = 0; l < lines; ++l) {
                    __builtin_prefetch(next + static_cast<std::int64_t>(q) * step + l * 64, 0, 2);
                }
            }
        }
        T* d = dst + i0;
        for (std::size_t m = 0; m < rows; ++m, d += dst_row) {
            const std::byte* a = first + offsets[m];
            T v[W];
            for (std::size_t q = 0; q < W; ++q) v[q] = load<T>(a + static_cast<std::int64_t>(q) * step);
            std::memcpy(d, v, sizeof v);
        }
    }
}

template <class T>
void copy_taken(const Strided& s, const std::int64_t* offsets, std::size_t rows, T* out) {
    if (rows == 0) return;
    // Planes of the rows by the last axis, the row's other axes stepped one by one.
    const std::size_t last = s.ndim - 1;
    const auto len = static_cast<std::int64_t>(s.size());
    // The lines the rows span in a column, fetched ahead where the rows fill most of them.
    const auto [low, high] = std::minmax_element(offsets, offsets + rows);
    std::int64_t lines = (*high - *low) / 64 + 1;
    if (static_cast<std::uint64_t>(lines) > rows) lines = 0;
    for_planes(s, last, [&](std::int64_t offset, std::int64_t o, std::int64_t) {
        taken_plane<T>(s.data + offset, offsets, rows, s.strides[last], static_cast<std::size_t>(s.shape[last]), out + o,
                       len, *low, lines);
    });
}

template <class T>
void copy_runs_direct(const Strided& whole, T* out, std::uint64_t run, std::uint64_t pitch, bool stream) {
    const Strided s = simplify(whole);
    if (s.size() == 0) return;
    if (run == pitch || s.size() <= run) {
        copy_simple<T>(s, out, stream);
        return stream ? loops::fence() : void();
    }
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    const std::size_t last = s.ndim - 1;
    if (!stream && s.ndim >= 2 && s.strides[last] == SZ && s.shape[last] == run) {
        // Rows in place that are the runs (column blocks joined side by side): one copy a
        // row, without a block each (a block and its divisions cost more than rows of 20).
        std::array<std::uint64_t, MAX_NDIM> counter{};
        std::int64_t offset = 0;
        T* to = out;
        do {
            copy_short(reinterpret_cast<std::byte*>(to), s.data + offset, run * sizeof(T));
            to += pitch;
        } while (odometer_next(counter, last, [&](std::size_t k) { return s.shape[k]; },
                               [&](std::size_t k, std::int64_t times) { offset += times * s.strides[k]; }));
        return;
    }
    // n elements from a row stepped `step` bytes into `to`.
    const auto gather_row = [stream](const std::byte* at, std::int64_t step, std::size_t n, T* to) {
        if (stream) return stream_gather<T>(at, step, n, to);
        gather<T>(at, step, 0, 1, n, to);
    };
    // Runs of a few lines or less copied as usual: little to gain, and a call each.
    const auto put = [stream](const T* from, std::size_t n, T* to, const std::byte* next) {
        if (stream && n * sizeof(T) >= 4 * loops::LINE_BYTES) return stream_run<T>(from, n, to, next);
        std::memcpy(to, from, n * sizeof(T));
    };
    // Each block straight into its place: whole when it lies in one run, a plane of rows
    // pitch apart when its rows are the runs, else piece by piece through a buffer.
    std::unique_ptr<T[]> scratch;
    const std::byte* last_at = nullptr;
    for_blocks<T>(s, BLOCK, [&](const Block<T>& b) {
        const std::uint64_t within = b.pos % run;
        T* dst = out + (b.pos / run) * pitch + within;
        if (within + b.count <= run) {
            if (const T* d = b.direct()) {
                // The next row is expected as far on as this one lay from the last.
                const std::byte* next = last_at != nullptr ? b.at + (b.at - last_at) : nullptr;
                last_at = b.at;
                put(d, b.count, dst, next);
            } else if (b.rows == 1) {
                gather_row(b.at, b.step, b.count, dst);
            } else {
                b.gather_to(dst);
            }
            return;
        }
        if (b.rows > 1 && b.len == run && within == 0) {
            if (b.len >= (sizeof(T) == 1 ? 2 : 1) * SHORT_ROW && rows_apart(b.step, b.row_step, b.len)) {
                // Rows apart from each other (stepped rows many to a block): one by one (short
                // rows of bytes go faster eight at a time, by columns).
                for (std::size_t r = 0; r < b.rows; ++r) {
                    gather_row(b.at + static_cast<std::int64_t>(r) * b.row_step, b.step, b.len, dst + r * pitch);
                }
                return;
            }
            return copy_plane<T>(b.at, b.row_step, b.step, b.rows, b.len, dst, static_cast<std::int64_t>(pitch));
        }
        // Run by run: from the block where it lies in one stretch, gathered run by run from
        // one long stepped row, else from the block gathered into a buffer first (for float64
        // runs of 50, two passes measured 1.35x slower; for bytes, runs of 50 the other way).
        const T* from = b.direct();
        if (run == 1 && b.rows == 1) {  // a stack along the result's innermost axis
            for (std::size_t i = 0; i < b.count; ++i) dst[i * pitch] = load<T>(b.at + static_cast<std::int64_t>(i) * b.step);
            return;
        }
        if (from == nullptr && !(b.rows == 1 && run >= (sizeof(T) == 1 ? 64 : 16))) {
            if (!scratch) scratch = std::make_unique_for_overwrite<T[]>(BLOCK);
            b.gather_to(scratch.get());
            from = scratch.get();
        }
        if (run == 1) {
            return scatter<T>(reinterpret_cast<std::byte*>(dst), static_cast<std::int64_t>(pitch * sizeof(T)), 0, 1,
                              b.count, from);
        }
        // After the first, every run starts a stretch: one division per block.
        std::uint64_t in_run = within;
        T* to = dst;
        for (std::size_t i = 0; i < b.count;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(run - in_run, b.count - i));
            if (from != nullptr && !stream) {
                copy_short(reinterpret_cast<std::byte*>(to), reinterpret_cast<const std::byte*>(from + i), n * sizeof(T));
            } else if (from != nullptr) {
                put(from + i, n, to, i + n < b.count ? reinterpret_cast<const std::byte*>(from + i + n) : nullptr);
            } else {
                gather_row(b.at + static_cast<std::int64_t>(i) * b.step, b.step, n, to);
            }
            i += n;
            to += pitch - in_run;
            in_run = 0;
        }
    });
    if (stream) loops::fence();
}

#define CORVANTILE_COPIES(T)                                                                                         \
    template void copy_plane<T>(const std::byte*, std::int64_t, std::int64_t, std::size_t, std::size_t, T*,          \
                                std::int64_t, std::int64_t) noexcept;                                                \
    template void copy<T>(const Strided&, T*, bool);                                                                 \
    template void copy_runs_direct<T>(const Strided&, T*, std::uint64_t, std::uint64_t, bool);                    \
    template std::uint64_t copy_bytes<T>(const Strided&) noexcept;                                                \
    template void copy_taken<T>(const Strided&, const std::int64_t*, std::size_t, T*);
CORVANTILE_COPIES(double)
CORVANTILE_COPIES(std::int64_t)
CORVANTILE_COPIES(Bool)
#undef CORVANTILE_COPIES

}  // namespace corvantile::walk
