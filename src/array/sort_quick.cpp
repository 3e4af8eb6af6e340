#include <immintrin.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include <hwy/per_target.h>
#include <hwy/targets.h>

#include "array/sort_quick.hpp"

// Everything below the pragma is AVX2 code with internal linkage; it runs only where
// avx2::available() says so.
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")

namespace corvantile::quick {

namespace {

#define QS_INLINE inline __attribute__((always_inline))

// 64-bit lane blend masks as the 32-bit lane masks of the integer blend.
consteval int wide(int m) {
    int r = 0;
    for (int i = 0; i < 4; ++i)
        if ((m >> i) & 1) r |= 3 << (2 * i);
    return r;
}

struct I64Ops {
    using T = std::int64_t;
    using V = __m256i;
    static constexpr T highest = std::numeric_limits<T>::max();
    static QS_INLINE V load(const T* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static QS_INLINE void store(T* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static QS_INLINE V load_masked(const T* p, __m256i m) {
        return _mm256_maskload_epi64(reinterpret_cast<const long long*>(p), m);
    }
    static QS_INLINE void store_masked(T* p, __m256i m, V v) {
        _mm256_maskstore_epi64(reinterpret_cast<long long*>(p), m, v);
    }
    static QS_INLINE V select(__m256i m, V yes, V no) { return _mm256_blendv_epi8(no, yes, m); }
    static QS_INLINE V set1(T x) { return _mm256_set1_epi64x(x); }
    static QS_INLINE V set4(T x0, T x1, T x2, T x3) { return _mm256_setr_epi64x(x0, x1, x2, x3); }
    static QS_INLINE T first(V v) { return _mm_cvtsi128_si64(_mm256_castsi256_si128(v)); }
    static QS_INLINE unsigned gt(V a, V b) {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(a, b))));
    }
    static QS_INLINE void minmax(V& a, V& b) {
        const V m = _mm256_cmpgt_epi64(a, b);
        const V lo = _mm256_blendv_epi8(a, b, m);
        b = _mm256_blendv_epi8(b, a, m);
        a = lo;
    }
    static QS_INLINE V reverse(V v) { return _mm256_permute4x64_epi64(v, 0x1B); }
    static QS_INLINE V swap_halves(V v) { return _mm256_permute4x64_epi64(v, 0x4E); }
    static QS_INLINE V swap_pairs(V v) { return _mm256_shuffle_epi32(v, 0x4E); }
    template <int M>
    static QS_INLINE V blend(V a, V b) {
        return _mm256_blend_epi32(a, b, wide(M));
    }
    static QS_INLINE V permute(V v, __m256i idx) { return _mm256_permutevar8x32_epi32(v, idx); }
    static QS_INLINE V unpacklo(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
    static QS_INLINE V unpackhi(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
    template <int M>
    static QS_INLINE V lanes128(V a, V b) {
        return _mm256_permute2x128_si256(a, b, M);
    }
};

struct F64Ops {
    using T = double;
    using V = __m256d;
    static constexpr T highest = std::numeric_limits<T>::infinity();
    static QS_INLINE V load(const T* p) { return _mm256_loadu_pd(p); }
    static QS_INLINE void store(T* p, V v) { _mm256_storeu_pd(p, v); }
    static QS_INLINE V load_masked(const T* p, __m256i m) { return _mm256_maskload_pd(p, m); }
    static QS_INLINE void store_masked(T* p, __m256i m, V v) { _mm256_maskstore_pd(p, m, v); }
    static QS_INLINE V select(__m256i m, V yes, V no) { return _mm256_blendv_pd(no, yes, _mm256_castsi256_pd(m)); }
    static QS_INLINE V set1(T x) { return _mm256_set1_pd(x); }
    static QS_INLINE V set4(T x0, T x1, T x2, T x3) { return _mm256_setr_pd(x0, x1, x2, x3); }
    static QS_INLINE T first(V v) { return _mm256_cvtsd_f64(v); }
    static QS_INLINE unsigned gt(V a, V b) {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_GT_OQ)));
    }
    // Exact without NaNs; two zeros may both come out with one of their signs.
    static QS_INLINE void minmax(V& a, V& b) {
        const V lo = _mm256_min_pd(a, b);
        b = _mm256_max_pd(a, b);
        a = lo;
    }
    static QS_INLINE V reverse(V v) { return _mm256_permute4x64_pd(v, 0x1B); }
    static QS_INLINE V swap_halves(V v) { return _mm256_permute4x64_pd(v, 0x4E); }
    static QS_INLINE V swap_pairs(V v) { return _mm256_permute_pd(v, 0x5); }
    template <int M>
    static QS_INLINE V blend(V a, V b) {
        return _mm256_blend_pd(a, b, M);
    }
    static QS_INLINE V permute(V v, __m256i idx) {
        return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), idx));
    }
    static QS_INLINE V unpacklo(V a, V b) { return _mm256_unpacklo_pd(a, b); }
    static QS_INLINE V unpackhi(V a, V b) { return _mm256_unpackhi_pd(a, b); }
    template <int M>
    static QS_INLINE V lanes128(V a, V b) {
        return _mm256_permute2f128_pd(a, b, M);
    }
};

// The operations the generic sort needs beyond P's primitives, for 4 lanes.
template <class P>
struct Avx2 : P {
    using typename P::T;
    using typename P::V;
    using M = __m256i;
    static constexpr int LANES = 4;
    static constexpr std::size_t BASE = 32;  // measured fastest: the 8-register network costs less than a partition
    // Vectors read at a time, and kept back at each end: more where the range is long.
    static constexpr std::size_t UNROLL = 4;
    static constexpr std::size_t UNROLL_LONG = 8;
    static constexpr std::size_t LONG = 1024;
    // The largest network held in registers; larger sorts merge through memory.
    static constexpr int NET_REGS = 8;
    static constexpr bool CLEAN_BY_TRANSPOSE = true;
    // Networks keep the columns as runs: fewer steps within registers.
    static constexpr bool BY_COLUMNS = true;

