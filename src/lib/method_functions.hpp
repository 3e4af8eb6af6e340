#pragma once

// The module-level twins of ndarray methods (sum(a, ...) for a.sum(...)) and the fast
// entry that puts them behind a fast call.

#include "python/runtime/args.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/fixed_string.hpp"
#include "python/runtime/frame.hpp"

#include <optional>
#include <string_view>

namespace corvantile::python {

// f(a, rest): a any object, rest the further arguments of the fast call. For an exact ndarray the method's body runs, for a subtype instance
// its own method, for any other object NumPy's function of the same name.
using MethodFunction = Result<Ref> (*)(PyObject* a, const CallArgs& rest);

Result<Ref> sum_fn(PyObject* a, const CallArgs& rest);
Result<Ref> prod_fn(PyObject* a, const CallArgs& rest);
Result<Ref> mean_fn(PyObject* a, const CallArgs& rest);
Result<Ref> max_fn(PyObject* a, const CallArgs& rest);
Result<Ref> min_fn(PyObject* a, const CallArgs& rest);
Result<Ref> var_fn(PyObject* a, const CallArgs& rest);
Result<Ref> std_fn(PyObject* a, const CallArgs& rest);
Result<Ref> argmax_fn(PyObject* a, const CallArgs& rest);
Result<Ref> argmin_fn(PyObject* a, const CallArgs& rest);
Result<Ref> cumsum_fn(PyObject* a, const CallArgs& rest);
Result<Ref> cumprod_fn(PyObject* a, const CallArgs& rest);
Result<Ref> dot_fn(PyObject* a, const CallArgs& rest);
Result<Ref> clip_fn(PyObject* a, const CallArgs& rest);
Result<Ref> round_fn(PyObject* a, const CallArgs& rest);
Result<Ref> reshape_fn(PyObject* a, const CallArgs& rest);
Result<Ref> copy_fn(PyObject* a, const CallArgs& rest);
Result<Ref> nonzero_fn(PyObject* a, const CallArgs& rest);
Result<Ref> ravel_fn(PyObject* a, const CallArgs& rest);
Result<Ref> transpose_fn(PyObject* a, const CallArgs& rest);
Result<Ref> any_fn(PyObject* a, const CallArgs& rest);
Result<Ref> all_fn(PyObject* a, const CallArgs& rest);

// The native body of the method `name` run on the exact ndarray a; none when the call is
// not one it runs ("dot" without exactly one further positional and no keywords, or a
// name it does not know).
std::optional<Result<Ref>> call_native_method(PyObject* a, std::string_view name, const CallArgs& rest);

// A fast call turned into f(a, rest): a is the first positional, else the keyword
// "a"; a missing a raises "{name}() missing 1 required positional argument: 'a'".
Result<Ref> method_entry(std::string_view name, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                         MethodFunction f);

// The fast entry of the method function Fn registered as Name.
template <FixedString Name, MethodFunction Fn>
PyObject* method_raw(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return light_frame(Name.view(), [&] { return method_entry(Name.view(), args, nargsf, kwnames, Fn); });
}

}  // namespace corvantile::python
