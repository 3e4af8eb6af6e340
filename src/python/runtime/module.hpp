#pragma once

// Module-level state and helpers: adding names to a module, and the patch switch.

#include "python/runtime/error.hpp"

#include <atomic>

namespace corvantile::python {

// Adds a name to a module: appends it to the module's __all__ (a list made on the first
// addition), then sets the attribute. A name added twice is appended twice.
Result<> add_to_module(PyObject* module, PyObject* name, PyObject* value);
Result<> add_to_module(PyObject* module, const char* name, PyObject* value);

// ---- The patch switch: while it is on, the creation functions give NumPy's result when the
// Python function that called them is named "__array__".

// Process-wide; read and written without ordering.
inline std::atomic<bool> PATCH_ACTIVE{false};

// The body of the module function _set_patch_active(active).
Result<Ref> set_patch_active(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Whether the switch is on and the calling Python function is named "__array__".
// Never raises.
bool called_from_dunder_array() noexcept;

}  // namespace corvantile::python
