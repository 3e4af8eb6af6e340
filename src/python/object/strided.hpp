#pragma once

// Views that share memory with their base. A C-contiguous layout becomes an ndarray whose
// storage borrows the root owner's memory; any other layout becomes a strided view, whose
// elements the native reads and writes walk where they lie in the base memory
// (walk_layout). Its `value` gives the shape and element kind; as a contiguous shadow it
// is filled (PyArray::refresh) by the reads of views under IN_PLACE_FROM elements, which
// cost less through it.

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
// operators; smaller ones measured faster through their shadow, which lives in their
// object (the walks' fixed costs exceed a gather of a few elements).
inline constexpr std::uint64_t IN_PLACE_FROM = 16;

// A strided view's layout for the walks that read it in place, or nothing (not a strided
// view, or a small one); the caller refreshes where it gets nothing.
inline std::optional<walk::Strided> in_place_layout(const PyArray& a) noexcept {
    if (!a.strided || a.value.len() < IN_PLACE_FROM) return std::nullopt;
    return walk_layout(a);
}

// A strided view's elements copied from where they lie into a new C-ordered array
// (std::bad_alloc may propagate); `a` must be a strided view, as for scatter.
AnyArray gather(const PyArray& a);

// Writes a strided view's elements from `flat` (C order, as gather gives them) into the
// base memory; where elements share memory, the last in C order wins.
void scatter(PyArray& a, const void* flat) noexcept;

namespace python {

// The object that really owns a's memory (borrowed): the root of a strided view, the
// owner of borrowed storage, or a itself.
PyObject* root_owner(const PyArray& a) noexcept;

// A new ndarray over `layout`, which must lie inside the memory of source's root owner:
// a contiguous view, a strided view, or (for an empty layout) a new empty array.
Result<Ref> view_from_layout(const PyArray& source, const Layout& layout);

}  // namespace python
}  // namespace corvantile
