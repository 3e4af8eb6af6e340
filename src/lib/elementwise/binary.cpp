// The arithmetic module functions (add, subtract, ..., power): the ndarray operator
// engine when either operand is an ndarray, NumPy's function for everything else.

#include "lib/registry.hpp"
#include "python/numpy/fallback.hpp"
#include "python/operators/operations.hpp"
#include "python/operators/operators.hpp"

namespace corvantile::python {

namespace {

// x1 OP x2 as the operators compute it (the reflected operator when only x2 is an
// ndarray); numpy.<np_name>(x1, x2) when neither is one or the engine declines, under
// the function's own name ("true_divide", "mod"): the engine's road uses its own.
template <class Op>
Result<Ref> arith_native(std::string_view np_name, PyObject* x1, PyObject* x2) {
    auto r = operator_function<Op>(x1, x2);
    if (!r) return failure(std::move(r.error()));
    if (*r) return std::move(**r);
    return fallback::call(np_name, {x1, x2});
}

template <class Op, FixedString As = Op::name>
constexpr const Row& row = element_row<Op, &arith_native<Op>, As>;

using namespace ops;

constexpr Row ROWS[] = {
    row<Add>, row<Sub>, row<Mul>, row<Div>, row<Div, "true_divide">,
    row<FloorDiv>, row<Mod>, row<Mod, "mod_">, row<Pow>,
};

}  // namespace

Result<> register_binary(PyObject* module) { return register_rows(module, ROWS); }

}  // namespace corvantile::python
