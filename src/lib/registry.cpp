#include "lib/registry.hpp"

#include "array/error.hpp"
#include "lib/forward.hpp"
#include "lib/method_functions.hpp"
#include "python/operators/operations.hpp"
#include "python/runtime/module.hpp"

#include <span>

namespace corvantile::python {

namespace {

// A function that is the method of the same name for corvantile arrays.
template <FixedString Name, auto Fn, FixedString Signature>
constexpr Row method_row{
    Name.view(),
    std::string_view(ops::Joined<Name, Signature, "\n--\n\nThe same as the `", Name,
                            "` method for corvantile arrays (native when the arguments allow it), NumPy's "
                            "function otherwise.">::text.data()),
    &method_raw<Name, Fn>};

template <FixedString Name, auto Fn>
constexpr Row bool_reduction_row{
    Name.view(),
    std::string_view(ops::Joined<Name, "(a, axis=None, out=None, keepdims=False, *, where=True)\n--\n\nNative for "
                                  "corvantile arrays and NumPy bool arrays, NumPy otherwise.">::text.data()),
    &method_raw<Name, Fn>};

// Signatures that two functions share.
constexpr FixedString EXTREMUM = "(a, axis=None, out=None, keepdims=False, initial=None, where=True)";
constexpr FixedString SPREAD =
    "(a, axis=None, dtype=None, out=None, ddof=0, keepdims=False, *, where=True, mean=None, correction=None)";
constexpr FixedString ARG = "(a, axis=None, out=None, *, keepdims=False)";
constexpr FixedString RUNNING = "(a, axis=None, dtype=None, out=None)";

constexpr Row METHOD_FUNCTIONS[] = {
    method_row<"sum", &sum_fn, "(a, axis=None, dtype=None, out=None, keepdims=False, initial=0, where=True)">,
    method_row<"prod", &prod_fn, "(a, axis=None, dtype=None, out=None, keepdims=False, initial=1, where=True)">,
    method_row<"mean", &mean_fn, "(a, axis=None, dtype=None, out=None, keepdims=False, *, where=True)">,
    method_row<"max", &max_fn, EXTREMUM>, method_row<"min", &min_fn, EXTREMUM>,
    method_row<"var", &var_fn, SPREAD>, method_row<"std", &std_fn, SPREAD>,
    method_row<"argmax", &argmax_fn, ARG>, method_row<"argmin", &argmin_fn, ARG>,
    method_row<"cumsum", &cumsum_fn, RUNNING>, method_row<"cumprod", &cumprod_fn, RUNNING>,
    method_row<"dot", &dot_fn, "(a, b, out=None)">,
    method_row<"clip", &clip_fn, "(a, min=None, max=None, out=None, **kwargs)">,
    method_row<"round", &round_fn, "(a, decimals=0, out=None)">,
    method_row<"reshape", &reshape_fn, "(a, shape=None, order='C', *, newshape=None, copy=None)">,
    method_row<"copy", &copy_fn, "(a, order='K', subok=False)">, method_row<"nonzero", &nonzero_fn, "(a)">,
    method_row<"ravel", &ravel_fn, "(a, order='C')">, method_row<"transpose", &transpose_fn, "(a, axes=None)">,
};

constexpr Row BOOL_REDUCTIONS[] = {bool_reduction_row<"any", &any_fn>, bool_reduction_row<"all", &all_fn>};

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

Result<> register_rows(PyObject* module, std::span<const Row> rows) {
    for (const Row& row : rows) {
        if (auto r = register_raw(module, row.name, row.doc, row.entry); !r) return r;
    }
    return {};
}

Result<> register_method_functions(PyObject* module) { return register_rows(module, METHOD_FUNCTIONS); }
Result<> register_bool_reductions(PyObject* module) { return register_rows(module, BOOL_REDUCTIONS); }

}  // namespace corvantile::python
