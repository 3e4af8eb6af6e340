// The % operator.

#include "python/operators/binary.hpp"

namespace corvantile::python {

// For the arithmetic module functions.
template Result<std::optional<Ref>> operator_function<Mod>(PyObject*, PyObject*);

PyObject* nb_remainder(PyObject* l, PyObject* r) noexcept { return entry<&binary::arith_slot<Mod>>(l, r); }

}  // namespace corvantile::python
