#pragma once

// The NumPy road of every ndarray method body that declines a call.

#include "python/args.hpp"
#include "python/error.hpp"

#include <string_view>

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// corvantile._fallback.call_method(a, name, *args, **kwargs): NumPy's result or exception
// unchanged. args is a tuple (null reads as empty); kwargs may be null (no keywords) and
// an empty dictionary is passed on as it is.
Result<Ref> call_method_fallback(PyObject* a, std::string_view name, PyObject* args, PyObject* kwargs);
Result<Ref> call_method_fallback(PyArray& a, std::string_view name, PyObject* args, PyObject* kwargs);
// The same for the arguments of a fast call.
Result<Ref> call_method_fallback(PyArray& a, std::string_view name, const CallArgs& call);

}  // namespace corvantile::python
