#pragma once

// Where the folds read an ndarray's elements: a contiguous array in place, a small
// strided view gathered onto the stack, a larger one walked in its base memory (never
// through its shadow).

#include "array/walk_fold.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <cstddef>

namespace corvantile::python {

// contiguous(const T* x, std::size_t n) where self's elements (of kind T) can be read as
// one contiguous run, else view(const walk::Strided&) over a strided view of at least
// walk::SMALL_FOLD elements. Both return the same type.
template <class T, class Contiguous, class View>
auto fold_source(const PyArray& self, Contiguous contiguous, View view) {
    const auto& a = *self.value.get_if<T>();
    const auto n = static_cast<std::size_t>(a.len());
    if (!self.strided || n == 0) return contiguous(a.data(), n);
    const walk::Strided s = walk_layout(self);
    if (n < walk::SMALL_FOLD) {
        alignas(64) T small[walk::SMALL_FOLD];
        walk::gather_small<T>(s, small);
        return contiguous(static_cast<const T*>(small), n);
    }
    return view(s);
}

}  // namespace corvantile::python
