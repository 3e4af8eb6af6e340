#pragma once

// Element-wise results of strided views read where their elements lie: one pass in memory
// order for a large view whose elements fill one stretch (the result then lies like the
// view, as NumPy lays it out), the walks in logical order for any other.

#include "array/walk_map.hpp"
#include "array/walk_zip.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

namespace corvantile::python {

// Views from this size whose elements fill one stretch of memory (transposes) give
// results in that memory order; smaller ones are cheaper to transpose than to wrap twice.
inline constexpr std::uint64_t KEEP_ORDER_FROM = 256;

// An ndarray's elements for a native read: `view` set for a strided view read in place
// (of IN_PLACE_FROM elements or more; `array->value` then gives only the shape), else the
// array's own elements (a small view's refreshed shadow).
struct ViewRead {
    PyArray* array = nullptr;
    std::optional<walk::Strided> view;

    const AnyArray& value() const noexcept { return array->value; }
    const walk::Strided* in_place() const noexcept { return view ? &*view : nullptr; }
};

inline ViewRead read_of(PyArray& a) {
    ViewRead r{&a, in_place_layout(a)};
    if (!r.view && a.strided) a.refresh();
    return r;
}

// A new ndarray of `dims` (R elements) over fresh memory of its own for its elements,
// laid out under the byte `strides` with its first element `first` elements into that
// memory (a result in its operands' memory order); `out` receives the memory's start,
// which the caller fills before the object is used.
template <class R>
Result<Ref> owned_strided(const ArrayDims& dims, std::span<const std::int64_t> strides, std::uint64_t first,
                          R*& out) {
    const std::uint64_t n = dims.size();
    auto memory = create_unwritten<R>(ArrayDims::c_of_valid(std::span(&n, 1), sizeof(R)), out);
    if (!memory) return memory;
    auto r = create_strided(ElementTraits<R>::kind, dims, memory->get(), reinterpret_cast<std::byte*>(out + first),
                            strides);
    if (r) PyArray::of(r->get())->strided->owns_root = true;
    return r;
}

// A new ndarray of R elements under dims laid out dense in the axis order `perm` (outer
// to inner: the memory order its operands share, walk::result_order), over fresh memory
// that it owns (`out` receives it); nothing where that order is C order.
template <class R>
std::optional<Result<Ref>> in_axis_order(const ArrayDims& dims, const std::array<std::size_t, MAX_NDIM>& perm,
                                         R*& out) {
    const auto shape = dims.shape();
    std::array<std::int64_t, MAX_NDIM> strides{};
    bool c_order = true;
    auto stride = static_cast<std::int64_t>(sizeof(R));
    for (std::size_t k = shape.size(); k-- > 0;) {
        const std::size_t axis = perm[k];
        strides[axis] = stride;
        c_order = c_order && (shape[axis] == 1 || dims.strides()[axis] == stride);
        stride *= static_cast<std::int64_t>(shape[axis]);
    }
    if (c_order) return std::nullopt;
    return owned_strided<R>(dims, std::span(strides.data(), shape.size()), 0, out);
}

// A new ndarray of R elements with the shape of `dims` holding the elements of the view
// `s` (T elements) mapped: in memory order by dense(x, o, n) over the whole stretch
// where it is one of KEEP_ORDER_FROM elements or more, else by walked(layout, o) over s
// with its axes in the result's memory order (in_axis_order; logical order below
// KEEP_ORDER_FROM), o filled in that order. A null Ref when dense or walked returns false
// (the caller takes another road).
template <class R, class T, class Dense, class Walked>
Result<Ref> view_result(const ArrayDims& dims, const walk::Strided& s, Dense dense, Walked walked) {
    R* out = nullptr;
    const ArrayDims rdims =
        dims.itemsize() == sizeof(R) ? dims : ArrayDims::c_of_valid(dims.shape(), sizeof(R));
    const std::uint64_t n = dims.size();
    const std::byte* start = n >= KEEP_ORDER_FROM ? walk::dense_start(s, sizeof(T)) : nullptr;
    if (start == nullptr) {
        if (n >= KEEP_ORDER_FROM) {
            const auto perm = walk::result_order<1>({s});
            if (auto r = in_axis_order<R>(rdims, perm, out)) {
                if (*r && !walked(walk::permuted(s, perm), out)) return Ref{};
                return std::move(*r);
            }
        }
        auto r = create_unwritten<R>(rdims, out);
        if (r && !walked(s, out)) return Ref{};
        return r;
    }
    // Under the view's strides counted in elements (every axis of more than one element
    // steps forward: dense_start); a length-1 axis whose stride would overflow gets 0.
    std::array<std::int64_t, MAX_NDIM> strides{};
    constexpr auto from = static_cast<std::int64_t>(sizeof(T));
    constexpr auto to = static_cast<std::int64_t>(sizeof(R));
    for (std::size_t k = 0; k < s.ndim; ++k) {
        if (__builtin_mul_overflow(s.strides[k] / from, to, &strides[k])) strides[k] = 0;
    }
    const auto first = static_cast<std::uint64_t>((s.data - start) / from);
    auto r = owned_strided<R>(rdims, std::span(strides.data(), s.ndim), first, out);
    if (!r) return r;
    if (!dense(reinterpret_cast<const T*>(start), out, static_cast<std::size_t>(n))) return Ref{};
    return r;
}

// out = f(element) of the view s, as view_result lays it out.
template <class R, class T, class F>
[[gnu::noinline]] Result<Ref> map_view(const ArrayDims& dims, const walk::Strided& s, F f) {
    return view_result<R, T>(
        dims, s,
        [f](const T* x, R* o, std::size_t n) {
            loops::map_loop<R>(x, o, n, f);
            return true;
        },
        [&](const walk::Strided& layout, R* o) {
            walk::map<R, T>(layout, o, f);
            return true;
        });
}

// The same with a kernel(x, o, n) over runs of elements (false: the result is given up).
template <class R, class T, class Kernel>
[[gnu::noinline]] Result<Ref> map_view_runs(const ArrayDims& dims, const walk::Strided& s, Kernel kernel) {
    return view_result<R, T>(dims, s, kernel,
                             [&](const walk::Strided& layout, R* o) { return walk::map_blocks<R, T>(layout, o, kernel); });
}

// A new C-ordered array of like's kind under `shape` (as many elements as s) holding the
// elements of the view s in logical order.
inline Result<Ref> copy_view(const AnyArray& like, const walk::Strided& s, std::span<const std::uint64_t> shape) {
    return like.visit([&]<class T>(const Array<T>&) -> Result<Ref> {
        T* out = nullptr;
        auto r = create_unwritten<T>(ArrayDims::c_of_valid(shape, sizeof(T)), out);
        if (r) walk::copy<T>(s, out);
        return r;
    });
}

// sort(x) for x a contiguous copy of a 1-D float64 or int64 view read in place; nothing
// for any other array (the caller reads its elements).
template <class Sort>
std::optional<Result<Ref>> sort_input_of(const PyArray& a, Sort sort) {
    if (a.value.ndim() != 1 || a.value.kind() == ElementKind::Bool) return std::nullopt;
    const std::optional<walk::Strided> view = in_place_layout(a);
    if (!view) return std::nullopt;
    return a.value.visit([&]<class T>(const Array<T>& shape) -> std::optional<Result<Ref>> {
        if constexpr (std::is_same_v<T, Bool>) {
            return std::nullopt;
        } else {
            Array<T> x = Array<T>::from_parts(Storage<T>::uninit(shape.len()), shape.dims());
            walk::copy<T>(*view, x.data());
            return sort(x);
        }
    });
}

}  // namespace corvantile::python
