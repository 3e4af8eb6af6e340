#pragma once

// ndarray.copy, and the test of order arguments it shares with ravel and flatten.

#include "python/args.hpp"
#include "python/error.hpp"

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// Whether a method's positional tuple and keyword dictionary (may be null) ask for
// nothing but C order: no argument, or one order argument "A", "C" or "K" in either
// case (positional alone, or the one keyword "order"). False sends the call to NumPy.
Result<bool> c_order_only(const CallArgs& args);

// a.copy(*args, **kwargs): a native deep copy for C-order requests, NumPy's otherwise.
Result<Ref> copy_method(PyArray& self, const CallArgs& args);

}  // namespace corvantile::python
