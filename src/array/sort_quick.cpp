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
// available() says so.
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

struct I64 {
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

struct F64 {
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
    // Exact without NaNs and zeros.
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

// ---- Sorting networks over R registers of 4 lanes (R = 4, 8, 16) ----

struct Pair {
    int a, b;
};

// Batcher's odd-even merge network on r inputs (a power of two).
template <int R>
consteval auto merge_network() {
    constexpr int count = [] {
        int c = 0;
        for (int p = 1; p < R; p *= 2)
            for (int k = p; k >= 1; k /= 2)
                for (int j = k % p; j + k < R; j += 2 * k)
                    for (int i = 0; i < k && i + j + k < R; ++i)
                        if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) ++c;
        return c;
    }();
    std::array<Pair, count> net{};
    int c = 0;
    for (int p = 1; p < R; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j + k < R; j += 2 * k)
                for (int i = 0; i < k && i + j + k < R; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) net[c++] = {i + j, i + j + k};
    return net;
}

template <class K, int R>
struct Network {
    using V = typename K::V;
    static constexpr auto net = merge_network<R>();

    template <std::size_t... I>
    static QS_INLINE void columns(V* r, std::index_sequence<I...>) {
        (K::minmax(r[net[I].a], r[net[I].b]), ...);
    }

    static QS_INLINE void transpose(V& r0, V& r1, V& r2, V& r3) {
        const V t0 = K::unpacklo(r0, r1);
        const V t1 = K::unpackhi(r0, r1);
        const V t2 = K::unpacklo(r2, r3);
        const V t3 = K::unpackhi(r2, r3);
        r0 = K::template lanes128<0x20>(t0, t2);
        r1 = K::template lanes128<0x20>(t1, t3);
        r2 = K::template lanes128<0x31>(t0, t2);
        r3 = K::template lanes128<0x31>(t1, t3);
    }

    // The steps between registers of the clean below: the W registers at r hold a bitonic
    // sequence; afterwards each register's lanes are the ones it ends with.
    template <int W>
    static QS_INLINE void clean_across(V* r) {
        for (int d = W / 2; d >= 1; d /= 2)
            for (int b = 0; b < W; b += 2 * d)
                for (int i = b; i < b + d; ++i) K::minmax(r[i], r[i + d]);
    }

    // The steps within each of N registers: lanes 2 apart, then 1 apart. Four registers at a
    // time are transposed, so that the steps are between registers.
    template <int N>
    static QS_INLINE void clean_within(V* r) {
        int i = 0;
        for (; i + 4 <= N; i += 4) {
            transpose(r[i], r[i + 1], r[i + 2], r[i + 3]);
            K::minmax(r[i], r[i + 2]);
            K::minmax(r[i + 1], r[i + 3]);
            K::minmax(r[i], r[i + 1]);
            K::minmax(r[i + 2], r[i + 3]);
            transpose(r[i], r[i + 1], r[i + 2], r[i + 3]);
        }
        for (; i < N; ++i) {
            V lo = r[i];
            V hi = K::swap_halves(lo);
            K::minmax(lo, hi);
            lo = K::template blend<0b1100>(lo, hi);
            hi = K::swap_pairs(lo);
            K::minmax(lo, hi);
            r[i] = K::template blend<0b1010>(lo, hi);
        }
    }

    // The w registers at r hold a bitonic sequence; afterwards they are ascending.
    template <int W>
    static QS_INLINE void clean(V* r) {
        clean_across<W>(r);
        clean_within<W>(r);
    }

    // Merges the ascending runs r[0..w) and r[w..2w) but for the steps within registers.
    template <int W>
    static QS_INLINE void merge_across(V* r) {
        V* b = r + W;
        for (int j = 0; j < W / 2; ++j) {
            const V t = K::reverse(b[j]);
            b[j] = K::reverse(b[W - 1 - j]);
            b[W - 1 - j] = t;
        }
        if constexpr (W % 2 == 1) b[W / 2] = K::reverse(b[W / 2]);
        for (int j = 0; j < W; ++j) K::minmax(r[j], b[j]);
        clean_across<W>(r);
        clean_across<W>(b);
    }

