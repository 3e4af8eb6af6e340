#include "lib/method_functions.hpp"

#include "lib/forward.hpp"
#include "python/convert/classify.hpp"
#include "python/methods/methods.hpp"
#include "python/numpy/fallback.hpp"
#include "python/numpy/numpy.hpp"
#include "python/object/pyarray.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <format>
#include <vector>

namespace corvantile::python {

namespace {

using Body = Result<Ref> (*)(PyArray& self, const CallArgs& args);

bool is_exact_ndarray(PyObject* a) { return Py_TYPE(a) == ndarray_type_or_panic(); }

// a.<name>(*rest, **kwargs) through the interpreter when `as_method`, else
// numpy.<name>(a, *rest, **kwargs).
template <FixedString Name, bool as_method>
Result<Ref> call_with(PyObject* a, const CallArgs& rest) {
    auto name = NP_NAME<Name>.get();
    if (!name) return failure(std::move(name.error()));
    std::vector<PyObject*> call{a};
    call.insert(call.end(), rest.args, rest.args + rest.nargs + rest.keyword_count());
    if constexpr (as_method) {
        return check(PyObject_VectorcallMethod(*name, call.data(), static_cast<std::size_t>(1 + rest.nargs), rest.kwnames));
    } else {
        return fallback::call_vector(*name, call.data(), 1 + rest.nargs, rest.kwnames);
    }
}

template <FixedString Name>
Result<Ref> method_call(PyObject* a, const CallArgs& rest) { return call_with<Name, true>(a, rest); }
template <FixedString Name>
Result<Ref> numpy_call(PyObject* a, const CallArgs& rest) { return call_with<Name, false>(a, rest); }

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

// NumPy's function, where its method hands the call to a helper of another name (_sum,
// _amax, _any) or reads positionals differently: how many positionals after `a` mean the
// same to the method, and the parameters the function takes after `a`, positionals first
// and in order (none listed: any keyword).
// A call beyond either goes to the function, so that NumPy's answer, and the name in its
// message, are the function's.
struct FunctionParameters {
    std::string_view function;
    Py_ssize_t method_positionals;
    std::array<std::string_view, 8> keywords;
};
constexpr FunctionParameters FUNCTION_PARAMETERS[] = {
    {"sum", 6, {"axis", "dtype", "out", "keepdims", "initial", "where"}},
    {"prod", 6, {"axis", "dtype", "out", "keepdims", "initial", "where"}},
    {"mean", 4, {"axis", "dtype", "out", "keepdims", "where"}},
    {"max", 5, {"axis", "out", "keepdims", "initial", "where"}},
    {"min", 5, {"axis", "out", "keepdims", "initial", "where"}},
    {"var", 5, {"axis", "dtype", "out", "ddof", "keepdims", "where", "mean", "correction"}},
    {"std", 5, {"axis", "dtype", "out", "ddof", "keepdims", "where", "mean", "correction"}},
    {"clip", 3, {}},
    // the method's second positional is a dtype, the function's an output
    {"any", 1, {"axis", "out", "keepdims", "where"}},
    {"all", 1, {"axis", "out", "keepdims", "where"}},
    {"copy", 1, {"order", "subok"}},
    {"dot", 2, {"b", "out"}},
};

template <FixedString Name>
constexpr const FunctionParameters* PARAMETERS_OF = []() -> const FunctionParameters* {
    for (const auto& f : FUNCTION_PARAMETERS) {
        if (f.function == Name.view()) return &f;
    }
    return nullptr;
}();

// Whether NumPy's function must answer the call: the method road would refuse a call that
// the function answers, read it differently, or name another function in its error.
template <FixedString Name>
bool function_only(const CallArgs& rest) {
    constexpr const FunctionParameters* parameters = PARAMETERS_OF<Name>;
    if constexpr (parameters != nullptr) {
        if (rest.nargs > parameters->method_positionals) return true;
    }
    if (!rest.has_keywords()) return false;
    // `a` both by position and by keyword: NumPy's function names the clash.
    if (rest.keyword("a") != nullptr) return true;
    for (const auto& f : FUNCTION_ONLY) {
        if (f.function != Name.view()) continue;
        for (std::string_view key : f.keys) {
            if (!key.empty() && rest.keyword(key) != nullptr) return true;
        }
    }
    if constexpr (parameters != nullptr) {
        if (parameters->keywords[0].empty()) return false;
        for (Py_ssize_t i = 0; i < rest.keyword_count(); ++i) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(rest.kwnames, i), &size);
            if (text == nullptr) {
                PyErr_Clear();
                return true;  // NumPy's function reports what is wrong with the name
            }
            // Unknown, or also given by position: the function's parameters list its
            // positionals first, in order.
            const std::string_view key(text, static_cast<std::size_t>(size));
            const auto at = std::ranges::find(parameters->keywords, key);
            if (at == parameters->keywords.end() || at - parameters->keywords.begin() < rest.nargs) return true;
        }
    }
    return false;
}

// Steps 2 and 3 of every method function: the object's own method for an ndarray
// instance, NumPy's function for anything else.
template <FixedString Name>
Result<Ref> method_or_numpy(PyObject* a, const CallArgs& rest) {
    if (is_ndarray(a) && !function_only<Name>(rest)) return method_call<Name>(a, rest);
    return numpy_call<Name>(a, rest);
}

// A member whose native step is call_native_method.
template <FixedString Name>
Result<Ref> by_name(PyObject* a, const CallArgs& rest) {
    if (is_exact_ndarray(a) && !function_only<Name>(rest)) {
        if (auto r = call_native_method(a, Name.view(), rest)) return std::move(*r);
    }
    return method_or_numpy<Name>(a, rest);
}

