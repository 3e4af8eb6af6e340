#pragma once

// Views that share memory with their base. A C-contiguous layout becomes an ndarray whose
// storage borrows the root owner's memory; any other layout becomes a strided view whose
// `value` is a private contiguous shadow, allocated and gathered from the base memory
// by PyArray::refresh before a native read and scattered back by PyArray::commit after a
// native write. The common reads (copies, element-wise operators, whole reductions) and
// the in-place operators with a scalar walk the base memory directly (walk_layout) and
// leave the shadow alone.

#include "array/walk.hpp"
#include "python/object/pyarray.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace corvantile {

// A request for a view: the shape, the signed byte strides and the address of the first
// element, inside the memory of the source's root owner. Slots at and beyond ndim are 0.
struct Layout {
    std::array<std::uint64_t, MAX_NDIM> shape{};
    std::array<std::int64_t, MAX_NDIM> strides{};
    std::byte* data = nullptr;
    std::size_t ndim = 0;

    // Where an ndarray's elements really are: the base memory for a strided view, its own
    // storage (C strides) otherwise.
    static Layout of(const PyArray& a) noexcept;

    // The layout of a basic selection: one plan item per axis; an axis whose selector is
    // an integer index is dropped, every other axis (slice, or beyond the selectors) kept.
    Layout select(const SelectionPlan& plan, std::span<const Selector> selectors) const;
};

// A strided view's elements where they are, for the core's walks (which read them in
// place instead of through the shadow); `a` must be a strided view.
walk::Strided walk_layout(const PyArray& a) noexcept;

// Strided views from this size are read in place by copies and the element-wise
// operators; smaller ones measured faster through their shadow, which lives in their object.
inline constexpr std::uint64_t IN_PLACE_FROM = 16;

// A strided view's layout for the walks that read it in place, or nothing (not a strided
// view, or a small one); the caller refreshes where it gets nothing.
inline std::optional<walk::Strided> in_place_layout(const PyArray& a) noexcept {
    if (!a.strided || a.value.len() < IN_PLACE_FROM) return std::nullopt;
    return walk_layout(a);
}

namespace python {

// The object that really owns a's memory (borrowed): the root of a strided view, the
// owner of borrowed storage, or a itself.
PyObject* root_owner(const PyArray& a) noexcept;

// A new ndarray over `layout`, which must lie inside the memory of source's root owner:
// a contiguous view, a strided view, or (for an empty layout) a new empty array.
Result<Ref> view_from_layout(const PyArray& source, const Layout& layout);

}  // namespace python
}  // namespace corvantile
