#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_SystemError, "corvantile: exec was not given a module");
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The type object and the NumPy handles are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "corvantile native core",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core() {
    return PyModuleDef_Init(&module_def);
}
