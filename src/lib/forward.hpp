#pragma once

// Handing a module function's call to NumPy's function of the same name, unchanged.

#include "python/numpy/fallback.hpp"
#include "python/runtime/fixed_string.hpp"
#include "python/runtime/interned.hpp"

namespace corvantile::python {

// The interned NumPy name of a module function (the name without trailing underscores).
template <FixedString Name>
constinit Interned NP_NAME{NumpyName<Name>::c_str()};

// Body: numpy.<name>(*args, **kwargs) through the fallback module.
template <FixedString Name>
Result<Ref> forward(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto name = NP_NAME<Name>.get();
    if (!name) return failure(std::move(name.error()));
    return fallback::call_vector(*name, args, nargs, kwnames);
}

}  // namespace corvantile::python
