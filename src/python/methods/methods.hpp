#pragma once

// The bodies of the ndarray methods, which the module-level method functions share.
// Each computes natively for the forms it knows and hands the rest to NumPy's method.

#include "python/runtime/args.hpp"
#include "python/runtime/error.hpp"

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// ---- Reductions (sum, prod, mean, max, min, var, std, argmax, argmin, any, all, cumsum,
// cumprod) and the fixed 8-lane summation that every native whole-array float64 total uses.

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

// ---- round, clip, astype and fill: new arrays of the same shape (or, for fill, a
// write in place) from float64, int64 and bool elements; other forms go to NumPy.

// a.round(*args, **kwargs): native for float64 arrays with an int decimals.
Result<Ref> round_method(PyArray& self, const CallArgs& args);
// a.clip(*args, **kwargs): native for float64 arrays with two scalar bounds (one may be None).
Result<Ref> clip_method(PyArray& self, const CallArgs& args);
// a.astype(dtype, *args, **kwargs): native between float64, int64 and bool.
Result<Ref> astype_method(PyArray& self, const CallArgs& args);
// a.fill(value): native for a scalar into a float64 array.
Result<Ref> fill_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- Shape operations: reshape, ravel, flatten, transpose, T and the shape
// setter. An array that is not a strided view is one C-order block, so reshape and ravel
// give views over the same memory; a strided view gets copies (and refuses the setter).

Result<Ref> reshape_method(PyArray& self, const CallArgs& args);
Result<Ref> ravel_method(PyArray& self, const CallArgs& args);
Result<Ref> flatten_method(PyArray& self, const CallArgs& args);
Result<Ref> transpose_method(PyArray& self, const CallArgs& args);

// The reversed-axes view of self (transpose() and T); reads no element.
Result<Ref> transposed(PyArray& self);
// The property T.
Result<Ref> transpose_property(PyArray& self, void*);
// a.shape = value: rewrites the shape record in place; value null is `del a.shape`.
Result<> set_shape(PyArray& self, PyObject* value, void*);

inline constexpr const char* SHAPE_DOC =
    "`a.shape = new_shape` reshapes in place, as in NumPy. Buffer views\n"
    "taken earlier keep the shape they were created with.";

// ---- argsort, and the keywords every argsort handed to NumPy carries.

// The keywords for NumPy's argsort: a copy of kwargs (may be null) made stable, unless
// the caller chose a kind (a second positional in args, or "kind") or a stability (a
// "stable" that is not None). args are the positionals after the array.
Result<Ref> stable_by_default(std::span<PyObject* const> args, PyObject* kwargs);

// a.argsort(*args, **kwargs): native for a plain call on a 1-D float64 array.
Result<Ref> argsort_method(PyArray& self, const CallArgs& args);

// ---- copy, and the test of order arguments it shares with ravel and flatten.

// Whether a method's positional tuple and keyword dictionary (may be null) ask for
// nothing but C order: no argument, or one order argument "A", "C" or "K" in either
// case (positional alone, or the one keyword "order"). False sends the call to NumPy.
Result<bool> c_order_only(const CallArgs& args);

// a.copy(*args, **kwargs): a native deep copy for C-order requests, NumPy's otherwise.
Result<Ref> copy_method(PyArray& self, const CallArgs& args);

// ---- nonzero().

// a.nonzero(): a tuple of one 1-D int64 array of coordinates per axis, in C order.
Result<Ref> nonzero_method(PyArray& self, PyObject*);

// ---- dot: the inner product of two 1-D float64 arrays, NumPy's dot for the rest.

// a.dot(other) once the argument is bound.
Result<Ref> dot(PyArray& self, PyObject* other);
// The method: binds the one parameter "other".
Result<Ref> dot_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvantile::python
