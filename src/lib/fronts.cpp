#include "lib/functions.hpp"

#include "lib/registry.hpp"
#include "python/convert/convert.hpp"
#include "python/runtime/frame.hpp"
#include "python/runtime/module.hpp"

#include <array>
#include <format>
#include <string_view>

namespace corvantile::python {

namespace {

// The call handed on unchanged to the full function in `cell`.
Result<Ref> to_full(OnceCell<Ref>& cell, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const Ref* full = cell.get();
    if (full == nullptr) return failure(Error::runtime_error(std::format("corvantile.{} is not initialised", name)));
    return check(PyObject_Vectorcall(full->get(), args, static_cast<std::size_t>(nargs), kwnames));
}

struct Front {
    const char* name;
    const char* doc;
    OnceCell<Ref>* cell;
    RawEntry entry;
};

const Front FRONTS[] = {
    {"asarray",
     "asarray(a, dtype=None, order=None, *, device=None, copy=None, like=None)\n--\n\n"
     "The input itself when it already is a corvantile array of the requested dtype, a corvantile array for "
     "float64, int64 and bool data, NumPy's array otherwise.",
     &FULL_ASARRAY, &asarray_raw},
    {"array",
     "array(object, dtype=None, *, copy=True, order='K', subok=False, ndmin=0, like=None)\n--\n\n"
     "A new corvantile array for float64, int64 and bool data, NumPy's array otherwise.",
     &FULL_ARRAY, &array_raw},
    {"where",
     "where(condition, x=None, y=None)\n--\n\n"
     "Elements of `x` where `condition` holds and of `y` elsewhere; the indices of the true elements with one "
     "argument.",
     &FULL_WHERE, &where_raw},
};

}  // namespace

// The front's fast path for exactly `count` positional arguments and no keywords; every
// other call goes unchanged to the full function. The arguments are held for the call.
template <Py_ssize_t count, class Fast>
PyObject* front(std::string_view name, OnceCell<Ref>& cell, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, Fast fast) noexcept {
    return light_frame(name, [&]() -> Result<Ref> {
        if (nargs != count || kwnames != nullptr) return to_full(cell, name, args, nargs, kwnames);
        std::array<Ref, count> held;
        for (Py_ssize_t i = 0; i < count; ++i) held[i] = Ref::borrow(args[i]);
        return fast(args);
    });
}

PyObject* asarray_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return front<1>("asarray", FULL_ASARRAY, args, nargs, kwnames, [](PyObject* const* a) {
        return asarray(a[0], nullptr, std::nullopt, nullptr, nullptr);
    });
}

PyObject* array_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return front<1>("array", FULL_ARRAY, args, nargs, kwnames, [](PyObject* const* a) {
        return called_from_dunder_array() ? numpy_array(a[0], nullptr) : array_or_numpy(a[0]);
    });
}

PyObject* where_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return front<3>("where", FULL_WHERE, args, nargs, kwnames,
                    [](PyObject* const* a) { return where_(a[0], a[1], a[2]); });
}

Result<> register_fast_fronts(PyObject* module) {
    for (const Front& front : FRONTS) {
        auto name = check(PyUnicode_FromString(front.name));
        if (!name) return failure(std::move(name.error()));
        auto full = check(PyObject_GetAttr(module, name->get()));
        if (!full) return failure(std::move(full.error()));
        // A cell set by an earlier module object keeps its first value.
        auto cell = front.cell->get_or_init([&]() -> Result<Ref> { return full->clone(); });
        if (!cell) return failure(std::move(cell.error()));
        if (auto r = register_raw(module, front.name, front.doc, front.entry); !r) return r;
        auto all = check(PyObject_GetAttrString(module, "__all__"));
        if (!all) return failure(std::move(all.error()));
        auto removed = check(PyObject_CallMethod(all->get(), "remove", "O", name->get()));
        if (!removed) return failure(std::move(removed.error()));
    }
    return {};
}

}  // namespace corvantile::python
