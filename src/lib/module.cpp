// The module root: the import entry, the module definition and the module body.

#include "lib/functions.hpp"
#include "lib/registry.hpp"
#include "python/runtime/frame.hpp"
#include "python/runtime/module.hpp"
#include "python/object/pyarray.hpp"

namespace corvantile::python {

namespace {

Result<Ref> noop(PyObject*, PyObject*) { return Ref::borrow(Py_None); }

PyMethodDef OWN_FUNCTIONS[] = {
    {"_noop", as_method(entry<&noop>), METH_NOARGS,
     "_noop()\n--\n\nDoes nothing and returns None; exists to measure the module-function call overhead."},
    {"_set_patch_active", as_method(entry<&set_patch_active>), METH_FASTCALL | METH_KEYWORDS,
     "_set_patch_active(active)\n--\n\n"},
};

Result<Ref> make_function(PyObject* module, PyMethodDef& def) {
    auto module_name = check(PyModule_GetNameObject(module));
    if (!module_name) return module_name;
    return check(PyCMethod_New(&def, module, module_name->get(), nullptr));
}

Result<> add_function(PyObject* module, PyMethodDef& def) {
    auto f = make_function(module, def);
    if (!f) return failure(std::move(f.error()));
    return add_to_module(module, def.ml_name, f->get());
}

Result<> module_body(PyObject* module) {
    auto type = ndarray_type();
    if (!type) return failure(std::move(type.error()));
    if (auto r = add_to_module(module, "ndarray", reinterpret_cast<PyObject*>(*type)); !r) return r;

    auto max_ndim = check(PyLong_FromUnsignedLongLong(MAX_NDIM));
    if (!max_ndim) return failure(std::move(max_ndim.error()));
    if (auto r = add_to_module(module, "MAX_NDIM", max_ndim->get()); !r) return r;

    for (PyMethodDef& def : OWN_FUNCTIONS) {
        if (auto r = add_function(module, def); !r) return r;
    }

    // All sixteen exist before any is added.
    std::vector<Ref> functions;
    for (PyMethodDef& def : module_functions()) {
        auto f = make_function(module, def);
        if (!f) return failure(std::move(f.error()));
        functions.push_back(std::move(*f));
    }
    for (std::size_t i = 0; i < functions.size(); ++i) {
        if (auto r = add_to_module(module, module_functions()[i].ml_name, functions[i].get()); !r) return r;
    }

    for (auto step : {register_fast_fronts, register_unary, register_binary, register_method_functions,
                      register_binary_math, register_predicates, register_bool_reductions}) {
        if (auto r = step(module); !r) return r;
    }
    return {};
}

Result<> exec_module(PyObject* module) {
    if (module == nullptr) return failure();
    if (!PyModule_Check(module)) return failure(Error::not_an_instance(module, "module"));
    install_owner_hooks();
    return module_body(module);
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, as_slot(entry<&exec_module>)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The type object and the NumPy handles are process-wide: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "corvantile native core",
    0,
    nullptr,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace corvantile::python

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&corvantile::python::MODULE_DEF); }
