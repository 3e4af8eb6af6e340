// The float predicates isnan, isfinite, isinf and signbit: a bool array for a float64
// array, numpy.bool_ for a Python number, NumPy's answer for everything else.

#include "lib/registry.hpp"
#include "python/numpy/numpy.hpp"
#include "python/operators/operator_kernels.hpp"

namespace corvantile::python {

namespace {

template <class P>
Result<Ref> predicate_native(std::string_view np_name, PyObject* x) {
    if (is_ndarray(x)) {
        const ViewRead read = read_of(*PyArray::of(x));
        const Array<double>* a = read.value().get_if<double>();
        if (a == nullptr) return fallback::call(np_name, {x});
        if (const walk::Strided* view = read.in_place()) {
            return map_view_runs<Bool, double>(a->dims(), *view, [](const double* v, Bool* o, std::size_t n) {
                loops::float_test(P::kernel, v, o, n);
                return true;
            });
        }
        Bool* out = nullptr;
        auto r = ops::result_like<Bool>(*a, out);
        if (!r) return r;
        // A few elements are tested one by one, cheaper than the kernel's dispatch.
        if (a->len() <= 8) {
            for (std::size_t i = 0; i < a->len(); ++i) out[i] = to_bool(P::test(a->data()[i]));
        } else {
            loops::float_test(P::kernel, a->data(), out, a->len());
        }
        return r;
    }
    PyTypeObject* type = Py_TYPE(x);
    if (type == &PyFloat_Type) return np_bool(P::test(PyFloat_AS_DOUBLE(x)));
    if (PyType_IsSubtype(type, &PyFloat_Type) || PyLong_Check(x)) {  // int, bool and their subclasses
        const double v = PyFloat_AsDouble(x);
        if (v == -1.0 && PyErr_Occurred()) return failure();  // OverflowError for a huge int
        return np_bool(P::test(v));
    }
    return fallback::call(np_name, {x});
}

template <class P>
constexpr const Row& row = element_row<P, &predicate_native<P>>;

using namespace ops;

constexpr Row ROWS[] = {row<IsNan>, row<IsFinite>, row<IsInf>, row<SignBit>};

}  // namespace

Result<> register_predicates(PyObject* module) { return register_rows(module, ROWS); }

}  // namespace corvantile::python
