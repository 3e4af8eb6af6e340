#include "lib/registry.hpp"

#include "array/error.hpp"
#include "lib/binary.hpp"
#include "lib/binary_math.hpp"
#include "lib/forward.hpp"
#include "lib/method_functions.hpp"
#include "lib/predicates.hpp"
#include "lib/unary.hpp"
#include "python/runtime/module.hpp"

#include <span>

namespace corvantile::python {

namespace {

// Each family's docstring, with the row's name in every place.
#define CV_UNARY(n, op)                                                                               \
    Row{#n,                                                                                           \
        #n "(x, /, out=None, *, where=True, dtype=None)\n--\n\nElement-wise `" #n                     \
           "` with NumPy semantics: native for corvantile arrays (returns corvantile) and Python "    \
           "numbers (returns float), NumPy for anything else.",                                       \
        &fast_entry<#n, &unary_native<op>>}
#define CV_BINARY(n, op)                                                                              \
    Row{#n,                                                                                           \
        #n "(x1, x2, /, out=None, *, where=True, dtype=None)\n--\n\nElement-wise `" #n                \
           "(x1, x2)` with NumPy semantics and broadcasting: native when either operand is a "        \
           "corvantile array, NumPy otherwise.",                                                      \
        &fast_entry<#n, &arith_native<op>>}
#define CV_BINARY_MATH(n, op)                                                                         \
    Row{#n,                                                                                           \
        #n "(x1, x2, /, out=None, *, where=True, dtype=None)\n--\n\nElement-wise `" #n                \
           "(x1, x2)` with NumPy semantics and broadcasting: native for corvantile arrays and "       \
           "scalars, NumPy otherwise.",                                                               \
        &fast_entry<#n, &binary_math_native<op>>}
#define CV_PREDICATE(n, test)                                                                         \
    Row{#n,                                                                                           \
        #n "(x, /, out=None, *, where=True)\n--\n\nElement-wise `" #n                                 \
           "` with NumPy semantics: native for float64 corvantile arrays (returns a bool "            \
           "corvantile) and Python numbers (returns np.bool_), NumPy otherwise.",                     \
        &fast_entry<#n, &predicate_native<test>>}
#define CV_BOOL_REDUCTION(n)                                                                          \
    Row{#n,                                                                                           \
        #n "(a, axis=None, out=None, keepdims=False, *, where=True)\n--\n\nNative for corvantile "    \
           "arrays and NumPy bool arrays, NumPy otherwise.",                                          \
        &method_raw<#n, &n##_fn>}
#define CV_METHOD(n, signature)                                                                       \
    Row{#n,                                                                                           \
        #n signature "\n--\n\nThe same as the `" #n "` method for corvantile arrays (native when the " \
                     "arguments allow it), NumPy's function otherwise.",                              \
        &method_raw<#n, &n##_fn>}

constexpr Row UNARY[] = {
    CV_UNARY(sin, UnaryOp::Sin),
    CV_UNARY(cos, UnaryOp::Cos),
    CV_UNARY(tan, UnaryOp::Tan),
    CV_UNARY(arcsin, UnaryOp::Arcsin),
    CV_UNARY(arccos, UnaryOp::Arccos),
    CV_UNARY(arctan, UnaryOp::Arctan),
    CV_UNARY(sinh, UnaryOp::Sinh),
    CV_UNARY(cosh, UnaryOp::Cosh),
    CV_UNARY(tanh, UnaryOp::Tanh),
    CV_UNARY(arcsinh, UnaryOp::Arcsinh),
    CV_UNARY(arccosh, UnaryOp::Arccosh),
    CV_UNARY(arctanh, UnaryOp::Arctanh),
    CV_UNARY(exp, UnaryOp::Exp),
    CV_UNARY(exp2, UnaryOp::Exp2),
    CV_UNARY(expm1, UnaryOp::Expm1),
    CV_UNARY(log, UnaryOp::Log),
    CV_UNARY(log2, UnaryOp::Log2),
    CV_UNARY(log10, UnaryOp::Log10),
    CV_UNARY(log1p, UnaryOp::Log1p),
    CV_UNARY(sqrt, UnaryOp::Sqrt),
    CV_UNARY(cbrt, UnaryOp::Cbrt),
    CV_UNARY(square, UnaryOp::Square),
    CV_UNARY(reciprocal, UnaryOp::Reciprocal),
    CV_UNARY(absolute, UnaryOp::Absolute),
    CV_UNARY(fabs, UnaryOp::Absolute),
    CV_UNARY(negative, UnaryOp::Negative),
    CV_UNARY(positive, UnaryOp::Positive),
    CV_UNARY(sign, UnaryOp::Sign),
    CV_UNARY(floor, UnaryOp::Floor),
    CV_UNARY(ceil, UnaryOp::Ceil),
    CV_UNARY(trunc, UnaryOp::Trunc),
    CV_UNARY(rint, UnaryOp::Rint),
    CV_UNARY(deg2rad, UnaryOp::Deg2rad),
    CV_UNARY(rad2deg, UnaryOp::Rad2deg),
    CV_UNARY(radians, UnaryOp::Deg2rad),
    CV_UNARY(degrees, UnaryOp::Rad2deg),
};

constexpr Row BINARY[] = {
    CV_BINARY(add, Arith::add),
    CV_BINARY(subtract, Arith::subtract),
    CV_BINARY(multiply, Arith::multiply),
    CV_BINARY(divide, Arith::divide),
    CV_BINARY(true_divide, Arith::divide),
    CV_BINARY(floor_divide, Arith::floor_divide),
    CV_BINARY(remainder, Arith::remainder),
    CV_BINARY(mod_, Arith::remainder),
    CV_BINARY(power, Arith::power),
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
    CV_BINARY_MATH(maximum, BinaryMathOp::Maximum),
    CV_BINARY_MATH(minimum, BinaryMathOp::Minimum),
    CV_BINARY_MATH(fmax, BinaryMathOp::Fmax),
    CV_BINARY_MATH(fmin, BinaryMathOp::Fmin),
    CV_BINARY_MATH(arctan2, BinaryMathOp::Arctan2),
    CV_BINARY_MATH(hypot, BinaryMathOp::Hypot),
    CV_BINARY_MATH(copysign, BinaryMathOp::Copysign),
    CV_BINARY_MATH(logaddexp, BinaryMathOp::Logaddexp),
};

constexpr Row PREDICATES[] = {
    CV_PREDICATE(isnan, Predicate::IsNan),
    CV_PREDICATE(isfinite, Predicate::IsFinite),
    CV_PREDICATE(isinf, Predicate::IsInf),
    CV_PREDICATE(signbit, Predicate::SignBit),
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

Result<> register_rows(PyObject* module, std::span<const Row> rows) {
    for (const Row& row : rows) {
        if (auto r = register_raw(module, row.name, row.doc, row.entry); !r) return r;
    }
    return {};
}

Result<> register_unary(PyObject* module) { return register_rows(module, UNARY); }
Result<> register_binary(PyObject* module) { return register_rows(module, BINARY); }
Result<> register_method_functions(PyObject* module) { return register_rows(module, METHOD_FUNCTIONS); }
Result<> register_binary_math(PyObject* module) { return register_rows(module, BINARY_MATH); }
Result<> register_predicates(PyObject* module) { return register_rows(module, PREDICATES); }
Result<> register_bool_reductions(PyObject* module) { return register_rows(module, BOOL_REDUCTIONS); }

}  // namespace corvantile::python
