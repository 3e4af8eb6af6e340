#pragma once

// Several operands of one shape (a broadcast operand steps 0 along the axes it repeats),
// read where they lie and combined into a new result in logical C order. Rows whose
// elements lie contiguous are read in place, rows of a transpose are gathered eight at
// a time (tiles8, as the walks of one operand do), other rows through a small buffer;
// one value repeated along a row is passed as a scalar.

#include "array/walk.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace corvantile::walk {

// A C-contiguous layout of elements of itemsize bytes.
inline Strided c_layout(const void* data, const std::uint64_t* shape, std::size_t ndim, std::size_t itemsize) noexcept {
    Strided s;
    s.data = static_cast<std::byte*>(const_cast<void*>(data));
    s.ndim = ndim;
    auto stride = static_cast<std::int64_t>(itemsize);
    for (std::size_t k = ndim; k-- > 0;) {
        s.shape[k] = shape[k];
        s.strides[k] = stride;
        stride *= static_cast<std::int64_t>(shape[k]);
    }
    return s;
}

// Layouts of one shape over fewer axes: length-1 axes dropped, and an axis merged into
// the one before it where it does so for every layout.
template <std::size_t N>
void simplify_joint(std::array<Strided, N>& s) noexcept {
    std::array<Strided, N> out{};
    for (std::size_t j = 0; j < N; ++j) out[j].data = s[j].data;
    std::size_t m = 0;
    for (std::size_t k = 0; k < s[0].ndim; ++k) {
        const std::uint64_t len = s[0].shape[k];
        if (len == 1) continue;
        bool merge = m > 0;
        for (std::size_t j = 0; j < N && merge; ++j) {
            std::int64_t span = 0;
            merge = !__builtin_mul_overflow(s[j].strides[k], static_cast<std::int64_t>(len), &span) &&
                    out[j].strides[m - 1] == span;
        }
        for (std::size_t j = 0; j < N; ++j) {
            if (merge) {
                out[j].shape[m - 1] *= len;
                out[j].strides[m - 1] = s[j].strides[k];
            } else {
                out[j].shape[m] = len;
                out[j].strides[m] = s[j].strides[k];
            }
        }
        if (!merge) ++m;
    }
    for (std::size_t j = 0; j < N; ++j) {
        out[j].ndim = m;
        s[j] = out[j];
    }
}

// Where one block of N layouts lies: `rows` rows of `len` elements, operand j's first at
// at[j], its rows row_step[j] bytes apart, its elements step[j] bytes apart.
template <std::size_t N>
struct JointBlock {
    std::array<const std::byte*, N> at;
    std::array<std::int64_t, N> step;
    std::array<std::int64_t, N> row_step;
    std::size_t rows;
    std::size_t len;
    std::size_t count() const noexcept { return rows * len; }
};

// How many elements of a row a joint block holds at most where a layout is gathered (and
// about how many a tile of rows holds).
inline constexpr std::size_t ROW_CHUNK = 1024;

