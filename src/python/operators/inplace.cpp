// The in-place operators of ndarray: a float64 array is updated natively in its own
// memory, as are int64 and bool arrays under the bitwise and shift operators; other
// arrays, and operands only NumPy takes, go to NumPy's in-place operation on the same
// memory (a strided view through a scratch copy). They always return self, never
// NotImplemented.

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
        if (b.ndim() <= self.ndim()) e = ops::single_exponent(self, b, true);
    };
    if (const auto* p = operand.get_if<Operand::F64Array>()) one(*p->array);
    else if (const auto* q = operand.get_if<Operand::OtherArray>()) q->array->visit(one);
    return e;
}

Result<Ref> numpy_inplace(PyArray& self, std::string_view name, PyObject* other) {
    if (self.strided) {
        // NumPy computes a strided view into a scratch copy, which reaches the view only
        // when it succeeds: an error midway leaves neither partial results nor NumPy's
        // unfilled buffers in the base. The operand is read before any write, too.
        auto scratch = create_class_object(gather(self));
        if (!scratch) return scratch;
        if (auto r = fallback::inplace(scratch->get(), name, other); !r) return failure(std::move(r.error()));
        scatter(self, PyArray::of(scratch->get())->value.raw_data());
        return Ref::borrow(self.object());
    }
    if (auto r = fallback::inplace(self.object(), name, other); !r) return failure(std::move(r.error()));
    return Ref::borrow(self.object());
}

Error unsupported_operand(std::string_view name, PyObject* other) {
    return Error::type_error(std::format("unsupported operand type(s) for in-place {}: 'corvantile.ndarray' and '{}'",
                                         name, type_name(other)));
}

// Whether b broadcasts to `shape` without enlarging it.
inline bool fits(std::span<const std::uint64_t> s, std::span<const std::uint64_t> t) noexcept {
    if (t.size() > s.size()) return false;
    for (std::size_t k = 1; k <= t.size(); ++k) {
        if (t[t.size() - k] != 1 && t[t.size() - k] != s[s.size() - k]) return false;
    }
    return true;
}

// Where an array operand's elements lie (`in_place` for a view read in place), spread over
// the layout x's shape.
template <class U>
walk::Strided spread_over(const walk::Strided& x, const Array<U>& b, const walk::Strided* in_place) noexcept {
    const walk::Strided own =
        in_place != nullptr ? *in_place : walk::c_layout(b.data(), b.shape().data(), b.ndim(), sizeof(U));
    return walk::broadcast_to(own, x.shape.data(), x.ndim);
}

// Whether s's elements lie contiguous in C order.
inline bool c_order(const walk::Strided& s, std::size_t itemsize) noexcept {
    auto stride = static_cast<std::int64_t>(itemsize);
    for (std::size_t k = s.ndim; k-- > 0;) {
        if (s.shape[k] != 1 && s.strides[k] != stride) return false;
        stride *= static_cast<std::int64_t>(s.shape[k]);
    }
    return true;
}

// x[i] = f(x[i], y[i]) where x's elements lie (distinct), y of x's shape. Every element
// reads y as it was before the operation, as NumPy's does: y is copied first where it may
// share memory with x, unless it is x itself.
template <class T, class U, class F>
void update_with(const walk::Strided& x, const walk::Strided& y, F f) {
    const std::uint64_t n = x.size();
    if (n == 0) return;
    if constexpr (std::is_same_v<T, U>) {
        if (walk::same_place(x, y)) {
            walk::update<T>(walk::memory_order(x), loops::narrow_like<F>([f](T e) { return f(e, e); }));
            return;
        }
    }
    if (!walk::may_overlap(x, sizeof(T), y, sizeof(U))) {
        if (c_order(x, sizeof(T)) && c_order(y, sizeof(U))) {
            loops::zip_update(reinterpret_cast<T*>(x.data), reinterpret_cast<const U*>(y.data), n, f);
        } else {
            walk::zip_update<T, U>(x, y, f);
        }
        return;
    }
    Storage<U> copy = Storage<U>::uninit(n);
    walk::copy<U>(y, copy.ptr());
    walk::zip_update<T, U>(x, walk::c_layout(copy.ptr(), x.shape.data(), x.ndim, sizeof(U)), f);
}

