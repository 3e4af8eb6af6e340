#include "lib/method_functions.hpp"

#include "lib/forward.hpp"
#include "python/classify.hpp"
#include "python/dot.hpp"
#include "python/elementwise_methods.hpp"
#include "python/fallback.hpp"
#include "python/methods_copy.hpp"
#include "python/numpy.hpp"
#include "python/pyarray.hpp"
#include "python/reductions.hpp"
#include "python/shape_methods.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <format>
#include <vector>

namespace corvantile::python {

namespace {

using Body = Result<Ref> (*)(PyArray& self, PyObject* args, PyObject* kwargs);

bool is_exact_ndarray(PyObject* a) { return Py_TYPE(a) == ndarray_type_or_panic(); }

std::span<PyObject* const> items_of(PyObject* tuple) noexcept {
    return {&PyTuple_GET_ITEM(tuple, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(tuple))};
}

// a.<name>(*rest, **kwargs) through the interpreter.
template <FixedString Name>
Result<Ref> method_call(PyObject* a, PyObject* rest, PyObject* kwargs) {
    auto name = NP_NAME<Name>.get();
    if (!name) return failure(std::move(name.error()));
    auto method = check(PyObject_GetAttr(a, *name));
    if (!method) return method;
    return check(PyObject_Call(method->get(), rest, kwargs));
}

// numpy.<name>(a, *rest, **kwargs).
template <FixedString Name>
Result<Ref> numpy_call(PyObject* a, PyObject* rest, PyObject* kwargs) {
    const auto more = items_of(rest);
    std::vector<PyObject*> operands;
    operands.reserve(1 + more.size());
    operands.push_back(a);
    operands.insert(operands.end(), more.begin(), more.end());
    return fallback::call(Name.view(), operands, kwargs);
}

// Keywords that NumPy's function takes but the array method of the same name refuses
// (numpy.transpose(a, axes=...), numpy.clip(a, a_min=...)).
struct FunctionOnlyKeywords {
    std::string_view function;
    std::array<std::string_view, 2> keys;
};
constexpr FunctionOnlyKeywords FUNCTION_ONLY[] = {
    {"transpose", {"axes", ""}},
    {"clip", {"a_min", "a_max"}},
    {"copy", {"subok", ""}},
    {"reshape", {"shape", "newshape"}},
    {"var", {"correction", ""}},
    {"std", {"correction", ""}},
    {"dot", {"out", ""}},
};

// Whether the call names a keyword only NumPy's function knows: the method road would
// refuse a call that NumPy answers, so such calls go to the function.
bool function_only(std::string_view name, PyObject* kwargs) {
    if (kwargs == nullptr) return false;
    // `a` both by position and by keyword: NumPy's function names the clash.
    if (PyDict_GET_SIZE(kwargs) > 0) {
        const int has = PyDict_ContainsString(kwargs, "a");
        if (has < 0) PyErr_Clear();
        if (has == 1) return true;
    }
    for (const auto& f : FUNCTION_ONLY) {
        if (f.function != name) continue;
        for (std::string_view key : f.keys) {
            if (key.empty()) continue;
            const int has = PyDict_ContainsString(kwargs, std::string(key).c_str());
            if (has < 0) PyErr_Clear();
            if (has == 1) return true;
        }
    }
    return false;
}

// Steps 2 and 3 of every method function: the object's own method for an ndarray
// instance, NumPy's function for anything else.
template <FixedString Name>
Result<Ref> method_or_numpy(PyObject* a, PyObject* rest, PyObject* kwargs) {
    if (is_ndarray(a) && !function_only(Name.view(), kwargs)) return method_call<Name>(a, rest, kwargs);
    return numpy_call<Name>(a, rest, kwargs);
}

// A member whose native step is call_native_method.
template <FixedString Name>
Result<Ref> by_name(PyObject* a, PyObject* rest, PyObject* kwargs) {
    if (is_exact_ndarray(a) && !function_only(Name.view(), kwargs)) {
        if (auto r = call_native_method(a, Name.view(), rest, kwargs)) return std::move(*r);
    }
    return method_or_numpy<Name>(a, rest, kwargs);
}

// A member that runs its body directly.
template <FixedString Name, Body B>
Result<Ref> direct(PyObject* a, PyObject* rest, PyObject* kwargs) {
    if (is_exact_ndarray(a) && !function_only(Name.view(), kwargs)) return B(*PyArray::of(a), rest, kwargs);
    return method_or_numpy<Name>(a, rest, kwargs);
}

// any and all: a C-contiguous bool buffer of at least one dimension, alone, is answered
// here without NumPy.
template <FixedString Name, bool All>
Result<Ref> bool_reduction(PyObject* a, PyObject* rest, PyObject* kwargs) {
    if (is_exact_ndarray(a)) {
        if (auto r = call_native_method(a, Name.view(), rest, kwargs)) return std::move(*r);
    }
    if (is_ndarray(a)) return method_call<Name>(a, rest, kwargs);
    if (PyTuple_GET_SIZE(rest) == 0 && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)) {
        if (auto mask = bool_mask(a)) {
            const auto& v = mask->values;
            if constexpr (All) {
                return np_bool(std::ranges::none_of(v, [](Bool b) { return b == Bool{0}; }));
            } else {
                return np_bool(std::ranges::any_of(v, [](Bool b) { return b != Bool{0}; }));
            }
        }
    }
    return numpy_call<Name>(a, rest, kwargs);
}

struct NamedBody {
    std::string_view name;
    Body body;
};

// The bodies call_native_method runs by name.
constexpr NamedBody NATIVE_BODIES[] = {
    {"sum", &sum_method},       {"prod", &prod_method},     {"mean", &mean_method},
    {"max", &max_method},       {"min", &min_method},       {"var", &var_method},
    {"std", &std_method},       {"argmax", &argmax_method}, {"argmin", &argmin_method},
    {"cumsum", &cumsum_method}, {"any", &any_method},       {"all", &all_method},
    {"clip", &clip_method},     {"copy", &copy_method},
};

constinit Interned A_KEY{"a"};

}  // namespace

