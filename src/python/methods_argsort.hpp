#pragma once

// ndarray.argsort, and the keywords every argsort handed to NumPy carries.

#include "python/args.hpp"
#include "python/error.hpp"

#include <span>

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// The keywords for NumPy's argsort: a copy of kwargs (may be null) made stable, unless
// the caller chose a kind (a second positional in args, or "kind") or a stability (a
// "stable" that is not None). args are the positionals after the array.
Result<Ref> stable_by_default(std::span<PyObject* const> args, PyObject* kwargs);

// a.argsort(*args, **kwargs): native for a plain call on a 1-D float64 array.
Result<Ref> argsort_method(PyArray& self, const CallArgs& args);

}  // namespace corvantile::python
