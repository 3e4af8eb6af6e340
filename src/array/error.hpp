#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvantile {

// A broken invariant inside the native code. The entry points catch it and report
// it; it never means bad user input.
class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Throws InternalFailure with the given message.
[[noreturn]] void internal_failure(std::string message);

// The one dimension error: more axes than a native array may have.
struct DimsError {
    std::uint64_t requested = 0;  // TooManyDims(requested)

    std::string message() const;  // "corvantile supports at most 8 dimensions natively, got {n}"
    std::string debug() const;    // "TooManyDims(n)"
    friend bool operator==(const DimsError&, const DimsError&) = default;
};

// Text of the error for a shape whose byte size does not fit in a signed 64-bit value.
inline constexpr std::string_view ARRAY_TOO_BIG =
    "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";

// Error value of every array operation.
class ArrayError {
public:
    // Variants, in this order.
    struct ShapeMismatch {
        std::vector<std::uint64_t> a, b;  // the two operand shapes, in operand order
        friend bool operator==(const ShapeMismatch&, const ShapeMismatch&) = default;
    };
    struct SizeMismatch {
        std::uint64_t expected = 0;  // element count the shape asks for
        std::uint64_t got = 0;       // elements supplied
        friend bool operator==(const SizeMismatch&, const SizeMismatch&) = default;
    };
    using Dims = DimsError;
    struct IndexOutOfBounds {
        std::int64_t index = 0;  // as the caller gave it, before wrapping negatives
        std::uint64_t axis = 0;
        std::uint64_t len = 0;
        friend bool operator==(const IndexOutOfBounds&, const IndexOutOfBounds&) = default;
    };
    struct TooManyIndices {
        std::uint64_t given = 0;
        std::uint64_t ndim = 0;
        friend bool operator==(const TooManyIndices&, const TooManyIndices&) = default;
    };
    struct Message {
        std::string text;
        friend bool operator==(const Message&, const Message&) = default;
    };

    using Variant =
        std::variant<ShapeMismatch, SizeMismatch, Dims, IndexOutOfBounds, TooManyIndices, Message>;
    enum class Kind : std::uint8_t {
        ShapeMismatch,
        SizeMismatch,
        Dims,
        IndexOutOfBounds,
        TooManyIndices,
        Message
    };

    ArrayError(ShapeMismatch v) : v_(std::move(v)) {}
    ArrayError(SizeMismatch v) : v_(v) {}
    ArrayError(DimsError v) : v_(v) {}
    ArrayError(IndexOutOfBounds v) : v_(v) {}
    ArrayError(TooManyIndices v) : v_(v) {}
    ArrayError(Message v) : v_(std::move(v)) {}

    static ArrayError from_message(std::string text) { return ArrayError(Message{std::move(text)}); }
    static ArrayError too_big() { return from_message(std::string(ARRAY_TOO_BIG)); }

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    // IndexOutOfBounds and TooManyIndices are raised as IndexError, the rest as ValueError.
    bool is_index_error() const noexcept {
        return kind() == Kind::IndexOutOfBounds || kind() == Kind::TooManyIndices;
    }
    const Variant& variant() const noexcept { return v_; }

    std::string message() const;  // the user-facing text
    std::string debug() const;     // variant name and fields, for internal-failure texts

    friend bool operator==(const ArrayError&, const ArrayError&) = default;

private:
    Variant v_;
};

}  // namespace corvantile
