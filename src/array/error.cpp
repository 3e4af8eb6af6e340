#include "array/error.hpp"

#include <format>

#include "dims/dims.hpp"

namespace corvantile {

void internal_failure(std::string message) { throw InternalFailure(std::move(message)); }

std::string DimsError::message() const {
    return std::format("corvantile supports at most {} dimensions natively, got {}", MAX_NDIM,
                       requested);
}

std::string DimsError::debug() const { return std::format("TooManyDims({})", requested); }

namespace {

std::string list_str(const std::vector<std::uint64_t>& v) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i != 0) s += ", ";
        s += std::to_string(v[i]);
    }
    return s + "]";
}

template <class... Fs>
struct overloaded : Fs... {
    using Fs::operator()...;
};

}  // namespace

std::string ArrayError::message() const {
    return std::visit(
        overloaded{
            [](const ShapeMismatch& e) {
                return "operands could not be broadcast together with shapes " +
                       array::shape_str(e.a) + " " + array::shape_str(e.b);
            },
            [](const SizeMismatch& e) {
                return std::format("cannot reshape array of size {} into shape with {} elements",
                                   e.got, e.expected);
            },
            [](const DimsError& e) { return e.message(); },
            [](const IndexOutOfBounds& e) {
                return std::format("index {} is out of bounds for axis {} with size {}", e.index,
                                   e.axis, e.len);
            },
            [](const TooManyIndices& e) {
                return std::format(
                    "too many indices for array: array is {}-dimensional, but {} were indexed",
                    e.ndim, e.given);
            },
            [](const Message& e) { return e.text; },
        },
        v_);
}

std::string ArrayError::debug() const {
    return std::visit(
        overloaded{
            [](const ShapeMismatch& e) {
                return "ShapeMismatch(" + list_str(e.a) + ", " + list_str(e.b) + ")";
            },
            [](const SizeMismatch& e) {
                return std::format("SizeMismatch {{ expected: {}, got: {} }}", e.expected, e.got);
            },
            [](const DimsError& e) { return "Dims(" + e.debug() + ")"; },
            [](const IndexOutOfBounds& e) {
                return std::format("IndexOutOfBounds {{ index: {}, axis: {}, len: {} }}", e.index,
                                   e.axis, e.len);
            },
            [](const TooManyIndices& e) {
                return std::format("TooManyIndices {{ given: {}, ndim: {} }}", e.given, e.ndim);
            },
            [](const Message& e) { return std::format("Message({:?})", e.text); },
        },
        v_);
}

}  // namespace corvantile
