#pragma once

// The fast module functions: made at start-up from name tables, each with one fast
// call entry (positional vector plus keyword names, no argument parsing).
//
// A family plugs in by giving its rows an entry. The element-wise families make theirs
// from their descriptions with element_row, whose entry is
//     &fast_entry<"name", &native>
// where `native` is `Result<Ref> native(std::string_view np_name, PyObject* x...)` taking
// exactly the family's positional count of objects: it runs only for that many
// positionals and no keyword names; every other call goes to NumPy unchanged.

#include "lib/forward.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/fixed_string.hpp"
#include "python/runtime/frame.hpp"

#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace corvantile::python {

using RawEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// One registered function: name, docstring ("name(signature)\n--\n\n" then the text) and
// its fast entry. Made at compile time from literals; a NUL inside a text does not compile.
struct Row {
    const char* name;
    const char* doc;
    RawEntry entry;

    template <std::size_t N, std::size_t D>
    consteval Row(const char (&n)[N], const char (&d)[D], RawEntry e)
        : Row(std::string_view(n, N - 1), std::string_view(d, D - 1), e) {}
    // From texts that end in a NUL just past the view.
    consteval Row(std::string_view n, std::string_view d, RawEntry e) : name(n.data()), doc(d.data()), entry(e) {
        if (n.contains('\0')) throw "NUL-terminated name";
        if (d.contains('\0')) throw "NUL-terminated doc";
    }
};

// Makes a fast-call function object named `name` (doc: text signature header, then the
// doc text) in the module's namespace and adds it to the module.
Result<> register_raw(PyObject* module, const char* name, const char* doc, RawEntry entry);
// register_raw for each row in order; stops at the first error.
Result<> register_rows(PyObject* module, std::span<const Row> rows);

Result<> register_unary(PyObject* module);
Result<> register_binary(PyObject* module);
Result<> register_method_functions(PyObject* module);
Result<> register_binary_math(PyObject* module);
Result<> register_predicates(PyObject* module);
Result<> register_bool_reductions(PyObject* module);

namespace detail {

template <class F>
struct NativeArity;
template <class... A>
struct NativeArity<Result<Ref> (*)(std::string_view, A...)> {
    static_assert((std::is_same_v<A, PyObject*> && ...), "a native fast path takes PyObject* operands");
    static constexpr std::size_t value = sizeof...(A);
};

}  // namespace detail

// The fast-entry frame: `Native` for exactly its count of positionals and no keyword-name
// tuple (an empty one included), numpy.<np_name>(*args, **kwargs) otherwise. An internal
// failure raises RuntimeError "corvantile.<np_name> panicked".
template <FixedString Name, auto Native>
PyObject* fast_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    constexpr std::size_t count = detail::NativeArity<decltype(Native)>::value;
    const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
    return light_frame(NumpyName<Name>::view(), [&]() -> Result<Ref> {
        if (nargs != static_cast<Py_ssize_t>(count) || kwnames != nullptr)
            return forward<Name>(nullptr, args, nargs, kwnames);
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            const Ref held[] = {Ref::borrow(args[I])...};  // kept alive for the whole call
            (void)held;
            return Native(NumpyName<Name>::view(), args[I]...);
        }(std::make_index_sequence<count>{});
    });
}

// The row of an element-wise description (operations.hpp) under the name `As` (its own,
// or an alias such as fabs or radians), served by `Native`.
template <class Op, auto Native, FixedString As = Op::name>
inline constexpr Row element_row{As.view(), std::string_view(Op::template doc<As>), &fast_entry<As, Native>};

}  // namespace corvantile::python