// The elements of self (T) replaced by f(element) in self's own memory: a strided view in
// its base, directly where its elements do not overlap, walked in memory order (an
// element-wise update does not depend on the order), else through a copy written back in
// C order.
template <class T, class F>
void update_self(PyArray& self, F f) {
    if (self.strided) {
        if (const walk::Strided view = walk_layout(self); walk::distinct(view, sizeof(T))) {
            walk::update<T>(walk::memory_order(view), f);
            return;
        }
        AnyArray copy = gather(self);
        Array<T>& a = *copy.get_if<T>();
        update_loop(a.data(), a.len(), f);
        scatter(self, a.data());
        return;
    }
    Array<T>& a = *self.value.get_if<T>();
    update_loop(a.data(), a.len(), f);
}

// self (a, T elements) with a[i] = f(a[i], b[i]) where its elements lie (`in_place` for
// b a view read in place); false (nothing written) where b does not fit a's shape.
template <class T, class U, class F>
bool zip_native(PyArray& self, const Array<T>& a, const Array<U>& b, const walk::Strided* in_place, F f) {
    if (!fits(a.shape(), b.shape())) return false;
    if (a.len() == 0) return true;
    if (self.strided) {
        if (const walk::Strided view = walk_layout(self); walk::distinct(view, sizeof(T))) {
            update_with<T, U>(view, spread_over(view, b, in_place), f);
            return true;
        }
        AnyArray copy = gather(self);
        Array<T>& c = *copy.get_if<T>();
        const walk::Strided own = walk::c_layout(c.data(), c.shape().data(), c.ndim(), sizeof(T));
        update_with<T, U>(own, spread_over(own, b, in_place), f);
        scatter(self, c.data());
        return true;
    }
    const walk::Strided own = walk::c_layout(a.data(), a.shape().data(), a.ndim(), sizeof(T));
    update_with<T, U>(own, spread_over(own, b, in_place), f);
    return true;
}

// The error for an array operand of shape `other` that does not fit self's `shape`.
Error misfit(std::span<const std::uint64_t> shape, std::span<const std::uint64_t> other) {
    const auto joint = array::broadcast_shape(shape, other);
    if (!joint) return array_error(ArrayError(joint.error()));
    return Error::value_error("non-broadcastable output operand with shape " + array::shape_str(shape) +
                              " doesn't match the broadcast shape " + array::shape_str(joint->span()));
}

// The shape of an array operand, or nothing.
std::optional<std::span<const std::uint64_t>> array_shape(const Operand& operand) noexcept {
    if (const auto* p = operand.get_if<Operand::F64Array>()) return p->array->shape();
    if (const auto* q = operand.get_if<Operand::OtherArray>()) return q->array->dims().shape();
    return std::nullopt;
}

// self OP= an array operand for float64 elements of self's shape lying at `view`; false
// (nothing written) for any other operand, or one that does not fit self's shape.
template <class Op>
bool view_with_array(PyArray& self, const walk::Strided& view, const Operand& operand) {
    const auto shape = self.value.dims().shape();
    const auto run = [&]<class U>(const Array<U>& b, const walk::Strided* in_place) {
        if (!fits(shape, b.shape())) return false;
        if constexpr (std::is_same_v<Op, Pow>) {
            if (const auto e = ops::single_exponent(*self.value.get_if<double>(), b, true)) {
                with_scalar_operand<Pow>(*e,
                                         [&view](auto f) { walk::update<double>(walk::memory_order(view), f); });
                return true;
            }
        }
        const walk::Strided y = spread_over(view, b, in_place);
        if constexpr (std::is_same_v<U, double>) {
            update_with<double, double>(view, y, element<Op>(Op{}));
        } else {
            update_with<double, U>(view, y, element<Op>([](double x, U e) { return Op{}(x, as_double(e)); }));
        }
        return true;
    };
    if (const auto* p = operand.get_if<Operand::F64Array>()) return run(*p->array, p->in_place());
    if (const auto* q = operand.get_if<Operand::OtherArray>()) {
        return q->array->visit([&](const auto& b) { return run(b, q->in_place()); });
    }
    return false;
}

