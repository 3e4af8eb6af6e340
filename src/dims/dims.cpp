#include "dims/dims.hpp"

#include <limits>

namespace corvantile {

Shape::Shape(std::span<const std::uint64_t> sizes) {
    if (sizes.size() > MAX_NDIM) internal_failure("shape longer than MAX_NDIM");
    std::copy(sizes.begin(), sizes.end(), sizes_.begin());
    n_ = sizes.size();
}

void Shape::push_back(std::uint64_t size) {
    if (n_ == MAX_NDIM) internal_failure("shape longer than MAX_NDIM");
    sizes_[n_++] = size;
}

std::expected<ArrayDims, ArrayError> ArrayDims::make(std::span<const std::uint64_t> shape,
                                                     std::uint8_t itemsize) {
    if (shape.size() > MAX_NDIM) return std::unexpected(DimsError{shape.size()});
    // The byte size must fit in a signed 64-bit value; like NumPy, axes of size 0 are
    // left out of the check so an empty array cannot hide an oversized shape.
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t bytes = itemsize;
    for (std::uint64_t s : shape) {
        if (s == 0) continue;
        if (__builtin_mul_overflow(bytes, s, &bytes) || bytes > limit) {
            return std::unexpected(ArrayError::too_big());
        }
    }
    ArrayDims d;
    d.ndim_ = static_cast<std::uint8_t>(shape.size());
    d.itemsize_ = itemsize;
    // Cannot overflow: every stride is at most the byte size checked above, or 0.
    std::uint64_t stride = itemsize;
    for (std::size_t k = shape.size(); k-- > 0;) {
        d.shape_[k] = shape[k];
        d.strides_[k] = static_cast<std::int64_t>(stride);
        stride *= shape[k];
    }
    return d;
}

void ArrayDims::broken_ndim() { internal_failure("ArrayDims with more than MAX_NDIM axes"); }

Shape ArrayDims::element_strides() const {
    Shape s;
    for (std::int64_t b : strides()) s.push_back(static_cast<std::uint64_t>(b) / itemsize_);
    return s;
}

namespace array {

std::string shape_str(std::span<const std::uint64_t> shape) {
    if (shape.empty()) return "()";
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + (shape.size() == 1 ? ",)" : ")");
}

std::optional<std::uint64_t> checked_product(std::span<const std::uint64_t> shape) noexcept {
    std::uint64_t n = 1;
    for (std::uint64_t s : shape) {
        if (__builtin_mul_overflow(n, s, &n)) return std::nullopt;
    }
    return n;
}

}  // namespace array

}  // namespace corvantile
