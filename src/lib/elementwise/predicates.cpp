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

// P's test of a view's layout into o in the layout's order: one run stepping two to four
// elements at a time tested where it lies, which costs less than gathering the elements,
// a backward one forward a block at a time, each block's results turned round; others
// block by block (backward rows alike).
template <class P>
bool test_walked(const walk::Strided& layout, Bool* o) {
    if (const auto run = walk::stepped_run(layout, sizeof(double), 4)) {
        const auto* low = reinterpret_cast<const double*>(run->low);
        if (!run->backward) {
            loops::float_test_stepped(P::kernel, low, run->k, o, run->count);
            return true;
        }
        Bool turned[walk::KERNEL_BLOCK];
        for (std::size_t done = 0; done < run->count;) {
            const std::size_t n = std::min<std::size_t>(walk::KERNEL_BLOCK, run->count - done);
            loops::float_test_stepped(P::kernel, low + run->k * (run->count - done - n), run->k, turned, n);
            walk::reverse_copy(static_cast<const Bool*>(turned), o + done, n);
            done += n;
        }
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
