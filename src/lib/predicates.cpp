#include "lib/predicates.hpp"

#include "array/loops.hpp"
#include "array/error.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/numpy/numpy.hpp"
#include "python/ndarray/pyarray.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace corvantile::python {

namespace {

using enum Predicate;

constexpr double INF = std::numeric_limits<double>::infinity();

// Each test is one compare or bit extraction, so the array loop vectorises.
template <Predicate P>
inline bool test(double v) noexcept {
    if constexpr (P == IsNan) return v != v;
    else if constexpr (P == IsFinite) return std::fabs(v) < INF;  // NaN compares false
    else if constexpr (P == IsInf) return std::fabs(v) == INF;
    else if constexpr (P == SignBit) return static_cast<bool>(std::bit_cast<std::uint64_t>(v) >> 63);
    else static_assert(false, "unknown predicate");
}

template <Predicate P>
Result<Ref> test_array(const Array<double>& a) {
    auto dims = ArrayDims::make(a.shape(), 1);
    if (!dims) internal_failure("bool result dims: " + dims.error().message());
    Bool* out = nullptr;
    auto result = create_unwritten<Bool>(*dims, out);
    if (result) loops::map_loop(a.data(), out, a.len(), [](double v) { return to_bool(test<P>(v)); });
    return result;
}

template <Predicate P>
Result<Ref> predicate_of(std::string_view np_name, PyObject* x) {
    if (const Array<double>* a = f64_of(x)) return test_array<P>(*a);
    PyTypeObject* type = Py_TYPE(x);
    if (type == &PyFloat_Type) return np_bool(test<P>(PyFloat_AS_DOUBLE(x)));
    if (PyType_IsSubtype(type, &PyFloat_Type) || PyLong_Check(x)) {  // int, bool and their subclasses
        const double v = PyFloat_AsDouble(x);
        if (v == -1.0 && PyErr_Occurred()) return failure();  // OverflowError for a huge int
        return np_bool(test<P>(v));
    }
    return fallback::call(np_name, {x});
}

}  // namespace

Result<Ref> predicate(Predicate p, std::string_view np_name, PyObject* x) {
    switch (p) {
        case IsNan: return predicate_of<IsNan>(np_name, x);
        case IsFinite: return predicate_of<IsFinite>(np_name, x);
        case IsInf: return predicate_of<IsInf>(np_name, x);
        case SignBit: return predicate_of<SignBit>(np_name, x);
    }
    internal_failure("unknown predicate");
}

}  // namespace corvantile::python
