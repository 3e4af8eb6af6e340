#include "lib/registry.hpp"
#include "python/numpy/numpy.hpp"
#include "python/operators/operator_kernels.hpp"

#include <optional>

namespace corvantile::python {

namespace {

// PyFloat_AsDouble, with -1.0 an error only when an exception is pending.
std::optional<double> as_double(PyObject* x) noexcept {
    const double v = PyFloat_AsDouble(x);
    if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
    return v;
}

// Op applied to x; np_name is the function's NumPy name, which an alias (radians)
// keeps on NumPy's road.
template <class Op>
Result<Ref> unary_native(std::string_view np_name, PyObject* x) {
    if (is_ndarray(x)) {
        const ViewRead read = read_of(*PyArray::of(x));
        return ops::unary_array<Op, false>(read.value(), np_name, x, read.in_place());
    }
    PyTypeObject* type = Py_TYPE(x);
    if (type == &PyFloat_Type) return check(PyFloat_FromDouble(Op::apply(PyFloat_AS_DOUBLE(x))));
    if (type == &PyLong_Type) {
        if constexpr (!Op::roads.int_scalar) return fallback::call(np_name, {x});
        auto v = as_double(x);  // OverflowError beyond the float64 range
        if (!v) return failure();
        return check(PyFloat_FromDouble(Op::apply(*v)));
    }
    if (PyType_IsSubtype(type, &PyFloat_Type)) {
        auto v = as_double(x);
        if (!v) return failure();
        return np_float(Op::apply(*v));
    }
    return fallback::call(np_name, {x});
}

template <class Op, FixedString As = Op::name>
constexpr const Row& row = element_row<Op, &unary_native<Op>, As>;

using namespace ops;

constexpr Row ROWS[] = {
    row<Sin>, row<Cos>, row<Tan>, row<Arcsin>, row<Arccos>, row<Arctan>,
    row<Sinh>, row<Cosh>, row<Tanh>, row<Arcsinh>, row<Arccosh>, row<Arctanh>,
    row<Exp>, row<Exp2>, row<Expm1>, row<Log>, row<Log2>, row<Log10>, row<Log1p>, row<Sqrt>, row<Cbrt>,
    row<Square>, row<Reciprocal>, row<Absolute>, row<Fabs>, row<Negative>, row<Positive>, row<Sign>,
    row<Floor>, row<Ceil>, row<Trunc>, row<Rint>,
    row<Deg2rad>, row<Rad2deg>, row<Deg2rad, "radians">, row<Rad2deg, "degrees">,
};

}  // namespace

Result<> register_unary(PyObject* module) { return register_rows(module, ROWS); }

}  // namespace corvantile::python
