#include "lib/binary_math.hpp"

#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/operators/operator_kernels.hpp"
#include "python/ndarray/pyarray.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <utility>

namespace corvantile::python {

namespace {

using enum BinaryMathOp;

// The NaN the functions make themselves: quiet, positive, no payload.
constexpr double QUIET_NAN = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
constexpr double LOG_2 = 0.693147180559945309417232121458176568;
constexpr std::uint64_t SIGN_BIT = std::uint64_t{1} << 63;

// The element function: a of x1, b of x2. Written branch-free where it can be, so the
// loops vectorise.
template <BinaryMathOp Op>
struct Element {
    double operator()(double a, double b) const noexcept {
        if constexpr (Op == Maximum) {
            const double r = a > b ? a : b;  // ties give b, signed zeros included
            return a != a || b != b ? QUIET_NAN : r;
        } else if constexpr (Op == Minimum) {
            const double r = a < b ? a : b;
            return a != a || b != b ? QUIET_NAN : r;
        } else if constexpr (Op == Fmax) {
            const double r = a > b ? a : b;
            return r != r ? a : r;  // a NaN in b gives a; two NaNs give a unchanged
        } else if constexpr (Op == Fmin) {
            const double r = a < b ? a : b;
            return r != r ? a : r;
        } else if constexpr (Op == Arctan2) {
            return std::atan2(a, b);
        } else if constexpr (Op == Hypot) {
            return std::hypot(a, b);
        } else if constexpr (Op == Copysign) {
            const auto bits = (std::bit_cast<std::uint64_t>(a) & ~SIGN_BIT) | (std::bit_cast<std::uint64_t>(b) & SIGN_BIT);
            return std::bit_cast<double>(bits);
        } else if constexpr (Op == Logaddexp) {
            // Equal inputs (infinities too) give a + log 2; a NaN gives the NaN of a - b.
            if (a == b) return a + LOG_2;
            const double d = a - b;
            if (d > 0.0) return a + std::log1p(std::exp(-d));
            if (d <= 0.0) return b + std::log1p(std::exp(d));
            return d;
        } else {
            static_assert(false, "unknown binary op");
        }
    }
};

// The float64 value of a scalar operand that computes with a float64 array: a float or
// an int (rounded to nearest); a bool does not.
std::optional<double> scalar_of(const Operand& operand) noexcept {
    if (const auto* f = operand.get_if<Operand::FloatScalar>()) return f->value;
    if (const auto* k = operand.get_if<Operand::IntScalar>()) return static_cast<double>(k->value);
    return std::nullopt;
}

// f(x1, x2): element by element for a float64 array with a float64 array (same layout:
// one pass; otherwise broadcast) or with a number, a float for two plain floats, NumPy
// for every other pair.
template <class F>
Result<Ref> binary_native(std::string_view name, PyObject* x1, PyObject* x2, F f) {
    if (PyFloat_CheckExact(x1) && PyFloat_CheckExact(x2)) {
        return check(PyFloat_FromDouble(f(PyFloat_AS_DOUBLE(x1), PyFloat_AS_DOUBLE(x2))));
    }
    const Operand p = classify(x1);
    if (p.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    const Operand q = classify(x2);
    if (q.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    if (const auto* pa = p.get_if<Operand::F64Array>()) {
        const Array<double>& a = *pa->array;
        if (const auto* qb = q.get_if<Operand::F64Array>()) {
            const Array<double>& b = *qb->array;
            if (a.dims() == b.dims()) return ops::zip_new<double>(a, b, f);
            return ops::wrap(a.zip_map_broadcast(b, f));
        }
        if (const auto s = scalar_of(q)) {
            return ops::map_new<double>(a, [f, v = *s](double x) { return f(x, v); });
        }
    } else if (const auto* qb = q.get_if<Operand::F64Array>()) {
        if (const auto s = scalar_of(p)) {
            return ops::map_new<double>(*qb->array, [f, v = *s](double x) { return f(v, x); });
        }
    }
    return fallback::call(name, {x1, x2});
}

template <BinaryMathOp Op>
Result<Ref> binary_math_of(std::string_view np_name, PyObject* x1, PyObject* x2) {
    return binary_native(np_name, x1, x2, Element<Op>{});
}

using BinaryMathFn = Result<Ref> (*)(std::string_view, PyObject*, PyObject*);

constexpr auto BINARY_MATH_FNS = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<BinaryMathFn, sizeof...(I)>{&binary_math_of<static_cast<BinaryMathOp>(I)>...};
}(std::make_index_sequence<BINARY_MATH_OP_COUNT>{});

}  // namespace

Result<Ref> binary_math(BinaryMathOp op, std::string_view np_name, PyObject* x1, PyObject* x2) {
    return BINARY_MATH_FNS[static_cast<std::size_t>(op)](np_name, x1, x2);
}

}  // namespace corvantile::python
