#pragma once

// The folds behind the reductions: the 8-lane total, the max/min steps, the folds along
// one axis and the whole-array scans.

#include "array/clones.hpp"
#include "array/storage.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

namespace corvantile::folds {

// The quiet NaN the reductions make themselves (not one taken from an operand).
inline constexpr double QUIET_NAN = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
// The sign bit of a float64 word (and the top bit of an int64 one).
inline constexpr std::uint64_t SIGN_BIT = std::uint64_t{1} << 63;

template <class T>
inline double as_double(T x) noexcept {
    return static_cast<double>(x);
}
// 1.0 or 0.0 by masking 1.0's bits: written as a choice, the compiler branches on each
// element where a product follows (b * 2.0 ran 4.7 ns an element on random bools).
template <>
inline double as_double<Bool>(Bool x) noexcept {
    const std::uint64_t all = -static_cast<std::uint64_t>(x != Bool{0});
    return std::bit_cast<double>(all & std::bit_cast<std::uint64_t>(1.0));
}

// The end of every 8-lane total: the lanes paired in one fixed order (0.0 when no element
// reached them), then the sequential tail added when there is one.
CORVANTILE_INLINE double lanes_finish(const double* lane, bool any_body, double tail, bool any_tail) noexcept {
    const double body = any_body ? ((lane[3] + lane[7]) + (lane[2] + lane[6])) +
                                       ((lane[1] + lane[5]) + (lane[0] + lane[4]))
                                 : 0.0;
    return any_tail ? body + tail : body;
}

// The 8-lane total of x[0..n) read as float64 (int64 rounded to nearest, bool as 0/1).
template <class T>
CORVANTILE_CLONES double lanes(const T* x, std::size_t n) noexcept {
    const std::size_t m = n & ~std::size_t{7};
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < m; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) lane[j] = lane[j] + as_double(x[i + j]);
    }
    double tail = -0.0;
    for (std::size_t i = m; i < n; ++i) tail = tail + as_double(x[i]);
    return lanes_finish(lane, m != 0, tail, m != n);
}

// max and min of two values: NaN in either gives QUIET_NAN; equal values give x (the
// later element). Selects, no branches.
struct MaxStep {
    double operator()(double acc, double x) const noexcept {
        const double r = acc > x ? acc : x;
        return std::isunordered(acc, x) ? QUIET_NAN : r;
    }
};
struct MinStep {
    double operator()(double acc, double x) const noexcept {
        const double r = acc < x ? acc : x;
        return std::isunordered(acc, x) ? QUIET_NAN : r;
    }
};
struct AddStep {
    double operator()(double acc, double x) const noexcept { return acc + x; }
};
struct MulStep {
    double operator()(double acc, double x) const noexcept { return acc * x; }
};

// Enough independent max/min chains to hide the instruction latency at full width.
inline constexpr std::size_t EXTREME_LANES = 32;

template <bool Max>
CORVANTILE_INLINE bool better(double x, double than) noexcept {
    return Max ? x > than : x < than;
}

