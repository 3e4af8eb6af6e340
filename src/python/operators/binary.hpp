#pragma once

// The arithmetic, bitwise and NumPy-only binary operators as templates over their
// operation, shared by the files that instantiate them (one or two operations each, so
// that the heavy instantiations build in parallel).

#include "python/operators/operators.hpp"

#include "python/operators/operator_kernels.hpp"

#include <array>

namespace corvantile::python::binary {

using namespace ops;

// ---- float64 computation ------------------------------------------------------------------

// f(self element as float64) into a new float64 ndarray of self's shape.
template <class T, class F>
Result<Ref> map_to_f64(const Array<T>& a, F f, InPlace view = nullptr) {
    return map_new<double>(a, loops::narrow_like<F>([f](T x) { return f(as_double(x)); }), view);
}

// self OP s, or s OP self when reflected, for every element of self, in float64.
template <class Op, bool R, class T>
Result<Ref> with_scalar(const Array<T>& a, double s, InPlace view = nullptr) {
    if constexpr (!R) {
        return with_scalar_operand<Op>(s, [&a, view](auto f) { return map_to_f64(a, f, view); });
    } else {
        if constexpr (std::is_same_v<Op, Pow>) {
            // A 0-d exponent is one value for the whole operation too.
            if (a.ndim() == 0) return map_to_f64(a, [s](double x) { return pow_one_exponent(s, x); }, view);
        }
        return map_to_f64(a, element<Op>([s](double x) { return Op{}(s, x); }), view);
    }
}

// self ** e with one exponent, shaped as the broadcast of self and the exponent's shape.
template <class T>
Result<Ref> pow_broadcast_single(const Array<T>& a, std::span<const std::uint64_t> exponent_shape, double e,
                                 InPlace va) {
    auto r = with_scalar<Pow, false>(a, e, va);
    if (r && exponent_shape.size() > a.ndim()) {
        auto shape = array::broadcast_shape(a.shape(), exponent_shape);
        if (shape) PyArray::of(r->get())->value.set_dims(ArrayDims::c_of_valid(*shape, 8));
    }
    return r;
}

// self OP other for two arrays in float64: of one shape straight into the result,
// other shapes broadcast (a conflict names the shapes in Python operand order); va, vb
// the layouts of views read in place.
template <class Op, bool R, class T, class U>
Result<Ref> with_array(const Array<T>& a, InPlace va, const Array<U>& b, InPlace vb) {
    if constexpr (!R && std::is_same_v<Op, Pow>) {
        // (An exponent of one element is never a view read in place.)
        if (auto e = single_exponent(a, b)) return pow_broadcast_single(a, b.shape(), *e, va);
    }
    if (same_shape(a.dims(), b.dims())) {
        using D = Directed<Op, R>;
        return zip_new<double>(a, b, element<Op>([](T x, U y) { return D{}(as_double(x), as_double(y)); }), va, vb);
    }
    if constexpr (R) {
        return zip_broadcast<double>(b, vb, a, va, element<Op>([](U y, T x) { return Op{}(as_double(y), as_double(x)); }));
    } else {
        return zip_broadcast<double>(a, va, b, vb, element<Op>([](T x, U y) { return Op{}(as_double(x), as_double(y)); }));
    }
}

// self OP other in float64 for an operand that is an array or a scalar.
template <class Op, bool R, class T>
Result<Ref> float_compute(const Array<T>& a, InPlace va, const Operand& operand) {
    if (const auto* p = operand.get_if<Operand::F64Array>()) return with_array<Op, R>(a, va, *p->array, p->in_place());
    if (const auto* q = operand.get_if<Operand::OtherArray>()) {
        return q->array->visit([&](const auto& b) { return with_array<Op, R>(a, va, b, q->in_place()); });
    }
    return with_scalar<Op, R>(a, *operand.scalar_f64(), va);
}

// ---- the int64 and bool rules -----------------------------------------------------------

// NumPy's answer: its function of the operation, or, for the `**` operator, its array's
// own operator (which squares bool arrays into int8, unlike numpy.power).
template <class Op, bool R, bool Operator>
Result<Ref> numpy_road(PyArray& self, PyObject* other) {
    if constexpr (Operator && std::is_same_v<Op, Pow>) {
        const std::string_view method = R ? "__rpow__" : "__pow__";
        return fallback::call_method(self.object(), method, std::span<PyObject* const>(&other, 1));
    } else {
        return numpy_call<Op>(self.object(), other, R);
    }
}

// self OP other for an int64 or bool self (other OP self when R); va as for zip_new.
template <class Op, bool R, bool Operator>
Result<Ref> alt_binary(PyArray& self, InPlace va, PyObject* other, const Operand& operand) {
    using I = std::int64_t;
    const bool float_operand =
        operand.is<Operand::F64Array>() || (operand.is<Operand::FloatScalar>() && plain_float(other));
    const bool divide_native = std::is_same_v<Op, Div> && !operand.is<Operand::FloatScalar>();
    if (float_operand || divide_native) {
        if (const auto* a = self.value.get_if<I>()) return float_compute<Op, R>(*a, va, operand);
        return float_compute<Op, R>(*self.value.get_if<Bool>(), va, operand);
    }
    if constexpr (Op::int_native) {
        const auto wrapping = [](I x, I y) { return Op::wrap(x, y); };
        if (const auto* a = self.value.get_if<I>()) {
            if (const auto* n = operand.get_if<Operand::IntScalar>()) {
                const I v = n->value;
                if constexpr (R) return map_new<I>(*a, [v](I x) { return Op::wrap(v, x); }, va);
                else return map_new<I>(*a, [v](I x) { return Op::wrap(x, v); }, va);
            }
            if (const auto* q = operand.get_if<Operand::OtherArray>()) {
                // One layout only: int64 arrays never broadcast natively.
                if (const auto* b = q->array->get_if<I>(); b != nullptr && b->dims() == a->dims()) {
                    return R ? zip_new<I>(*b, *a, wrapping, q->in_place(), va)
                             : zip_new<I>(*a, *b, wrapping, va, q->in_place());
                }
            }
        }
    }
    return numpy_road<Op, R, Operator>(self, other);
}

// ---- temporaries reused -------------------------------------------------------------------

// An operator whose float64 operand is a temporary of this many bytes or more (a result
// nothing else refers to) writes its result over it, as NumPy's operators do: `a * b + a`
// takes one buffer, not two, and no second pass of fresh memory.
inline constexpr std::uint64_t REUSE_FROM_BYTES = 256 * 1024;

// self OP other (other OP self when R) computed into self, where self is such a temporary
// owning its memory and the result has its shape and kind: a scalar operand, or (self on
// the left) a float64 array of self's shape. False, nothing written, otherwise.
template <class Op, bool R>
bool into_temporary(PyArray& self, const Operand& operand) {
    constexpr bool plain_op = std::is_same_v<Op, Add> || std::is_same_v<Op, Sub> || std::is_same_v<Op, Mul> ||
                              std::is_same_v<Op, Div>;
    if constexpr (!plain_op) {
        return false;
    } else {
        auto* a = self.value.get_if<double>();
        if (a == nullptr || self.strided || a->is_borrowed() || a->len() * sizeof(double) < REUSE_FROM_BYTES) {
            return false;
        }
        const std::optional<double> s = operand.scalar_f64();
        const auto* p = operand.get_if<Operand::F64Array>();
        const bool fits = s || (!R && p != nullptr && !p->view && p->array->dims() == a->dims());
        if (!fits || PyUnstable_Object_IsUniqueReferencedTemporary(self.object()) != 1) return false;
        if (s) {
            if constexpr (R) {
                update_loop(a->data(), a->len(), element<Op>([v = *s](double x) { return Op{}(v, x); }));
            } else {
                with_scalar_operand<Op>(*s, [a](auto f) { update_loop(a->data(), a->len(), f); });
            }
        } else {
            loops::zip_update(a->data(), p->array->data(), a->len(), element<Op>(Op{}));
        }
        return true;
    }
}

// ---- the arithmetic methods ---------------------------------------------------------------

// self OP other (other OP self when R): the float64 ladder, inline. Strided views of
// IN_PLACE_FROM elements or more, self or operand, are read where they lie.
template <class Op, bool R, bool Operator = true>
Result<Ref> arith(PyArray& self, PyObject* other) {
    const Operand operand = classify_in_place(other);
    const auto view = in_place_layout(self);
    if (!view) ops::refresh(self);
    const InPlace va = view ? &*view : nullptr;
    if (operand.is<Operand::Unsupported>()) {
        if (PyErr_Occurred()) return failure();
        const bool numpy = numpy_takes(other);
        if (PyErr_Occurred()) return failure();
        return numpy ? numpy_road<Op, R, Operator>(self, other) : not_implemented();
    }
    if (const auto* a = self.value.get_if<double>()) {
        if constexpr (Operator) {
            if (into_temporary<Op, R>(self, operand)) return Ref::borrow(self.object());
        }
        return float_compute<Op, R>(*a, va, operand);
    }
    return alt_binary<Op, R, Operator>(self, va, other, operand);
}

// ---- bitwise ------------------------------------------------------------------------------

// Both operand orders give the same result (the operations are symmetric); only
// NumPy's road needs the Python order.
template <class B, bool R>
Result<Ref> bitwise(PyArray& self, PyObject* other) {
    using I = std::int64_t;
    const auto view = in_place_layout(self);
    if (!view) ops::refresh(self);
    const InPlace va = view ? &*view : nullptr;
    const Operand operand = classify_in_place(other);
    if (operand.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    if (const auto* a = self.value.get_if<Bool>()) {
        if (const auto* s = operand.get_if<Operand::BoolScalar>()) {
            const Bool v = to_bool(s->value);
            return map_new<Bool>(*a, [v](Bool x) { return B::on_bool(x, v); }, va);
        }
        if (const auto* q = operand.get_if<Operand::OtherArray>()) {
            if (const auto* b = q->array->get_if<Bool>(); b != nullptr && b->dims() == a->dims()) {
                return zip_new<Bool>(*a, *b, [](Bool x, Bool y) { return B::on_bool(x, y); }, va, q->in_place());
            }
        }
    } else if (const auto* a = self.value.get_if<I>()) {
        if (const auto* n = operand.get_if<Operand::IntScalar>()) {
            const I v = n->value;
            return map_new<I>(*a, [v](I x) { return B::on_int(x, v); }, va);
        }
        if (const auto* q = operand.get_if<Operand::OtherArray>()) {
            if (const auto* b = q->array->get_if<I>(); b != nullptr && b->dims() == a->dims()) {
                return zip_new<I>(*a, *b, [](I x, I y) { return B::on_int(x, y); }, va, q->in_place());
            }
        }
    }
    return numpy_call<B>(self.object(), other, R);
}

// ---- operators that always go to NumPy --------------------------------------------------

template <class N, bool R>
Result<Ref> numpy_only(PyArray& self, PyObject* other) {
    return numpy_call<N>(self.object(), other, R);
}

// ---- the combiner -------------------------------------------------------------------------

using Method = Result<Ref> (*)(PyArray&, PyObject*);

// lhs's forward method, then (on NotImplemented) rhs's reflected one.
template <Method Forward, Method Reflected>
Result<Ref> combine(PyObject* lhs, PyObject* rhs) {
    if (is_ndarray(lhs)) {
        auto r = Forward(*PyArray::of(lhs), rhs);
        if (!r || r->get() != Py_NotImplemented) return r;
    }
    if (is_ndarray(rhs)) return Reflected(*PyArray::of(rhs), lhs);
    return not_implemented();
}

template <class Op>
Result<Ref> arith_slot(PyObject* lhs, PyObject* rhs) {
    return combine<&arith<Op, false>, &arith<Op, true>>(lhs, rhs);
}
template <class B>
Result<Ref> bitwise_slot(PyObject* lhs, PyObject* rhs) {
    return combine<&bitwise<B, false>, &bitwise<B, true>>(lhs, rhs);
}
template <class N>
Result<Ref> numpy_slot(PyObject* lhs, PyObject* rhs) {
    return combine<&numpy_only<N, false>, &numpy_only<N, true>>(lhs, rhs);
}

inline Error modulus_error() noexcept { return Error::type_error("pow() with modulus is not supported"); }

inline Result<Ref> power_slot(PyObject* lhs, PyObject* rhs, PyObject* modulus) {
    if (is_ndarray(lhs)) {
        if (modulus != Py_None) return failure(modulus_error());
        auto r = arith<Pow, false>(*PyArray::of(lhs), rhs);
        if (!r || r->get() != Py_NotImplemented) return r;
    }
    if (is_ndarray(rhs)) {
        if (modulus != Py_None) return failure(modulus_error());
        return arith<Pow, true>(*PyArray::of(rhs), lhs);
    }
    return not_implemented();
}
}  // namespace corvantile::python::binary

namespace corvantile::python {

using namespace ops;

// ---- the engine as a function -------------------------------------------------------------

template <class Op>
Result<std::optional<Ref>> operator_function(PyObject* a, PyObject* b) {
    Result<Ref> r = is_ndarray(a)   ? binary::arith<Op, false, false>(*PyArray::of(a), b)
                    : is_ndarray(b) ? binary::arith<Op, true, false>(*PyArray::of(b), a)
                                    : Result<Ref>(Ref());
    if (!r) return failure(std::move(r.error()));
    if (!*r || r->get() == Py_NotImplemented) return std::nullopt;
    return std::optional<Ref>(std::move(*r));
}

// Each is built in the file of its operator.
extern template Result<std::optional<Ref>> operator_function<Add>(PyObject*, PyObject*);
extern template Result<std::optional<Ref>> operator_function<Sub>(PyObject*, PyObject*);
extern template Result<std::optional<Ref>> operator_function<Mul>(PyObject*, PyObject*);
extern template Result<std::optional<Ref>> operator_function<Div>(PyObject*, PyObject*);
extern template Result<std::optional<Ref>> operator_function<FloorDiv>(PyObject*, PyObject*);
extern template Result<std::optional<Ref>> operator_function<Mod>(PyObject*, PyObject*);
extern template Result<std::optional<Ref>> operator_function<Pow>(PyObject*, PyObject*);

}  // namespace corvantile::python
