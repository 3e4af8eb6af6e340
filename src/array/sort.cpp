#include <algorithm>
#include <cmath>
#include <numeric>

#include "array/array.hpp"

namespace corvantile {

namespace {

void require_1d(std::size_t ndim) {
    if (ndim != 1) internal_failure("1-D sort of an array that is not 1-D");
}

// Every number before every NaN; numbers by IEEE <, so -0.0 and 0.0 tie.
bool nan_last_less(double a, double b) noexcept { return !std::isnan(a) && (std::isnan(b) || a < b); }

}  // namespace

template <Element T>
Array<T> Array<T>::sorted_1d() const
    requires std::same_as<T, double>
{
    require_1d(ndim());
    Array out = clone();
    auto e = out.elements();
    // NaNs to the back in their order, then a stable sort of the numbers.
    auto numbers_end = std::stable_partition(e.begin(), e.end(), [](double x) { return !std::isnan(x); });
    std::stable_sort(e.begin(), numbers_end);
    return out;
}

template <Element T>
Array<std::int64_t> Array<T>::argsort_1d() const
    requires std::same_as<T, double>
{
    require_1d(ndim());
    const std::size_t n = len();
    Storage<std::int64_t> idx = Storage<std::int64_t>::uninit(n);
    auto s = idx.span();
    std::iota(s.begin(), s.end(), std::int64_t{0});
    const double* v = data();
    std::stable_sort(s.begin(), s.end(),
                     [v](std::int64_t i, std::int64_t j) { return nan_last_less(v[i], v[j]); });
    return Array<std::int64_t>::from_parts(std::move(idx), dims_);
}

template Array<double> Array<double>::sorted_1d() const;
template Array<std::int64_t> Array<double>::argsort_1d() const;

}  // namespace corvantile
