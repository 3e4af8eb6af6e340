#pragma once

// What the operator files and the element-wise module functions share: the loops over
// mixed element kinds, the roads of a description (operations.hpp), and the few steps
// every operator takes (wrapping, NumPy's road, NotImplemented).

#include "array/array.hpp"
#include "array/loops.hpp"
#include "array/walk.hpp"
#include "array/walk_zip.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/operators/operations.hpp"
#include "python/operators/operators.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"
#include "python/object/view_map.hpp"
#include "python/runtime/interned.hpp"

#include <cmath>
#include <cstdint>
#include <expected>
#include <string_view>
#include <type_traits>

namespace corvantile::python::ops {

// The operation with its operands swapped: other OP self with self's element first.
template <class Op>
struct Flip {
    double operator()(double self, double other) const noexcept { return Op{}(other, self); }
};
template <class Op, bool Reflected>
using Directed = std::conditional_t<Reflected, Flip<Op>, Op>;

// ---- loops over mixed element kinds ---------------------------------------------------

// Same shape, whatever the item sizes: the whole record for one kind, else the sizes.
inline bool same_shape(const ArrayDims& a, const ArrayDims& b) noexcept {
    if (a.itemsize() == b.itemsize()) return a == b;
    return a.ndim() == b.ndim() && a.shape_slots() == b.shape_slots();
}

// An int64 or bool array converted to float64 (bool as 0.0 / 1.0).
template <class T>
Array<double> to_f64(const Array<T>& a) {
    const std::size_t n = a.len();
    Storage<double> out = Storage<double>::uninit(n);
    map_loop(a.data(), out.ptr(), n, [](T x) { return as_double(x); });
    return Array<double>::from_parts(std::move(out), ArrayDims::c_of_valid(a.shape(), 8));
}

// f(a, b) in float64 for arrays of different shapes, broadcast by NumPy's rule (a
// conflict names the shapes in the order a, b); int64 and bool arrays are converted first.
template <class T, class U, class F>
std::expected<Array<double>, ArrayError> broadcast_f64(const Array<T>& a, const Array<U>& b, F f) {
    if constexpr (std::is_same_v<T, double> && std::is_same_v<U, double>) {
        return a.zip_map(b, f);
    } else if constexpr (std::is_same_v<T, double>) {
        return a.zip_map(to_f64(b), f);
    } else if constexpr (std::is_same_v<U, double>) {
        return to_f64(a).zip_map(b, f);
    } else {
        return to_f64(a).zip_map(to_f64(b), f);
    }
}

// ---- results written in place ---------------------------------------------------------
//
// The common results (scalar operands, arrays of one shape) are computed straight into
// the buffer of the new ndarray: one allocation, no intermediate array to move and drop.

// A new ndarray of R elements with a's shape, unwritten; `out` receives its buffer,
// which the caller fills before the object is used.
template <class R, class T>
Result<Ref> result_like(const Array<T>& a, R*& out) {
    if (a.dims().itemsize() == sizeof(R)) return create_unwritten<R>(a.dims(), out);
    return create_unwritten<R>(ArrayDims::c_of_valid(a.shape(), sizeof(R)), out);
}

using loops::map_loop;
using loops::update_loop;
using loops::zip_loop;

// Where the elements of a strided view are read in place (its shadow `a` then gives only
// the shape), or null: the array's own elements.
using InPlace = const walk::Strided*;

// Views from this size whose elements fill one stretch of memory (transposes) give
// results in that memory order, as NumPy's do (view_map.hpp).
using python::KEEP_ORDER_FROM;

// out[i] = f(element i of a strided view of KEEP_ORDER_FROM elements or more) into a new
// ndarray of a's shape (a is the view's shadow, for the shape) with elements of R.
template <class R, class T, class F>
Result<Ref> map_large_view(const Array<T>& a, const walk::Strided& view, F f) {
    return map_view<R, T>(a.dims(), view, f);
}

// out[i] = f(a[i]) into a new ndarray of a's shape with elements of R.
template <class R, class T, class F>
inline Result<Ref> map_new(const Array<T>& a, F f, InPlace view = nullptr) {
    if (view != nullptr && a.len() >= KEEP_ORDER_FROM) [[unlikely]] return map_large_view<R>(a, *view, f);
    R* out = nullptr;
    auto r = result_like<R>(a, out);
    if (!r) return r;
    if (view != nullptr) {
        walk::map<R, T>(*view, out, f);
    } else {
        map_loop<R>(a.data(), out, a.len(), f);
    }
    return r;
}

// Where an array operand's elements lie: its view's layout, or its own in C order.
template <class T>
walk::Strided layout_of(const Array<T>& a, InPlace view) noexcept {
    if (view != nullptr) return *view;
    return walk::c_layout(a.data(), a.shape().data(), a.ndim(), sizeof(T));
}

// Whether two layouts of one shape step alike in elements (of T and U).
template <class T, class U>
bool same_order(const walk::Strided& x, const walk::Strided& y) noexcept {
    for (std::size_t k = 0; k < x.ndim; ++k) {
        if (x.shape[k] > 1 &&
            x.strides[k] / static_cast<std::int64_t>(sizeof(T)) != y.strides[k] / static_cast<std::int64_t>(sizeof(U))) {
            return false;
        }
    }
    return true;
}

// out[i] = f(x[i], y[i]) for layouts x and y of `shape` into a new ndarray of R
// elements. From KEEP_ORDER_FROM elements the result is laid out in the memory order the
// operands share (walk::result_order), as NumPy's is, and walked in that order: two
// transposes give a transposed result in one pass over their memory.
template <class R, class T, class U, class F>
Result<Ref> zip_layouts(std::span<const std::uint64_t> shape, const walk::Strided& x, const walk::Strided& y, F f) {
    auto dims = ArrayDims::make(shape, sizeof(R));
    if (!dims) return failure(array_error(std::move(dims.error())));
    const std::uint64_t n = dims->size();
    R* out = nullptr;
    if (n >= KEEP_ORDER_FROM) {
        const auto perm = walk::result_order<2>({x, y});
        if (auto laid = in_axis_order<R>(*dims, perm, out)) {
            auto r = std::move(*laid);
            if (!r) return r;
            const std::byte* sx = walk::dense_start(x, sizeof(T));
            const std::byte* sy = sx != nullptr ? walk::dense_start(y, sizeof(U)) : nullptr;
            if (sy != nullptr && same_order<T, U>(x, y)) {
                // Both fill one stretch alike (two transposes): one pass over each.
                walk::zip_dense<R>(reinterpret_cast<const T*>(sx), reinterpret_cast<const U*>(sy), out, n, f);
            } else {
                walk::zip_pair<R, T, U>(walk::permuted(x, perm), walk::permuted(y, perm), out, f);
            }
            return r;
        }
    }
    auto r = create_unwritten<R>(*dims, out);
    if (r && n != 0) walk::zip_pair<R, T, U>(x, y, out, f);
    return r;
}

// out[i] = f(a[i], b[i]) for a and b of one shape (the caller checked), either of them a
// view read in place (va, vb).
template <class R, class T, class U, class F>
[[gnu::noinline]] Result<Ref> zip_views(const Array<T>& a, InPlace va, const Array<U>& b, InPlace vb, F f) {
    return zip_layouts<R, T, U>(a.shape(), layout_of(a, va), layout_of(b, vb), f);
}

// out[i] = f(a[i], b[i]) for a and b of one shape (the caller checked), elements of R;
// va, vb as for zip_views.
template <class R, class T, class U, class F>
Result<Ref> zip_new(const Array<T>& a, const Array<U>& b, F f, InPlace va = nullptr, InPlace vb = nullptr) {
    if (va != nullptr || vb != nullptr) [[unlikely]] {
        return zip_views<R>(a, va, b, vb, f);
    }
    R* out = nullptr;
    auto r = result_like<R>(a, out);
    if (!r) return r;
    walk::zip_dense<R>(a.data(), b.data(), out, a.len(), f);
    return r;
}

// f(a, b) into a new ndarray of R elements for a and b broadcast together by NumPy's
// rule (a conflict names the shapes in the order a, b); va, vb as for zip_views.
template <class R, class T, class U, class F>
[[gnu::noinline]] Result<Ref> zip_broadcast(const Array<T>& a, InPlace va, const Array<U>& b, InPlace vb, F f) {
    auto shape = array::broadcast_shape(a.shape(), b.shape());
    if (!shape) return failure(array_error(std::move(shape.error())));
    const std::size_t n = shape->size();
    return zip_layouts<R, T, U>(shape->span(), walk::broadcast_to(layout_of(a, va), shape->data(), n),
                                walk::broadcast_to(layout_of(b, vb), shape->data(), n), f);
}

// ---- steps every operator takes ---------------------------------------------------------

// A new ndarray around a native result, or the array error as a Python exception.
template <class T>
Result<Ref> wrap(std::expected<Array<T>, ArrayError>&& r) {
    if (!r) return failure(array_error(std::move(r.error())));
    return create_class_object(AnyArray(std::move(*r)));
}

inline Result<Ref> not_implemented() noexcept { return Ref::borrow(Py_NotImplemented); }

// The interned name of Op's NumPy function (Op::numpy views a literal or a FixedString).
template <class Op>
constinit Interned NUMPY_NAME{Op::numpy.data()};

// numpy.<Op's function> with the operands in Python order.
template <class Op>
Result<Ref> numpy_call(PyObject* self, PyObject* other, bool reflected) {
    auto name = NUMPY_NAME<Op>.get();
    if (!name) return failure(std::move(name.error()));
    return reflected ? fallback::call_named(*name, other, self) : fallback::call_named(*name, self, other);
}

// Whether an operand the native side does not take goes to NumPy: the objects NumPy
// handles, and ints beyond float range (the only ints that classify leaves
// unsupported; NumPy raises its own OverflowError for them).
inline bool numpy_takes(PyObject* other) noexcept { return numpy_handles(other) || PyLong_Check(other); }

// A float operand that an int64 or bool array computes with natively: a Python float or
// subclass. Ints beyond int64, NumPy's other float and bool scalars and other objects
// with a float value keep NumPy's own promotion (bool + float32 is float32, say).
inline bool plain_float(PyObject* other) noexcept { return PyFloat_Check(other) != 0; }

inline void refresh(PyArray& self) {
    if (self.strided) self.refresh();
}

// The value of an array exponent that NumPy applies as one value for the whole
// operation: a 0-d array, or a one-element array broadcast over a larger self; in place
// (`**=`), any one-element array, whatever self's size.
template <class T, class U>
std::optional<double> single_exponent(const Array<T>& self, const Array<U>& exponent, bool in_place = false) {
    if (exponent.len() != 1 || (!in_place && exponent.ndim() != 0 && self.len() <= 1)) return std::nullopt;
    return as_double(exponent.data()[0]);
}

// ---- what the descriptions compute ------------------------------------------------------

// The one-operand operation Op over an array by the road of its element kind; NumPy's
// `name` of `object` (the array's Python object) where that road is NumPy's. Without
// `AnyKind` only float64 results are native (the module functions answer int64 and
// bool results with NumPy's arrays).
// `view` as for map_new.
template <class Op, bool AnyKind>
Result<Ref> unary_array(const AnyArray& any, std::string_view name, PyObject* object, InPlace view = nullptr) {
    return any.visit([&]<class T>(const Array<T>& a) -> Result<Ref> {
        constexpr Road road = road_of<Op, T>;
        if constexpr (road == Road::native && (AnyKind || std::is_same_v<T, double>)) {
            return map_new<T>(a, element<Op>([](T x) { return Op::apply(x); }), view);
        } else if constexpr (road == Road::as_f64 && std::is_same_v<T, std::int64_t>) {
            // The conversion in vector operations (AVX2 has none for int64), fused with Op.
            return map_new<double>(
                a, element<Op>([](T x) CORVANTILE_INLINE_LAMBDA { return Op::apply(loops::to_double(x)); }), view);
        } else if constexpr (road == Road::as_f64) {
            return map_new<double>(a, element<Op>([](T x) { return Op::apply(static_cast<double>(x)); }), view);
        } else {
            return fallback::call(name, {object});
        }
    });
}

}  // namespace corvantile::python::ops
