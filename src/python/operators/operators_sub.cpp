// The - operator.

#include "python/operators/binary.hpp"

namespace corvantile::python {

// For the arithmetic module functions.
template Result<std::optional<Ref>> operator_function<Sub>(PyObject*, PyObject*);

PyObject* nb_subtract(PyObject* l, PyObject* r) noexcept { return entry<&binary::arith_slot<Sub>>(l, r); }

}  // namespace corvantile::python
