#include "lib/registry.hpp"

#include "array/error.hpp"
#include "lib/forward.hpp"
#include "python/module_add.hpp"

#include <span>

namespace corvantile::python {

namespace {

struct Row {
    const char* name;
    const char* doc;  // "name(signature)\n--\n\n" then the doc text
    RawEntry entry;
};

Result<> register_rows(PyObject* module, std::span<const Row> rows) {
    for (const Row& row : rows) {
        if (auto r = register_raw(module, row.name, row.doc, row.entry); !r) return r;
    }
    return {};
}

// Each family's docstring, with the row's name in every place.
#define CV_UNARY(n)                                                                                   \
    Row{#n,                                                                                           \
        #n "(x, /, out=None, *, where=True, dtype=None)\n--\n\nElement-wise `" #n                     \
           "` with NumPy semantics: native for corvantile arrays (returns corvantile) and Python "    \
           "numbers (returns float), NumPy for anything else.",                                       \
        &forward_raw<#n>}
#define CV_BINARY(n)                                                                                  \
    Row{#n,                                                                                           \
        #n "(x1, x2, /, out=None, *, where=True, dtype=None)\n--\n\nElement-wise `" #n                \
           "(x1, x2)` with NumPy semantics and broadcasting: native when either operand is a "        \
           "corvantile array, NumPy otherwise.",                                                      \
        &forward_raw<#n>}
#define CV_BINARY_MATH(n)                                                                             \
    Row{#n,                                                                                           \
        #n "(x1, x2, /, out=None, *, where=True, dtype=None)\n--\n\nElement-wise `" #n                \
           "(x1, x2)` with NumPy semantics and broadcasting: native for corvantile arrays and "       \
           "scalars, NumPy otherwise.",                                                               \
        &forward_raw<#n>}
#define CV_PREDICATE(n)                                                                               \
    Row{#n,                                                                                           \
        #n "(x, /, out=None, *, where=True)\n--\n\nElement-wise `" #n                                 \
           "` with NumPy semantics: native for float64 corvantile arrays (returns a bool "            \
           "corvantile) and Python numbers (returns np.bool_), NumPy otherwise.",                     \
        &forward_raw<#n>}
#define CV_BOOL_REDUCTION(n)                                                                          \
    Row{#n,                                                                                           \
        #n "(a, axis=None, out=None, keepdims=False, *, where=True)\n--\n\nNative for corvantile "    \
           "arrays and NumPy bool arrays, NumPy otherwise.",                                          \
        &forward_raw<#n>}
#define CV_METHOD(n, signature)                                                                       \
    Row{#n,                                                                                           \
        #n signature "\n--\n\nThe same as the `" #n "` method for corvantile arrays (native when the " \
                     "arguments allow it), NumPy's function otherwise.",                              \
        &forward_raw<#n>}

constexpr Row UNARY[] = {
    CV_UNARY(sin),     CV_UNARY(cos),        CV_UNARY(tan),      CV_UNARY(arcsin),   CV_UNARY(arccos),
    CV_UNARY(arctan),  CV_UNARY(sinh),       CV_UNARY(cosh),     CV_UNARY(tanh),     CV_UNARY(arcsinh),
    CV_UNARY(arccosh), CV_UNARY(arctanh),    CV_UNARY(exp),      CV_UNARY(exp2),     CV_UNARY(expm1),
    CV_UNARY(log),     CV_UNARY(log2),       CV_UNARY(log10),    CV_UNARY(log1p),    CV_UNARY(sqrt),
    CV_UNARY(cbrt),    CV_UNARY(square),     CV_UNARY(reciprocal), CV_UNARY(absolute), CV_UNARY(fabs),
    CV_UNARY(negative), CV_UNARY(positive),  CV_UNARY(sign),     CV_UNARY(floor),    CV_UNARY(ceil),
    CV_UNARY(trunc),   CV_UNARY(rint),       CV_UNARY(deg2rad),  CV_UNARY(rad2deg),  CV_UNARY(radians),
    CV_UNARY(degrees),
};

constexpr Row BINARY[] = {
    CV_BINARY(add),          CV_BINARY(subtract),  CV_BINARY(multiply), CV_BINARY(divide), CV_BINARY(true_divide),
    CV_BINARY(floor_divide), CV_BINARY(remainder), CV_BINARY(mod_),     CV_BINARY(power),
};

constexpr Row METHOD_FUNCTIONS[] = {
    CV_METHOD(sum, "(a, axis=None, dtype=None, out=None, keepdims=False, initial=0, where=True)"),
    CV_METHOD(prod, "(a, axis=None, dtype=None, out=None, keepdims=False, initial=1, where=True)"),
    CV_METHOD(mean, "(a, axis=None, dtype=None, out=None, keepdims=False, *, where=True)"),
    CV_METHOD(max, "(a, axis=None, out=None, keepdims=False, initial=None, where=True)"),
    CV_METHOD(min, "(a, axis=None, out=None, keepdims=False, initial=None, where=True)"),
    CV_METHOD(var, "(a, axis=None, dtype=None, out=None, ddof=0, keepdims=False, *, where=True, mean=None, "
                   "correction=None)"),
    CV_METHOD(std, "(a, axis=None, dtype=None, out=None, ddof=0, keepdims=False, *, where=True, mean=None, "
                   "correction=None)"),
    CV_METHOD(argmax, "(a, axis=None, out=None, *, keepdims=False)"),
    CV_METHOD(argmin, "(a, axis=None, out=None, *, keepdims=False)"),
    CV_METHOD(cumsum, "(a, axis=None, dtype=None, out=None)"),
    CV_METHOD(cumprod, "(a, axis=None, dtype=None, out=None)"),
    CV_METHOD(dot, "(a, b, out=None)"),
    CV_METHOD(clip, "(a, min=None, max=None, out=None, **kwargs)"),
    CV_METHOD(round, "(a, decimals=0, out=None)"),
    CV_METHOD(reshape, "(a, shape=None, order='C', *, newshape=None, copy=None)"),
    CV_METHOD(copy, "(a, order='K', subok=False)"),
    CV_METHOD(nonzero, "(a)"),
    CV_METHOD(ravel, "(a, order='C')"),
    CV_METHOD(transpose, "(a, axes=None)"),
};

constexpr Row BINARY_MATH[] = {
    CV_BINARY_MATH(maximum), CV_BINARY_MATH(minimum), CV_BINARY_MATH(fmax),     CV_BINARY_MATH(fmin),
    CV_BINARY_MATH(arctan2), CV_BINARY_MATH(hypot),   CV_BINARY_MATH(copysign), CV_BINARY_MATH(logaddexp),
};

constexpr Row PREDICATES[] = {
    CV_PREDICATE(isnan),
    CV_PREDICATE(isfinite),
    CV_PREDICATE(isinf),
    CV_PREDICATE(signbit),
};

constexpr Row BOOL_REDUCTIONS[] = {
    CV_BOOL_REDUCTION(any),
    CV_BOOL_REDUCTION(all),
};

#undef CV_UNARY
#undef CV_BINARY
#undef CV_BINARY_MATH
#undef CV_PREDICATE
#undef CV_BOOL_REDUCTION
#undef CV_METHOD

}  // namespace

Result<> register_raw(PyObject* module, const char* name, const char* doc, RawEntry entry) {
    // The record lives as long as the function object, which nothing tracks: never freed.
    auto* def = new PyMethodDef{name, as_method(entry), METH_FASTCALL | METH_KEYWORDS, doc};
    auto module_name = check(PyModule_GetNameObject(module));
    if (!module_name) return failure(std::move(module_name.error()));
    auto function = check(PyCMethod_New(def, nullptr, module_name->get(), nullptr));
    if (!function) return failure(std::move(function.error()));
    Ref name_str = Ref::steal(PyUnicode_FromString(name));
    if (!name_str) {
        PyErr_Clear();
        internal_failure(std::string("ASCII name: not valid UTF-8: ") + name);
    }
    return add_to_module(module, name_str.get(), function->get());
}

Result<> register_unary(PyObject* module) { return register_rows(module, UNARY); }
Result<> register_binary(PyObject* module) { return register_rows(module, BINARY); }
Result<> register_method_functions(PyObject* module) { return register_rows(module, METHOD_FUNCTIONS); }
Result<> register_binary_math(PyObject* module) { return register_rows(module, BINARY_MATH); }
Result<> register_predicates(PyObject* module) { return register_rows(module, PREDICATES); }
Result<> register_bool_reductions(PyObject* module) { return register_rows(module, BOOL_REDUCTIONS); }

}  // namespace corvantile::python
