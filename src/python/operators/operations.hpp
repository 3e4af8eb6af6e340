#pragma once

// One description per element-wise operation: its NumPy name, its element function
// (per kind where it has more than the float64 one), which element kinds compute it
// natively and, for the module functions, its docstring. The operator slots and the fast
// module functions read their behaviour from here; adding an element-wise operation
// means adding one description and naming it where it is served (a row, a slot).

#include "array/array.hpp"
#include "array/folds.hpp"
#include "array/predicates.hpp"
#include "python/runtime/fixed_string.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

namespace corvantile::python::ops {

// ---- shared constants and element helpers ---------------------------------------------

using folds::SIGN_BIT;
// The NaN the operations make themselves: quiet, positive, no payload.
using folds::QUIET_NAN;

constexpr std::uint64_t bits_of(double x) noexcept { return std::bit_cast<std::uint64_t>(x); }
constexpr double of_bits(std::uint64_t b) noexcept { return std::bit_cast<double>(b); }

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

// An element as float64: int64 rounded to nearest, bool as 0.0 / 1.0.
using folds::as_double;

// Docstrings joined from literals at compile time.
template <FixedString... Parts>
struct Joined {
    static constexpr auto text = [] {
        std::array<char, ((sizeof(Parts.text) - 1) + ... + 1)> t{};
        char* p = t.data();
        ((p = std::copy_n(Parts.text, sizeof(Parts.text) - 1, p)), ...);
        return t;
    }();
};

// The docstring of a family of module functions: the signature, then the text after
// "Element-wise `name".
template <FixedString Signature, FixedString Text>
struct Family {
    static constexpr auto signature = Signature;
    static constexpr auto text = Text;
};
using UnaryFamily = Family<"(x, /, out=None, *, where=True, dtype=None)",
                           "` with NumPy semantics: native for corvantile arrays (returns corvantile) and "
                           "Python numbers (returns float), NumPy for anything else.">;
using ArithFamily = Family<"(x1, x2, /, out=None, *, where=True, dtype=None)",
                           "(x1, x2)` with NumPy semantics and broadcasting: native when either operand is "
                           "a corvantile array, NumPy otherwise.">;
using MathFamily = Family<ArithFamily::signature, "(x1, x2)` with NumPy semantics and broadcasting: native for "
                                                  "corvantile arrays and scalars, NumPy otherwise.">;
using PredicateFamily = Family<"(x, /, out=None, *, where=True)",
                               "` with NumPy semantics: native for float64 corvantile arrays (returns a bool "
                               "corvantile) and Python numbers (returns np.bool_), NumPy otherwise.">;

// What every description has: its name (the NumPy name) and, for a module function of
// its family under the name `As`, the docstring.
template <FixedString Name, class Family>
struct Described {
    static constexpr auto name = Name;
    static constexpr std::string_view numpy = Name.view();
    template <FixedString As = Name>
    static constexpr const char* doc =
        Joined<As, Family::signature, "\n--\n\nElement-wise `", As, Family::text>::text.data();
};

// ---- one operand --------------------------------------------------------------------------

// How an array of one element kind computes an operation.
enum class Road : std::uint8_t {
    numpy,   // NumPy's function answers
    native,  // element by element into the same kind (a module function: float64 only)
    as_f64,  // each element converted to float64, then the float64 function
};

struct Roads {
    Road f64 = Road::native;
    Road i64 = Road::numpy;
    Road boolean = Road::numpy;
    // Whether a Python int computes natively (as a float) in the module function.
    bool int_scalar = true;
};
inline constexpr Roads FLOAT_ONLY{};
inline constexpr Roads PROMOTING{.i64 = Road::as_f64};

template <class Op, class T>
inline constexpr Road road_of = std::is_same_v<T, double>         ? Op::roads.f64
                                : std::is_same_v<T, std::int64_t> ? Op::roads.i64
                                                                  : Op::roads.boolean;

// Op's element function f, in loops of 256-bit vectors at most (loops::Narrow) where Op
// marks itself bound by the divider.
template <class Op, class F>
auto element(F f) {
    if constexpr (requires { requires Op::divider; }) {
        return loops::Narrow<F>{f};
    } else {
        return f;
    }
}

// A description of one operand; the operation adds `apply`, its element function.
template <FixedString Name, Roads R>
struct Unary : Described<Name, UnaryFamily> {
    static constexpr Roads roads = R;
};

inline constexpr double DEG_TO_RAD = 0.017453292519943295;
inline constexpr double RAD_TO_DEG = 57.29577951308232;

struct Sin : Unary<"sin", PROMOTING> { static double apply(double x) noexcept { return std::sin(x); } };
struct Cos : Unary<"cos", PROMOTING> { static double apply(double x) noexcept { return std::cos(x); } };
struct Tan : Unary<"tan", PROMOTING> { static double apply(double x) noexcept { return std::tan(x); } };
struct Arcsin : Unary<"arcsin", PROMOTING> { static double apply(double x) noexcept { return std::asin(x); } };
struct Arccos : Unary<"arccos", PROMOTING> { static double apply(double x) noexcept { return std::acos(x); } };
struct Arctan : Unary<"arctan", PROMOTING> { static double apply(double x) noexcept { return std::atan(x); } };
struct Sinh : Unary<"sinh", PROMOTING> { static double apply(double x) noexcept { return std::sinh(x); } };
struct Cosh : Unary<"cosh", PROMOTING> { static double apply(double x) noexcept { return std::cosh(x); } };
struct Tanh : Unary<"tanh", PROMOTING> { static double apply(double x) noexcept { return std::tanh(x); } };
struct Arcsinh : Unary<"arcsinh", PROMOTING> { static double apply(double x) noexcept { return std::asinh(x); } };
struct Arccosh : Unary<"arccosh", PROMOTING> { static double apply(double x) noexcept { return std::acosh(x); } };
// Through log1p rather than the library's atanh, in exactly this order.
struct Arctanh : Unary<"arctanh", PROMOTING> {
    static double apply(double x) noexcept { return 0.5 * std::log1p((x + x) / (1.0 - x)); }
};
struct Exp : Unary<"exp", PROMOTING> { static double apply(double x) noexcept { return std::exp(x); } };
struct Exp2 : Unary<"exp2", PROMOTING> { static double apply(double x) noexcept { return std::exp2(x); } };
struct Expm1 : Unary<"expm1", PROMOTING> { static double apply(double x) noexcept { return std::expm1(x); } };
struct Log : Unary<"log", PROMOTING> { static double apply(double x) noexcept { return std::log(x); } };
struct Log2 : Unary<"log2", PROMOTING> { static double apply(double x) noexcept { return std::log2(x); } };
struct Log10 : Unary<"log10", PROMOTING> { static double apply(double x) noexcept { return std::log10(x); } };
struct Log1p : Unary<"log1p", PROMOTING> { static double apply(double x) noexcept { return std::log1p(x); } };
struct Sqrt : Unary<"sqrt", PROMOTING> {
    static constexpr bool divider = true;
    static double apply(double x) noexcept { return std::sqrt(x); }
};
struct Cbrt : Unary<"cbrt", PROMOTING> { static double apply(double x) noexcept { return std::cbrt(x); } };
struct Deg2rad : Unary<"deg2rad", PROMOTING> { static double apply(double x) noexcept { return x * DEG_TO_RAD; } };
struct Rad2deg : Unary<"rad2deg", PROMOTING> { static double apply(double x) noexcept { return x * RAD_TO_DEG; } };
struct Square : Unary<"square", FLOAT_ONLY> { static double apply(double x) noexcept { return x * x; } };
// NumPy's reciprocal of an int is an integer.
struct Reciprocal : Unary<"reciprocal", {.int_scalar = false}> {
    static constexpr bool divider = true;
    static double apply(double x) noexcept { return 1.0 / x; }
};
struct Floor : Unary<"floor", FLOAT_ONLY> { static double apply(double x) noexcept { return std::floor(x); } };
struct Ceil : Unary<"ceil", FLOAT_ONLY> { static double apply(double x) noexcept { return std::ceil(x); } };
struct Trunc : Unary<"trunc", FLOAT_ONLY> { static double apply(double x) noexcept { return std::trunc(x); } };
// Ties to even in the default rounding mode.
struct Rint : Unary<"rint", FLOAT_ONLY> { static double apply(double x) noexcept { return std::rint(x); } };

struct Sign : Unary<"sign", FLOAT_ONLY> {
    static double apply(double x) noexcept { return x != x ? x : x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : 0.0; }
};

// The sign-bit operations act on NaNs too. NumPy's fabs of an int64 array is float64,
// so fabs is not absolute.
struct Fabs : Unary<"fabs", FLOAT_ONLY> {
    static double apply(double x) noexcept { return std::fabs(x); }
};
struct Absolute : Unary<"absolute", {.i64 = Road::native, .boolean = Road::native}> {
    template <class T>
    static T apply(T x) noexcept {
        if constexpr (std::is_same_v<T, double>) return Fabs::apply(x);
        else if constexpr (std::is_same_v<T, std::int64_t>) return x < 0 ? wrapping_sub(0, x) : x;
        else return x;
    }
};
struct Negative : Unary<"negative", {.i64 = Road::native}> {
    template <class T>
    static T apply(T x) noexcept {
        if constexpr (std::is_same_v<T, double>) return -x;
        else return wrapping_sub(0, x);  // the minimum stays the minimum
    }
};
struct Positive : Unary<"positive", {.i64 = Road::native}> {
    template <class T>
    static T apply(T x) noexcept {
        return x;
    }
};
// The `~` operator only.
struct Invert : Unary<"invert", {.f64 = Road::numpy, .i64 = Road::native, .boolean = Road::native}> {
    template <class T>
    static T apply(T x) noexcept {
        if constexpr (std::is_same_v<T, std::int64_t>) return ~x;
        else return to_bool(!is_true(x));
    }
};

// ---- two operands: the arithmetic operators -------------------------------------------

// fmod(a, b), exactly. The C library's is slow, so a quotient below 2^52 first tries
// r = a - trunc(a / b) * b in one fused step: when trunc(a / b) is the true truncated
// quotient, r is the remainder and exact (a remainder is always representable); when it
// is off by one, r falls outside [0, |b|) on a's side and the library answers.
inline double exact_fmod(double a, double b) noexcept {
    const double q = a / b;
    if (std::fabs(q) < 0x1p52) {
        const double r = std::fma(-std::trunc(q), b, a);
        if (std::fabs(r) < std::fabs(b) && (r == 0.0 || std::signbit(r) == std::signbit(a))) {
            return r == 0.0 ? std::copysign(0.0, a) : r;
        }
    }
    return std::fmod(a, b);
}

// Python's float floor division, except that a zero divisor gives a / b (an infinity
// of the quotient's sign, or NaN) instead of raising.
inline double float_floor_div(double a, double b) noexcept {
    if (b == 0.0) return a / b;
    const double m = exact_fmod(a, b);
    double d = (a - m) / b;
    if (m != 0.0 && ((m < 0.0) != (b < 0.0))) d += -1.0;
    if (d != 0.0) {
        double r = std::floor(d);
        if (d - r > 0.5) r += 1.0;
        return r;
    }
    return std::copysign(0.0, a / b);
}

// Python's float remainder (the sign of the divisor), except that a zero divisor
// gives NaN instead of raising.
inline double float_mod(double a, double b) noexcept {
    const double m = exact_fmod(a, b);
    if (m == 0.0) return std::copysign(0.0, b);
    if ((m < 0.0) != (b < 0.0)) return m + b;
    return m;
}

// NumPy's power when the exponent is one value for the whole operation: 2 squares, 0.5
// takes the square root (-0.0 stays -0.0, -inf gives NaN) and -1 the reciprocal. `run`
// gets the element function, chosen once outside the loop.
template <class Run>
decltype(auto) with_exponent(double e, Run run) {
    if (e == 2.0) return run([](double x) { return x * x; });
    if (e == 0.5) return run(loops::Narrow{[](double x) { return std::sqrt(x); }});
    if (e == -1.0) return run(loops::Narrow{[](double x) { return 1.0 / x; }});
    return run([e](double x) { return std::pow(x, e); });
}
inline double pow_one_exponent(double x, double e) noexcept {
    return with_exponent(e, [x](auto f) { return f(x); });
}

// A description of two operands: its NumPy name, its float64 function (the call
// operator), and whether int64 arrays compute it natively (wrapping, through `wrap`).
template <FixedString Name, bool IntNative>
struct Binary : Described<Name, ArithFamily> {
    static constexpr bool int_native = IntNative;
};

struct Add : Binary<"add", true> {
    double operator()(double a, double b) const noexcept { return a + b; }
    static std::int64_t wrap(std::int64_t a, std::int64_t b) noexcept { return wrapping_add(a, b); }
};
struct Sub : Binary<"subtract", true> {
    double operator()(double a, double b) const noexcept { return a - b; }
    static std::int64_t wrap(std::int64_t a, std::int64_t b) noexcept { return wrapping_sub(a, b); }
};
struct Mul : Binary<"multiply", true> {
    double operator()(double a, double b) const noexcept { return a * b; }
    static std::int64_t wrap(std::int64_t a, std::int64_t b) noexcept { return wrapping_mul(a, b); }
};
struct Div : Binary<"divide", false> {
    static constexpr bool divider = true;
    double operator()(double a, double b) const noexcept { return a / b; }
};
struct FloorDiv : Binary<"floor_divide", false> {
    double operator()(double a, double b) const noexcept { return float_floor_div(a, b); }
};
struct Mod : Binary<"remainder", false> {
    double operator()(double a, double b) const noexcept { return float_mod(a, b); }
};
// An exponent of exactly 2.0 is a * a.
struct Pow : Binary<"power", false> {
    double operator()(double a, double b) const noexcept { return b == 2.0 ? a * a : std::pow(a, b); }
};

// `run` with the element function of self OP s (self's element first), the common
// divisors and exponents of a scalar chosen once outside the loop.
template <class Op, class Run>
decltype(auto) with_scalar_operand(double s, Run run) {
    if constexpr (std::is_same_v<Op, FloorDiv>) {
        if (s == 0.0) return run([s](double x) { return x / s; });
    }
    if constexpr (std::is_same_v<Op, Pow>) {
        return with_exponent(s, run);
    } else {
        return run(element<Op>([s](double x) { return Op{}(x, s); }));
    }
}

// ---- two operands: the bitwise operators ----------------------------------------------

// Any nonzero byte is True (bytes may have been written through an export).
inline std::uint8_t bits(Bool b) noexcept { return is_true(b) ? 1 : 0; }

struct And {
    static constexpr std::string_view numpy = "bitwise_and";
    static std::int64_t on_int(std::int64_t a, std::int64_t b) noexcept { return a & b; }
    static Bool on_bool(Bool a, Bool b) noexcept { return static_cast<Bool>(bits(a) & bits(b)); }
};
struct Or {
    static constexpr std::string_view numpy = "bitwise_or";
    static std::int64_t on_int(std::int64_t a, std::int64_t b) noexcept { return a | b; }
    static Bool on_bool(Bool a, Bool b) noexcept { return static_cast<Bool>(bits(a) | bits(b)); }
};
struct Xor {
    static constexpr std::string_view numpy = "bitwise_xor";
    static std::int64_t on_int(std::int64_t a, std::int64_t b) noexcept { return a ^ b; }
    static Bool on_bool(Bool a, Bool b) noexcept { return static_cast<Bool>(bits(a) ^ bits(b)); }
};
// NumPy's shifts of int64: a count below 0 or from 64 on shifts every bit out (the sign
// bit fills a right shift). Native in place only; `<<` and `>>` are NumPy's.
struct LShift {
    static constexpr std::string_view numpy = "left_shift";
    static std::int64_t on_int(std::int64_t a, std::int64_t b) noexcept {
        const auto n = static_cast<std::uint64_t>(b);
        return n < 64 ? static_cast<std::int64_t>(static_cast<std::uint64_t>(a) << n) : 0;
    }
};
struct RShift {
    static constexpr std::string_view numpy = "right_shift";
    static std::int64_t on_int(std::int64_t a, std::int64_t b) noexcept {
        return a >> std::min<std::uint64_t>(static_cast<std::uint64_t>(b), 63);
    }
};
// Always NumPy's.
struct MatMul {
    static constexpr std::string_view numpy = "matmul";
};

// ---- two operands: the mathematical functions -------------------------------------------

// A description of a binary mathematical function (float64 only). The element
// functions are branch-free where they can be, so the loops vectorise.
template <FixedString Name>
using Math = Described<Name, MathFamily>;

inline constexpr double LOG_2 = 0.693147180559945309417232121458176568;

struct Maximum : Math<"maximum"> {
    double operator()(double a, double b) const noexcept {
        const double r = a > b ? a : b;  // ties give b, signed zeros included
        return std::isunordered(a, b) ? QUIET_NAN : r;
    }
};
struct Minimum : Math<"minimum"> {
    double operator()(double a, double b) const noexcept {
        const double r = a < b ? a : b;
        return std::isunordered(a, b) ? QUIET_NAN : r;
    }
};
// A NaN in b gives a; two NaNs give a unchanged.
struct Fmax : Math<"fmax"> {
    double operator()(double a, double b) const noexcept {
        const double r = a > b ? a : b;
        return r != r ? a : r;
    }
};
struct Fmin : Math<"fmin"> {
    double operator()(double a, double b) const noexcept {
        const double r = a < b ? a : b;
        return r != r ? a : r;
    }
};
struct Arctan2 : Math<"arctan2"> {
    double operator()(double a, double b) const noexcept { return std::atan2(a, b); }
};
struct Hypot : Math<"hypot"> {
    double operator()(double a, double b) const noexcept { return std::hypot(a, b); }
};
struct Copysign : Math<"copysign"> {
    double operator()(double a, double b) const noexcept {
        return std::copysign(a, b);
    }
};
// Equal inputs (infinities too) give a + log 2; a NaN gives the NaN of a - b.
struct Logaddexp : Math<"logaddexp"> {
    double operator()(double a, double b) const noexcept {
        if (a == b) return a + LOG_2;
        const double d = a - b;
        if (d > 0.0) return a + std::log1p(std::exp(-d));
        if (d <= 0.0) return b + std::log1p(std::exp(d));
        return d;
    }
};

// ---- float predicates ----------------------------------------------------------------------

// A description of a float predicate.
template <FixedString Name>
using Predicate = Described<Name, PredicateFamily>;

inline constexpr double INF = std::numeric_limits<double>::infinity();

// `test` answers for one number; `kernel` names the same test in the array kernel.
struct IsNan : Predicate<"isnan"> {
    static bool test(double v) noexcept { return v != v; }
    static constexpr loops::FloatTest kernel = loops::FloatTest::Nan;
};
struct IsFinite : Predicate<"isfinite"> {
    static bool test(double v) noexcept { return std::fabs(v) < INF; }
    static constexpr loops::FloatTest kernel = loops::FloatTest::Finite;
};
struct IsInf : Predicate<"isinf"> {
    static bool test(double v) noexcept { return std::fabs(v) == INF; }
    static constexpr loops::FloatTest kernel = loops::FloatTest::Inf;
};
struct SignBit : Predicate<"signbit"> {
    static bool test(double v) noexcept { return (bits_of(v) & SIGN_BIT) != 0; }
    static constexpr loops::FloatTest kernel = loops::FloatTest::SignBit;
};

}  // namespace corvantile::python::ops
