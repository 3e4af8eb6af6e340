#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "array/error.hpp"

namespace corvantile {

// Most dimensions a native array can have.
inline constexpr std::uint64_t MAX_NDIM = 8;

// A list of at most MAX_NDIM sizes held by value (no allocation).
class Shape {
public:
    constexpr Shape() noexcept = default;
    // More than MAX_NDIM sizes is an internal failure.
    explicit Shape(std::span<const std::uint64_t> sizes);
    Shape(std::initializer_list<std::uint64_t> sizes)
        : Shape(std::span<const std::uint64_t>(sizes.begin(), sizes.size())) {}

    void push_back(std::uint64_t size);  // internal failure beyond MAX_NDIM
    std::size_t size() const noexcept { return n_; }
    bool empty() const noexcept { return n_ == 0; }
    std::uint64_t operator[](std::size_t i) const noexcept { return sizes_[i]; }
    std::uint64_t& operator[](std::size_t i) noexcept { return sizes_[i]; }
    const std::uint64_t* data() const noexcept { return sizes_.data(); }
    const std::uint64_t* begin() const noexcept { return sizes_.data(); }
    const std::uint64_t* end() const noexcept { return sizes_.data() + n_; }
    std::span<const std::uint64_t> span() const noexcept { return {sizes_.data(), n_}; }
    operator std::span<const std::uint64_t>() const noexcept { return span(); }
    friend bool operator==(const Shape& a, const Shape& b) noexcept {
        return a.span().size() == b.span().size() &&
               std::equal(a.begin(), a.end(), b.begin());
    }

private:
    std::array<std::uint64_t, MAX_NDIM> sizes_{};
    std::size_t n_ = 0;
};

// The shape record of an array: sizes, C-order byte strides, ndim and itemsize.
// Slots at and beyond ndim are 0; records are compared whole (same layout).
class ArrayDims {
public:
    // "ArrayDims::new": the C-contiguous record of a shape. More than MAX_NDIM sizes give
    // Dims(TooManyDims(n)); a byte size (itemsize times the non-zero sizes) above the largest
    // signed 64-bit value gives the "array is too big..." Message.
    static std::expected<ArrayDims, ArrayError> make(std::span<const std::uint64_t> shape,
                                                     std::uint8_t itemsize) {
        std::expected<ArrayDims, ArrayError> dims;  // filled in place
        if (!dims->fill_c(shape, itemsize)) [[unlikely]] dims = std::unexpected(refusal(shape.size()));
        return dims;
    }
    // The C record of a shape known to be valid (that of existing elements); a refusal
    // here is a broken invariant (internal failure).
    static ArrayDims c_of_valid(std::span<const std::uint64_t> shape, std::uint8_t itemsize) {
        ArrayDims d;
        if (!d.fill_c(shape, itemsize)) [[unlikely]] broken_shape(shape.size());
        return d;
    }
    // The 0-d record.
    static constexpr ArrayDims scalar(std::uint8_t itemsize) noexcept {
        ArrayDims d;
        d.itemsize_ = itemsize;
        return d;
    }

    // The same record with the first axis cut to `size` elements (ndim at least 1): the C
    // strides do not depend on the first size.
    ArrayDims with_first_size(std::uint64_t size) const noexcept {
        ArrayDims d = *this;
        d.shape_[0] = size;
        return d;
    }

    std::size_t ndim() const noexcept { return ndim_; }
    std::size_t itemsize() const noexcept { return itemsize_; }
    // The first ndim sizes.
    std::span<const std::uint64_t> shape() const {
        if (ndim_ > MAX_NDIM) [[unlikely]] broken_ndim();
        return {shape_.data(), ndim_};
    }
    // The first ndim byte strides.
    std::span<const std::int64_t> strides() const {
        if (ndim_ > MAX_NDIM) [[unlikely]] broken_ndim();
        return {strides_.data(), ndim_};
    }
    Shape element_strides() const;  // byte strides divided by itemsize
    // Product of the shape; 1 when 0-d.
    std::uint64_t size() const noexcept {
        std::uint64_t n = 1;
        for (std::size_t k = 0; k < ndim_ && k < MAX_NDIM; ++k) n *= shape_[k];
        return n;
    }
    // All 8 slots, for code that copies a record whole.
    const std::array<std::uint64_t, MAX_NDIM>& shape_slots() const noexcept { return shape_; }
    const std::array<std::int64_t, MAX_NDIM>& stride_slots() const noexcept { return strides_; }

    // A 0-d float64 record (placeholder; real records come from make / scalar).
    constexpr ArrayDims() noexcept = default;

    friend bool operator==(const ArrayDims&, const ArrayDims&) = default;

private:
    [[noreturn, gnu::cold]] static void broken_ndim();
    [[noreturn, gnu::cold]] static void broken_shape(std::size_t n);
    // The error of make for a refused shape of n axes.
    [[gnu::cold]] static ArrayError refusal(std::size_t n);

    // Writes the C record of shape into this zeroed record; false when make refuses it.
    bool fill_c(std::span<const std::uint64_t> shape, std::uint8_t itemsize) noexcept {
        const std::size_t n = shape.size();
        if (n > MAX_NDIM) return false;
        ndim_ = static_cast<std::uint8_t>(n);
        itemsize_ = itemsize;
        // The byte size must fit in a signed 64-bit value; like NumPy, axes of size 0 are
        // left out of the check so an empty array cannot hide an oversized shape. The
        // strides never exceed it (or are 0).
        std::uint64_t stride = itemsize, bytes = itemsize;
        bool over = false;
        for (std::size_t k = n; k-- > 0;) {
            const std::uint64_t size = shape[k];
            shape_[k] = size;
            strides_[k] = static_cast<std::int64_t>(stride);
            stride *= size;
            over |= __builtin_mul_overflow(bytes, size == 0 ? 1 : size, &bytes);
        }
        return !over && bytes <= static_cast<std::uint64_t>(INT64_MAX);
    }

    std::array<std::uint64_t, MAX_NDIM> shape_{};
    std::array<std::int64_t, MAX_NDIM> strides_{};
    std::uint8_t ndim_ = 0;
    std::uint8_t itemsize_ = 8;
};

namespace array {

// NumPy's tuple text of a shape: "()", "(5,)", "(2, 3)".
std::string shape_str(std::span<const std::uint64_t> shape);

// Product of the sizes, or nothing when it does not fit in 64 bits.
std::optional<std::uint64_t> checked_product(std::span<const std::uint64_t> shape) noexcept;

}  // namespace array

}  // namespace corvantile