// Calls fn(JointBlock<N>) for consecutive blocks covering every element of the layouts
// (of one shape, not empty; layout j of elements of itemsize[j] bytes) in logical C
// order, each of at most BLOCK elements (ROW_CHUNK for rows gathered into buffers).
template <std::size_t N, class Fn>
void for_joint_blocks(std::array<Strided, N> s, const std::array<std::int64_t, N>& itemsize, Fn fn) {
    simplify_joint(s);
    const Strided& first = s[0];
    if (first.ndim == 0) {
        JointBlock<N> b{};
        for (std::size_t j = 0; j < N; ++j) b.at[j] = s[j].data;
        b.rows = b.len = 1;
        fn(b);
        return;
    }
    const std::size_t last = first.ndim - 1;
    const std::uint64_t inner = first.shape[last];
    // Tiles of several rows where an operand's rows lie closer together than its elements,
    // or where rows are short.
    bool tiles = false;
    for (const Strided& x : s) {
        tiles = tiles || (x.ndim >= 2 && x.strides[last - 1] != 0 &&
                          magnitude(x.strides[last - 1]) < magnitude(x.strides[last]));
    }
    std::uint64_t tile = 1;
    if (tiles && inner <= BLOCK / 2) {
        // ROW_CHUNK elements, or eight rows where those are more: each operand's buffer
        // then stays in the first-level cache between its gather and the kernel (a 100 x
        // 100 transpose plus an array: 6.0 against 4.1 us with tiles of BLOCK).
        const std::uint64_t rows = std::max<std::uint64_t>(ROW_CHUNK / inner, 8);
        tile = std::min<std::uint64_t>({rows, BLOCK / inner, first.shape[last - 1]});
        if (tile >= 8) tile -= tile % 8;
    }
    // Rows that some layout does not hold contiguous go through buffers: in chunks that
    // keep every operand's buffer in the first-level cache.
    bool dense_rows = true;
    for (std::size_t j = 0; j < N; ++j) {
        dense_rows = dense_rows && (s[j].strides[last] == itemsize[j] || s[j].strides[last] == 0);
    }
    const auto widest = static_cast<std::size_t>(std::ranges::max(itemsize));
    if (tile == 1 && last >= 1 && (inner < SHORT_ROW || (dense_rows && short_contiguous(inner, widest)))) {
        tile = std::min<std::uint64_t>(ROW_CHUNK / inner, first.shape[last - 1]);
    }
    const std::size_t odometer = tile > 1 ? last - 1 : last;
    const std::uint64_t chunk = tile > 1 ? inner : std::min<std::uint64_t>(inner, dense_rows ? BLOCK : ROW_CHUNK);
    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::array<std::int64_t, N> offset{};
    JointBlock<N> b{};
    for (std::size_t j = 0; j < N; ++j) {
        b.step[j] = s[j].strides[last];
        b.row_step[j] = tile > 1 ? s[j].strides[last - 1] : 0;
    }
    for (;;) {
        if (tile > 1) {
            const std::uint64_t total = first.shape[last - 1];
            b.len = static_cast<std::size_t>(inner);
            for (std::uint64_t r = 0; r < total; r += tile) {
                b.rows = static_cast<std::size_t>(std::min(tile, total - r));
                for (std::size_t j = 0; j < N; ++j) {
                    b.at[j] = s[j].data + offset[j] + static_cast<std::int64_t>(r) * s[j].strides[last - 1];
                }
                fn(b);
            }
        } else {
            b.rows = 1;
            for (std::uint64_t i = 0; i < inner; i += chunk) {
                b.len = static_cast<std::size_t>(std::min(chunk, inner - i));
                for (std::size_t j = 0; j < N; ++j) {
                    b.at[j] = s[j].data + offset[j] + static_cast<std::int64_t>(i) * s[j].strides[last];
                }
                fn(b);
            }
        }
        const auto move = [&](std::size_t k, std::int64_t times) {
            for (std::size_t j = 0; j < N; ++j) offset[j] += times * s[j].strides[k];
        };
        if (!odometer_next(counter, odometer, [&](std::size_t k) { return first.shape[k]; }, move)) return;
    }
}

