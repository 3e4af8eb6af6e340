#pragma once

// The module-level twins of ndarray methods (sum(a, ...) for a.sum(...)) and the fast
// entry that puts them behind a fast call.

#include "python/error.hpp"
#include "python/fixed_string.hpp"
#include "python/frame.hpp"

#include <optional>
#include <string_view>

namespace corvantile::python {

// f(a, rest, kwargs): a any object, rest the further positionals (a tuple), kwargs a
// dict or null. For an exact ndarray the method's body runs, for a subtype instance
// its own method, for any other object NumPy's function of the same name.
using MethodFunction = Result<Ref> (*)(PyObject* a, PyObject* rest, PyObject* kwargs);

Result<Ref> sum_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> prod_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> mean_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> max_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> min_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> var_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> std_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> argmax_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> argmin_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> cumsum_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> cumprod_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> dot_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> clip_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> round_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> reshape_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> copy_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> nonzero_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> ravel_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> transpose_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> any_fn(PyObject* a, PyObject* rest, PyObject* kwargs);
Result<Ref> all_fn(PyObject* a, PyObject* rest, PyObject* kwargs);

// The native body of the method `name` run on the exact ndarray a; none when the call is
// not one it runs ("dot" without exactly one further positional and no keywords, or a
// name it does not know).
std::optional<Result<Ref>> call_native_method(PyObject* a, std::string_view name, PyObject* rest, PyObject* kwargs);

// A fast call turned into f(a, rest, kwargs): a is the first positional, else the keyword
// "a"; a missing a raises "{name}() missing 1 required positional argument: 'a'".
Result<Ref> method_entry(std::string_view name, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                         MethodFunction f);

// The fast entry of the method function Fn registered as Name.
template <FixedString Name, MethodFunction Fn>
PyObject* method_raw(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return light_frame(Name.view(), [&] { return method_entry(Name.view(), args, nargsf, kwnames, Fn); });
}

}  // namespace corvantile::python
