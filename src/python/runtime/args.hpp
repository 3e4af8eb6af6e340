#pragma once

// The one argument matcher: binds a call's arguments to a table of parameters and
// raises the interpreter's TypeError texts for missing, surplus, unexpected and
// repeated arguments.

#include "python/runtime/error.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace corvantile::python {

enum class ParamKind : unsigned char {
    PositionalOnly,
    Either,       // positional or keyword
    KeywordOnly,
};

struct Param {
    std::string_view name;
    ParamKind kind = ParamKind::Either;
    bool required = false;
};

// A function's parameters: positional-only first, then either kind, then keyword-only;
// required positional parameters come before optional ones.
struct Signature {
    std::string_view function;  // full name without "()": "asarray", "ndarray.__new__"
    std::span<const Param> params;
    bool var_args = false;    // *args: further positionals go to `rest`
    bool var_kwargs = false;  // **kwargs: further keywords go to `kwargs`
};

// The bound values, in parameter order (borrowed; null = not given), the further
// positionals (a tuple when var_args) and the further keywords (a dict, or empty
// when there are none).
template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> values{};
    Ref rest;
    Ref kwargs;

    PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
    // The value, or null when it was left out or given as None.
    PyObject* unless_none(std::size_t i) const noexcept {
        return values[i] == Py_None ? nullptr : values[i];
    }
};

// The arguments of a fast call (after self or `a`): the positional vector, then the
// values of kwnames (null: no keywords).
struct CallArgs {
    PyObject* const* args = nullptr;
    Py_ssize_t nargs = 0;
    PyObject* kwnames = nullptr;

    PyObject* operator[](Py_ssize_t i) const noexcept { return args[i]; }
    std::span<PyObject* const> positionals() const noexcept {
        return {args, static_cast<std::size_t>(nargs)};
    }
    Py_ssize_t keyword_count() const noexcept { return kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0; }
    bool has_keywords() const noexcept { return keyword_count() > 0; }
    bool empty() const noexcept { return nargs == 0 && !has_keywords(); }
    // The value of the keyword `name` (borrowed), null when it is not given.
    PyObject* keyword(std::string_view name) const noexcept;
    // The keywords as a new dict, or null when there are none: only for calls passed on.
    Result<Ref> keywords_dict() const;
};

// Matching of a fast call (positional vector, then the values of kwnames).
Result<> match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> values, Ref* rest, Ref* kwargs);
// Matching of a tuple-and-dict call.
Result<> match(const Signature& sig, PyObject* args, PyObject* kwargs_in, std::span<PyObject*> values,
               Ref* rest, Ref* kwargs);

template <std::size_t N>
Result<Bound<N>> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> b;
    auto r = match(sig, args, nargs, kwnames, b.values, &b.rest, &b.kwargs);
    if (!r) return failure(std::move(r.error()));
    return b;
}

template <std::size_t N>
Result<Bound<N>> bind(const Signature& sig, const CallArgs& call) {
    return bind<N>(sig, call.args, call.nargs, call.kwnames);
}

template <std::size_t N>
Result<Bound<N>> bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    Bound<N> b;
    auto r = match(sig, args, kwargs, b.values, &b.rest, &b.kwargs);
    if (!r) return failure(std::move(r.error()));
    return b;
}

// A Python bool, or a NumPy boolean scalar read through its __bool__; any other object
// (an int included) is refused with TypeError.
Result<bool> extract_bool(PyObject* object);

// Names in quotes, joined the interpreter's way: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(std::span<const std::string_view> names);

}  // namespace corvantile::python