namespace detail {

// One operand's part of a block.
template <class T>
struct Part {
    const T* elements = nullptr;  // contiguous elements, or null for one value throughout
    T value{};
};

// The elements of operand j of a block where they lie, or gathered into scratch; one
// value throughout is passed as a scalar unless Spread, which writes it out too.
template <bool Spread, class T, std::size_t N>
CORVANTILE_INLINE Part<T> read_part(const JointBlock<N>& b, std::size_t j, Scratch<T>& scratch) {
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    const std::byte* at = b.at[j];
    const std::int64_t step = b.step[j], row_step = b.row_step[j];
    const std::size_t rows = b.rows, len = b.len;
    if (step == 0 && (rows == 1 || row_step == 0)) {
        const T v = load<T>(at);
        if constexpr (!Spread) {
            return {nullptr, v};
        } else {
            T* buffer = scratch.get();
            std::fill_n(buffer, rows * len, v);
            return {buffer, v};
        }
    }
    if (step == SZ && (rows == 1 || row_step == SZ * static_cast<std::int64_t>(len))) {
        return {reinterpret_cast<const T*>(at), T{}};
    }
    T* buffer = scratch.get();
    if (rows > 1 && row_step == 0) {
        // One row repeated: gathered once, then copied.
        gather<T>(at, step, 0, 1, len, buffer);
        for (std::size_t r = 1; r < rows; ++r) std::memcpy(buffer + r * len, buffer, len * sizeof(T));
    } else {
        gather<T>(at, step, row_step, rows, len, buffer);
    }
    return {buffer, T{}};
}

// Flips every axis along which each operand (all layouts but the last, the result)
// steps back or not at all, one at least back; the result too. The operands are then
// read forward through memory, and the result written backward along those axes.
template <std::size_t N>
void flip_backward(std::array<Strided, N>& s) noexcept {
    for (std::size_t k = 0; k < s[0].ndim; ++k) {
        if (s[0].shape[k] <= 1) continue;
        bool back = false, forward = false;
        for (std::size_t j = 0; j + 1 < N; ++j) {
            back = back || s[j].strides[k] < 0;
            forward = forward || s[j].strides[k] > 0;
        }
        if (!back || forward) continue;
        for (Strided& x : s) {
            x.data += static_cast<std::int64_t>(x.shape[k] - 1) * x.strides[k];
            x.strides[k] = -x.strides[k];
        }
    }
}

// Where the results of the block go: the last layout's elements in place when they lie
// contiguous and ascending, else scratch (then put in place by put_part).
template <class R, std::size_t N>
CORVANTILE_INLINE R* out_part(const JointBlock<N>& b, Scratch<R>& scratch) {
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(R));
    if (b.step[N - 1] == SZ && (b.rows == 1 || b.row_step[N - 1] == SZ * static_cast<std::int64_t>(b.len))) {
        return reinterpret_cast<R*>(const_cast<std::byte*>(b.at[N - 1]));
    }
    return scratch.get();
}
template <class R, std::size_t N>
CORVANTILE_INLINE void put_part(const JointBlock<N>& b, const R* o) {
    auto* at = const_cast<std::byte*>(b.at[N - 1]);
    if (o != reinterpret_cast<const R*>(at)) scatter<R>(at, b.step[N - 1], b.row_step[N - 1], b.rows, b.len, o);
}

// The layouts of a joint walk writing dense out (elements of R) in s[0]'s logical order,
// with axes flipped as flip_backward does; true when every layout then lies in one
// ascending contiguous stretch (of n elements), to be run as one loop.
template <class R, std::size_t N>
bool joint_layouts(std::array<Strided, N>& s, R* out, const std::array<std::int64_t, N>& itemsize) noexcept {
    s[N - 1] = c_layout(out, s[0].shape.data(), s[0].ndim, sizeof(R));
    flip_backward(s);
    simplify_joint(s);
    if (s[0].ndim > 1) return false;
    for (std::size_t j = 0; j < N; ++j) {
        // (An operand, not the result, may repeat one value.)
        if (s[j].ndim == 1 && s[j].strides[0] != itemsize[j] && (j + 1 == N || s[j].strides[0] != 0)) return false;
    }
    return true;
}

inline std::size_t joint_scratch(const Strided& s) noexcept {
    const std::uint64_t n = s.size();
    return n < BLOCK ? static_cast<std::size_t>(n) : BLOCK;
}

}  // namespace detail