// The extreme of init and `rows` rows of n contiguous float64 each, row_step bytes apart,
// by `better`, NaNs passed over (a NaN init stays), and whether they hold a NaN. One pass
// of compares and selects, the lanes kept from row to row (a column block's rows of a few
// dozen elements cost no set-up of their own); the order of equal values is not kept, so
// the sign of a zero extreme is arbitrary. With Every 2, only the elements at even offsets
// of a row count: the lanes run over the whole stretch (every vector load whole) and the
// odd ones are dropped at the end.
template <bool Max, std::size_t Every = 1>
CORVANTILE_INLINE double extreme_rows(const std::byte* at, std::int64_t row_step, std::size_t rows, std::size_t n,
                                      double init, bool& nan) noexcept {
    static_assert(Every == 1 || Every == 2);
    double lane[EXTREME_LANES];
    std::uint64_t unordered[EXTREME_LANES];
    for (std::size_t j = 0; j < EXTREME_LANES; ++j) {
        lane[j] = init;
        unordered[j] = 0;
    }
    double best = init;
    std::uint64_t any = 0;
    const auto take = [&](std::size_t j, double v) CORVANTILE_INLINE_LAMBDA {
        lane[j] = better<Max>(v, lane[j]) ? v : lane[j];
        unordered[j] |= static_cast<std::uint64_t>(v != v);
    };
    const std::size_t whole = n & ~(EXTREME_LANES - 1), eights = n & ~std::size_t{7};
    if (whole == 0 && rows > 1 && n >= 8) {
        // Rows of 8 to 31 (a column block's) in one pass of all lanes each, those past the
        // row given its first element again: loads under a mask, where the eights below
        // would chain two or three updates of the first eight lanes a row, a chain that
        // also holds back the loads of the rows ahead (3.5x slower at 1e6 elements).
        for (std::size_t r = 0; r < rows; ++r) {
            const auto* x = reinterpret_cast<const double*>(at + static_cast<std::int64_t>(r) * row_step);
            for (std::size_t j = 0; j < EXTREME_LANES; ++j) take(j, j < n ? x[j] : x[0]);
        }
        rows = 0;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const auto* x = reinterpret_cast<const double*>(at + static_cast<std::int64_t>(r) * row_step);
        std::size_t i = 0;
        for (; i < whole; i += EXTREME_LANES) {
            for (std::size_t j = 0; j < EXTREME_LANES; ++j) take(j, x[i + j]);
        }
        for (; i < eights; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) take(j, x[i + j]);
        }
        for (; i < n; i += Every) {
            best = better<Max>(x[i], best) ? x[i] : best;
            any |= static_cast<std::uint64_t>(x[i] != x[i]);
        }
    }
    for (std::size_t j = 0; j < EXTREME_LANES; j += Every) {
        best = better<Max>(lane[j], best) ? lane[j] : best;
        any |= unordered[j];
    }
    nan = any != 0;
    return best;
}

// The same over the one row x[0..n).
template <bool Max, std::size_t Every = 1>
CORVANTILE_INLINE double extreme_scan(const double* x, std::size_t n, double init, bool& nan) noexcept {
    return extreme_rows<Max, Every>(reinterpret_cast<const std::byte*>(x), 0, 1, n, init, nan);
}

// The whole-array max (Max) or min of x[0..n), n > 0: the same value as folding MaxStep
// or MinStep from x[0]. A NaN among two or more elements gives QUIET_NAN; otherwise the
// result is the extreme value, and for a zero extreme the sign of the last zero, since
// the fold keeps the later of two equal values.
template <bool Max>
CORVANTILE_CLONES double extreme(const double* x, std::size_t n) noexcept {
    if (n == 1) return x[0];
    bool nan = false;
    const double best = extreme_scan<Max>(x, n, x[0], nan);
    if (nan) return QUIET_NAN;
    if (best == 0.0) {
        std::size_t i = n;
        while (x[--i] != 0.0) {
        }
        return x[i];
    }
    return best;
}

// The int64 total of x[0..n), wrapping modulo 2^64.
std::int64_t wrapping_sum(const std::int64_t* x, std::size_t n) noexcept;

// How many of the bool x[0..n) are true (any nonzero byte).
std::int64_t count_true(const Bool* x, std::size_t n) noexcept;

// The max (Max) or min of the int64 x[0..n), n > 0.
template <bool Max>
CORVANTILE_CLONES std::int64_t int_extreme(const std::int64_t* x, std::size_t n) noexcept {
    std::int64_t acc = x[0];
    for (std::size_t i = 1; i < n; ++i) acc = (Max ? x[i] > acc : x[i] < acc) ? x[i] : acc;
    return acc;
}

// The position of the first NaN, else of the first extreme (n > 0). Blocks are scanned
// in order; only the first block reaching the extreme is read again for its position.
template <bool Max>
CORVANTILE_CLONES std::size_t arg_extreme(const double* x, std::size_t n) noexcept {
    constexpr std::size_t BLOCK = 2048;
    double best = x[0];
    std::size_t best_block = 0;
    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t len = n - start < BLOCK ? n - start : BLOCK;
        bool nan = false;
        const double m = extreme_scan<Max>(x + start, len, x[start], nan);
        if (nan) {
            std::size_t i = start;
            while (x[i] == x[i]) ++i;
            return i;
        }
        if (better<Max>(m, best)) {
            best = m;
            best_block = start;
        }
    }
    std::size_t i = best_block;
    while (x[i] != best) ++i;
    return i;
}

