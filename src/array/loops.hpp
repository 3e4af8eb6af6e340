#pragma once

// The contiguous element loops, templated on the element function so that they inline
// and vectorise, writing into buffers the caller supplies. Each is built in the CPU
// variants of clones.hpp.

#include "array/clones.hpp"
#include "array/storage.hpp"

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvantile::loops {

// Loops whose operands and result together pass this many bytes write the result
// around the cache (half the last-level cache, read once at load; no streaming where
// that size is unknown). Then the cache keeps the operands, and the result's lines are
// not fetched only to be overwritten. Smaller loops write as usual: their result is
// read back sooner from the cache than from memory.
extern const std::size_t STREAM_BYTES;

// The second-level cache (1 MiB where unknown): runs spanning more are read by loads
// starting on vector boundaries (vector_boundary), which there take about half the time of
// loads straddling two lines; over shorter runs the extra call for the head cost more
// than it saved.
extern const std::size_t FAR_BYTES;

// The cache line: the unit the loops align their vector stores to.
inline constexpr std::size_t LINE_BYTES = 64;

// Where a run of every k-th 8-byte element from `address` (a multiple of 8) can be read
// by loads of `lanes` * k elements that each start on a boundary of `lanes` elements,
// none straddling two lines: the elements before (`head`, read otherwise), and how far
// past its boundary the first after them lies (`off`, below k; never a load before the run).
struct Boundary {
    std::size_t head, off;
};
constexpr Boundary vector_boundary(std::uintptr_t address, std::size_t k, std::size_t lanes) noexcept {
    for (std::size_t head = 0;; ++head) {
        const std::size_t off = (address / 8 + head * k) % lanes;
        if (off < k && off <= head * k) return {head, off};
    }
}

// fn.template operator()<Off>() for off, from 0 to K - 1 (K up to 4).
template <std::size_t K, class Fn>
decltype(auto) with_off(std::size_t off, Fn fn) {
    if constexpr (K >= 4) {
        if (off == 3) return fn.template operator()<3>();
    }
    if constexpr (K >= 3) {
        if (off == 2) return fn.template operator()<2>();
    }
    if constexpr (K >= 2) {
        if (off == 1) return fn.template operator()<1>();
    }
    return fn.template operator()<0>();
}

// How many elements of o lie before its first line boundary, or nothing when no element
// starts on one (o is not aligned to its element size).
template <class R>
CORVANTILE_INLINE std::optional<std::size_t> to_line(const R* o) noexcept {
    const std::size_t misaligned = reinterpret_cast<std::uintptr_t>(o) % LINE_BYTES;
    if (misaligned % sizeof(R) != 0) return std::nullopt;
    return (LINE_BYTES - misaligned) % LINE_BYTES / sizeof(R);
}

// Copies `bytes` (a multiple of 64) from src to dst (64-byte aligned) with non-temporal
// stores, one whole line after another. The barrier keeps the compiler from interleaving
// the lines (it did, forwarding the buffer through registers): a line left part-written
// while others start may leave its write-combining buffer as partial writes, and such
// copies ran at a third of the speed (3.2 ms against 1.0 for a 1e6 float64 sum).
CORVANTILE_INLINE void stream_copy(void* dst, const void* src, std::size_t bytes) noexcept {
#if defined(__x86_64__)
    auto* d = static_cast<__m128i*>(dst);
    const auto* s = static_cast<const __m128i*>(src);
    for (std::size_t i = 0; i < bytes / 16; i += 4) {
        const __m128i a = _mm_loadu_si128(s + i), b = _mm_loadu_si128(s + i + 1);
        const __m128i c = _mm_loadu_si128(s + i + 2), e = _mm_loadu_si128(s + i + 3);
        _mm_stream_si128(d + i, a);
        _mm_stream_si128(d + i + 1, b);
        _mm_stream_si128(d + i + 2, c);
        _mm_stream_si128(d + i + 3, e);
        asm volatile("" ::: "memory");
    }
#else
    std::memcpy(dst, src, bytes);
#endif
}

// Orders the streamed stores before any later store: they are seen before the result is
// handed on.
CORVANTILE_INLINE void fence() noexcept {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

// Writes o[0..n) through fill(dst, start, count), which stores elements
// [start, start + count) at dst[0..count): into o directly up to a 64-byte boundary and
// for the tail, and chunk by chunk through a buffer in the first-level cache in between,
// copied out with non-temporal stores. The chunk is small so that computing one chunk
// overlaps with copying out the last (1 and 2 KiB chunks measured slower). Without
// `fenced` the caller fences (one row of a walk of many).
template <class R, class Fill>
CORVANTILE_INLINE void streamed(R* o, std::size_t n, Fill fill, bool fenced = true) noexcept {
    constexpr std::size_t CHUNK = 512 / sizeof(R);
    const std::optional<std::size_t> to_boundary = to_line(o);
    if (!to_boundary) return fill(o, 0, n);
    const std::size_t head = std::min(*to_boundary, n);
    fill(o, 0, head);
    std::size_t i = head;
    alignas(LINE_BYTES) R buffer[CHUNK];
    for (; n - i >= CHUNK; i += CHUNK) {
        fill(buffer, i, CHUNK);
        stream_copy(o + i, buffer, sizeof buffer);
    }
    if (fenced) fence();
    fill(o + i, i, n - i);
}

// Passes in place over this many bytes or more run body(start, count) twice, split where
// the buffer reaches a 64-byte boundary, so that the vector loads and stores do not
// straddle cache lines (1.4x slower where they did). Owned buffers start on a line; this
// serves views and borrowed memory.
inline constexpr std::size_t LINE_SPLIT_BYTES = 512;

template <class R, class Body>
CORVANTILE_INLINE void by_lines(const R* o, std::size_t n, Body body) noexcept {
    if (n * sizeof(R) >= LINE_SPLIT_BYTES) {
        if (const std::optional<std::size_t> head = to_line(o)) {
            body(std::size_t{0}, *head);
            return body(*head, n - *head);
        }
    }
    body(std::size_t{0}, n);
}

// Loops whose operands and result together pass four second-level caches run in vectors
// of 256 bits, even where 512 are offered: from the last-level cache and beyond, the
// 512-bit loops measured slower (over 1e6 float64 on an AVX-512 Zen 5, a product of two
// operands 1.3x, a map 1.15x) and no faster at any size past the second-level cache.
template <class Body>
CORVANTILE_FAR_TARGET void far_body(Body body) noexcept {
    body();
}

// Runs body() (an inlined lambda holding a loop over `bytes` read and written) in the far
// variant where it passes four second-level caches and the CPU has that variant; else as it is.
template <class Body>
CORVANTILE_INLINE void run_sized(std::size_t bytes, Body body) noexcept {
    if (bytes >= 4 * FAR_BYTES && CORVANTILE_FAR_CPU) return far_body(body);
    body();
}

// Writes o[0..n) through fill, streamed when the loop passes STREAM_BYTES at `per_element`
// bytes read and written for each element; a far loop in the far variant unless `Wide`.
template <bool Wide = false, class R, class Fill>
CORVANTILE_INLINE void write_result(R* o, std::size_t n, std::size_t per_element, Fill fill) noexcept {
    const std::size_t bytes = n * per_element;
    const bool stream = bytes >= STREAM_BYTES;
    const auto write = [&] CORVANTILE_INLINE_LAMBDA { stream ? streamed(o, n, fill) : fill(o, 0, n); };
    if constexpr (Wide) write();
    else run_sized(bytes, write);
}

// An element function may bring a kernel for whole rows, which the loops and the walks'
// rows call in its place: f.rows(x, sx, o, n, stream) for a map, f.rows(x, sx, y, sy, o, n,
// stream) for a zip, the operands' elements sx (sy) elements apart; false (nothing
// written) where it does not take the row, too short or stepped otherwise. `stream` as
// for compare_f64 (predicates.hpp): the caller fences.
template <class F, class R, class T>
concept MapRows = requires(const F& f, const T* x, R* o) {
    { f.rows(x, std::int64_t{}, o, std::size_t{}, bool{}) } -> std::same_as<bool>;
};
template <class F, class R, class T, class U>
concept ZipRows = requires(const F& f, const T* x, const U* y, R* o) {
    { f.rows(x, std::int64_t{}, y, std::int64_t{}, o, std::size_t{}, bool{}) } -> std::same_as<bool>;
};

// ---- element functions bound by the divider ----------------------------------------------

// Calls run(get) with get(i) = x[i * step], the common steps as constants (vectorised).
template <class T, class Run>
CORVANTILE_INLINE void with_step(const T* x, std::int64_t step, Run run) {
    if (step == 1) {
        run([x](std::size_t i) CORVANTILE_INLINE_LAMBDA { return x[i]; });
    } else if (step == -1) {
        run([x](std::size_t i) CORVANTILE_INLINE_LAMBDA { return *(x - static_cast<std::ptrdiff_t>(i)); });
    } else if (step == 2) {
        run([x](std::size_t i) CORVANTILE_INLINE_LAMBDA { return x[2 * i]; });
    } else {
        run([x, step](std::size_t i) CORVANTILE_INLINE_LAMBDA { return x[static_cast<std::int64_t>(i) * step]; });
    }
}

template <class R, class T, class F>
CORVANTILE_CLONES_NARROW void narrow_map(const T* x, std::int64_t sx, R* __restrict o, std::size_t n, bool stream,
                                         F f) {
    with_step(x, sx, [&](auto get) CORVANTILE_INLINE_LAMBDA {
        auto fill = [&](R* __restrict dst, std::size_t start, std::size_t count) CORVANTILE_INLINE_LAMBDA {
            for (std::size_t i = 0; i < count; ++i) dst[i] = f(get(start + i));
        };
        if (stream) return streamed(o, n, fill, false);
        fill(o, 0, n);
    });
}

template <class R, class T, class U, class F>
CORVANTILE_CLONES_NARROW void narrow_zip(const T* x, std::int64_t sx, const U* y, std::int64_t sy, R* __restrict o,
                                         std::size_t n, bool stream, F f) {
    const auto run = [&](auto get_x, auto get_y) CORVANTILE_INLINE_LAMBDA {
        auto fill = [&](R* __restrict dst, std::size_t start, std::size_t count) CORVANTILE_INLINE_LAMBDA {
            for (std::size_t i = 0; i < count; ++i) dst[i] = f(get_x(start + i), get_y(start + i));
        };
        if (stream) return streamed(o, n, fill, false);
        fill(o, 0, n);
    };
    // One operand a single value (a broadcast scalar), or both stepping alike.
    if (sy == 0) {
        return with_step(x, sx, [&](auto get) CORVANTILE_INLINE_LAMBDA { run(get, [v = *y](std::size_t) { return v; }); });
    }
    if (sx == 0) {
        return with_step(y, sy, [&](auto get) CORVANTILE_INLINE_LAMBDA { run([v = *x](std::size_t) { return v; }, get); });
    }
    if (sx == sy) {
        return with_step(x, sx, [&](auto get_x) CORVANTILE_INLINE_LAMBDA {
            with_step(y, sy, [&](auto get_y) CORVANTILE_INLINE_LAMBDA { run(get_x, get_y); });
        });
    }
    run([x, sx](std::size_t i) { return x[static_cast<std::int64_t>(i) * sx]; },
        [y, sy](std::size_t i) { return y[static_cast<std::int64_t>(i) * sy]; });
}

template <class T, class F>
CORVANTILE_CLONES_NARROW void narrow_update(T* p, std::size_t n, F f) {
    by_lines(p, n, [&](std::size_t start, std::size_t count) CORVANTILE_INLINE_LAMBDA {
        T* q = p + start;
        for (std::size_t i = 0; i < count; ++i) q[i] = f(q[i]);
    });
}

template <class T, class U, class F>
CORVANTILE_CLONES_NARROW void narrow_zip_update(T* __restrict p, const U* __restrict y, std::size_t n, F f) {
    by_lines(p, n, [&](std::size_t start, std::size_t count) CORVANTILE_INLINE_LAMBDA {
        T* __restrict q = p + start;
        const U* __restrict z = y + start;
        for (std::size_t i = 0; i < count; ++i) q[i] = f(q[i], z[i]);
    });
}

// An element function bound by the divider, whose loops run in vectors of 256 bits at
// most (CORVANTILE_CLONES_NARROW): the loops and the walks hand it whole rows (MapRows,
// ZipRows), and update_loop and zip_update their buffers.
template <class F>
struct Narrow {
    F f;
    template <class... A>
    CORVANTILE_INLINE auto operator()(A... a) const noexcept {
        return f(a...);
    }
    template <class T, class R>
    bool rows(const T* x, std::int64_t sx, R* o, std::size_t n, bool stream) const noexcept {
        narrow_map(x, sx, o, n, stream, f);
        return true;
    }
    template <class T, class U, class R>
    bool rows(const T* x, std::int64_t sx, const U* y, std::int64_t sy, R* o, std::size_t n, bool stream) const noexcept {
        narrow_zip(x, sx, y, sy, o, n, stream, f);
        return true;
    }
};
template <class F>
inline constexpr bool narrow = false;
template <class F>
inline constexpr bool narrow<Narrow<F>> = true;

// f made Narrow when Like is.
template <class Like, class F>
auto narrow_like(F f) {
    if constexpr (narrow<Like>) {
        return Narrow<F>{f};
    } else {
        return f;
    }
}

// o[i] = f(x[i]).
template <class R, class T, class F>
CORVANTILE_CLONES void map_loop(const T* x, R* __restrict o, std::size_t n, F f) {
    if constexpr (MapRows<F, R, T>) {
        const bool stream = n * (sizeof(T) + sizeof(R)) >= STREAM_BYTES;
        if (f.rows(x, 1, o, n, stream)) return stream ? fence() : void();
    }
    auto fill = [&](R* __restrict dst, std::size_t start, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) dst[i] = f(x[start + i]);
    };
    write_result(o, n, sizeof(T) + sizeof(R), fill);
}

// p[i] = f(p[i]).
template <class T, class F>
CORVANTILE_CLONES void update_loop(T* p, std::size_t n, F f) {
    if constexpr (narrow<F>) return narrow_update(p, n, f.f);
    const auto loop = [&] CORVANTILE_INLINE_LAMBDA {
        by_lines(p, n, [&](std::size_t start, std::size_t count) CORVANTILE_INLINE_LAMBDA {
            T* q = p + start;
            for (std::size_t i = 0; i < count; ++i) q[i] = f(q[i]);
        });
    };
    run_sized(2 * n * sizeof(T), loop);
}

// o[i] = f(x[i], y[i]).
template <class R, class T, class U, class F>
CORVANTILE_CLONES void zip_loop(const T* x, const U* y, R* __restrict o, std::size_t n, F f) {
    auto fill = [&](R* __restrict dst, std::size_t start, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) dst[i] = f(x[start + i], y[start + i]);
    };
    // Operands over one stretch (x and x, or overlapping views of one array) read it once.
    const auto* xb = reinterpret_cast<const std::byte*>(x);
    const auto* yb = reinterpret_cast<const std::byte*>(y);
    const bool apart = yb >= xb + n * sizeof(T) || xb >= yb + n * sizeof(U);
    const std::size_t y_bytes = apart ? sizeof(U) : 0;
    if constexpr (ZipRows<F, R, T, U>) {
        const bool stream = n * (sizeof(T) + y_bytes + sizeof(R)) >= STREAM_BYTES;
        if (f.rows(x, 1, y, 1, o, n, stream)) return stream ? fence() : void();
    }
    write_result(o, n, sizeof(T) + y_bytes + sizeof(R), fill);
}

