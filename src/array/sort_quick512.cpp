#include <immintrin.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "array/sort_quick.hpp"

// Everything below the pragma is AVX-512 code with internal linkage; it runs only where
// avx512::available() says so.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,avx2,bmi2,popcnt")

namespace corvantile::quick {

namespace {

#define QS_INLINE inline __attribute__((always_inline))

struct I64Ops {
    using T = std::int64_t;
    using V = __m512i;
    static constexpr T highest = std::numeric_limits<T>::max();
    static QS_INLINE V load(const T* p) { return _mm512_loadu_si512(p); }
    static QS_INLINE void store(T* p, V v) { _mm512_storeu_si512(p, v); }
    static QS_INLINE V load_masked(const T* p, __mmask8 m) { return _mm512_maskz_loadu_epi64(m, p); }
    static QS_INLINE void store_masked(T* p, __mmask8 m, V v) { _mm512_mask_storeu_epi64(p, m, v); }
    static QS_INLINE V select(__mmask8 m, V yes, V no) { return _mm512_mask_blend_epi64(m, no, yes); }
    static QS_INLINE V set1(T x) { return _mm512_set1_epi64(x); }
    static QS_INLINE T first(V v) { return _mm_cvtsi128_si64(_mm512_castsi512_si128(v)); }
    static QS_INLINE unsigned gt(V a, V b) { return _mm512_cmpgt_epi64_mask(a, b); }
    // The 64-bit integer minimum issues on one port only; the maximum is then a ^ b ^ min,
    // one ternary-logic operation on either port.
    static QS_INLINE V min(V a, V b) { return _mm512_min_epi64(a, b); }
    static QS_INLINE V max_given_min(V a, V b, V lo) { return _mm512_ternarylogic_epi64(a, b, lo, 0x96); }
    // The larger of a and b where m, else their minimum lo.
    static QS_INLINE V max_where(V lo, __mmask8 m, V a, V b) { return _mm512_mask_ternarylogic_epi64(lo, m, a, b, 0x96); }
    static QS_INLINE V permute(V v, __m512i idx) { return _mm512_permutexvar_epi64(idx, v); }
    static QS_INLINE V permute2(V a, __m512i idx, V b) { return _mm512_permutex2var_epi64(a, idx, b); }
    static QS_INLINE V unpacklo(V a, V b) { return _mm512_unpacklo_epi64(a, b); }
    static QS_INLINE V unpackhi(V a, V b) { return _mm512_unpackhi_epi64(a, b); }
    // Lane k takes lane k ^ 1, k ^ 2, k ^ 4.
    static QS_INLINE V swap1(V v) { return _mm512_shuffle_epi32(v, _MM_PERM_BADC); }
    static QS_INLINE V swap2(V v) { return _mm512_permutex_epi64(v, 0x4E); }
    static QS_INLINE V swap4(V v) { return _mm512_shuffle_i64x2(v, v, 0x4E); }
    // Lane k takes lane k ^ 3.
    static QS_INLINE V reverse4(V v) { return _mm512_permutex_epi64(v, 0x1B); }
    static QS_INLINE V gather(const T* a, __m512i idx) { return _mm512_i64gather_epi64(idx, a, 8); }
};

struct F64Ops {
    using T = double;
    using V = __m512d;
    static constexpr T highest = std::numeric_limits<T>::infinity();
    static QS_INLINE V load(const T* p) { return _mm512_loadu_pd(p); }
    static QS_INLINE void store(T* p, V v) { _mm512_storeu_pd(p, v); }
    static QS_INLINE V load_masked(const T* p, __mmask8 m) { return _mm512_maskz_loadu_pd(m, p); }
    static QS_INLINE void store_masked(T* p, __mmask8 m, V v) { _mm512_mask_storeu_pd(p, m, v); }
    static QS_INLINE V select(__mmask8 m, V yes, V no) { return _mm512_mask_blend_pd(m, no, yes); }
    static QS_INLINE V set1(T x) { return _mm512_set1_pd(x); }
    static QS_INLINE T first(V v) { return _mm512_cvtsd_f64(v); }
    static QS_INLINE unsigned gt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    // Exact without NaNs; two zeros may both come out with one of their signs.
    static QS_INLINE V min(V a, V b) { return _mm512_min_pd(a, b); }
    static QS_INLINE V max_given_min(V a, V b, V) { return _mm512_max_pd(a, b); }
    static QS_INLINE V max_where(V lo, __mmask8 m, V a, V b) { return _mm512_mask_max_pd(lo, m, a, b); }
    static QS_INLINE V permute(V v, __m512i idx) { return _mm512_permutexvar_pd(idx, v); }
    static QS_INLINE V permute2(V a, __m512i idx, V b) { return _mm512_permutex2var_pd(a, idx, b); }
    static QS_INLINE V unpacklo(V a, V b) { return _mm512_unpacklo_pd(a, b); }
    static QS_INLINE V unpackhi(V a, V b) { return _mm512_unpackhi_pd(a, b); }
    static QS_INLINE V swap1(V v) { return _mm512_permute_pd(v, 0x55); }
    static QS_INLINE V swap2(V v) { return _mm512_permutex_pd(v, 0x4E); }
    static QS_INLINE V swap4(V v) { return _mm512_shuffle_f64x2(v, v, 0x4E); }
    static QS_INLINE V reverse4(V v) { return _mm512_permutex_pd(v, 0x1B); }
    static QS_INLINE V gather(const T* a, __m512i idx) { return _mm512_i64gather_pd(idx, a, 8); }
};

QS_INLINE __m512i lanes(const std::array<long long, 8>& t) { return _mm512_loadu_si512(t.data()); }

// The two halves of the butterfly that swaps bit d of the row and the column index of an
// 8 x 8 block, as indices into two registers (8 and up: the second).
template <int D>
constexpr std::array<long long, 8> SWAP_LO = [] {
    std::array<long long, 8> t{};
    for (int k = 0; k < 8; ++k) t[static_cast<std::size_t>(k)] = (k & D) != 0 ? 8 + k - D : k;
    return t;
}();
template <int D>
constexpr std::array<long long, 8> SWAP_HI = [] {
    std::array<long long, 8> t{};
    for (int k = 0; k < 8; ++k) t[static_cast<std::size_t>(k)] = (k & D) != 0 ? 8 + k : k + D;
    return t;
}();

// The operations the generic sort needs beyond P's primitives, for 8 lanes.
template <class P>
struct Avx512 : P {
    using typename P::T;
    using typename P::V;
    using M = __mmask8;
    static constexpr int LANES = 8;
    // Measured fastest: a 32-register network (some of it spilled) costs less than a
    // partition step; 512 elements merged through memory, or 128, were slower.
    static constexpr std::size_t BASE = 256;
    // Vectors read at a time, and kept back at each end: more where the range is long.
    static constexpr std::size_t UNROLL = 4;
    static constexpr std::size_t UNROLL_LONG = 8;
    static constexpr std::size_t LONG = 1024;
    // The largest network held in registers; larger sorts merge through memory.
    static constexpr int NET_REGS = 32;
    // One register's steps cost a permute and two operations each: cheaper than transposing.
    static constexpr bool CLEAN_BY_TRANSPOSE = false;
    // Networks keep the columns as runs: fewer steps within registers.
    static constexpr bool BY_COLUMNS = true;