// The sequential fold of x[0..n) from acc.
template <class Step>
CORVANTILE_CLONES double fold(const double* x, std::size_t n, double acc, Step step) noexcept {
    for (std::size_t i = 0; i < n; ++i) acc = step(acc, x[i]);
    return acc;
}

// Eight float64 lanes, for the transposes of the row folds.
typedef double Lanes8 __attribute__((vector_size(64)));

// Four vectors of four 8-byte elements transposed in registers: v[i][r] becomes v[r][i].
template <class V>
CORVANTILE_INLINE void transpose4(V (&v)[4]) noexcept {
    const V t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6);
    const V t1 = __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
    const V t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6);
    const V t3 = __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
    v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    v[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    v[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Eight vectors of eight 8-byte elements transposed in registers: v[i][r] becomes v[r][i].
// Done as four 4 x 4 quarters: 32-byte vectors transpose in a few shuffles on every CPU
// variant, where 64-byte shuffles fall apart into single elements under AVX2.
template <class V>
CORVANTILE_INLINE void transpose8(V (&v)[8]) noexcept {
    using Half = std::uint64_t __attribute__((vector_size(32)));
    static_assert(sizeof(V) == 2 * sizeof(Half));
    Half q[2][2][4];  // [rows 4h..][elements 4e..][j]
    for (std::size_t e = 0; e < 2; ++e) {
        for (std::size_t j = 0; j < 4; ++j) {
            for (std::size_t h = 0; h < 2; ++h) {
                std::memcpy(&q[h][e][j], reinterpret_cast<const std::byte*>(&v[4 * e + j]) + 32 * h, 32);
            }
        }
    }
    for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t e = 0; e < 2; ++e) {
            transpose4(q[h][e]);
            for (std::size_t j = 0; j < 4; ++j) {
                std::memcpy(reinterpret_cast<std::byte*>(&v[4 * h + j]) + 32 * e, &q[h][e][j], 32);
            }
        }
    }
}

// acc += each of the Runs runs of eight doubles from p on, element i into lane i: the
// 8-lane sum's adds, unrolled.
template <std::size_t Runs = 1>
CORVANTILE_INLINE void add_octets(Lanes8& acc, const double* p) noexcept {
#pragma GCC unroll 8
    for (std::size_t k = 0; k < Runs; ++k) {
        Lanes8 x;
        std::memcpy(&x, p + 8 * k, sizeof x);
        acc = acc + x;
    }
}

// Columns k .. k+7 of the eight rows row[0..8) as c[0..8): c[j] holds element k + j of
// every row, in row order.
CORVANTILE_INLINE void transpose8(const double* const* row, std::uint64_t k, Lanes8 (&c)[8]) noexcept {
    for (std::size_t j = 0; j < 8; ++j) std::memcpy(&c[j], row[j] + k, sizeof(Lanes8));
    transpose8(c);
}

template <class Step>
inline constexpr bool LANE_STEP = std::is_same_v<Step, AddStep> || std::is_same_v<Step, MulStep> ||
                                  std::is_same_v<Step, MaxStep> || std::is_same_v<Step, MinStep>;

typedef std::int64_t Mask8 __attribute__((vector_size(64)));

template <class Step>
inline constexpr bool EXTREME_STEP = std::is_same_v<Step, MaxStep> || std::is_same_v<Step, MinStep>;

// acc = step(acc, x) in every lane. The max and min steps leave NaN to the caller: they
// record in `nan` the lanes where x is NaN, and the caller sets those lanes to QUIET_NAN
// afterwards, as the steps would. (GCC builds the max and min selects of these vectors
// lane by lane in the cloned loops, so they pay only on short rows: EXTREME_ROWS_ALONE.)
template <class Step>
CORVANTILE_INLINE void step_lanes(Lanes8& acc, Mask8& nan, const Lanes8& x) noexcept {
    static_assert(LANE_STEP<Step>);
    if constexpr (std::is_same_v<Step, AddStep>) {
        acc = acc + x;
    } else if constexpr (std::is_same_v<Step, MulStep>) {
        acc = acc * x;
    } else {
        if constexpr (std::is_same_v<Step, MaxStep>) {
            acc = acc > x ? acc : x;
        } else {
            acc = acc < x ? acc : x;
        }
        nan |= x != x;
    }
}