    // Sorts the 4R elements of r.
    static QS_INLINE void sort(V* r) {
        columns(r, std::make_index_sequence<net.size()>{});
        for (int g = 0; g < R; g += 4) transpose(r[g], r[g + 1], r[g + 2], r[g + 3]);
        // Column j of the network is now the registers j, 4 + j, ...: gather the runs.
        constexpr int W = R / 4;
        V s[R];
        for (int j = 0; j < 4; ++j)
            for (int b = 0; b < W; ++b) s[j * W + b] = r[4 * b + j];
        merge_across<W>(s);
        merge_across<W>(s + 2 * W);
        clean_within<R>(s);
        merge_across<2 * W>(s);
        clean_within<R>(s);
        for (int i = 0; i < R; ++i) r[i] = s[i];
    }
};

// Which lanes of register i of a range of n elements hold one of them.
QS_INLINE __m256i lanes_below(std::size_t n, std::size_t i) {
    const __m256i at = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<long long>(4 * i)), _mm256_setr_epi64x(0, 1, 2, 3));
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(n)), at);
}

// The address of register i; past the end no lane of it is read or written.
template <class T>
QS_INLINE T* register_at(T* a, std::size_t i) {
    return reinterpret_cast<T*>(reinterpret_cast<std::uintptr_t>(a) + 4 * i * sizeof(T));
}

// Loads n <= 4R elements into R registers, padded with the highest key, without a branch
// on n; the first FULL registers are known to be whole.
template <class K, int R, int FULL = 0>
QS_INLINE void load_padded(const typename K::T* a, std::size_t n, typename K::V* r) {
    const auto high = K::set1(K::highest);
    for (int i = 0; i < FULL; ++i) r[i] = K::load(a + 4 * i);
    for (int i = FULL; i < R; ++i) {
        const __m256i m = lanes_below(n, static_cast<std::size_t>(i));
        r[i] = K::select(m, K::load_masked(register_at(a, static_cast<std::size_t>(i)), m), high);
    }
}

template <class K, int R, int FULL = 0>
QS_INLINE void store_padded(typename K::T* a, std::size_t n, const typename K::V* r) {
    for (int i = 0; i < FULL; ++i) K::store(a + 4 * i, r[i]);
    const std::size_t whole = n / 4;
    for (std::size_t i = FULL; i < whole; ++i) K::store(a + 4 * i, r[i]);
    if (n % 4 != 0) K::store_masked(a + 4 * whole, lanes_below(n % 4, 0), r[whole]);
}

// Sorts n <= 4R elements (more than 4 FULL), padded to 4R with the highest key.
template <class K, int R, int FULL = 0>
QS_INLINE void sort_small(typename K::T* a, std::size_t n) {
    using V = typename K::V;
    V r[R];
    load_padded<K, R, FULL>(a, n, r);
    Network<K, R>::sort(r);
    store_padded<K, R, FULL>(a, n, r);
}

constexpr std::size_t BASE = 32;  // measured fastest: the 8-register network costs less than a partition

// The 4R elements at buf (aligned) form a bitonic sequence; afterwards they ascend. Past 8
// registers the first steps go through memory, one pair of registers at a time: all R at
// once would not fit beside the temporaries.
template <class K, int R>
QS_INLINE void clean_memory(typename K::T* buf) {
    using V = typename K::V;
    if constexpr (R <= 8) {
        V r[R];
        for (int i = 0; i < R; ++i) r[i] = K::load(buf + 4 * i);
        Network<K, R>::template clean<R>(r);
        for (int i = 0; i < R; ++i) K::store(buf + 4 * i, r[i]);
    } else {
        for (int i = 0; i < R / 2; ++i) {
            V lo = K::load(buf + 4 * i);
            V hi = K::load(buf + 2 * R + 4 * i);
            K::minmax(lo, hi);
            K::store(buf + 4 * i, lo);
            K::store(buf + 2 * R + 4 * i, hi);
        }
        clean_memory<K, R / 2>(buf);
        clean_memory<K, R / 2>(buf + 2 * R);
    }
}

