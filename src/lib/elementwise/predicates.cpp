// The float predicates isnan, isfinite, isinf and signbit: a bool array for a float64
// array, numpy.bool_ for a Python number, NumPy's answer for everything else.

#include "array/stepped.hpp"
#include "lib/registry.hpp"
#include "python/numpy/numpy.hpp"
#include "python/operators/operator_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace corvantile::python {

namespace {

// o[0..n) reversed in place.
CORVANTILE_CLONES void reverse_bytes(Bool* o, std::size_t n) noexcept {
    using V = std::uint8_t __attribute__((vector_size(32)));
    std::size_t i = 0, j = n;
    for (; j - i >= 64; i += 32, j -= 32) {
        V a, b;
        std::memcpy(&a, o + i, 32);
        std::memcpy(&b, o + j - 32, 32);
        a = __builtin_shufflevector(a, a, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                    12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        b = __builtin_shufflevector(b, b, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                    12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        std::memcpy(o + i, &b, 32);
        std::memcpy(o + j - 32, &a, 32);
    }
    std::reverse(o + i, o + j);
}

// P's test of a large view that steps back one element at a time through one stretch
// (a reversal): tested forward through memory, then the results reversed; null where
// the view is another.
template <class P>
std::optional<Result<Ref>> test_reversed(const Array<double>& a, const walk::Strided& view) {
    const walk::Strided s = walk::simplify(view);
    if (a.len() < KEEP_ORDER_FROM || s.ndim != 1 || s.strides[0] != -8) return std::nullopt;
    Bool* out = nullptr;
    auto r = create_unwritten<Bool>(ArrayDims::c_of_valid(a.shape(), sizeof(Bool)), out);
    if (!r) return r;
    const std::size_t n = a.len();
    loops::float_test(P::kernel, reinterpret_cast<const double*>(s.data) - (n - 1), out, n);
    reverse_bytes(out, n);
    return r;
}

// P's test of n contiguous elements, as a block kernel (true: a test cannot fail).
template <class P>
bool test_block(const double* v, Bool* o, std::size_t n) noexcept {
    loops::float_test(P::kernel, v, o, n);
    return true;
}

// P's test of a view's layout into o in the layout's order: one run stepping two elements
// at a time (every other element of a stretch) tested where it lies, which costs less
// than gathering the elements, and backward ones then reversed; others block by block.
template <class P>
bool test_walked(const walk::Strided& layout, Bool* o) {
    if (const auto run = walk::every_other(layout, sizeof(double))) {
        loops::float_test_stepped(P::kernel, reinterpret_cast<const double*>(run->low), o, run->count);
        if (run->backward) reverse_bytes(o, run->count);
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
            if (auto r = test_reversed<P>(*a, *view)) return std::move(*r);
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