// Folds the rows of x (rows x len, len contiguous) into out[0..rows), each from init
// (from its first element when init is empty; len >= 1 then) and in ascending k, Group
// rows at a time: each row is one lane of a vector accumulator, fed by 8 x 8 transposes.
// The last group overlaps the one before (or repeats its last row when there are fewer
// rows than lanes); its rows get the same values again.
template <std::size_t Group, class Step>
CORVANTILE_INLINE void fold_row_groups(const double* x, double* out, std::uint64_t rows, std::uint64_t len,
                                       std::optional<double> init, Step step) noexcept {
    constexpr std::size_t V = Group / 8;
    for (std::uint64_t start = 0; start < rows; start += Group) {
        const std::uint64_t first = rows - start >= Group ? start : (rows > Group ? rows - Group : 0);
        const double* row[Group];
        for (std::size_t j = 0; j < Group; ++j) {
            const std::uint64_t r = first + j < rows ? first + j : rows - 1;
            row[j] = x + r * len;
        }
        Lanes8 acc[V];
        Mask8 nan[V];
        for (std::size_t v = 0; v < V; ++v) {
            for (std::size_t j = 0; j < 8; ++j) acc[v][j] = init ? *init : row[8 * v + j][0];
            nan[v] = acc[v] != acc[v];
        }
        const std::uint64_t k0 = init ? 0 : 1;
        std::uint64_t k = k0;
        for (; len - k >= 8; k += 8) {
            for (std::size_t v = 0; v < V; ++v) {
                Lanes8 c[8];
                transpose8(row + 8 * v, k, c);
                for (std::size_t j = 0; j < 8; ++j) step_lanes<Step>(acc[v], nan[v], c[j]);
            }
        }
        double lane[Group];
        std::memcpy(lane, acc, sizeof lane);
        if constexpr (EXTREME_STEP<Step>) {
            std::int64_t met[Group];
            std::memcpy(met, nan, sizeof met);
            for (std::size_t j = 0; j < Group; ++j) lane[j] = k > k0 && met[j] != 0 ? QUIET_NAN : lane[j];
        }
        for (; k < len; ++k) {
            for (std::size_t j = 0; j < Group; ++j) lane[j] = step(lane[j], row[j][k]);
        }
        for (std::size_t j = 0; j < Group && first + j < rows; ++j) out[first + j] = lane[j];
    }
}

// Folds each row of x (rows x len, C order) into out[0..rows), from init (from the row's
// first element when init is empty; len >= 1 then) in ascending k: the values of the
// sequential fold, several rows at once.
template <class Step>
CORVANTILE_CLONES void fold_rows(const double* x, double* __restrict out, std::uint64_t rows, std::uint64_t len,
                                 std::optional<double> init, Step step) noexcept {
    if (rows < 2 || rows * len < 64) {  // one row, or too few elements to gain
        for (std::uint64_t o = 0; o < rows; ++o) {
            const double* r = x + o * len;
            out[o] = init ? fold(r, len, *init, step) : fold(r + 1, len - 1, r[0], step);
        }
    } else if (rows <= 8) {
        fold_row_groups<8>(x, out, rows, len, init, step);
    } else {
        fold_row_groups<16>(x, out, rows, len, init, step);
    }
}