// Sorts the 4R elements at buf (aligned): networks over 8 registers, merged through memory.
template <class K, int R>
QS_INLINE void sort_memory(typename K::T* buf) {
    using V = typename K::V;
    if constexpr (R <= 8) {
        V r[R];
        for (int i = 0; i < R; ++i) r[i] = K::load(buf + 4 * i);
        Network<K, R>::sort(r);
        for (int i = 0; i < R; ++i) K::store(buf + 4 * i, r[i]);
    } else {
        sort_memory<K, R / 2>(buf);
        sort_memory<K, R / 2>(buf + 2 * R);
        // The second half read backwards: together a bitonic sequence, split in two.
        for (int j = 0; j < R / 4; ++j) {
            V lo = K::load(buf + 4 * j);
            V hi = K::reverse(K::load(buf + 4 * (R - 1 - j)));
            K::minmax(lo, hi);
            V lo2 = K::load(buf + 4 * (R / 2 - 1 - j));
            V hi2 = K::reverse(K::load(buf + 4 * (R / 2 + j)));
            K::minmax(lo2, hi2);
            K::store(buf + 4 * j, lo);
            K::store(buf + 4 * (R / 2 + j), hi);
            K::store(buf + 4 * (R / 2 - 1 - j), lo2);
            K::store(buf + 4 * (R - 1 - j), hi2);
        }
        clean_memory<K, R / 2>(buf);
        clean_memory<K, R / 2>(buf + 2 * R);
    }
}

// Sorts n <= 4R elements, padded to 4R with the highest key.
template <class K, int R>
QS_INLINE void sort_padded(typename K::T* a, std::size_t n) {
    using T = typename K::T;
    using V = typename K::V;
    alignas(32) T buf[4 * R];
    {
        V r[R];
        load_padded<K, R>(a, n, r);
        for (int i = 0; i < R; ++i) K::store(buf + 4 * i, r[i]);
    }
    sort_memory<K, R>(buf);
    V r[R];
    for (int i = 0; i < R; ++i) r[i] = K::load(buf + 4 * i);
    store_padded<K, R>(a, n, r);
}

template <class K>
void sort_base(typename K::T* a, std::size_t n) {
    if (n <= 1) return;
    static_assert(BASE <= 32);
    if (n <= 16) {
        sort_small<K, 4>(a, n);
    } else {
        sort_small<K, 8, 4>(a, n);
    }
}

// ---- Partition ----

