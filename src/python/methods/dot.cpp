#include "python/methods/methods.hpp"

#include "array/folds.hpp"
#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/numpy/numpy.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <format>

namespace corvantile::python {

namespace {

constexpr Param DOT_PARAMS[] = {{"b", ParamKind::Either, true}, {"out"}};
constexpr Signature DOT{"ndarray.dot", DOT_PARAMS};

}  // namespace

Result<Ref> dot(PyArray& self, PyObject* other) {
    // Two 1-D float64 ndarrays, views read in place.
    if (self.value.kind() == ElementKind::F64 && self.value.dims().ndim() == 1 && is_ndarray(other)) {
        const PyArray& y = *PyArray::of(other);
        if (y.value.kind() == ElementKind::F64 && y.value.dims().ndim() == 1) {
            const std::uint64_t n = self.value.len(), m = y.value.len();
            if (n != m) {
                return failure(array_error(
                    ArrayError::from_message(std::format("shapes ({},) and ({},) not aligned", n, m))));
            }
            if (!self.strided && !y.strided) {
                return np_float(folds::lane_dot(self.value.get_if<double>()->data(), y.value.get_if<double>()->data(), n));
            }
            const Layout a = Layout::of(self), b = Layout::of(y);
            return np_float(folds::lane_dot(a.data, a.strides[0], b.data, b.strides[0], n));
        }
    }
    return fallback::call("dot", {self.object(), other});
}

Result<Ref> dot_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<2>(DOT, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    if (PyObject* out = bound->unless_none(1)) {  // NumPy writes into out and returns it
        PyObject* const rest[] = {(*bound)[0], out};
        return fallback::call_method(self.object(), "dot", rest);
    }
    return dot(self, (*bound)[0]);
}

}  // namespace corvantile::python
