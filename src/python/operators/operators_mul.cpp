// The * operator.

#include "python/operators/binary.hpp"

namespace corvantile::python {

// For the arithmetic module functions.
template Result<std::optional<Ref>> operator_function<Mul>(PyObject*, PyObject*);

PyObject* nb_multiply(PyObject* l, PyObject* r) noexcept { return entry<&binary::arith_slot<Mul>>(l, r); }

}  // namespace corvantile::python