    static QS_INLINE void minmax(V& a, V& b) {
        const V lo = P::min(a, b);
        b = P::max_given_min(a, b, lo);
        a = lo;
    }

    static QS_INLINE V reverse(V v) { return P::permute(v, _mm512_setr_epi64(7, 6, 5, 4, 3, 2, 1, 0)); }

    template <int D>
    static QS_INLINE void butterfly(V* r) {
        for (int i = 0; i < 8; ++i) {
            if ((i & D) != 0) continue;
            const V a = r[i];
            const V b = r[i + D];
            if constexpr (D == 1) {
                r[i] = P::unpacklo(a, b);
                r[i + D] = P::unpackhi(a, b);
            } else {
                r[i] = P::permute2(a, lanes(SWAP_LO<D>), b);
                r[i + D] = P::permute2(a, lanes(SWAP_HI<D>), b);
            }
        }
    }

    static QS_INLINE void transpose(V* r) {
        butterfly<1>(r);
        butterfly<2>(r);
        butterfly<4>(r);
    }

    // Lanes with bit D of their index set.
    template <int D>
    static constexpr __mmask8 UPPER = D == 1 ? 0xAA : D == 2 ? 0xCC : 0xF0;

    // Lanes D apart: the lower lane of each pair keeps the minimum.
    template <int D>
    static QS_INLINE void lane_step(V& v) {
        V s;
        if constexpr (D == 4) {
            s = P::swap4(v);
        } else if constexpr (D == 2) {
            s = P::swap2(v);
        } else {
            s = P::swap1(v);
        }
        v = P::max_where(P::min(v, s), UPPER<D>, v, s);
    }

