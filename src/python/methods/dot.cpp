#include "python/methods/methods.hpp"

#include "array/folds.hpp"
#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/numpy/numpy.hpp"
#include "python/object/pyarray.hpp"

#include <format>

namespace corvantile::python {

namespace {

constexpr Param DOT_PARAMS[] = {{"b", ParamKind::Either, true}, {"out"}};
constexpr Signature DOT{"ndarray.dot", DOT_PARAMS};

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
            return np_float(folds::lane_dot(x->data(), y->data(), x->len()));
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
