#include "python/methods/methods.hpp"

#include "array/stepped.hpp"
#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/convert/dtype.hpp"
#include "python/numpy/fallback.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/view_map.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cmath>
#include <optional>
#include <span>
#include <string_view>

namespace corvantile::python {

namespace {


// ---- round ------------------------------------------------------------------------------

// An int (bool included) or an __index__ object that fits 32 bits; anything else: none.
std::optional<int> decimals_of(PyObject* value) noexcept {
    const int d = PyLong_AsInt(value);
    if (d == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return d;
}

// The decimals of a native round, none for NumPy's.
Result<std::optional<int>> round_decimals(const CallArgs& args) {
    const Py_ssize_t n = args.nargs;
    const Py_ssize_t nk = args.keyword_count();
    if (n == 1) {
        if (nk != 0) return std::nullopt;
        return decimals_of(args[0]);
    }
    if (n >= 2) return std::nullopt;
    if (nk == 0) return 0;
    if (nk > 1) return std::nullopt;
    PyObject* value = args.keyword("decimals");
    if (value == nullptr) return std::nullopt;
    return decimals_of(value);
}

// 10 ** |decimals| by repeated multiplication, as NumPy forms it (binary powering rounds
// differently from 10 ** 23 up); infinite from 309 up.
double scale_of(int decimals) noexcept {
    std::int64_t k = decimals < 0 ? -static_cast<std::int64_t>(decimals) : decimals;
    double p = 1.0;
    for (; k > 0 && p != HUGE_VAL; --k) p *= 10.0;
    return p;
}

// a where `first`, else b: a select of bits, which the array loops vectorise.
inline double pick(bool first, double a, double b) noexcept {
    const std::uint64_t mask = 0 - static_cast<std::uint64_t>(first);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) | (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// Half to even at `scale` (x * scale), or with `divide` at 1 / scale (x / scale, exact
// where a reciprocal would not be). Below 2^52, (|y| + 2^52) - 2^52 is |y| rounded to an
// integer, ties to even (the sum's unit is 1); from 2^52 up every float64 is an integer,
// and infinities and NaN stay as they are.
CORVANTILE_INLINE double round_scaled(double x, double scale, bool divide) noexcept {
    const double y = divide ? x / scale : x * scale;
    const double t = std::fabs(y);
    const double r = pick(t < 0x1p52, std::copysign((t + 0x1p52) - 0x1p52, y), y);
    return divide ? r * scale : r / scale;
}

// f of each element into a new float64 array, a view read where it lies.
template <class F>
Result<Ref> map_f64(const Array<double>& x, const ViewRead& read, F f) {
    if (const walk::Strided* view = read.in_place()) return map_view<double, double>(x.dims(), *view, f);
    return create_class_object(x.map(f));
}

// The same for a rounding to decimals other than 0, whose result NumPy lays out in C order
// unless the view fills one stretch of memory (its multiply keeps an F-ordered array's
// order only; a rounding to 0 decimals is an element-wise function, in memory order).
template <class F>
Result<Ref> map_round(const Array<double>& x, const ViewRead& read, F f) {
    const walk::Strided* view = read.in_place();
    if (view == nullptr || (x.len() >= KEEP_ORDER_FROM && walk::dense_start(*view, sizeof(double)) != nullptr)) {
        return map_f64(x, read, f);
    }
    double* out = nullptr;
    auto r = create_unwritten<double>(x.dims(), out);
    if (r) walk::map<double, double>(*view, out, f);
    return r;
}

// ---- clip -------------------------------------------------------------------------------

struct ClipBound {
    enum Kind { Absent, Value, Unsupported } kind;
    double value = 0.0;
};

Result<ClipBound> bound_of(PyObject* object) {
    if (object == Py_None) return ClipBound{ClipBound::Absent};
    if (PyFloat_CheckExact(object)) return ClipBound{ClipBound::Value, PyFloat_AS_DOUBLE(object)};
    if (PyFloat_Check(object) || PyLong_Check(object)) {
        const double v = PyFloat_AsDouble(object);
        if (v == -1.0 && PyErr_Occurred()) return failure();
        return ClipBound{ClipBound::Value, v};
    }
    return ClipBound{ClipBound::Unsupported};
}

// ---- astype -----------------------------------------------------------------------------

constexpr Param ASTYPE_PARAMS[] = {{"dtype", ParamKind::Either, true}};
constexpr Signature ASTYPE{"ndarray.astype", ASTYPE_PARAMS, true, true};

// A view cast to `to` where it lies; a null Ref where NumPy casts (a float64 outside
// int64).
Result<Ref> cast_view(const AnyArray& shape, const walk::Strided& view, ElementKind to) {
    return shape.visit([&]<class T>(const Array<T>& a) {
        const auto cast = [&]<class R>(R*) {
            const auto kernel = [](const T* x, R* o, std::size_t n) { return walk::cast_run<R, T>(x, o, n); };
            return view_result<R, T>(a.dims(), view, kernel, [&](const walk::Strided& layout, R* o) {
                // The same kind: a copy, each block straight into the result.
                if constexpr (std::is_same_v<R, T>) {
                    walk::copy<T>(layout, o);
                    return true;
                } else if constexpr (std::is_same_v<R, std::int64_t> && std::is_same_v<T, double>) {
                    // Every other float64 of a stretch, or all of them backward: truncated where
                    // they lie, not gathered first.
                    if (const auto run = walk::every_other(layout, sizeof(double))) {
                        return loops::truncate_stepped(reinterpret_cast<const double*>(run->low), o, run->count,
                                                       run->backward);
                    }
                    const walk::Strided flat = walk::simplify(layout);
                    if (flat.ndim == 1 && flat.strides[0] == -static_cast<std::int64_t>(sizeof(double))) {
                        const auto n = static_cast<std::size_t>(flat.shape[0]);
                        return loops::truncate_reversed(
                            reinterpret_cast<const double*>(flat.data) - (n - 1), o, n);
                    }
                    return walk::map_blocks<R, T>(layout, o, kernel);
                } else {
                    // The unchecked casts element by element, rows read where they lie.
                    walk::map<R, T>(layout, o, [](T v) { return walk::cast_value<R, T>(v); });
                    return true;
                }
            });
        };
        if (to == ElementKind::F64) return cast(static_cast<double*>(nullptr));
        if (to == ElementKind::I64) return cast(static_cast<std::int64_t*>(nullptr));
        return cast(static_cast<Bool*>(nullptr));
    });
}

constexpr Param FILL_PARAMS[] = {{"value", ParamKind::Either, true}};
constexpr Signature FILL{"ndarray.fill", FILL_PARAMS};

}  // namespace

Result<Ref> round_method(PyArray& self, const CallArgs& args) {
    auto decimals = round_decimals(args);
    if (!decimals) return failure(std::move(decimals.error()));
    if (!*decimals) return call_method_fallback(self, "round", args);
    const double scale = scale_of(**decimals);
    const ViewRead read = read_of(self);
    const auto* x = read.value().get_if<double>();
    if (x == nullptr) return call_method_fallback(self, "round", args);
    if (**decimals < 0) return map_round(*x, read, [scale](double v) { return round_scaled(v, scale, true); });
    // To whole numbers the scale is 1: known here, its divide (the loop's cost) folds away.
    if (**decimals == 0) return map_f64(*x, read, [](double v) { return round_scaled(v, 1.0, false); });
    return map_round(*x, read, [scale](double v) { return round_scaled(v, scale, false); });
}

Result<Ref> clip_method(PyArray& self, const CallArgs& args) {
    if (args.has_keywords() || args.nargs != 2) return call_method_fallback(self, "clip", args);
    auto lo = bound_of(args[0]);
    if (!lo) return failure(std::move(lo.error()));
    auto hi = bound_of(args[1]);
    if (!hi) return failure(std::move(hi.error()));
    if (lo->kind == ClipBound::Unsupported || hi->kind == ClipBound::Unsupported) {
        return call_method_fallback(self, "clip", args);
    }
    if (lo->kind == ClipBound::Absent && hi->kind == ClipBound::Absent) {
        return failure(Error::value_error("One of max or min must be given"));
    }
    const ViewRead read = read_of(self);
    const auto* x = read.value().get_if<double>();
    if (x == nullptr) return call_method_fallback(self, "clip", args);
    const double l = lo->value;
    const double h = hi->value;
    // NaNs propagate: with one bound an element's NaN first, then the bound's; with two,
    // the lower bound's NaN, the upper's, then the element's.
    if (hi->kind == ClipBound::Absent) {
        return map_f64(*x, read, [l](double v) { return v == v && (l > v || l != l) ? l : v; });
    }
    if (lo->kind == ClipBound::Absent) {
        return map_f64(*x, read, [h](double v) { return v == v && (h < v || h != h) ? h : v; });
    }
    if (l != l || h != h) {
        const double n = l != l ? l : h;
        return map_f64(*x, read, [n](double) { return n; });
    }
    return map_f64(*x, read, [l, h](double v) {
        const double t = l > v ? l : v;
        return h < t ? h : t;
    });
}

Result<Ref> astype_method(PyArray& self, const CallArgs& args) {
    PyObject* dtype = args.nargs == 1 && !args.has_keywords() ? args[0] : nullptr;
    if (dtype == nullptr) {
        auto bound = bind<1>(ASTYPE, args);
        if (!bound) return failure(std::move(bound.error()));
        if (PyTuple_GET_SIZE(bound->rest.get()) > 0 || bound->kwargs) return call_method_fallback(self, "astype", args);
        dtype = (*bound)[0];
    }
    auto target = native_kind(dtype);
    if (!target) return failure(std::move(target.error()));
    if (*target) {
        if (const std::optional<walk::Strided> view = in_place_layout(self)) {
            auto r = cast_view(self.value, *view, **target);
            if (!r || *r) return r;
        } else {
            self.refresh();
            if (auto converted = self.value.cast(**target)) return create_class_object(std::move(*converted));
        }
    }
    return fallback::call_method(self.object(), "astype", std::span<PyObject* const>(&dtype, 1));
}

Result<Ref> fill_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<1>(FILL, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* value = (*bound)[0];
    const Operand operand = classify_stored(value);
    if (operand.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    const std::optional<double> scalar = operand.scalar_f64();
    if (self.strided && scalar && self.value.kind() == ElementKind::F64) {
        // Straight into the base memory: every element gets one value, so elements that
        // share memory need no order.
        const double v = *scalar;
        walk::for_blocks<double>(walk_layout(self), walk::BLOCK, [v](const walk::Block<double>& b) {
            if (double* d = b.direct()) return std::fill(d, d + b.count, v);
            for (std::size_t r = 0; r < b.rows; ++r) {
                std::byte* row = b.at + static_cast<std::int64_t>(r) * b.row_step;
                for (std::size_t i = 0; i < b.len; ++i) walk::store<double>(row + static_cast<std::int64_t>(i) * b.step, v);
            }
        });
        return Ref::borrow(Py_None);
    }
    // NumPy fills an int64 or bool view where its elements lie.
    if (auto* x = self.value.get_if<double>(); x != nullptr && scalar && !self.strided) {
        for (double& e : x->elements()) e = *scalar;
        return Ref::borrow(Py_None);
    }
    auto r = fallback::call_method(self.object(), "fill", std::span<PyObject* const>(&value, 1));
    if (!r) return r;
    return Ref::borrow(Py_None);
}

}  // namespace corvantile::python
