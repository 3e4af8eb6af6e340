// The checked float64 -> int64 truncation, compiled once per Highway target
// (foreach_target.h re-includes this file) and chosen at run time.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "array/cast.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include "array/cast.hpp"
#include "array/loops.hpp"
#include "array/stepped.hpp"

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

// Step 2: every other element of a stretch, x[0], x[2], ... (Backward: from the far end,
// o[i] = x[2 * (n - 1 - i)]); a vector is the even lanes of two loaded ones (the odd lanes,
// from one element early, reversed). Such a pair reads one element beyond the run at its
// far end (before x[0] backward), which `beyond` says may be read; where not, the vectors
// at that end are gathered. Odd (forward): the elements are x[1], x[3], ..., the odd lanes
// of pairs from x, which then never read beyond.
template <std::size_t Step, bool Backward = false, bool Odd = false>
HWY_INLINE bool truncate_all(const double* HWY_RESTRICT x, std::int64_t* HWY_RESTRICT o, std::size_t n,
                             bool beyond = false) {
    const hn::ScalableTag<double> d;
    const hn::RebindToSigned<decltype(d)> di;
    const std::size_t N = hn::Lanes(d);
    const auto load = [&](std::size_t i) HWY_ATTR {
        if constexpr (Step == 1 && Backward) {
            return hn::Reverse(d, hn::LoadU(d, x + (n - i - N)));
        } else if constexpr (Step == 1) {
            return hn::LoadU(d, x + i);
        } else {
#if HWY_TARGET == HWY_SCALAR
            return hn::Set(d, x[Backward ? 2 * (n - 1 - i) : 2 * i]);
#else
            if constexpr (Backward) {
                const double* p = x + 2 * (n - i - N) - 1;
                return hn::Reverse(d, hn::ConcatOdd(d, hn::LoadU(d, p + N), hn::LoadU(d, p)));
            } else if constexpr (Odd) {
                return hn::ConcatOdd(d, hn::LoadU(d, x + 2 * i + N), hn::LoadU(d, x + 2 * i));
            } else {
                return hn::ConcatEven(d, hn::LoadU(d, x + 2 * i + N), hn::LoadU(d, x + 2 * i));
            }
#endif
        }
    };
    auto outside = hn::MaskFalse(d);
    std::size_t i = 0;
    // Stepped vectors read 2N doubles for N elements: without `beyond`, the last whole pair
    // ends before n.
    const std::size_t ahead = Step == 1 || beyond || Odd ? 0 : 1;
    for (; n - i >= 2 * N + ahead; i += 2 * N) {
        const auto a = load(i);
        const auto b = load(i + N);
        hn::StoreU(truncate(d, di, a, outside), di, o + i);
        hn::StoreU(truncate(d, di, b, outside), di, o + i + N);
    }
    for (; i < n; i += N) {
        const std::size_t count = std::min(N, n - i);
        hn::Vec<decltype(d)> v;
        if constexpr (Step == 1 && !Backward) {
            v = hn::LoadN(d, x + i, count);
        } else {
            HWY_ALIGN double rest[hn::MaxLanes(d)] = {};
            for (std::size_t k = 0; k < count; ++k) rest[k] = x[Backward ? Step * (n - 1 - i - k) : Step * (i + k) + Odd];
            v = hn::Load(d, rest);
        }
        hn::StoreN(truncate(d, di, v, outside), di, o + i, count);
    }
    return hn::AllFalse(d, outside);
}

HWY_NOINLINE bool truncate_kernel(const double* HWY_RESTRICT x, std::int64_t* HWY_RESTRICT o, std::size_t n) {
    return truncate_all<1>(x, o, n);
}

// A run from beyond the second-level cache is read by pairs of loads starting on vector
// boundaries once one is reached (loops.hpp FAR_BYTES, vector_boundary).
HWY_NOINLINE bool truncate_stepped_kernel(const double* HWY_RESTRICT x, std::int64_t* HWY_RESTRICT o, std::size_t n,
                                          bool beyond) {
    const auto address = reinterpret_cast<std::uintptr_t>(x);
    if (n * 2 * sizeof(double) < FAR_BYTES || address % sizeof(double) != 0) return truncate_all<2>(x, o, n, beyond);
    const auto [head, off] = vector_boundary(address, 2, hn::Lanes(hn::ScalableTag<double>()));
    const bool inside = truncate_all<2>(x, o, head, true);
    if (off == 1) return truncate_all<2, false, true>(x + 2 * head - 1, o + head, n - head, beyond) && inside;
    return truncate_all<2>(x + 2 * head, o + head, n - head, beyond) && inside;
}

HWY_NOINLINE bool truncate_reversed_kernel(const double* HWY_RESTRICT x, std::int64_t* HWY_RESTRICT o, std::size_t n) {
    return truncate_all<1, true>(x, o, n);
}

HWY_NOINLINE bool truncate_stepped_back_kernel(const double* HWY_RESTRICT x, std::int64_t* HWY_RESTRICT o,
                                               std::size_t n, bool beyond) {
    return truncate_all<2, true>(x, o, n, beyond);
}

}  // namespace corvantile::loops::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "array/loops.hpp"

namespace corvantile::loops {

HWY_EXPORT(truncate_kernel);

bool truncate_run(const double* x, std::int64_t* o, std::size_t n) noexcept {
    return HWY_DYNAMIC_DISPATCH(truncate_kernel)(x, o, n);
}

HWY_EXPORT(truncate_stepped_kernel);
HWY_EXPORT(truncate_stepped_back_kernel);
HWY_EXPORT(truncate_reversed_kernel);

bool truncate_reversed(const double* x, std::int64_t* o, std::size_t n) noexcept {
    bool inside = true;
    auto fill = [&](std::int64_t* dst, std::size_t start, std::size_t count) {
        inside = HWY_DYNAMIC_DISPATCH(truncate_reversed_kernel)(x + (n - start - count), dst, count) && inside;
    };
    write_result(o, n, 2 * sizeof(std::int64_t), fill);
    return inside;
}

bool truncate_stepped(const double* x, std::int64_t* o, std::size_t n, bool backward) noexcept {
    bool inside = true;
    // A part of the result short of its far end may read one element past its own run.
    auto fill = [&](std::int64_t* dst, std::size_t start, std::size_t count) {
        const bool beyond = start + count < n;
        if (backward) {
            inside = HWY_DYNAMIC_DISPATCH(truncate_stepped_back_kernel)(x + 2 * (n - start - count), dst, count, beyond) &&
                     inside;
        } else {
            inside = HWY_DYNAMIC_DISPATCH(truncate_stepped_kernel)(x + 2 * start, dst, count, beyond) && inside;
        }
    };
    write_result(o, n, 2 * sizeof(double) + sizeof(std::int64_t), fill);
    return inside;
}

}  // namespace corvantile::loops

#endif
