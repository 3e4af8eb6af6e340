// The + operator.

#include "python/operators/binary.hpp"

namespace corvantile::python {

// For the arithmetic module functions.
template Result<std::optional<Ref>> operator_function<Add>(PyObject*, PyObject*);

PyObject* nb_add(PyObject* l, PyObject* r) noexcept { return entry<&binary::arith_slot<Add>>(l, r); }

}  // namespace corvantile::python
