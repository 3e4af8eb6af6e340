// The checked float64 -> int64 truncation, compiled once per Highway target
// (foreach_target.h re-includes this file) and chosen at run time.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "array/cast.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include "array/cast.hpp"

#include <algorithm>
#include <bit>

HWY_BEFORE_NAMESPACE();
namespace corvantile::loops::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

// Below 2^51 in magnitude a value truncated and added to 1.5 * 2^52 is an integer of that
// binade, whose low bits less those of 1.5 * 2^52 are the truncated value (exact, both
// signs): two float ops and one integer op a vector where the target has no packed
// conversion (AVX2). Vectors holding a larger value take the target's general conversion.
constexpr double MAGIC = 0x1.8p52;
constexpr double FAST_BELOW = 0x1p51;
constexpr double LIMIT = 9.2e18;

template <class D, class DI>
HWY_INLINE hn::Vec<DI> truncate(D d, DI di, hn::Vec<D> v, hn::Mask<D>& outside) {
    const auto magnitude = hn::Abs(v);
    if (HWY_LIKELY(hn::AllTrue(d, hn::Lt(magnitude, hn::Set(d, FAST_BELOW))))) {
        return hn::Sub(hn::BitCast(di, hn::Add(hn::Trunc(v), hn::Set(d, MAGIC))),
                       hn::Set(di, std::bit_cast<std::int64_t>(MAGIC)));
    }
    // NaN compares false: outside.
    const auto out = hn::Not(hn::Lt(magnitude, hn::Set(d, LIMIT)));
    outside = hn::Or(outside, out);
    return hn::ConvertTo(di, hn::IfThenZeroElse(out, v));
}

}  // namespace

HWY_NOINLINE bool truncate_kernel(const double* HWY_RESTRICT x, std::int64_t* HWY_RESTRICT o, std::size_t n) {
    const hn::ScalableTag<double> d;
    const hn::RebindToSigned<decltype(d)> di;
    const std::size_t N = hn::Lanes(d);
    auto outside = hn::MaskFalse(d);
    std::size_t i = 0;
    for (; n - i >= 2 * N; i += 2 * N) {
        const auto a = hn::LoadU(d, x + i);
        const auto b = hn::LoadU(d, x + i + N);
        hn::StoreU(truncate(d, di, a, outside), di, o + i);
        hn::StoreU(truncate(d, di, b, outside), di, o + i + N);
    }
    for (; i < n; i += N) {
        const std::size_t count = std::min(N, n - i);
        hn::StoreN(truncate(d, di, hn::LoadN(d, x + i, count), outside), di, o + i, count);
    }
    return hn::AllFalse(d, outside);
}

}  // namespace corvantile::loops::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace corvantile::loops {

HWY_EXPORT(truncate_kernel);

bool truncate_run(const double* x, std::int64_t* o, std::size_t n) noexcept {
    return HWY_DYNAMIC_DISPATCH(truncate_kernel)(x, o, n);
}

}  // namespace corvantile::loops

#endif
