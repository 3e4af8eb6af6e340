#include "python/dot.hpp"

#include "python/args.hpp"
#include "python/classify.hpp"
#include "python/fallback.hpp"
#include "python/numpy.hpp"
#include "python/pyarray.hpp"

#include <format>

namespace corvantile::python {

namespace {

constexpr Param DOT_PARAMS[] = {{"other", ParamKind::Either, true}, {"out"}};
constexpr Signature DOT{"ndarray.dot", DOT_PARAMS};

// The sum of x[i] * y[i] in the 8-lane order of the whole-array totals, read in place:
// products of the leading multiple of 8 go to lane i mod 8, the rest to a sequential tail,
// and the result is tail + lanes.
double lane_dot(const double* x, const double* y, std::size_t n) noexcept {
    const std::size_t m = n - n % 8;
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < m; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) lane[j] = lane[j] + y[i + j] * x[i + j];
    }
    const double lanes = m > 0 ? ((lane[3] + lane[7]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[0] + lane[4]))
                               : 0.0;
    double tail = -0.0;
    for (std::size_t i = m; i < n; ++i) tail = tail + y[i] * x[i];
    return tail + lanes;
}

}  // namespace

Result<Ref> dot(PyArray& self, PyObject* other) {
    self.refresh();
    const auto* x = self.value.get_if<double>();
    if (x != nullptr && x->ndim() == 1) {
        if (const Array<double>* y = f64_of(other); y != nullptr && y->ndim() == 1) {
            if (x->len() != y->len()) {
                return failure(array_error(
                    ArrayError::from_message(std::format("shapes ({},) and ({},) not aligned", x->len(), y->len()))));
            }
            return np_float(lane_dot(x->data(), y->data(), x->len()));
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
