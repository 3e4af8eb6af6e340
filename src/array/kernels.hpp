#pragma once

// Element-wise kernels, templated on the element function so the contiguous loops inline
// and vectorise. Included from array/array.hpp.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "array/array.hpp"
#include "array/loops.hpp"

namespace corvantile {

namespace detail {

inline bool buffers_overlap(const void* a, const void* b, std::size_t bytes) noexcept {
    const auto pa = reinterpret_cast<std::uintptr_t>(a);
    const auto pb = reinterpret_cast<std::uintptr_t>(b);
    return pa < pb + bytes && pb < pa + bytes;
}

// The broadcasting walk: an odometer over every axis but the last, whose rows run as a
// tight loop; offsets only ever grow or shrink by precomputed amounts.
template <class F>
CORVANTILE_CLONES void broadcast_walk(const double* a, const double* b, double* __restrict out, const Shape& shape,
                    const Shape& sa, const Shape& sb, F f) {
    const std::size_t n = shape.size();
    const std::size_t last = n - 1;
    const std::uint64_t inner = shape[last];
    const std::uint64_t sal = sa[last], sbl = sb[last];
    std::uint64_t rows = 1;
    for (std::size_t k = 0; k < last; ++k) rows *= shape[k];

    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::uint64_t ia = 0, ib = 0;
    for (std::uint64_t row = 0; row < rows; ++row) {
        const double* ra = a + ia;
        const double* rb = b + ib;
        if (sal == 1 && sbl == 1) {
            for (std::uint64_t i = 0; i < inner; ++i) out[i] = f(ra[i], rb[i]);
        } else if (sal == 1 && sbl == 0) {
            const double y = *rb;
            for (std::uint64_t i = 0; i < inner; ++i) out[i] = f(ra[i], y);
        } else if (sal == 0 && sbl == 1) {
            const double x = *ra;
            for (std::uint64_t i = 0; i < inner; ++i) out[i] = f(x, rb[i]);
        } else {
            std::uint64_t ja = 0, jb = 0;
            for (std::uint64_t i = 0; i < inner; ++i) {
                out[i] = f(ra[ja], rb[jb]);
                ja += sal;
                jb += sbl;
            }
        }
        out += inner;
        for (std::size_t k = last; k-- > 0;) {
            ia += sa[k];
            ib += sb[k];
            if (++counter[k] < shape[k]) break;
            ia -= sa[k] * shape[k];
            ib -= sb[k] * shape[k];
            counter[k] = 0;
        }
    }
}

// The largest element offset the walk reaches for an operand, which must lie inside it.
void check_walk_bounds(const Shape& shape, const Shape& strides, std::uint64_t len);

}  // namespace detail

template <Element T>
template <class F>
std::expected<Array<T>, ArrayError> Array<T>::zip_map(const Array& other, F f) const
    requires std::same_as<T, double>
{
    if (dims_ != other.dims_) return zip_map_broadcast(other, f);
    const std::size_t n = len();
    Storage<double> out = Storage<double>::uninit(n);
    loops::zip_loop(data(), other.data(), out.ptr(), n, f);
    return Array(std::move(out), dims_);
}

template <Element T>
template <class F>
std::expected<Array<T>, ArrayError> Array<T>::zip_map_broadcast(const Array& other, F f) const
    requires std::same_as<T, double>
{
    auto shape = array::broadcast_shape(dims_.shape(), other.dims_.shape());
    if (!shape) return std::unexpected(std::move(shape.error()));
    auto dims = ArrayDims::make(*shape, ITEMSIZE);
    if (!dims) return std::unexpected(std::move(dims.error()));
    const std::uint64_t total = dims->size();
    Storage<double> out = Storage<double>::uninit(total);
    if (total != 0) {
        const std::size_t n = shape->size();
        if (n == 0) {
            out.ptr()[0] = f(data()[0], other.data()[0]);
        } else {
            const Shape sa = array::broadcast_strides(dims_.shape(), n);
            const Shape sb = array::broadcast_strides(other.dims_.shape(), n);
            detail::check_walk_bounds(*shape, sa, len());
            detail::check_walk_bounds(*shape, sb, other.len());
            detail::broadcast_walk(data(), other.data(), out.ptr(), *shape, sa, sb, f);
        }
    }
    return Array(std::move(out), *dims);
}

template <Element T>
template <class F>
std::expected<void, ArrayError> Array<T>::zip_map_inplace(const Array& other, F f)
    requires std::same_as<T, double>
{
    if (dims_ == other.dims_) {
        const std::size_t n = len();
        double* a = data();
        const double* b = other.data();
        if (a == b) {
            loops::update_loop(a, n, loops::narrow_like<F>([f](double x) { return f(x, x); }));
        } else if (detail::buffers_overlap(a, b, n * sizeof(double))) {
            // Overlapping views of one buffer: compute as if they did not overlap.
            Storage<double> tmp = Storage<double>::uninit(n);
            loops::zip_loop(a, b, tmp.ptr(), n, f);
            std::memcpy(a, tmp.ptr(), n * sizeof(double));
        } else {
            loops::zip_update(a, b, n, f);
        }
        return {};
    }
    auto shape = array::broadcast_shape(dims_.shape(), other.dims_.shape());
    if (!shape) return std::unexpected(std::move(shape.error()));
    if (!std::ranges::equal(shape->span(), dims_.shape())) {
        return std::unexpected(ArrayError::from_message(
            "non-broadcastable output operand with shape " + array::shape_str(dims_.shape()) +
            " doesn't match the broadcast shape " + array::shape_str(*shape)));
    }
    auto result = zip_map(other, f);
    if (!result) return std::unexpected(std::move(result.error()));
    if (len() != 0) std::memcpy(data(), result->data(), len() * sizeof(double));
    return {};
}

template <Element T>
template <class F>
Array<T> Array<T>::map(F f) const
    requires std::same_as<T, double>
{
    const std::size_t n = len();
    Storage<double> out = Storage<double>::uninit(n);
    loops::map_loop(data(), out.ptr(), n, f);
    return Array(std::move(out), dims_);
}

}  // namespace corvantile
