#include "array/error.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/module.hpp"

namespace corvantile::python {

namespace {
constinit Interned ALL{"__all__"};
}

Result<> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    auto all_name = ALL.get();
    if (!all_name) return failure(std::move(all_name.error()));
    Ref all = Ref::steal(PyObject_GetAttr(module, *all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failure();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return failure();
        if (PyObject_SetAttr(module, *all_name, all.get()) < 0) return failure();
    }
    if (!PyList_Check(all.get())) return failure(Error::not_an_instance(all.get(), "list"));
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        internal_failure("could not append __name__ to __all__");
    }
    return check_status(PyObject_SetAttr(module, name, value));
}

Result<> add_to_module(PyObject* module, const char* name, PyObject* value) {
    auto s = check(PyUnicode_FromString(name));
    if (!s) return failure(std::move(s.error()));
    return add_to_module(module, s->get(), value);
}

}  // namespace corvantile::python

namespace corvantile::python {

namespace {
constexpr Param SET_PATCH_PARAMS[] = {{"active", ParamKind::Either, true}};
constexpr Signature SET_PATCH{"_set_patch_active", SET_PATCH_PARAMS};
}  // namespace

Result<Ref> set_patch_active(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<1>(SET_PATCH, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    auto active = extract_bool((*bound)[0]);
    if (!active) return failure(std::move(active.error()).for_argument("active"));
    PATCH_ACTIVE.store(*active, std::memory_order_relaxed);
    return Ref::borrow(Py_None);
}

bool called_from_dunder_array() noexcept {
    if (!PATCH_ACTIVE.load(std::memory_order_relaxed)) return false;
    PyFrameObject* frame = PyEval_GetFrame();
    if (frame == nullptr) return false;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (!code) {
        PyErr_Clear();
        return false;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(code.get(), "co_name"));
    Ref text = name ? Ref::steal(PyObject_Str(name.get())) : Ref();
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8AndSize(text.get(), "__array__", 9) != 0;
}

}  // namespace corvantile::python
