#include "lib/unary.hpp"

#include "array/loops.hpp"

#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/numpy/numpy.hpp"
#include "python/ndarray/pyarray.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace corvantile::python {

namespace {

using enum UnaryOp;

constexpr bool promoting(UnaryOp op) noexcept { return op <= Rad2deg; }

constexpr double DEG_TO_RAD = 0.017453292519943295;
constexpr double RAD_TO_DEG = 57.29577951308232;

// The element operation; the same on every road (array, int64 array, scalar).
template <UnaryOp Op>
inline double apply(double x) noexcept {
    if constexpr (Op == Sin) return std::sin(x);
    else if constexpr (Op == Cos) return std::cos(x);
    else if constexpr (Op == Tan) return std::tan(x);
    else if constexpr (Op == Arcsin) return std::asin(x);
    else if constexpr (Op == Arccos) return std::acos(x);
    else if constexpr (Op == Arctan) return std::atan(x);
    else if constexpr (Op == Sinh) return std::sinh(x);
    else if constexpr (Op == Cosh) return std::cosh(x);
    else if constexpr (Op == Tanh) return std::tanh(x);
    else if constexpr (Op == Arcsinh) return std::asinh(x);
    else if constexpr (Op == Arccosh) return std::acosh(x);
    // Through log1p rather than the library's atanh, in exactly this order.
    else if constexpr (Op == Arctanh) return 0.5 * std::log1p((x + x) / (1.0 - x));
    else if constexpr (Op == Exp) return std::exp(x);
    else if constexpr (Op == Exp2) return std::exp2(x);
    else if constexpr (Op == Expm1) return std::expm1(x);
    else if constexpr (Op == Log) return std::log(x);
    else if constexpr (Op == Log2) return std::log2(x);
    else if constexpr (Op == Log10) return std::log10(x);
    else if constexpr (Op == Log1p) return std::log1p(x);
    else if constexpr (Op == Sqrt) return std::sqrt(x);
    else if constexpr (Op == Cbrt) return std::cbrt(x);
    else if constexpr (Op == Deg2rad) return x * DEG_TO_RAD;
    else if constexpr (Op == Rad2deg) return x * RAD_TO_DEG;
    else if constexpr (Op == Square) return x * x;
    else if constexpr (Op == Reciprocal) return 1.0 / x;
    else if constexpr (Op == Absolute) return std::fabs(x);  // clears the sign bit, NaNs too
    else if constexpr (Op == Negative) return -x;            // flips the sign bit, NaNs too
    else if constexpr (Op == Positive) return x;
    else if constexpr (Op == Sign) return x != x ? x : x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : 0.0;
    else if constexpr (Op == Floor) return std::floor(x);
    else if constexpr (Op == Ceil) return std::ceil(x);
    else if constexpr (Op == Trunc) return std::trunc(x);
    else if constexpr (Op == Rint) return std::rint(x);  // ties to even in the default rounding mode
    else static_assert(false, "unknown unary op");
}

template <UnaryOp Op>
Result<Ref> map_array(const Array<double>& a) {
    double* out = nullptr;
    auto result = create_unwritten<double>(a.dims(), out);
    if (result) loops::map_loop(a.data(), out, a.len(), [](double x) { return apply<Op>(x); });
    return result;
}

// An int64 array: each element rounded to the nearest float64, then the operation.
template <UnaryOp Op>
Result<Ref> map_array(const Array<std::int64_t>& a) {
    double* out = nullptr;
    auto result = create_unwritten<double>(a.dims(), out);
    if (!result) return result;
    loops::map_loop(a.data(), out, a.len(), [](std::int64_t x) { return apply<Op>(static_cast<double>(x)); });
    return result;
}

// PyFloat_AsDouble, with -1.0 an error only when an exception is pending.
std::optional<double> as_double(PyObject* x) noexcept {
    const double v = PyFloat_AsDouble(x);
    if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
    return v;
}

template <UnaryOp Op>
Result<Ref> unary_of(std::string_view np_name, PyObject* x) {
    if (const Array<double>* a = f64_of(x)) return map_array<Op>(*a);
    if (const AnyArray* any = any_of(x)) {
        if constexpr (promoting(Op)) {
            if (const auto* ints = any->get_if<std::int64_t>()) return map_array<Op>(*ints);
        }
        return fallback::call(np_name, {x});
    }
    PyTypeObject* type = Py_TYPE(x);
    if (type == &PyFloat_Type) return check(PyFloat_FromDouble(apply<Op>(PyFloat_AS_DOUBLE(x))));
    if (type == &PyLong_Type) {
        // NumPy's reciprocal of an int is an integer.
        if constexpr (Op == Reciprocal) return fallback::call(np_name, {x});
        auto v = as_double(x);  // OverflowError beyond the float64 range
        if (!v) return failure();
        return check(PyFloat_FromDouble(apply<Op>(*v)));
    }
    if (PyType_IsSubtype(type, &PyFloat_Type)) {
        auto v = as_double(x);
        if (!v) return failure();
        return np_float(apply<Op>(*v));
    }
    return fallback::call(np_name, {x});
}

using UnaryFn = Result<Ref> (*)(std::string_view, PyObject*);

constexpr auto UNARY_FNS = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<UnaryFn, sizeof...(I)>{&unary_of<static_cast<UnaryOp>(I)>...};
}(std::make_index_sequence<UNARY_OP_COUNT>{});

}  // namespace

Result<Ref> unary(UnaryOp op, std::string_view np_name, PyObject* x) {
    return UNARY_FNS[static_cast<std::size_t>(op)](np_name, x);
}

}  // namespace corvantile::python