// A member that runs its body directly.
template <FixedString Name, Body B>
Result<Ref> direct(PyObject* a, const CallArgs& rest) {
    if (is_exact_ndarray(a) && !function_only<Name>(rest)) return B(*PyArray::of(a), rest);
    return method_or_numpy<Name>(a, rest);
}

// any and all: a C-contiguous bool buffer of at least one dimension, alone, is answered
// here without NumPy.
template <FixedString Name, bool All>
Result<Ref> bool_reduction(PyObject* a, const CallArgs& rest) {
    if (is_ndarray(a) && !function_only<Name>(rest)) {
        if (is_exact_ndarray(a)) {
            if (auto r = call_native_method(a, Name.view(), rest)) return std::move(*r);
        }
        return method_call<Name>(a, rest);
    }
    if (rest.empty()) {
        if (auto mask = bool_mask(a)) {
            const auto& v = mask->values;
            if constexpr (All) {
                return np_bool(std::ranges::none_of(v, [](Bool b) { return b == Bool{0}; }));
            } else {
                return np_bool(std::ranges::any_of(v, [](Bool b) { return b != Bool{0}; }));
            }
        }
    }
    return numpy_call<Name>(a, rest);
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

}  // namespace

std::optional<Result<Ref>> call_native_method(PyObject* a, std::string_view name, const CallArgs& rest) {
    PyArray& self = *PyArray::of(a);
    if (name == "dot") {
        if (rest.nargs != 1 || rest.has_keywords()) return std::nullopt;
        const Ref other = Ref::borrow(rest[0]);
        return dot(self, other.get());
    }
    for (const NamedBody& b : NATIVE_BODIES) {
        if (b.name == name) return b.body(self, rest);
    }
    return std::nullopt;
}

Result<Ref> sum_fn(PyObject* a, const CallArgs& rest) { return by_name<"sum">(a, rest); }
Result<Ref> prod_fn(PyObject* a, const CallArgs& rest) { return by_name<"prod">(a, rest); }
Result<Ref> mean_fn(PyObject* a, const CallArgs& rest) { return by_name<"mean">(a, rest); }
Result<Ref> max_fn(PyObject* a, const CallArgs& rest) { return by_name<"max">(a, rest); }
Result<Ref> min_fn(PyObject* a, const CallArgs& rest) { return by_name<"min">(a, rest); }
Result<Ref> var_fn(PyObject* a, const CallArgs& rest) { return by_name<"var">(a, rest); }
Result<Ref> std_fn(PyObject* a, const CallArgs& rest) { return by_name<"std">(a, rest); }
Result<Ref> argmax_fn(PyObject* a, const CallArgs& rest) { return by_name<"argmax">(a, rest); }
Result<Ref> argmin_fn(PyObject* a, const CallArgs& rest) { return by_name<"argmin">(a, rest); }
Result<Ref> cumsum_fn(PyObject* a, const CallArgs& rest) { return by_name<"cumsum">(a, rest); }
Result<Ref> cumprod_fn(PyObject* a, const CallArgs& rest) {
    return direct<"cumprod", &cumprod_method>(a, rest);
}
Result<Ref> dot_fn(PyObject* a, const CallArgs& rest) { return by_name<"dot">(a, rest); }
Result<Ref> clip_fn(PyObject* a, const CallArgs& rest) { return by_name<"clip">(a, rest); }
Result<Ref> round_fn(PyObject* a, const CallArgs& rest) {
    return direct<"round", &round_method>(a, rest);
}
Result<Ref> reshape_fn(PyObject* a, const CallArgs& rest) {
    return direct<"reshape", &reshape_method>(a, rest);
}
Result<Ref> copy_fn(PyObject* a, const CallArgs& rest) { return by_name<"copy">(a, rest); }
Result<Ref> nonzero_fn(PyObject* a, const CallArgs& rest) {
    return method_or_numpy<"nonzero">(a, rest);
}
Result<Ref> ravel_fn(PyObject* a, const CallArgs& rest) {
    return direct<"ravel", &ravel_method>(a, rest);
}
Result<Ref> transpose_fn(PyObject* a, const CallArgs& rest) {
    return direct<"transpose", &transpose_method>(a, rest);
}
Result<Ref> any_fn(PyObject* a, const CallArgs& rest) {
    return bool_reduction<"any", false>(a, rest);
}
Result<Ref> all_fn(PyObject* a, const CallArgs& rest) { return bool_reduction<"all", true>(a, rest); }

Result<Ref> method_entry(std::string_view name, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                         MethodFunction f) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
    if (kwnames != nullptr && !PyTuple_Check(kwnames)) return failure(Error::type_error("keyword names must be a tuple"));
    if (nargs >= 1) return f(args[0], CallArgs{args + 1, nargs - 1, kwnames});

    // `a` given by keyword: the other keywords stay, in their order.
    const Py_ssize_t nk = CallArgs{args, 0, kwnames}.keyword_count();
    Py_ssize_t at = 0;
    while (at < nk && !PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, at), "a")) ++at;
    if (at == nk) return failure(Error::type_error(std::format("{}() missing 1 required positional argument: 'a'", name)));
    std::vector<PyObject*> values;
    values.reserve(static_cast<std::size_t>(nk));
    Ref names;
    if (nk > 1) {
        names = Ref::steal(PyTuple_New(nk - 1));
        if (!names) return failure();
    }
    for (Py_ssize_t i = 0, k = 0; i < nk; ++i) {
        if (i == at) continue;
        values.push_back(args[i]);
        PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(PyTuple_GET_ITEM(kwnames, i)));
    }
    return f(args[at], CallArgs{values.data(), 0, names.get()});
}

}  // namespace corvantile::python