// out[i] = f(x's element i, y's element i) for i < n, both read in place, Step elements
// apart (0: xs and ys bytes apart, read at run time; a step of 0 repeats one value); then
// the same for each of `rows` rows, the next row of x, y and out xr, yr bytes and or_
// elements further (one call for a plane of short rows, where a call each cost as much as
// the row). Written around the cache where the whole walk is large (stream; the caller
// fences once after its last row).
template <class R, class T, class U, std::int64_t Step, class F>
CORVANTILE_CLONES void zip_row(const std::byte* x, std::int64_t xs, const std::byte* y, std::int64_t ys,
                               R* __restrict o, std::size_t n, bool stream, F f, std::size_t rows,
                               std::int64_t xr, std::int64_t yr, std::int64_t or_) {
    const std::int64_t sx = Step != 0 ? Step * static_cast<std::int64_t>(sizeof(T)) : xs;
    const std::int64_t sy = Step != 0 ? Step * static_cast<std::int64_t>(sizeof(U)) : ys;
    if constexpr (Step == 0) {
        // Rows of bytes stepping as gather_stepped's: each gathered a piece at a time, then
        // zipped in vectors (an operand stepping forward by one is read where it lies). Wider
        // elements cost one load each either way: the pieces only add their stores.
        const bool bytes = sizeof(T) == 1 && sizeof(U) == 1;
        const bool gx = bytes && stepped_rows(sx, 1, n), gy = bytes && stepped_rows(sy, 1, n);
        if (!stream && (gx || gy) && (gx || sx == 1) && (gy || sy == 1)) {
            constexpr std::size_t PIECE = 256;
            T xb[PIECE];
            U yb[PIECE];
            const auto n_ = static_cast<std::int64_t>(n);
            if (2 * n <= PIECE && or_ == n_ && (gx || xr == n_) && (gy || yr == n_)) {
                // Short rows, one after another in the result and in each operand read in
                // place: as many as a piece holds gathered side by side and zipped together.
                const std::size_t per = PIECE / n;
                for (std::size_t r = 0; r < rows; r += per) {
                    const std::size_t k = std::min(per, rows - r);
                    for (std::size_t q = 0; q < k; ++q) {
                        const auto qi = static_cast<std::int64_t>(q);
                        if (gx) gather_stepped(x + qi * xr, sx, n, 1, reinterpret_cast<std::byte*>(xb + q * n));
                        if (gy) gather_stepped(y + qi * yr, sy, n, 1, reinterpret_cast<std::byte*>(yb + q * n));
                    }
                    const T* xp = gx ? xb : reinterpret_cast<const T*>(x);
                    const U* yp = gy ? yb : reinterpret_cast<const U*>(y);
                    for (std::size_t j = 0; j < k * n; ++j) o[j] = f(xp[j], yp[j]);
                    const auto ki = static_cast<std::int64_t>(k);
                    x += ki * xr;
                    y += ki * yr;
                    o += k * n;
                }
                return;
            }
            for (std::size_t r = 0; r < rows; ++r, x += xr, y += yr, o += or_) {
                by_pieces<PIECE>(n, [&](std::size_t i, std::size_t m) {
                    const std::byte* xi = x + static_cast<std::int64_t>(i) * sx;
                    const std::byte* yi = y + static_cast<std::int64_t>(i) * sy;
                    if (gx) gather_stepped(xi, sx, m, 1, reinterpret_cast<std::byte*>(xb));
                    if (gy) gather_stepped(yi, sy, m, 1, reinterpret_cast<std::byte*>(yb));
                    const T* xp = gx ? xb : reinterpret_cast<const T*>(xi);
                    const U* yp = gy ? yb : reinterpret_cast<const U*>(yi);
                    R* __restrict dst = o + i;
                    for (std::size_t j = 0; j < m; ++j) dst[j] = f(xp[j], yp[j]);
                    return true;
                });
            }
            return;
        }
    }
    for (std::size_t r = 0; r < rows; ++r, x += xr, y += yr, o += or_) {
        auto fill = [&](R* __restrict dst, std::size_t start, std::size_t count) CORVANTILE_INLINE_LAMBDA {
            const std::byte* xp = x + static_cast<std::int64_t>(start) * sx;
            const std::byte* yp = y + static_cast<std::int64_t>(start) * sy;
#pragma GCC unroll 4
            for (std::size_t i = 0; i < count; ++i) {
                dst[i] = f(load<T>(xp + static_cast<std::int64_t>(i) * sx), load<U>(yp + static_cast<std::int64_t>(i) * sy));
            }
        };
        const std::optional<std::size_t> to_boundary = stream ? loops::to_line(o) : std::nullopt;
        if (!to_boundary) {
            fill(o, 0, n);
            continue;
        }
        const std::size_t head = std::min(*to_boundary, n);
        fill(o, 0, head);
        std::size_t i = head;
        constexpr std::size_t CHUNK = 512 / sizeof(R);
        alignas(loops::LINE_BYTES) R buffer[CHUNK];
        for (; n - i >= CHUNK; i += CHUNK) {
            fill(buffer, i, CHUNK);
            // The chunk lands in the buffer first: fused into the copy, the streamed stores came
            // out of line order, and took twice as long.
            asm volatile("" : : "r"(buffer) : "memory");
            loops::stream_copy(o + i, buffer, sizeof buffer);
        }
        fill(o + i, i, n - i);
    }
}

