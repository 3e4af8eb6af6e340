#include "lib/binary.hpp"

#include "python/numpy/fallback.hpp"

namespace corvantile::python {

Result<Ref> arith(Arith op, std::string_view np_name, PyObject* x1, PyObject* x2) {
    auto r = operator_function(op, x1, x2);
    if (!r) return failure(std::move(r.error()));
    if (*r) return std::move(**r);
    // Under the function's own name ("true_divide", "mod"): the engine's road uses its own.
    return fallback::call(np_name, {x1, x2});
}

}  // namespace corvantile::python
