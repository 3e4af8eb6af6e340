#include "python/patch.hpp"

#include "python/args.hpp"

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
