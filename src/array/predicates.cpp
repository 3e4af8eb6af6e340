// The float predicate kernel, compiled once per Highway target (foreach_target.h
// re-includes this file) and chosen at run time.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "array/predicates.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>
#include <utility>

#include "array/predicates.hpp"
#include "array/stepped.hpp"
#include "array/loops.hpp"

HWY_BEFORE_NAMESPACE();
namespace corvantile::loops::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

// A test of the lanes: one Highway op on the operands' vectors giving a lane mask, or
// giving its negation where that is the cheaper op (`negated`), inverted once per block.
template <class Op, bool Negated = false>
struct Test {
    static constexpr bool negated = Negated;
    template <class... V>
    static HWY_INLINE auto mask(V... v) { return Op{}(v...); }
};

// The float tests of one vector.
struct NanOp { template <class V> HWY_INLINE auto operator()(V v) const { return hn::IsNaN(v); } };
struct InfOp { template <class V> HWY_INLINE auto operator()(V v) const { return hn::IsInf(v); } };
struct SignBitOp { template <class V> HWY_INLINE auto operator()(V v) const { return hn::IsNegative(v); } };
// Finite: not NaN and not infinite, negated where that is one class test (AVX-512).
struct FiniteTest {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3 && HWY_MAX_BYTES == 64
    static constexpr bool negated = true;
    template <class V>
    static HWY_INLINE auto mask(V v) {
        // Highway's IsFinite is this class test, negated; the negation costs a mask op a vector.
        return hn::Mask512<double>{_mm512_fpclass_pd_mask(
            v.raw, HWY_X86_FPCLASS_SNAN | HWY_X86_FPCLASS_QNAN | HWY_X86_FPCLASS_NEG_INF | HWY_X86_FPCLASS_POS_INF)};
    }
#else
    // x - x is +0 exactly for a finite x, NaN for an infinite or NaN one (which the ordered
    // compare finds unequal): two float ops where the exponent test takes integer ones.
    static constexpr bool negated = false;
    template <class V>
    static HWY_INLINE auto mask(V v) { return hn::Eq(hn::Sub(v, v), hn::Zero(hn::DFromV<V>())); }
#endif
};

// The comparisons of two vectors; Ne is Eq negated (a NaN makes Ne hold, where Highway's
// != is the ordered one).
struct LtOp { template <class V> HWY_INLINE auto operator()(V a, V b) const { return hn::Lt(a, b); } };
struct LeOp { template <class V> HWY_INLINE auto operator()(V a, V b) const { return hn::Le(a, b); } };
struct EqOp { template <class V> HWY_INLINE auto operator()(V a, V b) const { return hn::Eq(a, b); } };
struct GtOp { template <class V> HWY_INLINE auto operator()(V a, V b) const { return hn::Gt(a, b); } };
struct GeOp { template <class V> HWY_INLINE auto operator()(V a, V b) const { return hn::Ge(a, b); } };

