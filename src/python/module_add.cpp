#include "python/module_add.hpp"

#include "array/error.hpp"
#include "python/interned.hpp"

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