namespace detail {

// Whether a joint walk (operands, then the dense result) goes row by row with every
// operand read in place: no operand's rows lie closer together than its elements (those
// are tiled), and some operand steps other than forward by one element or the result runs
// backward, which the blocks would gather or scatter.
template <std::size_t N>
bool rows_in_place(const std::array<Strided, N>& s, const std::array<std::int64_t, N>& itemsize) noexcept {
    if (s[0].ndim == 0) return false;
    const std::size_t last = s[0].ndim - 1;
    if (last >= 1 && s[0].shape[last] < SHORT_ROW) return false;  // short rows go in blocks of many
    bool gain = s[N - 1].strides[last] < 0;
    for (std::size_t j = 0; j + 1 < N; ++j) {
        const Strided& x = s[j];
        if (x.ndim >= 2 && x.strides[last - 1] != 0 && magnitude(x.strides[last - 1]) < magnitude(x.strides[last])) {
            return false;
        }
        gain = gain || (x.strides[last] != itemsize[j] && x.strides[last] != 0);
    }
    return gain;
}

// The joint walk of zip_pair row by row (rows_in_place): each row read in place and its
// results written forward (rows whose results run backward are read from their end).
template <class R, class T, class U, class F>
void zip_rows(std::array<Strided, 3> s, F f) {
    const std::size_t last = s[0].ndim - 1;
    const std::uint64_t len = s[0].shape[last];
    if (s[2].strides[last] < 0) {
        for (Strided& x : s) {
            x.data += static_cast<std::int64_t>(len - 1) * x.strides[last];
            x.strides[last] = -x.strides[last];
        }
    }
    const std::int64_t xs = s[0].strides[last], ys = s[1].strides[last];
    constexpr auto TS = static_cast<std::int64_t>(sizeof(T)), US = static_cast<std::int64_t>(sizeof(U));
    using Kernel = void (*)(const std::byte*, std::int64_t, const std::byte*, std::int64_t, R*, std::size_t, bool, F,
                            std::size_t, std::int64_t, std::int64_t, std::int64_t);
    // The common steps as constants, so that the loop vectorises.
    Kernel kernel = zip_row<R, T, U, 0, F>;
    if (xs == -TS && ys == -US) kernel = zip_row<R, T, U, -1, F>;
    else if (xs == 2 * TS && ys == 2 * US) kernel = zip_row<R, T, U, 2, F>;
    const bool stream = s[0].size() * (sizeof(T) + sizeof(U) + sizeof(R)) >= loops::STREAM_BYTES;
    // An element function's row kernel takes every row or none (all are alike).
    [[maybe_unused]] bool by_rows = xs % TS == 0 && ys % US == 0;
    // The kernel takes a plane of rows at a time (the odometer steps the axes before).
    const std::size_t plane = last >= 1 ? last - 1 : last;
    const std::size_t rows = last >= 1 ? static_cast<std::size_t>(s[0].shape[plane]) : 1;
    const std::int64_t xr = last >= 1 ? s[0].strides[plane] : 0, yr = last >= 1 ? s[1].strides[plane] : 0;
    const std::int64_t orow = last >= 1 ? s[2].strides[plane] / static_cast<std::int64_t>(sizeof(R)) : 0;
    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::array<std::int64_t, 3> offset{};
    for (;;) {
        bool done = false;
        if constexpr (loops::ZipRows<F, R, T, U>) {
            for (std::size_t r = 0; by_rows && r < rows; ++r) {
                const auto ri = static_cast<std::int64_t>(r);
                done = by_rows = f.rows(reinterpret_cast<const T*>(s[0].data + offset[0] + ri * xr), xs / TS,
                                        reinterpret_cast<const U*>(s[1].data + offset[1] + ri * yr), ys / US,
                                        reinterpret_cast<R*>(s[2].data + offset[2]) + ri * orow,
                                        static_cast<std::size_t>(len), stream);
            }
        }
        if (!done) {
            kernel(s[0].data + offset[0], xs, s[1].data + offset[1], ys, reinterpret_cast<R*>(s[2].data + offset[2]),
                   static_cast<std::size_t>(len), stream, f, rows, xr, yr, orow);
        }
        const auto move = [&](std::size_t k, std::int64_t times) {
            for (std::size_t j = 0; j < 3; ++j) offset[j] += times * s[j].strides[k];
        };
        if (!odometer_next(counter, plane, [&](std::size_t k) { return s[0].shape[k]; }, move)) break;
    }
    if (stream) loops::fence();
}

}  // namespace detail