// Where the kernels read an operand: element i at p[i], p[-i], p[K i], or one value
// throughout. at(i) gives element i, load(d, i) the vector of elements i .. (i + lanes - 1);
// a vector of Every<K> also reads the doubles after its last element (`ahead`). A `partial`
// reader's load_n(d, i, count) reads only the first count of them (zeros after).
struct Forward {
    static constexpr std::size_t ahead = 0;
    static constexpr bool partial = true;
    const double* p;
    template <class D>
    HWY_INLINE auto load(D d, std::size_t i) const { return hn::LoadU(d, p + i); }
    template <class D>
    HWY_INLINE auto load_n(D d, std::size_t i, std::size_t count) const { return hn::LoadN(d, p + i, count); }
    double at(std::size_t i) const { return p[i]; }
};
struct Backward {
    static constexpr std::size_t ahead = 0;
    static constexpr bool partial = false;
    const double* p;
    template <class D>
    HWY_INLINE auto load(D d, std::size_t i) const {
        return hn::Reverse(d, hn::LoadU(d, p - static_cast<std::ptrdiff_t>(i + hn::MaxLanes(d) - 1)));
    }
    double at(std::size_t i) const { return *(p - static_cast<std::ptrdiff_t>(i)); }
};
// Every K-th element (K from 2 to 4; -1 to -4 backward): a vector of them taken from |K|
// vectors, the first element of each group of |K| doubles (forward) or the last, reversed
// (backward), so that the groups end |K| - 1 doubles after (before) the vector's last
// element; every fourth as the even (odd) lanes of two vectors of every other (fewer
// shuffles than a four-way de-interleave). Forward, the elements may start Off doubles
// past p, so that p can lie on a vector boundary.
template <int K, std::size_t Off = 0>
struct Every {
    static constexpr std::size_t M = K < 0 ? -K : K;
    static_assert(Off < M && (K > 0 || Off == 0));
    static constexpr std::size_t ahead = M > 1 ? 1 : 0;
    static constexpr bool partial = false;
    const double* p;
    template <class D>
    HWY_INLINE auto load(D d, std::size_t i) const {
        // Found by argument (at instantiation): the one-lane targets, which never load
        // vectors, have no ConcatEven.
        constexpr bool back = K < 0;
        const auto halves = [d](const double* at, bool odd) {
            const auto hi = hn::LoadU(d, at + hn::MaxLanes(d)), lo = hn::LoadU(d, at);
            return odd ? ConcatOdd(d, hi, lo) : ConcatEven(d, hi, lo);
        };
        constexpr std::ptrdiff_t N = hn::MaxLanes(d);
        const double* at = back ? p - static_cast<std::ptrdiff_t>(M * (i + N - 1) + M - 1) : p + M * i;
        hn::VFromD<D> v;
        if constexpr (M == 1) {
            v = hn::LoadU(d, at);
        } else if constexpr (M == 2) {
            v = halves(at, back || Off == 1);
        } else if constexpr (M == 3) {
            hn::VFromD<D> v3[3];
            LoadInterleaved3(d, at, v3[0], v3[1], v3[2]);
            v = v3[back ? 2 : Off];
        } else {
            constexpr bool odd = back || Off % 2 == 1;
            const auto hi = halves(at + 2 * N, odd), lo = halves(at, odd);
            if constexpr (back || Off >= 2) v = ConcatOdd(d, hi, lo);
            else v = ConcatEven(d, hi, lo);
        }
        if constexpr (back) return hn::Reverse(d, v);
        else return v;
    }
    double at(std::size_t i) const { return p[static_cast<std::ptrdiff_t>(Off) + K * static_cast<std::ptrdiff_t>(i)]; }
};
struct One {
    static constexpr std::size_t ahead = 0;
    static constexpr bool partial = true;
    double v;
    template <class D>
    HWY_INLINE auto load(D d, std::size_t) const { return hn::Set(d, v); }
    template <class D>
    HWY_INLINE auto load_n(D d, std::size_t, std::size_t) const { return hn::Set(d, v); }
    double at(std::size_t) const { return v; }
};

#if HWY_TARGET != HWY_SCALAR && !HWY_HAVE_SCALABLE && HWY_MAX_BYTES <= 64

// The bytes of a block after three rounds of ReorderDemote2To lie by 128-bit block,
// then by vector (each vector gives two bytes to each block): in element order again.
template <class D8, class V>
HWY_INLINE V in_element_order(D8 d8, V v) {
    constexpr std::size_t blocks = hn::MaxLanes(d8) / 16;
    if constexpr (blocks == 1) {
        return v;
    } else {
#if HWY_TARGET == HWY_AVX2
        // Two blocks: the 64-bit quarters interleaved, then each block's words.
        const hn::Repartition<std::uint64_t, D8> d64;
        const auto q = hn::BitCast(d8, hn::Per4LaneBlockShuffle<3, 1, 2, 0>(hn::BitCast(d64, v)));
        alignas(32) static constexpr std::uint8_t WORDS[32] = {0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,
                                                               0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15};
        return hn::TableLookupBytes(q, hn::Load(d8, WORDS));
#else
        const hn::Repartition<std::uint16_t, D8> d16;
        alignas(64) std::uint16_t index[hn::MaxLanes(d16)];
        for (std::size_t q = 0; q < hn::MaxLanes(d16); ++q) index[q] = static_cast<std::uint16_t>(q % blocks * 8 + q / blocks);
        return hn::BitCast(d8, hn::TableLookupLanes(hn::BitCast(d16, v), hn::SetTableIndices(d16, index)));
#endif
    }
}

