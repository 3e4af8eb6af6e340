// The // operator.

#include "python/operators/binary.hpp"

namespace corvantile::python {

// For the arithmetic module functions.
template Result<std::optional<Ref>> operator_function<FloorDiv>(PyObject*, PyObject*);

PyObject* nb_floor_divide(PyObject* l, PyObject* r) noexcept { return entry<&binary::arith_slot<FloorDiv>>(l, r); }

}  // namespace corvantile::python
