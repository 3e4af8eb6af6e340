// The / operator.

#include "python/operators/binary.hpp"

namespace corvantile::python {

// For the arithmetic module functions.
template Result<std::optional<Ref>> operator_function<Div>(PyObject*, PyObject*);

PyObject* nb_true_divide(PyObject* l, PyObject* r) noexcept { return entry<&binary::arith_slot<Div>>(l, r); }

}  // namespace corvantile::python
