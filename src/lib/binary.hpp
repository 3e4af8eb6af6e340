#pragma once

// The arithmetic module functions (add, subtract, ..., power): the ndarray operator
// engine when either operand is an ndarray, NumPy's function for everything else.

#include "python/runtime/error.hpp"
#include "python/operators/operators.hpp"

#include <string_view>

namespace corvantile::python {

// x1 OP x2 as the operators compute it (the reflected operator when only x2 is an
// ndarray); numpy.<np_name>(x1, x2) when neither is one or the engine declines.
Result<Ref> arith(Arith op, std::string_view np_name, PyObject* x1, PyObject* x2);

// The native fast path of one function, for fast_entry.
template <Arith Op>
Result<Ref> arith_native(std::string_view np_name, PyObject* x1, PyObject* x2) {
    return arith(Op, np_name, x1, x2);
}

}  // namespace corvantile::python
