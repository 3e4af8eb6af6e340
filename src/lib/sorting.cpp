#include "lib/functions.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/methods/methods.hpp"
#include "python/numpy/numpy.hpp"
#include "python/operators/operator_kernels.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"
#include "array/sort.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace corvantile::python {

namespace {

constexpr Param A_PARAM[] = {{"a", ParamKind::Either, true}};
constexpr Param X_PARAM[] = {{"x", ParamKind::Either, true}};
constexpr Signature SORT_SIGNATURE{"sort", A_PARAM, true, true};
constexpr Signature ARGSORT_SIGNATURE{"argsort", A_PARAM, true, true};
constexpr Signature ABS_SIGNATURE{"abs", X_PARAM, true, true};
constexpr Param ISCLOSE_PARAMS[] = {
    {"a", ParamKind::Either, true}, {"b", ParamKind::Either, true}, {"rtol"}, {"atol"}, {"equal_nan"},
};
constexpr Signature ISCLOSE_SIGNATURE{"isclose", ISCLOSE_PARAMS};

std::span<PyObject* const> items_of(const Ref& tuple) noexcept {
    return {&PyTuple_GET_ITEM(tuple.get(), 0), static_cast<std::size_t>(PyTuple_GET_SIZE(tuple.get()))};
}

// first, then the items of rest.
std::vector<PyObject*> operands(PyObject* first, std::span<PyObject* const> rest) {
    std::vector<PyObject*> v{first};
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

bool has_keywords(const Ref& kwargs) noexcept { return kwargs && PyDict_GET_SIZE(kwargs.get()) != 0; }

// Removes "descending" from kwargs (may be empty) and gives its truth value.
Result<bool> take_descending(const Ref& kwargs) {
    if (!kwargs) return false;
    PyObject* value = nullptr;
    const int found = PyDict_PopString(kwargs.get(), "descending", &value);
    Ref owned = Ref::steal(value);
    if (found < 0) return failure();
    if (found == 0) return false;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return failure();
    return truth == 1;
}

// The one positional axis of a native sort: absent, or an integer -1 or 0.
bool native_axis(std::span<PyObject* const> rest) noexcept {
    if (rest.empty()) return true;
    if (rest.size() > 1) return false;
    Ref index = Ref::steal(PyNumber_Index(rest[0]));
    if (!index) {
        PyErr_Clear();
        return false;
    }
    int overflow = 0;
    const long long axis = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (axis == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow == 0 && (axis == -1 || axis == 0);
}

// The axis NumPy sorted along: the positional one, the keyword one, or -1.
Result<Ref> sort_axis(std::span<PyObject* const> rest, const Ref& kwargs) {
    if (!rest.empty()) return Ref::borrow(rest[0]);
    if (kwargs) {
        PyObject* axis = nullptr;
        const int found = PyDict_GetItemStringRef(kwargs.get(), "axis", &axis);
        if (found < 0) return failure();
        if (found == 1) return Ref::steal(axis);
    }
    return check(PyLong_FromLong(-1));
}

// A tolerance computed natively: a finite float or an int within int64; nothing for any
// other object, which NumPy takes as given (and warns of when it is not finite).
std::optional<double> tolerance(PyObject* value, double fallback_value) noexcept {
    if (value == nullptr) return fallback_value;
    double v = 0.0;
    if (PyFloat_Check(value)) {
        v = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long k = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) return std::nullopt;
        v = static_cast<double>(k);
    } else {
        return std::nullopt;
    }
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

// NumPy's test, in its order: |x - y| <= atol + rtol * |y| with y finite, or x == y (an
// infinite difference may pass when the bound overflows too).
struct Close {
    double rtol, atol;
    bool equal_nan;
    bool operator()(double x, double y) const noexcept {
        if ((std::fabs(x - y) <= atol + rtol * std::fabs(y) && std::isfinite(y)) || x == y) return true;
        return equal_nan && std::isnan(x) && std::isnan(y);
    }
};

// A float64 operand's elements in one block: an ndarray's own, a view's copied from where
// they lie into `held`; null for any other object.
const Array<double>* f64_block(PyObject* obj, std::optional<AnyArray>& held) {
    if (is_ndarray(obj)) {
        const PyArray& a = *PyArray::of(obj);
        if (a.strided) return a.value.kind() == ElementKind::F64 ? held.emplace(gather(a)).get_if<double>() : nullptr;
    }
    return f64_of(obj);
}

template <class F>
Result<Ref> bool_map(const Array<double>& a, F f) {
    Bool* out = nullptr;
    auto r = ops::result_like<Bool>(a, out);
    if (!r) return r;
    ops::map_loop(a.data(), out, a.len(), [&f](double x) { return to_bool(f(x)); });
    return r;
}

template <class F>
Result<Ref> bool_zip(const Array<double>& a, const Array<double>& b, F f) {
    Bool* out = nullptr;
    auto r = ops::result_like<Bool>(a, out);
    if (!r) return r;
    ops::zip_loop(a.data(), b.data(), out, a.len(), [&f](double x, double y) { return to_bool(f(x, y)); });
    return r;
}

// The native sort of a 1-D float64 or int64 array; descending reverses it (NaN first,
// ties reversed).
template <class T>
Result<Ref> sorted_native(const Array<T>& x, bool descending) {
    Array<T> sorted = x.sorted_1d();
    if (descending) std::ranges::reverse(sorted.elements());
    return create_class_object(std::move(sorted));
}

}  // namespace

Result<Ref> sort_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<1>(SORT_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* a = (*bound)[0];
    const auto rest = items_of(bound->rest);
    const Ref& kwargs = bound->kwargs;  // our own dictionary
    auto descending = take_descending(kwargs);
    if (!descending) return failure(std::move(descending.error()));
    if (kwargs) {
        PyObject* stable = nullptr;
        const int found = PyDict_GetItemStringRef(kwargs.get(), "stable", &stable);
        Ref owned = Ref::steal(stable);
        if (found < 0) return failure();
        if (found == 1 && stable == Py_None) {
            if (auto r = check_status(PyDict_DelItemString(kwargs.get(), "stable")); !r) {
                return failure(std::move(r.error()));
            }
        }
    }

    if (is_ndarray(a) && !has_keywords(kwargs) && native_axis(rest)) {
        // A 1-D view's elements are copied from where they lie into the sort's input.
        const auto sort_copy = [&]<class T>(Array<T>& x) -> Result<Ref> {
            if constexpr (std::same_as<T, std::int64_t>) {
                // The copy is ours: sorted where it lies, not copied again.
                sort_in_place(x.elements());
                if (*descending) std::ranges::reverse(x.elements());
                return create_class_object(std::move(x));
            } else {
                return sorted_native(x, *descending);
            }
        };
        if (auto r = sort_input_of(*PyArray::of(a), sort_copy)) {
            return std::move(*r);
        }
    }
    // Only a 1-D array is read here (a small view from its shadow); NumPy reads others
    // where they lie.
    const bool one_axis = !is_ndarray(a) || PyArray::of(a)->value.ndim() == 1;
    if (const AnyArray* x = one_axis ? any_of(a) : nullptr;
        x != nullptr && !has_keywords(kwargs) && x->ndim() == 1 && native_axis(rest)) {
        auto native = [&](const auto& arr) { return sorted_native(arr, *descending); };
        if (const auto* f = x->get_if<double>()) return native(*f);
        if (const auto* i = x->get_if<std::int64_t>()) return native(*i);
    }

    auto r = fallback::call("sort", operands(a, rest), kwargs.get());
    if (!r || !*descending) return r;
    auto axis = sort_axis(rest, kwargs);
    if (!axis) return axis;
    return fallback::call("flip", {r->get(), axis->get()});
}

Result<Ref> argsort_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<1>(ARGSORT_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* a = (*bound)[0];
    const auto rest = items_of(bound->rest);
    const Ref& kwargs = bound->kwargs;
    auto descending = take_descending(kwargs);
    if (!descending) return failure(std::move(descending.error()));
    if (*descending) return fallback::argsort_descending(a, rest, kwargs.get());

    if (is_ndarray(a)) {
        auto method = check(PyObject_GetAttrString(a, "argsort"));
        if (!method) return method;
        return check(PyObject_Call(method->get(), bound->rest.get(), kwargs.get()));
    }
    auto keywords = stable_by_default(rest, kwargs.get());
    if (!keywords) return keywords;
    return fallback::call("argsort", operands(a, rest), keywords->get());
}

Result<Ref> abs_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<1>(ABS_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* x = (*bound)[0];
    const auto rest = items_of(bound->rest);
    if (!rest.empty() || has_keywords(bound->kwargs)) {
        return fallback::call("abs", operands(x, rest), bound->kwargs.get());
    }
    if (is_ndarray(x)) {
        const ViewRead read = read_of(*PyArray::of(x));
        const Array<double>* a = read.value().get_if<double>();
        if (a == nullptr) return fallback::call("abs", {x});
        // fabs clears the sign bit only: -0.0 gives 0.0, a NaN keeps its payload.
        const auto fabs = [](double v) { return std::fabs(v); };
        if (const walk::Strided* view = read.in_place()) return map_view<double, double>(a->dims(), *view, fabs);
        double* out = nullptr;
        auto r = ops::result_like<double>(*a, out);
        if (!r) return r;
        ops::map_loop(a->data(), out, a->len(), fabs);
        return r;
    }
    if (PyFloat_CheckExact(x) || PyLong_CheckExact(x)) {
        const double v = PyFloat_CheckExact(x) ? PyFloat_AS_DOUBLE(x) : PyLong_AsDouble(x);
        if (v == -1.0 && PyErr_Occurred()) return failure();
        return check(PyFloat_FromDouble(std::fabs(v)));
    }
    if (PyFloat_Check(x)) {
        const double v = PyFloat_AsDouble(x);
        if (v == -1.0 && PyErr_Occurred()) return failure();
        return np_float(std::fabs(v));
    }
    return fallback::call("abs", {x});
}

Result<Ref> isclose_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<5>(ISCLOSE_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    const std::optional<double> rtol = tolerance((*bound)[2], 1e-05);
    const std::optional<double> atol = tolerance((*bound)[3], 1e-08);
    bool equal_nan = false;
    if (PyObject* flag = (*bound)[4]) {
        auto b = extract_bool(flag);
        if (!b) return failure(std::move(b.error()).for_argument("equal_nan"));
        equal_nan = *b;
    }
    const Close close{rtol.value_or(0.0), atol.value_or(0.0), equal_nan};

    PyObject* a = (*bound)[0];
    PyObject* b = (*bound)[1];
    std::optional<AnyArray> held_a, held_b;
    const Array<double>* x = rtol && atol ? f64_block(a, held_a) : nullptr;
    const Array<double>* y = rtol && atol ? f64_block(b, held_b) : nullptr;
    if (!rtol || !atol) {
        // NumPy takes the tolerances as given.
    } else if (x != nullptr && y != nullptr) {
        if (std::ranges::equal(x->shape(), y->shape())) return bool_zip(*x, *y, close);  // no broadcasting
    } else if (x != nullptr) {
        if (auto s = python_real(b)) return bool_map(*x, [&](double v) { return close(v, *s); });
    } else if (y != nullptr) {
        if (auto s = python_real(a)) return bool_map(*y, [&](double v) { return close(*s, v); });
    } else if (auto sa = python_real(a)) {
        if (auto sb = python_real(b)) return np_bool(close(*sa, *sb));
    }

    Ref kw = Ref::steal(PyDict_New());
    if (!kw) return failure();
    constexpr const char* NAMES[] = {"rtol", "atol", "equal_nan"};
    for (std::size_t i = 0; i < 3; ++i) {
        PyObject* given = (*bound)[i + 2];
        if (given != nullptr && PyDict_SetItemString(kw.get(), NAMES[i], given) < 0) return failure();
    }
    return fallback::call("isclose", {a, b}, kw.get());
}

}  // namespace corvantile::python
