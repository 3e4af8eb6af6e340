// The unary operators -a, +a, abs(a) and ~a: native for the element kinds where they are
// plain element functions, NumPy's for the rest.

#include "python/ndarray/attributes.hpp"

#include "array/loops.hpp"

#include "python/numpy/fallback.hpp"

#include <bit>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace corvantile::python {

namespace {

constexpr std::uint64_t SIGN_BIT = std::uint64_t{1} << 63;

template <class T>
constexpr bool is_f64 = std::is_same_v<T, double>;
template <class T>
constexpr bool is_i64 = std::is_same_v<T, std::int64_t>;
template <class T>
constexpr bool is_bool = std::is_same_v<T, Bool>;

// Two's-complement negation without signed overflow: the minimum stays the minimum.
constexpr std::int64_t wrapping_neg(std::int64_t x) noexcept {
    return static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(x));
}

struct Negative {
    static constexpr std::string_view numpy = "negative";
    template <class T>
    static constexpr bool native = !is_bool<T>;
    template <class T>
    static T apply(T x) noexcept {
        if constexpr (is_f64<T>) {
            return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ SIGN_BIT);
        } else {
            return wrapping_neg(x);
        }
    }
};

struct Positive {
    static constexpr std::string_view numpy = "positive";
    template <class T>
    static constexpr bool native = !is_bool<T>;
    template <class T>
    static T apply(T x) noexcept {
        return x;
    }
};

struct Absolute {
    static constexpr std::string_view numpy = "absolute";
    template <class T>
    static constexpr bool native = true;
    template <class T>
    static T apply(T x) noexcept {
        if constexpr (is_f64<T>) {
            return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & ~SIGN_BIT);
        } else if constexpr (is_i64<T>) {
            return x < 0 ? wrapping_neg(x) : x;
        } else {
            return x;
        }
    }
};

struct Invert {
    static constexpr std::string_view numpy = "invert";
    template <class T>
    static constexpr bool native = !is_f64<T>;
    template <class T>
    static T apply(T x) noexcept {
        if constexpr (is_i64<T>) {
            return ~x;
        } else {
            return to_bool(!is_true(x));
        }
    }
};

template <class Op>
Result<Ref> unary(PyArray& self) {
    self.refresh();
    return self.value.visit([&]<class T>(const Array<T>& a) -> Result<Ref> {
        if constexpr (Op::template native<T>) {
            auto storage = Storage<T>::uninit(a.len());
            loops::map_loop(a.data(), storage.ptr(), a.len(), [](T x) { return Op::apply(x); });
            return create_class_object(AnyArray(Array<T>::from_parts(std::move(storage), a.dims())));
        } else {
            return fallback::call(Op::numpy, {self.object()});
        }
    });
}

}  // namespace

Result<Ref> negative(PyArray& self) { return unary<Negative>(self); }
Result<Ref> positive(PyArray& self) { return unary<Positive>(self); }
Result<Ref> absolute(PyArray& self) { return unary<Absolute>(self); }
Result<Ref> invert(PyArray& self) { return unary<Invert>(self); }

}  // namespace corvantile::python
