// The unary operators -a, +a, abs(a) and ~a: each element kind by the road of the
// operation's description, NumPy's for the rest.

#include "python/operators/operators.hpp"

#include "python/operators/operator_kernels.hpp"

namespace corvantile::python {

namespace {

template <class Op>
Result<Ref> unary(PyArray& self) {
    const auto view = in_place_layout(self);
    if (!view) ops::refresh(self);
    return ops::unary_array<Op, true>(self.value, Op::numpy, self.object(), view ? &*view : nullptr);
}

}  // namespace

Result<Ref> negative(PyArray& self) { return unary<ops::Negative>(self); }
Result<Ref> positive(PyArray& self) { return unary<ops::Positive>(self); }
Result<Ref> absolute(PyArray& self) { return unary<ops::Absolute>(self); }
Result<Ref> invert(PyArray& self) { return unary<ops::Invert>(self); }

}  // namespace corvantile::python
