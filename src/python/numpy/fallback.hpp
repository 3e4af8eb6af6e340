#pragma once

// The one road to NumPy's computation: the functions of corvantile._fallback. Every
// call the native side declines goes through here; exceptions pass through unchanged.
// While a module function is still the module's own, its work is done here in C with
// the same meaning (NumPy views of our arrays, NumPy's function, views mapped back);
// a replaced function (a test's spy) is called instead.

#include "python/runtime/args.hpp"
#include "python/runtime/error.hpp"

#include <initializer_list>
#include <span>
#include <string_view>

namespace corvantile::python::fallback {

enum class Function { call, call_method, getitem, setitem, inplace, argsort_descending, compare };

// corvantile._fallback.<function>(*args, **kwargs); kwargs may be null.
Result<Ref> invoke(Function function, std::span<PyObject* const> args, PyObject* kwargs = nullptr);

// numpy.<np_name>(*operands, **kwargs).
Result<Ref> call(std::string_view np_name, std::span<PyObject* const> operands, PyObject* kwargs = nullptr);
Result<Ref> call(std::string_view np_name, std::initializer_list<PyObject*> operands, PyObject* kwargs = nullptr);
// The same for two operands, the name given as an interned str.
Result<Ref> call_named(PyObject* np_name, PyObject* x, PyObject* y);
// A fast call handed on unchanged: numpy.<np_name>(*args[:nargs], **dict(zip(kwnames, args[nargs:]))).
// np_name is a str object.
Result<Ref> call_vector(PyObject* np_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// a.<method>(*rest, **kwargs) with NumPy's method.
Result<Ref> call_method(PyObject* a, std::string_view method, std::span<PyObject* const> rest,
                        PyObject* kwargs = nullptr);
// NumPy's operator `a <op> other`, op a rich comparison (Py_EQ...): what the operator
// gives, also where NumPy's comparison function has no loop for the operands.
Result<Ref> compare(PyObject* a, int op, PyObject* other);
// The same for a fast call: rest is args[:nargs], the keywords kwnames over the values after.
Result<Ref> call_method_vector(PyObject* a, std::string_view method, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
// NumPy's a[key].
Result<Ref> getitem(PyObject* a, PyObject* key);
// NumPy's a[key] = value, into a's memory.
Result<> setitem(PyObject* a, PyObject* key, PyObject* value);
// NumPy's in-place `a <op>= other` for the function np_name, into a's memory.
Result<> inplace(PyObject* a, std::string_view np_name, PyObject* other);
// NumPy's descending argsort of a; kwargs without "descending".
Result<Ref> argsort_descending(PyObject* a, std::span<PyObject* const> rest, PyObject* kwargs = nullptr);

}  // namespace corvantile::python::fallback

// The NumPy road of every ndarray method body that declines a call.
namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// corvantile._fallback.call_method(a, name, *args, **kwargs) for the arguments of a fast call:
// NumPy's result or exception unchanged.
Result<Ref> call_method_fallback(PyArray& a, std::string_view name, const CallArgs& call);

}  // namespace corvantile::python
