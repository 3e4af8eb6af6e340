#include "lib/functions.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/convert/nested.hpp"
#include "python/runtime/module.hpp"
#include "python/object/pyarray.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>

namespace corvantile::python {

namespace {

constexpr Param FILLED_PARAMS[] = {
    {"shape", ParamKind::Either, true}, {"dtype"}, {"order"}, {"device", ParamKind::KeywordOnly}};
constexpr Signature ZEROS{"zeros", FILLED_PARAMS};
constexpr Signature ONES{"ones", FILLED_PARAMS};
constexpr Signature EMPTY{"empty", FILLED_PARAMS};

constexpr Param FULL_PARAMS[] = {{"shape", ParamKind::Either, true},
                                 {"fill_value", ParamKind::Either, true},
                                 {"dtype"},
                                 {"order"},
                                 {"device", ParamKind::KeywordOnly}};
constexpr Signature FULL{"full", FULL_PARAMS};

constexpr Param ARANGE_PARAMS[] = {
    {"start"}, {"stop"}, {"step"}, {"dtype"}, {"device", ParamKind::KeywordOnly}};
constexpr Signature ARANGE{"arange", ARANGE_PARAMS};

constexpr Param LINSPACE_PARAMS[] = {
    {"start", ParamKind::Either, true}, {"stop", ParamKind::Either, true}, {"num"}, {"endpoint"}};
constexpr Signature LINSPACE{"linspace", LINSPACE_PARAMS, false, true};

// numpy.<name>(*operands, dtype=dtype), None for an absent dtype.
Result<Ref> numpy_call(std::string_view name, std::initializer_list<PyObject*> operands, PyObject* dtype) {
    auto kwargs = check(PyDict_New());
    if (!kwargs) return kwargs;
    if (auto r = check_status(PyDict_SetItemString(kwargs->get(), "dtype", dtype ? dtype : Py_None)); !r) {
        return failure(std::move(r.error()));
    }
    return fallback::call(name, operands, kwargs->get());
}

// Whether a shape may stay native: not one with more than MAX_NDIM entries (an unknown
// length passes), and not a call under the patch switch.
bool shape_stays_native(PyObject* shape) noexcept {
    if (!PyLong_Check(shape)) {
        const Py_ssize_t n = PyObject_Length(shape);
        if (n < 0) {
            PyErr_Clear();
        } else if (static_cast<std::size_t>(n) > MAX_NDIM) {
            return false;
        }
    }
    return !called_from_dunder_array();
}

template <Element T>
Result<Ref> wrap(std::expected<Array<T>, ArrayError> a) {
    if (!a) return failure(array_error(std::move(a.error())));
    return create_class_object(AnyArray(std::move(*a)));
}

// A new 1-D ndarray of n elements, element i = f(i), written straight into its buffer,
// then the last one replaced by `last` when given. A length whose byte size does not
// fit in int64 gives the array error.
template <Element T, class F>
Result<Ref> sequence(std::uint64_t n, F f, std::optional<T> last = std::nullopt) {
    const std::uint64_t shape[] = {n};
    auto dims = ArrayDims::make(shape, Array<T>::ITEMSIZE);
    if (!dims) return failure(array_error(std::move(dims.error())));
    T* data = nullptr;
    auto object = create_unwritten<T>(*dims, data);
    if (!object) return object;
    for (std::uint64_t i = 0; i < n; ++i) data[i] = f(i);
    if (last && n > 0) data[n - 1] = *last;
    return object;
}

Error division_by_zero() { return Error::make(PyExc_ZeroDivisionError, "division by zero"); }

// An int (not a bool) or absent: the operands of arange's integer path.
bool int_or_absent(PyObject* o) noexcept { return o == nullptr || (PyLong_Check(o) && !PyBool_Check(o)); }

Result<std::int64_t> to_i64(PyObject* o) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return failure();
    return static_cast<std::int64_t>(v);
}

// The element count of a float range as NumPy forms it: ceil((hi - lo) / step), one where
// that quotient underflows to zero (an infinite or huge step) while the distance is not
// zero and points the step's way; NaN cannot be counted and a count beyond the index range
// (either sign) exceeds the maximum size.
Result<std::uint64_t> float_count(double lo, double hi, double step) {
    const double delta = hi - lo;
    const double value = delta / step;
    if (value != value) return failure(Error::value_error("arange: cannot compute length"));
    if (value == 0.0 && delta != 0.0) return (delta > 0.0) == (step > 0.0) ? 1 : 0;
    const double c = std::ceil(value);
    constexpr double TWO_TO_63 = 9223372036854775808.0;
    if (!(c >= -TWO_TO_63 && c < TWO_TO_63)) return failure(Error::value_error("Maximum allowed size exceeded"));
    return c > 0.0 ? static_cast<std::uint64_t>(c) : 0;
}

Result<Ref> int_range(PyObject* start, PyObject* stop, PyObject* step_obj) {
    auto first = to_i64(start);
    if (!first) return failure(std::move(first.error()));
    std::int64_t lo = 0, hi = *first;
    if (stop != nullptr) {
        auto last = to_i64(stop);
        if (!last) return failure(std::move(last.error()));
        lo = *first;
        hi = *last;
    }
    std::int64_t step = 1;
    if (step_obj != nullptr) {
        auto s = to_i64(step_obj);
        if (!s) return failure(std::move(s.error()));
        step = *s;
    }
    if (step == 0) return failure(division_by_zero());

    // Distance and step magnitude as unsigned: exact over the whole int64 range.
    std::uint64_t n = 0;
    const auto ulo = static_cast<std::uint64_t>(lo), uhi = static_cast<std::uint64_t>(hi);
    const auto ustep = static_cast<std::uint64_t>(step);
    if (step > 0 && hi > lo) {
        const std::uint64_t d = uhi - ulo;
        n = d / ustep + (d % ustep != 0 ? 1 : 0);
    } else if (step < 0 && hi < lo) {
        const std::uint64_t d = ulo - uhi, mag = 0 - ustep;
        n = d / mag + (d % mag != 0 ? 1 : 0);
    }
    // Wrapping arithmetic; every true value lies between lo and hi, so the result is exact.
    return sequence<std::int64_t>(n, [=](std::uint64_t i) { return static_cast<std::int64_t>(ulo + i * ustep); });
}

// numpy.arange with the positionals the caller gave (a lone step counts from 0).
Result<Ref> numpy_arange(PyObject* start, PyObject* stop, PyObject* step, PyObject* dtype) {
    if (stop != nullptr && step != nullptr) return numpy_call("arange", {start, stop, step}, dtype);
    if (stop != nullptr) return numpy_call("arange", {start, stop}, dtype);
    if (step != nullptr) {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return failure();
        return numpy_call("arange", {zero.get(), start, step}, dtype);
    }
    return numpy_call("arange", {start}, dtype);
}

Result<Ref> filled_function(const Signature& sig, double value, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    auto bound = bind<4>(sig, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    if (auto r = check_device(bound->unless_none(3)); !r) return failure(std::move(r.error()));
    return filled((*bound)[0], bound->unless_none(1), sig.function, value);
}

}  // namespace

Result<Ref> filled(PyObject* shape, PyObject* dtype, std::string_view name, double value) {
    if (!shape_stays_native(shape)) return numpy_call(name, {shape}, dtype);
    auto f64 = is_float64_or_none(dtype);
    if (!f64) return failure(std::move(f64.error()));
    if (!*f64) return numpy_call(name, {shape}, dtype);
    auto sizes = extract_shape(shape);
    if (!sizes) return failure(std::move(sizes.error()));
    return wrap(Array<double>::filled(*sizes, value));
}

Result<Ref> zeros_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return filled_function(ZEROS, 0.0, args, nargs, kwnames);
}

