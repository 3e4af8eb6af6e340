#include "python/methods/methods.hpp"

#include "python/numpy/fallback.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/view_map.hpp"

#include <variant>

namespace corvantile::python {

Result<Ref> stable_by_default(std::span<PyObject* const> args, PyObject* kwargs) {
    Ref kw = Ref::steal(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
    if (!kw) return failure();
    PyObject* stable_value = nullptr;
    const int stable = PyDict_GetItemStringRef(kw.get(), "stable", &stable_value);
    Ref owned = Ref::steal(stable_value);
    if (stable < 0) return failure();
    if (args.size() > 1) return kw;  // a kind given positionally
    const int has_kind = PyDict_ContainsString(kw.get(), "kind");
    if (has_kind < 0) return failure();
    if (has_kind == 1 || (stable == 1 && stable_value != Py_None)) return kw;
    if (stable == 1) {
        if (auto r = check_status(PyDict_DelItemString(kw.get(), "stable")); !r) return failure(std::move(r.error()));
    }
    Ref kind = Ref::steal(PyUnicode_FromString("stable"));
    if (!kind) return failure();
    if (auto r = check_status(PyDict_SetItemString(kw.get(), "kind", kind.get())); !r) {
        return failure(std::move(r.error()));
    }
    return kw;
}

Result<Ref> argsort_method(PyArray& self, const CallArgs& args) {
    const std::span<PyObject* const> rest = args.positionals();
    if (args.empty()) {
        if (auto r = sort_input_of(self, [](const auto& x) { return create_class_object(x.argsort_1d()); })) {
            return std::move(*r);
        }
        // Only a 1-D array is sorted here (a small view from its shadow); NumPy reads others
        // where they lie.
        if (self.value.ndim() == 1) self.refresh();
        if (const auto* x = self.value.get_if<double>(); x != nullptr && x->ndim() == 1) {
            return create_class_object(x->argsort_1d());
        }
        if (const auto* x = self.value.get_if<std::int64_t>(); x != nullptr && x->ndim() == 1) {
            return create_class_object(x->argsort_1d());
        }
    }
    auto kwargs = args.keywords_dict();
    if (!kwargs) return kwargs;
    auto keywords = stable_by_default(rest, kwargs->get());
    if (!keywords) return keywords;
    return fallback::call_method(self.object(), "argsort", rest, keywords->get());
}

}  // namespace corvantile::python
