// The binary mathematical module functions (maximum, minimum, fmax, fmin, arctan2,
// hypot, copysign, logaddexp): native for float64 arrays with float64 arrays, ints and
// floats, and for two plain Python floats; NumPy's answer for everything else.

#include "lib/registry.hpp"
#include "python/operators/operator_kernels.hpp"

#include <optional>

namespace corvantile::python {

namespace {

// f(a element, x) for a float64 operand x: a float64 array (same layout: one pass;
// otherwise broadcast) or a float or int (rounded to nearest); a bool does not take part.
// va: a's layout where it is a view read in place.
template <class F>
std::optional<Result<Ref>> with_operand(const Array<double>& a, ops::InPlace va, const Operand& operand, F f) {
    if (const auto* p = operand.get_if<Operand::F64Array>()) {
        const Array<double>& b = *p->array;
        if (a.dims() == b.dims()) return ops::zip_new<double>(a, b, f, va, p->in_place());
        return ops::zip_broadcast<double>(a, va, b, p->in_place(), f);
    }
    if (operand.is<Operand::BoolScalar>()) return std::nullopt;
    if (const auto s = operand.scalar_f64()) {
        return ops::map_new<double>(a, [f, v = *s](double x) { return f(x, v); }, va);
    }
    return std::nullopt;
}

// Op(x1, x2): element by element when either is a float64 array, a float for two plain
// floats, NumPy for every other pair.
template <class Op>
Result<Ref> binary_math_native(std::string_view np_name, PyObject* x1, PyObject* x2) {
    constexpr Op f{};
    if (PyFloat_CheckExact(x1) && PyFloat_CheckExact(x2)) {
        return check(PyFloat_FromDouble(f(PyFloat_AS_DOUBLE(x1), PyFloat_AS_DOUBLE(x2))));
    }
    if (!is_ndarray(x1) && !is_ndarray(x2)) return fallback::call(np_name, {x1, x2});
    const Operand p = classify_in_place(x1);
    if (p.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    const Operand q = classify_in_place(x2);
    if (q.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    std::optional<Result<Ref>> r;
    if (const auto* pa = p.get_if<Operand::F64Array>()) {
        r = with_operand(*pa->array, pa->in_place(), q, f);
    } else if (const auto* qb = q.get_if<Operand::F64Array>()) {
        r = with_operand(*qb->array, qb->in_place(), p, [](double x, double v) { return Op{}(v, x); });
    }
    if (r) return std::move(*r);
    return fallback::call(np_name, {x1, x2});
}

template <class Op>
constexpr const Row& row = element_row<Op, &binary_math_native<Op>>;

using namespace ops;

constexpr Row ROWS[] = {
    row<Maximum>, row<Minimum>, row<Fmax>, row<Fmin>, row<Arctan2>, row<Hypot>, row<Copysign>, row<Logaddexp>,
};

}  // namespace

Result<> register_binary_math(PyObject* module) { return register_rows(module, ROWS); }

}  // namespace corvantile::python
