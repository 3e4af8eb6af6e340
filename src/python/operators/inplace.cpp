// The in-place operators of ndarray: a float64 array is updated natively in its own
// memory; an int64 or bool array, and an operand only NumPy takes, go to NumPy's
// in-place operation on the same memory. They always return self, never NotImplemented.

#include "python/operators/operator_kernels.hpp"

#include <format>
#include <optional>

namespace corvantile::python {

using namespace ops;

namespace {

// self OP= s over self's buffer in one pass, with the common divisors and exponents
// chosen outside the loop (as in `**`).
template <class Op>
void with_scalar(Array<double>& a, double s) noexcept {
    with_scalar_operand<Op>(s, [p = a.data(), n = a.len()](auto f) { update_loop(p, n, f); });
}

// The single exponent of an array operand that does not enlarge self.
std::optional<double> single_exponent(const Array<double>& self, const Operand& operand) {
    std::optional<double> e;
    const auto one = [&](const auto& b) {
        if (b.ndim() <= self.ndim()) e = ops::single_exponent(self, b);
    };
    if (const auto* p = operand.get_if<Operand::F64Array>()) one(*p->array);
    else if (const auto* q = operand.get_if<Operand::OtherArray>()) q->array->visit(one);
    return e;
}

Result<Ref> numpy_inplace(PyArray& self, std::string_view name, PyObject* other) {
    if (auto r = fallback::inplace(self.object(), name, other); !r) return failure(std::move(r.error()));
    return Ref::borrow(self.object());
}

template <class Op>
Result<Ref> inplace(PyArray& self, PyObject* other) {
    const Operand operand = classify(other);
    if (operand.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    if (const auto s = operand.scalar_f64(); s && self.strided && self.value.kind() == ElementKind::F64) {
        // A view with a scalar is updated in the base memory, block by block.
        if (const walk::Strided view = walk_layout(self); walk::distinct(view, sizeof(double))) {
            with_scalar_operand<Op>(*s, [&view](auto f) { walk::update<double>(view, f); });
            return Ref::borrow(self.object());
        }
    }
    ops::refresh(self);
    Array<double>* a = self.value.get_if<double>();
    if (a == nullptr) return numpy_inplace(self, Op::numpy, other);

    std::expected<void, ArrayError> done;
    if constexpr (std::is_same_v<Op, Pow>) {
        if (auto e = single_exponent(*a, operand)) {
            with_scalar<Pow>(*a, *e);
            self.commit();
            return Ref::borrow(self.object());
        }
    }
    if (const auto* p = operand.get_if<Operand::F64Array>()) {
        // Overlapping operands (self itself, or another view of the same memory) are
        // read as they were before the operation: the kernel computes aside.
        done = a->zip_map_inplace(*p->array, Op{});
    } else if (const auto* q = operand.get_if<Operand::OtherArray>()) {
        done = a->zip_map_inplace(q->array->to_f64(), Op{});
    } else if (const auto s = operand.scalar_f64()) {
        with_scalar<Op>(*a, *s);
    } else {
        if (numpy_takes(other)) return numpy_inplace(self, Op::numpy, other);
        if (PyErr_Occurred()) return failure();
        return failure(Error::type_error(
            std::format("unsupported operand type(s) for in-place {}: 'corvantile.ndarray' and '{}'", Op::numpy,
                        type_name(other))));
    }
    if (!done) return failure(array_error(std::move(done.error())));
    self.commit();
    return Ref::borrow(self.object());
}

// The modulus of `**=` is accepted and not read.
Result<Ref> inplace_power(PyArray& self, PyObject* other, PyObject*) { return inplace<Pow>(self, other); }

}  // namespace

PyObject* nb_inplace_add(PyObject* s, PyObject* o) noexcept { return entry<&inplace<Add>>(s, o); }
PyObject* nb_inplace_subtract(PyObject* s, PyObject* o) noexcept { return entry<&inplace<Sub>>(s, o); }
PyObject* nb_inplace_multiply(PyObject* s, PyObject* o) noexcept { return entry<&inplace<Mul>>(s, o); }
PyObject* nb_inplace_true_divide(PyObject* s, PyObject* o) noexcept { return entry<&inplace<Div>>(s, o); }
PyObject* nb_inplace_floor_divide(PyObject* s, PyObject* o) noexcept {
    return entry<&inplace<FloorDiv>>(s, o);
}
PyObject* nb_inplace_remainder(PyObject* s, PyObject* o) noexcept { return entry<&inplace<Mod>>(s, o); }
PyObject* nb_inplace_power(PyObject* s, PyObject* o, PyObject* m) noexcept {
    return entry<&inplace_power>(s, o, m);
}

}  // namespace corvantile::python