// Whether two layouts of one shape put each element at the same address (x OP= x).
inline bool same_place(const Strided& x, const Strided& y) noexcept {
    if (x.data != y.data) return false;
    for (std::size_t k = 0; k < x.ndim; ++k) {
        if (x.shape[k] > 1 && x.strides[k] != y.strides[k]) return false;
    }
    return true;
}

namespace detail {

// f(v, v) for a map: an operand zipped with itself (`x * x`, `a[1:] + a[1:]`) is read
// once (read twice, a run starting off a line took 1.5x as long over 1e6 elements).
template <class T, class F>
auto with_itself(F f) {
    return loops::narrow_like<F>([f](T v) CORVANTILE_INLINE_LAMBDA { return f(v, v); });
}

}  // namespace detail

// o[i] = f(x[i], y[i]) for i < n, as loops::zip_loop (an operand with itself read once).
template <class R, class T, class U, class F>
void zip_dense(const T* x, const U* y, R* o, std::size_t n, F f) {
    if constexpr (std::is_same_v<T, U>) {
        if (x == y) return loops::map_loop(x, o, n, detail::with_itself<T>(f));
    }
    loops::zip_loop(x, y, o, n, f);
}

// out[i] = f(element i of a, element i of b) for a and b of one shape, out dense in
// logical C order. out must not overlap a or b. Axes both read backward are walked
// forward in memory, writing out backward.
template <class R, class T, class U, class F>
void zip_pair(const Strided& a, const Strided& b, R* out, F f) {
    const std::uint64_t total = a.size();
    if (total == 0) return;
    if constexpr (std::is_same_v<T, U>) {
        if (same_place(a, b)) return map<R, T>(a, out, detail::with_itself<T>(f));
    }
    constexpr std::array<std::int64_t, 3> itemsize{sizeof(T), sizeof(U), sizeof(R)};
    std::array<Strided, 3> s{a, b, Strided{}};
    if (detail::joint_layouts(s, out, itemsize)) {
        // One stretch each (a broadcast operand one value).
        const auto* x = reinterpret_cast<const T*>(s[0].data);
        const auto* y = reinterpret_cast<const U*>(s[1].data);
        R* o = reinterpret_cast<R*>(s[2].data);
        const auto n = static_cast<std::size_t>(total);
        if (s[0].ndim == 0 || (s[0].strides[0] != 0 && s[1].strides[0] != 0)) {
            loops::zip_loop(x, y, o, n, f);
        } else if (s[1].strides[0] == 0 && s[0].strides[0] != 0) {
            loops::map_loop(x, o, n, [f, v = *y](T e) CORVANTILE_INLINE_LAMBDA { return f(e, v); });
        } else if (s[0].strides[0] == 0 && s[1].strides[0] != 0) {
            loops::map_loop(y, o, n, [f, v = *x](U e) CORVANTILE_INLINE_LAMBDA { return f(v, e); });
        } else {
            std::fill_n(o, n, f(*x, *y));
        }
        return;
    }
    if (detail::rows_in_place(s, itemsize)) return detail::zip_rows<R, T, U>(s, f);
    Scratch<T> xs(detail::joint_scratch(a));
    Scratch<U> ys(detail::joint_scratch(a));
    Scratch<R> os(detail::joint_scratch(a));
    for_joint_blocks<3>(s, itemsize, [&](const JointBlock<3>& block) {
        const auto x = detail::read_part<false>(block, 0, xs);
        const auto y = detail::read_part<false>(block, 1, ys);
        R* o = detail::out_part(block, os);
        const std::size_t n = block.count();
        if (x.elements != nullptr && y.elements != nullptr) {
            loops::zip_loop(x.elements, y.elements, o, n, f);
        } else if (x.elements != nullptr) {
            loops::map_loop(x.elements, o, n, [f, v = y.value](T e) CORVANTILE_INLINE_LAMBDA { return f(e, v); });
        } else if (y.elements != nullptr) {
            loops::map_loop(y.elements, o, n, [f, v = x.value](U e) CORVANTILE_INLINE_LAMBDA { return f(v, e); });
        } else {
            std::fill_n(o, n, f(x.value, y.value));
        }
        detail::put_part(block, o);
    });
}