// One block: eight vectors' lane masks, mask_of(k) for the block's lanes
// [k lanes, (k + 1) lanes), give one vector of bytes of 0 or 1, stored whole or (not Full)
// its first `count`. With mask registers (AVX-512) the masks' bits are gathered into one
// word and spread to bytes; elsewhere the masks, as lanes of all ones or zero, are narrowed
// to bytes by three rounds of saturating packs, about half the work of gathering bits.
template <bool Negated, bool Full, class MaskOf>
HWY_INLINE void block(MaskOf mask_of, std::uint8_t* HWY_RESTRICT o, std::size_t count) {
    const hn::ScalableTag<double> d;
    const hn::ScalableTag<std::uint8_t> d8;
    constexpr std::size_t N = hn::MaxLanes(d);
    static_assert(hn::MaxLanes(d8) == 8 * N);
#if HWY_TARGET <= HWY_AVX3
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < 8; ++k) bits |= hn::BitsFromMask(d, mask_of(k)) << (k * N);
    if constexpr (Negated) bits = ~bits;
    std::uint8_t packed[8];
    for (std::size_t k = 0; k < 8; ++k) packed[k] = static_cast<std::uint8_t>(bits >> (8 * k));
    const auto bytes = hn::IfThenElseZero(hn::LoadMaskBits(d8, packed), hn::Set(d8, 1));
#else
    const hn::Repartition<std::int32_t, decltype(d)> d32;
    const hn::Repartition<std::int16_t, decltype(d)> d16;
    const hn::Repartition<std::int8_t, decltype(d)> di8;
    const auto lanes = [&](std::size_t k) { return hn::BitCast(d32, hn::VecFromMask(d, mask_of(k))); };
    const auto w0 = hn::ReorderDemote2To(d16, lanes(0), lanes(1));
    const auto w1 = hn::ReorderDemote2To(d16, lanes(2), lanes(3));
    const auto w2 = hn::ReorderDemote2To(d16, lanes(4), lanes(5));
    const auto w3 = hn::ReorderDemote2To(d16, lanes(6), lanes(7));
    // Each element two bytes, then one.
    const auto h0 = hn::BitCast(d16, hn::ReorderDemote2To(di8, w0, w1));
    const auto h1 = hn::BitCast(d16, hn::ReorderDemote2To(di8, w2, w3));
    const auto all = in_element_order(d8, hn::BitCast(d8, hn::ReorderDemote2To(di8, h0, h1)));
    // 0xFF or 0 to 1 or 0 (negated: 0 or 1).
    const auto bytes = Negated ? hn::Add(all, hn::Set(d8, 1)) : hn::And(all, hn::Set(d8, 1));
#endif
    if constexpr (Full) {
        hn::StoreU(bytes, d8, o);
    } else {
        hn::StoreN(bytes, d8, o, count);
    }
}

