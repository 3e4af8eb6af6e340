// The ** operator.

#include "python/operators/binary.hpp"

namespace corvantile::python {

// For the arithmetic module functions.
template Result<std::optional<Ref>> operator_function<Pow>(PyObject*, PyObject*);

PyObject* nb_power(PyObject* l, PyObject* r, PyObject* m) noexcept { return entry<&binary::power_slot>(l, r, m); }

}  // namespace corvantile::python