// out[i] = element i of x where element i of the mask m is true (any nonzero byte), else
// element i of y; m, x and y of one shape, out dense in logical C order, overlapping none.
template <class T>
void select(const Strided& m, const Strided& x, const Strided& y, T* out) {
    const std::uint64_t total = m.size();
    if (total == 0) return;
    constexpr std::array<std::int64_t, 4> itemsize{sizeof(Bool), sizeof(T), sizeof(T), sizeof(T)};
    std::array<Strided, 4> s{m, x, y, Strided{}};
    if (detail::joint_layouts(s, out, itemsize) && (s[0].ndim == 0 || s[0].strides[0] != 0)) {
        const auto* mp = reinterpret_cast<const Bool*>(s[0].data);
        const auto* xp = reinterpret_cast<const T*>(s[1].data);
        const auto* yp = reinterpret_cast<const T*>(s[2].data);
        T* o = reinterpret_cast<T*>(s[3].data);
        const auto n = static_cast<std::size_t>(total);
        const bool xs = s[0].ndim == 0 || s[1].strides[0] == 0, ys = s[0].ndim == 0 || s[2].strides[0] == 0;
        if (!xs && !ys) loops::select_loop(mp, xp, yp, o, n);
        else if (!xs) loops::select_loop(mp, xp, *yp, o, n);
        else if (!ys) loops::select_loop(mp, *xp, yp, o, n);
        else loops::select_loop(mp, *xp, *yp, o, n);
        return;
    }
    Scratch<Bool> ms(detail::joint_scratch(m));
    Scratch<T> xs(detail::joint_scratch(m)), ys(detail::joint_scratch(m)), os(detail::joint_scratch(m));
    for_joint_blocks<4>(s, itemsize, [&](const JointBlock<4>& block) {
        const auto mp = detail::read_part<true>(block, 0, ms);
        const auto xp = detail::read_part<false>(block, 1, xs);
        const auto yp = detail::read_part<false>(block, 2, ys);
        T* o = detail::out_part(block, os);
        const std::size_t n = block.count();
        if (xp.elements != nullptr && yp.elements != nullptr) {
            loops::select_loop(mp.elements, xp.elements, yp.elements, o, n);
        } else if (xp.elements != nullptr) {
            loops::select_loop(mp.elements, xp.elements, yp.value, o, n);
        } else if (yp.elements != nullptr) {
            loops::select_loop(mp.elements, xp.value, yp.elements, o, n);
        } else {
            loops::select_loop(mp.elements, xp.value, yp.value, o, n);
        }
        detail::put_part(block, o);
    });
}

// The axes of an element-wise result over these layouts (of one shape), slowest first,
// in the memory order the operands share, as NumPy lays such results out: axes sorted by
// falling |stride|, where an operand stepping 0 along either axis has no say and, where
// operands disagree, the logical order stays.
template <std::size_t N>
std::array<std::size_t, MAX_NDIM> result_order(const std::array<Strided, N>& s) noexcept {
    const std::size_t n = s[0].ndim;
    // Built fastest first, then reversed.
    std::array<std::size_t, MAX_NDIM> q{};
    for (std::size_t i = 0; i < n; ++i) q[i] = n - 1 - i;
    for (std::size_t i0 = 1; i0 < n; ++i0) {
        const std::size_t j0 = q[i0];
        std::size_t to = i0;
        for (std::size_t i1 = i0; i1-- > 0;) {
            const std::size_t j1 = q[i1];
            bool ambiguous = true, swap = false;
            for (const Strided& x : s) {
                if (x.strides[j0] == 0 || x.strides[j1] == 0 || x.shape[j0] == 1 || x.shape[j1] == 1) continue;
                if (magnitude(x.strides[j1]) <= magnitude(x.strides[j0])) swap = false;
                else if (ambiguous) swap = true;
                ambiguous = false;
            }
            if (ambiguous) continue;
            if (!swap) break;
            to = i1;
        }
        for (std::size_t i = i0; i > to; --i) q[i] = q[i - 1];
        q[to] = j0;
    }
    std::array<std::size_t, MAX_NDIM> perm{};
    for (std::size_t i = 0; i < n; ++i) perm[i] = q[n - 1 - i];
    return perm;
}

