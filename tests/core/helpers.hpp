#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "array/array.hpp"

namespace corvantile::testing {

using Sizes = std::vector<std::uint64_t>;

inline Sizes sizes(std::span<const std::uint64_t> s) { return {s.begin(), s.end()}; }
inline std::vector<std::int64_t> strides_of(const ArrayDims& d) {
    return {d.strides().begin(), d.strides().end()};
}

// Unwraps a result that the test expects to succeed.
template <class T>
T ok(std::expected<T, ArrayError> r) {
    if (!r) {
        // gtest reports the exception and goes on with the next test.
        throw std::runtime_error("unexpected ArrayError: " + r.error().debug());
    }
    return std::move(*r);
}

template <Element T>
Array<T> make(std::vector<T> v, const Sizes& shape) {
    return ok(Array<T>::from_vec(std::move(v), shape));
}

inline Array<double> f64(std::vector<double> v, const Sizes& shape) { return make(std::move(v), shape); }
inline Array<std::int64_t> i64(std::vector<std::int64_t> v, const Sizes& shape) {
    return make(std::move(v), shape);
}
inline Array<Bool> bools(std::vector<int> v, const Sizes& shape) {
    std::vector<Bool> b;
    for (int x : v) b.push_back(to_bool(x != 0));
    return make(std::move(b), shape);
}

// 0, 1, 2, ... (plus `start`) in the given shape.
inline Array<double> iota(const Sizes& shape, double start = 0) {
    std::uint64_t n = 1;
    for (auto s : shape) n *= s;
    std::vector<double> v(n);
    for (std::uint64_t i = 0; i < n; ++i) v[i] = start + static_cast<double>(i);
    return f64(std::move(v), shape);
}

template <Element T>
std::vector<T> values(const Array<T>& a) {
    return {a.elements().begin(), a.elements().end()};
}
inline std::vector<int> values(const Array<Bool>& a) {
    std::vector<int> out;
    for (Bool b : a.elements()) out.push_back(static_cast<int>(b));
    return out;
}

}  // namespace corvantile::testing
