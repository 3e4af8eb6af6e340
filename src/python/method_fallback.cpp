#include "python/method_fallback.hpp"

#include "python/fallback.hpp"
#include "python/pyarray.hpp"

#include <span>

namespace corvantile::python {

Result<Ref> call_method_fallback(PyObject* a, std::string_view name, PyObject* args, PyObject* kwargs) {
    std::span<PyObject* const> rest;
    if (args != nullptr && PyTuple_GET_SIZE(args) > 0) {
        rest = {&PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args))};
    }
    return fallback::call_method(a, name, rest, kwargs);
}

Result<Ref> call_method_fallback(PyArray& a, std::string_view name, PyObject* args, PyObject* kwargs) {
    return call_method_fallback(a.object(), name, args, kwargs);
}

Result<Ref> call_method_fallback(PyArray& a, std::string_view name, const CallArgs& call) {
    return fallback::call_method_vector(a.object(), name, call.args, call.nargs, call.kwnames);
}

}  // namespace corvantile::python
