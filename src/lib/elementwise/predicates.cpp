// The float predicates isnan, isfinite, isinf and signbit: a bool array for a float64
// array, numpy.bool_ for a Python number, NumPy's answer for everything else.

#include "array/stepped.hpp"
#include "lib/registry.hpp"
#include "python/numpy/numpy.hpp"
#include "python/operators/operator_kernels.hpp"

#include <algorithm>
#include <optional>

namespace corvantile::python {

namespace {

// P's test of n contiguous elements, as a block kernel (true: a test cannot fail).
template <class P>
bool test_block(const double* v, Bool* o, std::size_t n) noexcept {
    loops::float_test(P::kernel, v, o, n);
    return true;
}

// P's test of a view's layout into o in the layout's order: one run stepping back or up to
// four elements at a time tested where it lies, which costs less than gathering the
// elements; others block by block.
template <class P>
bool test_walked(const walk::Strided& layout, Bool* o) {
    if (const auto run = walk::stepped_run(layout, sizeof(double), 4); run && (run->backward || run->k > 1)) {
        const auto k = static_cast<std::int64_t>(run->k);
        const auto* low = reinterpret_cast<const double*>(run->low);
        const double* first = run->backward ? low + k * static_cast<std::int64_t>(run->count - 1) : low;
        loops::float_test_stepped(P::kernel, first, run->backward ? -k : k, o, run->count);
        return true;
    }
    return walk::map_blocks<Bool, double>(layout, o, test_block<P>);
}

template <class P>
Result<Ref> predicate_native(std::string_view np_name, PyObject* x) {
    if (is_ndarray(x)) {
        const ViewRead read = read_of(*PyArray::of(x));
        const Array<double>* a = read.value().get_if<double>();
        if (a == nullptr) return fallback::call(np_name, {x});
        if (const walk::Strided* view = read.in_place()) {
            return view_result<Bool, double>(a->dims(), *view, test_block<P>,
                                             [](const walk::Strided& layout, Bool* o) { return test_walked<P>(layout, o); });
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