    template <int D>
    static constexpr int UPPER = D == 1 ? 0b1010 : 0b1100;

    // Lanes D apart: the lower lane of each pair keeps the minimum.
    template <int D>
    static QS_INLINE void lane_step(V& v) {
        V lo = v;
        V hi = D == 2 ? P::swap_halves(v) : P::swap_pairs(v);
        P::minmax(lo, hi);
        v = P::template blend<UPPER<D>>(lo, hi);
    }

    // Lane k of a register against lane k ^ (2H - 1) of another: the lanes below H keep
    // the minimum in a, those above it the maximum.
    template <int H>
    static QS_INLINE void mirror(V& a, V& b) {
        V lo = a;
        V hi = H == 2 ? P::reverse(b) : P::swap_pairs(b);
        P::minmax(lo, hi);
        a = P::template blend<UPPER<H>>(lo, hi);
        const V other = P::template blend<UPPER<H>>(hi, lo);
        b = H == 2 ? P::reverse(other) : P::swap_pairs(other);
    }

    static QS_INLINE void transpose(V* r) {
        const V t0 = P::unpacklo(r[0], r[1]);
        const V t1 = P::unpackhi(r[0], r[1]);
        const V t2 = P::unpacklo(r[2], r[3]);
        const V t3 = P::unpackhi(r[2], r[3]);
        r[0] = P::template lanes128<0x20>(t0, t2);
        r[1] = P::template lanes128<0x20>(t1, t3);
        r[2] = P::template lanes128<0x31>(t0, t2);
        r[3] = P::template lanes128<0x31>(t1, t3);
    }

    // Lanes 2 apart, then 1 apart.
    static QS_INLINE void clean_lanes(V& v) {
        V lo = v;
        V hi = P::swap_halves(lo);
        P::minmax(lo, hi);
        lo = P::template blend<0b1100>(lo, hi);
        hi = P::swap_pairs(lo);
        P::minmax(lo, hi);
        v = P::template blend<0b1010>(lo, hi);
    }

    // For each mask of the lanes that go right, the 32-bit lane indices that put the lanes
    // going left first and those going right last, each group in lane order; one byte each,
    // so that an entry is one widening load addressed by the mask.
    alignas(64) static constexpr auto PERMUTE = [] {
        std::array<std::uint64_t, 16> t{};
        for (int m = 0; m < 16; ++m) {
            int o = 0;
            for (int pass = 0; pass < 2; ++pass)
                for (int l = 0; l < 4; ++l)
                    if (((m >> l) & 1) == pass) {
                        t[m] |= std::uint64_t(2 * l) << (8 * o++);
                        t[m] |= std::uint64_t(2 * l + 1) << (8 * o++);
                    }
        }
        return t;
    }();

    static QS_INLINE V compact(V v, unsigned right) {
        return P::permute(v, _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&PERMUTE[right]))));
    }

    // Which lanes of register i of a range of n elements hold one of them.
    static QS_INLINE M lanes_below(std::size_t n, std::size_t i) {
        const __m256i at = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<long long>(4 * i)), _mm256_setr_epi64x(0, 1, 2, 3));
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(n)), at);
    }

    // Register j of 16 keys spread evenly over a[0..n).
    static QS_INLINE V sample(const T* a, std::size_t n, int j) {
        const auto at = [a, n](std::size_t i) { return a[(2 * i + 1) * n / 32]; };
        const auto b = static_cast<std::size_t>(4 * j);
        return P::set4(at(b), at(b + 1), at(b + 2), at(b + 3));
    }
};

using I64 = Avx2<I64Ops>;
using F64 = Avx2<F64Ops>;

#include "array/sort_quick_impl.hpp"

#undef QS_INLINE

}  // namespace

namespace avx2 {

void sort(std::int64_t* a, std::size_t n) noexcept { sort_all<I64>(a, n); }

void sort(double* a, std::size_t n) noexcept { sort_all<F64>(a, n); }

}  // namespace avx2

}  // namespace corvantile::quick

#pragma GCC pop_options

namespace corvantile::quick {

bool avx2::available() noexcept {
    static const bool yes = (hwy::SupportedTargets() & HWY_AVX2) != 0;
    return yes;
}

bool avx512::available() noexcept {
    static const bool yes = (hwy::SupportedTargets() & HWY_AVX3) != 0;
    return yes;
}

Kind choice(bool float64, std::size_t n) noexcept {
    // As measured against the library's sort on the targets it dispatches to: where that
    // runs on AVX2, the AVX2 quicksort is faster for both kinds at every length. On
    // Sapphire Rapids and Zen 4/5 class CPUs the AVX-512 one is faster above one 64-element
    // network; below it the AVX2 one for doubles and the library for integers.
    static const std::int64_t target = hwy::DispatchedTarget();
    if (target == HWY_AVX2) return Kind::avx2;
    if ((target == HWY_AVX3_SPR || target == HWY_AVX3_ZEN4) && avx512::available()) {
        if (n > 32) return Kind::avx512;
        return float64 ? Kind::avx2 : Kind::library;
    }
    return Kind::library;
}

const char* name(Kind kind) noexcept {
    switch (kind) {
        case Kind::avx2: return "quicksort AVX2";
        case Kind::avx512: return "quicksort AVX-512";
        default: return nullptr;
    }
}

}  // namespace corvantile::quick
