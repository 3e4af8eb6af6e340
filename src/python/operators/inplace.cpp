// The in-place operators of ndarray: a float64 array is updated natively in its own
// memory; an int64 or bool array, and an operand only NumPy takes, go to NumPy's
// in-place operation on the same memory. They always return self, never NotImplemented.

#include "python/operators/operator_kernels.hpp"

#include <cmath>
#include <format>
#include <optional>

namespace corvantile::python {

using namespace ops;

namespace {

// self OP= s over self's buffer in one pass, with the common divisors and exponents
// hoisted out of the loop.
template <class Op>
void with_scalar(Array<double>& a, double s) noexcept {
    double* p = a.data();
    const std::size_t n = a.len();
    if constexpr (std::is_same_v<Op, FloorDiv>) {
        if (s == 0.0) return update_loop(p, n, [s](double x) { return x / s; });
    }
    if constexpr (std::is_same_v<Op, Pow>) {
        // NumPy's own exponents, as in `**`: 2 squares, 0.5 takes the square root, -1
        // the reciprocal.
        if (s == 2.0) return update_loop(p, n, [](double x) { return x * x; });
        if (s == 0.5) return update_loop(p, n, [](double x) { return std::sqrt(x); });
        if (s == -1.0) return update_loop(p, n, [](double x) { return 1.0 / x; });
        return update_loop(p, n, [s](double x) { return std::pow(x, s); });
    }
    update_loop(p, n, [s](double x) { return Op{}(x, s); });
}

// The value of a one-element array exponent that NumPy applies as one value for the
// whole operation (a 0-d array, or one broadcast over a larger self).
std::optional<double> single_exponent(const Array<double>& self, const Operand& operand) {
    const AnyArray* any = nullptr;
    if (const auto* q = operand.get_if<Operand::OtherArray>()) any = q->array;
    const ArrayDims* dims = any != nullptr ? &any->dims() : nullptr;
    const auto* p = operand.get_if<Operand::F64Array>();
    if (p != nullptr) dims = &p->array->dims();
    if (dims == nullptr || dims->size() != 1 || dims->ndim() > self.ndim()) return std::nullopt;
    if (dims->ndim() != 0 && self.len() <= 1) return std::nullopt;
    if (p != nullptr) return p->array->data()[0];
    return any->visit([](const auto& b) { return as_f64(b.data()[0]); });
}

Result<Ref> numpy_inplace(PyArray& self, std::string_view name, PyObject* other) {
    if (auto r = fallback::inplace(self.object(), name, other); !r) return failure(std::move(r.error()));
    return Ref::borrow(self.object());
}

template <class Op>
Result<Ref> inplace(PyArray& self, PyObject* other) {
    const Operand operand = classify(other);
    if (operand.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    ops::refresh(self);
    Array<double>* a = self.value.get_if<double>();
    if (a == nullptr) return numpy_inplace(self, Op::name, other);

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
    } else if (const auto* f = operand.get_if<Operand::FloatScalar>()) {
        with_scalar<Op>(*a, f->value);
    } else if (const auto* n = operand.get_if<Operand::IntScalar>()) {
        with_scalar<Op>(*a, static_cast<double>(n->value));
    } else if (const auto* b = operand.get_if<Operand::BoolScalar>()) {
        with_scalar<Op>(*a, b->value ? 1.0 : 0.0);
    } else {
        if (numpy_takes(other)) return numpy_inplace(self, Op::name, other);
        if (PyErr_Occurred()) return failure();
        return failure(Error::type_error(
            std::format("unsupported operand type(s) for in-place {}: 'corvantile.ndarray' and '{}'", Op::name,
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