// p[i] = f(p[i], y[i]); y does not overlap p.
template <class T, class U, class F>
CORVANTILE_CLONES void zip_update(T* __restrict p, const U* __restrict y, std::size_t n, F f) {
    if constexpr (narrow<F>) return narrow_zip_update(p, y, n, f.f);
    const auto loop = [&] CORVANTILE_INLINE_LAMBDA {
        by_lines(p, n, [&](std::size_t start, std::size_t count) CORVANTILE_INLINE_LAMBDA {
            T* __restrict q = p + start;
            const U* __restrict z = y + start;
            for (std::size_t i = 0; i < count; ++i) q[i] = f(q[i], z[i]);
        });
    };
    run_sized(n * (2 * sizeof(T) + sizeof(U)), loop);
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
// The bytes a side reads per element.
template <class T>
constexpr std::size_t side_bytes(const T*) noexcept {
    return sizeof(T);
}
template <class T>
constexpr std::size_t side_bytes(T) noexcept {
    return 0;
}

// o[i] = x's element where m[i] is true (any nonzero byte), else y's. Both sides are
// read for every element, so the choice is a select, not a branch. Far selects keep
// 512-bit vectors (in 256 bits they measured 0.88x over 1e6 float64 on a Zen 5).
template <class T, class X, class Y>
CORVANTILE_CLONES void select_loop(const Bool* m, X x, Y y, T* __restrict o, std::size_t n) {
    auto fill = [&](T* __restrict dst, std::size_t start, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const T a = side_at(x, start + i);
            const T b = side_at(y, start + i);
            dst[i] = m[start + i] != Bool::False ? a : b;
        }
    };
    write_result<true>(o, n, sizeof(Bool) + side_bytes(x) + side_bytes(y) + sizeof(T), fill);
}

}  // namespace corvantile::loops
