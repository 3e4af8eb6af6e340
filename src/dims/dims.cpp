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

ArrayError ArrayDims::refusal(std::size_t n) {
    if (n > MAX_NDIM) return DimsError{n};
    return ArrayError::too_big();
}

void ArrayDims::broken_shape(std::size_t n) {
    internal_failure("invalid dims for a valid shape: " + refusal(n).debug());
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