template <class Op>
Result<Ref> inplace(PyArray& self, PyObject* other) {
    // A float64 view, its elements apart, is updated where they lie; array operands are
    // read where theirs lie.
    std::optional<walk::Strided> view;
    if (self.value.kind() == ElementKind::F64) view = in_place_layout(self);
    if (view && !walk::distinct(*view, sizeof(double))) view.reset();
    const Operand operand = classify_in_place(other);
    if (operand.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    if (const auto s = operand.scalar_f64(); s && self.strided && self.value.kind() == ElementKind::F64) {
        // A view with a scalar is updated in the base memory, block by block, in memory order.
        if (const walk::Strided all = walk_layout(self); walk::distinct(all, sizeof(double))) {
            with_scalar_operand<Op>(*s, [&all](auto f) { walk::update<double>(walk::memory_order(all), f); });
            return Ref::borrow(self.object());
        }
    }
    if (const auto shape = array_shape(operand); shape && self.value.kind() == ElementKind::F64 &&
                                                    !fits(self.value.dims().shape(), *shape)) {
        return failure(misfit(self.value.dims().shape(), *shape));
    }
    if (view && view_with_array<Op>(self, *view, operand)) return Ref::borrow(self.object());
    if (self.value.kind() != ElementKind::F64) return numpy_inplace(self, Op::numpy, other);
    // A view whose elements overlap is updated in a copy, written back in C order.
    std::optional<AnyArray> copy;
    if (self.strided) copy.emplace(gather(self));
    Array<double>* a = (copy ? &*copy : &self.value)->get_if<double>();
    const auto updated = [&] {
        if (copy) scatter(self, a->data());
        return Ref::borrow(self.object());
    };
    const bool view_operand = [&] {
        if (const auto* p = operand.get_if<Operand::F64Array>()) return p->view.has_value();
        if (const auto* q = operand.get_if<Operand::OtherArray>()) return q->view.has_value();
        return false;
    }();
    if (view_operand) {
        // A view operand is read where it lies.
        const walk::Strided own = walk::c_layout(a->data(), a->shape().data(), a->ndim(), sizeof(double));
        if (view_with_array<Op>(self, own, operand)) return updated();
    }

    std::expected<void, ArrayError> done;
    if constexpr (std::is_same_v<Op, Pow>) {
        if (auto e = single_exponent(*a, operand)) {
            with_scalar<Pow>(*a, *e);
            return updated();
        }
    }
    if (const auto* p = operand.get_if<Operand::F64Array>()) {
        // Overlapping operands (self itself, or another view of the same memory) are
        // read as they were before the operation: the kernel computes aside.
        done = a->zip_map_inplace(*p->array, element<Op>(Op{}));
    } else if (const auto* q = operand.get_if<Operand::OtherArray>()) {
        done = a->zip_map_inplace(q->array->to_f64(), element<Op>(Op{}));
    } else if (const auto s = operand.scalar_f64()) {
        with_scalar<Op>(*a, *s);
    } else {
        if (numpy_takes(other)) return numpy_inplace(self, Op::numpy, other);
        if (PyErr_Occurred()) return failure();
        return failure(unsupported_operand(Op::numpy, other));
    }
    if (!done) return failure(array_error(std::move(done.error())));
    return updated();
}

// The modulus of `**=` is accepted and not read.
Result<Ref> inplace_power(PyArray& self, PyObject* other, PyObject*) { return inplace<Pow>(self, other); }

// ---- bitwise, shift and matrix product ------------------------------------------------------

using I64 = std::int64_t;

// Whether self (T) OP= other (U) is native: the result keeps self's kind as NumPy's does.
template <class B, class T, class U>
constexpr bool native_pair = requires(I64 x) { B::on_int(x, x); } &&
                             ((std::is_same_v<T, I64> && (std::is_same_v<U, I64> || std::is_same_v<U, Bool>)) ||
                              (std::is_same_v<T, Bool> && std::is_same_v<U, Bool> &&
                               requires(Bool x) { B::on_bool(x, x); }));

template <class B, class T, class U>
T bitwise_element(T x, U y) noexcept {
    if constexpr (std::is_same_v<T, Bool>) return B::on_bool(x, y);
    else if constexpr (std::is_same_v<U, Bool>) return B::on_int(x, static_cast<I64>(bits(y)));
    else return B::on_int(x, y);
}

// self OP= other natively where self is int64 or bool and NumPy would keep its kind; false
// (nothing written) otherwise.
template <class B>
bool native_bitwise(PyArray& self, const Operand& operand) {
    return self.value.visit([&]<class T>(const Array<T>& a) -> bool {
        const auto with_scalar = [&]<class U>(U v) {
            if constexpr (native_pair<B, T, U>) {
                update_self<T>(self, [v](T x) { return bitwise_element<B>(x, v); });
                return true;
            } else {
                return false;
            }
        };
        if (const auto* n = operand.get_if<Operand::IntScalar>()) return with_scalar(n->value);
        if (const auto* s = operand.get_if<Operand::BoolScalar>()) return with_scalar(to_bool(s->value));
        if (const auto* q = operand.get_if<Operand::OtherArray>()) {
            return q->array->visit([&]<class U>(const Array<U>& b) -> bool {
                if constexpr (native_pair<B, T, U>) {
                    return zip_native(self, a, b, q->in_place(), [](T x, U y) { return bitwise_element<B>(x, y); });
                } else {
                    return false;
                }
            });
        }
        return false;
    });
}

template <class B>
Result<Ref> inplace_bitwise(PyArray& self, PyObject* other) {
    const Operand operand = classify_in_place(other);
    const bool unsupported = operand.is<Operand::Unsupported>();
    if (unsupported && PyErr_Occurred()) return failure();
    if constexpr (requires(I64 x) { B::on_int(x, x); }) {
        if (native_bitwise<B>(self, operand)) return Ref::borrow(self.object());
    }
    if (!unsupported) return numpy_inplace(self, B::numpy, other);
    const bool numpy = numpy_takes(other);
    if (PyErr_Occurred()) return failure();
    if (numpy) return numpy_inplace(self, B::numpy, other);
    return failure(unsupported_operand(B::numpy, other));
}

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
PyObject* nb_inplace_and(PyObject* s, PyObject* o) noexcept { return entry<&inplace_bitwise<And>>(s, o); }
PyObject* nb_inplace_or(PyObject* s, PyObject* o) noexcept { return entry<&inplace_bitwise<Or>>(s, o); }
PyObject* nb_inplace_xor(PyObject* s, PyObject* o) noexcept { return entry<&inplace_bitwise<Xor>>(s, o); }
PyObject* nb_inplace_lshift(PyObject* s, PyObject* o) noexcept { return entry<&inplace_bitwise<LShift>>(s, o); }
PyObject* nb_inplace_rshift(PyObject* s, PyObject* o) noexcept { return entry<&inplace_bitwise<RShift>>(s, o); }
PyObject* nb_inplace_matrix_multiply(PyObject* s, PyObject* o) noexcept {
    return entry<&inplace_bitwise<MatMul>>(s, o);
}

}  // namespace corvantile::python