Result<Ref> ones_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return filled_function(ONES, 1.0, args, nargs, kwnames);
}

Result<Ref> empty_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return filled_function(EMPTY, 0.0, args, nargs, kwnames);  // zeroed, never uninitialised
}

Result<Ref> full_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<5>(FULL, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* shape = (*bound)[0];
    PyObject* fill = (*bound)[1];
    PyObject* dtype = bound->unless_none(2);
    if (auto r = check_device(bound->unless_none(4)); !r) return failure(std::move(r.error()));
    auto numpy = [&] { return numpy_call("full", {shape, fill}, dtype); };
    if (!shape_stays_native(shape)) return numpy();
    auto sizes = extract_shape(shape);
    if (!sizes) return failure(std::move(sizes.error()));

    if (PyBool_Check(fill)) {
        if (dtype != nullptr) return numpy();
        return wrap(Array<Bool>::filled(*sizes, to_bool(fill == Py_True)));
    }
    if (PyLong_Check(fill) && dtype == nullptr) {
        auto v = to_i64(fill);
        if (!v) return numpy();  // beyond int64: NumPy picks the dtype
        return wrap(Array<std::int64_t>::filled(*sizes, *v));
    }
    if (!PyLong_Check(fill) && !PyFloat_Check(fill)) return numpy();
    auto f64 = is_float64_or_none(dtype);
    if (!f64) return failure(std::move(f64.error()));
    if (!*f64) return numpy();
    const double v = PyFloat_AsDouble(fill);  // OverflowError for an int beyond float range
    if (v == -1.0 && PyErr_Occurred()) return failure();
    return wrap(Array<double>::filled(*sizes, v));
}