// For each mask of the lanes that go right, the 32-bit lane indices that put the lanes
// going left first and those going right last, each group in lane order; one byte each, so
// that an entry is one widening load addressed by the mask.
alignas(64) constexpr auto PERMUTE = [] {
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

// Vectors read at a time, and kept back at each end: more where the range is long.
constexpr std::size_t UNROLL = 4;
constexpr std::size_t UNROLL_LONG = 8;
constexpr std::size_t LONG = 1024;
static_assert(BASE >= 8 * UNROLL && LONG >= 8 * UNROLL_LONG, "a partition keeps 2 * UNROLL vectors back");

// Puts the elements of a[0..n) that do not go right (x > pivot, or x >= pivot when
// OR_EQUAL) before those that do; gives their count. n >= 8 * UNROLL. The first and last
// UNROLL vectors wait in registers so that every store lands on elements already read.
template <class K, bool OR_EQUAL, std::size_t UNROLL>
std::size_t partition_by(typename K::T* a, std::size_t n, typename K::T pivot) {
    using T = typename K::T;
    using V = typename K::V;
    const V pv = K::set1(pivot);
    const auto right = [pv](V v) -> unsigned {
        if constexpr (OR_EQUAL) {
            return ~K::gt(pv, v) & 0xF;
        } else {
            return K::gt(v, pv);
        }
    };
    std::size_t wl = 0;
    std::size_t wr = n;
    // The room between the write ends, wr - wl, shrinks by 4 with every vector put whichever
    // way its lanes go: only wr depends on the data.
    std::size_t room = 0;
    // Puts the i-th vector of a group; `left` is where the left end was at room 0 (an
    // address only, perhaps outside the array), fixed for the group.
    const auto put_at = [&](V v, std::uintptr_t left, std::size_t i) {
        const unsigned m = right(v);
        const auto c = static_cast<std::size_t>(std::popcount(m));
        const V p = K::permute(v, _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&PERMUTE[m]))));
        K::store(reinterpret_cast<T*>(left + (wr + 4 * i) * sizeof(T)), p);
        K::store(a + wr - 4, p);
        wr -= c;
    };
    const auto left_end = [&] { return reinterpret_cast<std::uintptr_t>(a) - room * sizeof(T); };
    const auto put = [&](V v) {
        put_at(v, left_end(), 0);
        room -= 4;
    };
    constexpr std::size_t KEPT = 4 * UNROLL;
    V first[UNROLL];
    V last[UNROLL];
    for (std::size_t i = 0; i < UNROLL; ++i) {
        first[i] = K::load(a + 4 * i);
        last[i] = K::load(a + n - KEPT + 4 * i);
    }
    std::size_t rl = KEPT;
    std::size_t rr = n - KEPT;
    for (; (rr - rl) % 4 != 0; ++rl) {
        const T x = a[rl];
        const bool goes_right = OR_EQUAL ? !(pivot > x) : x > pivot;
        if (goes_right) {
            a[--wr] = x;
        } else {
            a[wl++] = x;
        }
    }
    room = wr - wl;
    // Read from the end with less room, so that both have room for whole-vector stores.
    while (rr - rl >= 4 * UNROLL) {
        // Without a branch: which end comes next is as random as the data.
        const bool from_left = rl - (wr - room) <= wr - rr;
        const std::size_t at = from_left ? rl : rr - 4 * UNROLL;
        rl += from_left ? 4 * UNROLL : 0;
        rr -= from_left ? 0 : 4 * UNROLL;
        V v[UNROLL];
        for (std::size_t i = 0; i < UNROLL; ++i) v[i] = K::load(a + at + 4 * i);
        const std::uintptr_t left = left_end();
        for (std::size_t i = 0; i < UNROLL; ++i) put_at(v[i], left, i);
        room -= 4 * UNROLL;
    }
    while (rr != rl) {
        V v;
        if (rl - (wr - room) <= wr - rr) {
            v = K::load(a + rl);
            rl += 4;
        } else {
            rr -= 4;
            v = K::load(a + rr);
        }
        put(v);
    }
    for (std::size_t i = 0; i < UNROLL; ++i) put(first[i]);
    for (std::size_t i = 0; i < UNROLL; ++i) put(last[i]);
    return wr - room;
}

template <class K, bool OR_EQUAL>
std::size_t partition(typename K::T* a, std::size_t n, typename K::T pivot) {
    return n > LONG ? partition_by<K, OR_EQUAL, UNROLL_LONG>(a, n, pivot) : partition_by<K, OR_EQUAL, UNROLL>(a, n, pivot);
}

// The median of a sample spread evenly over a[0..n), and the sample's lowest key. Up to
// 1024 elements the sample is nine keys and the pivot the median of three medians of three:
// sorting a larger sample cost more than its better splits saved.
template <class K>
std::pair<typename K::T, typename K::T> choose_pivot(const typename K::T* a, std::size_t n) {
    using T = typename K::T;
    if (n <= 1024) {
        const std::size_t step = n / 9;
        const T* p = a + step / 2;
        struct M { T lo, mid; };
        const auto med3 = [](T x, T y, T z) {
            const T lo = std::min(x, y);
            return M{std::min(lo, z), std::max(lo, std::min(std::max(x, y), z))};
        };
        const M m0 = med3(p[0], p[step], p[2 * step]);
        const M m1 = med3(p[3 * step], p[4 * step], p[5 * step]);
        const M m2 = med3(p[6 * step], p[7 * step], p[8 * step]);
        return {med3(m0.mid, m1.mid, m2.mid).mid, std::min(std::min(m0.lo, m1.lo), m2.lo)};
    }
    if (n <= 8192) {
        // Straight into registers: scalar stores read back as vectors would stall.
        typename K::V r[4];
        const auto at = [a, n](std::size_t i) { return a[(2 * i + 1) * n / 32]; };
        for (std::size_t j = 0; j < 4; ++j) r[j] = K::set4(at(4 * j), at(4 * j + 1), at(4 * j + 2), at(4 * j + 3));
        Network<K, 4>::sort(r);
        return {K::first(r[2]), K::first(r[0])};
    }
    T s[64];
    for (std::size_t i = 0; i < 64; ++i) s[i] = a[(2 * i + 1) * n / 128];
    sort_padded<K, 16>(s, 64);
    return {s[32], s[0]};
}