// o[i] = test T of the operands' elements i, each operand read by its reader: whole blocks
// read where they lie (never past the last element), the rest (at most a block) read in
// part where all readers can, else gathered into buffers; zeros past the end are tested
// but not stored.
template <class T, class... R>
HWY_INLINE void run(std::uint8_t* HWY_RESTRICT o, std::size_t n, R... r) {
    const hn::ScalableTag<double> d;
    constexpr std::size_t N = hn::MaxLanes(d);
    constexpr std::size_t B = 8 * N;
    constexpr std::size_t ahead = std::max({R::ahead...});
    std::size_t i = 0;
    for (; n - i >= B + ahead; i += B) {
        block<T::negated, true>([&](std::size_t k) { return T::mask(r.load(d, i + k * N)...); }, o + i, B);
    }
    if (i == n) return;
    const std::size_t count = n - i;
    if constexpr ((R::partial && ...)) {
        // Read in place: a vector gathered from a buffer just written waits for the stores.
        block<T::negated, false>(
            [&](std::size_t k) { return T::mask(r.load_n(d, i + k * N, k * N < count ? count - k * N : 0)...); }, o + i,
            count);
    } else {
        alignas(64) double rest[sizeof...(R)][B] = {};
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            for (std::size_t k = i; k < n; ++k) ((rest[J][k - i] = r.at(k)), ...);
            block<T::negated, false>([&](std::size_t k) { return T::mask(hn::Load(d, rest[J] + k * N)...); }, o + i,
                                     count);
        }(std::index_sequence_for<R...>{});
    }
}

#else

// Targets without fixed-width vectors of at most 512 bits: one lane at a time.
template <class T, class... R>
HWY_INLINE void run(std::uint8_t* HWY_RESTRICT o, std::size_t n, R... r) {
    const hn::CappedTag<double, 1> d;
    for (std::size_t i = 0; i < n; ++i) o[i] = hn::AllTrue(d, T::mask(hn::Set(d, r.at(i))...)) != T::negated;
}

#endif

// A float test over one operand read as X.
template <class X>
HWY_INLINE void test_with(FloatTest test, X x, std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    switch (test) {
    case FloatTest::Nan: return run<Test<NanOp>>(o, n, x);
    case FloatTest::Finite: return run<FiniteTest>(o, n, x);
    case FloatTest::Inf: return run<Test<InfOp>>(o, n, x);
    case FloatTest::SignBit: return run<Test<SignBitOp>>(o, n, x);
    }
}

// C over operands read as X, the second as X or one value.
template <class C, class X>
HWY_INLINE void compare_with(const double* x, const double* y, bool one, std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    if (one) return run<C>(o, n, X{x}, One{*y});
    run<C>(o, n, X{x}, X{y});
}

template <class C>
HWY_INLINE void compare_walk(CompareWalk walk, const double* x, const double* y, bool one, std::uint8_t* HWY_RESTRICT o,
                             std::size_t n) {
    switch (walk) {
    case CompareWalk::Forward: return compare_with<C, Forward>(x, y, one, o, n);
    case CompareWalk::Backward: return compare_with<C, Backward>(x, y, one, o, n);
    case CompareWalk::Every2: return compare_with<C, Every<2>>(x, y, one, o, n);
    }
}

}  // namespace

HWY_NOINLINE void float_test_kernel(FloatTest test, const double* HWY_RESTRICT x, std::uint8_t* HWY_RESTRICT o,
                                    std::size_t n) {
    test_with(test, Forward{x}, o, n);
}

// fn(reader, o, count) over every K-th element of x (K from 2 to 4), in two parts for a
// run from beyond the second-level cache (FAR_BYTES): the elements before the first
// whose loads can start on vector boundaries, then the rest read from there.
template <int K, class Fn>
HWY_INLINE void every_from_boundary(const double* x, std::uint8_t* o, std::size_t n, Fn fn) {
    const hn::ScalableTag<double> d;
    const auto address = reinterpret_cast<std::uintptr_t>(x);
    if (n * K * sizeof(double) < loops::FAR_BYTES || address % sizeof(double) != 0) return fn(Every<K>{x}, o, n);
    const auto [head, off] = vector_boundary(address, K, hn::MaxLanes(d));
    if (head != 0) fn(Every<K>{x}, o, head);
    with_off<K>(off, [&]<std::size_t Off>() { fn(Every<K, Off>{x + head * K - Off}, o + head, n - head); });
}

