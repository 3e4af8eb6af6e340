#pragma once

#include "python/error.hpp"

namespace corvantile::python {

// Adds a name to a module: appends it to the module's __all__ (a list made on the first
// addition), then sets the attribute. A name added twice is appended twice.
Result<> add_to_module(PyObject* module, PyObject* name, PyObject* value);
Result<> add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace corvantile::python