std::optional<Result<Ref>> call_native_method(PyObject* a, std::string_view name, PyObject* rest, PyObject* kwargs) {
    PyArray& self = *PyArray::of(a);
    if (name == "dot") {
        if (PyTuple_GET_SIZE(rest) != 1 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) return std::nullopt;
        const Ref other = Ref::borrow(PyTuple_GET_ITEM(rest, 0));
        return dot(self, other.get());
    }
    for (const NamedBody& b : NATIVE_BODIES) {
        if (b.name == name) return b.body(self, rest, kwargs);
    }
    return std::nullopt;
}

Result<Ref> sum_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"sum">(a, rest, kwargs); }
Result<Ref> prod_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"prod">(a, rest, kwargs); }
Result<Ref> mean_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"mean">(a, rest, kwargs); }
Result<Ref> max_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"max">(a, rest, kwargs); }
Result<Ref> min_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"min">(a, rest, kwargs); }
Result<Ref> var_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"var">(a, rest, kwargs); }
Result<Ref> std_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"std">(a, rest, kwargs); }
Result<Ref> argmax_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"argmax">(a, rest, kwargs); }
Result<Ref> argmin_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"argmin">(a, rest, kwargs); }
Result<Ref> cumsum_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"cumsum">(a, rest, kwargs); }
Result<Ref> cumprod_fn(PyObject* a, PyObject* rest, PyObject* kwargs) {
    return direct<"cumprod", &cumprod_method>(a, rest, kwargs);
}
Result<Ref> dot_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"dot">(a, rest, kwargs); }
Result<Ref> clip_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"clip">(a, rest, kwargs); }
Result<Ref> round_fn(PyObject* a, PyObject* rest, PyObject* kwargs) {
    return direct<"round", &round_method>(a, rest, kwargs);
}
Result<Ref> reshape_fn(PyObject* a, PyObject* rest, PyObject* kwargs) {
    return direct<"reshape", &reshape_method>(a, rest, kwargs);
}
Result<Ref> copy_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return by_name<"copy">(a, rest, kwargs); }
Result<Ref> nonzero_fn(PyObject* a, PyObject* rest, PyObject* kwargs) {
    return method_or_numpy<"nonzero">(a, rest, kwargs);
}
Result<Ref> ravel_fn(PyObject* a, PyObject* rest, PyObject* kwargs) {
    return direct<"ravel", &ravel_method>(a, rest, kwargs);
}
Result<Ref> transpose_fn(PyObject* a, PyObject* rest, PyObject* kwargs) {
    return direct<"transpose", &transpose_method>(a, rest, kwargs);
}
Result<Ref> any_fn(PyObject* a, PyObject* rest, PyObject* kwargs) {
    return bool_reduction<"any", false>(a, rest, kwargs);
}
Result<Ref> all_fn(PyObject* a, PyObject* rest, PyObject* kwargs) { return bool_reduction<"all", true>(a, rest, kwargs); }

Result<Ref> method_entry(std::string_view name, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                         MethodFunction f) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
    Ref kwargs;
    if (kwnames != nullptr) {
        if (!PyTuple_Check(kwnames)) return failure(Error::type_error("keyword names must be a tuple"));
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return failure();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (auto r = check_status(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i])); !r) {
                return failure(std::move(r.error()));
            }
        }
    }
    auto missing_a = [&] {
        return failure(Error::type_error(std::format("{}() missing 1 required positional argument: 'a'", name)));
    };
    Ref a;
    Ref rest;
    if (nargs >= 1) {
        a = Ref::borrow(args[0]);
        rest = Ref::steal(PyTuple_New(nargs - 1));
        if (!rest) return failure();
        for (Py_ssize_t i = 1; i < nargs; ++i) PyTuple_SET_ITEM(rest.get(), i - 1, Py_NewRef(args[i]));
    } else {
        if (!kwargs) return missing_a();
        auto key = A_KEY.get();
        if (!key) return failure(std::move(key.error()));
        PyObject* found = nullptr;
        const int status = PyDict_GetItemRef(kwargs.get(), *key, &found);
        if (status < 0) return failure();
        if (status == 0) return missing_a();
        a = Ref::steal(found);
        if (auto r = check_status(PyDict_DelItem(kwargs.get(), *key)); !r) return failure(std::move(r.error()));
        rest = Ref::steal(PyTuple_New(0));
        if (!rest) return failure();
    }
    if (kwargs && PyDict_GET_SIZE(kwargs.get()) == 0) kwargs.reset();
    return f(a.get(), rest.get(), kwargs.get());
}

}  // namespace corvantile::python