HWY_NOINLINE void float_test_stepped_kernel(FloatTest test, const double* HWY_RESTRICT x, std::int64_t k,
                                            std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    switch (k) {
    case -1: return test_with(test, Backward{x}, o, n);
    case -2: return test_with(test, Every<-2>{x}, o, n);
    case -3: return test_with(test, Every<-3>{x}, o, n);
    case -4: return test_with(test, Every<-4>{x}, o, n);
    default: break;
    }
    const auto with = [test](auto reader, std::uint8_t* out, std::size_t count) { test_with(test, reader, out, count); };
    if (k == 3) return every_from_boundary<3>(x, o, n, with);
    if (k == 4) return every_from_boundary<4>(x, o, n, with);
    every_from_boundary<2>(x, o, n, with);
}

HWY_NOINLINE void compare_kernel(Relation rel, CompareWalk walk, const double* HWY_RESTRICT x,
                                const double* HWY_RESTRICT y, bool one, std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    switch (rel) {
    case Relation::Lt: return compare_walk<Test<LtOp>>(walk, x, y, one, o, n);
    case Relation::Le: return compare_walk<Test<LeOp>>(walk, x, y, one, o, n);
    case Relation::Eq: return compare_walk<Test<EqOp>>(walk, x, y, one, o, n);
    case Relation::Ne: return compare_walk<Test<EqOp, true>>(walk, x, y, one, o, n);
    case Relation::Gt: return compare_walk<Test<GtOp>>(walk, x, y, one, o, n);
    case Relation::Ge: return compare_walk<Test<GeOp>>(walk, x, y, one, o, n);
    }
}

}  // namespace corvantile::loops::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "array/loops.hpp"

namespace corvantile::loops {

HWY_EXPORT(float_test_kernel);

void float_test(FloatTest test, const double* x, Bool* o, std::size_t n) noexcept {
    auto fill = [&](Bool* dst, std::size_t start, std::size_t count) {
        HWY_DYNAMIC_DISPATCH(float_test_kernel)(test, x + start, reinterpret_cast<std::uint8_t*>(dst), count);
    };
    write_result(o, n, sizeof(double) + sizeof(Bool), fill);
}

HWY_EXPORT(float_test_stepped_kernel);

void float_test_stepped(FloatTest test, const double* x, std::int64_t k, Bool* o, std::size_t n) noexcept {
    auto fill = [&](Bool* dst, std::size_t start, std::size_t count) {
        HWY_DYNAMIC_DISPATCH(float_test_stepped_kernel)(test, x + k * static_cast<std::int64_t>(start), k,
                                                        reinterpret_cast<std::uint8_t*>(dst), count);
    };
    write_result(o, n, static_cast<std::size_t>(k < 0 ? -k : k) * sizeof(double) + sizeof(Bool), fill);
}

HWY_EXPORT(compare_kernel);

bool compare_f64(Relation rel, const double* x, std::int64_t sx, const double* y, std::int64_t sy, Bool* o,
                 std::size_t n, bool stream) noexcept {
    // One value on the left: the relation turned round, the value on the right.
    if (sx == 0 && sy != 0) {
        constexpr Relation TURNED[] = {Relation::Gt, Relation::Ge, Relation::Eq, Relation::Ne, Relation::Lt, Relation::Le};
        return compare_f64(TURNED[static_cast<int>(rel)], y, sy, x, 0, o, n, stream);
    }
    if (sy != 0 && sy != sx) return false;
    CompareWalk walk;
    switch (sx) {
    case 1: walk = CompareWalk::Forward; break;
    case -1: walk = CompareWalk::Backward; break;
    case 2: walk = CompareWalk::Every2; break;
    default: return false;
    }
    const bool one = sy == 0;
    auto fill = [&](Bool* dst, std::size_t start, std::size_t count) {
        const auto at = static_cast<std::int64_t>(start);
        HWY_DYNAMIC_DISPATCH(compare_kernel)(rel, walk, x + at * sx, one ? y : y + at * sy, one,
                                             reinterpret_cast<std::uint8_t*>(dst), count);
    };
    if (stream) {
        streamed(o, n, fill, false);
    } else {
        fill(o, 0, n);
    }
    return true;
}

}  // namespace corvantile::loops

#endif
