#pragma once

// What the operator files share: the element operations as small function objects
// (so the kernel loops inline and vectorise), the loops over mixed element kinds, and
// the few steps every operator takes (wrapping, NumPy's road, NotImplemented).

#include "array/array.hpp"
#include "array/loops.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/operators/operators.hpp"
#include "python/ndarray/pyarray.hpp"

#include <cmath>
#include <cstdint>
#include <expected>
#include <string_view>
#include <type_traits>

namespace corvantile::python::ops {

// ---- element operations ---------------------------------------------------------------

// Two's-complement wrapping, computed in unsigned arithmetic (no signed overflow).
inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
inline std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
inline std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// Each arithmetic operation: its NumPy name, its float64 function (the call operator),
// and whether int64 arrays compute it natively (wrapping, through `wrap`).
struct Add {
    static constexpr std::string_view name = "add";
    static constexpr Arith arith = Arith::add;
    static constexpr bool int_native = true;
    double operator()(double a, double b) const noexcept { return a + b; }
    static std::int64_t wrap(std::int64_t a, std::int64_t b) noexcept { return wrapping_add(a, b); }
};
struct Sub {
    static constexpr std::string_view name = "subtract";
    static constexpr Arith arith = Arith::subtract;
    static constexpr bool int_native = true;
    double operator()(double a, double b) const noexcept { return a - b; }
    static std::int64_t wrap(std::int64_t a, std::int64_t b) noexcept { return wrapping_sub(a, b); }
};
struct Mul {
    static constexpr std::string_view name = "multiply";
    static constexpr Arith arith = Arith::multiply;
    static constexpr bool int_native = true;
    double operator()(double a, double b) const noexcept { return a * b; }
    static std::int64_t wrap(std::int64_t a, std::int64_t b) noexcept { return wrapping_mul(a, b); }
};
struct Div {
    static constexpr std::string_view name = "divide";
    static constexpr Arith arith = Arith::divide;
    static constexpr bool int_native = false;
    double operator()(double a, double b) const noexcept { return a / b; }
};
struct FloorDiv {
    static constexpr std::string_view name = "floor_divide";
    static constexpr Arith arith = Arith::floor_divide;
    static constexpr bool int_native = false;
    double operator()(double a, double b) const noexcept { return float_floor_div(a, b); }
};
struct Mod {
    static constexpr std::string_view name = "remainder";
    static constexpr Arith arith = Arith::remainder;
    static constexpr bool int_native = false;
    double operator()(double a, double b) const noexcept { return float_mod(a, b); }
};
struct Pow {
    static constexpr std::string_view name = "power";
    static constexpr Arith arith = Arith::power;
    static constexpr bool int_native = false;
    double operator()(double a, double b) const noexcept { return float_pow(a, b); }
};

// NumPy's power when the exponent is one value for the whole operation: 2 squares,
// 0.5 takes the square root (-0.0 stays -0.0, -inf gives NaN) and -1 the reciprocal.
inline double pow_one_exponent(double x, double e) noexcept {
    if (e == 2.0) return x * x;
    if (e == 0.5) return std::sqrt(x);
    if (e == -1.0) return 1.0 / x;
    return std::pow(x, e);
}

// The operation with its operands swapped: other OP self with self's element first.
template <class Op>
struct Flip {
    double operator()(double self, double other) const noexcept { return Op{}(other, self); }
};
template <class Op, bool Reflected>
using Directed = std::conditional_t<Reflected, Flip<Op>, Op>;

// ---- loops over mixed element kinds ---------------------------------------------------

template <class T>
inline double as_f64(T x) noexcept {
    if constexpr (std::is_same_v<T, Bool>) {
        return is_true(x) ? 1.0 : 0.0;
    } else {
        return static_cast<double>(x);
    }
}

// Same shape, whatever the item sizes: the whole record for one kind, else the sizes.
inline bool same_shape(const ArrayDims& a, const ArrayDims& b) noexcept {
    if (a.itemsize() == b.itemsize()) return a == b;
    return a.ndim() == b.ndim() && a.shape_slots() == b.shape_slots();
}

// An int64 or bool array converted to float64 (bool as 0.0 / 1.0).
template <class T>
Array<double> to_f64(const Array<T>& a) {
    const std::size_t n = a.len();
    Storage<double> out = Storage<double>::uninit(n);
    map_loop(a.data(), out.ptr(), n, [](T x) { return as_f64(x); });
    return Array<double>::from_parts(std::move(out), corvantile::detail::c_dims(a.shape(), 8));
}

// f(a, b) in float64 for arrays of different shapes, broadcast by NumPy's rule (a
// conflict names the shapes in the order a, b); int64 and bool arrays are converted first.
template <class T, class U, class F>
std::expected<Array<double>, ArrayError> broadcast_f64(const Array<T>& a, const Array<U>& b, F f) {
    if constexpr (std::is_same_v<T, double> && std::is_same_v<U, double>) {
        return a.zip_map(b, f);
    } else if constexpr (std::is_same_v<T, double>) {
        return a.zip_map(to_f64(b), f);
    } else if constexpr (std::is_same_v<U, double>) {
        return to_f64(a).zip_map(b, f);
    } else {
        return to_f64(a).zip_map(to_f64(b), f);
    }
}

// ---- results written in place ---------------------------------------------------------
//
// The common results (scalar operands, arrays of one shape) are computed straight into
// the buffer of the new ndarray: one allocation, no intermediate array to move and drop.

// A new ndarray of R elements with a's shape, unwritten; `out` receives its buffer,
// which the caller fills before the object is used.
template <class R, class T>
Result<Ref> result_like(const Array<T>& a, R*& out) {
    if (a.dims().itemsize() == sizeof(R)) return create_unwritten<R>(a.dims(), out);
    return create_unwritten<R>(corvantile::detail::c_dims(a.shape(), sizeof(R)), out);
}

using loops::map_loop;
using loops::update_loop;
using loops::zip_loop;

// out[i] = f(a[i]) into a new ndarray of a's shape with elements of R.
template <class R, class T, class F>
Result<Ref> map_new(const Array<T>& a, F f) {
    R* out = nullptr;
    auto r = result_like<R>(a, out);
    if (r) map_loop<R>(a.data(), out, a.len(), f);
    return r;
}

// out[i] = f(a[i], b[i]) for a and b of one shape (the caller checked), elements of R.
template <class R, class T, class U, class F>
Result<Ref> zip_new(const Array<T>& a, const Array<U>& b, F f) {
    R* out = nullptr;
    auto r = result_like<R>(a, out);
    if (r) zip_loop<R>(a.data(), b.data(), out, a.len(), f);
    return r;
}

// ---- steps every operator takes ---------------------------------------------------------

// A new ndarray around a native result, or the array error as a Python exception.
template <class T>
Result<Ref> wrap(std::expected<Array<T>, ArrayError>&& r) {
    if (!r) return failure(array_error(std::move(r.error())));
    return create_class_object(AnyArray(std::move(*r)));
}

inline Result<Ref> not_implemented() noexcept { return Ref::borrow(Py_NotImplemented); }

// numpy.<name> with the operands in Python order.
inline Result<Ref> numpy_call(std::string_view name, PyObject* self, PyObject* other, bool reflected) {
    return reflected ? fallback::call(name, {other, self}) : fallback::call(name, {self, other});
}

// Whether an operand the native side does not take goes to NumPy: the objects NumPy
// handles, and ints beyond float range (the only ints that classify leaves
// unsupported; NumPy raises its own OverflowError for them).
inline bool numpy_takes(PyObject* other) noexcept { return numpy_handles(other) || PyLong_Check(other); }

// A float operand that an int64 or bool array computes with natively: a Python float or
// subclass. Ints beyond int64, NumPy's other float and bool scalars and other objects
// with a float value keep NumPy's own promotion (bool + float32 is float32, say).
inline bool plain_float(PyObject* other) noexcept { return PyFloat_Check(other) != 0; }

inline void refresh(PyArray& self) {
    if (self.strided) self.refresh();
}

}  // namespace corvantile::python::ops
