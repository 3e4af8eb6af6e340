#pragma once

// The reductions of ndarray (sum, prod, mean, max, min, var, std, argmax, argmin, any,
// all, cumsum, cumprod) and the fixed 8-lane summation that every native whole-array
// float64 total uses.

#include "python/args.hpp"
#include "python/error.hpp"

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// The float64 total of xs in one fixed order: eight lane accumulators (element i goes to
// lane i mod 8, each lane adds in ascending order), combined as
// ((L3+L7)+(L2+L6))+((L1+L5)+(L0+L4)), plus the tail past the last multiple of 8 added
// sequentially from -0.0. Bit-reproducible; an empty input gives +0.0.
double lane_sum(std::span<const double> xs) noexcept;

// What the axis argument of a reduction asks for.
struct AxisArg {
    struct All {};  // every element: no axis, or None
    struct Axis {
        std::int64_t axis;  // as given: not yet checked against ndim
    };
    struct Unsupported {};  // any other form: NumPy's
    std::variant<All, Axis, Unsupported> form;
};

// Reads `()`, `(axis)` or `(axis=...)` with axis None or an int; every other form is
// Unsupported. An int axis that does not fit int64 raises OverflowError.
Result<AxisArg> parse_axis(const CallArgs& args);

// ValueError "zero-size array to reduction operation {name} which has no identity".
Error no_identity(std::string_view name);

// The int64 and bool versions of sum, prod, mean, max and min.
Result<Ref> alt_reduce(PyArray& self, std::string_view name, const CallArgs& args);

// The method bodies: args is the positional tuple, kwargs a dict or null.
Result<Ref> sum_method(PyArray& self, const CallArgs& args);
Result<Ref> prod_method(PyArray& self, const CallArgs& args);
Result<Ref> mean_method(PyArray& self, const CallArgs& args);
Result<Ref> max_method(PyArray& self, const CallArgs& args);
Result<Ref> min_method(PyArray& self, const CallArgs& args);
Result<Ref> var_method(PyArray& self, const CallArgs& args);
Result<Ref> std_method(PyArray& self, const CallArgs& args);
Result<Ref> argmax_method(PyArray& self, const CallArgs& args);
Result<Ref> argmin_method(PyArray& self, const CallArgs& args);
Result<Ref> any_method(PyArray& self, const CallArgs& args);
Result<Ref> all_method(PyArray& self, const CallArgs& args);
Result<Ref> cumsum_method(PyArray& self, const CallArgs& args);
Result<Ref> cumprod_method(PyArray& self, const CallArgs& args);

}  // namespace corvantile::python
