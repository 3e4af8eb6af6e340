// The float predicate kernel, compiled once per Highway target (foreach_target.h
// re-includes this file) and chosen at run time.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "array/predicates.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include "array/predicates.hpp"
#include "array/stepped.hpp"

HWY_BEFORE_NAMESPACE();
namespace corvantile::loops::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

// Each test is one Highway op on a vector of doubles, giving a lane mask, or its negation
// where that is the cheaper op (finite: not NaN and not infinite, one class test on
// AVX-512), inverted once per block.
struct NanTest {
    static constexpr bool negated = false;
    template <class V>
    static HWY_INLINE auto mask(V v) { return hn::IsNaN(v); }
};
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
struct InfTest {
    static constexpr bool negated = false;
    template <class V>
    static HWY_INLINE auto mask(V v) { return hn::IsInf(v); }
};
struct SignBitTest {
    static constexpr bool negated = false;
    template <class V>
    static HWY_INLINE auto mask(V v) { return hn::IsNegative(v); }
};

#if HWY_TARGET != HWY_SCALAR && !HWY_HAVE_SCALABLE && HWY_MAX_BYTES <= 64

// One block: eight vectors of doubles give one vector of bytes. Their mask bits are
// gathered into one 64-bit word (at most 8 x 8 lanes), which becomes a byte mask, then
// bytes of 0 or 1. A partial block (count < 8 lanes x 8) reads and writes only `count`
// elements.
// With Step 2 the block's elements are every other double from x (a full block only):
// each vector is the even lanes of two loaded ones.
template <class Test, bool Full, std::size_t Step = 1>
HWY_INLINE void block(const double* HWY_RESTRICT x, std::uint8_t* HWY_RESTRICT o, std::size_t count) {
    const hn::ScalableTag<double> d;
    const hn::ScalableTag<std::uint8_t> d8;
    constexpr std::size_t N = hn::MaxLanes(d);
    static_assert(hn::MaxLanes(d8) == 8 * N);
    static_assert(Step == 1 || Full);
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        if constexpr (Step == 2) {
            const auto v = hn::ConcatEven(d, hn::LoadU(d, x + 2 * k * N + N), hn::LoadU(d, x + 2 * k * N));
            bits |= hn::BitsFromMask(d, Test::mask(v)) << (k * N);
        } else if constexpr (Full) {
            bits |= hn::BitsFromMask(d, Test::mask(hn::LoadU(d, x + k * N))) << (k * N);
        } else {
            if (k * N >= count) break;
            bits |= hn::BitsFromMask(d, Test::mask(hn::LoadN(d, x + k * N, count - k * N))) << (k * N);
        }
    }
    if constexpr (Test::negated) bits = ~bits;
    std::uint8_t packed[8];
    for (std::size_t k = 0; k < 8; ++k) packed[k] = static_cast<std::uint8_t>(bits >> (8 * k));
    const auto bytes = hn::IfThenElseZero(hn::LoadMaskBits(d8, packed), hn::Set(d8, 1));
    if constexpr (Full) {
        hn::StoreU(bytes, d8, o);
    } else {
        hn::StoreN(bytes, d8, o, count);
    }
}

template <class Test>
HWY_INLINE void run(const double* HWY_RESTRICT x, std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    constexpr std::size_t B = hn::MaxLanes(hn::ScalableTag<std::uint8_t>());
    std::size_t i = 0;
    for (; n - i >= B; i += B) block<Test, true>(x + i, o + i, B);
    if (i < n) block<Test, false>(x + i, o + i, n - i);
}

// x[0], x[2], ... x[2 * (n - 1)]: whole blocks read in place (never past the last element),
// the rest gathered.
template <class Test>
HWY_INLINE void run_stepped(const double* HWY_RESTRICT x, std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    constexpr std::size_t B = hn::MaxLanes(hn::ScalableTag<std::uint8_t>());
    std::size_t i = 0;
    for (; n - i >= B + 1; i += B) block<Test, true, 2>(x + 2 * i, o + i, B);
    alignas(64) double rest[B] = {};
    for (std::size_t k = i; k < n; ++k) rest[k - i] = x[2 * k];
    block<Test, false>(rest, o + i, n - i);
}

#else

// Targets without fixed-width vectors of at most 512 bits: one lane at a time.
template <class Test>
HWY_INLINE void run(const double* HWY_RESTRICT x, std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    const hn::CappedTag<double, 1> d;
    for (std::size_t i = 0; i < n; ++i) o[i] = hn::AllTrue(d, Test::mask(hn::LoadU(d, x + i))) != Test::negated;
}
template <class Test>
HWY_INLINE void run_stepped(const double* HWY_RESTRICT x, std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    const hn::CappedTag<double, 1> d;
    for (std::size_t i = 0; i < n; ++i) o[i] = hn::AllTrue(d, Test::mask(hn::LoadU(d, x + 2 * i))) != Test::negated;
}

#endif

}  // namespace

HWY_NOINLINE void float_test_kernel(FloatTest test, const double* HWY_RESTRICT x, std::uint8_t* HWY_RESTRICT o,
                                    std::size_t n) {
    switch (test) {
    case FloatTest::Nan: return run<NanTest>(x, o, n);
    case FloatTest::Finite: return run<FiniteTest>(x, o, n);
    case FloatTest::Inf: return run<InfTest>(x, o, n);
    case FloatTest::SignBit: return run<SignBitTest>(x, o, n);
    }
}

HWY_NOINLINE void float_test_stepped_kernel(FloatTest test, const double* HWY_RESTRICT x,
                                            std::uint8_t* HWY_RESTRICT o, std::size_t n) {
    switch (test) {
    case FloatTest::Nan: return run_stepped<NanTest>(x, o, n);
    case FloatTest::Finite: return run_stepped<FiniteTest>(x, o, n);
    case FloatTest::Inf: return run_stepped<InfTest>(x, o, n);
    case FloatTest::SignBit: return run_stepped<SignBitTest>(x, o, n);
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

void float_test_stepped(FloatTest test, const double* x, Bool* o, std::size_t n) noexcept {
    auto fill = [&](Bool* dst, std::size_t start, std::size_t count) {
        HWY_DYNAMIC_DISPATCH(float_test_stepped_kernel)(test, x + 2 * start, reinterpret_cast<std::uint8_t*>(dst), count);
    };
    write_result(o, n, 2 * sizeof(double) + sizeof(Bool), fill);
}

}  // namespace corvantile::loops

#endif
