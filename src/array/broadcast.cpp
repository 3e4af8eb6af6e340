#include "array/array.hpp"

namespace corvantile {

namespace array {

std::expected<Shape, ArrayError> broadcast_shape(std::span<const std::uint64_t> a,
                                                 std::span<const std::uint64_t> b) {
    const std::size_t n = std::max(a.size(), b.size());
    if (n > MAX_NDIM) internal_failure("broadcast of a shape longer than MAX_NDIM");
    Shape out;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t pad_a = n - a.size(), pad_b = n - b.size();
        const std::uint64_t sa = i >= pad_a ? a[i - pad_a] : 1;
        const std::uint64_t sb = i >= pad_b ? b[i - pad_b] : 1;
        if (sa == sb || sb == 1) {
            out.push_back(sa);
        } else if (sa == 1) {
            out.push_back(sb);
        } else {
            return std::unexpected(ArrayError::ShapeMismatch{{a.begin(), a.end()}, {b.begin(), b.end()}});
        }
    }
    return out;
}

Shape broadcast_strides(std::span<const std::uint64_t> shape, std::size_t n) {
    if (shape.size() > n || n > MAX_NDIM) internal_failure("broadcast_strides: shape longer than n");
    Shape out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(0);
    const std::size_t pad = n - shape.size();
    std::uint64_t stride = 1;
    for (std::size_t k = shape.size(); k-- > 0;) {
        out[pad + k] = shape[k] == 1 ? 0 : stride;
        stride *= shape[k];
    }
    return out;
}

}  // namespace array

namespace detail {

void check_walk_bounds(const Shape& shape, const Shape& strides, std::uint64_t len) {
    std::uint64_t last = 0;
    for (std::size_t k = 0; k < shape.size(); ++k) last += (shape[k] - 1) * strides[k];
    if (last >= len) internal_failure("broadcast walk beyond its operand");
}

}  // namespace detail

}  // namespace corvantile