Result<Ref> arange_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<5>(ARANGE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* start = (*bound)[0];
    PyObject* stop = (*bound)[1];
    // NumPy's reading: a lone positional or a lone stop= is the stop; a start given only
    // by name needs a stop.
    if (stop == nullptr) {
        if (PyVectorcall_NARGS(nargs) == 0) return failure(Error::type_error("arange() requires stop to be specified."));
    } else if (start == nullptr) {
        start = stop;
        stop = nullptr;
    }
    if (stop == Py_None) stop = nullptr;
    PyObject* step = bound->unless_none(2);
    PyObject* dtype = bound->unless_none(3);
    if (auto r = check_device(bound->unless_none(4)); !r) return failure(std::move(r.error()));
    const bool patched = called_from_dunder_array();

    if (dtype == nullptr && !patched && int_or_absent(start) && int_or_absent(stop) && int_or_absent(step)) {
        auto range = int_range(start, stop, step);
        // Ints beyond int64 are NumPy's to type.
        if (!range && range.error().is_instance(PyExc_OverflowError)) return numpy_arange(start, stop, step, dtype);
        return range;
    }

    std::optional<double> first = python_real(start), last, by = 1.0;
    bool convertible = first.has_value();
    if (convertible && stop != nullptr) convertible = (last = python_real(stop)).has_value();
    if (convertible && step != nullptr) convertible = (by = python_real(step)).has_value();
    if (!convertible || patched) return numpy_arange(start, stop, step, dtype);
    auto f64 = is_float64_or_none(dtype);
    if (!f64) return failure(std::move(f64.error()));
    if (!*f64) return numpy_arange(start, stop, step, dtype);

    const double lo = last ? *first : 0.0, hi = last ? *last : *first, d = *by;
    if (d == 0.0) return failure(division_by_zero());
    auto n = float_count(lo, hi, d);
    if (!n) return failure(std::move(n.error()));
    // The first element is the start itself (an infinite step times 0 is NaN; -0.0 stays).
    return sequence<double>(*n, [=](std::uint64_t i) { return i == 0 ? lo : static_cast<double>(i) * d + lo; });
}

Result<Ref> linspace_function(PyObject*, PyObject* args, PyObject* kwargs) {
    auto bound = bind<4>(LINSPACE, args, kwargs);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* start = (*bound)[0];
    PyObject* stop = (*bound)[1];

    std::uint64_t num = 50;
    if (PyObject* given = (*bound)[2]) {
        Ref index = Ref::steal(PyNumber_Index(given));
        const unsigned long long v = index ? PyLong_AsUnsignedLongLong(index.get()) : 0;
        if (!index || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            return failure(Error::fetch().for_argument("num"));
        }
        num = v;
    }
    bool endpoint = true;
    if (PyObject* given = (*bound)[3]) {
        auto b = extract_bool(given);
        if (!b) return failure(std::move(b.error()).for_argument("endpoint"));
        endpoint = *b;
    }

    // Further keywords: device is checked and dropped; anything else means NumPy.
    Ref extra = std::move(bound->kwargs);
    if (extra) {
        PyObject* device = nullptr;
        const int found = PyDict_GetItemStringRef(extra.get(), "device", &device);
        if (found < 0) return failure();
        Ref held = Ref::steal(device);
        if (found == 1) {
            if (auto r = check_device(device); !r) return failure(std::move(r.error()));
            if (auto r = check_status(PyDict_DelItemString(extra.get(), "device")); !r) {
                return failure(std::move(r.error()));
            }
        }
    }
    const bool other_keywords = extra && PyDict_GET_SIZE(extra.get()) > 0;

    std::optional<double> lo, hi;
    if (!other_keywords && !called_from_dunder_array()) {
        lo = python_real(start);
        if (lo) hi = python_real(stop);
    }
    if (!lo || !hi) {
        if (!extra) extra = Ref::steal(PyDict_New());
        if (!extra) return failure();
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(num));
        if (!count) return failure();
        if (auto r = check_status(PyDict_SetItemString(extra.get(), "num", count.get())); !r) {
            return failure(std::move(r.error()));
        }
        if (auto r = check_status(PyDict_SetItemString(extra.get(), "endpoint", endpoint ? Py_True : Py_False)); !r) {
            return failure(std::move(r.error()));
        }
        return fallback::call("linspace", {start, stop}, extra.get());
    }

    const std::uint64_t div = endpoint ? (num >= 1 ? num - 1 : 0) : num;
    const double a = *lo, b = *hi;
    const double step = div == 0 ? 0.0 : (b - a) / static_cast<double>(div);
    return sequence<double>(
        num, [=](std::uint64_t i) { return static_cast<double>(i) * step + a; },
        endpoint && num >= 2 ? std::optional<double>(b) : std::nullopt);
}

}  // namespace corvantile::python
