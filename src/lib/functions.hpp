#pragma once

#include <Python.h>

#include <span>

namespace corvantile::python {

// The sixteen argument-parsed module functions, in the order the module body adds them.
std::span<PyMethodDef> module_functions();

}  // namespace corvantile::python