    static QS_INLINE void clean_lanes(V& v) {
        lane_step<4>(v);
        lane_step<2>(v);
        lane_step<1>(v);
    }

    // Lane k of a register against lane k ^ (2H - 1) of another: the lanes below H keep
    // the minimum in a, those above it the maximum.
    template <int H>
    static QS_INLINE V flip(V v) {
        if constexpr (H == 4) {
            return reverse(v);
        } else if constexpr (H == 2) {
            return P::reverse4(v);
        } else {
            return P::swap1(v);
        }
    }

    template <int H>
    static QS_INLINE void mirror(V& a, V& b) {
        const V c = flip<H>(b);
        const V lo = P::min(a, c);
        const V hi = P::max_given_min(a, c, lo);
        a = P::select(UPPER<H>, hi, lo);
        b = flip<H>(P::select(UPPER<H>, lo, hi));
    }

    // For each mask of the lanes that go right, the lane indices that put the lanes going
    // left first and those going right last, each group in lane order; one byte each.
    alignas(64) static constexpr auto PERMUTE = [] {
        std::array<std::uint64_t, 256> t{};
        for (int m = 0; m < 256; ++m) {
            int o = 0;
            for (int pass = 0; pass < 2; ++pass)
                for (int l = 0; l < 8; ++l)
                    if (((m >> l) & 1) == pass) t[static_cast<std::size_t>(m)] |= std::uint64_t(l) << (8 * o++);
        }
        return t;
    }();

    static QS_INLINE V compact(V v, unsigned right) {
        return P::permute(v, _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&PERMUTE[right]))));
    }

    // Which lanes of register i of a range of n elements hold one of them.
    static QS_INLINE M lanes_below(std::size_t n, std::size_t i) {
        const std::size_t at = 8 * i;
        std::size_t k = n > at ? n - at : 0;
        k = k < 8 ? k : 8;
        return static_cast<M>((1u << k) - 1);
    }

    // Register j of 64 keys spread evenly over a[0..n), n <= 2^56.
    static QS_INLINE V sample(const T* a, std::size_t n, int j) {
        const __m512i odd = _mm512_add_epi64(_mm512_set1_epi64(16 * j + 1), _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14));
        const __m512i at = _mm512_srli_epi64(_mm512_mullo_epi64(odd, _mm512_set1_epi64(static_cast<long long>(n))), 7);
        return P::gather(a, at);
    }
};

using I64 = Avx512<I64Ops>;
using F64 = Avx512<F64Ops>;

#include "array/sort_quick_impl.hpp"

#undef QS_INLINE

}  // namespace

namespace avx512 {

void sort(std::int64_t* a, std::size_t n) noexcept { sort_all<I64>(a, n); }

void sort(double* a, std::size_t n) noexcept { sort_all<F64>(a, n); }

}  // namespace avx512

}  // namespace corvantile::quick

#pragma GCC pop_options