// Whether no key of a[0..n) is below x; n >= 4.
template <class K>
bool none_below(const typename K::T* a, std::size_t n, typename K::T x) {
    const auto xv = K::set1(x);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        if ((K::gt(xv, K::load(a + i)) | K::gt(xv, K::load(a + i + 4)) | K::gt(xv, K::load(a + i + 8)) |
             K::gt(xv, K::load(a + i + 12))) != 0)
            return false;
    }
    for (; i + 4 <= n; i += 4)
        if (K::gt(xv, K::load(a + i)) != 0) return false;
    return K::gt(xv, K::load(a + n - 4)) == 0;
}

// The fallback where the pivots keep missing the middle.
template <class T>
void heap_sort(T* a, std::size_t n) {
    const auto sift = [a](std::size_t i, std::size_t end) {
        const T x = a[i];
        for (std::size_t c; (c = 2 * i + 1) < end; i = c) {
            if (c + 1 < end && a[c] < a[c + 1]) ++c;
            if (!(x < a[c])) break;
            a[i] = a[c];
        }
        a[i] = x;
    };
    for (std::size_t i = n / 2; i-- > 0;) sift(i, n);
    for (std::size_t end = n; end-- > 1;) {
        const T top = a[0];
        a[0] = a[end];
        a[end] = top;
        sift(0, end);
    }
}

// When bounded, no key of the range is above `upper` (the pivot that split it off).
template <class K>
void sort_range(typename K::T* a, std::size_t n, int budget, bool bounded, typename K::T upper) {
    while (n > BASE) {
        if (budget-- == 0) {
            heap_sort(a, n);
            return;
        }
        const auto [pivot, lowest] = choose_pivot<K>(a, n);
        if (bounded && !(pivot < upper)) {
            // The pivot is the largest key: its copies go last, where they stay. Where the
            // sample held nothing else, the range may be all copies.
            if (!(lowest < pivot) && none_below<K>(a, n, pivot)) return;
            n = partition<K, true>(a, n, pivot);
            continue;
        }
        std::size_t left = partition<K, false>(a, n, pivot);
        if (left == n) {
            n = partition<K, true>(a, n, pivot);
            bounded = true;
            upper = pivot;
            continue;
        }
        if (left < n - left) {
            sort_range<K>(a, left, budget, true, pivot);
            a += left;
            n -= left;
        } else {
            sort_range<K>(a + left, n - left, budget, bounded, upper);
            n = left;
            bounded = true;
            upper = pivot;
        }
    }
    sort_base<K>(a, n);
}

template <class K>
void sort_all(typename K::T* a, std::size_t n) {
    sort_range<K>(a, n, 2 * static_cast<int>(std::bit_width(n)), false, K::highest);
}

#undef QS_INLINE

}  // namespace

void sort(std::int64_t* a, std::size_t n) noexcept { sort_all<I64>(a, n); }

void sort(double* a, std::size_t n) noexcept { sort_all<F64>(a, n); }

}  // namespace corvantile::quick

#pragma GCC pop_options

namespace corvantile::quick {

bool available() noexcept {
    static const bool yes = (hwy::SupportedTargets() & HWY_AVX2) != 0;
    return yes;
}

bool chosen(bool, std::size_t) noexcept {
    // Measured faster than the library's sort where that runs on AVX2 (no AVX-512), for
    // both kinds at every length.
    static const bool avx2 = hwy::DispatchedTarget() == HWY_AVX2;
    return avx2;
}

}  // namespace corvantile::quick
