#pragma once

// The patch switch: while it is on, the creation functions give NumPy's result when the
// Python function that called them is named "__array__".

#include "python/error.hpp"

#include <atomic>

namespace corvantile::python {

// Process-wide; read and written without ordering.
inline std::atomic<bool> PATCH_ACTIVE{false};

// The body of the module function _set_patch_active(active).
Result<Ref> set_patch_active(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Whether the switch is on and the calling Python function is named "__array__".
// Never raises.
bool called_from_dunder_array() noexcept;

}  // namespace corvantile::python
