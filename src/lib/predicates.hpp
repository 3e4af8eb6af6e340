#pragma once

// The float predicates isnan, isfinite, isinf and signbit: a bool array for a float64
// array, numpy.bool_ for a Python number, NumPy's answer for everything else.

#include "python/runtime/error.hpp"

#include <cstdint>
#include <string_view>

namespace corvantile::python {

enum class Predicate : std::uint8_t { IsNan, IsFinite, IsInf, SignBit };

// The predicate applied to x (np_name is the function's NumPy name).
Result<Ref> predicate(Predicate p, std::string_view np_name, PyObject* x);

// The native fast path of one predicate, for fast_entry.
template <Predicate P>
Result<Ref> predicate_native(std::string_view np_name, PyObject* x) {
    return predicate(P, np_name, x);
}

}  // namespace corvantile::python
