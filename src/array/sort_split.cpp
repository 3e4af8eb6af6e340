// The float64 sort's split pass, compiled once per Highway target (foreach_target.h
// re-includes this file) and chosen at run time.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "array/sort_split.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include "array/sort_split.hpp"

HWY_BEFORE_NAMESPACE();
namespace corvantile::loops::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Numbers go forward from out[0] by a compressing store (a whole vector written, its tail
// overwritten later); the zeros and NaNs go backward from out[n], each vector's reversed so
// that the tail reads in input order from its right end. The forward store of a vector
// ends at or before the backward stores of the earlier ones, and is made before its own.
HWY_NOINLINE std::size_t split_numbers_kernel(const double* HWY_RESTRICT in, double* HWY_RESTRICT out,
                                              std::size_t n) {
    const hn::ScalableTag<double> d;
    const std::size_t N = hn::Lanes(d);
    const auto zero = hn::Zero(d);
    std::size_t front = 0;
    std::size_t back = n;
    std::size_t i = 0;
    if (n >= N) {
        for (; i <= n - N; i += N) {
            const auto v = hn::LoadU(d, in + i);
            const auto number = hn::Lt(zero, hn::Abs(v));  // false for either zero and for NaN
            if (hn::AllTrue(d, number)) {
                hn::StoreU(v, d, out + front);
                front += N;
                continue;
            }
            front += hn::CompressStore(v, number, d, out + front);
            const auto r = hn::Reverse(d, v);
            const auto special = hn::Not(hn::Lt(zero, hn::Abs(r)));
            const std::size_t k = hn::CountTrue(d, special);
            back -= k;
            hn::CompressBlendedStore(r, special, d, out + back);
        }
    }
    for (; i < n; ++i) {
        const double x = in[i];
        if (0.0 < (x < 0.0 ? -x : x)) {
            out[front++] = x;
        } else {
            out[--back] = x;
        }
    }
    return front;
}

}  // namespace corvantile::loops::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace corvantile::loops {

HWY_EXPORT(split_numbers_kernel);

std::size_t split_numbers(const double* in, double* out, std::size_t n) noexcept {
    return HWY_DYNAMIC_DISPATCH(split_numbers_kernel)(in, out, n);
}

}  // namespace corvantile::loops

#endif
