// The rich comparisons of ndarray: element by element into a new bool array for the
// operand forms known natively (arrays of identical shape only, never broadcasting),
// NumPy for the rest. Large strided views are read where they lie.

#include "python/operators/operator_kernels.hpp"

#include <cmath>
#include <optional>

namespace corvantile::python {

using namespace ops;

namespace {

// A comparison: its NumPy name and its Python operator; `==` and `!=` are the equalities.
template <FixedString Name, int PyOp, loops::Relation Rel>
struct Comparison {
    static constexpr std::string_view name = Name.view();
    static constexpr int op = PyOp;
    static constexpr loops::Relation relation = Rel;
    static constexpr bool equality = PyOp == Py_EQ || PyOp == Py_NE;
    static constexpr std::string_view method = PyOp == Py_EQ ? "__eq__" : "__ne__";
    template <class T>
    bool operator()(T a, T b) const noexcept {
        return loops::holds<Rel>(a, b);
    }
};
using Lt = Comparison<"less", Py_LT, loops::Relation::Lt>;
using Le = Comparison<"less_equal", Py_LE, loops::Relation::Le>;
using Eq = Comparison<"equal", Py_EQ, loops::Relation::Eq>;
using Ne = Comparison<"not_equal", Py_NE, loops::Relation::Ne>;
using Gt = Comparison<"greater", Py_GT, loops::Relation::Gt>;
using Ge = Comparison<"greater_equal", Py_GE, loops::Relation::Ge>;

// An element as compared: a bool element is its truth (any nonzero byte is True).
template <class T>
auto plain(T x) noexcept {
    if constexpr (std::is_same_v<T, Bool>) {
        return is_true(x);
    } else {
        return x;
    }
}

// float64 rows from this many elements go to the compare kernel (predicates.hpp); below it
// its calls (about 250 instructions) cost more than it saves over the element loop.
inline constexpr std::size_t KERNEL_FROM = 128;

// Two float64 elements compared, and whole rows of them by the kernel (loops.hpp ZipRows).
template <class C>
struct CompareF64 {
    Bool operator()(double x, double y) const noexcept { return to_bool(C{}(x, y)); }
    bool rows(const double* x, std::int64_t sx, const double* y, std::int64_t sy, Bool* o, std::size_t n,
              bool stream) const noexcept {
        return n >= KERNEL_FROM && loops::compare_f64(C::relation, x, sx, y, sy, o, n, stream);
    }
};

// A float64 element compared with s, and whole rows (loops.hpp MapRows).
template <class C>
struct CompareWithF64 {
    double s;
    Bool operator()(double x) const noexcept { return to_bool(C{}(x, s)); }
    bool rows(const double* x, std::int64_t sx, Bool* o, std::size_t n, bool stream) const noexcept {
        return n >= KERNEL_FROM && loops::compare_f64(C::relation, x, sx, &s, 0, o, n, stream);
    }
};

// A native comparison's bool ndarray, or nothing when NumPy must answer.
using Native = std::optional<Result<Ref>>;

// Two arrays of one shape, compared in float64 unless both are int64 or both bool;
// nothing for other shapes (never broadcast).
// va, vb: the layouts of views read in place (zip_new).
template <class C, class T, class U>
Native compare_arrays(const Array<T>& a, InPlace va, const Array<U>& b, InPlace vb) {
    if (!same_shape(a.dims(), b.dims())) return std::nullopt;
    if constexpr (std::is_same_v<T, double> && std::is_same_v<U, double>) {
        return zip_new<Bool>(a, b, CompareF64<C>{}, va, vb);
    } else if constexpr (std::is_same_v<T, U>) {
        return zip_new<Bool>(a, b, [](T x, T y) { return to_bool(C{}(plain(x), plain(y))); }, va, vb);
    } else {
        return zip_new<Bool>(a, b, [](T x, U y) { return to_bool(C{}(as_double(x), as_double(y))); }, va, vb);
    }
}

template <class C, class T, class S>
Result<Ref> compare_scalar(const Array<T>& a, InPlace va, S s) {
    if constexpr (std::is_same_v<T, double> && std::is_same_v<S, double>) {
        return map_new<Bool>(a, CompareWithF64<C>{s}, va);
    } else {
        return map_new<Bool>(a, [s](T x) { return to_bool(C{}(plain(x), s)); }, va);
    }
}

// int64 elements converted to float64, compared with s. Within +-2^53 this is the same
// as comparing the integers with a bound (the conversion is monotonic and exact there,
// and every element beyond it lies beyond s too), which avoids converting each element.
template <class C>
Result<Ref> compare_with_float(const Array<std::int64_t>& a, InPlace va, double s) {
    using I = std::int64_t;
    if (std::fabs(s) < 0x1p53) {
        const auto floor = static_cast<I>(std::floor(s));
        const auto ceil = static_cast<I>(std::ceil(s));
        const bool whole = floor == ceil;
        if constexpr (std::is_same_v<C, Lt>) return compare_scalar<Lt>(a, va, ceil);
        if constexpr (std::is_same_v<C, Le>) return compare_scalar<Le>(a, va, floor);
        if constexpr (std::is_same_v<C, Gt>) return compare_scalar<Gt>(a, va, floor);
        if constexpr (std::is_same_v<C, Ge>) return compare_scalar<Ge>(a, va, ceil);
        if constexpr (std::is_same_v<C, Eq> || std::is_same_v<C, Ne>) {
            if (whole) return compare_scalar<C>(a, va, floor);
            const Bool all = to_bool(std::is_same_v<C, Ne>);
            return map_new<Bool>(a, [all](I) { return all; }, va);
        }
    }
    return map_new<Bool>(a, [s](I x) { return to_bool(C{}(static_cast<double>(x), s)); }, va);
}

template <class C>
Native native(const Array<double>& a, InPlace va, PyObject*, const Operand& operand) {
    if (const auto* p = operand.get_if<Operand::F64Array>()) return compare_arrays<C>(a, va, *p->array, p->in_place());
    if (const auto* q = operand.get_if<Operand::OtherArray>()) {
        if (const auto* b = q->array->get_if<std::int64_t>()) return compare_arrays<C>(a, va, *b, q->in_place());
        return std::nullopt;
    }
    return compare_scalar<C>(a, va, operand.scalar_f64().value_or(0.0));
}

template <class C>
Native native(const Array<std::int64_t>& a, InPlace va, PyObject* other, const Operand& operand) {
    if (const auto* p = operand.get_if<Operand::F64Array>()) return compare_arrays<C>(a, va, *p->array, p->in_place());
    if (const auto* q = operand.get_if<Operand::OtherArray>()) {
        if (const auto* b = q->array->get_if<std::int64_t>()) return compare_arrays<C>(a, va, *b, q->in_place());
        return std::nullopt;
    }
    if (const auto* n = operand.get_if<Operand::IntScalar>()) return compare_scalar<C>(a, va, n->value);
    // An int beyond int64 compares exactly in NumPy, so only a real float is native.
    if (const auto* f = operand.get_if<Operand::FloatScalar>(); f != nullptr && plain_float(other)) {
        return compare_with_float<C>(a, va, f->value);
    }
    return std::nullopt;
}

template <class C>
Native native(const Array<Bool>& a, InPlace va, PyObject*, const Operand& operand) {
    if constexpr (C::equality) {
        if (const auto* q = operand.get_if<Operand::OtherArray>()) {
            if (const auto* b = q->array->get_if<Bool>()) return compare_arrays<C>(a, va, *b, q->in_place());
            return std::nullopt;
        }
        if (const auto* s = operand.get_if<Operand::BoolScalar>()) {
            return compare_scalar<C>(a, va, s->value);
        }
    }
    return std::nullopt;
}

template <class C>
Result<Ref> compare(PyArray& self, PyObject* other) {
    const auto view = in_place_layout(self);
    if (!view) ops::refresh(self);
    const InPlace va = view ? &*view : nullptr;
    const Operand operand = classify_in_place(other);
    if (operand.is<Operand::Unsupported>()) {
        if (PyErr_Occurred()) return failure();
        const bool numpy = numpy_takes(other);
        if (PyErr_Occurred()) return failure();
        if (numpy) {
            // `==` and `!=` answer what NumPy's operator does, also where its function has no loop.
            if constexpr (C::equality) return fallback::compare(self.object(), C::op, other);
            return fallback::call(C::name, {self.object(), other});
        }
        if constexpr (C::equality) {
            // NumPy compares any object element by element (`a == None` is all False).
            return fallback::call_method(self.object(), C::method, std::span<PyObject* const>(&other, 1));
        } else {
            return not_implemented();
        }
    }
    auto out = self.value.visit([&](const auto& a) { return native<C>(a, va, other, operand); });
    if (out) return std::move(*out);
    if constexpr (C::equality) return fallback::compare(self.object(), C::op, other);
    return fallback::call(C::name, {self.object(), other});
}

Result<Ref> richcompare(PyArray& self, PyObject* other, int op) {
    switch (op) {
        case Py_LT: return compare<Lt>(self, other);
        case Py_LE: return compare<Le>(self, other);
        case Py_EQ: return compare<Eq>(self, other);
        case Py_NE: return compare<Ne>(self, other);
        case Py_GT: return compare<Gt>(self, other);
        case Py_GE: return compare<Ge>(self, other);
        default: return not_implemented();
    }
}

}  // namespace

PyObject* tp_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return entry<&richcompare>(self, other, op);
}

}  // namespace corvantile::python