// s with its axes in the order perm (perm[k] is the axis that comes k-th).
inline Strided permuted(const Strided& s, const std::array<std::size_t, MAX_NDIM>& perm) noexcept {
    Strided out = s;
    for (std::size_t k = 0; k < s.ndim; ++k) {
        out.shape[k] = s.shape[perm[k]];
        out.strides[k] = s.strides[perm[k]];
    }
    return out;
}

// A layout of `shape` (ndim axes) reading s broadcast to it: axes prepended, and stride 0
// where s has one element along an axis of more. s must broadcast to shape.
inline Strided broadcast_to(const Strided& s, const std::uint64_t* shape, std::size_t ndim) noexcept {
    Strided out;
    out.data = s.data;
    out.ndim = ndim;
    const std::size_t pad = ndim - s.ndim;
    for (std::size_t k = 0; k < ndim; ++k) {
        out.shape[k] = shape[k];
        out.strides[k] = k < pad || s.shape[k - pad] != shape[k] ? 0 : s.strides[k - pad];
    }
    return out;
}

// Whether the spans of two layouts (not empty) share a byte: false means their elements
// are apart.
inline bool may_overlap(const Strided& a, std::size_t a_size, const Strided& b, std::size_t b_size) noexcept {
    const auto [alo, ahi] = extent(a, a_size);
    const auto [blo, bhi] = extent(b, b_size);
    return alo < bhi && blo < ahi;
}

// Element i of x replaced by f(element i of x, element i of y), in x's place, for x and
// y of one shape (y steps 0 along the axes it repeats), walked in the memory order they
// share: an element-wise update does not depend on the order. x must be distinct() and
// apart from y (the caller copies an overlapping y first).
template <class T, class U, class F>
void zip_update(Strided x, Strided y, F f) {
    if (x.size() == 0) return;
    // Axes x walks backwards are turned round (y with them) where y does not step forward.
    for (std::size_t k = 0; k < x.ndim; ++k) {
        if (x.strides[k] < 0 && y.strides[k] <= 0) {
            const auto back = static_cast<std::int64_t>(x.shape[k] - 1);
            x.data += back * x.strides[k];
            y.data += back * y.strides[k];
            x.strides[k] = -x.strides[k];
            y.strides[k] = -y.strides[k];
        }
    }
    const auto perm = result_order<2>({x, y});
    constexpr auto SZ = static_cast<std::int64_t>(sizeof(T));
    Scratch<T> xs(detail::joint_scratch(x));
    Scratch<U> ys(detail::joint_scratch(x));
    for_joint_blocks<2>({permuted(x, perm), permuted(y, perm)}, {SZ, static_cast<std::int64_t>(sizeof(U))},
                        [&](const JointBlock<2>& b) {
        auto* at = const_cast<std::byte*>(b.at[0]);
        const std::int64_t step = b.step[0], row_step = b.row_step[0];
        const std::size_t n = b.count();
        const bool direct = step == SZ && (b.rows == 1 || row_step == SZ * static_cast<std::int64_t>(b.len));
        if (!direct && b.rows == 1 && sizeof(T) > 1) {  // a stepped row updated where it lies
            const auto yp = detail::read_part<false>(b, 1, ys);
            if (yp.elements != nullptr) return update_stepped<T>(at, step, n, f, yp.elements);
            return update_stepped<T>(at, step, n, [f, v = yp.value](T t) CORVANTILE_INLINE_LAMBDA { return f(t, v); });
        }
        T* e = direct ? reinterpret_cast<T*>(at) : xs.get();
        if (!direct) gather<T>(at, step, row_step, b.rows, b.len, e);
        const auto yp = detail::read_part<false>(b, 1, ys);
        if (yp.elements != nullptr) {
            loops::zip_update(e, yp.elements, n, f);
        } else {
            loops::update_loop(e, n, [f, v = yp.value](T t) CORVANTILE_INLINE_LAMBDA { return f(t, v); });
        }
        if (!direct) scatter<T>(at, step, row_step, b.rows, b.len, e);
    });
}

}  // namespace corvantile::walk