// Folds x (outer x len x inner, C order) along its middle axis into out (outer x inner).
// Each output starts at `init`, or at its first element when init is empty (len >= 1),
// and takes its elements in ascending k.
template <class Step>
CORVANTILE_CLONES void fold_axis(const double* x, double* __restrict out, std::uint64_t outer, std::uint64_t len,
               std::uint64_t inner, std::optional<double> init, Step step) noexcept {
    if constexpr (LANE_STEP<Step>) {
        if (inner == 1) return fold_rows(x, out, outer, len, init, step);
    }
    for (std::uint64_t o = 0; o < outer; ++o) {
        const double* src = x + o * len * inner;
        double* __restrict dst = out + o * inner;
        std::uint64_t k = 0;
        if (init) {
            for (std::uint64_t i = 0; i < inner; ++i) dst[i] = *init;
        } else {
            for (std::uint64_t i = 0; i < inner; ++i) dst[i] = src[i];
            k = 1;
        }
        if (inner == 1) {
            double acc = dst[0];
            for (; k < len; ++k) acc = step(acc, src[k]);
            dst[0] = acc;
        } else {
            for (; k < len; ++k) {
                const double* row = src + k * inner;
                for (std::uint64_t i = 0; i < inner; ++i) dst[i] = step(dst[i], row[i]);
            }
        }
    }
}

// Rows at least this long find their max or min one at a time, by the whole-array scan;
// shorter ones are folded several rows at once (measured: 2.6-3.9x NumPy from 4 to 16
// elements a row, against 1.5-2x one row at a time; from 64 up the scan wins).
inline constexpr std::uint64_t EXTREME_ROWS_ALONE = 32;

// max (Max) or min along the middle axis of x (outer x len x inner, len >= 1) into out:
// the values of fold_axis with MaxStep or MinStep.
template <bool Max>
void extreme_axis(const double* x, double* out, std::uint64_t outer, std::uint64_t len,
                  std::uint64_t inner) noexcept {
    if (inner == 1 && len >= EXTREME_ROWS_ALONE) {
        for (std::uint64_t o = 0; o < outer; ++o) out[o] = extreme<Max>(x + o * len, len);
    } else if constexpr (Max) {
        fold_axis(x, out, outer, len, inner, std::nullopt, MaxStep{});
    } else {
        fold_axis(x, out, outer, len, inner, std::nullopt, MinStep{});
    }
}

// The population variance of x[0..n), n > 0: the 8-lane mean, then the squared
// deviations summed in order from -0.0.
double variance(const double* x, std::size_t n) noexcept;

// acc plus the squared deviations of x[0..n) from mean, added one after another (the
// second pass of variance, for elements that come block by block). Whole blocks of
// VAR_BLOCK elements are summed without the chain of dependent additions where that
// gives the same bits.
inline constexpr std::size_t VAR_BLOCK = 1024;
double add_squared_deviations(const double* x, std::size_t n, double mean, double acc) noexcept;

// The same sum over elements that come in runs of any length (the rows of a view): the
// runs are joined into whole blocks first, so that short runs are not added one by one.
class SquaredDeviations {
public:
    explicit SquaredDeviations(double mean) noexcept : mean_(mean) {}
    void add(const double* x, std::size_t n) noexcept;
    // The sum from -0.0 over every element added.
    double total() const noexcept { return add_squared_deviations(block_, held_, mean_, acc_); }

private:
    double mean_;
    double acc_ = -0.0;
    std::size_t held_ = 0;
    alignas(64) double block_[VAR_BLOCK];
};

// lane_dot of two rows of n float64 read in place, `x_step` and `y_step` bytes apart.
double lane_dot(const std::byte* x, std::int64_t x_step, const std::byte* y, std::int64_t y_step,
                std::size_t n) noexcept;

// The sum of x[i] * y[i] in the 8-lane order of the whole-array totals: products of the
// leading multiple of 8 go to lane i mod 8, the rest to a sequential tail, and the
// result is tail + lanes.
double lane_dot(const double* x, const double* y, std::size_t n) noexcept;

// Running fold: out[i] = acc after x[0..i].
template <class Step>
CORVANTILE_CLONES void scan(const double* x, double* out, std::size_t n, double acc, Step step) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        acc = step(acc, x[i]);
        out[i] = acc;
    }
}

// Whether any element is nonzero (NaN counts as nonzero).
template <class T>
bool any_nonzero(const T* x, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] != T{0}) return true;
    return false;
}
// Whether every element is nonzero.
template <class T>
bool all_nonzero(const T* x, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] == T{0}) return false;
    return true;
}

}  // namespace corvantile::folds
