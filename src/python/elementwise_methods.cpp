#include "python/elementwise_methods.hpp"

#include "python/args.hpp"
#include "python/classify.hpp"
#include "python/dtype.hpp"
#include "python/fallback.hpp"
#include "python/method_fallback.hpp"
#include "python/pyarray.hpp"

#include <climits>
#include <cmath>
#include <optional>
#include <span>
#include <string_view>

namespace corvantile::python {

namespace {

bool has_keywords(PyObject* kwargs) noexcept { return kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0; }

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
Result<std::optional<int>> round_decimals(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 1) {
        if (kwargs != nullptr) return std::nullopt;
        return decimals_of(PyTuple_GET_ITEM(args, 0));
    }
    if (n >= 2) return std::nullopt;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return 0;
    if (PyDict_GET_SIZE(kwargs) > 1) return std::nullopt;
    PyObject* value = nullptr;
    const int found = PyDict_GetItemStringRef(kwargs, "decimals", &value);
    Ref owned = Ref::steal(value);
    if (found < 0) return failure();
    if (found == 0) return std::nullopt;
    return decimals_of(value);
}

// 10 ** decimals by binary powering (infinite from 309 up).
double scale_of(int decimals) noexcept {
    std::uint64_t k = decimals < 0 ? -static_cast<std::int64_t>(decimals) : decimals;
    double base = 10.0;
    double p = (k & 1) != 0 ? 10.0 : 1.0;
    for (k >>= 1; k != 0; k >>= 1) {
        base *= base;
        if ((k & 1) != 0) p *= base;
    }
    return decimals < 0 ? 1.0 / p : p;
}

// The largest float64 below 0.5: adding it and truncating rounds halves away from zero
// without ever rounding a value just below a half up.
constexpr double BELOW_HALF = 0.49999999999999994;

// Half to even at `scale`.
double round_scaled(double x, double scale) noexcept {
    const double y = x * scale;
    const double away = std::trunc(y + std::copysign(BELOW_HALF, y));
    double r = away;
    if (std::fabs(y - std::trunc(y)) == 0.5) {
        const double h = y * 0.5;
        r = 2.0 * std::trunc(h + std::copysign(BELOW_HALF, h));
    }
    return r / scale;
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

constexpr Param FILL_PARAMS[] = {{"value", ParamKind::Either, true}};
constexpr Signature FILL{"ndarray.fill", FILL_PARAMS};

}  // namespace

Result<Ref> round_method(PyArray& self, PyObject* args, PyObject* kwargs) {
    auto decimals = round_decimals(args, kwargs);
    if (!decimals) return failure(std::move(decimals.error()));
    if (!*decimals) return call_method_fallback(self, "round", args, kwargs);
    const double scale = scale_of(**decimals);
    self.refresh();
    const auto* x = self.value.get_if<double>();
    if (x == nullptr) return call_method_fallback(self, "round", args, kwargs);
    return create_class_object(x->map([scale](double v) { return round_scaled(v, scale); }));
}

Result<Ref> clip_method(PyArray& self, PyObject* args, PyObject* kwargs) {
    if (has_keywords(kwargs) || PyTuple_GET_SIZE(args) != 2) return call_method_fallback(self, "clip", args, kwargs);
    auto lo = bound_of(PyTuple_GET_ITEM(args, 0));
    if (!lo) return failure(std::move(lo.error()));
    auto hi = bound_of(PyTuple_GET_ITEM(args, 1));
    if (!hi) return failure(std::move(hi.error()));
    if (lo->kind == ClipBound::Unsupported || hi->kind == ClipBound::Unsupported) {
        return call_method_fallback(self, "clip", args, kwargs);
    }
    if (lo->kind == ClipBound::Absent && hi->kind == ClipBound::Absent) {
        return failure(Error::value_error("One of max or min must be given"));
    }
    self.refresh();
    const auto* x = self.value.get_if<double>();
    if (x == nullptr) return call_method_fallback(self, "clip", args, kwargs);
    const double l = lo->value;
    const double h = hi->value;
    if (hi->kind == ClipBound::Absent) return create_class_object(x->map([l](double v) { return l > v ? l : v; }));
    if (lo->kind == ClipBound::Absent) return create_class_object(x->map([h](double v) { return h < v ? h : v; }));
    return create_class_object(x->map([l, h](double v) {
        const double t = l > v ? l : v;
        return h < t ? h : t;
    }));
}

Result<Ref> astype_method(PyArray& self, PyObject* args, PyObject* kwargs) {
    auto bound = bind<1>(ASTYPE, args, kwargs);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* dtype = (*bound)[0];
    const std::span<PyObject* const> rest{&PyTuple_GET_ITEM(bound->rest.get(), 0),
                                          static_cast<std::size_t>(PyTuple_GET_SIZE(bound->rest.get()))};
    std::vector<PyObject*> positionals{dtype};
    if (!rest.empty() || has_keywords(bound->kwargs.get())) {
        positionals.insert(positionals.end(), rest.begin(), rest.end());
        return fallback::call_method(self.object(), "astype", positionals, bound->kwargs.get());
    }
    auto target = native_kind(dtype);
    if (!target) return failure(std::move(target.error()));
    if (*target) {
        self.refresh();
        if (auto converted = self.value.cast(**target)) return create_class_object(std::move(*converted));
    }
    return fallback::call_method(self.object(), "astype", positionals);
}

Result<Ref> fill_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<1>(FILL, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* value = (*bound)[0];
    self.refresh();
    const std::optional<double> scalar = classify(value).scalar_f64();
    if (auto* x = self.value.get_if<double>(); x != nullptr && scalar) {
        for (double& e : x->elements()) e = *scalar;
        self.commit();
        return Ref::borrow(Py_None);
    }
    auto r = fallback::call_method(self.object(), "fill", std::span<PyObject* const>(&value, 1));
    if (!r) return r;
    return Ref::borrow(Py_None);
}

}  // namespace corvantile::python
