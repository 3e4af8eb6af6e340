#pragma once

// The fast module functions: made at start-up from name tables, each with one fast
// call entry (positional vector plus keyword names, no argument parsing).

#include "python/error.hpp"

namespace corvantile::python {

using RawEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Makes a fast-call function object named `name` (doc: text signature header, then the
// doc text) in the module's namespace and adds it to the module.
Result<> register_raw(PyObject* module, const char* name, const char* doc, RawEntry entry);

Result<> register_unary(PyObject* module);
Result<> register_binary(PyObject* module);
Result<> register_method_functions(PyObject* module);
Result<> register_binary_math(PyObject* module);
Result<> register_predicates(PyObject* module);
Result<> register_bool_reductions(PyObject* module);

}  // namespace corvantile::python
